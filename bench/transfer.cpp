// One file's transfer between two real instances over loopback, offer to
// "sent" (offer, answer, frame, store, verify), against the plain limit of
// the same work measured in the same run: MD5 at the sender, a plain socket
// copy into a file, MD5 of the stored file. 512 MiB, page cache warm, best
// of three runs each after one unmeasured run of each. Also the transfer with
// the sender's progress display off, and the time the display took to draw.
// Prints "transfer ratio R (...)" with R = plain / jox.

#include "offers_bench.h"

#include <thread>

#include "md5.h"
#include "progress.h"

namespace {

using namespace offers_bench;

const long long BENCH_BYTES = 512LL << 20;
const std::size_t BENCH_PIECE = 1 << 20;

bool bench_make_file(const std::string& path)
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

// The plain limit: hash, copy through a loopback socket into a file, hash.
double bench_plain(const std::string& src, const std::string& dst, std::string* digest)
{
    auto start = std::chrono::steady_clock::now();
    std::string before = md5_file(src.c_str());
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000001);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
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
    double s = seconds_since(start);
    *digest = after;
    return after == before ? s : -1;
}

} // namespace

int main()
{
    Pair pair;
    std::string work = temp_dir("transfer");
    std::string src = work + "big.bin";
    if (work.empty() || !bench_make_file(src) || !pair.begin()) {
        std::printf("transfer ratio 0 (could not set up the two instances)\n");
        pair.end();
        remove_dir(work);
        return 1;
    }
    std::string expected = md5_file(src.c_str());  // also warms the page cache

    std::string stored = pair.child_dir + "Received Files/big.bin";
    // Every kind of run writes a fresh 512 MiB file; a first run of each
    // pays for the page cache's growth, so one of each goes unmeasured, and
    // the order turns from round to round.
    double best[3] = {1e9, 1e9, 1e9};  // plain, jox, jox without the display
    double drawing = 0;                // most time one transfer spent drawing progress
    bool ok = true;
    for (int round = -1; round < 3 && ok; ++round) {
        for (int k = 0; k < 3 && ok; ++k) {
            int kind = (k + (round < 0 ? 0 : round)) % 3;
            double s = -1;
            if (kind == 0) {
                std::string digest;
                s = bench_plain(src, work + "copy.bin", &digest);
                unlink((work + "copy.bin").c_str());
            } else {
                progress_set_display(kind == 1);
                double drawn = progress_display_seconds();
                s = pair.send({src}, "Connected. 1 file was Sent.");
                progress_set_display(1);
                if (kind == 1 && round >= 0)
                    drawing = std::max(drawing, progress_display_seconds() - drawn);
                ok = md5_file(stored.c_str()) == expected;
                unlink(stored.c_str());
            }
            ok = ok && s > 0;
            if (round >= 0)
                best[kind] = std::min(best[kind], s);
        }
    }
    double plain = best[0], jox = best[1], quiet = best[2];
    double child_peak = child_peak_mib(pair.child);
    double own_peak = own_peak_mib();
    pair.end();
    remove_dir(work);
    if (!ok) {
        std::printf("transfer ratio 0 (a transfer failed or stored the wrong bytes)\n");
        return 1;
    }
    std::printf("transfer ratio %.2f (jox %.2f s, plain %.2f s, 512 MiB, peak RSS sender %.0f MiB "
                "receiver %.0f MiB; sender's progress display off %.2f s, drawing it took "
                "at most %.1f ms = %.2f %% of a transfer)\n",
                plain / jox, jox, plain, own_peak, child_peak, quiet, drawing * 1e3,
                drawing / jox * 100.0);
    return 0;
}
