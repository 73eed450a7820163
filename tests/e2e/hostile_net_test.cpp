// Callers that try to wear the program down over the network, and a call
// placed to a host that never answers: the program keeps serving, and its
// wait can be abandoned or runs out.
#include "call_fixture.h"

#include "layouts.h"
#include "net.h"

#include <QTest>
#include <QWidget>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <vector>

namespace {

using HostileNet = CallFixture;

const std::string bye = "ByeByeByeDisconnec";

// Connections the program holds on its own port (this process is both).
int held_on(int port)
{
    int held = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = d ? readdir(d) : nullptr) {
        int fd = std::atoi(e->d_name);
        sockaddr_in a{}, b{};
        socklen_t la = sizeof a, lb = sizeof b;
        if (e->d_name[0] != '.' && getsockname(fd, (sockaddr*)&a, &la) == 0 && a.sin_family == AF_INET &&
            ntohs(a.sin_port) == port && getpeername(fd, (sockaddr*)&b, &lb) == 0)
            ++held;
    }
    if (d) closedir(d);
    return held;
}

// A listener at ip:port whose queue is full: further callers hear nothing.
int silent_host(const char* ip, int port, std::vector<int>* fillers)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || listen(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    for (int i = 0; i < 4; ++i) {
        fillers->push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(fillers->back(), (sockaddr*)&a, sizeof a);
    }
    pump_for(100);
    return fd;
}

}  // namespace

TEST_F(HostileNet, GoodbyeCallersThatStayConnectedDoNotWearTheProgramDown)
{
    start();
    std::vector<int> kept;
    for (int i = 0; i < 1100; ++i) {
        int fd = raw_connect("127.0.0.1", port, 2000);
        ASSERT_GE(fd, 0) << i;
        kept.push_back(fd);
        ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 2000)) << i;
        ASSERT_TRUE(raw_send(fd, bye));
        ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000)) << i;
    }
    EXPECT_LE(held_on(port), 70);
    raw = raw_connect("127.0.0.1", port, 2000);
    ASSERT_GE(raw, 0);
    EXPECT_TRUE(pump_until([] { return app.idle == 0; }, 2000));
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
    int second = raw_connect("127.0.0.1", port, 2000);
    std::string got;
    pump_until([&] { return (got += raw_read(second, 7 - got.size(), 2)).size() >= 7; }, 2000);
    EXPECT_EQ(got, "JOXBusy");
    raw_close(second);
    for (int fd : kept) raw_close(fd);
}

// Freed records' addresses come back soon; handles of ended calls must not.
TEST_F(HostileNet, EndedCallsHandlesCannotReachALaterCaller)
{
    start();
    std::vector<NetConnection*> ended;
    for (int i = 0; i < 30; ++i) {
        be_called();
        for (NetConnection* h : ended) EXPECT_EQ(net_send_text(h, "mMeSSageJOXhi"), -1) << i;
        EXPECT_EQ(raw_read(raw, 64, 5), "") << i;
        ended.push_back(app.peer_connection);
        raw_close(raw);
        raw = -1;
        ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    }
}

// While the call is being placed the wait window is up and the loop runs:
// another caller is turned away, and Escape, a click or the time limit end
// the attempt.
TEST_F(HostileNet, CallingASilentHostCanBeAbandonedAndRunsOut)
{
    struct Row {
        const char* end;
        int limit_ms;
        size_t messages;
    } rows[] = {{"escape", 0, 0}, {"click", 0, 0}, {"limit", 800, 1}};
    for (const Row& r : rows) {
        restart_clean();
        std::vector<int> fillers;
        listener = silent_host("127.0.0.2", port, &fillers);
        ASSERT_GE(listener, 0);
        start();
        ASSERT_NE(net_server_create(0, 0), 0);  // the program listens elsewhere
        int other = net_server_port(0);
        net_set_timeouts(r.limit_ms, 0, 0);
        int busy = -1;
        std::string got;
        harness_inside([&] {
            if (!window_handle(WINDOW_WAIT)) return false;
            busy = raw_connect("127.0.0.1", other, 1000);
            return true;
        });
        harness_inside([&] { return (got += raw_read(busy, 7 - got.size(), 2)).size() >= 7; });
        if (r.limit_ms == 0)
            harness_inside([&] {
                QWidget* w = static_cast<QWidget*>(window_handle(WINDOW_WAIT));
                if (std::string(r.end) == "escape")
                    QTest::keyClick(w, Qt::Key_Escape);
                else
                    QTest::mouseClick(static_cast<QWidget*>(control_handle(34)), Qt::LeftButton);
                return true;
            });
        control_set_text(0, "127.0.0.2");
        harness_click(8);
        EXPECT_TRUE(pump_until([] { return !harness_inside_pending() && !window_handle(WINDOW_WAIT); }, 4000))
            << r.end;
        EXPECT_EQ(got, "JOXBusy") << r.end;
        EXPECT_EQ(harness_messages().size(), r.messages) << r.end;
        if (r.messages) {
            EXPECT_EQ(harness_messages()[0].text, "Can't find the Server.  Try again later.");
        }
        EXPECT_EQ(app.idle, 1) << r.end;
        EXPECT_EQ(app.peer_connection, nullptr) << r.end;
        raw_close(busy);
        for (int f : fillers) raw_close(f);
        net_set_timeouts(0, 0, 0);
    }
}
