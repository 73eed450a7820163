// Two real instances: the program binary runs as a child in its own folder
// and listens; the program in-process cannot take the same port, runs
// without a listener and calls the child at 127.0.0.2. A raw third caller
// checks the busy answer of a real instance.
#include "call_fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

class Instances : public CallFixture {
protected:
    std::string other_dir;
    pid_t other = -1;

    void TearDown() override
    {
        harness_stop(other);
        harness_remove_dir(other_dir);
        CallFixture::TearDown();
    }
    // Starts the other instance listening on `port`.
    void start_other()
    {
        other_dir = harness_temp_dir("other");
        HarnessConfig config;
        config.port = port;
        config.nickname = "Other";
        harness_write_config(other_dir, config);
        other = harness_spawn(other_dir);
        ASSERT_GT(other, 0);
        int waited = 0;
        while (!harness_port_taken(port) && waited < 15000) {
            usleep(20000);
            waited += 20;
        }
        ASSERT_TRUE(harness_port_taken(port));
    }
};

}  // namespace

TEST_F(Instances, CallChatBusyAndByeBetweenRealInstances)
{
    start_other();
    // A signal to a pid of -1 would reach every process we may signal.
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GT(other, 0);
    HarnessConfig config;
    config.nickname = "Ann";
    start(config);
    control_set_text(0, "127.0.0.2");
    harness_click(8);
    ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 12000));
    EXPECT_EQ(status(), "Connected To Server 127.0.0.2.");

    // Typing at once: the other side takes the nickname and the typing notice
    // apart and answers the notice, so there is no give-up text.
    harness_type(13, "hello");
    pump_for(200);
    EXPECT_EQ(status(), "Connected To Server 127.0.0.2.");
    EXPECT_EQ(app.typing_announced, 1);

    // A third caller gets exactly the busy token, then the end.
    int third = raw_connect("127.0.0.1", port, 2000);
    ASSERT_GE(third, 0);
    EXPECT_TRUE(raw_expect(third, "JOXBusy", 3000));
    EXPECT_TRUE(raw_at_eof(third, 3000));
    raw_close(third);

    // The line and our bye reach the stopped instance together and are read
    // in one receive: both must act, so it accepts the next caller again.
    kill(other, SIGSTOP);
    harness_press_return(13);
    ASSERT_TRUE(pump_until([] { return control_get_text(12) == "Ann: hello"; }, 2000));
    harness_click(7);
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    kill(other, SIGCONT);
    std::string answer = "JOXBusy";
    int next = -1;
    // Bounded: the other instance needs a moment to read the bye after waking.
    for (int attempt = 0; attempt < 20 && answer == "JOXBusy"; ++attempt) {
        raw_close(next);
        usleep(100000);
        next = raw_connect("127.0.0.1", port, 2000);
        ASSERT_GE(next, 0);
        answer = raw_read(next, 16, 300);
    }
    EXPECT_EQ(answer, "");  // accepted: no busy token
    // A typing notice from us is answered by the real instance.
    ASSERT_TRUE(raw_send(next, "SendingMessageJOX"));
    EXPECT_TRUE(raw_expect(next, "RM", 3000));
    raw_close(next);
}

TEST_F(Instances, ProgramStartsWithoutSettingsAndWritesThem)
{
    other_dir = harness_temp_dir("bare");
    // Started from elsewhere, it keeps its settings in the folder it is given.
    std::string home = std::getenv("HOME");
    setenv("HOME", other_dir.c_str(), 1);
    other = harness_spawn(other_dir);
    setenv("HOME", home.c_str(), 1);
    ASSERT_GT(other, 0);
    std::string config;
    for (int waited = 0; waited < 15000 && config.find("Nickname = \r\n") == std::string::npos; waited += 20) {
        usleep(20000);
        config = harness_read_file(other_dir + "jox.cfg");
    }
    EXPECT_EQ(config, "Folder = " + other_dir + "jox/\r\nIP = \r\nPort = 6843\r\n"
                      "Auto Accept = No\r\nOpen File = No\r\nTimeout = 2\r\nNickname = \r\n");
    int status = 0;
    EXPECT_FALSE(harness_wait_exit(other, 300, &status));  // still running
}
