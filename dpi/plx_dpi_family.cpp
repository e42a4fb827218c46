#include "dpi/plx_dpi_family.h"

#include <cstring>
#include <iterator>

namespace {

constexpr plx_app_family kFamilies[] = {
    {"min", "Min"},
    {"antivirus", "Antivirus"},
    {"application_service", "Application Service"},
    {"audio_video", "Audio/Video"},
    {"authentication", "Authentication"},
    {"behavioral", "Behavioral"},
    {"compression", "Compression"},
    {"database", "Database"},
    {"encrypted", "Encrypted"},
    {"erp", "ERP"},
    {"file_server", "File Server"},
    {"file_transfer", "File Transfer"},
    {"forum", "Forum"},
    {"game", "Game"},
    {"instant_messaging", "Instant Messaging"},
    {"mail", "Mail"},
    {"microsoft_office", "Microsoft Office"},
    {"middleware", "Middleware"},
    {"network_management", "Network Management"},
    {"network_service", "Network Service"},
    {"peer_to_peer", "Peer to Peer"},
    {"printer", "Printer"},
    {"routing", "Routing"},
    {"security_service", "Security Service"},
    {"standard", "Standard"},
    {"telephony", "Telephony"},
    {"terminal", "Terminal"},
    {"thin_client", "Thin Client"},
    {"tunneling", "Tunneling"},
    {"wap", "Wap"},
    {"web", "Web"},
    {"webmail", "Webmail"},
    {"max", "Max"},
};
static_assert(std::size(kFamilies) == PLX_APP_FAMILY_MAX + 1);

// Ids whose display names start with a letter: the engine's family names are looked up only
// among these.
struct letter_range {
    char letter;
    uint32_t first, last;
};
constexpr letter_range kIndex[] = {
    {'A', 1, 4},   {'B', 5, 5},   {'C', 6, 6},   {'D', 7, 7},   {'E', 8, 9},
    {'F', 10, 12}, {'G', 13, 13}, {'I', 14, 14}, {'M', 15, 17}, {'N', 18, 19},
    {'P', 20, 21}, {'R', 22, 22}, {'S', 23, 24}, {'T', 25, 28}, {'W', 29, 31},
};

constexpr size_t kNameMax = 128;

}  // namespace

const plx_app_family &plx_app_family_get(uint32_t id) {
    return kFamilies[id > PLX_APP_FAMILY_MAX ? PLX_APP_FAMILY_MAX : id];
}

uint32_t plx_family_from_config_name(const char *name) {
    if (!name)
        return PLX_APP_FAMILY_UNKNOWN;
    for (uint32_t id = 1; id < PLX_APP_FAMILY_MAX; ++id)
        if (std::strncmp(name, kFamilies[id].config_name, kNameMax) == 0)
            return id;
    return PLX_APP_FAMILY_UNKNOWN;
}

uint32_t plx_family_from_engine_name(const char *name) {
    if (!name || !*name)
        return PLX_APP_FAMILY_UNKNOWN;
    for (const letter_range &r : kIndex) {
        if (r.letter != name[0])
            continue;
        for (uint32_t id = r.first; id <= r.last; ++id)
            if (std::strncmp(name, kFamilies[id].display_name, kNameMax) == 0)
                return id;
        break;
    }
    return PLX_APP_FAMILY_UNKNOWN;
}
