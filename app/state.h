// AppState: the one record of everything the application knows, for the whole
// run. There is exactly one because there is one thread, one main loop and at
// most one call: every handler reads and writes it directly, and nothing else
// (the toolkit, the transport, the support services) holds application truth.
#pragma once

#include <cstdint>
#include <string>

struct NetConnection;

struct AppState {
    // --- Settings: loaded at start-up, written by save_settings (startup.cpp)
    std::string receive_folder;      // "Folder": received files go here; ends in "/"
    std::string last_address;        // "IP": address last typed in the address field
    int port = 0;                    // "Port": where we listen and where we call
    std::string auto_accept;         // "Auto Accept": "Yes" accepts offers unasked
    std::string open_file;           // "Open File": "Yes" offers to open a good receipt
    int timeout_seconds = 0;         // "Timeout": one-second steps to wait for "RF"
    std::string nickname;            // "Nickname": sent on calling, signs chat lines

    // --- Connection and loop state: main loop and peer protocol
    int window_event = 0;            // result of the last ui_poll_event
    int server_event = 0;            // result of the last net_server_poll
    int client_event = 0;            // result of the last net_client_poll (kept when not polled)
    NetConnection* peer_connection = nullptr;  // the current or last call's connection
    NetConnection* busy_connection = nullptr;  // the last caller turned away
    int idle = 0;                    // 1 = no call; a caller would be accepted
    int server_side = 0;             // 1 = we accepted the current/last call
    int poll_client = 0;             // 1 = a call was made this run; cleared during Send File
    std::string receive_buffer;      // the last received text, bounded by bytes received
    std::string version_title;       // "JOX 1.05 build 6000"
    std::string peer_nickname;       // the caller's announced nickname (server side)
    int return_handled = 0;          // 1 = the current Return press already triggered
    // Received from the call's connection but not acted on yet: the start of
    // a token whose end has not arrived, or what followed a token that began
    // a wait (the wait's reply may be in it). Bounded; emptied when a call ends.
    std::string pending_input;

    // --- Chat
    int chat_lines = 0;              // 0 = log must be cleared before the next line; else -lines
    int chat_expanded = 0;           // 1 = chat area shown
    int typing_announced = 0;        // 1 = "SendingMessageJOX" sent, not yet withdrawn
    std::string chat_text;           // the input's text at the moment of sending
    std::string local_name;          // "Me" or the nickname
    std::string sent_name;           // "Anonymous" or the nickname

    // --- File and picture offers
    int files_sent = 0;              // files accepted and sent in one Send File operation
    std::string send_path;           // full path of the file being offered
    std::string send_name;           // its last path component
    int waited = 0;                  // one-second steps spent waiting for "RF"
    int offer_failed = 0;            // 1 = no timely "RF" for the current offer
    std::string offered_name;        // name from the last offer received (made safe)
    std::string offered_size;        // size text from the last offer received
    std::string offered_md5;         // MD5 text from the last offer received
    std::string offered_extension;   // its extension, or "No Extension"
    std::string size_number;         // number part of the size line
    std::string size_unit;           // " Bytes", "KB" or "MB"
    std::string target_name;         // name the accepted file is stored under
    int copy_number = 0;             // n of the renaming rule
    int file_accepted = 0;           // 1 = the pending offer was accepted and not yet received
    int answer = 0;                  // result of the last yes/no message box
    std::string received_md5;        // MD5 of the body as it was stored
    int call_number = 0;             // grows as each call ends: a question that outlived
                                     // its call compares it and then sends nothing
    int image_question_call = 0;     // call_number when "Accept Image?" opened
    int offer_outcome = 0;           // how the file being offered ended (front.h)

    // --- Options
    std::string previous_folder;     // folder in force before the folder requester opened

    // --- Error report
    std::string report_text;         // the report being assembled
};

// The process-wide record, zero-filled at start.
extern AppState app;
