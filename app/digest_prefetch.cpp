// Fingerprints worked out ahead of their offers. See header.
#include "digest_prefetch.h"

#include "md5.h"
#include "toolkit.h"

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace {

// Files from this size on are hashed on a helper thread (about 50 ms of work).
constexpr off_t DIGEST_HELPER_BYTES = 32 << 20;

std::mutex prefetch_lock;
std::condition_variable prefetch_ready;
std::map<std::string, std::string> prefetch_wanted;  // path -> digest
std::map<std::string, bool> prefetch_done;            // path -> hashed
std::thread prefetch_thread;

}  // namespace

void digest_prefetch(const std::vector<std::string>& paths)
{
    digest_prefetch_stop();
    {
        std::lock_guard<std::mutex> hold(prefetch_lock);
        for (const std::string& p : paths) prefetch_done[p] = false;
    }
    prefetch_thread = std::thread([paths] {
        for (const std::string& p : paths) {
            std::string digest = md5_file(p.c_str());
            std::lock_guard<std::mutex> hold(prefetch_lock);
            prefetch_wanted[p] = digest;
            prefetch_done[p] = true;
            prefetch_ready.notify_all();
        }
    });
}

std::string digest_of(const std::string& path)
{
    {
        std::unique_lock<std::mutex> hold(prefetch_lock);
        auto it = prefetch_done.find(path);
        if (it != prefetch_done.end()) {
            // Bounded by the helper, which hashes every path it was given.
            prefetch_ready.wait(hold, [&] { return prefetch_done[path]; });
            return prefetch_wanted[path];
        }
    }
    // A large file takes seconds (2 GB at about 600 MB/s): it is hashed on a
    // helper thread while the windows stay painted. A small one is hashed at
    // once, where a thread would cost more than it saves.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size < DIGEST_HELPER_BYTES)
        return md5_file(path.c_str());
    std::string digest;
    std::atomic<bool> done{false};
    std::thread helper([&] {
        digest = md5_file(path.c_str());
        done = true;
    });
    // Bounded by the helper, which reads the file once.
    while (!done)
        delay_ms(10);
    helper.join();
    return digest;
}

void digest_prefetch_stop()
{
    if (prefetch_thread.joinable()) prefetch_thread.join();
    std::lock_guard<std::mutex> hold(prefetch_lock);
    prefetch_wanted.clear();
    prefetch_done.clear();
}
