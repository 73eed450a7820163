// Call state helpers shared by the protocol, chat and offer handlers.
#pragma once

#include <string>

// Status text in field 0 of the main window's status bar (borderless).
void status(const std::string& text);
// The alert sound (sound 3).
void alert();
// Status-bar icon: 1 = connected (image 4), 0 = disconnected (image 3).
void status_icon(int connected);
// Enable 6, 14, 13, 9 and 7.
void call_controls_on();
// Disable 6, 14, 13 and 7; enable 8 and 0.
void call_controls_off();
// The chat log turns grey and chat_lines = 0 (the next line clears it).
void grey_chat_log();
// The call ended because the peer left or went silent: call controls off,
// status "User Disconnected.", grey log, chat_lines = 0, alert, idle = 1,
// icon disconnected.
void peer_gone();
// Our user ended the call: sends the bye token, then as "Disconnect".
void disconnect();
// One poll of the call's connection as the offer waits do it: the server poll
// on the server side, the client poll of peer_connection on the caller side.
// Bytes already received that hold a finished token or reply count as data;
// the peer's goodbye among them counts as its leaving (NET_DISCONNECT).
int poll_peer();
// The same poll of the connection alone, blind to bytes already received.
int poll_peer_wire();
// Takes at most `max` bytes, first from what was received but not acted on,
// else with one receive from peer_connection; the text is bounded by the
// bytes received ("" on error or close).
std::string receive_text(int max);
// Appends a line to the chat log; `received` 1 for a peer's line, 0 for ours.
void append_chat_line(const std::string& line, int received);
