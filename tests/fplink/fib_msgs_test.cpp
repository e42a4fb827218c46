#include "fplink/fib_msgs.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> encode(const fib_msg &m) {
    std::vector<uint8_t> w;
    EXPECT_EQ(fib_msg_encode(m, w), 0);
    return w;
}

TEST(FibMsgs, PolicyBindLayoutAndRoundTrip) {
    fib_policy_msg m;
    m.filter_type = 2;
    m.direction = 3;
    m.filter_id = 0x01020304;
    m.name = "pol\"1";
    m.vpn_ids = {1, 2, 3, 10};
    std::vector<uint8_t> w = encode(m);
    ASSERT_EQ(w.size(), 139u + 16);
    EXPECT_EQ(fib_policy_msg_buf(4), 156u);
    EXPECT_EQ(w[0], 1);
    EXPECT_EQ(w[1], 2);
    EXPECT_EQ(w[2], 3);
    EXPECT_EQ((std::vector<uint8_t>(w.begin() + 3, w.begin() + 7)),
              (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(w[7], 'p');
    EXPECT_EQ(w[138], 4);        // count, big-endian
    EXPECT_EQ(w[139 + 15], 10);  // last id
    fib_msg out;
    std::string err;
    ASSERT_EQ(fib_msg_decode(w, out, &err), 0) << err;
    auto &p = std::get<fib_policy_msg>(out);
    EXPECT_EQ(p.filter_id, 0x01020304u);
    EXPECT_EQ(p.vpn_ids, m.vpn_ids);
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
    ASSERT_EQ(w.size(), 139u + 76);
    EXPECT_EQ(w[139 + 3], 100);
    EXPECT_EQ(w[139 + 4], 1);
    EXPECT_EQ(w[139 + 5], 'g');
    fib_msg out;
    ASSERT_EQ(fib_msg_decode(w, out, nullptr), 0);
    auto &a = std::get<fib_acl_msg>(out);
    EXPECT_EQ(a.type, FIB_MSG_ACL_UNBIND);
    EXPECT_EQ(a.bindings[1].vpn_id, 0x1FFFFFFFu);
    EXPECT_EQ(a.bindings[1].intf, std::string(32, 'x'));
    EXPECT_NE(fib_msg_json(out).find("\"interface\":\"ge0/1\""), std::string::npos);

    // 33 characters would be cut to another interface's name: the message is refused whole.
    m.bindings[1].intf = std::string(33, 'x');
    std::vector<uint8_t> refused = {1};
    EXPECT_EQ(fib_msg_encode(m, refused), 22);
    EXPECT_TRUE(refused.empty());
}

TEST(FibMsgs, MalformedMessagesAreRejected) {
    fib_msg out;
    std::string err;
    fib_policy_msg p;
    p.vpn_ids = {5, 6};
    std::vector<uint8_t> w = encode(p);

    std::vector<uint8_t> cut(w.begin(), w.end() - 1);
    EXPECT_EQ(fib_msg_decode(cut, out, &err), 22);
    EXPECT_NE(err.find("truncated"), std::string::npos) << err;
    std::vector<uint8_t> longer = w;
    longer.push_back(0);
    EXPECT_EQ(fib_msg_decode(longer, out, &err), 22);
    EXPECT_NE(err.find("oversized"), std::string::npos) << err;
    EXPECT_EQ(fib_msg_decode(std::span<const uint8_t>(w.data(), 20), out, &err), 22);
    std::vector<uint8_t> huge_count = w;
    huge_count[135] = 0xFF;  // count far beyond the payload
    EXPECT_EQ(fib_msg_decode(huge_count, out, &err), 22);
    std::vector<uint8_t> noterm = w;
    for (int i = 7; i < 135; ++i)
        noterm[i] = 'a';
    EXPECT_EQ(fib_msg_decode(noterm, out, &err), 22);

    fib_acl_msg a;
    a.bindings = {{1, 1, "eth0"}};
    std::vector<uint8_t> aw = encode(a);
    aw[139 + 4] = 3;  // direction
    EXPECT_EQ(fib_msg_decode(aw, out, &err), 22);
    aw = encode(a);
    aw[1] = 2;  // family
    EXPECT_EQ(fib_msg_decode(aw, out, &err), 22);

    std::vector<uint8_t> dpi = {5};
    EXPECT_EQ(fib_msg_decode(dpi, out, &err), 0);
    EXPECT_EQ(fib_msg_type(out), 5);
    dpi.push_back(0);
    EXPECT_EQ(fib_msg_decode(dpi, out, &err), 22);
    std::vector<uint8_t> unknown = {9, 0, 0};
    EXPECT_EQ(fib_msg_decode(unknown, out, &err), 22);
    EXPECT_EQ(fib_msg_decode({}, out, &err), 22);
}

}  // namespace
