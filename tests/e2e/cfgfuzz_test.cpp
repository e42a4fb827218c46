// The configuration fuzzer against a live router (cdbd, the system manager, the forwarding
// plane, fibd, hbusd and plxd as processes, the demo configuration loaded): random commits that
// the models allow, and some that they do not, applied with cdbcli. After every commit plxd still
// runs, and either the database refused the commit with a message or plxd applied it without a
// reader error in its log; every hundred commits plxd is restarted and reads whatever the
// database holds.
//
// CFGFUZZ_COMMITS=N (default 300) sets the length of the run, CFGFUZZ_SEED=N repeats one,
// CFGFUZZ_VERBOSE=1 prints every commit and the database's answer; the run stops after
// CFGFUZZ_MAX_FAULTS (default 5) faults.
#include <random>

#include "tests/e2e/router_harness.h"
#include "tools/cfgfuzz/cfgfuzz_gen.h"

namespace {

using e2e::CmdResult;
using e2e::Router;

// Lines that say a reader could not apply what the database committed.
constexpr const char *kReaderErrors[] = {
    "Config callback failed", "failed assertion", "Error iterating",
    "Failed to add",          "Failed to change", "Failed to delete",
    "Failed to bind",         "Failed to unbind", "Invalid "};

unsigned env_number(const char *name, unsigned fallback) {
    const char *v = std::getenv(name);
    return v ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

TEST(ConfigFuzz, EveryCommitIsAppliedOrRefusedWithAReason) {
    const unsigned seed = env_number("CFGFUZZ_SEED", std::random_device{}());
    const unsigned commits = env_number("CFGFUZZ_COMMITS", 300);
    const bool verbose = env_number("CFGFUZZ_VERBOSE", 0) != 0;
    std::printf("cfgfuzz seed %u (CFGFUZZ_SEED=%u repeats this run), %u commits\n", seed, seed,
                commits);
    const std::string demo = std::string(PLX_SOURCE_DIR) + "/examples/demo/config.xml";

    Router router;
    router.bring_up(demo);
    ASSERT_TRUE(wait_for([&] { return router.fibd_bindings().places.size() >= 4; }, 20000))
        << router.log("plxd");

    cfgfuzz::Generator gen;
    std::string why;
    ASSERT_TRUE(gen.init(PLX_YANG_MODELS_DIR, e2e::read_file(demo), seed, why)) << why;
    const std::string file = (router.root() / "cfgfuzz.xml").string();
    unsigned applied = 0, refused = 0, faults = 0;
    const unsigned max_faults = env_number("CFGFUZZ_MAX_FAULTS", 5);
    for (unsigned i = 0; i < commits && faults < max_faults; ++i) {
        cfgfuzz::Commit c = gen.next();
        const size_t from = router.log("plxd").size();
        CmdResult r;
        switch (c.kind) {
            case cfgfuzz::Commit::Set:
                r = router.cli("set '" + c.path + "'" +
                               (c.value.empty() ? "" : " '" + c.value + "'"));
                break;
            case cfgfuzz::Commit::Delete:
                r = router.cli("delete '" + c.path + "'");
                break;
            case cfgfuzz::Commit::Replace:
                std::ofstream(file) << c.xml;
                r = router.cli("load --replace " + file);
                break;
        }
        if (verbose)
            std::printf("%u: %s\n  -> %s", i, c.describe().c_str(), r.out.c_str());
        if (r.rc == 0) {
            gen.accepted();
            ++applied;
        } else {
            ++refused;
            EXPECT_GT(r.out.size(), 10u) << "refused without a reason: " << c.describe();
        }
        // The database and the models agree on what is valid.
        EXPECT_EQ(r.rc == 0, c.valid) << "commit " << i << ": " << c.describe() << "\n" << r.out;
        ASSERT_TRUE(router.alive("plxd"))
            << "plxd stopped at commit " << i << ": " << c.describe() << "\n"
            << router.log("plxd").substr(from);
        // Now and then plxd starts again and reads the whole configuration the database holds.
        if (i % 100 == 99) {
            router.kill9("plxd");
            router.start("plxd");
            ASSERT_TRUE(wait_for(
                [&] { return router.cli("request /plx/dump/memory-stats").rc == 0; }, 10000));
            std::this_thread::sleep_for(std::chrono::seconds(1));
            ASSERT_TRUE(router.alive("plxd"))
                << "plxd stopped in its initial read after commit " << i << "\n"
                << router.log("plxd").substr(from);
        }
        const std::string said = router.log("plxd").substr(from);
        for (const char *marker : kReaderErrors) {
            if (said.find(marker) == std::string::npos)
                continue;
            ++faults;
            ADD_FAILURE() << "reader error at commit " << i << ": " << c.describe() << "\n" << said;
            break;
        }
    }
    std::printf("cfgfuzz: %u commits applied, %u refused, %u faults; plxd wrote %zu bytes of log\n",
                applied, refused, faults, router.log("plxd").size());
}

}  // namespace
