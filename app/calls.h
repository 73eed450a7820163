// What the windows show of a call, shared by the desktop front end and chat.
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
// Appends a line to the chat log; `received` 1 for a peer's line, 0 for ours.
void append_chat_line(const std::string& line, int received);
// "/clear" emptied our log: it counts as the first line of a conversation.
void chat_cleared();
