#include "platform/hbus/hbus_msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

hbus_msg tloc_update() {
    hbus_msg m{};
    m.type = HBUS_MSG_TLOC_UPDATE;
    m.source = 2;
    m.family = HBUS_AF_INET;
    m.originator = 0x0A000001;
    m.color = 2;
    m.encap = 2;
    m.local = 1;
    m.status = 1;
    m.index = 0x01020304;
    m.preference = 0xFFFFFFFF;
    m.weight = 7;
    return m;
}

std::vector<uint8_t> encode(const hbus_msg &m) {
    std::vector<uint8_t> out(HBUS_WIRE_MAX);
    uint16_t len = 0;
    EXPECT_EQ(hbus_msg_encode(&m, out.data(), &len), 0);
    out.resize(len);
    return out;
}

std::string decode_error(const std::vector<uint8_t> &wire) {
    hbus_msg m;
    std::memset(&m, 0xAA, sizeof m);
    std::string err;
    EXPECT_EQ(hbus_msg_decode(&m, wire.data(), static_cast<uint32_t>(wire.size()), &err), 22);
    hbus_msg zero{};
    EXPECT_EQ(std::memcmp(&m, &zero, sizeof m), 0) << "a refused record is left zeroed";
    return err;
}

TEST(HbusMsg, RoundTripsEveryKindOfRecord) {
    hbus_msg sub{};
    sub.type = HBUS_MSG_SUBSCRIBE;
    sub.source = 9;
    sub.selector = 1;
    sub.flag_a = 1;
    hbus_msg other{};
    other.type = 77;
    other.source = 2;
    other.gap0[1] = 5;
    other.tail[600] = 9;
    hbus_msg withdraw = tloc_update();
    withdraw.type = HBUS_MSG_TLOC_WITHDRAW;
    for (const hbus_msg &in : {tloc_update(), withdraw, sub, other, hbus_msg{}}) {
        std::vector<uint8_t> wire = encode(in);
        hbus_msg out;
        std::string err;
        ASSERT_EQ(hbus_msg_decode(&out, wire.data(), static_cast<uint32_t>(wire.size()), &err), 0)
            << err;
        EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0) << "type " << in.type;
    }
}

TEST(HbusMsg, BodyBytesOutsideTheTypesFieldsAreNotCarried) {
    hbus_msg in = tloc_update();
    in.gap6[0] = 1;
    in.selector = 3;
    std::vector<uint8_t> wire = encode(in);
    hbus_msg out;
    ASSERT_EQ(hbus_msg_decode(&out, wire.data(), static_cast<uint32_t>(wire.size())), 0);
    EXPECT_EQ(out.gap6[0], 0);
    EXPECT_EQ(out.selector, 0u);
    EXPECT_EQ(out.weight, 7u);
}

TEST(HbusMsg, EncodeRefusesAnOpaqueBodyThatDoesNotFit) {
    hbus_msg big{};
    big.type = 40;
    std::memset(big.tail, 1, sizeof big.tail);
    big.gap0[0] = 1;  // body from offset 8 to the end: 1016 bytes
    std::vector<uint8_t> out(HBUS_WIRE_MAX);
    uint16_t len = 0;
    EXPECT_EQ(hbus_msg_encode(&big, out.data(), &len), 22);
}

TEST(HbusMsg, DecodeRefusesTruncatedOversizedAndInconsistentMessages) {
    const std::vector<uint8_t> good = encode(tloc_update());
    // Every proper prefix is refused.
    for (size_t n = 0; n < good.size(); ++n)
        decode_error(std::vector<uint8_t>(good.begin(), good.begin() + n));

    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_NE(decode_error(longer).find("attribute area"), std::string::npos);

    std::vector<uint8_t> huge(HBUS_WIRE_MAX + 1, 0);
    std::copy(good.begin(), good.end(), huge.begin());
    EXPECT_NE(decode_error(huge).find("oversized"), std::string::npos);

    auto patched = [&](size_t at, uint8_t v) {
        std::vector<uint8_t> w = good;
        w[at] = v;
        return decode_error(w);
    };
    EXPECT_NE(patched(0, 'X').find("magic"), std::string::npos);
    EXPECT_NE(patched(2, 2).find("version"), std::string::npos);
    // First attribute (family, tag 4, 4 bytes) at byte 14.
    EXPECT_NE(patched(15, 99).find("unknown"), std::string::npos);
    EXPECT_NE(patched(15, 1).find("in a message of type 5"), std::string::npos);
    EXPECT_NE(patched(15, 5).find("twice"), std::string::npos);

    // A value length that disagrees with the field: one byte short, area adjusted.
    std::vector<uint8_t> short_value = good;
    short_value[17] = 3;
    short_value.erase(short_value.begin() + 18);
    short_value[13] = static_cast<uint8_t>(short_value.size() - HBUS_WIRE_HDR_LEN);
    EXPECT_NE(decode_error(short_value).find("expected 4"), std::string::npos);
}

TEST(HbusMsg, DecodeRefusesOpaqueBytesOutsideTheBody) {
    hbus_msg other{};
    other.type = 77;
    other.gap0[0] = 1;
    std::vector<uint8_t> wire = encode(other);
    // Opaque attribute: tag at 14, length at 16, record offset at 18.
    wire[19] = 4;  // offset 4 would overwrite the source
    EXPECT_NE(decode_error(wire).find("offset"), std::string::npos);
    wire[18] = 0x04;  // offset 1028
    EXPECT_NE(decode_error(wire).find("offset"), std::string::npos);
}

}  // namespace
