// Fingerprint speed: md5_file against the system's md5sum on the same
// 256 MiB file, both from the page cache, best of three runs each, in one
// process run. Prints "md5 ratio R (...)" with R = our speed / md5sum's.

#include "md5.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::size_t BENCH_MD5_BYTES = 256u << 20;
const int BENCH_MD5_RUNS = 3;

double bench_md5_seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Random content from a xorshift generator: fast to make, and nothing a
// hash could take a short cut on.
bool bench_md5_make_file(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    std::vector<uint64_t> piece(1 << 17);
    uint64_t x = 0x9e3779b97f4a7c15ull;
    bool ok = true;
    for (std::size_t done = 0; done < BENCH_MD5_BYTES && ok; done += piece.size() * 8) {
        for (auto& v : piece) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        ok = std::fwrite(piece.data(), 8, piece.size(), f) == piece.size();
    }
    return std::fclose(f) == 0 && ok;
}

// Runs md5sum on the file and returns the digest it printed ("" on failure).
std::string bench_md5_md5sum(const std::string& path)
{
    std::string command = "md5sum '" + path + "'";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return "";
    }
    char line[256] = {0};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    const int status = pclose(p);
    if (!got || status != 0) {
        return "";
    }
    return std::string(line).substr(0, 32);
}

}  // namespace

int main()
{
    char dir[] = "/tmp/bench_md5_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::printf("md5 ratio 0 (cannot make a temporary folder)\n");
        return 1;
    }
    const std::string path = std::string(dir) + "/random.bin";
    if (!bench_md5_make_file(path)) {
        std::printf("md5 ratio 0 (cannot write the test file)\n");
        unlink(path.c_str());
        rmdir(dir);
        return 1;
    }

    // The first pass of each only warms the page cache and the code paths.
    std::string ours = md5_file(path.c_str());
    std::string theirs = bench_md5_md5sum(path);
    double best_ours = 1e9;
    double best_theirs = 1e9;
    for (int i = 0; i < BENCH_MD5_RUNS; i++) {
        auto start = std::chrono::steady_clock::now();
        ours = md5_file(path.c_str());
        best_ours = std::min(best_ours, bench_md5_seconds_since(start));

        start = std::chrono::steady_clock::now();
        theirs = bench_md5_md5sum(path);
        best_theirs = std::min(best_theirs, bench_md5_seconds_since(start));
    }
    unlink(path.c_str());
    rmdir(dir);

    if (ours.empty() || ours != theirs) {
        std::printf("md5 ratio 0 (digests differ: jox %s, md5sum %s)\n", ours.c_str(),
                    theirs.c_str());
        return 1;
    }
    const double mb = BENCH_MD5_BYTES / 1e6;
    const double speed_ours = mb / best_ours;
    const double speed_theirs = mb / best_theirs;
    std::printf("md5 ratio %.2f (jox %.0f MB/s, md5sum %.0f MB/s, 256 MiB)\n",
                speed_ours / speed_theirs, speed_ours, speed_theirs);
    return 0;
}
