// Client library values: deep copies, printing, key paths and the wire encoding.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_wire.h"

namespace {

confd_value_t buf(const char *s) {
    confd_value_t v;
    CONFD_SET_BUF(&v, strdup(s), strlen(s));
    return v;
}

// The bytes after the frame header of what `w` wrote.
std::vector<uint8_t> body(confd_wire::WireWriter &w) {
    const auto &frame = w.finish();
    return {frame.begin() + confd_wire::kHeaderSize, frame.end()};
}

std::string pp(const confd_value_t &v) {
    char b[128];
    confd_pp_value(b, sizeof b, &v);
    return b;
}

}  // namespace

TEST(ConfdValues, DupIsDeepAndEqual) {
    confd_value_t items[2] = {buf("a"), buf("bc")};
    confd_value_t list;
    CONFD_SET_LIST(&list, items, 2);
    confd_value_t copy;
    ASSERT_EQ(confd_value_dup_to(&list, &copy), &copy);
    EXPECT_TRUE(confd_val_eq(&list, &copy));
    EXPECT_NE(copy.val.list.ptr, items);
    EXPECT_NE(copy.val.list.ptr[1].val.buf.ptr, items[1].val.buf.ptr);
    items[1].val.buf.ptr[0] = 'x';
    EXPECT_FALSE(confd_val_eq(&list, &copy));
    confd_free_value(&copy);
    confd_free_value(&items[0]);
    confd_free_value(&items[1]);
}

TEST(ConfdValues, PrintsEveryReaderType) {
    confd_value_t v;
    CONFD_SET_UINT16(&v, 65530);
    EXPECT_EQ(pp(v), "65530");
    CONFD_SET_INT32(&v, -5);
    EXPECT_EQ(pp(v), "-5");
    CONFD_SET_BOOL(&v, 1);
    EXPECT_EQ(pp(v), "true");
    in_addr a;
    inet_pton(AF_INET, "10.1.2.3", &a);
    CONFD_SET_IPV4(&v, a);
    EXPECT_EQ(pp(v), "10.1.2.3");
    confd_ipv4_prefix p{a, 24};
    CONFD_SET_IPV4PREFIX(&v, p);
    EXPECT_EQ(pp(v), "10.1.2.3/24");
    v.type = C_DECIMAL64;
    v.val.d64 = {-1205, 2};
    EXPECT_EQ(pp(v), "-12.05");
    CONFD_SET_BIT32(&v, 5);
    EXPECT_EQ(pp(v), "0x5");
    // The returned length is the full text's, like snprintf.
    char small[4];
    CONFD_SET_UINT64(&v, 123456789);
    EXPECT_EQ(confd_pp_value(small, sizeof small, &v), 9);
    EXPECT_STREQ(small, "123");
}

TEST(ConfdValues, KeyPathPrintsLeafMostLast) {
    confd_hkeypath_t kp{};
    kp.len = 3;
    CONFD_SET_XMLTAG(&kp.v[2][0], 11, 1);
    CONFD_SET_XMLTAG(&kp.v[1][0], 12, 1);
    kp.v[0][0] = buf("a b");
    CONFD_SET_UINT32(&kp.v[0][1], 7);
    kp.v[0][2].type = C_NOEXISTS;
    char out[128];
    confd_pp_kpath(out, sizeof out, &kp);
    // Without a schema, tags print as numbers; keys with blanks are quoted.
    EXPECT_STREQ(out, "/11/12{\"a b\" 7}");
    confd_free_value(&kp.v[0][0]);
}

TEST(ConfdWire, ValuesRoundTrip) {
    confd_value_t items[2];
    CONFD_SET_UINT8(&items[0], 46);
    CONFD_SET_UINT8(&items[1], 10);
    confd_value_t in[9];
    CONFD_SET_LIST(&in[0], items, 2);
    in[1] = buf("corp");
    CONFD_SET_ENUM_VALUE(&in[2], -3);
    in6_addr a6;
    inet_pton(AF_INET6, "2001:db8::1", &a6);
    CONFD_SET_IPV6(&in[3], a6);
    CONFD_SET_BIT64(&in[4], 1ull << 40);
    CONFD_SET_XMLTAG(&in[5], 99, 7);
    in[6].type = C_IPV4PREFIX;
    in[6].val.ipv4prefix.len = 24;
    inet_pton(AF_INET, "10.1.2.0", &in[6].val.ipv4prefix.ip);
    in[7].type = C_DECIMAL64;
    in[7].val.d64 = {12345, 2};
    in[8].type = C_DATETIME;
    in[8].val.datetime = {2026, 12, 7, 1, 2, 3, 456, 1, 0};
    confd_wire::WireWriter w(confd_wire::Op::Get);
    for (auto &v : in)
        ASSERT_TRUE(w.value(v));
    const std::vector<uint8_t> b = body(w);
    confd_wire::WireReader r(b.data(), b.size());
    for (auto &v : in) {
        confd_value_t out;
        ASSERT_TRUE(r.value(out));
        EXPECT_TRUE(confd_val_eq(&v, &out)) << pp(v) << " vs " << pp(out);
        confd_free_value(&out);
    }
    EXPECT_TRUE(r.at_end());
    // Skipping steps over each value exactly as decoding does.
    confd_wire::WireReader skip(b.data(), b.size());
    for (size_t i = 0; i < std::size(in); ++i)
        EXPECT_TRUE(skip.skip_value()) << i;
    EXPECT_TRUE(skip.at_end());
    confd_free_value(&in[1]);
}

TEST(ConfdWire, TruncatedOrUnknownInputFailsCleanly) {
    confd_value_t v = buf("hello");
    confd_wire::WireWriter w(confd_wire::Op::Get);
    ASSERT_TRUE(w.value(v));
    confd_free_value(&v);
    const std::vector<uint8_t> b = body(w);
    for (size_t cut = 0; cut < b.size(); ++cut) {
        confd_wire::WireReader r(b.data(), cut), skip(b.data(), cut);
        confd_value_t out;
        EXPECT_FALSE(r.value(out)) << cut;
        EXPECT_FALSE(r.ok());
        EXPECT_FALSE(skip.skip_value()) << cut;
    }
    const uint8_t bad[] = {200, 0, 0, 0, 0};
    confd_wire::WireReader r(bad, sizeof bad);
    confd_value_t out;
    EXPECT_FALSE(r.value(out));
    // A list claiming more elements than bytes left is refused before allocating.
    const uint8_t huge[] = {C_LIST, 0xff, 0xff, 0xff, 0x7f};
    confd_wire::WireReader r2(huge, sizeof huge);
    EXPECT_FALSE(r2.value(out));
}

// Lists nest only so deep on the wire, both ways; a value nested far deeper (built by hand)
// is still freed.
TEST(ConfdWire, NestingIsBoundedAndDeepValuesAreFreed) {
    std::vector<uint8_t> deep;
    for (int i = 0; i < 400000; ++i)
        deep.insert(deep.end(), {C_LIST, 1, 0, 0, 0});
    deep.push_back(C_BOOL);
    deep.insert(deep.end(), 8, 0);
    confd_value_t out;
    confd_wire::WireReader r(deep.data(), deep.size());
    EXPECT_FALSE(r.value(out));
    EXPECT_FALSE(r.ok());

    // Just deep enough is fine.
    const size_t ok_depth = confd_wire::kMaxValueDepth;
    confd_wire::WireReader r2(deep.data() + (400000 - ok_depth) * 5, ok_depth * 5 + 9);
    ASSERT_TRUE(r2.value(out));
    confd_free_value(&out);

    confd_value_t root;
    CONFD_SET_BOOL(&root, true);
    for (int i = 0; i < 1000000; ++i) {
        auto *inner = static_cast<confd_value_t *>(malloc(sizeof(confd_value_t)));
        *inner = root;
        CONFD_SET_LIST(&root, inner, 1);
    }
    confd_wire::WireWriter w(confd_wire::Op::Get);
    EXPECT_FALSE(w.value(root));
    confd_free_value(&root);
    EXPECT_EQ(root.val.list.ptr, nullptr);
}

// A tagged-value list round-trips; a cut list hands over the values read before the cut.
TEST(ConfdWire, TaggedListsRoundTripAndKeepWhatWasReadOnACut) {
    confd_tag_value_t in[3] = {};
    in[0].tag = {11, 1};
    in[0].v = buf("ge0/1");
    in[1].tag = {12, 1};
    CONFD_SET_UINT32(&in[1].v, 7);
    in[2].tag = {13, 1};
    in[2].v = buf("x");
    confd_wire::WireWriter w(confd_wire::Op::Get);
    ASSERT_TRUE(w.tagged_list(in));
    const std::vector<uint8_t> b = body(w);
    std::vector<confd_tag_value_t> out;
    confd_wire::WireReader r(b.data(), b.size());
    ASSERT_TRUE(r.tagged_list(out));
    ASSERT_EQ(out.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i].tag.tag, in[i].tag.tag);
        EXPECT_TRUE(confd_val_eq(&out[i].v, &in[i].v)) << i;
        confd_free_value(&out[i].v);
    }
    out.clear();
    confd_wire::WireReader cut(b.data(), b.size() - 1);
    EXPECT_FALSE(cut.tagged_list(out));
    EXPECT_EQ(out.size(), 2u);
    for (auto &tv : out)
        confd_free_value(&tv.v);
    // A value the protocol does not carry stops the writer.
    confd_tag_value_t odd{};
    odd.v.type = C_UNION;
    confd_wire::WireWriter w2(confd_wire::Op::Get);
    EXPECT_FALSE(w2.tagged_list({&odd, 1}));
    confd_free_value(&in[0].v);
    confd_free_value(&in[2].v);
}

// A key path read part way frees exactly what was read, whatever the record held before; a
// "no value" inside a key set is refused rather than hiding the keys after it.
TEST(ConfdWire, KeyPathsCutOrMalformedFreeWhatWasRead) {
    confd_hkeypath_t kp{};
    kp.len = 2;
    CONFD_SET_XMLTAG(&kp.v[1][0], 12, 1);
    kp.v[1][1].type = C_NOEXISTS;
    kp.v[0][0] = buf("ge0/0");
    kp.v[0][1] = buf("10");
    kp.v[0][2].type = C_NOEXISTS;
    confd_wire::WireWriter w(confd_wire::Op::Get);
    ASSERT_TRUE(w.keypath(kp));
    const std::vector<uint8_t> b = body(w);
    for (size_t cut = 0; cut <= b.size(); ++cut) {
        confd_hkeypath_t out;
        std::memset(&out, 0xAB, sizeof out);
        confd_wire::WireReader r(b.data(), cut);
        EXPECT_EQ(r.keypath(out), cut == b.size()) << cut;
        confd_wire::free_keypath(out);
    }
    // The same path with "no value" in front of the keys of the list entry.
    const long keys = (1 + 4 + 5) + (1 + 4 + 2);  // both keys: type, length, bytes
    std::vector<uint8_t> hole(b.begin(), b.end() - keys);
    hole.back() = 3;  // the key count
    hole.insert(hole.end(), {C_NOEXISTS, 0, 0, 0, 0, 0, 0, 0, 0});
    hole.insert(hole.end(), b.end() - keys, b.end());
    confd_hkeypath_t out{};
    confd_wire::WireReader r(hole.data(), hole.size());
    EXPECT_FALSE(r.keypath(out));
    confd_wire::free_keypath(out);
    confd_free_value(&kp.v[0][0]);
    confd_free_value(&kp.v[0][1]);
}

TEST(ConfdErrors, ErrnoIsPerThreadAndCallsOnUnknownSocketsFail) {
    EXPECT_EQ(cdb_start_session(12345, CDB_RUNNING), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_PROTOUSAGE);
    EXPECT_NE(std::string(confd_lasterr()), "");
    EXPECT_STREQ(confd_strerror(CONFD_ERR_NOEXISTS), "item does not exist");
    EXPECT_EQ(confd_init("t", nullptr, CONFD_SILENT), CONFD_OK);
    EXPECT_EQ(confd_init_vsn_sz("t", nullptr, CONFD_SILENT, 0x06000000, 20, 9), CONFD_ERR);
}
