// A test fixture for suites that run the program in-process against a raw
// protocol peer: its own working folder and free port, and the two ways a
// call starts (the peer calls us, or we call the peer at 127.0.0.2).
#pragma once

#include "harness.h"

#include "state.h"
#include "toolkit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

class CallFixture : public ::testing::Test {
protected:
    std::string dir;
    int port = 0;
    int raw = -1;       // the raw peer's connection
    int listener = -1;  // the raw peer's listener, when it is called

    void SetUp() override
    {
        dir = harness_temp_dir("app");
        port = harness_free_port();
        ASSERT_FALSE(dir.empty());
        ASSERT_NE(port, 0);
    }
    void TearDown() override
    {
        harness_app_stop();
        raw_close(raw);
        raw_close(listener);
        harness_remove_dir(dir);
    }
    // Ends the run and the raw peer, for a table's next row.
    void restart_clean()
    {
        harness_app_stop();
        raw_close(raw);
        raw_close(listener);
        raw = listener = -1;
    }
    void start(HarnessConfig config = {})
    {
        config.port = port;
        harness_write_config(dir, config);
        ASSERT_TRUE(harness_app_start(dir));
    }
    // The raw peer calls the program; it is accepted.
    void be_called()
    {
        raw = raw_connect("127.0.0.1", port, 2000);
        ASSERT_GE(raw, 0);
        ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 3000));
    }
    // The raw peer holds the port at 127.0.0.2, so a program started
    // afterwards runs without a listener of its own and calls it there.
    void listen_as_peer()
    {
        listener = raw_listen("127.0.0.2", port);
        ASSERT_GE(listener, 0);
    }
    void place_call_to_peer()
    {
        control_set_text(0, "127.0.0.2");
        harness_click(8);
        ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 12000));
        raw = raw_accept(listener, 2000);
        ASSERT_GE(raw, 0);
    }
    // A fresh run in a call: placed by us (caller 1, the nickname token
    // already read by the peer) or accepted from the peer (caller 0).
    void fresh_call(int caller, HarnessConfig config = {})
    {
        restart_clean();
        if (caller) listen_as_peer();
        start(config);
        if (caller) {
            place_call_to_peer();
            ASSERT_TRUE(raw_expect(raw, "JOXNICKNAMEIS" + config.nickname, 2000));
            // A peer of the original protocol takes the probe for nothing.
            ASSERT_TRUE(pump_expect("JXC1 HELLO ext=size64,stream\n", 2000));
        } else {
            be_called();
        }
    }
    std::string status() { return harness_status(); }

    // Runs the program while reading what it sends to the raw peer; 1 when
    // exactly `expected` arrived within the time.
    int pump_expect(const std::string& expected, int timeout_ms)
    {
        std::string got;
        pump_until([&] {
            got += raw_read(raw, expected.size() - got.size(), 2);
            return got.size() >= expected.size();
        }, timeout_ms);
        EXPECT_EQ(got, expected);
        return got == expected;
    }

    // Types `text` into the chat input while the peer answers the typing
    // notice (the program waits for that answer inside the pass). Returns
    // 1 when the notice came and was answered.
    int type_answered(const std::string& text)
    {
        std::atomic<int> answered{0};
        int fd = raw;
        std::thread peer([&answered, fd] {
            if (raw_expect(fd, "SendingMessageJOX", 3000)) answered = raw_send(fd, "RM");
        });
        harness_type(13, text);
        pump_until([&answered] { return answered != 0; }, 3500);
        peer.join();
        pump_for(50);
        return answered;
    }
};
