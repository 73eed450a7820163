// The waits of the offer exchanges: the program stands still in a handler
// until the peer's next bytes arrive, showing one of the small windows.
//
// Every wait polls every couple of milliseconds (after half a second every
// ten), keeping the windows painted, and ends when what it waits for arrives,
// when the peer's connection closes or the peer says goodbye, when the user
// abandons it (Escape, or a click on the small window), or, for what a
// program sends at once, when its time limit in whole seconds runs out. A
// person's answer has no time limit.
#pragma once

// What a wait shows. A sending wait shows "Sending File..." on top and hides
// the main window; a receiving wait does the same with "Receiving File...";
// an asking wait shows "Receiving File..." on top and leaves the main window.
enum { WAIT_SENDING = 1, WAIT_RECEIVING = 2, WAIT_ASKING = 3 };

// How a wait ended.
enum {
    WAIT_OK = 1,          // the poll reported what was waited for
    WAIT_TIMEOUT = 0,     // the time limit ran out
    WAIT_GONE = -1,       // the peer closed the connection or said goodbye
    WAIT_ABANDONED = -2,  // the user gave up waiting
    WAIT_OUT_OF_STEP = -3 // a frame came for a reply, or bytes for a frame
};

// Opens the small window of `kind` (and hides the main window where the kind
// says so); wait_window_close undoes it. A window already open stays as it is.
void wait_window_open(int kind);
void wait_window_close(int kind);
// The small window's number for `kind`.
int wait_window_number(int kind);

// Waits, inside the small window of `kind`, until a poll of the call's
// connection reports `want` (NET_DATA or NET_FILE). `timeout_seconds` > 0
// limits it; `waited`, when given, receives the whole seconds that passed
// (equal to the limit when it ran out). Waiting bytes that are the peer's
// goodbye token are taken off the connection and end the wait as WAIT_GONE.
// Polls with poll_peer, which filters out other connections' events.
int wait_for_peer(int kind, int want, int timeout_seconds, int* waited);

// Turns away callers that came while a wait or a transfer holds the loop,
// with the busy token as the main loop would. Cheap when nobody is calling.
void wait_serve_callers();

// 1 when the call's connection is gone (forgotten or closed by the peer).
int wait_peer_closed();

// Ends the call after a wait that ended with `result` other than WAIT_OK:
// the peer left or went silent (WAIT_GONE, WAIT_TIMEOUT) as on the goodbye
// token; the user abandoned it (WAIT_ABANDONED) as the "Disconnect" button.
void wait_end_call(int result);

// Sends a control token on the call's connection; the byte count, or -1
// when there is no connection.
int wait_send(const char* token);
