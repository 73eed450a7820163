// The peer's byte stream cut into units: control tokens, the short replies,
// and file frames ("PBMGSFLE", a 32-bit little-endian size, the body).
//
// Tokens carry no separator, and TCP keeps no message edges, so a unit ends
// where its own text says: fixed tokens by their length, a chat line at its
// end mark, an offer after the 32 digits of its fingerprint. Two tokens have
// no certain end (a nickname; a chat line or offer that lacks its tail): the
// nickname ends with the bytes that came with it, the others when the peer
// falls quiet or too much is held. A unit whose end is certain must complete
// within the part limit, or the stream is out of step.
//
// No I/O here: bytes and the time go in, units come out through a sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum Token {
    TOKEN_SELECTING_FILES, TOKEN_CLOSE_SEND, TOKEN_NICKNAME, TOKEN_IMAGE_OFFER,
    TOKEN_BYE, TOKEN_BUSY, TOKEN_TYPING, TOKEN_TYPING_WITHDRAWN, TOKEN_CHAT,
    TOKEN_FILE_OFFER,
    // Between two jox programs only: "JXC1 " + words + "\n" (see docs/PROTOCOL.md).
    TOKEN_EXTENSION,
    TOKEN_COUNT
};
enum Reply { REPLY_RF, REPLY_RM, REPLY_SD, REPLY_SENT, REPLY_NA, REPLY_A, REPLY_COUNT };

// The fixed text of a token or reply.
const char* wire_token_text(int token);
const char* wire_reply_text(int reply);

extern const char WIRE_FRAME_MAGIC[];       // "PBMGSFLE": a 32-bit size follows
extern const char WIRE_FRAME_MAGIC64[];     // "PBMGSFL8": a 64-bit size follows (extension)
extern const char WIRE_CHAT_BEGIN[];        // "mMeSSageJOX"
extern const char WIRE_CHAT_END[];          // "EeNdofMessageJOX"
extern const char WIRE_CORRUPTED_NOTICE[];  // the receiver's MD5-error chat token
constexpr std::size_t WIRE_FRAME_HEADER = 12;
constexpr std::size_t WIRE_FRAME_HEADER64 = 16;
// The longest extension token taken.
constexpr std::size_t WIRE_EXTENSION_MAX = 1024;
constexpr std::size_t WIRE_MD5_DIGITS = 32;

// The line a chat token carries: between its begin and end marks (the end
// mark found from the 12th byte); "" when it has none.
std::string wire_chat_line(std::string_view token);
// The frame header of a body of `size` bytes: the original 12 bytes below
// 2 GiB, else the extension's 16.
std::string wire_frame_header(uint64_t size);

class FramerSink {
public:
    virtual ~FramerSink() = default;
    // `text` is the whole token, cut at its first zero byte.
    virtual void on_token(int token, std::string_view text) = 0;
    virtual void on_reply(int reply) = 0;
    virtual void on_frame_start(int64_t size) = 0;
    virtual void on_frame_body(const char* data, std::size_t n) = 0;
    virtual void on_frame_end() = 0;
    // The stream cannot be read on: a bad header or a unit left unfinished.
    virtual void on_out_of_step() = 0;
    // Bytes that begin nothing we know were dropped.
    virtual void on_unknown() {}
    // 0 stops the framer at once (the call ended inside a unit's action).
    virtual int framer_alive() = 0;
};

class Framer {
public:
    // A started unit with a certain end must complete within `part_ms`; a
    // unit without one is taken as far as it got after `quiet_ms`.
    void set_limits(int64_t part_ms, int64_t quiet_ms);
    void feed(const char* data, std::size_t n, int64_t now, FramerSink& sink);
    // Acts on the limits; call when deadline() has passed.
    void tick(int64_t now, FramerSink& sink);
    // When tick must run next; INT64_MAX when nothing waits on time.
    int64_t deadline() const;
    // Inside a frame's body: how many body bytes are still to come, else -1.
    int64_t body_left() const { return in_body_ ? body_left_ : -1; }
    // Bytes held of an unfinished unit.
    std::size_t held() const { return held_.size(); }

    // Longest unfinished unit held before it is taken as it is.
    static constexpr std::size_t HOLD_LIMIT = 1024;

private:
    // Acts on the held bytes; `chunk_end` when no more bytes of this
    // receive follow (the nickname ends there).
    void parse(int64_t now, FramerSink& sink, int chunk_end);
    // Length of the unit at the head, 0 while unfinished, -1 unknown; sets
    // `certain` to whether an unfinished unit has a certain end.
    long head_length(int* kind, int* which, int* certain, int chunk_end) const;
    void start_body(int64_t size, FramerSink& sink);

    std::string held_;
    int64_t held_since_ = 0;
    int held_certain_ = 1;
    int in_body_ = 0;
    int64_t body_left_ = 0;
    int64_t part_ms_ = 10000;
    int64_t quiet_ms_ = 500;
};
