// Operational writes through a real database: the chained threads keep the request order,
// and the synchronous write reports what the database said.
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qconfd/qconfd_keypath.h"
#include "qconfd/qconfd_util.h"
#include "tests/qconfd/qconfd_test_env.h"
#include "tests/support/test_process.h"

namespace {

using OperWrite = QconfdEnv;

TEST_F(OperWrite, ManyChainedWritesReachTheDatabaseInRequestOrder) {
    // Every change of an operational subscription on /debugs/plx, as "+path" / "-path".
    cdbt::Subscriber watcher;
    watcher.oper_subscribe("/debugs/plx", "plx");
    watcher.start();
    std::vector<std::string> seen;
    auto changes = [&] {
        for (const std::string &l : watcher.take())
            if (l.rfind("  ", 0) == 0)
                seen.push_back((l[2] == '-' ? "-" : "+") + l.substr(4, l.find(' ', 4) - 4));
        return seen;
    };
    const char *areas[] = {"config", "hbus", "dpi", "policy", "all"};
    std::set<std::string> on;
    std::vector<std::string> expected;
    std::mt19937 rng(7);
    // Every write is valid only after the one before it: out of order, a create would meet
    // an existing switch or a delete a missing one, and the change would not be seen.
    for (int i = 0; i < 150; ++i) {
        const std::string path = std::string("/debugs/plx/") + areas[rng() % 5];
        const bool create = !on.count(path);
        ASSERT_EQ(qconfd_set_cdb_oper_value(&ctx_, nullptr, path.c_str(),
                                            create ? QCONFD_OPER_CREATE : QCONFD_OPER_DELETE, 1),
                  0);
        create ? (void)on.insert(path) : (void)on.erase(path);
        expected.push_back((create ? "+" : "-") + path);
    }
    qconfd_oper_writes_join(&ctx_);
    ASSERT_TRUE(wait_for([&] { return changes().size() >= expected.size(); }));
    EXPECT_EQ(changes(), expected);
}

TEST_F(OperWrite, SynchronousWriteReportsTheDatabaseErrorAndToleratesNoChange) {
    auto exists = [&](const char *path) {
        int s = data_socket();
        cdb_start_session(s, CDB_OPERATIONAL);
        int rc = cdb_exists(s, "%s", path);
        cdb_close(s);
        return rc;
    };
    EXPECT_EQ(
        qconfd_vset_cdb_oper_value(&ctx_, nullptr, QCONFD_OPER_CREATE, 0, "/debugs/plx/%s", "dpi"),
        0);
    EXPECT_EQ(exists("/debugs/plx/dpi"), 1);
    EXPECT_EQ(qconfd_vset_cdb_oper_value(&ctx_, nullptr, QCONFD_OPER_CREATE, 1, "/debugs/plx/dpi"),
              CONFD_ERR_ALREADY_EXISTS);
    EXPECT_EQ(qconfd_vset_cdb_oper_value(&ctx_, nullptr, QCONFD_OPER_DELETE, 1, "/debugs/plx/dpi"),
              0);
    EXPECT_EQ(qconfd_vset_cdb_oper_value(&ctx_, nullptr, QCONFD_OPER_DELETE, 1, "/debugs/plx/dpi"),
              CONFD_ERR_NOEXISTS);
    EXPECT_EQ(exists("/debugs/plx/dpi"), 0);
    EXPECT_NE(qconfd_vset_cdb_oper_value(&ctx_, nullptr, QCONFD_OPER_CREATE, 1, "/debugs/no/such"),
              0);

    // A set carries its value; the asynchronous form copies it before the caller's goes away.
    {
        confd_value_t bits;
        CONFD_SET_BIT32(&bits, 5u);
        EXPECT_EQ(qconfd_set_cdb_oper_value(&ctx_, &bits, "/qconfd-initial-read-priority",
                                            QCONFD_OPER_SET, 1),
                  0);
    }
    qconfd_oper_writes_join(&ctx_);
    int s = data_socket();
    cdb_start_session(s, CDB_OPERATIONAL);
    confd_value_t got{};
    ASSERT_EQ(cdb_get(s, &got, "/qconfd-initial-read-priority"), CONFD_OK) << confd_lasterr();
    EXPECT_EQ(CONFD_GET_BIT32(&got), 5u);
    cdb_close(s);
}

TEST(KeypathKeys, FindsTheKeysOfTheNamedListOnly) {
    // /a/outer{x}/inner{y 7}/leaf, stored leaf-most first.
    confd_hkeypath_t kp{};
    kp.len = 6;
    CONFD_SET_XMLTAG(&kp.v[5][0], 1, 0);
    CONFD_SET_XMLTAG(&kp.v[4][0], 100, 0);
    CONFD_SET_BUF(&kp.v[3][0], "x", 1);
    CONFD_SET_NOEXISTS(&kp.v[3][1]);
    CONFD_SET_XMLTAG(&kp.v[2][0], 200, 0);
    CONFD_SET_BUF(&kp.v[1][0], "y", 1);
    CONFD_SET_UINT32(&kp.v[1][1], 7);
    CONFD_SET_NOEXISTS(&kp.v[1][2]);
    CONFD_SET_XMLTAG(&kp.v[0][0], 300, 0);

    confd_value_t buf[2];
    ASSERT_EQ(qconfd_keypath_get_keys(&kp, buf, 2, 200), buf);
    EXPECT_EQ(CONFD_GET_UINT32(&buf[1]), 7u);
    confd_value_t *outer = qconfd_keypath_get_keys(&kp, nullptr, 1, 100);
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(std::string(CONFD_GET_CBUFPTR(outer), CONFD_GET_BUFSIZE(outer)), "x");
    free(outer);
    EXPECT_EQ(qconfd_keypath_get_keys(&kp, nullptr, 1, 200), nullptr);  // it has two keys
    EXPECT_EQ(qconfd_keypath_get_keys(&kp, buf, 1, 999), nullptr);      // no such list
    EXPECT_EQ(qconfd_keypath_get_keys(&kp, buf, 0, 100), nullptr);

    // A reader gets every key, outermost first, and the object's own tag.
    bool no_memory = true;
    confd_value_t *all = qconfd_keypath_copy_keys(&kp, 3, no_memory);
    ASSERT_NE(all, nullptr);
    EXPECT_FALSE(no_memory);
    EXPECT_EQ(std::string(CONFD_GET_CBUFPTR(&all[0]), CONFD_GET_BUFSIZE(&all[0])), "x");
    EXPECT_EQ(std::string(CONFD_GET_CBUFPTR(&all[1]), CONFD_GET_BUFSIZE(&all[1])), "y");
    EXPECT_EQ(CONFD_GET_UINT32(&all[2]), 7u);
    qconfd_keypath_free_keys(all, 3);
    EXPECT_EQ(qconfd_keypath_own_tag(&kp), 300u);
}

}  // namespace
