// The receiver's running MD5 on its helper thread: whatever the pieces'
// sizes and however many more than its buffers, the digest equals MD5 of
// all the bytes in order (a reordered, dropped or reused buffer shows).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "md5.h"
#include "piece_hasher.h"

namespace {

std::string whole_md5(const std::string& bytes)
{
    Md5 m;
    md5_init(&m);
    md5_update(&m, bytes.data(), bytes.size());
    return md5_final(&m);
}

} // namespace

TEST(OfferHasher, PiecesInOrderGiveTheWholeDigest)
{
    std::string bytes(5 * 1000 * 1000 + 17, '\0');
    unsigned x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    struct Row { std::size_t piece; };
    const Row rows[] = {{1}, {63}, {64}, {65}, {4096}, {1 << 20}, {bytes.size()}};
    for (const Row& r : rows) {
        if (r.piece == 1) {
            // Byte by byte over a short stretch: thousands of pieces, far more
            // than the buffers, so feeding has to wait for the helper.
            std::string head = bytes.substr(0, 20000);
            PieceHasher* h = piece_hasher_start();
            for (char c : head)
                piece_hasher_feed(h, &c, 1);
            EXPECT_EQ(piece_hasher_finish(h), whole_md5(head));
            continue;
        }
        PieceHasher* h = piece_hasher_start();
        // The feeder reuses one buffer, as the receiving loop does.
        std::vector<char> reused(r.piece);
        for (std::size_t at = 0; at < bytes.size(); at += r.piece) {
            std::size_t n = std::min(r.piece, bytes.size() - at);
            std::copy(bytes.begin() + long(at), bytes.begin() + long(at + n), reused.begin());
            piece_hasher_feed(h, reused.data(), n);
        }
        EXPECT_EQ(piece_hasher_finish(h), whole_md5(bytes)) << r.piece;
    }
    PieceHasher* empty = piece_hasher_start();
    piece_hasher_feed(empty, "", 0);
    EXPECT_EQ(piece_hasher_finish(empty), "d41d8cd98f00b204e9800998ecf8427e");
}
