// The limit a transfer is measured against: MD5 at the sender, a plain copy
// through a loopback socket into a file, MD5 of the stored file; and the
// 512 MiB file both are timed with.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "md5.h"

inline constexpr long long BENCH_BYTES = 512LL << 20;
inline constexpr std::size_t BENCH_PIECE = 1 << 20;

// Pseudo-random bytes, so no layer can gain by compressing or skipping them.
inline bool bench_make_file(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::vector<uint64_t> piece(BENCH_PIECE / 8);
    uint64_t x = 0x9e3779b97f4a7c15ull;
    bool ok = true;
    for (long long done = 0; done < BENCH_BYTES && ok; done += static_cast<long long>(BENCH_PIECE)) {
        for (auto& v : piece) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        ok = std::fwrite(piece.data(), 1, BENCH_PIECE, f) == BENCH_PIECE;
    }
    return std::fclose(f) == 0 && ok;
}

// Seconds for the plain limit, or -1 when the copy differs from `src`.
inline double bench_plain(const std::string& src, const std::string& dst, std::string* digest)
{
    auto start = std::chrono::steady_clock::now();
    std::string before = md5_file(src.c_str());
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000001);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(listener);
        return -1;
    }
    std::thread sender([&] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            int in = open(src.c_str(), O_RDONLY);
            std::vector<char> buf(BENCH_PIECE);
            ssize_t n;
            while (in >= 0 && (n = read(in, buf.data(), buf.size())) > 0)
                for (ssize_t off = 0; off < n;) {
                    ssize_t m = send(fd, buf.data() + off, size_t(n - off), MSG_NOSIGNAL);
                    if (m <= 0)
                        break;
                    off += m;
                }
            if (in >= 0)
                close(in);
        }
        close(fd);
    });
    int conn = accept(listener, nullptr, nullptr);
    int out = open(dst.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    std::vector<char> buf(BENCH_PIECE);
    ssize_t n;
    while (conn >= 0 && (n = recv(conn, buf.data(), buf.size(), 0)) > 0)
        if (write(out, buf.data(), size_t(n)) != n)
            break;
    close(out);
    sender.join();
    close(conn);
    close(listener);
    std::string after = md5_file(dst.c_str());
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *digest = after;
    return after == before ? s : -1;
}
