// Chat against a raw protocol peer: lines with and without a nickname, the
// three commands and their look-alikes, the log's grey-then-cleared rule,
// the chat area's heights, the typing notice, its withdrawal and the ends of
// its wait, and the input's length limit. Ends with a screenshot.
#include "call_fixture.h"

#include "date.h"

#include <QWidget>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <string>

namespace {

using Chat = CallFixture;

const std::string bye = "ByeByeByeDisconnec";

std::string token(const std::string& line)
{
    return "mMeSSageJOX" + line + "EeNdofMessageJOX";
}

// "The Time is hh:mm:ss." with a real clock reading.
bool is_time_line(const std::string& line)
{
    const std::string lead = "The Time is ";
    if (line.size() != lead.size() + 9 || line.compare(0, lead.size(), lead) != 0 || line.back() != '.')
        return false;
    std::string t = line.substr(lead.size(), 8);
    for (int i : {0, 1, 3, 4, 6, 7})
        if (t[i] < '0' || t[i] > '9') return false;
    return t[2] == ':' && t[5] == ':' && std::stoi(t.substr(0, 2)) < 24 && std::stoi(t.substr(3, 2)) < 60 &&
           std::stoi(t.substr(6, 2)) < 60;
}

int main_height()
{
    QWidget* w = static_cast<QWidget*>(window_handle(0));
    return w ? w->height() : -1;
}

}  // namespace

TEST_F(Chat, LinesAreSignedWithTheNicknameOrAnonymous)
{
    struct Case {
        std::string nickname, shown, sent;
    } cases[] = {{"", "Me: hello", "Anonymous: hello"}, {"Ann", "Ann: hello", "Ann: hello"}};
    for (const Case& c : cases) {
        restart_clean();
        HarnessConfig config;
        config.nickname = c.nickname;
        start(config);
        be_called();
        ASSERT_TRUE(type_answered("hello")) << c.nickname;
        harness_press_return(13);
        ASSERT_TRUE(pump_until([] { return !control_get_text(12).empty(); }, 2000));
        EXPECT_EQ(control_get_text(12), c.shown);
        EXPECT_TRUE(pump_expect(token(c.sent), 2000)) << c.nickname;
        // One Return press sends once, however many passes follow.
        pump_for(300);
        EXPECT_EQ(raw_read(raw, 64, 200), "");
        EXPECT_EQ(control_get_text(13), "");
        EXPECT_EQ(main_height(), 363);
    }
}

TEST_F(Chat, CommandsAndLookAlikes)
{
    start();
    be_called();

    ASSERT_TRUE(type_answered("/time"));
    harness_click(14);
    std::string got;
    pump_until([&] {
        got += raw_read(raw, 64, 2);
        return got.size() >= token("The Time is 00:00:00.").size();
    }, 2000);
    ASSERT_EQ(got.size(), token("The Time is 00:00:00.").size());
    std::string sent_line = got.substr(11, got.size() - 11 - 16);
    EXPECT_TRUE(is_time_line(sent_line)) << got;
    EXPECT_EQ(got.substr(got.size() - 16), "EeNdofMessageJOX");
    EXPECT_TRUE(is_time_line(control_get_text(12))) << control_get_text(12);

    ASSERT_TRUE(type_answered("/date"));
    harness_click(14);
    std::string date_line = "The Date is " + date_format("%dd/%MM/%yyyy", date_now()) + ".";
    EXPECT_TRUE(pump_expect(token(date_line), 2000));
    pump_for(50);
    EXPECT_EQ(control_get_text(12).substr(control_get_text(12).rfind('\n') + 1), date_line);

    // "/clear" empties our log only; the peer hears only that we stopped typing.
    ASSERT_TRUE(type_answered("/clear"));
    harness_click(14);
    pump_for(100);
    EXPECT_EQ(control_get_text(12), "");
    EXPECT_EQ(raw_read(raw, 64, 200), "CloseSendingMessageJOX");

    for (std::string text : {"/Time", " /time", "/date ", "/CLEAR", " "}) {
        ASSERT_TRUE(type_answered(text)) << text;
        harness_click(14);
        EXPECT_TRUE(pump_expect(token("Anonymous: " + text), 2000)) << text;
        pump_for(20);
        EXPECT_EQ(control_get_text(12).substr(control_get_text(12).rfind('\n') + 1), "Me: " + text);
    }
    // Send with an empty input does nothing at all.
    int lines = app.chat_lines;
    harness_click(14);
    pump_for(100);
    EXPECT_EQ(app.chat_lines, lines);
    EXPECT_EQ(raw_read(raw, 64, 200), "");
}

TEST_F(Chat, OldCallsLinesStayGreyUntilTheNextConversation)
{
    start();
    be_called();
    ASSERT_TRUE(raw_send(raw, token("Bob: hi")));
    ASSERT_TRUE(pump_until([] { return control_get_text(12) == "Bob: hi"; }, 2000));
    EXPECT_EQ(status(), "Connected. Received Message from User.");
    ASSERT_TRUE(raw_send(raw, token("Bob: there")));
    ASSERT_TRUE(pump_until([] { return control_get_text(12) == "Bob: hi\nBob: there"; }, 2000));
    EXPECT_EQ(app.chat_lines, -2);
    ASSERT_TRUE(raw_send(raw, bye));
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    EXPECT_EQ(app.chat_lines, 0);
    raw_close(raw);
    pump_for(200);

    be_called();  // a new call leaves the old lines alone...
    EXPECT_EQ(control_get_text(12), "Bob: hi\nBob: there");
    ASSERT_TRUE(raw_send(raw, token("Cat: yo")));  // ...until its first line
    ASSERT_TRUE(pump_until([] { return control_get_text(12) == "Cat: yo"; }, 2000));
    EXPECT_EQ(app.chat_lines, -1);
}

TEST_F(Chat, ChatAreaHeights)
{
    start();
    EXPECT_EQ(main_height(), 236);
    be_called();
    ASSERT_TRUE(raw_send(raw, token("Bob: one")));
    ASSERT_TRUE(pump_until([] { return app.chat_expanded == 1; }, 2000));
    EXPECT_EQ(main_height(), 363);
    harness_click(9);
    pump_for(50);
    EXPECT_EQ(main_height(), 233);
    harness_click(9);
    pump_for(50);
    EXPECT_EQ(main_height(), 363);
    harness_click(9);
    pump_for(50);
    EXPECT_EQ(main_height(), 233);
    // A sent line that is not the conversation's first leaves it hidden...
    ASSERT_TRUE(type_answered("two"));
    harness_press_return(13);
    ASSERT_TRUE(pump_expect(token("Anonymous: two"), 2000));
    EXPECT_EQ(main_height(), 233);
    // ...a received one shows it.
    ASSERT_TRUE(raw_send(raw, token("Bob: three")));
    ASSERT_TRUE(pump_until([] { return app.chat_expanded == 1; }, 2000));
    EXPECT_EQ(main_height(), 363);
    EXPECT_EQ(control_get_text(12), "Bob: one\nMe: two\nBob: three");

    // The user makes the window taller: "Chat Window" folds it and opens it
    // to that height again. Folded, then pulled open by hand, the chat counts
    // as shown (the next click folds it).
    auto* main = static_cast<QWidget*>(window_handle(0));
    main->resize(600, 520);
    pump_for(50);
    for (int expected : {233, 520, 233}) {
        harness_click(9);
        pump_for(50);
        EXPECT_EQ(main_height(), expected);
    }
    main->resize(600, 400);
    pump_for(50);
    EXPECT_EQ(app.chat_expanded, 1);
    harness_click(9);
    pump_for(50);
    EXPECT_EQ(main_height(), 233);
}

TEST_F(Chat, TypingNoticeIsWithdrawnWhenTheInputEmpties)
{
    start();
    be_called();
    ASSERT_TRUE(type_answered("a"));
    EXPECT_EQ(app.typing_announced, 1);
    harness_type(13, "b");  // already announced: nothing more is sent
    pump_for(100);
    EXPECT_EQ(raw_read(raw, 64, 100), "");
    control_set_text(13, "");
    pump_for(100);
    EXPECT_TRUE(raw_expect(raw, "CloseSendingMessageJOX", 2000));
    EXPECT_EQ(app.typing_announced, 0);
}

TEST_F(Chat, TypingWaitEndsWhenThePeerLeavesOnEitherSide)
{
    for (int caller : {0, 1}) {
        fresh_call(caller);
        int fd = raw;
        std::thread peer([fd] {
            raw_expect(fd, "SendingMessageJOX", 3000);
            shutdown(fd, SHUT_RDWR);
        });
        harness_type(13, "x");
        // Well inside the wait's own limit: the close ends it.
        int ended = pump_until([] { return app.idle == 1; }, 3000);
        peer.join();
        EXPECT_TRUE(ended) << caller;
        EXPECT_EQ(status(), "User Disconnected.") << caller;
        EXPECT_EQ(control_enabled(8), 1);
    }
}

TEST_F(Chat, TypingWaitGivesUpOnASilentPeer)
{
    start();
    be_called();
    harness_type(13, "x");
    ASSERT_TRUE(pump_until([this] { return status() == "Connected. User did not Answer."; }, 8000));
    EXPECT_TRUE(raw_expect(raw, "SendingMessageJOX", 500));
    EXPECT_EQ(app.idle, 0);  // silence alone does not end the call
}

TEST_F(Chat, NoTypingNoticeWithoutACall)
{
    listen_as_peer();
    start();
    place_call_to_peer();
    ASSERT_TRUE(raw_expect(raw, "JOXNICKNAMEIS", 2000));
    ASSERT_TRUE(raw_send(raw, bye));
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 2000));
    control_disable(13, 0);
    harness_type(13, "x");
    pump_for(200);
    EXPECT_EQ(app.typing_announced, 0);
    EXPECT_EQ(raw_read(raw, 64, 200), "");
}

TEST_F(Chat, InputTakesOnlyWhatFitsOneReceive)
{
    HarnessConfig config;
    config.nickname = "Annabel";
    start(config);
    control_set_text(13, std::string(400, 'x').c_str());
    EXPECT_EQ(control_get_text(13).size(), 256u - 11 - 16 - 7 - 2);
}

TEST_F(Chat, ScreenshotOfACallWithChat)
{
    HarnessConfig config;
    config.nickname = "Ann";
    start(config);
    be_called();
    ASSERT_TRUE(raw_send(raw, "JOXNICKNAMEISBob"));
    pump_for(100);
    ASSERT_TRUE(raw_send(raw, token("Bob: Hi Ann, the photos are ready.")));
    ASSERT_TRUE(pump_until([] { return app.chat_lines == -1; }, 2000));
    ASSERT_TRUE(type_answered("Great, send them over!"));
    harness_press_return(13);
    ASSERT_TRUE(pump_expect(token("Ann: Great, send them over!"), 2000));
    ASSERT_TRUE(raw_send(raw, token("Bob: On their way.")));
    ASSERT_TRUE(pump_until([] { return app.chat_lines == -3; }, 2000));
    pump_for(100);
    mkdir(JOX_SCREENSHOTS, 0755);
    EXPECT_TRUE(ui_test_grab_window(0, JOX_SCREENSHOTS "/main_call_chat.png"));
}

TEST_F(Chat, CallerArrivingDuringTheTypingWaitIsTurnedAway)
{
    start();
    be_called();
    int fd = raw;
    int call_port = port;
    std::string third_got;
    int third_eof = 0;
    std::atomic<int> done{0};
    std::thread peer([&third_got, &third_eof, &done, fd, call_port] {
        if (raw_expect(fd, "SendingMessageJOX", 3000)) {
            int third = raw_connect("127.0.0.1", call_port, 2000);
            third_got = raw_read(third, 16, 2000);
            third_eof = raw_at_eof(third, 2000);
            raw_close(third);
            raw_send(fd, "RM");
        }
        done = 1;
    });
    harness_type(13, "x");
    pump_until([&done] { return done != 0; }, 6000);
    peer.join();
    EXPECT_EQ(third_got, "JOXBusy");
    EXPECT_TRUE(third_eof);
    EXPECT_EQ(app.idle, 0);
    EXPECT_EQ(status(), "Connected.  You are the Server.  Connected with 127.0.0.1.");
}
