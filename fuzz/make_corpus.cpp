// Writes the fuzzers' seed corpora: a handful of small valid inputs per harness, made with the
// project's own encoders where it has them. Usage: fuzz_make_corpus DIR (DIR/<harness>/...).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "fplink/fib_msgs.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_wire.h"
#include "platform/hbus/hbus_msg.h"

using Bytes = std::vector<uint8_t>;
using confd_wire::Op;
using confd_wire::WireWriter;

namespace {

std::filesystem::path g_dir;

void put(const std::string &harness, const std::string &name, const Bytes &b) {
    std::filesystem::create_directories(g_dir / harness);
    std::ofstream f(g_dir / harness / name, std::ios::binary);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}
void put(const std::string &harness, const std::string &name, const std::string &s) {
    put(harness, name, Bytes(s.begin(), s.end()));
}
Bytes cat(uint8_t a, uint8_t b, const Bytes &rest) {
    Bytes out{a, b};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

Bytes encode(const fib_msg &m) {
    Bytes out;
    if (fib_msg_encode(m, out) != 0)
        std::abort();
    return out;
}

void fib() {
    fib_policy_msg bind;
    bind.filter_type = 1;
    bind.direction = 1;
    bind.filter_id = 3;
    bind.name = "data-policy-1";
    bind.vpn_ids = {1, 2, 3, 10};
    put("fib_msg_fuzz", "policy-bind", encode(bind));
    fib_policy_msg unbind;
    unbind.type = FIB_MSG_POLICY_UNBIND;
    unbind.filter_type = 2;
    unbind.name = "app-route";
    put("fib_msg_fuzz", "policy-unbind-empty", encode(unbind));
    fib_acl_msg acl;
    acl.family = 1;
    acl.filter_id = 7;
    acl.name = "acl6";
    acl.bindings = {{10, 1, "ge0/0"}, {20, 2, "ge0/1.100"}};
    put("fib_msg_fuzz", "acl-bind", encode(acl));
    acl.type = FIB_MSG_ACL_UNBIND;
    acl.bindings.resize(1);
    put("fib_msg_fuzz", "acl-unbind", encode(acl));
    put("fib_msg_fuzz", "dpi-off", encode(fib_dpi_off_msg{}));
}

void hbus() {
    auto encode = [](const hbus_msg &rec) {
        uint8_t out[HBUS_WIRE_MAX];
        uint16_t len = 0;
        hbus_msg_encode(&rec, out, &len);
        return Bytes(out, out + len);
    };
    hbus_msg sub{};
    sub.type = HBUS_MSG_SUBSCRIBE;
    sub.source = 9;
    sub.selector = 1;
    sub.flag_a = 1;
    put("hbus_msg_fuzz", "subscribe", encode(sub));
    hbus_msg up{};
    up.type = HBUS_MSG_TLOC_UPDATE;
    up.source = 2;
    up.family = HBUS_AF_INET;
    up.originator = 0x0A000001;
    up.color = 4;
    up.encap = 2;
    up.local = 1;
    up.status = 1;
    up.index = 12;
    up.preference = 100;
    up.weight = 1;
    put("hbus_msg_fuzz", "tloc-update", encode(up));
    up.type = HBUS_MSG_TLOC_WITHDRAW;
    put("hbus_msg_fuzz", "tloc-withdraw", encode(up));
    hbus_msg other{};
    other.type = 42;
    other.source = 2;
    other.tail[0] = 0xAB;
    other.gap0[1] = 7;
    put("hbus_msg_fuzz", "opaque", encode(other));
}

void confd() {
    confd_value_t str;
    CONFD_SET_STR(&str, const_cast<char *>("ge0/0"));
    confd_value_t u32;
    CONFD_SET_UINT32(&u32, 4565);
    confd_value_t ip;
    CONFD_SET_IPV4(&ip, in_addr{0x0100000A});
    confd_value_t tag;
    CONFD_SET_XMLTAG(&tag, 0x1234, 0x99);
    confd_value_t items[2] = {str, u32};
    confd_value_t list;
    list.type = C_LIST;
    list.val.list.size = 2;
    list.val.list.ptr = items;

    confd_hkeypath_t kp{};
    kp.len = 2;
    kp.v[1][0] = tag;
    kp.v[1][1].type = C_NOEXISTS;
    kp.v[0][0] = str;
    kp.v[0][1].type = C_NOEXISTS;
    confd_tag_value_t tvs[2];
    tvs[0].tag = {0x55, 0x99};
    tvs[0].v = ip;
    tvs[1].tag = {0x56, 0x99};
    tvs[1].v = list;

    WireWriter n(Op::Notify);
    n.u32(1);  // cdb_sub_notification: prepare
    n.u32(0);
    n.u32(1);  // one point
    n.i32(7);
    n.u8(0);
    n.u32(1);  // one event
    n.u32(2);
    n.u8(1);
    n.keypath(kp);
    n.value(u32);
    n.value(str);
    n.tagged_list(tvs);
    n.tagged_list({});
    const Bytes frame = n.finish();
    const Bytes payload(frame.begin() + confd_wire::kHeaderSize, frame.end());
    Bytes notify{0};
    notify.insert(notify.end(), payload.begin(), payload.end());
    put("confd_wire_fuzz", "notify-payload", notify);
    Bytes whole{3};
    whole.insert(whole.end(), frame.begin(), frame.end());
    put("confd_wire_fuzz", "notify-frame", whole);

    WireWriter v(Op::Get);
    for (const confd_value_t &x : {str, u32, ip, tag, list})
        v.value(x);
    const Bytes vf = v.finish();
    Bytes values{1};
    values.insert(values.end(), vf.begin() + confd_wire::kHeaderSize, vf.end());
    put("confd_wire_fuzz", "values", values);

    WireWriter r(Op::CbGetObject);
    r.keypath(kp);
    r.tagged_list(tvs);
    const Bytes rf = r.finish();
    Bytes req{2};
    req.insert(req.end(), rf.begin() + confd_wire::kHeaderSize, rf.end());
    put("confd_wire_fuzz", "request", req);
}

Bytes msgq_msg(uint8_t type, const Bytes &payload, uint8_t src = 3, uint8_t dst = 9) {
    msgq_hdr h{MAGIC1, static_cast<uint16_t>(MSGQ_HDR_LEN + payload.size()), src, dst, type,
               MAGIC2};
    Bytes b(sizeof h);
    std::memcpy(b.data(), &h, sizeof h);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

void msgq() {
    fib_policy_msg bind;
    bind.name = "p";
    bind.vpn_ids = {1, 2};
    Bytes stream = msgq_msg(MSGQ_MSG_TYPE_DATA, encode(bind));
    Bytes second = msgq_msg(MSGQ_MSG_TYPE_DATA, {5});
    stream.insert(stream.end(), second.begin(), second.end());
    put("msgq_frame_fuzz", "two-messages", cat(0, 7, stream));
    Bytes reg = msgq_msg(MSGQ_MSG_TYPE_REGISTER, {});
    reg.insert(reg.end(), second.begin(), second.end());
    put("msgq_frame_fuzz", "own-registration", cat(2, 1, reg));
    put("msgq_frame_fuzz", "app-header", cat(1, 3, {0xAA, 0xBB, 0, 7, 1, 2, 3, 0, 0, 0, 5, 9}));
}

void plxc() {
    put("plxc_rules_fuzz", "text",
        "# data policy\n"
        "default accept\n"
        "rule web protocol=6 dst-port=80,443 src-addr=10.0.0.0/8 -> accept count web\n"
        "rule dns protocol=17 dst-port=53 -> set-dscp 46 count dns\n"
        "rule block dscp=10-20 -> reject log\n"
        "protocol=6 src-port=1024 dst-addr=10.1.2.3\n");
    put("plxc_rules_fuzz", "classbench",
        "@10.0.0.0/8\t192.168.1.0/24\t0 : 65535\t80 : 80\t0x06/0xFF\t0x0000/0x0000\n"
        "@0.0.0.0/0\t0.0.0.0/0\t0 : 65535\t53 : 53\t0x11/0xFF\t0x0000/0x0000\n"
        "@0.0.0.0/0\t0.0.0.0/0\t0 : 65535\t0 : 65535\t0x00/0x00\t0x0000/0x0000\n");
    put("plxc_rules_fuzz", "packets", "167772161 3232235777 1234 80 6 0 1\n");
}

Bytes ipv4_tcp() {
    Bytes ip = {0x45, 0xB8, 0, 40, 0, 1, 0x40, 0, 64, 6, 0, 0, 10, 0, 0, 1, 192, 168, 1, 2};
    Bytes tcp = {0x04, 0xD2, 0, 80, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x02, 0xFF, 0xFF, 0, 0, 0, 0};
    ip.insert(ip.end(), tcp.begin(), tcp.end());
    return ip;
}

Bytes ipv6_frag_udp() {
    Bytes ip(40, 0);
    ip[0] = 0x60;
    ip[5] = 16;
    ip[6] = 44;  // fragment header
    ip[7] = 64;
    ip[8] = 0x20;
    ip[9] = 0x01;
    ip[24] = 0x20;
    ip[25] = 0x01;
    ip[39] = 1;
    Bytes frag = {17, 0, 0, 0, 0, 0, 0, 1};
    Bytes udp = {0x13, 0x88, 0, 53, 0, 8, 0, 0};
    ip.insert(ip.end(), frag.begin(), frag.end());
    ip.insert(ip.end(), udp.begin(), udp.end());
    return ip;
}

void packets() {
    // Harness kinds: 0 Ethernet, 1 Linux cooked, 2 raw IP, ...; see fp_packet_fuzz.
    Bytes eth = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x81, 0x00, 0, 100, 0x08, 0x00};
    Bytes v4 = ipv4_tcp();
    Bytes e4 = {0};
    e4.insert(e4.end(), eth.begin(), eth.end());
    e4.insert(e4.end(), v4.begin(), v4.end());
    put("fp_packet_fuzz", "ethernet-vlan-ipv4-tcp", e4);
    Bytes sll = {1, 0, 0, 0, 1, 0, 6, 0, 1, 2, 3, 4, 5, 0, 0, 0x86, 0xDD};
    Bytes v6 = ipv6_frag_udp();
    sll.insert(sll.end(), v6.begin(), v6.end());
    put("fp_packet_fuzz", "cooked-ipv6-fragment-udp", sll);
    Bytes raw = {2};
    raw.insert(raw.end(), v6.begin(), v6.end());
    put("fp_packet_fuzz", "raw-ipv6", raw);
    const std::string trace = "167772161\t3232235777\t1234\t80\t6\t2\t5\n";
    Bytes line = {255};
    line.insert(line.end(), trace.begin(), trace.end());
    put("fp_packet_fuzz", "trace-line", line);
}

// Frames a client sends after its Hello; the harness sends the Hello for the kind in byte 0
// (0 read, 1 subscription, 2 data, 3 schema, 4 management, 5 command line, 6 control, 7 worker).
void cdbd() {
    auto frames = [](std::initializer_list<Bytes> fs) {
        Bytes out;
        for (const Bytes &f : fs)
            out.insert(out.end(), f.begin(), f.end());
        return out;
    };
    auto path_frame = [](Op op, const std::string &path) {
        WireWriter w(op);
        w.str(path);
        return Bytes(w.finish());
    };
    WireWriter start(Op::StartSession);
    start.u32(CDB_RUNNING);
    start.u32(0);
    Bytes data = frames({start.finish(), path_frame(Op::Get, "/policy/log-frequency"),
                         path_frame(Op::Exists, "/policy/lists"),
                         path_frame(Op::NumInstances, "/policy/lists/data-prefix-list"),
                         WireWriter(Op::EndSession).finish()});
    Bytes d{2, 9};
    d.insert(d.end(), data.begin(), data.end());
    put("cdbd_frame_fuzz", "data-session", d);

    WireWriter sub(Op::Subscribe);
    sub.u8(0);
    sub.i32(10);
    sub.u32(0);
    sub.str("/policy");
    Bytes s{1, 5};
    Bytes sf = frames({sub.finish(), WireWriter(Op::SubscribeDone).finish()});
    s.insert(s.end(), sf.begin(), sf.end());
    put("cdbd_frame_fuzz", "subscribe", s);

    WireWriter edit(Op::CliEdit);
    edit.u8(0);
    edit.u8(1);
    edit.str(
        "{\"quorvel-policy:policy\":{\"log-frequency\":500,\"lists\":{\"data-prefix-list\":"
        "[{\"name\":\"p1\",\"ip-prefix\":[{\"prefix\":\"10.0.0.0/8\"}]}]}}}");
    WireWriter show(Op::CliShow);
    show.str("");
    show.u8(1);
    show.u8(0);
    WireWriter set(Op::CliSet);
    set.str("/policy/log-frequency");
    set.str("100");
    Bytes cli{5, 200};
    Bytes cf = frames({edit.finish(), show.finish(), set.finish(),
                       path_frame(Op::CliDelete, "/policy/lists/data-prefix-list{p1}"),
                       WireWriter(Op::CliStatus).finish()});
    cli.insert(cli.end(), cf.begin(), cf.end());
    put("cdbd_frame_fuzz", "cli", cli);

    Bytes ctl{6, 1};
    Bytes rf = frames({path_frame(Op::RegData, "plx-show"), path_frame(Op::RegAction, "plx-clear"),
                       WireWriter(Op::RegDone).finish()});
    ctl.insert(ctl.end(), rf.begin(), rf.end());
    put("cdbd_frame_fuzz", "daemon-registration", ctl);
    Bytes schema{3, 0};
    Bytes gf = WireWriter(Op::GetSchema).finish();
    schema.insert(schema.end(), gf.begin(), gf.end());
    put("cdbd_frame_fuzz", "schema", schema);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_corpus DIR\n");
        return 2;
    }
    g_dir = argv[1];
    fib();
    hbus();
    confd();
    msgq();
    plxc();
    packets();
    cdbd();
    return 0;
}
