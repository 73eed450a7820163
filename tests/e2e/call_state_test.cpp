// The call's state against a raw peer: tokens that arrive together or in
// pieces (also inside the typing wait, before its "RM"), and calls that end
// by any path (their connection closes and what it still carries is void).
#include "call_fixture.h"

#include "layouts.h"

#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using CallState = CallFixture;

const std::string bye = "ByeByeByeDisconnec";

std::string chat(const std::string& line)
{
    return "mMeSSageJOX" + line + "EeNdofMessageJOX";
}

}  // namespace

TEST_F(CallState, EveryTokenOfAReceiveActsInOrder)
{
    struct Row {
        const char* name;
        int caller;
        int typed;  // 1: the piece answers our typing notice, inside its wait
        std::vector<std::string> pieces;  // separate sends, the program runs between
        std::string log, status, reply;
        int idle;
    } rows[] = {
        {"chat, then bye", 1, 0, {chat("Bob: hi") + bye}, "Bob: hi", "User Disconnected.", "", 1},
        {"typing, then withdrawn", 0, 0, {"SendingMessageJOXCloseSendingMessageJOX"}, "",
         "Connected. User did not any Messages.", "RM", 0},
        {"late reply, then chat", 0, 0, {"RM" + chat("Bob: hi")}, "Bob: hi",
         "Connected. Received Message from User.", "", 0},
        {"chat in two pieces", 1, 0, {"mMeSSageJOXBob: h", "iEeNdofMessageJOX"}, "Bob: hi",
         "Connected. Received Message from User.", "", 0},
        {"nickname, then typing", 0, 0, {"JOXNICKNAMEISBobSendingMessageJOX"}, "",
         "Connected. User is Typing a Message.", "RM", 0},
        {"unfinished chat cannot hold a later token", 0, 0,
         {"mMeSSageJOX" + std::string(1500, 'x'), "SendingMessageJOX"}, "",
         "Connected. User is Typing a Message.", "RM", 0},
        {"typing wait meets a chat line", 0, 1, {chat("Bob: hi") + "RM"}, "Bob: hi",
         "Connected. Received Message from User.", "", 0},
        {"typing wait meets the goodbye", 1, 1, {bye + "RM"}, "", "User Disconnected.", "", 1},
    };
    for (const Row& r : rows) {
        fresh_call(r.caller);
        std::atomic<int> answered{0};
        int fd = raw;
        std::string answer = r.pieces[0];
        std::thread peer([fd, answer, &answered, &r] {
            if (r.typed && raw_expect(fd, "SendingMessageJOX", 3000)) answered = raw_send(fd, answer);
        });
        if (r.typed) harness_type(13, "x");
        pump_until([&answered] { return answered != 0; }, r.typed ? 3500 : 0);
        peer.join();
        for (size_t i = r.typed; i < r.pieces.size(); ++i) {
            ASSERT_TRUE(raw_send(raw, r.pieces[i]));
            pump_for(150);
        }
        pump_for(150);
        EXPECT_EQ(control_get_text(12), r.log) << r.name;
        EXPECT_EQ(status(), r.status) << r.name;
        EXPECT_EQ(app.idle, r.idle) << r.name;
        EXPECT_EQ(raw_read(raw, 16, 100), r.reply) << r.name;
    }
}

TEST_F(CallState, AnEndedCallClosesItsConnectionAndIgnoresWhatFollows)
{
    enum { PEER_BYE, PEER_CLOSES, DISCONNECT, BUSY, CLEAR };
    struct Row {
        const char* name;
        int caller;
        int how;
        std::string sent;    // what the peer gets before the end of the stream
        std::string status;  // after the call ended, whatever the peer sent later
    } rows[] = {
        {"peer's bye, placed", 1, PEER_BYE, "", "User Disconnected."},
        {"peer's bye, accepted", 0, PEER_BYE, "", "User Disconnected."},
        {"server vanished", 1, PEER_CLOSES, "", "User Disconnected."},
        {"Disconnect, placed", 1, DISCONNECT, bye, "Disconnected."},
        {"Disconnect, accepted", 0, DISCONNECT, bye, "Disconnected."},
        {"busy", 1, BUSY, "", "Disconnected. Server is Busy."},
        {"\"/clear\" withdraws the typing notice, then bye", 0, CLEAR, "CloseSendingMessageJOX" + bye,
         "Disconnected."},
    };
    for (const Row& r : rows) {
        fresh_call(r.caller);
        if (r.how == PEER_BYE || r.how == BUSY) {
            ASSERT_TRUE(raw_send(raw, r.how == BUSY ? "JOXBusy" : bye));
        }
        if (r.how == PEER_CLOSES) shutdown(raw, SHUT_WR);
        if (r.how == CLEAR) {
            ASSERT_TRUE(type_answered("/clear"));
            harness_click(14);
            pump_for(50);
        }
        if (r.how == DISCONNECT || r.how == CLEAR) harness_click(7);
        int ended = pump_until([] { return app.idle == 1; }, 3000);
        EXPECT_TRUE(ended) << r.name;
        if (!ended) continue;
        std::string got;
        EXPECT_TRUE(pump_until([&] { return raw_at_eof(raw, 5, &got); }, 3000)) << r.name;
        EXPECT_EQ(got, r.sent) << r.name;
        // Crossing tokens of the ended call act no more.
        raw_send(raw, chat("Bob: late") + "SendingMessageJOX");
        pump_for(150);
        EXPECT_EQ(status(), r.status) << r.name;
        EXPECT_EQ(control_get_text(12), "") << r.name;
        EXPECT_EQ(control_enabled(6), 0) << r.name;
    }
}

TEST_F(CallState, AGoodbyeBehindAnOfferEndsTheWaitForItsNextStep)
{
    fresh_call(0);
    // Were the goodbye lost, only the user could end this wait: a click.
    harness_inside([] {
        QWidget* w = static_cast<QWidget*>(window_handle(WINDOW_RECEIVING));
        if (w) QTest::mouseClick(w, Qt::LeftButton);
        return w != nullptr;
    });
    ASSERT_TRUE(raw_send(raw, "NAMEJOXa.txtSIZEJOXsizejox5MD5JOX" + std::string(32, '0') + bye));
    ASSERT_TRUE(pump_until([] { return app.idle == 1; }, 3000));
    EXPECT_EQ(status(), "User Disconnected.");
    std::string got;
    EXPECT_TRUE(pump_until([&] { return raw_at_eof(raw, 5, &got); }, 3000));
    EXPECT_EQ(got, "RF");
}
