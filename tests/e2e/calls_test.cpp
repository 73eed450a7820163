// Calls against a raw protocol peer: start-up with and without settings,
// placing a call and being called, refusals and connect failures, the busy
// token, the bye token from either side and at exit. Every byte the program
// sends is checked exactly.
#include "call_fixture.h"
#include "engine.h"
#include "instances.h"

#include "net.h"
#include "state.h"
#include "sound.h"
#include "toolkit.h"
#include "user_folders.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

const std::string bye = "ByeByeByeDisconnec";

using Calls = CallFixture;

int enabled(int control)
{
    return control_enabled(control);
}

}  // namespace

TEST_F(Calls, FirstStartWritesTheDefaultsAndEnablesOnlyIdleControls)
{
    // Received files go to ~/jox/ when the home folder has no download folder.
    std::string home = std::getenv("HOME");
    setenv("HOME", dir.c_str(), 1);
    int started = harness_app_start(dir);
    setenv("HOME", home.c_str(), 1);
    ASSERT_TRUE(started);
    EXPECT_EQ(harness_read_file(dir + "jox.cfg"),
              "Folder = " + dir + "jox/\r\nIP = \r\nPort = 6843\r\nAuto Accept = No\r\n"
              "Open File = No\r\nTimeout = 2\r\nNickname = \r\n");
    EXPECT_EQ(app.port, 6843);
    EXPECT_EQ(app.version_title, "JOX 1.05 build 6000");
    struct {
        int control, on;
    } expected[] = {{8, 1}, {0, 1}, {4, 1}, {5, 0}, {6, 0}, {9, 0}, {7, 0}};
    for (auto e : expected) EXPECT_EQ(enabled(e.control), e.on) << e.control;
    EXPECT_EQ(status(), "");
    EXPECT_TRUE(harness_messages().empty());
}

TEST_F(Calls, AlertSoundIsTheWorkingFoldersElseTheOneBesideTheProgram)
{
    const std::string shipped = program_folder() + "alert1.wav";
    const std::string wave = harness_read_file(JOX_TEST_DATA "/sounds/short-8k.wav");
    ASSERT_FALSE(wave.empty());
    const struct {
        std::string own, ours;  // "": no such file
        int loaded;
    } cases[] = {{"", "", 0}, {wave, "", 1}, {"", wave, 1}, {"not a wave", wave, 0}};
    for (const auto& c : cases) {
        restart_clean();
        unlink((dir + "alert1.wav").c_str());
        if (!c.own.empty()) harness_write_file(dir + "alert1.wav", c.own);
        if (!c.ours.empty()) harness_write_file(shipped, c.ours);
        int started = harness_app_start(dir);
        unlink(shipped.c_str());
        ASSERT_TRUE(started);
        EXPECT_EQ(sound_volume(3, 100) != 0, c.loaded != 0) << c.own.size() << " " << c.ours.size();
    }
}

TEST_F(Calls, StartShowsTheStoredAddressAndTheFolderButtonWhenTheFolderExists)
{
    for (int with_folder : {0, 1}) {
        harness_app_stop();
        if (with_folder) mkdir((dir + "Received Files").c_str(), 0700);
        HarnessConfig config;
        config.ip = "10.1.2.3";
        start(config);
        EXPECT_EQ(control_get_text(0), "10.1.2.3");
        EXPECT_EQ(enabled(5), with_folder);
        harness_click(5);
        pump_for(100);
        if (with_folder) {
            ASSERT_EQ(harness_runs().size(), 1u);
            EXPECT_EQ(harness_runs()[0].target, dir + "Received Files/");
        } else {
            EXPECT_TRUE(harness_runs().empty());  // a disabled button does nothing
        }
    }
    // The folder vanishes while the program runs.
    harness_remove_dir(dir + "Received Files/");
    rmdir((dir + "Received Files").c_str());
    harness_click(5);
    pump_for(100);
    ASSERT_FALSE(harness_messages().empty());
    EXPECT_EQ(harness_messages().back().text, "Directory Not Found.");
    EXPECT_EQ(enabled(5), 0);
}

TEST_F(Calls, BeingCalledShowsTheCallerThenItsNickname)
{
    start();
    be_called();
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
    for (int c : {6, 14, 13, 9, 7}) EXPECT_EQ(enabled(c), 1) << c;
    for (int c : {8, 0}) EXPECT_EQ(enabled(c), 0) << c;
    // An empty nickname changes nothing.
    ASSERT_TRUE(raw_send(raw, "JOXNICKNAMEIS"));
    pump_for(200);
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
    ASSERT_TRUE(raw_send(raw, "JOXNICKNAMEISBob"));
    ASSERT_TRUE(pump_until([this] { return status() != "Connected.  You are the Server.  Connected with 127.0.0.1."; }, 2000));
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with Bob.");
    EXPECT_EQ(app.peer_nickname, "Bob");
}

TEST_F(Calls, PlacingACallSendsTheNicknameAndStoresTheAddress)
{
    for (std::string nickname : {"", "Ann"}) {
        restart_clean();
        listen_as_peer();
        HarnessConfig config;
        config.nickname = nickname;
        start(config);
        place_call_to_peer();
        EXPECT_TRUE(raw_expect(raw, "JOXNICKNAMEIS" + nickname, 2000)) << nickname;
        EXPECT_EQ(status(), "Connected To Server 127.0.0.2.");
        for (int c : {7, 9, 6, 14, 13}) EXPECT_EQ(enabled(c), 1) << c;
        for (int c : {8, 0}) EXPECT_EQ(enabled(c), 0) << c;
        EXPECT_NE(harness_read_file(dir + "jox.cfg").find("IP = 127.0.0.2\r\n"), std::string::npos);
        EXPECT_EQ(raw_read(raw, 100, 200), "");  // nothing else
    }
}

TEST_F(Calls, ReturnInTheAddressFieldCallsOnce)
{
    listen_as_peer();
    start();
    control_set_text(0, "127.0.0.2");
    harness_press_return(0);
    ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 12000));
    raw = raw_accept(listener, 2000);
    ASSERT_GE(raw, 0);
    EXPECT_TRUE(raw_expect(raw, "JOXNICKNAMEIS", 2000));
    pump_for(300);
    EXPECT_EQ(raw_accept(listener, 100), -1);  // no second call
}

TEST_F(Calls, OwnAddressesAreRefusedWithoutAConnection)
{
    start();
    std::string host = net_host_name();
    std::string upper = host;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (std::string address : {std::string("127.0.0.1"), std::string("LocalHost"), std::string("LOCALHOST"),
                                std::string(""), host, upper}) {
        harness_messages().clear();
        control_set_text(0, address.c_str());
        harness_click(8);
        pump_for(150);
        ASSERT_EQ(harness_messages().size(), 1u) << address;
        EXPECT_EQ(harness_messages()[0].text, "Can't Connect to Yourself!!!") << address;
        EXPECT_EQ(harness_messages()[0].title, "JOX 1.05 build 6000");
        EXPECT_EQ(app.idle, 1) << address;
    }
}

TEST_F(Calls, NobodyListeningGivesTheConnectFailure)
{
    // Hold the port elsewhere so the program has no listener of its own.
    listener = raw_listen("127.0.0.3", port);
    ASSERT_GE(listener, 0);
    start();
    control_set_text(0, "127.0.0.2");
    harness_click(8);
    // Not listening says so from the start, with the way out.
    EXPECT_EQ(harness_status(), "Can't listen on port " + std::to_string(port) +
                                    ": another program uses it. Nobody can call you: choose another Port in "
                                    "Options, then start jox again.");
    ASSERT_TRUE(pump_until([] { return !harness_messages().empty(); }, 12000));
    // The program's own notice, then which failure it was.
    const std::string said = harness_messages()[0].text;
    const std::string notice = "Can't find the Server.  Try again later.\r\rNobody is listening on 127.0.0.2:" +
                               std::to_string(port) + " (refused after ";
    EXPECT_EQ(said.substr(0, notice.size()), notice);
    EXPECT_EQ(app.idle, 1);
    EXPECT_EQ(enabled(8), 1);
    EXPECT_EQ(window_handle(5), nullptr);  // the wait window is gone
}

TEST_F(Calls, ASecondCallerGetsBusyAndTakesNoPartInTheCall)
{
    start();
    be_called();
    int third = raw_connect("127.0.0.1", port, 2000);
    ASSERT_GE(third, 0);
    // Its bytes must not reach the dispatcher, nor its closing end the call.
    ASSERT_TRUE(raw_send(third, bye));
    std::string got;
    pump_until([&] {
        got += raw_read(third, 64, 5);
        return got.size() >= 7;
    }, 3000);
    EXPECT_EQ(got, "JOXBusy");
    std::string extra;
    bool eof = false;
    pump_until([&] {
        eof = raw_at_eof(third, 5, &extra);
        return eof;
    }, 3000);
    EXPECT_TRUE(eof);
    EXPECT_EQ(extra, "");
    raw_close(third);
    pump_for(300);
    EXPECT_EQ(app.idle, 0);
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
    // The call still works.
    ASSERT_TRUE(raw_send(raw, "mMeSSageJOXBob: stillEeNdofMessageJOX"));
    ASSERT_TRUE(pump_until([] { return control_get_text(12) == "Bob: still"; }, 2000));
}

TEST_F(Calls, TurnedAwayCallerIsIdleAndCanBeCalled)
{
    start();  // listens on `port`
    int elsewhere = harness_free_port();
    listener = raw_listen("127.0.0.2", elsewhere);
    ASSERT_GE(listener, 0);
    app.port = elsewhere;  // as a changed port in the options does, for the next call
    place_call_to_peer();
    ASSERT_TRUE(raw_expect(raw, "JOXNICKNAMEIS", 2000));
    ASSERT_TRUE(raw_send(raw, "JOXBusy"));
    ASSERT_TRUE(pump_until([] { return !harness_messages().empty(); }, 3000));
    EXPECT_EQ(harness_messages()[0].text, "Server Already Connected With a User.");
    EXPECT_EQ(status(), "Disconnected. Server is Busy.");
    EXPECT_EQ(app.idle, 1);
    struct {
        int control, on;
    } expected[] = {{6, 0}, {14, 0}, {13, 0}, {7, 0}, {8, 1}, {9, 0}, {0, 1}};
    for (auto e : expected) EXPECT_EQ(enabled(e.control), e.on) << e.control;

    int third = raw_connect("127.0.0.1", port, 2000);
    ASSERT_GE(third, 0);
    ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 3000));
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
    EXPECT_EQ(raw_read(third, 16, 200), "");  // accepted, not turned away
    raw_close(third);
}

TEST_F(Calls, ByeFromThePeerEndsTheCallOnEitherSide)
{
    for (int caller : {0, 1}) {
        fresh_call(caller);
        // A bye with more bytes behind it in the same receive still counts.
        ASSERT_TRUE(raw_send(raw, bye + "mMeSSageJOX"));
        ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 3000)) << caller;
        EXPECT_EQ(status(), "User Disconnected.");
        for (int c : {6, 14, 13, 7}) EXPECT_EQ(enabled(c), 0) << c;
        for (int c : {8, 0}) EXPECT_EQ(enabled(c), 1) << c;
    }
}

TEST_F(Calls, DisconnectSendsByeThenClosesTheConnection)
{
    start();
    be_called();
    harness_click(7);
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    EXPECT_TRUE(raw_expect(raw, bye, 2000));
    EXPECT_EQ(status(), "Disconnected.");
    std::string extra;
    EXPECT_TRUE(pump_until([&] { return raw_at_eof(raw, 5, &extra); }, 3000));
    EXPECT_EQ(extra, "");
}

TEST_F(Calls, CallerClosingWithoutByeEndsTheCall)
{
    start();
    be_called();
    raw_close(raw);
    raw = -1;
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 3000));
    EXPECT_EQ(status(), "Disconnected.");
    EXPECT_EQ(enabled(8), 1);
}

TEST_F(Calls, ExitSendsByeOverTheLastCall)
{
    struct Case {
        const char* name;
        int caller;     // 1: the program placed the call
        int ended;      // 1: the call had already ended by the peer's bye
    } cases[] = {{"placed", 1, 0}, {"accepted", 0, 0}, {"placed, ended", 1, 1}};
    for (const Case& c : cases) {
        fresh_call(c.caller);
        if (c.ended) {
            ASSERT_TRUE(raw_send(raw, bye));
            ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
        }
        harness_app_stop();
        // An ended call's connection is closed already: nothing more is sent.
        if (!c.ended) {
            EXPECT_TRUE(raw_expect(raw, bye, 2000)) << c.name;
        }
        std::string extra;
        EXPECT_TRUE(raw_at_eof(raw, 2000, &extra)) << c.name;
        EXPECT_EQ(extra, "") << c.name;
    }
}

// The close box and the quit key end the program at once when no call is
// up; during a call the user is asked first, and No keeps the call.
TEST_F(Calls, CloseBoxAndQuitKeyEndTheLoop)
{
    const char* asked = "A call is under way.\rHang up and quit jox?";
    struct Row {
        int in_call, quit_key, answer, ends;
    } rows[] = {{0, 0, 0, 1}, {0, 1, 0, 1}, {1, 0, IDNO, 0}, {1, 1, IDYES, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.in_call) + std::to_string(r.quit_key));
        restart_clean();
        start();
        if (r.in_call) be_called();
        harness_messages().clear();
        if (r.answer) harness_answer_next(r.answer);
        if (r.quit_key) QTest::keyClick(static_cast<QWidget*>(control_handle(0)), Qt::Key_Q, Qt::ControlModifier);
        else harness_close_window(0);
        EXPECT_EQ(pump_until([] { return harness_loop_ended() != 0; }, 1000) != 0, r.ends != 0);
        EXPECT_EQ(harness_messages().size(), r.in_call ? 1u : 0u);
        if (r.in_call && !harness_messages().empty()) {
            EXPECT_EQ(harness_messages()[0].text, asked);
        }
        if (r.in_call && !r.ends) {
            EXPECT_EQ(app.idle, 0);
        }
    }
}

TEST_F(Calls, PeerActivityNotices)
{
    start();
    be_called();
    struct Step {
        std::string token;
        std::string status;
        int send_file_on;  // control 6 afterwards
        int disconnect_on; // control 7 afterwards
    } steps[] = {
        {"SendingSeindingJOXFile", "Connected. User is Selecting Files to Send.", 0, 0},
        {"CloseSendJOXFile", "Connected. User did not Choose anything to Send.", 1, 1},
        {"SendingMessageJOX", "Connected. User is Typing a Message.", 0, 0},
        {"CloseSendingMessageJOX", "Connected. User did not any Messages.", 1, 1},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(raw_send(raw, s.token));
        ASSERT_TRUE(pump_until([&] { return status() == s.status; }, 2000)) << s.token;
        EXPECT_EQ(enabled(6), s.send_file_on) << s.token;
        EXPECT_EQ(enabled(7), s.disconnect_on) << s.token;
        if (s.token == "SendingMessageJOX") {
            EXPECT_TRUE(raw_expect(raw, "RM", 2000));
        }
    }
    EXPECT_EQ(raw_read(raw, 16, 200), "");
}

TEST_F(Calls, AnEndedCallsConnectionCannotTouchTheNextCall)
{
    start();
    be_called();
    ASSERT_TRUE(raw_send(raw, bye));
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    int old = raw;  // left open by the peer
    raw = raw_connect("127.0.0.1", port, 2000);
    ASSERT_GE(raw, 0);
    ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 3000));
    // The old caller's bytes are dropped, not read as the new peer's...
    ASSERT_TRUE(raw_send(old, bye));
    ASSERT_TRUE(raw_send(old, "SendingMessageJOX"));
    pump_for(400);
    EXPECT_EQ(app.idle, 0);
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
    EXPECT_EQ(raw_read(old, 16, 100), "");  // nor answered
    // ...and its closing does not end the call.
    raw_close(old);
    pump_for(400);
    EXPECT_EQ(app.idle, 0);
    ASSERT_TRUE(raw_send(raw, "mMeSSageJOXCat: hereEeNdofMessageJOX"));
    ASSERT_TRUE(pump_until([] { return control_get_text(12) == "Cat: here"; }, 2000));
}

// The help page's way to try the program on one machine works as written:
// the address it names is not refused as this machine, and reaches it.
TEST_F(Calls, TheHelpPagesOneMachineTryWorksAsWritten)
{
    std::string page = harness_read_file(std::string(JOX_BINARY).substr(0, std::string(JOX_BINARY).rfind('/') + 1) +
                                         "help.html");
    std::size_t at = page.find("and call <code>");
    ASSERT_NE(at, std::string::npos);
    at += 15;
    std::string address = page.substr(at, page.find("</code>", at) - at);
    EXPECT_FALSE(engine_is_self(address, net_host_name())) << address;
    start();
    int fd = raw_connect(address.c_str(), port, 2000);
    EXPECT_GE(fd, 0) << address;
    raw_close(fd);
}

// The keyboard goes where the next step is: the address field while idle,
// Send File once a call is up (the chat input when the chat shows), the
// address again when the call ends.
TEST_F(Calls, FocusFollowsTheCall)
{
    start();
    QWidget* main = static_cast<QWidget*>(window_handle(0));
    EXPECT_EQ(main->focusWidget(), control_handle(0));
    be_called();
    EXPECT_EQ(main->focusWidget(), control_handle(6));
    harness_click(9);  // the chat opens
    EXPECT_TRUE(pump_until([&] { return main->focusWidget() == control_handle(13); }, 1000));
    ASSERT_TRUE(raw_send(raw, bye));
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    EXPECT_EQ(main->focusWidget(), control_handle(0));
}

// With another instance running, the window opens beside it, not over it.
TEST_F(Calls, ASecondInstanceOpensBesideTheFirst)
{
    const std::string other = instances_folder() + std::to_string(getppid());
    mkdir(instances_folder().c_str(), 0700);
    harness_write_file(other, "");
    start();
    QWidget* main = static_cast<QWidget*>(window_handle(0));
    EXPECT_NE(main->pos(), QPoint(389, 185));
    EXPECT_EQ(main->pos().x() - 389, main->pos().y() - 185);
    unlink(other.c_str());
}
