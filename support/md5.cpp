// MD5 (RFC 1321): the block transform, the incremental digest and the file
// fingerprint. The transform is written out round by round so the compiler
// keeps the four state words in registers; it is the hot loop of every file
// offer, on both sides of the connection. Sizes are 64-bit, so files of any
// size hash correctly.

#include "md5.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::size_t MD5_READ_PIECE = 1000000;

inline uint32_t md5_rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// Message words are little-endian; memcpy compiles to one load on x86 and
// stays correct for unaligned input and big-endian machines alike.
inline uint32_t md5_word(const unsigned char* p)
{
    uint32_t w;
    std::memcpy(&w, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
}

// The message word and the constant are added before the round function so
// that the addition does not wait for the previous step's result; round 2
// splits its function into two independent terms for the same reason.
#define MD5_F(a, b, c, d, x, t, s) \
    a += (x) + (t) + ((d) ^ ((b) & ((c) ^ (d)))); a = md5_rotl(a, s) + (b)
#define MD5_G(a, b, c, d, x, t, s) \
    a += (x) + (t) + ((c) & ~(d)); a += (b) & (d); a = md5_rotl(a, s) + (b)
#define MD5_H(a, b, c, d, x, t, s) \
    a += (x) + (t) + ((b) ^ (c) ^ (d)); a = md5_rotl(a, s) + (b)
#define MD5_I(a, b, c, d, x, t, s) \
    a += (x) + (t) + ((c) ^ ((b) | ~(d))); a = md5_rotl(a, s) + (b)

// Runs the transform over `blocks` consecutive 64-byte blocks.
void md5_blocks(uint32_t state[4], const unsigned char* p, std::size_t blocks)
{
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (std::size_t i = 0; i < blocks; i++, p += 64) {
        const uint32_t x0 = md5_word(p), x1 = md5_word(p + 4), x2 = md5_word(p + 8),
                       x3 = md5_word(p + 12), x4 = md5_word(p + 16), x5 = md5_word(p + 20),
                       x6 = md5_word(p + 24), x7 = md5_word(p + 28), x8 = md5_word(p + 32),
                       x9 = md5_word(p + 36), x10 = md5_word(p + 40), x11 = md5_word(p + 44),
                       x12 = md5_word(p + 48), x13 = md5_word(p + 52), x14 = md5_word(p + 56),
                       x15 = md5_word(p + 60);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_F(a, b, c, d, x0, 0xd76aa478, 7);
        MD5_F(d, a, b, c, x1, 0xe8c7b756, 12);
        MD5_F(c, d, a, b, x2, 0x242070db, 17);
        MD5_F(b, c, d, a, x3, 0xc1bdceee, 22);
        MD5_F(a, b, c, d, x4, 0xf57c0faf, 7);
        MD5_F(d, a, b, c, x5, 0x4787c62a, 12);
        MD5_F(c, d, a, b, x6, 0xa8304613, 17);
        MD5_F(b, c, d, a, x7, 0xfd469501, 22);
        MD5_F(a, b, c, d, x8, 0x698098d8, 7);
        MD5_F(d, a, b, c, x9, 0x8b44f7af, 12);
        MD5_F(c, d, a, b, x10, 0xffff5bb1, 17);
        MD5_F(b, c, d, a, x11, 0x895cd7be, 22);
        MD5_F(a, b, c, d, x12, 0x6b901122, 7);
        MD5_F(d, a, b, c, x13, 0xfd987193, 12);
        MD5_F(c, d, a, b, x14, 0xa679438e, 17);
        MD5_F(b, c, d, a, x15, 0x49b40821, 22);

        MD5_G(a, b, c, d, x1, 0xf61e2562, 5);
        MD5_G(d, a, b, c, x6, 0xc040b340, 9);
        MD5_G(c, d, a, b, x11, 0x265e5a51, 14);
        MD5_G(b, c, d, a, x0, 0xe9b6c7aa, 20);
        MD5_G(a, b, c, d, x5, 0xd62f105d, 5);
        MD5_G(d, a, b, c, x10, 0x02441453, 9);
        MD5_G(c, d, a, b, x15, 0xd8a1e681, 14);
        MD5_G(b, c, d, a, x4, 0xe7d3fbc8, 20);
        MD5_G(a, b, c, d, x9, 0x21e1cde6, 5);
        MD5_G(d, a, b, c, x14, 0xc33707d6, 9);
        MD5_G(c, d, a, b, x3, 0xf4d50d87, 14);
        MD5_G(b, c, d, a, x8, 0x455a14ed, 20);
        MD5_G(a, b, c, d, x13, 0xa9e3e905, 5);
        MD5_G(d, a, b, c, x2, 0xfcefa3f8, 9);
        MD5_G(c, d, a, b, x7, 0x676f02d9, 14);
        MD5_G(b, c, d, a, x12, 0x8d2a4c8a, 20);

        MD5_H(a, b, c, d, x5, 0xfffa3942, 4);
        MD5_H(d, a, b, c, x8, 0x8771f681, 11);
        MD5_H(c, d, a, b, x11, 0x6d9d6122, 16);
        MD5_H(b, c, d, a, x14, 0xfde5380c, 23);
        MD5_H(a, b, c, d, x1, 0xa4beea44, 4);
        MD5_H(d, a, b, c, x4, 0x4bdecfa9, 11);
        MD5_H(c, d, a, b, x7, 0xf6bb4b60, 16);
        MD5_H(b, c, d, a, x10, 0xbebfbc70, 23);
        MD5_H(a, b, c, d, x13, 0x289b7ec6, 4);
        MD5_H(d, a, b, c, x0, 0xeaa127fa, 11);
        MD5_H(c, d, a, b, x3, 0xd4ef3085, 16);
        MD5_H(b, c, d, a, x6, 0x04881d05, 23);
        MD5_H(a, b, c, d, x9, 0xd9d4d039, 4);
        MD5_H(d, a, b, c, x12, 0xe6db99e5, 11);
        MD5_H(c, d, a, b, x15, 0x1fa27cf8, 16);
        MD5_H(b, c, d, a, x2, 0xc4ac5665, 23);

        MD5_I(a, b, c, d, x0, 0xf4292244, 6);
        MD5_I(d, a, b, c, x7, 0x432aff97, 10);
        MD5_I(c, d, a, b, x14, 0xab9423a7, 15);
        MD5_I(b, c, d, a, x5, 0xfc93a039, 21);
        MD5_I(a, b, c, d, x12, 0x655b59c3, 6);
        MD5_I(d, a, b, c, x3, 0x8f0ccc92, 10);
        MD5_I(c, d, a, b, x10, 0xffeff47d, 15);
        MD5_I(b, c, d, a, x1, 0x85845dd1, 21);
        MD5_I(a, b, c, d, x8, 0x6fa87e4f, 6);
        MD5_I(d, a, b, c, x15, 0xfe2ce6e0, 10);
        MD5_I(c, d, a, b, x6, 0xa3014314, 15);
        MD5_I(b, c, d, a, x13, 0x4e0811a1, 21);
        MD5_I(a, b, c, d, x4, 0xf7537e82, 6);
        MD5_I(d, a, b, c, x11, 0xbd3af235, 10);
        MD5_I(c, d, a, b, x2, 0x2ad7d2bb, 15);
        MD5_I(b, c, d, a, x9, 0xeb86d391, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

}  // namespace

// See header.
void md5_init(Md5* m)
{
    m->state[0] = 0x67452301;
    m->state[1] = 0xefcdab89;
    m->state[2] = 0x98badcfe;
    m->state[3] = 0x10325476;
    m->length = 0;
}

// See header.
void md5_update(Md5* m, const void* data, std::size_t n)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::size_t used = static_cast<std::size_t>(m->length % 64);
    m->length += n;
    if (used != 0) {
        std::size_t take = 64 - used;
        if (take > n) {
            take = n;
        }
        std::memcpy(m->block + used, p, take);
        p += take;
        n -= take;
        if (used + take < 64) {
            return;
        }
        md5_blocks(m->state, m->block, 1);
    }
    md5_blocks(m->state, p, n / 64);
    std::memcpy(m->block, p + (n - n % 64), n % 64);
}

// See header.
std::string md5_final(Md5* m)
{
    const uint64_t bits = m->length * 8;
    unsigned char tail[72] = {0x80};
    // Pad to 56 bytes past a block boundary, then the 64-bit bit count.
    std::size_t pad = static_cast<std::size_t>((55 - m->length % 64) % 64) + 1;
    for (int i = 0; i < 8; i++) {
        tail[pad + i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    md5_update(m, tail, pad + 8);

    static const char digits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; i++) {
        const unsigned v = (m->state[i / 4] >> (8 * (i % 4))) & 0xff;
        text[2 * i] = digits[v >> 4];
        text[2 * i + 1] = digits[v & 15];
    }
    return text;
}

// See header.
std::string md5_file(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        return "";
    }
    // Non-blocking open: a named pipe in place of a file must not hold us up.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return "";
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return "";
    }
    unsigned char* buffer = static_cast<unsigned char*>(std::malloc(MD5_READ_PIECE));
    if (buffer == nullptr) {
        close(fd);
        return "";
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    // The size is taken once: a file that keeps growing while we read it
    // still ends the loop. A file that shrinks hashes what was there.
    Md5 m;
    md5_init(&m);
    uint64_t remaining = static_cast<uint64_t>(st.st_size);
    bool failed = false;
    int interruptions = 0;
    while (remaining > 0) {
        const std::size_t want = remaining < MD5_READ_PIECE ? static_cast<std::size_t>(remaining)
                                                            : MD5_READ_PIECE;
        const ssize_t got = read(fd, buffer, want);
        if (got < 0) {
            if (errno == EINTR && ++interruptions < 1000) {
                continue;
            }
            failed = true;
            break;
        }
        if (got == 0) {
            break;
        }
        md5_update(&m, buffer, static_cast<std::size_t>(got));
        remaining -= static_cast<uint64_t>(got);
    }
    std::free(buffer);
    close(fd);
    if (failed) {
        return "";
    }
    return md5_final(&m);
}

std::string md5_state_text(const Md5& m)
{
    char head[80];
    std::snprintf(head, sizeof head, "%llu %08x %08x %08x %08x ", static_cast<unsigned long long>(m.length),
                  m.state[0], m.state[1], m.state[2], m.state[3]);
    std::string text = head;
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < m.length % 64; ++i) {
        text += digits[m.block[i] >> 4];
        text += digits[m.block[i] & 15];
    }
    return text + "-";
}

int md5_state_read(const std::string& text, Md5* m)
{
    unsigned long long length = 0;
    unsigned a = 0, b = 0, c = 0, d = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%llu %8x %8x %8x %8x %n", &length, &a, &b, &c, &d, &used) != 5 || used <= 0)
        return 0;
    std::string tail = text.substr(std::size_t(used));
    std::size_t bytes = std::size_t(length % 64);
    if (tail.size() != bytes * 2 + 1 || tail.back() != '-') return 0;
    Md5 r;
    r.length = length;
    r.state[0] = a;
    r.state[1] = b;
    r.state[2] = c;
    r.state[3] = d;
    for (std::size_t i = 0; i < bytes; ++i) {
        char pair[3] = {tail[2 * i], tail[2 * i + 1], 0};
        char* end = nullptr;
        long v = std::strtol(pair, &end, 16);
        if (end != pair + 2) return 0;
        r.block[i] = static_cast<unsigned char>(v);
    }
    *m = r;
    return 1;
}
