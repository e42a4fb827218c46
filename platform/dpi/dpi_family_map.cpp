#include "platform/dpi/dpi_family_map.h"

#include <ndpi_api.h>

#include <algorithm>
#include <array>
#include <utility>

namespace {

// Default family of each nDPI category.
constexpr std::pair<int, std::string_view> kCategoryFamily[] = {
    {NDPI_PROTOCOL_CATEGORY_MEDIA, "Audio/Video"},
    {NDPI_PROTOCOL_CATEGORY_VPN, "Tunneling"},
    {NDPI_PROTOCOL_CATEGORY_MAIL, "Mail"},
    {NDPI_PROTOCOL_CATEGORY_DATA_TRANSFER, "File Transfer"},
    {NDPI_PROTOCOL_CATEGORY_WEB, "Web"},
    {NDPI_PROTOCOL_CATEGORY_SOCIAL_NETWORK, "Web"},
    {NDPI_PROTOCOL_CATEGORY_DOWNLOAD_FT, "File Transfer"},
    {NDPI_PROTOCOL_CATEGORY_GAME, "Game"},
    {NDPI_PROTOCOL_CATEGORY_CHAT, "Instant Messaging"},
    {NDPI_PROTOCOL_CATEGORY_VOIP, "Telephony"},
    {NDPI_PROTOCOL_CATEGORY_DATABASE, "Database"},
    {NDPI_PROTOCOL_CATEGORY_REMOTE_ACCESS, "Terminal"},
    {NDPI_PROTOCOL_CATEGORY_CLOUD, "Application Service"},
    {NDPI_PROTOCOL_CATEGORY_NETWORK, "Network Service"},
    {NDPI_PROTOCOL_CATEGORY_COLLABORATIVE, "Application Service"},
    {NDPI_PROTOCOL_CATEGORY_RPC, "Middleware"},
    {NDPI_PROTOCOL_CATEGORY_STREAMING, "Audio/Video"},
    {NDPI_PROTOCOL_CATEGORY_SYSTEM_OS, "Network Service"},
    {NDPI_PROTOCOL_CATEGORY_SW_UPDATE, "Application Service"},
    {NDPI_PROTOCOL_CATEGORY_MUSIC, "Audio/Video"},
    {NDPI_PROTOCOL_CATEGORY_VIDEO, "Audio/Video"},
    {NDPI_PROTOCOL_CATEGORY_SHOPPING, "Web"},
    {NDPI_PROTOCOL_CATEGORY_PRODUCTIVITY, "Application Service"},
    {NDPI_PROTOCOL_CATEGORY_FILE_SHARING, "File Server"},
    {NDPI_PROTOCOL_CATEGORY_CONNECTIVITY_CHECK, "Network Service"},
    {NDPI_PROTOCOL_CATEGORY_IOT_SCADA, "Standard"},
    {NDPI_PROTOCOL_CATEGORY_VIRTUAL_ASSISTANT, "Application Service"},
    {CUSTOM_CATEGORY_ANTIMALWARE, "Antivirus"},
    {CUSTOM_CATEGORY_MALWARE, "Security Service"},
};

// Protocols whose family is not their category's. "" means deliberately none.
constexpr std::pair<std::string_view, std::string_view> kProtocolFamily[] = {
    // No verdict at all.
    {"Unknown", ""},
    // Crypto-currency mining says nothing about the application carrying it.
    {"Mining", ""},
    // Peer-to-peer file sharing.
    {"AppleJuice", "Peer to Peer"},
    {"DirectConnect", "Peer to Peer"},
    {"OpenFT", "Peer to Peer"},
    {"FastTrack", "Peer to Peer"},
    {"Gnutella", "Peer to Peer"},
    {"eDonkey", "Peer to Peer"},
    {"BitTorrent", "Peer to Peer"},
    {"Stealthnet", "Peer to Peer"},
    {"Aimini", "Peer to Peer"},
    {"Thunder", "Peer to Peer"},
    {"Kontiki", "Peer to Peer"},
    {"PPStream", "Peer to Peer"},
    {"Sopcast", "Peer to Peer"},
    {"TVUplayer", "Peer to Peer"},
    // Mail read in a browser.
    {"Hotmail", "Webmail"},
    {"GMail", "Webmail"},
    {"LotusNotes", "Mail"},
    // Routing protocols.
    {"BGP", "Routing"},
    {"OSPF", "Routing"},
    {"EGP", "Routing"},
    {"VRRP", "Routing"},
    {"LISP", "Routing"},
    // Management and monitoring.
    {"SNMP", "Network Management"},
    {"NetFlow", "Network Management"},
    {"sFlow", "Network Management"},
    {"Syslog", "Network Management"},
    {"Zabbix", "Network Management"},
    {"CHECKMK", "Network Management"},
    {"Collectd", "Network Management"},
    {"CAPWAP", "Network Management"},
    {"ntop", "Network Management"},
    // Authentication and directory.
    {"Kerberos", "Authentication"},
    {"Radius", "Authentication"},
    {"Diameter", "Authentication"},
    {"LDAP", "Authentication"},
    // Security services.
    {"OCSP", "Security Service"},
    {"AVASTSecureDNS", "Security Service"},
    {"FortiClient", "Security Service"},
    // Encrypted transports.
    {"TLS", "Encrypted"},
    {"DTLS", "Encrypted"},
    {"DoH_DoT", "Encrypted"},
    {"DNScrypt", "Encrypted"},
    // Tunnels among network protocols.
    {"GRE", "Tunneling"},
    {"IP_in_IP", "Tunneling"},
    {"Teredo", "Tunneling"},
    {"Ayiya", "Tunneling"},
    {"GTP", "Tunneling"},
    {"GTP_U", "Tunneling"},
    {"GTP_C", "Tunneling"},
    {"GTP_PRIME", "Tunneling"},
    // File servers and printers.
    {"NFS", "File Server"},
    {"AFP", "File Server"},
    {"SMBv1", "File Server"},
    {"SMBv23", "File Server"},
    {"NetBIOS", "File Server"},
    {"IPP", "Printer"},
    {"BJNP", "Printer"},
    // Remote desktops.
    {"RDP", "Thin Client"},
    {"VNC", "Thin Client"},
    {"XDMCP", "Thin Client"},
    {"Citrix", "Thin Client"},
    {"VMware", "Thin Client"},
    // Office suites and business software.
    {"Microsoft365", "Microsoft Office"},
    {"MS_OneDrive", "Microsoft Office"},
    {"Teams", "Microsoft Office"},
    {"SAP", "ERP"},
    {"Salesforce", "ERP"},
    // Discussion boards.
    {"Usenet", "Forum"},
    {"Reddit", "Forum"},
    {"Pastebin", "Forum"},
};

}  // namespace

std::string_view dpi_family_of(std::string_view ndpi_name, int category) {
    for (const auto &[name, family] : kProtocolFamily)
        if (name == ndpi_name)
            return family;
    for (const auto &[cat, family] : kCategoryFamily)
        if (cat == category)
            return family;
    return "";
}

const std::vector<std::string_view> &dpi_unmapped_protocols() {
    static const std::vector<std::string_view> list = [] {
        std::vector<std::string_view> v;
        for (const auto &[name, family] : kProtocolFamily)
            if (family.empty())
                v.push_back(name);
        return v;
    }();
    return list;
}
