// File frames: "PBMGSFLE", the body size as 32-bit little-endian, then the
// body. Both sides stream the body in fixed-size pieces, so memory stays flat
// whatever the file's size.
#pragma once

#include <cstddef>
#include <cstdint>

// Optional hooks of a transfer. Any field may be null.
struct NetFileHooks {
    // Called a few times a second at most, and once at the end of the body
    // (done == total). A non-zero result abandons the transfer (result 0).
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
