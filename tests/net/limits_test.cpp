// What strangers cannot do to the transport: reach a new caller through a
// stale handle, make it hold connections or drain without bound, make it
// spin when descriptors run out, or hold a connect attempt past its limit.
#include "net_fixture.h"

#include <sys/resource.h>
#include <sys/wait.h>

using namespace net_test;

// The stale record is freed just before the next caller's is made, so an
// allocator would hand out the same address.
TEST_F(NetTest, StaleHandleNeverReachesTheNextCaller) {
    int old_raw, raw;
    NetConnection* stale = accept_caller(&old_raw);
    net_close(stale);
    NetConnection* fresh = accept_caller(&raw);
    ASSERT_TRUE(raw_write(raw, "PBMGSFLE"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char buf[8];
    long got[] = {net_send_text(stale, "x"), net_send_bytes(stale, "x", 1), net_receive(stale, buf, 1),
                  net_client_poll(stale), net_peer_closed(stale), net_connection_fd(stale),
                  (long)net_peer_address(stale)};
    long refused[] = {-1, -1, -1, NET_NONE, 1, -1, 0};
    for (int i = 0; i < 7; i++) EXPECT_EQ(got[i], refused[i]) << "operation " << i;
    net_hangup(stale);
    net_close(stale);
    EXPECT_EQ(raw_drain(raw, 50), "");
    EXPECT_EQ(poll_event(), NET_FILE);  // all the new caller's bytes are still there
    EXPECT_EQ(net_event_connection(), fresh);
    close(old_raw);
    close(raw);
}

// Forgotten callers, or turned-away ones that stay connected, are held up
// to the bound; the oldest give way.
TEST_F(NetTest, HeldConnectionsAreBounded) {
    for (bool hang_up : {false, true}) {
        int baseline = open_fd_count();
        std::vector<int> raws;
        std::vector<NetConnection*> handles;
        for (int i = 0; i < 100; i++) {
            raws.push_back(raw_connect(port));
            ASSERT_EQ(poll_event(), NET_CONNECT) << i;
            handles.push_back(net_event_connection());
            if (hang_up) net_hangup(handles.back());
        }
        EXPECT_LE(open_fd_count() - baseline - 100, 64) << hang_up;
        EXPECT_TRUE(raw_at_end(raws.front())) << hang_up;
        EXPECT_EQ(net_connection_fd(handles.front()), -1);
        EXPECT_EQ(net_connection_fd(handles.back()) != -1, !hang_up);
        for (int fd : raws) close(fd);
        for (int i = 0; i < 500 && open_fd_count() > baseline; i++) poll_event(2);
    }
}

TEST_F(NetTest, HangupDrainStopsAfterBoundedBytes) {
    net_set_timeouts(0, 0, 60000);
    int baseline = open_fd_count(), raw;
    net_hangup(accept_caller(&raw));
    fcntl(raw, F_SETFL, O_NONBLOCK);
    std::string chunk(65536, 'x');
    bool cut = false;
    for (int i = 0; i < 2000 && !cut; i++) {
        cut = send(raw, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN;
        poll_event(2);
    }
    EXPECT_TRUE(cut);
    EXPECT_EQ(open_fd_count(), baseline + 1);
    close(raw);
}

// In a child whose descriptors are used up, queued callers are taken off the
// queue and closed, not retried on every poll.
TEST_F(NetTest, NoDescriptorsLeftRefusesCallers) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int callers[3] = {raw_connect(port), raw_connect(port), raw_connect(port)};
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = (rlim_t)open_fd_count() + 4;
        setrlimit(RLIMIT_NOFILE, &lim);
        for (int i = 0; i < 64 && dup(0) >= 0; i++) {
        }
        int reported = 0, refused = 0;
        for (int i = 0; i < 50; i++) reported += net_server_poll() != NET_NONE;
        for (int c : callers) refused += raw_at_end(c);
        pollfd p{net_server_fd(0), POLLIN, 0};
        _exit((reported ? 1 : 0) | (refused != 3 ? 2 : 0) | (poll(&p, 1, 0) != 0 ? 4 : 0));
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "exit 1: reported, 2: callers not refused, 4: still queued";
}

// A loopback port nobody listens on (bound for a moment, then let go).
int refused_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0
                   ? ntohs(a.sin_port)
                   : 1;
    close(fd);
    return port;
}

// Attempts are polled, never waited on; each ends by itself or when
// cancelled, says why it failed, and leaves no socket behind.
TEST_F(NetTest, ConnectAttemptsEndByThemselvesOrWhenCancelled) {
    int silent;
    std::vector<int> fillers;
    int listener = silent_listen(&silent, &fillers);
    net_set_timeouts(300, 0, 0);
    struct Row {
        const char* host;
        int port, cancel, result, why;  // why: the failure told, -1 any
    } rows[] = {
        {"127.0.0.1", silent, 0, NET_ATTEMPT_FAILED, NET_FAILED_SILENT},
        {"127.0.0.1", silent, 1, NET_ATTEMPT_FAILED, -1},
        {"localhost", port, 0, NET_ATTEMPT_DONE, -1},
        {"no-such-host.invalid", port, 0, NET_ATTEMPT_FAILED, NET_FAILED_NO_NAME},
        {"no-such-host.invalid", port, 1, NET_ATTEMPT_FAILED, -1},
        {"127.0.0.1", refused_port(), 0, NET_ATTEMPT_FAILED, NET_FAILED_REFUSED},
    };
    const bool localhost = localhost_resolves();
    for (const Row& r : rows) {
        if (!localhost && std::string(r.host) == "localhost") continue;
        int baseline = open_fd_count(), attempt = net_connect_start(r.host, r.port);
        ASSERT_GT(attempt, 0) << r.host;
        if (r.cancel) net_connect_cancel(attempt);
        NetConnection* made = nullptr;
        int result = NET_ATTEMPT_WAITING;
        for (int i = 0; i < 5000 && result == NET_ATTEMPT_WAITING; i++) {
            result = net_connect_poll(attempt, &made);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(result, r.result) << r.host << " " << r.cancel;
        if (r.why >= 0) {
            EXPECT_EQ(net_connect_failure(), r.why) << r.host;
        }
        EXPECT_EQ(made != nullptr, r.result == NET_ATTEMPT_DONE) << r.host;
        if (made && poll_event() == NET_CONNECT) net_close(net_event_connection());
        net_close(made);
        EXPECT_EQ(net_connect_poll(attempt, &made), NET_ATTEMPT_FAILED);  // ended: names nothing
        // A cancelled lookup may still be reading the resolver's files, or
        // its thread ending, for a moment on its own (seconds on a loaded
        // machine under the sanitizers): what counts is that nothing stays open.
        for (int i = 0; i < 1000 && open_fd_count() != baseline; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(open_fd_count(), baseline) << r.host;
    }
    for (int f : fillers) close(f);
    close(listener);
    if (!localhost) GTEST_SKIP() << "\"localhost\" does not resolve here; that row left untested";
}
