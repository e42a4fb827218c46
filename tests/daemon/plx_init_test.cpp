// Start-up and stop sequences over the real step table with recording steps: the start order, the
// unwinding of every failing step and the stop sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "daemon/plx_daemon.h"

namespace {

using Calls = std::vector<std::string>;

// The order the daemon must start in: memory before anything that compiles, the models before
// the links that feed them, the configuration module once everything it drives exists.
const Calls kStartOrder = {"event",       "base timer",   "program memory", "classes",
                           "SLA classes", "policy model", "access lists",   "fibd link",
                           "hbus link",   "compiler",     "confd",          "sysmgr link",
                           "DPI"};

// The default table with each row's init and fini replaced by recorders ("+name", "-name"); the
// row named `fail` returns `code`. Rows without an undo keep none.
struct Recorder {
    Calls calls;
    plx_init_steps steps = plx_default_init_steps();

    Recorder(const std::string &fail, int code) {
        for (plx_init_step &s : steps) {
            std::string name = s.name;
            s.init = [this, name, fail, code](plx_ctx *) {
                calls.push_back("+" + name);
                return name == fail ? code : 0;
            };
            if (s.fini)
                s.fini = [this, name](plx_ctx *) { calls.push_back("-" + name); };
        }
    }
};

TEST(PlxInit, TableKeepsStartOrder) {
    Calls names, without_undo;
    for (const plx_init_step &s : plx_default_init_steps()) {
        names.push_back(s.name);
        if (!s.fini)
            without_undo.push_back(s.name);
    }
    EXPECT_EQ(names, kStartOrder);
    EXPECT_EQ(without_undo, (Calls{"access lists"}));
}

// A failing step returns its own code after the steps started before it were undone, last first.
// A failing inline step is only logged, and the stop then undoes every step, last first.
TEST(PlxInit, EveryFailureUnwindsStartedStepsAndStopUndoesAll) {
    const plx_init_steps &table = plx_default_init_steps();
    for (size_t failing = 0; failing < table.size(); ++failing) {
        const plx_init_step &row = table[failing];
        SCOPED_TRACE(row.name);
        const bool fatal = !row.inline_start;
        const int code = 100 + static_cast<int>(failing);
        Recorder rec(row.name, code);
        plx_ctx ctx{};
        EXPECT_EQ(plx_init(&ctx, rec.steps), fatal ? code : 0);
        if (!fatal) {
            EXPECT_EQ(plx_shutdown(&ctx, rec.steps), 0);
        }

        const size_t undone = fatal ? failing : table.size();
        Calls expected;
        for (size_t i = 0; i < std::max(undone, failing + 1); ++i)
            expected.push_back("+" + std::string(table[i].name));
        for (size_t i = undone; i-- > 0;) {
            if (table[i].fini)
                expected.push_back("-" + std::string(table[i].name));
        }
        EXPECT_EQ(rec.calls, expected);
    }
}

}  // namespace
