// Sends that must complete although the socket takes only part at a time,
// sends that must end when the peer stops reading or has gone, and receives
// that must not wait forever.
#include "net_fixture.h"

#include "frame.h"

#include <csignal>

using namespace net_test;

// Several MiB cannot fit the socket buffers, so the non-blocking accepted
// socket and the blocking outgoing one both take the buffer in parts; every
// byte must still arrive, in order, once the reader starts late.
TEST_F(NetTest, LargeSendCompletesWhenTheReaderIsLate) {
    const std::string data = pattern(6 * 1024 * 1024 + 3);
    for (bool accepted : {true, false}) {
        int raw_listener_port;
        int listener = raw_listen(&raw_listener_port);
        int raw = -1;
        NetConnection* c;
        if (accepted) {
            c = accept_caller(&raw);
        } else {
            c = net_connect("127.0.0.1", raw_listener_port);
            raw = accept(listener, nullptr, nullptr);
        }
        ASSERT_NE(c, nullptr);
        std::string got;
        std::thread reader([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            got = raw_read(raw, data.size());
        });
        EXPECT_EQ(net_send_bytes(c, data.data(), (int)data.size()), (int)data.size());
        reader.join();
        EXPECT_TRUE(got == data) << "accepted=" << accepted << " got " << got.size();
        net_close(c);
        close(raw);
        close(listener);
    }
}

TEST_F(NetTest, SendEndsWhenThePeerStopsReading) {
    net_set_timeouts(0, 300, 0);
    int raw;
    NetConnection* c = accept_caller(&raw);
    const std::string data = pattern(64 * 1024 * 1024);
    EXPECT_EQ(net_send_bytes(c, data.data(), (int)data.size()), -1);
    close(raw);
}

// With the default action for SIGPIPE restored, a send that raised it would
// end this test program; both plain sends and file frames must report -1/0.
// The last round sends the frame with the signal ignored (the sendfile path).
TEST_F(NetTest, SendToAClosedPeerRaisesNoSignal) {
    std::string file = path("f.bin");
    write_file(file, pattern(1 << 20));
    signal(SIGPIPE, SIG_DFL);
    for (int round = 0; round < 3; round++) {
        if (round == 2) signal(SIGPIPE, SIG_IGN);
        int raw;
        NetConnection* c = accept_caller(&raw);
        linger l{1, 0};
        setsockopt(raw, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(raw);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (round == 0) {
            // The first send after the reset reports it; later ones meet a
            // broken pipe.
            int result = 0;
            for (int i = 0; i < 5; i++) result = net_send_text(c, "chat");
            EXPECT_EQ(result, -1);
        } else {
            EXPECT_EQ(net_send_file(c, file.c_str()), 0);
        }
    }
    signal(SIGPIPE, SIG_IGN);
}

TEST_F(NetTest, ReceiveEndsWithoutData) {
    net_set_timeouts(0, 200, 0);
    NetConnection* out = net_connect("127.0.0.1", port);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(poll_event(), NET_CONNECT);
    NetConnection* in = net_event_connection();
    char buf[8];
    EXPECT_EQ(net_receive(in, buf, sizeof buf), -1);   // non-blocking: at once
    EXPECT_EQ(net_receive(out, buf, sizeof buf), -1);  // blocking: after the limit
    ASSERT_EQ(net_send_text(in, "sent"), 4);
    EXPECT_EQ(net_receive(out, buf, sizeof buf), 4);
    net_close(in);
    EXPECT_EQ(net_receive(out, buf, sizeof buf), 0);
    net_close(out);
}

// The time limit counts from the last progress, not from the start: a
// reader that keeps draining, only slower than the whole send fits in the
// limit, must get every byte. Small buffers make the sender wait often.
TEST_F(NetTest, SendOutlastsTheLimitWhileTheReaderKeepsUp) {
    net_set_timeouts(0, 300, 0);
    const std::string data = pattern(4 * 1024 * 1024 + 5);
    std::string file = path("steady.bin");
    write_file(file, data);
    for (bool framed : {false, true}) {
        int raw;
        NetConnection* c = accept_caller(&raw);
        int small = 128 * 1024;
        setsockopt(net_connection_fd(c), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(raw, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const size_t want = data.size() + (framed ? 12 : 0);
        std::string got;
        auto start = std::chrono::steady_clock::now();
        std::thread reader([&] {
            char buf[32 * 1024];
            for (int idle = 0; got.size() < want && idle < 100;) {  // a second without data
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                ssize_t n = recv(raw, buf, std::min(sizeof buf, want - got.size()), MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN)) break;
                idle = n > 0 ? 0 : idle + 1;
                if (n > 0) got.append(buf, (size_t)n);
            }
        });
        if (framed)
            EXPECT_EQ(net_send_file(c, file.c_str()), 1);
        else
            EXPECT_EQ(net_send_bytes(c, data.data(), (int)data.size()), (int)data.size());
        reader.join();
        EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
        EXPECT_TRUE(got == (framed ? frame_header((uint32_t)data.size()) : "") + data)
            << "framed=" << framed << " got " << got.size();
        net_close(c);
        close(raw);
    }
}
