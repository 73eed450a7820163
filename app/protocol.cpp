// The call: control tokens and their actions, accepting and turning away
// callers, placing a call, ending it, and the small helpers every handler
// of a call shares (status line, alert, control sets).
//
// One connection is the call: peer_connection. On the listening side other
// accepted connections may still exist (earlier calls, callers being turned
// away); their bytes are read and dropped and their closing is ignored, so
// they can neither speak for the peer nor end the call.
//
// Index: call helpers · tokens · dispatch · accepting callers · placing a call
#include "calls.h"
#include "handlers.h"
#include "offers.h"
#include "state.h"
#include "constants.h"

#include "image.h"
#include "layouts.h"
#include "net.h"
#include "sound.h"
#include "toolkit.h"
#include "date.h"

#include <vector>

// --- Call helpers ------------------------------------------------------------

void status(const std::string& text)
{
    statusbar_set_text(0, 0, text.c_str(), STATUS_BORDERLESS);
}

void alert()
{
    sound_play(3, 0);
}

void status_icon(int connected)
{
    statusbar_set_icon(0, 0, image_handle(connected ? 4 : 3));
}

void call_controls_on()
{
    for (int c : {6, 14, 13, 9, 7}) control_disable(c, 0);
}

void call_controls_off()
{
    for (int c : {6, 14, 13, 7}) control_disable(c, 1);
    control_disable(8, 0);
    control_disable(0, 0);
}

void grey_chat_log()
{
    control_set_color(12, COLOR_TEXT, 0x666666);
    app.chat_lines = 0;
}

// Every way a call ends leaves the window the same, but for the status text.
static void protocol_call_ended(const char* text)
{
    offers_forget_call();
    call_controls_off();
    status(text);
    grey_chat_log();
    app.idle = 1;
    alert();
    status_icon(0);
}

void peer_gone()
{
    protocol_call_ended("User Disconnected.");
}

// Sends on the call's connection, if there still is one.
static void protocol_send(const char* text)
{
    if (app.peer_connection) net_send_text(app.peer_connection, text);
}

void disconnect()
{
    protocol_send(protocol_token_text(TOKEN_BYE));
    protocol_call_ended("Disconnected.");
}

int poll_peer()
{
    if (!app.server_side) return app.peer_connection ? net_client_poll(app.peer_connection) : NET_NONE;
    int event = net_server_poll();
    if (event == NET_NONE) return NET_NONE;
    NetConnection* c = net_event_connection();
    if (event == NET_CONNECT) {
        protocol_turn_away(c);
        return NET_NONE;
    }
    if (c != app.peer_connection || !c) {
        if (event == NET_DATA || event == NET_FILE) protocol_drop_pending(c);
        return NET_NONE;
    }
    // The transport has already released a closed connection.
    if (event == NET_DISCONNECT) app.peer_connection = nullptr;
    return event;
}

std::string receive_text(int max)
{
    if (!app.peer_connection || max <= 0) return "";
    std::vector<char> buf(max);
    int n = net_receive(app.peer_connection, buf.data(), max);
    if (n <= 0) return "";
    std::string text(buf.data(), n);
    // A text ends at its first zero byte, as the peer's reader sees it.
    std::string::size_type zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

// --- Tokens ------------------------------------------------------------------

namespace {

struct TokenTest {
    const char* text;  // the fixed part of the token
    size_t compared;   // how many leading bytes of the received text are compared
};

// In the order the dispatcher tests them; the first match wins.
const TokenTest protocol_tokens[] = {
    {"SendingSeindingJOXFile", 22},
    {"CloseSendJOXFile", 25},
    {"JOXNICKNAMEIS", 13},
    {"IMGJOX", 6},
    {"ByeByeByeDisconnec", 18},
    {"JOXBusy", 17},
    {"SendingMessageJOX", 17},
    {"CloseSendingMessageJOX", 22},
    {"mMeSSageJOX", 11},
    {"NAMEJOX", 7},
};

}  // namespace

int protocol_match_token(const std::string& text)
{
    int i = 0;
    for (const TokenTest& t : protocol_tokens) {
        if (text.compare(0, t.compared, t.text) == 0) return i;
        ++i;
    }
    return TOKEN_NONE;
}

const char* protocol_token_text(int token)
{
    if (token < 0 || token >= int(sizeof protocol_tokens / sizeof protocol_tokens[0])) return "";
    return protocol_tokens[token].text;
}

// --- Dispatch ----------------------------------------------------------------

// A caller we called turned us away.
static void protocol_busy()
{
    for (int c : {6, 14, 13, 7}) control_disable(c, 1);
    control_disable(8, 0);
    control_disable(9, 1);
    control_disable(0, 0);
    status("Disconnected. Server is Busy.");
    grey_chat_log();
    alert();
    status_icon(0);
    app.idle = 1;
    message_box(app.version_title.c_str(), "Server Already Connected With a User.", MB_OK);
}

static void protocol_chat_line(const std::string& text)
{
    window_set_state(WINDOW_MAIN, STATE_RESTORE);
    window_set_topmost(WINDOW_MAIN, 1);
    window_set_topmost(WINDOW_MAIN, 0);
    window_activate(WINDOW_MAIN);
    status("Connected. Received Message from User.");
    alert();
    append_chat_line(chat_line_of(text), 1);
    call_controls_on();
}

void protocol_dispatch(const std::string& text)
{
    switch (protocol_match_token(text)) {
    case TOKEN_SELECTING_FILES:
        for (int c : {6, 14, 13, 7}) control_disable(c, 1);
        status("Connected. User is Selecting Files to Send.");
        break;
    case TOKEN_CLOSE_SEND:
        call_controls_on();
        status("Connected. User did not Choose anything to Send.");
        break;
    case TOKEN_NICKNAME: {
        std::string nickname = text.substr(13);
        if (nickname.empty()) break;
        status("Connected.  You are the Server.  Connected with " + nickname + ".");
        app.peer_nickname = nickname;
        for (int c : {6, 14, 13, 9}) control_disable(c, 0);
        break;
    }
    case TOKEN_IMAGE_OFFER:
        on_image_offer(text);
        break;
    case TOKEN_BYE:
        peer_gone();
        break;
    case TOKEN_BUSY:
        protocol_busy();
        break;
    case TOKEN_TYPING:
        control_disable(6, 1);
        control_disable(7, 1);
        status("Connected. User is Typing a Message.");
        protocol_send("RM");
        break;
    case TOKEN_TYPING_WITHDRAWN:
        control_disable(6, 0);
        control_disable(7, 0);
        status("Connected. User did not any Messages.");
        break;
    case TOKEN_CHAT:
        protocol_chat_line(text);
        break;
    case TOKEN_FILE_OFFER:
        on_file_offer(text);
        break;
    default:
        break;  // not a token: ignored
    }
}

void on_data()
{
    app.receive_buffer = receive_text(JOX_RECEIVE_SIZE);
    protocol_dispatch(app.receive_buffer);
}

// --- Accepting callers -------------------------------------------------------

void protocol_turn_away(NetConnection* c)
{
    if (!c) return;
    app.busy_connection = c;
    net_send_text(c, protocol_token_text(TOKEN_BUSY));
    // Hanging up lets the token arrive before the close; closing with the
    // caller's bytes unread would reset the connection and destroy it.
    net_hangup(c);
}

void protocol_drop_pending(NetConnection* c)
{
    if (!c) return;
    char buf[4096];
    // Bounded: what is left is reported again by the next poll.
    for (int i = 0; i < 64; ++i)
        if (net_receive(c, buf, sizeof buf) <= 0) break;
}

void on_server_connect()
{
    NetConnection* c = net_event_connection();
    if (!app.idle) {
        protocol_turn_away(c);
        return;
    }
    app.peer_connection = c;
    control_disable(8, 1);
    control_disable(0, 1);
    control_disable(7, 0);
    control_disable(9, 0);
    sound_volume(3, 100);
    alert();
    for (int n : {6, 14, 13, 9}) control_disable(n, 0);
    status("Connected.  You are the Server.  Connected with " +
           net_address_text(net_peer_address(c)) + ".");
    status_icon(1);
    alert();
    app.server_side = 1;
    app.poll_client = 1;
    app.idle = 0;
}

void on_disconnect()
{
    // The transport has released the connection already.
    app.peer_connection = nullptr;
    protocol_call_ended("Disconnected.");
}

// --- Placing a call ----------------------------------------------------------

std::string protocol_lower(const std::string& text)
{
    std::string out = text;
    for (char& ch : out) {
        unsigned char u = static_cast<unsigned char>(ch);
        if ((u >= 'A' && u <= 'Z') || (u >= 192 && u <= 222)) ch = static_cast<char>(u + 32);
    }
    return out;
}

int protocol_is_self(const std::string& address, const std::string& host_name)
{
    if (address.empty() || address == "127.0.0.1") return 1;
    std::string lower = protocol_lower(address);
    return lower == "localhost" || lower == protocol_lower(host_name);
}

void place_call()
{
    app.last_address = control_get_text(0);
    if (protocol_is_self(app.last_address, net_host_name())) {
        message_box(app.version_title.c_str(), "Can't Connect to Yourself!!!", MB_OK);
        return;
    }
    build_wait_window();
    window_set_topmost(WINDOW_WAIT, 1);
    NetConnection* c = net_connect(app.last_address.c_str(), app.port);
    if (!c) {
        window_close(WINDOW_WAIT);
        message_box(app.version_title.c_str(), "Can't find the Server.  Try again later.", MB_OK);
        return;
    }
    app.peer_connection = c;
    app.idle = 0;
    net_send_text(c, (std::string(protocol_token_text(TOKEN_NICKNAME)) + app.nickname).c_str());
    save_settings();
    window_close(WINDOW_WAIT);
    status("Connected To Server " + app.last_address + ".");
    status_icon(1);
    alert();
    control_disable(8, 1);
    control_disable(0, 1);
    for (int n : {7, 9, 6, 14, 13}) control_disable(n, 0);
    app.server_side = 0;
    app.poll_client = 1;
}
