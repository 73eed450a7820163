// What we send on one connection, in order: control tokens (paced, so that
// a peer reading one token per receive sees each alone), replies (never
// paced: the peer reads them by their length), and file frames streamed
// from disk or memory in pieces. A token queued while a frame is under way
// waits behind it: nothing is ever put inside a frame.
//
// Bounded: a peer that reads nothing makes the queue stand still, which the
// owner sees by stalled_since(); tokens beyond the byte limit are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

enum OutKind { OUT_TOKEN, OUT_REPLY, OUT_FRAME };

class Outbox {
public:
    static constexpr std::size_t BYTE_LIMIT = 1 << 20;
    static constexpr int64_t PIECE = 256 * 1024;

    // Gap between two paced tokens, and the pause before the first one.
    void set_gap(int64_t gap_ms) { gap_ms_ = gap_ms; }
    // Queues a token or reply; `tag` (non-zero) is reported by written() when
    // its last byte has gone. 0 when the queue is full.
    int push(OutKind kind, std::string bytes, int tag = 0, int64_t not_before = 0);
    // Queues a frame: its header and `size` bytes read from `fd` (owned: closed
    // when done or dropped), or the bytes of `body` when fd < 0.
    void push_frame(int fd, int64_t size, std::string body, int tag);
    // 1 when a reply of this text is queued and not started.
    int has_unsent_reply(const std::string& bytes) const;

    // The bytes that may be written now (none while pacing holds them back).
    // Reads the next piece of a frame's file when needed; a file that fails
    // or shrinks is padded with zeros so the stream stays in step (the
    // peer's fingerprint check finds it).
    std::size_t peek(const char** data, int64_t now);
    // `n` bytes of peek() went out. The tag of an item that finished, else 0.
    int written(std::size_t n, int64_t now);
    // The peer answered: it has read what we sent before, so the next token
    // needs no gap to arrive alone.
    void peer_spoke() { last_token_ = INT64_MIN / 2; }
    // When the next paced token may go; INT64_MAX when nothing is held back.
    int64_t next_time(int64_t now) const;
    int empty() const { return items_.empty(); }
    // Inside a frame: its bytes sent so far and its size; 0 otherwise.
    int in_frame(int64_t* done, int64_t* total) const;
    // Drops everything (a frame midway stops where it is).
    void clear();
    // The call ended: keeps only what must still go, the replies to what the
    // peer said before the end and a token already begun. 0 (and nothing
    // kept) when a frame stands midway, since nothing may follow it.
    int keep_for_end();
    ~Outbox() { clear(); }

private:
    struct Item {
        OutKind kind;
        std::string bytes;     // token, reply, or the frame's current piece
        std::size_t at = 0;    // bytes of `bytes` already written
        int tag = 0;
        int64_t not_before = 0;
        int fd = -1;           // frame body file
        int64_t size = 0;      // frame body size
        int64_t body_read = 0; // body bytes put into `bytes` so far
        int64_t body_sent = 0;
        int started = 0;
        std::string memory;    // frame body kept in memory
    };
    void refill(Item& it);
    std::deque<Item> items_;
    std::size_t queued_ = 0;
    int64_t gap_ms_ = 250;
    int64_t last_token_ = INT64_MIN / 2;
};
