// File frames: "PBMGSFLE", the body size as 32-bit little-endian, then the
// body. Both sides stream the body in fixed-size pieces, so memory stays flat
// whatever the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Optional hooks of a transfer. Any field may be null.
struct NetFileHooks {
    // Called a few times a second at most, also while the peer is silent,
    // and once at the end of the body (done == total). A non-zero result abandons the transfer (result 0).
    int (*progress)(void* ctx, int64_t done, int64_t total);
    // Receiving only: each body piece, in order, as it is written.
    void (*piece)(void* ctx, const void* data, std::size_t n);
    void* ctx;
};

struct NetConnection;

// Sends the file at `path` as one frame. 1 when the whole frame was sent; 0
// when the file cannot be opened or read, is 2^31 bytes or larger (nothing is
// sent then), a send failed or the transfer was abandoned.
int net_send_file(NetConnection* c, const char* path, const NetFileHooks* hooks = nullptr);

// Takes one frame off the connection and stores its body at `path` (replaced,
// no execute permission). Waits up to about 30 s for the header and the body
// when nothing has arrived yet; takes no byte beyond the body, so what follows
// stays for the next poll. 1 when all N body bytes were stored; 0 when the
// file cannot be created or the waiting bytes do not begin a frame (either
// way they stay on the connection), the file refuses a write (the body is
// still taken off, so the stream stays in step), the connection closes,
// stalls for about 30 s, or the transfer was abandoned.
int net_receive_file(NetConnection* c, const char* path, const NetFileHooks* hooks = nullptr);
// The same into a file the caller opened for writing (so it can create it
// with O_EXCL); the descriptor stays open.
int net_receive_file_fd(NetConnection* c, int file, const NetFileHooks* hooks = nullptr);

// Takes one whole frame off the connection without storing it anywhere: the
// body is kept in `keep` (when given) if it is at most `keep_limit` bytes,
// otherwise dropped as it arrives, so memory stays bounded whatever the
// header says. Unlike the transfers, the whole frame must arrive within
// `total_ms` however steadily it trickles. `*size` (when given) gets the
// announced body size, -1 before a header was read. 1 when the whole frame
// was taken.
int net_take_frame(NetConnection* c, std::string* keep, std::size_t keep_limit,
                   int64_t total_ms, int64_t* size, const NetFileHooks* hooks = nullptr);

// How the last frame call on this thread ended. Everything but
// NET_FRAME_DONE, NET_FRAME_UNTOUCHED and NET_FRAME_FILE_ERROR leaves part of
// a frame behind or taken, so the stream is out of step afterwards.
enum NetFrameEnd {
    NET_FRAME_DONE = 0,        // the whole frame went (or came) and was stored
    NET_FRAME_UNTOUCHED = 1,   // nothing of a frame was sent or taken
    NET_FRAME_FILE_ERROR = 2,  // the whole frame is on the wire, but the file failed
    NET_FRAME_ABANDONED = 3,   // the progress hook asked to stop midway
    NET_FRAME_STALLED = 4,     // the time limit passed midway
    NET_FRAME_BROKEN = 5       // the connection closed or failed midway, or a bad header
};
int net_frame_end();
// The time limit of a transfer without progress (and of a frame taken in
// total), in milliseconds.
int net_frame_time_limit_ms();
