// Cutting the peer's byte stream into units.
#include "wire.h"

#include <climits>
#include <cstring>

const char WIRE_FRAME_MAGIC[] = "PBMGSFLE";
const char WIRE_FRAME_MAGIC64[] = "PBMGSFL8";
const char WIRE_CHAT_BEGIN[] = "mMeSSageJOX";
const char WIRE_CHAT_END[] = "EeNdofMessageJOX";
const char WIRE_CORRUPTED_NOTICE[] =
    "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";

namespace {

// In the order the peer's dispatcher tests them; the first match wins.
const char* const wire_tokens[TOKEN_COUNT] = {
    "SendingSeindingJOXFile", "CloseSendJOXFile", "JOXNICKNAMEIS", "IMGJOX",
    "ByeByeByeDisconnec", "JOXBusy", "SendingMessageJOX", "CloseSendingMessageJOX",
    "mMeSSageJOX", "NAMEJOX", "JXC1 ",
};
const char* const wire_replies[REPLY_COUNT] = {"RF", "RM", "SD", "sent", "na", "a"};
const char WIRE_MD5_MARK[] = "MD5JOX";

enum { UNIT_TOKEN, UNIT_REPLY, UNIT_FRAME };

int is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Where the next whole token text begins in `text` from `from`, else npos:
// a token without a certain end stops where the peer's next one starts.
std::size_t next_token_at(std::string_view text, std::size_t from)
{
    std::size_t end = std::string_view::npos;
    for (const char* t : wire_tokens) {
        std::size_t at = text.find(t, from);
        if (at < end) end = at;
    }
    return end;
}

}  // namespace

const char* wire_token_text(int token)
{
    return token >= 0 && token < TOKEN_COUNT ? wire_tokens[token] : "";
}

const char* wire_reply_text(int reply)
{
    return reply >= 0 && reply < REPLY_COUNT ? wire_replies[reply] : "";
}

std::string wire_chat_line(std::string_view token)
{
    const std::size_t begin = sizeof WIRE_CHAT_BEGIN - 1;
    if (token.size() <= begin) return "";
    std::size_t end = token.find(WIRE_CHAT_END, begin);
    // Without its end mark a line is shown empty, as the peer's own reader
    // shows such a receive.
    if (end == std::string_view::npos) return "";
    return std::string(token.substr(begin, end - begin));
}

std::string wire_frame_header(uint64_t size)
{
    int wide = size >= (uint64_t(1) << 31);
    std::string h(wide ? WIRE_FRAME_MAGIC64 : WIRE_FRAME_MAGIC, 8);
    for (int i = 0; i < (wide ? 8 : 4); ++i) h += char((size >> (8 * i)) & 0xff);
    return h;
}

void Framer::set_limits(int64_t part_ms, int64_t quiet_ms)
{
    part_ms_ = part_ms;
    quiet_ms_ = quiet_ms;
}

long Framer::head_length(int* kind, int* which, int* certain, int chunk_end) const
{
    std::string_view b = held_;
    int unfinished = 0;
    *certain = 1;
    std::size_t common = b.size() < 8 ? b.size() : 8;
    for (const char* magic : {WIRE_FRAME_MAGIC, WIRE_FRAME_MAGIC64}) {
        if (b.compare(0, common, std::string_view(magic, common)) != 0) continue;
        std::size_t header = magic == WIRE_FRAME_MAGIC ? WIRE_FRAME_HEADER : WIRE_FRAME_HEADER64;
        *kind = UNIT_FRAME;
        *which = int(header);
        return b.size() < header || common < 8 ? 0 : long(header);
    }
    for (int t = 0; t < TOKEN_COUNT; ++t) {
        std::string_view text = wire_tokens[t];
        common = b.size() < text.size() ? b.size() : text.size();
        if (b.compare(0, common, text.substr(0, common)) != 0) continue;
        if (b.size() < text.size()) {
            unfinished = 1;
            continue;
        }
        *kind = UNIT_TOKEN;
        *which = t;
        std::size_t end = std::string_view::npos;
        if (t == TOKEN_NICKNAME) {
            end = next_token_at(b, text.size());
            if (end == std::string_view::npos && chunk_end) end = b.size();
        } else if (t == TOKEN_CHAT) {
            end = b.find(WIRE_CHAT_END, text.size());
            if (end != std::string_view::npos) end += sizeof WIRE_CHAT_END - 1;
        } else if (t == TOKEN_EXTENSION) {
            end = b.find('\n', text.size());
            if (end != std::string_view::npos) end += 1;
            // A line that long is nothing we send: taken as it is.
            else if (b.size() >= WIRE_EXTENSION_MAX) end = b.size();
        } else if (t == TOKEN_FILE_OFFER || t == TOKEN_IMAGE_OFFER) {
            std::size_t mark = b.find(WIRE_MD5_MARK, 6);
            if (mark != std::string_view::npos) {
                std::size_t d = mark + sizeof WIRE_MD5_MARK - 1;
                std::size_t n = 0;
                while (n < WIRE_MD5_DIGITS && d + n < b.size() && is_hex(b[d + n])) ++n;
                if (n == WIRE_MD5_DIGITS || d + n < b.size()) end = d + n;
            }
        } else {
            end = text.size();
        }
        if (end != std::string_view::npos) return long(end);
        *certain = 0;
        return 0;
    }
    for (int r = 0; r < REPLY_COUNT; ++r) {
        std::string_view text = wire_replies[r];
        common = b.size() < text.size() ? b.size() : text.size();
        if (b.compare(0, common, text.substr(0, common)) != 0) continue;
        if (b.size() < text.size()) {
            unfinished = 1;
            continue;
        }
        *kind = UNIT_REPLY;
        *which = r;
        return long(text.size());
    }
    return unfinished ? 0 : -1;
}

void Framer::start_body(int64_t size, FramerSink& sink)
{
    in_body_ = 1;
    body_left_ = size;
    sink.on_frame_start(size);
    if (!sink.framer_alive()) return;
    if (body_left_ == 0) {
        in_body_ = 0;
        sink.on_frame_end();
    }
}

void Framer::parse(int64_t now, FramerSink& sink, int chunk_end)
{
    // Each pass takes at least one held byte, or stops.
    while (!held_.empty() && sink.framer_alive()) {
        if (in_body_) {
            std::size_t n = std::size_t(body_left_) < held_.size() ? std::size_t(body_left_) : held_.size();
            body_left_ -= int64_t(n);
            sink.on_frame_body(held_.data(), n);
            held_.erase(0, n);
            if (!sink.framer_alive()) return;
            if (body_left_ == 0) {
                in_body_ = 0;
                sink.on_frame_end();
            }
            held_since_ = now;
            continue;
        }
        int kind = -1, which = -1, certain = 1;
        long len = head_length(&kind, &which, &certain, chunk_end);
        if (len < 0) {
            // Nothing we know: the peer's dispatcher drops such a receive whole.
            held_.clear();
            sink.on_unknown();
            return;
        }
        if (len == 0) {
            held_certain_ = certain;
            if (certain || held_.size() < HOLD_LIMIT) return;
            // Held too long to be anything but what arrived: taken as it is.
            std::size_t end = next_token_at(held_, 7);
            len = long(end == std::string::npos ? held_.size() : end);
        }
        std::string unit = held_.substr(0, std::size_t(len));
        held_.erase(0, std::size_t(len));
        held_since_ = now;
        held_certain_ = 1;
        if (kind == UNIT_FRAME) {
            int64_t size = 0;
            if (which == int(WIRE_FRAME_HEADER)) {
                int32_t narrow = 0;
                for (int i = 0; i < 4; ++i) narrow |= int32_t(uint32_t((unsigned char)unit[8 + i]) << (8 * i));
                size = narrow;
            } else {
                uint64_t wide = 0;
                for (int i = 0; i < 8; ++i) wide |= uint64_t((unsigned char)unit[8 + i]) << (8 * i);
                size = wide >= (uint64_t(1) << 62) ? -1 : int64_t(wide);
            }
            if (size < 0) {
                held_.clear();
                sink.on_out_of_step();
                return;
            }
            start_body(size, sink);
        } else if (kind == UNIT_REPLY) {
            sink.on_reply(which);
        } else {
            std::size_t zero = unit.find('\0');
            if (zero != std::string::npos) unit.resize(zero);
            sink.on_token(which, unit);
        }
    }
}

void Framer::feed(const char* data, std::size_t n, int64_t now, FramerSink& sink)
{
    if (in_body_ && held_.empty()) {
        std::size_t take = std::size_t(body_left_) < n ? std::size_t(body_left_) : n;
        body_left_ -= int64_t(take);
        sink.on_frame_body(data, take);
        data += take;
        n -= take;
        if (!sink.framer_alive()) return;
        if (body_left_ == 0) {
            in_body_ = 0;
            sink.on_frame_end();
            if (!sink.framer_alive()) return;
        }
    }
    if (n == 0) return;
    if (held_.empty()) held_since_ = now;
    held_.append(data, n);
    parse(now, sink, 1);
}

int64_t Framer::deadline() const
{
    if (held_.empty() || in_body_) return INT64_MAX;
    return held_since_ + (held_certain_ ? part_ms_ : quiet_ms_);
}

void Framer::tick(int64_t now, FramerSink& sink)
{
    if (held_.empty() || in_body_ || now < deadline()) return;
    if (held_certain_) {
        held_.clear();
        sink.on_out_of_step();
        return;
    }
    // The peer fell quiet inside a unit without a certain end: take it as far
    // as it got, up to where a next token starts, and read on from there.
    std::size_t end = next_token_at(held_, 7);
    if (end == std::string::npos) end = held_.size();
    int kind = -1, which = -1, certain = 1;
    head_length(&kind, &which, &certain, 0);
    std::string unit = held_.substr(0, end);
    held_.erase(0, end);
    held_since_ = now;
    held_certain_ = 1;
    std::size_t zero = unit.find('\0');
    if (zero != std::string::npos) unit.resize(zero);
    sink.on_token(which, unit);
    if (sink.framer_alive()) parse(now, sink, 1);
}
