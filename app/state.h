// AppState: what the desktop program's windows know for the whole run: the
// settings, what the windows show of the call and the chat. The call itself
// (its connection, offers and transfers) is the engine's.
#pragma once

#include <cstdint>
#include <string>

struct AppState {
    // --- Settings: loaded at start-up, written by save_settings (startup.cpp)
    std::string receive_folder;      // "Folder": received files go here; ends in "/"
    std::string last_address;        // "IP": address last typed in the address field
    int port = 0;                    // "Port": where we listen and where we call
    std::string auto_accept;         // "Auto Accept": "Yes" accepts offers unasked
    std::string open_file;           // "Open File": "Yes" offers to open a good receipt
    int timeout_seconds = 0;         // "Timeout": one-second steps to wait for "RF"
    std::string nickname;            // "Nickname": sent on calling, signs chat lines

    // --- Loop and call, as the windows show it (the engine holds the call)
    int window_event = 0;            // result of the last ui_poll_event
    int idle = 0;                    // 1 = no call up
    int server_side = 0;             // 1 = we accepted the current/last call
    std::string version_title;       // "JOX 1.05 build 6000"
    std::string peer_nickname;       // the caller's announced nickname (server side)
    std::string peer_address;        // the other side's address in the call (as called, or seen)
    int quit_box = 0;                // the open "quit during a call?" question, 0 none

    // --- Chat
    int chat_lines = 0;              // 0 = log must be cleared before the next line; else -lines
    int chat_expanded = 0;           // 1 = chat area shown
    int chat_height = 0;             // the main window's height the user last gave the open chat, 0 none
    int typing_announced = 0;        // 1 = "SendingMessageJOX" sent, not yet withdrawn

    // --- File offers
    int files_sent = 0;              // files delivered by the last Send File operation
    std::string stored_name;         // name the last received file was stored under
    int answer = 0;                  // result of the last yes/no message box

    // --- Options
    std::string previous_folder;     // folder in force before the folder requester opened

    // --- Error report
    std::string report_text;         // the report being assembled
};

// The process-wide record, zero-filled at start.
extern AppState app;
