// Operator events raised by the daemon reach the notification stream of a real database.
#include "daemon/plx_event_notify.h"

#include "common/plx_log.h"
#include "tests/qconfd/qconfd_test_env.h"
#include "tests/support/test_process.h"

namespace {

using PlxEvents = QconfdEnv;

TEST_F(PlxEvents, ProgrammingEventsBecomeTheirNotificationsOthersStaySyslogLines) {
    plx_log_event(LOG_ALERT, "ALRT", PLX_EVENT_POLICY_NO_MEMORY, "before %s - %s", "dp0", "vl0");
    plx_events_attach(&ctx_);
    plx_log_event(LOG_INFO, "INFO", PLX_EVENT_STARTING, "Starting");
    plx_log_event(LOG_ALERT, "ALRT", PLX_EVENT_POLICY_NO_MEMORY,
                  "Failed to allocate memory for policy %s - %s. Continuing without the policy.",
                  "dp1", "corp");
    plx_log_event(LOG_INFO, "INFO", PLX_EVENT_ACCESS_LIST_REPROGRAMMED,
                  "Successfully re-programmed access list - %s", "acl7");
    plx_log_event(LOG_ALERT, "ALRT", PLX_EVENT_ACCESS_LIST_REFUSED,
                  "Failed to compile access list - %s. Continuing without the access-list.",
                  "acl8");
    plx_events_detach();
    plx_log_event(LOG_INFO, "INFO", PLX_EVENT_POLICY_REPROGRAMMED, "after %s - %s", "dp9", "vl9");

    ASSERT_TRUE(wait_for([&] { return received().size() >= 3; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto got = received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[0].find("data-policy-association-status"), std::string::npos) << got[0];
    for (const char *part : {"policy-name dp1", "vpn-list-name corp", "status Failed"})
        EXPECT_NE(got[0].find(part), std::string::npos) << part << " in " << got[0];
    for (const char *part : {"access-list-name acl7", "status Success"})
        EXPECT_NE(got[1].find(part), std::string::npos) << part << " in " << got[1];
    for (const char *part : {"access-list-name acl8", "status Failed"})
        EXPECT_NE(got[2].find(part), std::string::npos) << part << " in " << got[2];
}

}  // namespace
