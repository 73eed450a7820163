// What strangers cannot do to the transport: reach a new caller through a
// stale handle, make it hold connections without bound, make it spin when
// descriptors run out, or hold a connect attempt past its limit.
#include "net_fixture.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <functional>
#include <vector>

using namespace net_test;

// The stale handle's record is freed just before the next caller's is made,
// so an allocator would hand out the same address.
TEST_F(NetTest, StaleHandleNeverReachesTheNextCaller) {
    int old_raw;
    NetConnection* stale = accept_caller(&old_raw);
    net_close(stale);
    int raw;
    NetConnection* fresh = accept_caller(&raw);
    ASSERT_TRUE(raw_write(raw, "PBMGSFLE"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char buf[8];
    struct Row {
        const char* op;
        std::function<long()> run;
        long refused;
    } rows[] = {
        {"send_text", [&] { return (long)net_send_text(stale, "x"); }, -1},
        {"send_bytes", [&] { return (long)net_send_bytes(stale, "x", 1); }, -1},
        {"receive", [&] { return (long)net_receive(stale, buf, 1); }, -1},
        {"client_poll", [&] { return (long)net_client_poll(stale); }, NET_NONE},
        {"peer_closed", [&] { return (long)net_peer_closed(stale); }, 1},
        {"fd", [&] { return (long)net_connection_fd(stale); }, -1},
        {"peer_address", [&] { return (long)net_peer_address(stale); }, 0},
    };
    for (const Row& r : rows) EXPECT_EQ(r.run(), r.refused) << r.op;
    net_hangup(stale);
    net_close(stale);
    EXPECT_EQ(raw_drain(raw, 50), "");
    EXPECT_EQ(net_server_poll(), NET_FILE);  // the new caller's bytes are all there
    EXPECT_EQ(net_event_connection(), fresh);
    close(old_raw);
    close(raw);
}

// Callers the application forgot, or turned away while they stay silent and
// connected, are held up to the bound; the oldest give way to new ones.
TEST_F(NetTest, HeldConnectionsAreBounded) {
    const int callers = 100, bound = 64;
    for (bool hang_up : {false, true}) {
        int baseline = open_fd_count();
        std::vector<int> raws;
        std::vector<NetConnection*> handles;
        for (int i = 0; i < callers; i++) {
            raws.push_back(raw_connect(port));
            ASSERT_EQ(poll_event(), NET_CONNECT) << i;
            handles.push_back(net_event_connection());
            if (hang_up) net_hangup(handles.back());
        }
        EXPECT_LE(open_fd_count() - baseline - callers, bound) << hang_up;
        EXPECT_TRUE(raw_at_end(raws.front())) << hang_up;
        if (!hang_up) {
            EXPECT_EQ(net_connection_fd(handles.front()), -1);
            EXPECT_NE(net_connection_fd(handles.back()), -1);
            EXPECT_EQ(raw_drain(raws.back(), 20), "");
        }
        for (int fd : raws) close(fd);
        for (int i = 0; i < 500 && open_fd_count() > baseline; i++) {
            net_server_poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

// A hung-up peer that never stops sending is cut off long before the drain
// time runs out.
TEST_F(NetTest, HangupDrainStopsAfterBoundedBytes) {
    net_set_timeouts(0, 0, 60000);
    int baseline = open_fd_count();
    int raw;
    net_hangup(accept_caller(&raw));
    fcntl(raw, F_SETFL, O_NONBLOCK);
    std::string chunk(65536, 'x');
    bool cut = false;
    for (int i = 0; i < 2000 && !cut; i++) {
        cut = send(raw, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN;
        net_server_poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(cut);
    EXPECT_EQ(open_fd_count(), baseline + 1);
    close(raw);
}

// In a child whose descriptors are used up, queued callers are taken off the
// queue and closed instead of being retried on every poll.
TEST_F(NetTest, NoDescriptorsLeftRefusesCallers) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int callers[3];
        for (int& c : callers) c = raw_connect(port);
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = (rlim_t)open_fd_count() + 4;
        setrlimit(RLIMIT_NOFILE, &lim);
        for (int i = 0; i < 64 && dup(0) >= 0; i++) {
        }
        int reported = 0;
        for (int i = 0; i < 50; i++) reported += net_server_poll() != NET_NONE;
        int refused = 0;
        for (int c : callers) refused += raw_at_end(c);
        pollfd p{net_server_fd(0), POLLIN, 0};
        _exit((reported ? 1 : 0) | (refused != 3 ? 2 : 0) | (poll(&p, 1, 0) != 0 ? 4 : 0));
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported, 2: callers not refused, 4: still queued";
}

// Attempts are polled, never waited on: a silent host and a cancelled
// attempt both end, and leave no socket behind.
TEST_F(NetTest, ConnectAttemptsEndByThemselvesOrWhenCancelled) {
    int silent_port;
    int listener = raw_listen(&silent_port, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; i++) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)silent_port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    net_set_timeouts(300, 0, 0);
    struct Row {
        const char* host;
        int port, cancel, result;
    } rows[] = {
        {"127.0.0.1", silent_port, 0, NET_ATTEMPT_FAILED},
        {"127.0.0.1", silent_port, 1, NET_ATTEMPT_FAILED},
        {"localhost", port, 0, NET_ATTEMPT_DONE},
        {"no-such-host.invalid", port, 0, NET_ATTEMPT_FAILED},
        {"no-such-host.invalid", port, 1, NET_ATTEMPT_FAILED},
    };
    for (const Row& r : rows) {
        int baseline = open_fd_count();
        int attempt = net_connect_start(r.host, r.port);
        ASSERT_GT(attempt, 0) << r.host;
        NetConnection* made = nullptr;
        int result = NET_ATTEMPT_WAITING, polls = 0;
        if (r.cancel) net_connect_cancel(attempt);
        auto start = std::chrono::steady_clock::now();
        while (result == NET_ATTEMPT_WAITING && polls++ < 10000) {
            result = net_connect_poll(attempt, &made);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(result, r.result) << r.host << " " << r.cancel;
        EXPECT_EQ(made != nullptr, r.result == NET_ATTEMPT_DONE) << r.host;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << r.host;
        if (made && poll_event() == NET_CONNECT) net_close(net_event_connection());
        net_close(made);
        EXPECT_EQ(net_connect_poll(attempt, &made), NET_ATTEMPT_FAILED);  // ended: names nothing
        EXPECT_EQ(open_fd_count(), baseline) << r.host;
    }
    for (int f : fillers) close(f);
    close(listener);
}
