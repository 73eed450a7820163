// MD5: the RFC 1321 test suite, incremental feeding in awkward pieces, and
// file fingerprints checked against the system's md5sum around the
// 1,000,000-byte read piece, and a known answer beyond 2 GiB.

#include "md5.h"
#include "md5_behind.h"
#include "support_test_util.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sys/stat.h>

namespace {

struct Md5Case {
    const char* input;
    const char* digest;
};

const Md5Case RFC1321_SUITE[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

std::string md5_of(const std::string& bytes)
{
    Md5 m;
    md5_init(&m);
    md5_update(&m, bytes.data(), bytes.size());
    return md5_final(&m);
}

// The digest md5sum prints for `path`, or "" when it could not run.
std::string md5sum_of(const std::string& path)
{
    FILE* p = popen(("md5sum '" + path + "'").c_str(), "r");
    if (p == nullptr) {
        return "";
    }
    char line[256] = {0};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    if (pclose(p) != 0 || !got) {
        return "";
    }
    return std::string(line).substr(0, 32);
}

std::string random_bytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(gen());
    }
    return s;
}

TEST(Md5, Rfc1321SuiteFromMemoryAndFromFiles)
{
    TempDir dir;
    for (const Md5Case& c : RFC1321_SUITE) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(md5_of(c.input), c.digest);
        const std::string path = dir.file("case.txt");
        ASSERT_TRUE(write_bytes(path, c.input));
        EXPECT_EQ(md5_file(path.c_str()), c.digest);
    }
}

// Pieces that end inside a block, exactly on one, and span several must all
// give the one-shot digest; lengths around 55/56/64 probe the padding.
TEST(Md5, IncrementalPiecesMatchOneShot)
{
    const std::size_t lengths[] = {55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 4099};
    const std::size_t pieces[] = {1, 3, 63, 64, 65, 200};
    for (std::size_t len : lengths) {
        const std::string data = random_bytes(len, static_cast<unsigned>(len));
        const std::string whole = md5_of(data);
        for (std::size_t piece : pieces) {
            SCOPED_TRACE(std::to_string(len) + " bytes in pieces of " + std::to_string(piece));
            Md5 m;
            md5_init(&m);
            for (std::size_t at = 0; at < len; at += piece) {
                md5_update(&m, data.data() + at, std::min(piece, len - at));
            }
            md5_update(&m, data.data(), 0);
            EXPECT_EQ(md5_final(&m), whole);
        }
    }
}

// A digest saved as text and read back goes on as if never stopped, at
// every position in a block; texts that are not a state are refused. On a
// thread of its own, the same digest in any pieces, past its queue limit,
// with the state asked for midway.
TEST(Md5, StatesThatGoOnElsewhere)
{
    const std::string data = random_bytes(3 * Md5Behind::LIMIT + 77, 7);
    const std::string whole = md5_of(data);
    for (std::size_t cut : {0, 1, 63, 64, 65, 1000}) {
        Md5 m, back;
        md5_init(&m);
        md5_update(&m, data.data(), cut);
        ASSERT_TRUE(md5_state_read(md5_state_text(m), &back)) << cut;
        md5_update(&back, data.data() + cut, data.size() - cut);
        EXPECT_EQ(md5_final(&back), whole) << cut;
    }
    Md5 fresh, ignored;
    md5_init(&fresh);
    std::string text = md5_state_text(fresh);
    for (const std::string& bad : {std::string(""), text.substr(1), "1 " + text.substr(2), text + "00", std::string("x")})
        EXPECT_FALSE(md5_state_read(bad, &ignored)) << bad;
    for (std::size_t piece : {1000, 65536, 3 << 20}) {
        Md5 start;
        md5_init(&start);
        Md5Behind behind(start);
        Md5 midway;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            behind.feed(data.data() + at, std::min(piece, data.size() - at));
            if (at < data.size() / 2 && at + piece >= data.size() / 2) midway = behind.state();
        }
        Md5 end = behind.state();
        EXPECT_EQ(md5_final(&end), whole) << piece;
        EXPECT_EQ(midway.length % piece, 0u) << piece;
        EXPECT_GT(midway.length, 0u) << piece;
    }
    // Let go with bytes still queued: it ends without hashing them.
    Md5 start;
    md5_init(&start);
    auto dropped = std::make_unique<Md5Behind>(start);
    dropped->feed(data.data(), data.size() / 2);
    dropped.reset();
}

TEST(Md5, FilesAroundTheReadPieceMatchMd5sum)
{
    TempDir dir;
    const std::size_t sizes[] = {0, 1, 999999, 1000000, 1000001, 2000001};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string path = dir.file("random " + std::to_string(size) + ".bin");
        ASSERT_TRUE(write_bytes(path, random_bytes(size, static_cast<unsigned>(size) + 7)));
        const std::string ours = md5_file(path.c_str());
        EXPECT_EQ(ours, md5sum_of(path));
        EXPECT_EQ(ours.size(), 32u);
    }
}

TEST(Md5, UnreadablePathsGiveEmptyText)
{
    TempDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string cases[] = {"", dir.file("missing.bin"), dir.path(), dir.path() + "/", fifo};
    for (const std::string& path : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(md5_file(path.c_str()), "");
    }
    EXPECT_EQ(md5_file(nullptr), "");
}

// A sparse file just past 2 GiB with a line at its far end: sizes and the
// bit count must be 64-bit all the way. The digest is md5sum's for this file.
TEST(Md5, FileBeyondTwoGib)
{
    TempDir dir;
    const std::string path = dir.file("big.bin");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string tail = "the end of a file past 2 GiB\n";
    const off_t at = static_cast<off_t>(1) << 31;
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), at), static_cast<ssize_t>(tail.size()));
    close(fd);
    EXPECT_EQ(md5_file(path.c_str()), "5adaff0e9754e3575af6776b6a12f3e7");
}

}  // namespace
