// plxd's module record: the subscription table's priorities, and against a real database every
// action point answers and the debug switches follow the actions and the operational containers
// under /debugs/plx.
#include <gtest/gtest.h>

#include <set>

#include "daemon/plx_confd_module.h"
#include "daemon/plx_debug.h"
#include "platform/confd/confd_dp.h"
#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_util.h"
#include "tests/policy/reader_fixture.h"
#include "tests/qconfd/qconfd_fixture.h"
#include "tests/support/test_process.h"

namespace {

// Writes of the debug actions, as "+path" (create) or "-path" (delete); a path named in
// g_refuse fails.
std::vector<std::string> g_writes;
std::string g_refuse;

int record_write(const char *path, int operation) {
    if (g_refuse == path)
        return 1;
    g_writes.push_back((operation == QCONFD_OPER_CREATE ? "+" : "-") + std::string(path));
    return 0;
}

class DebugActions : public ::testing::Test {
  protected:
    void SetUp() override {
        plx_debug_set_writer(record_write);
        g_writes.clear();
        g_refuse.clear();
        plx_debug_flags = 0;
    }
    void TearDown() override {
        plx_debug_set_writer(nullptr);
        plx_debug_flags = 0;
        qconfd_debug_disable();
    }
    using Action = int (*)(confd_user_info *, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *,
                           int);
    static int run(Action action) { return action(nullptr, nullptr, nullptr, nullptr, 0); }
};

// Single switches and "all" write their containers; disabling removes what is on; a write that
// fails leaves the debug word as it was.
TEST_F(DebugActions, SwitchesWriteTheirContainersAndFailedWritesChangeNothing) {
    EXPECT_EQ(run(plx_debug_dpi), CONFD_OK);
    EXPECT_EQ(plx_debug_flags, PLX_DEBUG_DPI);
    // All replaces the single switch: its container goes, "all" comes, the layer traces.
    EXPECT_EQ(run(plx_debug_all), CONFD_OK);
    EXPECT_EQ(plx_debug_flags, PLX_DEBUG_ALL_ON);
    EXPECT_EQ(qconfd_debug_level(), 1);
    // A single switch while all are on changes nothing.
    EXPECT_EQ(run(plx_debug_config), CONFD_OK);
    EXPECT_EQ(g_writes, (std::vector<std::string>{"+/debugs/plx/dpi", "-/debugs/plx/dpi",
                                                  "+/debugs/plx/all"}));
    // Also after SIGUSR1 switched everything on, "all" is removed though no action created it.
    g_writes.clear();
    plx_debug_flags = PLX_DEBUG_ALL_ON;
    EXPECT_EQ(run(plx_debug_disable_all), CONFD_OK);
    EXPECT_EQ(g_writes, (std::vector<std::string>{"-/debugs/plx/all"}));

    run(plx_debug_config);
    run(plx_debug_policy);
    g_writes.clear();
    EXPECT_EQ(run(plx_debug_disable_all), CONFD_OK);
    EXPECT_EQ(plx_debug_flags, PLX_DEBUG_ALL_OFF);
    EXPECT_EQ(g_writes, (std::vector<std::string>{"-/debugs/plx/config", "-/debugs/plx/policy"}));

    plx_debug_flags = 0;
    g_refuse = PLX_DEBUG_PATH_HBUS;
    EXPECT_EQ(run(plx_debug_hbus), CONFD_ERR);
    EXPECT_EQ(plx_debug_flags, 0u);
    run(plx_debug_config);
    g_refuse = PLX_DEBUG_PATH_CONFIG;
    EXPECT_EQ(run(plx_debug_disable_all), CONFD_ERR);
    EXPECT_EQ(plx_debug_flags, PLX_DEBUG_CONFIG);
}

// Effective delete level of a row: a row without a delete-only subscription deletes at its main
// level.
uint8_t delete_level(const SubscriptionPoint &r) {
    return qconfd_delete_priority(r) ? qconfd_delete_priority(r) : qconfd_add_priority(r);
}

// Nothing is created before the object it lives in, nor deleted after it: in plxd's table and in
// the layer's common rows.
TEST(SubscriptionTable, ChildrenComeAfterTheirParentAndGoBefore) {
    int pairs = 0;
    for (SubscriptionPoint *table : {plx_confd_subscriptions(), qconfd_common_subscriptions()}) {
        for (SubscriptionPoint *child = table; child->path[0]; ++child) {
            const std::string path = child->path;
            // The TLOC preference list of a sequence is the intended exception: it is read before
            // its sequence and deleted after it, so that the sequence reader finds it.
            if (path.ends_with("/qrv-tloc-pref-list"))
                continue;
            for (SubscriptionPoint *parent = table; parent->path[0]; ++parent) {
                if (!path.starts_with(std::string(parent->path) + "/"))
                    continue;
                SCOPED_TRACE(path + " under " + parent->path);
                EXPECT_GE(qconfd_add_priority(*child), qconfd_add_priority(*parent));
                EXPECT_LE(delete_level(*child), delete_level(*parent));
                ++pairs;
            }
        }
    }
    EXPECT_GT(pairs, 20);
}

class ModuleTest : public qct::QconfdFixture {
  protected:
    void SetUp() override {
        QconfdFixture::SetUp();
        plx_debug_flags = 0;
        daemon_.evbase = loop_.base();
        daemon_.tmr_mgr = loop_.timers();
    }
    void TearDown() override {
        QconfdFixture::TearDown();
        plx_debug_set_writer(nullptr);
        plx_debug_flags = 0;
    }
    uint64_t flags() {
        return loop_.run([] { return plx_debug_flags; });
    }
    static std::string cdbcli(const std::string &args) {
        return run_output(std::string(CDBCLI_BIN) + " " + args);
    }
    plx_ctx daemon_{};
};

TEST_F(ModuleTest, EveryActionAnswersAndDebugSwitchesFollowTheDatabase) {
    plx_debug_set_writer([](const char *, int) { return 0; });
    ASSERT_EQ(connect(plx_confd_module_spec(&daemon_)), QCONFD_INIT_OK);
    ASSERT_TRUE(wait_for([&] { return subscribed(); }));
    set_order(7);
    ASSERT_TRUE(wait_for([&] { return loop_.run([&] { return ctx_->initial_read_done; }); }));

    // Every action point has its handler; none hangs.
    for (confd_action_cbs *a = plx_confd_actions(); a->actionpoint[0]; ++a)
        EXPECT_NE(a->action, plx_action_not_available) << a->actionpoint;
    std::string out;
    for (const char *cmd : {"dump/policy", "clear/data-policy", "dump/memory-stats"}) {
        out = cdbcli(std::string("request /plx/") + cmd);
        EXPECT_EQ(out.find("rror"), std::string::npos) << cmd << ": " << out;
    }

    out = cdbcli("request /plx/debug/config");
    EXPECT_EQ(out.find("rror"), std::string::npos) << out;
    EXPECT_EQ(flags(), PLX_DEBUG_CONFIG);

    // The operator creates and removes the switches' containers directly.
    cdbcli("oper set /debugs/plx/dpi");
    ASSERT_TRUE(wait_for([&] { return flags() & PLX_DEBUG_DPI; }));
    cdbcli("oper delete /debugs/plx/dpi");
    ASSERT_TRUE(wait_for([&] { return !(flags() & PLX_DEBUG_DPI); }));
    EXPECT_EQ(flags(), PLX_DEBUG_CONFIG);
    cdbcli("oper set /debugs/plx/all");
    ASSERT_TRUE(wait_for([&] { return flags() == PLX_DEBUG_ALL_ON; }));
    EXPECT_EQ(qconfd_debug_level(), 1);
    cdbcli("oper delete /debugs/plx/all");
    ASSERT_TRUE(wait_for([&] { return flags() == PLX_DEBUG_ALL_OFF; }));
    EXPECT_EQ(qconfd_debug_level(), 0);
}

// A database restarted while plxd was away, with a commit taken before plxd's next attempt and
// the initial read's answer lost with the old database: after the reconnection the model equals
// a fresh read of the database, and the access lists the commit did not touch are not marked.
TEST_F(ModuleTest, ReconnectionBringsTheModelUpToDateAndMarksOnlyWhatChanged) {
    static rt::Plxd *model;
    static std::vector<std::string> marked;
    rt::Plxd m(false);
    model = &m;
    marked.clear();
    QconfdModuleSpec spec = plx_confd_module_spec(&m.ctx);
    spec.evbase = loop_.base();
    spec.tmr_mgr = loop_.timers();
    spec.register_data_cb = [](QconfdContext *) { return 0; };
    spec.sub_done = [](QconfdContext *, int) {
        rt::Plxd::process(&model->ctx,
                          [](plx_access_list &l) { marked.push_back(l.name.c_str()); });
    };
    auto acl = [](const char *name, const std::string &seqs) {
        return "<access-list><name>" + std::string(name) + "</name>" + seqs + "</access-list>";
    };
    auto seq = [](int id, const char *action) {
        return "<sequence><id>" + std::to_string(id) + "</id><action><base-action>" + action +
               "</base-action></action></sequence>";
    };
    const std::string prefixes =
        "<lists><data-prefix-list><name>hosts</name><ip-prefix><prefix>10.0.0.0/8</prefix>"
        "</ip-prefix></data-prefix-list></lists>";
    const std::string keep = acl("keep", seq(10, "accept") + seq(20, "reject"));
    ASSERT_EQ(load_xml(rt::policy_xml(prefixes + keep +
                                      acl("edit", seq(10, "accept") + seq(20, "reject")) +
                                      acl("gone", seq(1, "reject")))),
              CONFD_OK);
    ASSERT_EQ(connect(spec), QCONFD_INIT_OK);
    ASSERT_TRUE(wait_for([&] { return subscribed(); }));
    set_order(7);
    ASSERT_TRUE(wait_for([&] { return loop_.run([&] { return marked.size(); }) == 3; }));

    // The database goes before the initial read's thread hears its answer, and before it asked
    // for the operational rows: the readers hold the configuration, but the read is not done.
    ASSERT_TRUE(wait_for([&] { return loop_.run([&] { return ctx_->initial_read_done; }); }));
    loop_.run([&] {
        for (SubscriptionPoint *row = ctx_->spec.subscriptions; row->path[0]; ++row)
            if (row->flags & QCONFD_SUB_FLAG_OPER)
                row->flags &= static_cast<uint8_t>(~QCONFD_SUB_FLAG_INITIALISED);
        return ctx_->initial_read_done = 0;
    });
    stop();
    ASSERT_TRUE(wait_for([&] { return loop_.run([&] { return ctx_->retry_timer; }) != nullptr; }));
    std::string err;
    const std::string b = rt::policy_xml(keep + acl("edit", seq(20, "accept") + seq(30, "reject")));
    loop_.run([] {
        marked.clear();
        return 0;
    });
    ASSERT_EQ(start_with(b, &err), CONFD_OK) << err << start_err_;
    std::string want;
    {
        rt::Plxd fresh;
        fresh.harness->initial_read();
        want = fresh.dumps();
    }
    EXPECT_TRUE(wait_for([&] { return loop_.run([&] { return m.dumps(); }) == want; }, 8000))
        << loop_.run([&] { return m.dumps(); }) << "\nwanted:\n"
        << want;
    // Marked at each level that changed it, as a commit would; "keep" never.
    const std::vector<std::string> got = loop_.run([] { return marked; });
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), std::set<std::string>{"edit"});
    // The operational row, whose first read the lost answer cut short too, follows again.
    cdbcli("oper set /debugs/plx/dpi");
    EXPECT_TRUE(wait_for([&] { return flags() & PLX_DEBUG_DPI; }));
    loop_.run([this] {
        qconfd_module_stop(ctx_);
        ctx_ = nullptr;
        return 0;
    });
}

}  // namespace
