// A fault during a call ends in the error report: the whole program runs
// in a fresh child process (this test program started again with one test
// selected), places a call to a raw peer, then divides by zero, on the main
// thread or on a helper while the main thread allocates. The child writes
// what it saw to a file; the parent checks the peer got no bye token.
#include "harness.h"

#include "app.h"
#include "app_test.h"
#include "error_report.h"
#include "launch.h"
#include "state.h"
#include "toolkit.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

extern char** environ;

namespace {

std::string child_log;  // the file the child writes its observations to

void child_note(const std::string& line)
{
    FILE* f = std::fopen(child_log.c_str(), "ab");
    if (!f) return;
    std::fputs(line.c_str(), f);
    std::fputs("\n", f);
    std::fclose(f);
}

void child_observe(const char* title, const char* text)
{
    child_note(std::string("box|") + title + "|" + text);
    ui_test_queue_message_answer(IDOK);
}

int child_run(const char* target, const char*, const char*, int)
{
    child_note(std::string("run|") + target);
    return 1;
}

volatile int child_numerator = 7;
volatile int child_zero = 0;

__attribute__((noinline, no_sanitize_undefined)) int child_divide()
{
    return child_numerator / child_zero;
}

std::atomic<int> child_allocating{0};  // the main thread is inside its allocation loop

// The helper divides once the main thread is busy in the allocator, where a
// report built on the main thread would find the allocator's lock taken.
void child_divide_on_helper()
{
    std::thread helper([] {
        for (int i = 0; i < 1000000 && !child_allocating; ++i) sched_yield();
        child_note("result|" + std::to_string(child_divide()));
    });
    for (long i = 0; i < 20000000; ++i) {
        void* volatile block = std::malloc(2048 + static_cast<size_t>(i % 61) * 1024);
        std::free(block);
        child_allocating = 1;
    }
    helper.join();
}

// Places the call in the first passes, faults once the call is up.
void child_pass()
{
    static int stage = 0;
    if (stage == 0 && control_handle(0)) {
        control_set_text(0, "127.0.0.2");
        harness_click(8);
        stage = 1;
    } else if (stage == 1 && app.idle == 0) {
        stage = 2;
        child_note("calling done");
        if (std::getenv("JOX_FAULT_ON_HELPER")) child_divide_on_helper();
        else child_note("result|" + std::to_string(child_divide()));
    }
}

}  // namespace

// The child's side; does nothing unless started by the test below.
TEST(FaultChild, Run)
{
    const char* log = std::getenv("JOX_FAULT_LOG");
    const char* dir = std::getenv("JOX_FAULT_DIR");
    if (!log || !dir) GTEST_SKIP() << "runs only as the child of ErrorReport.DivisionByZeroDuringACall";
    child_log = log;
    ASSERT_EQ(chdir(dir), 0);
    ui_test_set_message_observer(child_observe);
    run_program_set_hook(child_run);
    app_test_set_loop_hook(child_pass);
    int code = app_run();
    child_note("ended|" + std::to_string(code));
    std::fflush(nullptr);
    _exit(code);
}

TEST(ErrorReport, DivisionByZeroDuringACall)
{
    const std::string report = error_report_text(0xC0000094, 1);
    struct Case {
        const char* name;
        bool on_helper;
    } cases[] = {
        {"on the main thread: shown in a box, then the program ends as usual", false},
        {"on a helper thread: the process ends at once, the report on stderr", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = harness_temp_dir("fault");
        int port = harness_free_port();
        ASSERT_NE(port, 0);
        int listener = raw_listen("127.0.0.2", port);
        ASSERT_GE(listener, 0);
        HarnessConfig config;
        config.port = port;
        config.nickname = "Ann";
        harness_write_config(dir, config);

        std::string log_path = dir + "child.log";
        std::string err_path = dir + "child.err";
        std::string env_log = "JOX_FAULT_LOG=" + log_path;
        std::string env_dir = "JOX_FAULT_DIR=" + dir;
        std::vector<std::string> env_text = {env_log, env_dir, "QT_QPA_PLATFORM=offscreen",
                                             "ASAN_OPTIONS=detect_leaks=0"};
        if (c.on_helper) env_text.push_back("JOX_FAULT_ON_HELPER=1");
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("JOX_FAULT_", 0) != 0 && std::string(*e).rfind("QT_QPA_PLATFORM=", 0) != 0 &&
                std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0)
                env_text.push_back(*e);
        std::vector<char*> env;
        for (std::string& t : env_text) env.push_back(t.data());
        env.push_back(nullptr);
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        self[n] = 0;
        char filter[] = "--gtest_filter=FaultChild.Run";
        char* argv[] = {self, filter, nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        int spawned = posix_spawn(&pid, self, &actions, nullptr, argv, env.data());
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(spawned, 0);

        int peer = raw_accept(listener, 15000);
        EXPECT_GE(peer, 0);
        if (peer >= 0) {
            EXPECT_TRUE(raw_expect(peer, "JOXNICKNAMEISAnn", 5000));
            std::string extra;
            EXPECT_TRUE(raw_at_eof(peer, 15000, &extra));  // the process ended...
            EXPECT_EQ(extra, "");                           // ...without a bye token
            raw_close(peer);
        }
        int status = 0;
        int exited = harness_wait_exit(pid, 15000, &status);
        if (!exited) harness_stop(pid);
        ASSERT_TRUE(exited);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.on_helper ? 1 : 0);

        std::string log = harness_read_file(log_path);
        EXPECT_NE(log.find("calling done\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("result|"), std::string::npos) << log;  // the division never finished
        EXPECT_EQ(harness_read_file(dir + "jox-error-report.txt"), report);
        if (c.on_helper) {
            EXPECT_EQ(log.find("box|"), std::string::npos) << log;
            EXPECT_EQ(log.find("ended|"), std::string::npos) << log;
            EXPECT_NE(harness_read_file(err_path).find(report), std::string::npos) << harness_read_file(err_path);
        } else {
            EXPECT_NE(log.find("box|JOX 1.05 build 6000|There was an error:\r\n\r\n"
                               "Description: Attempted division by zero\r\nTotal number of errors: 1\r\n\r\n"
                               "Please Report this Bug.\r\n"),
                      std::string::npos)
                << log;
            EXPECT_NE(log.find("run|" + dir + "jox-error-report.txt\n"), std::string::npos) << log;
            EXPECT_NE(log.find("ended|0\n"), std::string::npos) << log;
        }
        raw_close(listener);
        harness_remove_dir(dir);
    }
}
