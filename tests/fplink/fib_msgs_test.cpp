#include "fplink/fib_msgs.h"

#include <gtest/gtest.h>

#include "common/plx_status.h"

namespace {

std::vector<uint8_t> encode(const fib_msg &m) {
    std::vector<uint8_t> w;
    EXPECT_EQ(fib_msg_encode(m, w), PLX_OK);
    return w;
}

fib_msg decode(const std::vector<uint8_t> &w) {
    fib_msg out;
    std::string err;
    EXPECT_EQ(fib_msg_decode(w, out, &err), PLX_OK) << err;
    return out;
}

TEST(FibMsgs, PolicyBindLayoutAndRoundTrip) {
    fib_policy_msg m;
    m.filter_type = 2;
    m.direction = 3;
    m.filter_id = 0x01020304;
    m.name = "pol\"1";
    m.vpn_ids = {1, 2, 3, 10};
    std::vector<uint8_t> w = encode(m);
    ASSERT_EQ(w.size(), fib_policy_msg_len(4));
    EXPECT_LE(w.size(), fib_policy_msg_buf(4));
    EXPECT_EQ((std::vector<uint8_t>(w.begin(), w.begin() + 7)),
              (std::vector<uint8_t>{1, 2, 3, 1, 2, 3, 4}));  // type, filter type, direction, id
    EXPECT_EQ(w[offsetof(fib_policy_wire, name)], 'p');
    EXPECT_EQ(w[offsetof(fib_policy_wire, count) + 3], 4);  // count, big-endian
    EXPECT_EQ(w.back(), 10);                                // last id
    fib_msg out = decode(w);
    EXPECT_EQ(std::get<fib_policy_msg>(out).vpn_ids, m.vpn_ids);
    EXPECT_EQ(fib_msg_json(out),
              "{\"type\":1,\"op\":\"policy-bind\",\"filter_type\":2,\"direction\":3,"
              "\"filter_id\":16909060,\"name\":\"pol\\\"1\",\"vpn_ids\":[1,2,3,10]}");
}

TEST(FibMsgs, AclBindLayoutAndRoundTrip) {
    fib_acl_msg m;
    m.type = FIB_MSG_ACL_UNBIND;
    m.family = 1;
    m.filter_id = 7;
    m.name = "acl6";
    m.bindings = {{100, 1, "ge0/1"}, {0x1FFFFFFFu, 2, std::string(32, 'x')}};
    std::vector<uint8_t> w = encode(m);
    ASSERT_EQ(w.size(), fib_acl_msg_len(2));
    const size_t b0 = sizeof(fib_acl_wire);
    EXPECT_EQ(w[b0 + 3], 100);
    EXPECT_EQ(w[b0 + offsetof(fib_acl_binding_wire, direction)], 1);
    EXPECT_EQ(w[b0 + offsetof(fib_acl_binding_wire, intf)], 'g');
    fib_msg out = decode(w);
    auto &a = std::get<fib_acl_msg>(out);
    EXPECT_EQ(a.type, FIB_MSG_ACL_UNBIND);
    EXPECT_EQ(a.bindings[1].vpn_id, 0x1FFFFFFFu);
    EXPECT_EQ(a.bindings[1].intf, std::string(32, 'x'));
    EXPECT_NE(fib_msg_json(out).find("\"interface\":\"ge0/1\""), std::string::npos);

    // 33 characters would be cut to another interface's name: the message is refused whole.
    m.bindings[1].intf = std::string(33, 'x');
    std::vector<uint8_t> refused = {1};
    EXPECT_EQ(fib_msg_encode(m, refused), PLX_EINVAL);
    EXPECT_TRUE(refused.empty());
}

TEST(FibMsgs, MalformedMessagesAreRejected) {
    fib_policy_msg p;
    p.vpn_ids = {5, 6};
    const std::vector<uint8_t> w = encode(p);
    fib_acl_msg a;
    a.bindings = {{1, 1, "eth0"}};
    const std::vector<uint8_t> aw = encode(a);
    auto changed = [](std::vector<uint8_t> v, size_t at, uint8_t value) {
        if (at == v.size())
            v.push_back(value);
        v[at] = value;
        return v;
    };
    std::vector<uint8_t> noterm = w;
    std::fill(noterm.begin() + offsetof(fib_policy_wire, name),
              noterm.begin() + offsetof(fib_policy_wire, count), 'a');
    const struct {
        std::vector<uint8_t> bytes;
        const char *why;
    } cases[] = {
        {{w.begin(), w.end() - 1}, "truncated"},
        {changed(w, w.size(), 0), "oversized"},
        {{w.begin(), w.begin() + 20}, "header needs 139"},
        {changed(w, offsetof(fib_policy_wire, count), 0xFF), "truncated"},  // count far too large
        {noterm, "policy name not terminated"},
        {changed(aw, sizeof(fib_acl_wire) + 4, 3), "bad direction 3"},
        {changed(aw, 1, 2), "bad family 2"},
        {{FIB_MSG_DPI_OFF, 0}, "oversized"},
        {{9, 0, 0}, "unknown message type 9"},
        {{}, "empty message"},
    };
    for (const auto &c : cases) {
        fib_msg out;
        std::string err;
        EXPECT_EQ(fib_msg_decode(c.bytes, out, &err), PLX_EINVAL) << c.why;
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
    }
    EXPECT_EQ(fib_msg_type(decode({FIB_MSG_DPI_OFF})), FIB_MSG_DPI_OFF);
}

}  // namespace
