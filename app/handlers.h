// Handlers of the main loop and the helpers they share inside app/: the call
// protocol, chat, the options window, start-up's settings and the Return key.
// Every handler runs to completion on the one thread; none reports failure
// by result, each words it for the user itself (status text or message box).
#pragma once

#include <string>

// --- Peer protocol (protocol.cpp) -------------------------------------------
// The control tokens the dispatcher knows, in the order they are tested.
enum {
    TOKEN_NONE = -1,
    TOKEN_SELECTING_FILES, TOKEN_CLOSE_SEND, TOKEN_NICKNAME, TOKEN_IMAGE_OFFER,
    TOKEN_BYE, TOKEN_BUSY, TOKEN_TYPING, TOKEN_TYPING_WITHDRAWN, TOKEN_CHAT,
    TOKEN_FILE_OFFER
};
// The first token whose test matches `text` (its first N bytes equal the
// token; for the busy and close-send tokens N exceeds the token, so the text
// must be the token alone), or TOKEN_NONE.
int protocol_match_token(const std::string& text);
// The wire text of a token (the fixed part).
const char* protocol_token_text(int token);

// A caller was accepted by the listener: it becomes the call, or is turned
// away with the busy token when a call is up.
void on_server_connect();
// Data waits on the call's connection: one receive, then every token whose
// end has arrived, in order.
void on_data();
// One receive into the pending input, then the actions of its finished
// tokens; with `expect_rm` the first "RM" is the typing notice's answer and
// is only taken off. 1 when that answer came. Stops once the call has ended.
int protocol_receive_and_act(int expect_rm);
// Length of the token or reply at the head of `text` once its end has
// arrived; 0 while it may still be arriving; -1 when it is nothing we know.
int protocol_head_length(const std::string& text);
// Runs the action of one token's text.
void protocol_dispatch(const std::string& text);
// The call's accepted connection closed.
void on_disconnect();
// "&Place Call" or Return in the address field.
void place_call();
// 1 when `address` may not be called because it names this machine: empty,
// "127.0.0.1", "localhost" or the host name, the last two in any case.
int protocol_is_self(const std::string& address, const std::string& host_name);
// Splits "HOST:PORT" (port 1-65535); otherwise the whole text is the host and
// the port is our own setting. 1 when a port was given.
int protocol_split_address(const std::string& address, std::string* host, int* port);
// The lower-case rule used for that test: adds 32 to A-Z and to 192-222.
std::string protocol_lower(const std::string& text);
// Turns away a caller while a call is up: "JOXBusy", then hang up so the
// token is delivered before the connection closes.
void protocol_turn_away(struct NetConnection* c);
// Reads and drops what waits on a connection that is not the call's.
void protocol_drop_pending(struct NetConnection* c);

// --- Chat (chat.cpp) ----------------------------------------------------------
void announce_typing();
void withdraw_typing();
void send_chat();
void toggle_chat_area();
void grow_chat_area();
void shrink_chat_area();
// The line carried by a chat token: from its 12th byte up to the first
// "EeNdofMessageJOX" found from the 13th byte on; "" when there is none.
std::string chat_line_of(const std::string& text);
// The longest input that still fits one receive with the token and the name.
int chat_input_limit(const std::string& sent_name);
// Sets the chat input's limit for the current nickname.
void chat_update_limit();
// Seconds the typing notice waits for the peer's "RM".
constexpr int CHAT_TYPING_WAIT_SECONDS = 5;

// --- Options (options.cpp) ----------------------------------------------------
void options_dialog();
void change_folder();
void open_help();
// The port field's text read like atoi: blanks, one sign, digits.
int options_read_port(const std::string& text);
// Takes the port field's text at "OK": a number from 1 to 65535 becomes the
// port (saying when a new one takes effect); anything else is refused with
// a message and the port stays.
void options_take_port(const std::string& text);

// --- Start-up and settings (startup.cpp) -------------------------------------
void load_settings();
void save_settings();
void open_received_folder();

// --- Main loop (main_loop.cpp) -----------------------------------------------
// 1 when the last poll returned the Return key while `control` had the focus.
int return_pressed_in(int control);
// Runs the test hook of the loops, if one is set.
void app_loop_hook();
