// Callers that try to wear the program down over the network, and a call
// placed to a host that never answers: the program keeps serving, and its
// wait can be abandoned or runs out.
#include "call_fixture.h"

#include "layouts.h"
#include "net.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <vector>

namespace {

using HostileNet = CallFixture;

long open_fds()
{
    return long(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

}  // namespace

TEST_F(HostileNet, GoodbyeCallersThatStayConnectedDoNotWearTheProgramDown)
{
    start();
    long before = open_fds();
    // Past the common soft limit of 1024 descriptors where the limit allows:
    // a program that kept them would run out.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const long callers = std::min<long>(1100, long(std::min<rlim_t>(limit.rlim_cur, 1 << 20)) - before - 100);
    std::vector<int> kept;
    for (int i = 0; i < callers; ++i) {
        kept.push_back(raw_connect("127.0.0.1", port, 2000));
        ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 2000)) << i;
        ASSERT_TRUE(raw_send(kept.back(), "ByeByeByeDisconnec"));
        ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000)) << i;
    }
    EXPECT_LE(open_fds() - before, callers + 70);  // the callers' own, and the program's bound
    kept.push_back(raw_connect("127.0.0.1", port, 2000));
    EXPECT_TRUE(pump_until([] { return app.idle == 0; }, 2000));
    raw = raw_connect("127.0.0.1", port, 2000);
    EXPECT_TRUE(pump_expect("JOXBusy", 2000));
    for (int fd : kept) raw_close(fd);
}

// While a call to a host that never answers is placed, the wait window is up
// and the loop runs: another caller is turned away, and Escape, a click or
// the time limit end the attempt.
TEST_F(HostileNet, CallingASilentHostCanBeAbandonedAndRunsOut)
{
    for (const char* end : {"escape", "click", "limit"}) {
        restart_clean();
        listener = raw_listen("127.0.0.2", port);  // its queue is filled below
        std::vector<int> fillers(20);
        sockaddr_in a{AF_INET, htons(uint16_t(port)), {inet_addr("127.0.0.2")}, {}};
        for (int& f : fillers) connect(f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), (sockaddr*)&a, sizeof a);
        int peer_port = port;
        port = harness_free_port();  // the program listens on a port of its own
        start();
        int other = port, busy = -1, limit = std::string(end) == "limit";
        port = peer_port;
        net_set_timeouts(limit ? 800 : 0, 0, 0);
        std::string got;
        harness_inside([&] { return window_handle(WINDOW_WAIT) && (busy = raw_connect("127.0.0.1", other, 1000)) >= 0; });
        harness_inside([&] { return (got += raw_read(busy, 7 - got.size(), 2)).size() >= 7; });
        harness_inside([&] {
            if (std::string(end) == "escape") QTest::keyClick(static_cast<QWidget*>(window_handle(WINDOW_WAIT)), Qt::Key_Escape);
            if (std::string(end) == "click") QTest::mouseClick(static_cast<QWidget*>(control_handle(34)), Qt::LeftButton);
            return true;
        });
        control_set_text(0, ("127.0.0.2:" + std::to_string(port)).c_str());
        harness_click(8);
        EXPECT_TRUE(pump_until([] { return !harness_inside_pending() && !window_handle(WINDOW_WAIT); }, 4000)) << end;
        EXPECT_EQ(got, "JOXBusy") << end;
        EXPECT_EQ(harness_messages().size(), size_t(limit)) << end;  // "Can't find the Server..."
        raw_close(busy);
        for (int f : fillers) raw_close(f);
        net_set_timeouts(0, 0, 0);
    }
}

// A question or notice the user has not answered yet leaves the network
// running: a second caller still hears "busy" and the peer's chat still shows.
// Each box once ran its own loop, and nobody was answered while it was up.
TEST_F(HostileNet, OpenBoxesLeaveTheNetworkRunning)
{
    const std::string body = "hello";
    const std::string md5 = "5d41402abc4b2a76b9719d911017c592";
    struct Row {
        const char* what;
        const char* auto_accept;
        std::string peer;   // what the peer sends once the call is up
        const char* box;    // the start of the box left open
    } rows[] = {
        {"accept file", "No", "NAMEJOXa.txtSIZEJOXsizejox5MD5JOX" + md5 + "SD", "Accept File"},
        {"corrupted file", "Yes", "NAMEJOXa.txtSIZEJOXsizejox5MD5JOX" + std::string(32, '0') + "SD", "File Sent is Corrupted"},
    };
    for (const Row& r : rows) {
        restart_clean();
        HarnessConfig config;
        config.auto_accept = r.auto_accept;
        start(config);
        harness_hold_boxes(1);
        be_called();
        ASSERT_TRUE(raw_send(raw, r.peer)) << r.what;
        if (r.box[0] == 'F') {
            ASSERT_TRUE(pump_expect("RFa", 2000)) << r.what;
            ASSERT_TRUE(raw_send(raw, std::string("PBMGSFLE\x05\0\0\0", 12) + body));
        }
        ASSERT_TRUE(pump_until([&] {
            return !harness_messages().empty() && harness_messages().back().text.rfind(r.box, 0) == 0;
        }, 3000)) << r.what;
        int other = raw_connect("127.0.0.1", port, 2000);
        std::string got;
        EXPECT_TRUE(pump_until([&] { return (got += raw_read(other, 7 - got.size(), 2)).size() >= 7; }, 1000))
            << r.what;
        EXPECT_EQ(got, "JOXBusy") << r.what;
        raw_close(other);
        ASSERT_TRUE(raw_send(raw, "mMeSSageJOXBob: stillEeNdofMessageJOX"));
        EXPECT_TRUE(pump_until([] { return control_get_text(12).find("Bob: still") != std::string::npos; }, 2000))
            << r.what;
        // The peer leaves: a question of its call goes with it.
        raw_close(raw);
        raw = -1;
        ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 3000)) << r.what;
        if (std::string(r.box) == "Accept File") {
            bool open = false;
            for (QWidget* w : QApplication::topLevelWidgets())
                open = open || (w->isVisible() && w->inherits("QMessageBox"));
            EXPECT_FALSE(open) << r.what;
        }
    }
    // A caller that says "JOXBusy" to us: the notice stays up, and the next
    // caller is taken as the call meanwhile.
    restart_clean();
    start();
    harness_hold_boxes(1);
    be_called();
    ASSERT_TRUE(raw_send(raw, "JOXBusy"));
    ASSERT_TRUE(pump_until([] {
        return !harness_messages().empty() && harness_messages().back().text == "Server Already Connected With a User.";
    }, 3000));
    raw_close(raw);
    raw = raw_connect("127.0.0.1", port, 2000);
    EXPECT_TRUE(pump_until([] { return app.idle == 0; }, 1000));
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
}
