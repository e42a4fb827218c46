// Decoding of change notifications as a subscriber reads them from the database.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/confd/confd_client.h"

using confd_wire::Op;
using confd_wire::WireWriter;

namespace {

struct Notification {
    uint32_t type = CDB_SUB_COMMIT;
    uint8_t op = MOP_VALUE_SET;
    uint8_t value_type = C_STR;  // of the event's new value
};

// One point (id 7) with one event at /12/{"ge0/0"}, then no point modifications.
std::vector<uint8_t> payload(const Notification &n) {
    confd_value_t tag, key, port;
    CONFD_SET_XMLTAG(&tag, 12, 99);
    CONFD_SET_STR(&key, const_cast<char *>("ge0/0"));
    CONFD_SET_UINT32(&port, 4565);
    confd_hkeypath_t kp{};
    kp.len = 2;
    kp.v[1][0] = tag;
    kp.v[1][1].type = C_NOEXISTS;
    kp.v[0][0] = key;
    kp.v[0][1].type = C_NOEXISTS;
    confd_tag_value_t mod{{13, 99}, port};

    WireWriter w(Op::Notify);
    w.u32(n.type);
    w.u32(CDB_SUB_FLAG_IS_LAST);
    w.u32(1);
    w.i32(7);
    w.u8(0);
    w.u32(1);
    w.u32(2);
    w.u8(n.op);
    w.keypath(kp);
    w.value(port);
    const size_t type_at = w.finish().size();
    w.value(key);
    w.tagged_list({&mod, 1});
    w.tagged_list({});
    std::vector<uint8_t> frame = w.finish();
    frame[type_at] = n.value_type;
    return {frame.begin() + confd_wire::kHeaderSize, frame.end()};
}

bool parse(const std::vector<uint8_t> &bytes, std::vector<confd_client::PointChanges> &points) {
    uint32_t type = 0, flags = 0;
    return confd_client::parse_notification(bytes, type, flags, points);
}

}  // namespace

TEST(ConfdNotification, DecodesPointsEventsAndModifications) {
    std::vector<confd_client::PointChanges> points;
    uint32_t type = 0, flags = 0;
    const std::vector<uint8_t> bytes = payload({});
    ASSERT_TRUE(confd_client::parse_notification(bytes, type, flags, points));
    EXPECT_EQ(type, static_cast<uint32_t>(CDB_SUB_COMMIT));
    EXPECT_EQ(flags, static_cast<uint32_t>(CDB_SUB_FLAG_IS_LAST));
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].id, 7);
    ASSERT_EQ(points[0].events.size(), 1u);
    EXPECT_EQ(points[0].events[0].op, MOP_VALUE_SET);
    const confd_client::EventData &ev = *points[0].events[0].data();
    confd_hkeypath_t kp{};
    ev.fill_keypath(kp);
    EXPECT_EQ(kp.len, 2);
    EXPECT_EQ(kp.v[1][0].val.xmltag.tag, 12u);
    EXPECT_STREQ(kp.v[0][0].val.s, "ge0/0");
    EXPECT_EQ(ev.oldv.val.u32, 4565u);
    EXPECT_STREQ(ev.newv.val.s, "ge0/0");
    ASSERT_EQ(ev.mods.items.size(), 1u);
    EXPECT_EQ(ev.mods.items[0].tag.tag, 13u);
    EXPECT_TRUE(points[0].point_mods()->items.empty());
}

// Every cut of a valid payload is refused; what was decoded up to the cut is freed with the
// points (the sanitizer build checks that nothing leaks).
TEST(ConfdNotification, TruncatedPayloadsAreRefused) {
    const std::vector<uint8_t> whole = payload({});
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        std::vector<confd_client::PointChanges> points;
        EXPECT_FALSE(parse({whole.begin(), whole.begin() + static_cast<long>(cut)}, points)) << cut;
    }
}

// Codes that name no notification type, change operation or value type are refused before
// they are taken for one (type codes past the last one cannot even be held by the enumeration).
TEST(ConfdNotification, UnknownCodesAreRefused) {
    for (uint32_t type : {0u, 5u, 0xFFFFFFFFu}) {
        std::vector<confd_client::PointChanges> points;
        EXPECT_FALSE(parse(payload({.type = type}), points)) << type;
    }
    for (uint8_t op : {0, 7, 255}) {
        std::vector<confd_client::PointChanges> points;
        EXPECT_FALSE(parse(payload({.op = op}), points)) << int{op};
    }
    for (int vt : {0, static_cast<int>(C_MAXTYPE), 153, 255}) {
        std::vector<confd_client::PointChanges> points;
        EXPECT_FALSE(parse(payload({.value_type = static_cast<uint8_t>(vt)}), points)) << vt;
    }
}
