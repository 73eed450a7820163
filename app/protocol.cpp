// The call: control tokens and their actions, accepting and turning away
// callers, placing a call, ending it, and the small helpers every handler
// of a call shares (status line, alert, control sets).
//
// One connection is the call: peer_connection. On the listening side other
// accepted connections may still exist (callers being turned away); their
// bytes are read and dropped and their closing is ignored, so they can
// neither speak for the peer nor end the call. A call's connection is closed
// when the call ends, whichever way it ends, so nothing from it can act on a
// later call.
//
// Tokens have no separator, so one receive may hold several, or part of one.
// Each token is acted on once its end has arrived (fixed tokens by their
// length, a chat line by its end mark, an offer by the 32 digits after its
// checksum mark); an unfinished one waits in pending_input for the next
// receive. The nickname token has no end mark: it ends where the receive
// ends or the caller's next token begins.
//
// Index: call helpers · tokens · dispatch · accepting callers · placing a call
#include "calls.h"
#include "handlers.h"
#include "offers.h"
#include "state.h"
#include "constants.h"
#include "front.h"

#include "image.h"
#include "layouts.h"
#include "net.h"
#include "sound.h"
#include "toolkit.h"
#include "date.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// An unfinished token kept longer than this is acted on as far as it got,
// the way a single receive always was; the longest offer fits three times.
constexpr std::size_t PROTOCOL_PENDING_LIMIT = 1024;
const std::string_view PROTOCOL_FRAME_MAGIC("PBMGSFLE", 8);
const char PROTOCOL_CHAT_END[] = "EeNdofMessageJOX";
const char PROTOCOL_MD5_MARK[] = "MD5JOX";
constexpr std::size_t PROTOCOL_MD5_DIGITS = 32;
// Replies are read by the waits; one that reaches the dispatcher late is
// still a unit of its own, so what follows it is not lost with it.
const char* const protocol_replies[] = {"RM", "RF", "SD", "sent", "na", "a"};

}  // namespace

// --- Call helpers ------------------------------------------------------------

void status(const std::string& text)
{
    statusbar_set_text(0, 0, text.c_str(), STATUS_BORDERLESS);
    if (front_end && front_end->status) front_end->status(text);
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

// Closes the call's connection once its last token is on its way. The
// listening side hangs up, which delivers what was sent before the close; a
// caller first reads off what waits unread, since closing over unread bytes
// resets the connection and can destroy our last token before it is read.
static void protocol_close_call()
{
    NetConnection* c = app.peer_connection;
    app.peer_connection = nullptr;
    app.pending_input.clear();
    if (!c) return;
    if (app.server_side) {
        net_hangup(c);
        return;
    }
    int fd = net_connection_fd(c);
    char buf[4096];
    for (int i = 0; fd >= 0 && i < 64; ++i)
        if (recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0) break;
    net_close(c);
}

// Every way a call ends comes here, and leaves the window the same but for
// the status text.
static void protocol_call_ended(const char* text, int icon = 1)
{
    protocol_close_call();
    call_controls_off();
    status(text);
    grey_chat_log();
    app.idle = 1;
    alert();
    if (icon) status_icon(0);
    // Offers of the ended call end with it.
    offers_forget_call();
}

void peer_gone(int icon)
{
    protocol_call_ended("User Disconnected.", icon);
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

int poll_peer_wire()
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

int poll_peer()
{
    int event = poll_peer_wire();
    if (event == NET_DISCONNECT || app.pending_input.empty()) return event;
    // What arrived behind the token that started a wait came before anything
    // still on the wire; an unfinished token is not an answer, though. The
    // peer's goodbye there ends the wait as its leaving would.
    int len = protocol_head_length(app.pending_input);
    if (len > 0 && protocol_match_token(app.pending_input.substr(0, std::size_t(len))) == TOKEN_BYE)
        return NET_DISCONNECT;
    if (len != 0 && event != NET_FILE) return NET_DATA;
    return event;
}

std::string receive_text(int max)
{
    if (max <= 0) return "";
    if (!app.pending_input.empty()) {
        std::string text = app.pending_input.substr(0, std::size_t(max));
        app.pending_input.erase(0, text.size());
        return text;
    }
    if (!app.peer_connection) return "";
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

int protocol_head_length(const std::string& text)
{
    int unfinished = 0;
    int i = 0;
    for (const TokenTest& t : protocol_tokens) {
        int token = i++;
        std::size_t len = std::strlen(t.text);
        std::size_t common = std::min(len, text.size());
        if (text.compare(0, common, t.text, common) != 0) continue;
        if (text.size() < len) {
            unfinished = 1;
            continue;
        }
        std::size_t end = std::string::npos;
        if (token == TOKEN_NICKNAME) {
            // No end mark: the name runs to the end of what arrived, or to
            // the next token when the caller's next one came with it.
            end = text.size();
            for (const TokenTest& next : protocol_tokens)
                end = std::min(end, text.find(next.text, len));
            return int(end);
        }
        if (token == TOKEN_CHAT) {
            end = text.find(PROTOCOL_CHAT_END, len);
            if (end != std::string::npos) end += sizeof PROTOCOL_CHAT_END - 1;
        } else if (token == TOKEN_FILE_OFFER || token == TOKEN_IMAGE_OFFER) {
            // The checksum mark is searched from the 7th byte, as the offer
            // is taken apart; its 32 digits end the offer.
            end = text.find(PROTOCOL_MD5_MARK, 6);
            if (end != std::string::npos) end += sizeof PROTOCOL_MD5_MARK - 1 + PROTOCOL_MD5_DIGITS;
            if (end != std::string::npos && end > text.size()) end = std::string::npos;
        } else {
            end = len;
        }
        if (end == std::string::npos) return 0;
        return int(end);
    }
    for (const char* reply : protocol_replies) {
        std::size_t len = std::strlen(reply);
        std::size_t common = std::min(len, text.size());
        if (text.compare(0, common, reply, common) != 0) continue;
        if (text.size() >= len) return int(len);
        unfinished = 1;
    }
    return unfinished ? 0 : -1;
}

// --- Dispatch ----------------------------------------------------------------

// A caller we called turned us away.
static void protocol_busy()
{
    protocol_call_ended("Disconnected. Server is Busy.");
    control_disable(9, 1);
    message_box(app.version_title.c_str(), "Server Already Connected With a User.", MB_OK);
}

static void protocol_chat_line(const std::string& text)
{
    window_set_state(WINDOW_MAIN, STATE_RESTORE);
    window_set_topmost(WINDOW_MAIN, 1);
    window_set_topmost(WINDOW_MAIN, 0);
    window_attention(WINDOW_MAIN);  // asks for attention, leaves the focus alone
    status("Connected. Received Message from User.");
    alert();
    append_chat_line(chat_line_of(text), 1);
    if (front_end && front_end->chat) front_end->chat(chat_line_of(text));
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
        // The goodbye leaves the status icon as it was.
        peer_gone(0);
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

// Appends one receive to the pending input, stopping short of a file frame
// that follows a token at once: the frame is the poll's to report.
static void protocol_take_receive()
{
    int fd = net_connection_fd(app.peer_connection);
    if (fd < 0) return;
    char buf[JOX_RECEIVE_SIZE];
    int want = JOX_RECEIVE_SIZE;
    ssize_t seen = recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    if (seen > 0) {
        std::size_t frame = std::string_view(buf, std::size_t(seen)).find(PROTOCOL_FRAME_MAGIC, 1);
        if (frame != std::string_view::npos) want = int(frame);
    }
    int n = net_receive(app.peer_connection, buf, want);
    if (n <= 0) return;
    std::string text(buf, std::size_t(n));
    // A text ends at its first zero byte, as the peer's reader sees it.
    std::string::size_type zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    app.receive_buffer = text;
    app.pending_input += text;
}

int protocol_receive_and_act(int expect_rm)
{
    NetConnection* call = app.peer_connection;
    protocol_take_receive();
    int got_rm = 0;
    // Each pass takes at least one byte off a bounded buffer.
    for (std::size_t pass = 0; pass <= PROTOCOL_PENDING_LIMIT + JOX_RECEIVE_SIZE; ++pass) {
        if (app.idle || app.peer_connection != call) {
            // The call has ended: what its connection still held is void.
            app.pending_input.clear();
            break;
        }
        if (app.pending_input.empty()) break;
        int len = protocol_head_length(app.pending_input);
        if (len < 0) {
            // Not a token: ignored, with the rest of it.
            app.pending_input.clear();
            break;
        }
        if (len == 0) {
            if (app.pending_input.size() < PROTOCOL_PENDING_LIMIT) break;
            len = int(app.pending_input.size());
        }
        std::string text = app.pending_input.substr(0, std::size_t(len));
        app.pending_input.erase(0, std::size_t(len));
        if (expect_rm && !got_rm && text == "RM") {
            got_rm = 1;
            continue;
        }
        protocol_dispatch(text);
    }
    return got_rm;
}

void on_data()
{
    protocol_receive_and_act(0);
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
    app.pending_input.clear();
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

int protocol_split_address(const std::string& address, std::string* host, int* port)
{
    std::string::size_type colon = address.rfind(':');
    *host = address;
    *port = app.port;
    if (colon == std::string::npos || address.find(':') != colon) return 0;
    std::string digits = address.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    int n = std::stoi(digits);
    if (n < 1 || n > 65535) return 0;
    *host = address.substr(0, colon);
    *port = n;
    return 1;
}

void place_call()
{
    app.last_address = control_get_text(0);
    std::string host;
    int port = 0;
    // An explicit port names another instance unless it is the one we listen
    // on, so two instances on one machine can call each other both ways.
    int explicit_port = protocol_split_address(app.last_address, &host, &port);
    int self = explicit_port ? port == net_server_port(0) && protocol_is_self(host, net_host_name())
                             : protocol_is_self(app.last_address, net_host_name());
    if (self) {
        message_box(app.version_title.c_str(), "Can't Connect to Yourself!!!", MB_OK);
        return;
    }
    build_wait_window();
    window_set_topmost(WINDOW_WAIT, 1);
    ui_abandon_requested(WINDOW_WAIT);  // a click from before is not an answer
    int attempt = net_connect_start(host.c_str(), port);
    int result = attempt ? NET_ATTEMPT_WAITING : NET_ATTEMPT_FAILED;
    NetConnection* c = nullptr;
    // Bounded by the transport's connect limit, which covers the lookup too.
    while (result == NET_ATTEMPT_WAITING) {
        result = net_connect_poll(attempt, &c);
        if (result != NET_ATTEMPT_WAITING) break;
        if (ui_abandon_requested(WINDOW_WAIT)) {
            net_connect_cancel(attempt);
            window_close(WINDOW_WAIT);
            return;
        }
        // Nobody can be taken as the call while we are placing one.
        int event = net_server_poll();
        if (event == NET_CONNECT) protocol_turn_away(net_event_connection());
        if (event == NET_DATA || event == NET_FILE) protocol_drop_pending(net_event_connection());
        app_loop_hook();
        // A plain sleep: the abandon check above takes the window system's
        // events, input included, and repaints the wait window. Painting
        // passes that leave input out kept a real click from ever arriving.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!c) {
        window_close(WINDOW_WAIT);
        message_box(app.version_title.c_str(), "Can't find the Server.  Try again later.", MB_OK);
        return;
    }
    app.peer_connection = c;
    app.pending_input.clear();
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
