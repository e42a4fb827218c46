#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "peers/fpeval/fp_eval.h"
#include "peers/fwdplane/fp_engine.h"
#include "peers/fwdplane/fp_packet.h"
#include "progmem/plx_if_fpmem.h"
#include "tests/peers/fwdplane/local_plane.h"

namespace {

// ---- Frames ---------------------------------------------------------------------------------

std::vector<uint8_t> ipv4(uint8_t proto, uint8_t tos, uint16_t sport, uint16_t dport,
                          uint8_t tcp_flags = 0, uint16_t frag = 0) {
    // 10.1.2.3 -> 192.168.0.9, 40 bytes.
    auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    auto lo = [](uint16_t v) { return static_cast<uint8_t>(v); };
    std::vector<uint8_t> p = {0x45, tos,   0, 40, 0,         0,         hi(frag),  lo(frag),
                              0,    proto, 0, 0,  10,        1,         2,         3,
                              192,  168,   0, 9,  hi(sport), lo(sport), hi(dport), lo(dport)};
    p.resize(40);
    p[33] = tcp_flags;
    return p;
}

// The values of the given fields, to compare as one.
std::vector<uint64_t> fields(const fp_packet &pkt, std::initializer_list<int> which) {
    std::vector<uint64_t> out;
    for (int f : which)
        out.push_back(pkt.field[f]);
    return out;
}

std::vector<uint8_t> with_link(const std::vector<uint8_t> &l2, const std::vector<uint8_t> &ip) {
    std::vector<uint8_t> f = l2;
    f.insert(f.end(), ip.begin(), ip.end());
    return f;
}

TEST(FpPacket, FieldsFromLinkTypesAndHeaders) {
    fp_packet pkt;
    std::string why;
    // Ethernet with a VLAN tag, IPv4 TCP, DSCP 46 (TOS 0xB8), SYN|ACK.
    std::vector<uint8_t> eth(12, 0);
    eth.insert(eth.end(), {0x81, 0x00, 0x00, 0x0A, 0x08, 0x00});
    ASSERT_TRUE(fp_parse_frame(DLT_EN10MB, with_link(eth, ipv4(6, 0xB8, 1234, 80, 0x12)).data(),
                               eth.size() + 40, pkt, &why))
        << why;
    EXPECT_EQ(fields(pkt, {FPF_PROTOCOL, FPF_SRC_PORT, FPF_DST_PORT, FPF_SRC_ADDR, FPF_DST_ADDR,
                           FPF_DSCP, FPF_TRAFFIC_CLASS, FPF_TCP, FPF_PKT_LEN, FPF_MATCH_ANY,
                           FPF_NEXT_HEADER, FPF_FC, FPF_PLP, FPF_APP}),
              (std::vector<uint64_t>{6, 1234, 80, 0x0A010203, 0xC0A80009, 46, 0xB8, 2, 40, 1, 6, 0,
                                     0, 0}));

    // Linux cooked v1, UDP; a later fragment carries no ports.
    std::vector<uint8_t> sll(14, 0);
    sll.insert(sll.end(), {0x08, 0x00});
    auto udp = ipv4(17, 0, 53, 5353);
    ASSERT_TRUE(fp_parse_frame(DLT_LINUX_SLL, with_link(sll, udp).data(), 56, pkt, &why));
    EXPECT_EQ(fields(pkt, {FPF_DST_PORT, FPF_TCP}), (std::vector<uint64_t>{5353, 0}));
    auto frag = ipv4(17, 0, 53, 5353, 0, 0x0010);
    ASSERT_TRUE(fp_parse_frame(DLT_RAW, frag.data(), frag.size(), pkt, &why));
    EXPECT_EQ(pkt.field[FPF_SRC_PORT], 0u);

    // Raw IPv6: traffic class 0x2E<<2, hop-by-hop, then a first fragment, then UDP.
    std::vector<uint8_t> v6(40 + 8 + 8 + 8, 0);
    v6[0] = 0x60 | (0xB8 >> 4);
    v6[1] = static_cast<uint8_t>((0xB8 & 0xF) << 4);
    v6[5] = 24;
    v6[6] = 0;  // hop-by-hop
    v6[8] = 0x20;
    v6[24] = 0xFE;
    v6[40] = 44;  // next: fragment
    v6[48] = 17;  // fragment header: next UDP, offset 0
    v6[56] = 0x01;
    v6[57] = 0xBB;  // source port 443
    ASSERT_TRUE(fp_parse_ip(v6.data(), v6.size(), pkt, &why)) << why;
    EXPECT_EQ(pkt.family, 6);
    EXPECT_EQ(fields(pkt, {FPF_NEXT_HEADER, FPF_PROTOCOL, FPF_SRC_PORT, FPF_TRAFFIC_CLASS, FPF_DSCP,
                           FPF_PKT_LEN, FPF_SRC_ADDR, FPF_DST_ADDR}),
              (std::vector<uint64_t>{0, 17, 443, 0xB8, 46, 64, 0x20000000, 0xFE000000}));

    // Rejected: ARP, truncated headers, bad IHL, unknown link type.
    std::vector<uint8_t> arp(12, 0);
    arp.insert(arp.end(), {0x08, 0x06, 0, 0});
    EXPECT_FALSE(fp_parse_frame(DLT_EN10MB, arp.data(), arp.size(), pkt, &why));
    EXPECT_FALSE(fp_parse_ip(udp.data(), 19, pkt, &why));
    EXPECT_FALSE(fp_parse_ip(v6.data(), 39, pkt, &why));
    auto bad_ihl = udp;
    bad_ihl[0] = 0x4F;
    EXPECT_FALSE(fp_parse_ip(bad_ihl.data(), bad_ihl.size(), pkt, &why));
    EXPECT_FALSE(fp_parse_frame(DLT_PPP, udp.data(), udp.size(), pkt, &why));
}

TEST(FpPacket, ReadsPcapAndTraceFiles) {
    std::string dir =
        std::filesystem::temp_directory_path() / ("fwdplane_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string pcap_path = dir + "/in.pcap";
    pcap_t *dead = pcap_open_dead(DLT_RAW, 65535);
    pcap_dumper_t *dump = pcap_dump_open(dead, pcap_path.c_str());
    ASSERT_NE(dump, nullptr);
    auto p1 = ipv4(6, 0, 1, 2), p2 = ipv4(17, 0, 3, 4);
    pcap_pkthdr h{};
    h.ts.tv_sec = 5;
    h.caplen = h.len = static_cast<bpf_u_int32>(p1.size());
    pcap_dump(reinterpret_cast<u_char *>(dump), &h, p1.data());
    h.ts.tv_usec = 7;
    pcap_dump(reinterpret_cast<u_char *>(dump), &h, p2.data());
    h.caplen = 3;  // garbage
    pcap_dump(reinterpret_cast<u_char *>(dump), &h, p2.data());
    pcap_dump_close(dump);
    pcap_close(dead);

    std::vector<fp_packet> got;
    int bad = 0;
    std::string err;
    auto read = [&](const std::string &path, uint32_t len) {
        got.clear();
        bad = 0;
        return fp_read_packets(
            path, len, 1000, [&](fp_packet &p) { got.push_back(p); },
            [&](const std::string &) { ++bad; }, &err);
    };
    ASSERT_EQ(read(pcap_path, 64), 0) << err;
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(got[1].field[FPF_PROTOCOL], 17u);
    EXPECT_EQ(got[1].time_ns, 5000007000ull);

    std::ofstream(dir + "/t") << "3232235521\t167772161\t10\t80\t6\t4294967295\t3\nnonsense\n";
    ASSERT_EQ(read(dir + "/t", 100), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(fields(got[0], {FPF_SRC_ADDR, FPF_DST_PORT, FPF_TCP, FPF_PKT_LEN}),
              (std::vector<uint64_t>{3232235521u, 80, 2, 100}));
    EXPECT_NE(read(dir + "/missing", 64), 0);
    std::filesystem::remove_all(dir);
}

// ---- The pipeline over locally placed programs ------------------------------------------------

class Pipeline : public ::testing::Test, protected LocalPlane {
  protected:
    void SetUp() override { plane_up(4096, 16); }
    void TearDown() override { plane_down(); }
    void bind_acl(int slot, const char *name, uint8_t dir, uint32_t filter) {
        snprintf(intf_[slot].name, sizeof intf_[slot].name, "%s", name);
        intf_[slot].acl_filter[dir - 1][0] = filter;
        intf_[slot].bound |= fp_acl_bound_bit(dir, 0);
    }
    // The data policy for every direction and the app-route policy of a VPN.
    void bind_vpn(uint32_t vpn, uint32_t data, uint32_t ar) {
        vpn_[vpn] = fp_vpn_binding{{FP_FILTER_NONE, FP_FILTER_NONE, data},
                                   ar,
                                   fp_data_bound_bit(FP_DIR_ALL) | FP_BIND_APP_ROUTE,
                                   {}};
    }
    fp_packet tcp_packet(uint16_t dport, uint32_t time_ns = 0) {
        fp_packet p;
        auto ip = ipv4(6, 0, 1000, dport);
        EXPECT_TRUE(fp_parse_ip(ip.data(), ip.size(), p, nullptr));
        p.time_ns = time_ns;
        return p;
    }
};

TEST_F(Pipeline, StagesRunInOrderAndRewritesReachLaterStages) {
    // Ingress ACL: UDP rejected. Data policy: port 80 -> set dscp 46, count "web".
    // App-route policy: dscp 46 -> count "ef". Egress ACL: dscp 46 and port 443 rejected.
    uint32_t acl_in =
        place({{{{PLX_FIELD_PROTOCOL, 17, 17}}, test_action(PLX_ACT_REJECT)}}, PLX_ACT_ACCEPT);
    TestRule web{{{PLX_FIELD_DST_PORT, 80, 80}}, test_action(PLX_ACT_ACCEPT)};
    add_u8(web.action, 1, PLX_ACT_SET_DSCP, 46);
    add_count(web.action, 2, "web");
    TestRule tls{{{PLX_FIELD_DST_PORT, 443, 443}}, test_action(PLX_ACT_ACCEPT)};
    add_u8(tls.action, 1, PLX_ACT_SET_DSCP, 46);
    PolicyProgram *data_prog = nullptr, *ar_prog = nullptr;
    uint32_t data = place({web, tls}, PLX_ACT_ACCEPT, &data_prog);
    TestRule ef{{{PLX_FIELD_DSCP, 46, 46}}, test_action(PLX_ACT_ACCEPT)};
    add_count(ef.action, 1, "ef");
    uint32_t ar = place({ef}, PLX_ACT_ACCEPT, &ar_prog);
    uint32_t acl_out = place(
        {{{{PLX_FIELD_DSCP, 46, 46}, {PLX_FIELD_DST_PORT, 443, 443}}, test_action(PLX_ACT_REJECT)}},
        PLX_ACT_ACCEPT);
    bind_acl(0, "ge0/0", FP_ACL_DIR_IN, acl_in);
    bind_acl(1, "ge0/1", FP_ACL_DIR_OUT, acl_out);
    bind_vpn(7, data, ar);
    fp_input in{"ge0/0", "ge0/1", 7, 1};

    fp_packet p = tcp_packet(80);
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_FORWARD);
    EXPECT_EQ(p.field[FPF_DSCP], 46u);
    p = tcp_packet(443);
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_DROP_ACL_OUT);
    p = tcp_packet(22);
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_FORWARD);
    fp_packet u;
    auto ip = ipv4(17, 0, 1, 80);
    fp_parse_ip(ip.data(), ip.size(), u, nullptr);
    EXPECT_EQ(engine_->process(u, in), FP_VERDICT_DROP_ACL_IN);

    uint64_t pk = 0, by = 0;
    plx_program_sum_counters(data_prog, "web", &pk, &by);
    EXPECT_EQ(std::tuple(pk, by), std::tuple(1u, 40u));
    EXPECT_EQ(packets(ar_prog, "ef"), 2u)
        << "port 80 and 443 were remarked before the app-route stage";
    // Per-filter statistics: the data policy evaluated 3 packets (UDP never got there).
    for (const auto &[key, st] : engine_->stats())
        if (st.filter == data) {
            EXPECT_EQ(st.evaluated, 3u);
        }
    for (uint32_t f : {acl_in, data, ar, acl_out})
        EXPECT_EQ(filters_[f].activity & 1, 1) << f;

    // A data policy for the tunnel side only does not see service-side packets; counting goes
    // to the bank named by the slot.
    vpn_[7].data_filter[FP_DIR_FROM_TUNNEL - 1] = data;
    vpn_[7].bound = fp_data_bound_bit(FP_DIR_FROM_TUNNEL) | FP_BIND_APP_ROUTE;
    plx_program_clear_counters(ar_prog, "ef");
    p = tcp_packet(80);
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_FORWARD);
    EXPECT_EQ(p.field[FPF_DSCP], 0u);
    EXPECT_EQ(packets(ar_prog, "ef"), 0u);
    in.origin = 2;
    p = tcp_packet(80);
    engine_->process(p, in);
    EXPECT_EQ(packets(ar_prog, "ef"), 1u);
    EXPECT_EQ(engine_->verdicts(FP_VERDICT_FORWARD), 4u);
}

TEST_F(Pipeline, DataPoliciesPerDirectionAndAppRouteShareOneVpn) {
    // Four policies that count every packet, under the names of their bindings.
    PolicyProgram *prog[4];
    uint32_t filter[4];
    const char *names[4] = {"svc", "tun", "all", "ar"};
    for (int i = 0; i < 4; ++i) {
        TestRule r{{{PLX_FIELD_MATCH_ANY, 1, 1}}, test_action(PLX_ACT_ACCEPT)};
        add_count(r.action, 1, names[i]);
        filter[i] = place({r}, PLX_ACT_ACCEPT, &prog[i]);
    }
    vpn_[5] =
        fp_vpn_binding{{filter[0], filter[1], filter[2]}, filter[3], 0x7 | FP_BIND_APP_ROUTE, {}};
    for (uint8_t origin : {FP_DIR_FROM_SERVICE, FP_DIR_FROM_TUNNEL, FP_DIR_FROM_TUNNEL}) {
        fp_packet p = tcp_packet(80);
        EXPECT_EQ(engine_->process(p, fp_input{"ge0/9", "", 5, origin}), FP_VERDICT_FORWARD);
    }
    EXPECT_EQ(packets(prog[0], "svc"), 1u);
    EXPECT_EQ(packets(prog[1], "tun"), 2u);
    EXPECT_EQ(packets(prog[2], "all"), 3u);
    EXPECT_EQ(packets(prog[3], "ar"), 3u);
}

TEST_F(Pipeline, PolicerDropsOrMarksOutOfProfile) {
    // 10 cycles (ns) per byte, burst 1000 cycles: 40-byte packets cost 400, two fit the bucket,
    // and 400 ns of quiet refill one.
    TestRule drop{{{PLX_FIELD_DST_PORT, 80, 80}}, test_action(PLX_ACT_ACCEPT)};
    add_police(drop.action, 1, "p80", 10, 1000, 0);
    TestRule mark{{{PLX_FIELD_DST_PORT, 81, 81}}, test_action(PLX_ACT_ACCEPT)};
    add_police(mark.action, 1, "p81", 10, 1000, 1);
    PolicyProgram *prog = nullptr;
    uint32_t data = place({drop, mark}, PLX_ACT_ACCEPT, &prog);
    uint32_t app = place({{{{PLX_FIELD_PLP, 1, 1}}, test_action(PLX_ACT_REJECT)}}, PLX_ACT_ACCEPT);
    bind_vpn(3, data, app);
    fp_input in{"ge0/0", "", 3, 1};
    std::vector<fp_verdict> v;
    for (uint32_t t : {1000000u, 1000001u, 1000002u, 1000402u}) {
        fp_packet p = tcp_packet(80, t);
        v.push_back(engine_->process(p, in));
    }
    EXPECT_EQ(v, (std::vector<fp_verdict>{FP_VERDICT_FORWARD, FP_VERDICT_FORWARD,
                                          FP_VERDICT_DROP_POLICER, FP_VERDICT_FORWARD}));
    uint64_t drops = 0, bytes = 0;
    plx_program_sum_policer_counters(prog, "1.p80", &drops, &bytes);
    EXPECT_EQ(drops, 1u);
    EXPECT_EQ(bytes, 120u);
    // Out of profile with plp-high: the packet goes on with PLP 1, which the next stage sees.
    for (uint32_t t : {2000000u, 2000001u, 2000002u}) {
        fp_packet p = tcp_packet(81, t);
        engine_->process(p, in);
    }
    EXPECT_EQ(engine_->verdicts(FP_VERDICT_DROP_APP_ROUTE), 1u);
}

TEST_F(Pipeline, UnboundOrInvalidFiltersAreSkipped) {
    uint32_t data =
        place({{{{PLX_FIELD_MATCH_ANY, 1, 1}}, test_action(PLX_ACT_REJECT)}}, PLX_ACT_ACCEPT);
    fp_input in{"ge0/0", "", 9, 1};
    fp_packet p = tcp_packet(1);
    vpn_[9] = fp_vpn_binding{{data, data, data}, data, 0, {}};  // not marked bound
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_FORWARD);
    vpn_[9].bound = fp_data_bound_bit(FP_DIR_ALL);
    vpn_[9].data_filter[2] = 15;  // no program there
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_FORWARD);
    vpn_[9].data_filter[2] = FP_FILTER_NONE;
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_FORWARD);
    vpn_[9].data_filter[2] = data;
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_DROP_POLICY);
    in.vpn = 1000;  // beyond the table
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_FORWARD);

    // An access list bound under the filter id of "could not be placed" rejects everything, in
    // either direction.
    in = {"ge0/2", "ge0/3", 1000, 1};
    bind_acl(2, "ge0/2", FP_ACL_DIR_IN, FP_FILTER_NONE);
    bind_acl(3, "ge0/3", FP_ACL_DIR_OUT, 16);
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_DROP_ACL_OUT);
    intf_[2].acl_filter[FP_ACL_DIR_IN - 1][0] = 16;
    EXPECT_EQ(engine_->process(p, in), FP_VERDICT_DROP_ACL_IN);
}

std::vector<uint8_t> ipv6_tcp(uint16_t first_group, uint8_t tcp_flags) {
    std::vector<uint8_t> p(40 + 20, 0);
    p[0] = 0x60;
    p[5] = 20;
    p[6] = 6;
    p[8] = static_cast<uint8_t>(first_group >> 8);
    p[9] = static_cast<uint8_t>(first_group);
    p[23] = 1;
    p[24] = 0xFD;
    p[39] = 2;
    p[40 + 13] = tcp_flags;
    return p;
}

// Data and app-route policies hold IPv4 prefixes; the TCP field carries 2 for any SYN.
TEST_F(Pipeline, Ipv4AddressPoliciesSkipIpv6AndSynMatchesWhateverTheOtherFlags) {
    // 32.1.0.0/16 rejected: 2001::/16 begins with the same bits.
    uint32_t data =
        place({{{{PLX_FIELD_SRC_ADDR, 0x20010000, 0x2001FFFF}}, test_action(PLX_ACT_REJECT)}},
              PLX_ACT_ACCEPT);
    uint32_t ar = place({{{{PLX_FIELD_TCP, 2, 2}}, test_action(PLX_ACT_REJECT)}}, PLX_ACT_ACCEPT);
    bind_vpn(3, data, ar);
    fp_input in{"ge0/0", "", 3, 1};
    auto run = [&](std::vector<uint8_t> ip) {
        fp_packet p;
        EXPECT_TRUE(fp_parse_ip(ip.data(), ip.size(), p, nullptr));
        return engine_->process(p, in);
    };
    auto v4 = [](uint8_t a, uint8_t b, uint8_t flags) {
        auto ip = ipv4(6, 0, 1000, 443, flags);
        ip[12] = a;
        ip[13] = b;
        return ip;
    };
    EXPECT_EQ(run(v4(32, 1, 0x10)), FP_VERDICT_DROP_POLICY);
    EXPECT_EQ(run(ipv6_tcp(0x2001, 0x10)), FP_VERDICT_FORWARD);
    // A policy without address rules applies to IPv6 too.
    EXPECT_EQ(run(ipv6_tcp(0x2001, 0x12)), FP_VERDICT_DROP_APP_ROUTE);
    for (uint8_t syn : {0x02, 0x12, 0xC2})
        EXPECT_EQ(run(v4(10, 1, syn)), FP_VERDICT_DROP_APP_ROUTE) << int(syn);
    EXPECT_EQ(run(v4(10, 1, 0x10)), FP_VERDICT_FORWARD);
}

}  // namespace
