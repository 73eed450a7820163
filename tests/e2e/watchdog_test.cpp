// A pass stuck in a wait must end the test program within the pass limit,
// naming what the test waited for and the status text, instead of holding
// the suite until CTest's timeout.
#include "harness.h"

#include "toolkit.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

TEST(WatchdogDeathTest, StuckPassEndsTheProgramNamingItsWait)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string dir = harness_temp_dir("watchdog");
    HarnessConfig config;
    config.port = harness_free_port();
    harness_write_config(dir, config);
    EXPECT_EXIT(
        {
            harness_set_pass_limit(300);
            int started = harness_app_start(dir);
            harness_remove_dir(dir);  // the dying run cannot clean up after itself
            if (!started) _exit(1);
            harness_inside([] {
                statusbar_set_text(0, 0, "Stuck Here", 0);
                std::this_thread::sleep_for(std::chrono::seconds(3));
                return true;
            });
            pump_until([] { return false; }, 5000, "a step that never ends");
            _exit(0);
        },
        ::testing::ExitedWithCode(3),
        "waiting for: WatchdogDeathTest.StuckPass[A-Za-z]* at watchdog_test.cpp:[0-9]+: a step that "
        "never ends\n.*status now: \"Stuck Here\"");
    harness_remove_dir(dir);
}
