// Saved fingerprints of the files we send.
#include "fingerprints.h"

#include "files.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t READ_PIECE = 1 << 20;

std::string entry_path(const std::string& folder, const std::string& key)
{
    Md5 m;
    md5_init(&m);
    md5_update(&m, key.data(), key.size());
    return folder + md5_final(&m);
}

}  // namespace

std::string fingerprint_key(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return "";
    char key[160];
    std::snprintf(key, sizeof key, "%llu %llu %lld %lld.%09ld %lld.%09ld", (unsigned long long)st.st_dev,
                  (unsigned long long)st.st_ino, (long long)st.st_size, (long long)st.st_mtim.tv_sec,
                  st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    return key;
}

int fingerprint_load(const std::string& folder, const std::string& key, Md5* state)
{
    if (folder.empty() || key.empty()) return 0;
    int fd = open(entry_path(folder, key).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    std::string text(buf, std::size_t(n));
    std::string head = "jox-fingerprint 1\n" + key + "\n";
    if (text.compare(0, head.size(), head) != 0 || text.back() != '\n') return 0;
    return md5_state_read(text.substr(head.size(), text.size() - head.size() - 1), state);
}

void fingerprint_save(const std::string& folder, const std::string& key, const Md5& state)
{
    if (folder.empty() || key.empty()) return;
    mkdir(folder.c_str(), 0700);
    file_replace(entry_path(folder, key), "jox-fingerprint 1\n" + key + "\n" + md5_state_text(state) + "\n");
}

void fingerprint_forget(const std::string& folder, const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::string key = fingerprint_key(fd);
    close(fd);
    if (!folder.empty() && !key.empty()) unlink(entry_path(folder, key).c_str());
}

void fingerprint_sweep(const std::string& folder, int64_t before)
{
    remove_old_files(folder, before, [](const std::string& name) { return name[0] != '.'; });
}

std::string fingerprint_file(const std::string& folder, const std::string& path, const std::atomic<int>& cancel,
                             int64_t step)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string key = fingerprint_key(fd);
    Md5 m;
    md5_init(&m);
    int64_t at = 0;
    Md5 saved;
    if (fingerprint_load(folder, key, &saved) && lseek(fd, off_t(saved.length), SEEK_SET) == off_t(saved.length)) {
        m = saved;
        at = int64_t(saved.length);
    }
    int64_t kept = at;
    std::string buf(READ_PIECE, '\0');
    int ok = 1;
    // Bounded by the file's end; each pass reads something or stops.
    while (ok) {
        if (cancel.load()) {
            ok = 0;
            break;
        }
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n == 0) break;
        if (n < 0) {
            ok = 0;
            break;
        }
        md5_update(&m, buf.data(), std::size_t(n));
        at += n;
        if (at - kept >= step) {
            fingerprint_save(folder, key, m);
            kept = at;
        }
    }
    close(fd);
    if (ok) fingerprint_save(folder, key, m);  // also keeps a state in use from the sweep
    std::string digest = md5_final(&m);
    return ok ? digest : "";
}
