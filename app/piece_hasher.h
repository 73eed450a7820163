// A receiver's running MD5 on a helper thread: the body's pieces are copied
// into a few fixed buffers as they are stored, and hashed beside the
// receiving loop instead of between its reads. Memory stays flat (at most
// PIECE_HASHER_BUFFERS pieces in flight; feeding waits when they are all
// taken), and the digest is the same as md5_file of the stored bytes.
// Nothing here touches application state; the helper thread only hashes.
#pragma once

#include <cstddef>
#include <string>

constexpr int PIECE_HASHER_BUFFERS = 8;

struct PieceHasher;

// A new hasher with its thread; hashes inline when no thread can be started.
// Never null.
PieceHasher* piece_hasher_start();
// Hands over the next `n` bytes of the body (copied; `data` may be reused
// at once).
void piece_hasher_feed(PieceHasher* h, const void* data, std::size_t n);
// Waits for the pieces handed over, ends the thread, frees the hasher and
// returns the 32-digit lowercase MD5 text of everything fed.
std::string piece_hasher_finish(PieceHasher* h);
