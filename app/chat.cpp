// Chat: the typing notice, sending a line or a command, the chat log's
// reset and colour, and the chat area that slides open below the tools.
//
// The log holds the previous call's lines in grey until the first line of
// the next conversation clears it (chat_lines 0 means "clear before the next
// line"). The typing notice waits for the peer's "RM", but never for long:
// it gives up when the peer is gone or stays silent.
#include "calls.h"
#include "handlers.h"
#include "offers.h"
#include "state.h"
#include "constants.h"

#include "date.h"
#include "net.h"
#include "toolkit.h"

#include <chrono>

namespace {

const char chat_begin[] = "mMeSSageJOX";
const char chat_end[] = "EeNdofMessageJOX";

void chat_add(const std::string& line)
{
    // chat_lines is negative here, so the line always goes at the end.
    control_add_item(12, app.chat_lines, line.c_str());
}

// Steps shared by every first line of a conversation we send.
void chat_start_sent_line()
{
    if (app.chat_lines == 0) {
        control_set_color(12, COLOR_TEXT, 0);
        control_clear_items(12);
        if (app.chat_expanded != 1) grow_chat_area();
    }
    app.chat_lines -= 1;
}

void chat_send_token(const std::string& line)
{
    std::string token = chat_begin + line + chat_end;
    if (app.peer_connection) net_send_text(app.peer_connection, token.c_str());
}

// Waits for the peer's answer to the typing notice. Whatever the peer sent
// before its "RM" is acted on as the main loop would; only the "RM" is taken
// off. 1 when it came; 0 when the call ended meanwhile or the peer stayed
// silent.
int chat_wait_for_answer()
{
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(CHAT_TYPING_WAIT_SECONDS);
    while (clock::now() < deadline) {
        delay_ms(1);
        int event = poll_peer_wire();
        if (event == NET_DATA && protocol_receive_and_act(1)) return 1;
        if (event == NET_FILE) on_file_frame();
        if (app.idle) return 0;
        int gone = event == NET_DISCONNECT ||
                   (!app.server_side && app.peer_connection && net_peer_closed(app.peer_connection));
        if (gone) {
            peer_gone();
            return 0;
        }
    }
    status("Connected. User did not Answer.");
    return 0;
}

}  // namespace

std::string chat_line_of(const std::string& text)
{
    if (text.size() < 12) return "";
    std::string::size_type end = text.find(chat_end, 12);
    if (end == std::string::npos) return "";
    return text.substr(11, end - 11);
}

int chat_input_limit(const std::string& sent_name)
{
    int limit = JOX_RECEIVE_SIZE - int(sizeof chat_begin - 1) - int(sizeof chat_end - 1) -
                int(sent_name.size()) - 2;
    // 0 would mean "no limit" to the field; a name this long leaves no room.
    return limit < 1 ? 1 : limit;
}

void chat_update_limit()
{
    control_set_limit(13, chat_input_limit(app.nickname.empty() ? "Anonymous" : app.nickname));
}

void announce_typing()
{
    // Nobody to tell: the input is usable (though hidden) between calls.
    if (app.idle) return;
    if (app.peer_connection) net_send_text(app.peer_connection, "SendingMessageJOX");
    app.typing_announced = 1;
    chat_wait_for_answer();
}

void withdraw_typing()
{
    if (app.peer_connection) net_send_text(app.peer_connection, "CloseSendingMessageJOX");
    app.typing_announced = 0;
}

void send_chat()
{
    app.chat_text = control_get_text(13);
    if (app.chat_text.empty()) return;
    app.sent_name = app.nickname.empty() ? "Anonymous" : app.nickname;
    app.local_name = app.nickname.empty() ? "Me" : app.nickname;
    if (app.chat_text == "/clear") {
        control_clear_items(12);
        // The peer was told we type; with nothing sent it would wait on,
        // its Send File and Disconnect off, until our next line.
        if (app.typing_announced == 1 && app.peer_connection)
            net_send_text(app.peer_connection, "CloseSendingMessageJOX");
    }
    chat_start_sent_line();

    if (app.chat_text == "/time" || app.chat_text == "/date") {
        int time = app.chat_text == "/time";
        const char* mask = time ? "%hh:%ii:%ss" : "%dd/%MM/%yyyy";
        std::string lead = time ? "The Time is " : "The Date is ";
        chat_send_token(lead + date_format(mask, date_now()) + ".");
        chat_add(lead + date_format(mask, date_now()) + ".");
    } else if (app.chat_text != "/clear") {
        chat_add(app.local_name + ": " + app.chat_text);
        delay_ms(100);
        chat_send_token(app.sent_name + ": " + app.chat_text);
    }
    app.typing_announced = 0;
    control_set_text(13, "");
}

void append_chat_line(const std::string& line, int received)
{
    if (received) {
        if (app.chat_expanded != 1) grow_chat_area();
        if (app.chat_lines == 0) {
            control_set_color(12, COLOR_TEXT, 0);
            control_clear_items(12);
        }
        app.chat_lines -= 1;
    } else {
        chat_start_sent_line();
    }
    chat_add(line);
}

void grow_chat_area()
{
    for (int i = 1; i <= 13; ++i) window_resize(0, KEEP, KEEP, KEEP, 233 + 10 * i);
    app.chat_expanded = 1;
}

void shrink_chat_area()
{
    for (int i = 1; i <= 13; ++i) window_resize(0, KEEP, KEEP, KEEP, 363 - 10 * i);
    app.chat_expanded = 0;
}

void toggle_chat_area()
{
    if (app.chat_expanded == 0) grow_chat_area();
    else shrink_chat_area();
}
