// Start-up and stop sequences with substituted steps: the exact unwinding of each failing step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/plx_daemon.h"

namespace {

using Calls = std::vector<std::string>;

// Steps that record their names; the step named `fail` returns `code`.
struct Recorder {
    Calls calls;
    std::string fail;
    int code = 0;

    plx_init_steps::init_fn init(const std::string &name) {
        return [this, name](plx_ctx *) {
            calls.push_back(name);
            return name == fail ? code : 0;
        };
    }
    plx_init_steps::fini_fn fini(const std::string &name) {
        return [this, name](plx_ctx *) { calls.push_back(name); };
    }
    plx_init_steps steps() {
        plx_init_steps s;
#define STEP(name) s.name = init(#name)
#define UNDO(name) s.name = fini(#name)
        STEP(event_init), UNDO(event_deinit), STEP(base_timer_init), UNDO(base_timer_deinit);
        UNDO(mem_destroy), UNDO(compiler_set_mem_ops), STEP(class_init), UNDO(class_teardown);
        STEP(sla_class_init), UNDO(sla_class_teardown), STEP(policy_init), UNDO(policy_teardown);
        STEP(acl_init), STEP(fibd_link_init), UNDO(fibd_link_deinit), STEP(hbus_link_init);
        UNDO(hbus_link_deinit), STEP(compiler_create), UNDO(compiler_destroy), STEP(confd_start);
        UNDO(confd_stop), STEP(sysmgr_connect), UNDO(sysmgr_close), STEP(dpi_init);
        UNDO(dpi_destroy);
#undef STEP
#undef UNDO
        s.mem_init = [this](plx_ctx *ctx, bool clean_start) {
            EXPECT_TRUE(clean_start);
            return init("mem_init")(ctx);
        };
        return s;
    }
};

const Calls kStartOrder = {"event_init",           "base_timer_init", "mem_init",
                           "compiler_set_mem_ops", "class_init",      "sla_class_init",
                           "policy_init",          "acl_init",        "fibd_link_init",
                           "hbus_link_init",       "compiler_create", "confd_start",
                           "sysmgr_connect",       "dpi_init"};

struct UndoCase {
    const char *step;
    int code;
    Calls undo;
};

class UndoOrder : public ::testing::TestWithParam<UndoCase> {};

TEST_P(UndoOrder, FailingStepUnwindsItsPredecessors) {
    const UndoCase &c = GetParam();
    Recorder rec;
    rec.fail = c.step;
    rec.code = c.code;
    plx_ctx ctx{};
    EXPECT_EQ(plx_init(&ctx, rec.steps()), c.code);

    Calls expected;
    for (const std::string &step : kStartOrder) {
        expected.push_back(step);
        if (step == c.step)
            break;
    }
    expected.insert(expected.end(), c.undo.begin(), c.undo.end());
    EXPECT_EQ(rec.calls, expected);
}

const Calls kBase = {"base_timer_deinit", "event_deinit"};
Calls with(Calls head, const Calls &tail = kBase) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, UndoOrder,
    ::testing::Values(
        UndoCase{"event_init", 12, {}}, UndoCase{"event_init", 5, {}},
        UndoCase{"base_timer_init", 12, {"event_deinit"}}, UndoCase{"mem_init", 2, kBase},
        UndoCase{"class_init", 74, with({"mem_destroy"})},
        UndoCase{"sla_class_init", 17, with({"class_teardown", "mem_destroy"})},
        UndoCase{"policy_init", 12, with({"sla_class_teardown", "class_teardown", "mem_destroy"})},
        UndoCase{"acl_init", 12,
                 with({"policy_teardown", "sla_class_teardown", "class_teardown", "mem_destroy"})},
        UndoCase{"fibd_link_init", 12,
                 with({"policy_teardown", "sla_class_teardown", "class_teardown", "mem_destroy"})},
        UndoCase{"hbus_link_init", 12,
                 with({"fibd_link_deinit", "policy_teardown", "sla_class_teardown",
                       "class_teardown", "mem_destroy"})},
        UndoCase{"compiler_create", 12,
                 with({"hbus_link_deinit", "fibd_link_deinit", "policy_teardown",
                       "sla_class_teardown", "class_teardown", "mem_destroy"})},
        UndoCase{"confd_start", 22,
                 with({"compiler_destroy", "hbus_link_deinit", "fibd_link_deinit",
                       "sla_class_teardown", "class_teardown", "policy_teardown", "mem_destroy"})},
        UndoCase{"sysmgr_connect", PLX_ERR_SYSMGR,
                 with({"confd_stop", "compiler_destroy", "hbus_link_deinit", "fibd_link_deinit",
                       "sla_class_teardown", "class_teardown", "policy_teardown", "mem_destroy"})}),
    [](const auto &info) {
        return std::string(info.param.step) + "_" +
               std::to_string(info.param.code < 0 ? 0 : info.param.code);
    });

TEST(PlxInit, DpiFailureOnlyLoggedAndShutdownRunsInOrder) {
    Recorder rec;
    rec.fail = "dpi_init";
    rec.code = -1;
    plx_ctx ctx{};
    plx_init_steps steps = rec.steps();
    EXPECT_EQ(plx_init(&ctx, steps), 0);
    EXPECT_EQ(rec.calls, kStartOrder);

    rec.calls.clear();
    EXPECT_EQ(plx_shutdown(&ctx, steps), 0);
    EXPECT_EQ(rec.calls, (Calls{"sysmgr_close", "dpi_destroy", "confd_stop", "compiler_destroy",
                                "fibd_link_deinit", "hbus_link_deinit", "policy_teardown",
                                "mem_destroy", "base_timer_deinit", "event_deinit"}));
}

}  // namespace
