// Progress of a long transfer in the small "Sending File..." and "Receiving
// File..." windows: a short text such as "42 % · 95 MB/s" and a thin bar
// below it, over the plain right-hand part of the 219 x 25 strip, on both
// sides. A transfer over at its first report shows nothing.
//
// The transport calls the progress hook a few times a second at most, so each
// call may update the controls and let the windows repaint. The same hooks
// carry the receiver's running MD5 and the user's wish to abandon.
#pragma once

#include <cstdint>
#include <string>

#include "frame.h"
#include "piece_hasher.h"

// Control numbers of the bar and the text (free in every window's numbering).
enum { PROGRESS_BAR = 35, PROGRESS_TEXT = 36 };

// "P % · S MB/s" for `done` of `total` bytes after `seconds` (MB = 2^20
// bytes; speed left out before a tenth of a second has passed).
std::string progress_text(int64_t done, int64_t total, double seconds);

// One transfer's display and hooks. Fill with progress_begin.
struct ProgressRun {
    NetFileHooks hooks;  // handed to net_send_file / net_receive_file
    PieceHasher* hasher; // receiver's running fingerprint, or nullptr
    int window;          // the small window shown (2 or 4)
    int shown;           // 1 once the bar and text exist
    int abandoned;       // 1 when the user abandoned the transfer
    double start;        // monotonic start time, seconds
    int64_t done;        // body bytes at the last report
    int64_t total;       // body size, -1 before the first report
};

// Prepares `run` for a transfer shown in `window`; `hasher` (may be nullptr)
// is fed every received piece.
void progress_begin(ProgressRun* run, int window, PieceHasher* hasher);

// Turns the display off (0) or on (1, the default); the hooks still hash and
// still let the user abandon. For measuring what the display costs.
void progress_set_display(int on);
// Called after every display update with the window shown (nullptr stops).
// Lets a test look at the window in the middle of a transfer.
void progress_set_observer(void (*observer)(int window));
// Seconds spent so far, in this process, drawing progress (for measuring).
double progress_display_seconds();
