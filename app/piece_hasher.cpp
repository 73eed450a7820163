// A receiver's running MD5 on a helper thread. See header.
//
// The receiving loop copies each piece into a free buffer and queues it; the
// helper takes pieces in order, hashes them and gives the buffers back. Two
// cores then do what one did in turn: take bytes off the socket and write
// them, and hash them.
#include "piece_hasher.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <vector>

#include "md5.h"

struct PieceHasher {
    std::mutex lock;                              // guards everything below but md5
    std::condition_variable changed;              // a piece queued, freed, or the end
    std::deque<std::vector<unsigned char>> full;  // pieces waiting, in order
    std::vector<std::vector<unsigned char>> spare;  // buffers to reuse
    bool ending = false;                          // no more pieces will come
    bool threaded = false;                        // the helper thread runs
    pthread_t thread;                             // the helper
    Md5 md5;                                      // touched by the helper only while threaded
};

namespace {

void* piece_hasher_run(void* arg)
{
    PieceHasher* h = static_cast<PieceHasher*>(arg);
    std::unique_lock<std::mutex> guard(h->lock);
    // Ends once the feeder said so and every queued piece is hashed.
    while (!(h->ending && h->full.empty())) {
        if (h->full.empty()) {
            h->changed.wait(guard);
            continue;
        }
        std::vector<unsigned char> piece = std::move(h->full.front());
        h->full.pop_front();
        guard.unlock();
        md5_update(&h->md5, piece.data(), piece.size());
        guard.lock();
        h->spare.push_back(std::move(piece));
        h->changed.notify_all();
    }
    return nullptr;
}

} // namespace

PieceHasher* piece_hasher_start()
{
    PieceHasher* h = new PieceHasher;
    md5_init(&h->md5);
    h->threaded = pthread_create(&h->thread, nullptr, piece_hasher_run, h) == 0;
    return h;
}

void piece_hasher_feed(PieceHasher* h, const void* data, std::size_t n)
{
    if (n == 0)
        return;
    if (!h->threaded) {
        md5_update(&h->md5, data, n);
        return;
    }
    std::unique_lock<std::mutex> guard(h->lock);
    std::size_t in_use = h->full.size();
    // Waits (bounded by the helper's progress) while every buffer is taken.
    while (h->spare.empty() && in_use >= PIECE_HASHER_BUFFERS) {
        h->changed.wait(guard);
        in_use = h->full.size();
    }
    std::vector<unsigned char> piece;
    if (!h->spare.empty()) {
        piece = std::move(h->spare.back());
        h->spare.pop_back();
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    piece.assign(bytes, bytes + n);
    h->full.push_back(std::move(piece));
    h->changed.notify_all();
}

std::string piece_hasher_finish(PieceHasher* h)
{
    if (h->threaded) {
        {
            std::lock_guard<std::mutex> guard(h->lock);
            h->ending = true;
        }
        h->changed.notify_all();
        pthread_join(h->thread, nullptr);
    }
    std::string digest = md5_final(&h->md5);
    delete h;
    return digest;
}
