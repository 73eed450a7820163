// The out-queue of one connection.
#include "outbox.h"

#include "wire.h"

#include <unistd.h>

int Outbox::push(OutKind kind, std::string bytes, int tag, int64_t not_before)
{
    if (queued_ + bytes.size() > BYTE_LIMIT) return 0;
    queued_ += bytes.size();
    Item it;
    it.kind = kind;
    it.bytes = std::move(bytes);
    it.tag = tag;
    it.not_before = not_before;
    items_.push_back(std::move(it));
    return 1;
}

void Outbox::push_frame(int fd, int64_t size, std::string body, int tag)
{
    Item it;
    it.kind = OUT_FRAME;
    it.bytes = wire_frame_header(uint64_t(size));
    it.fd = fd;
    it.size = size;
    it.memory = std::move(body);
    it.tag = tag;
    items_.push_back(std::move(it));
}

int Outbox::has_unsent_reply(const std::string& bytes) const
{
    for (const Item& it : items_)
        if (it.kind == OUT_REPLY && !it.started && it.bytes == bytes) return 1;
    return 0;
}

void Outbox::refill(Item& it)
{
    it.bytes.clear();
    it.at = 0;
    int64_t left = it.size - it.body_read;
    if (left <= 0) return;
    std::size_t want = std::size_t(left < PIECE ? left : PIECE);
    if (it.fd < 0) {
        it.bytes = it.memory.substr(std::size_t(it.body_read), want);
    } else {
        it.bytes.resize(want);
        std::size_t got = 0;
        // Bounded by the piece: each read adds bytes or ends the file.
        while (got < want) {
            ssize_t n = read(it.fd, &it.bytes[got], want - got);
            if (n <= 0) break;
            got += std::size_t(n);
        }
        // A shrunk or failing file still fills its announced size.
        for (std::size_t i = got; i < want; ++i) it.bytes[i] = 0;
    }
    it.bytes.resize(want, '\0');
    it.body_read += int64_t(want);
}

std::size_t Outbox::peek(const char** data, int64_t now)
{
    if (items_.empty()) return 0;
    Item& it = items_.front();
    if (it.kind == OUT_TOKEN && !it.started) {
        int64_t when = last_token_ + gap_ms_;
        if (it.not_before > when) when = it.not_before;
        if (now < when) return 0;
    }
    if (it.at >= it.bytes.size() && it.kind == OUT_FRAME) refill(it);
    *data = it.bytes.data() + it.at;
    return it.bytes.size() - it.at;
}

int Outbox::written(std::size_t n, int64_t now)
{
    if (items_.empty() || n == 0) return 0;
    Item& it = items_.front();
    if (!it.started && it.kind == OUT_TOKEN) last_token_ = now;
    it.started = 1;
    it.at += n;
    if (it.kind == OUT_FRAME) {
        // Header bytes count for nothing; body bytes once sent.
        if (it.body_read > 0) it.body_sent += int64_t(n);
        if (it.at < it.bytes.size() || it.body_read < it.size) return 0;
    } else {
        if (it.at < it.bytes.size()) return 0;
        queued_ -= it.bytes.size();
    }
    int tag = it.tag;
    if (it.fd >= 0) close(it.fd);
    items_.pop_front();
    return tag;
}

int64_t Outbox::next_time(int64_t now) const
{
    if (items_.empty()) return INT64_MAX;
    const Item& it = items_.front();
    if (it.kind != OUT_TOKEN || it.started) return now;
    int64_t when = last_token_ + gap_ms_;
    if (it.not_before > when) when = it.not_before;
    return when;
}

int Outbox::in_frame(int64_t* done, int64_t* total) const
{
    if (items_.empty() || items_.front().kind != OUT_FRAME || !items_.front().started) return 0;
    *done = items_.front().body_sent;
    *total = items_.front().size;
    return 1;
}

void Outbox::clear()
{
    for (Item& it : items_)
        if (it.fd >= 0) close(it.fd);
    items_.clear();
    queued_ = 0;
}

int Outbox::keep_for_end()
{
    if (!items_.empty() && items_.front().kind == OUT_FRAME && items_.front().started) {
        clear();
        return 0;
    }
    std::deque<Item> kept;
    for (Item& it : items_) {
        if (it.kind == OUT_REPLY || it.started) {
            kept.push_back(std::move(it));
            continue;
        }
        if (it.fd >= 0) close(it.fd);
        if (it.kind != OUT_FRAME) queued_ -= it.bytes.size();
    }
    items_ = std::move(kept);
    return 1;
}
