// Parts of received files and their resume states.
#include "partial_file.h"

#include "files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char PARTIAL_SUFFIX[] = ".jox-part";
const char RESUME_SUFFIX[] = ".jox-resume";

namespace {

int ends_with(const std::string& s, const char* tail)
{
    std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// The name a part goes by: the file's own, unless a suffix would take it
// past the name limit; then its head and a fingerprint of the whole.
std::string part_base(const std::string& name)
{
    if (name.size() + sizeof RESUME_SUFFIX + 4 <= 255) return name;
    Md5 m;
    md5_init(&m);
    md5_update(&m, name.data(), name.size());
    return name.substr(0, 200) + "~" + md5_final(&m).substr(0, 16);
}

std::string state_path(const std::string& folder, const std::string& name)
{
    return folder + part_base(name) + RESUME_SUFFIX;
}

// The state file: a line of words, at most a few hundred bytes.
int read_state(const std::string& path, PartialState* s)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = 0;
    long long size = 0, mtime = 0, offset = 0;
    int used = 0;
    if (std::sscanf(buf, "jox-resume 1 %lld %lld %lld %n", &size, &mtime, &offset, &used) != 3 || used <= 0)
        return 0;
    std::string rest(buf + used);
    if (!rest.empty() && rest.back() == '\n') rest.pop_back();
    if (size < 0 || offset < 0 || offset > size || !md5_state_read(rest, &s->hash) ||
        s->hash.length != uint64_t(offset))
        return 0;
    s->size = size;
    s->mtime = mtime;
    s->offset = offset;
    return 1;
}

}  // namespace

int partial_reserved_name(const std::string& name)
{
    // The last: a state being replaced (see file_replace).
    return ends_with(name, PARTIAL_SUFFIX) || ends_with(name, RESUME_SUFFIX) ||
           ends_with(name, (std::string(RESUME_SUFFIX) + ".new").c_str());
}

std::string partial_path(const std::string& folder, const std::string& name)
{
    return folder + part_base(name) + PARTIAL_SUFFIX;
}

void partial_remove(const std::string& folder, const std::string& name)
{
    unlink(partial_path(folder, name).c_str());
    unlink(state_path(folder, name).c_str());
}

int partial_open(const std::string& folder, const std::string& name, int64_t size, int64_t mtime,
                 PartialState* state)
{
    std::string part = partial_path(folder, name);
    PartialState saved;
    if (read_state(state_path(folder, name), &saved) && saved.size == size && saved.mtime == mtime) {
        int fd = open(part.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= saved.offset &&
            ftruncate(fd, saved.offset) == 0 && lseek(fd, saved.offset, SEEK_SET) == saved.offset) {
            *state = saved;
            return fd;
        }
        if (fd >= 0) close(fd);
    }
    partial_remove(folder, name);
    *state = PartialState();
    state->size = size;
    state->mtime = mtime;
    md5_init(&state->hash);
    return open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
}

int partial_save(const std::string& folder, const std::string& name, const PartialState& state)
{
    char head[96];
    std::snprintf(head, sizeof head, "jox-resume 1 %lld %lld %lld ", static_cast<long long>(state.size),
                  static_cast<long long>(state.mtime), static_cast<long long>(state.offset));
    return file_replace(state_path(folder, name), head + md5_state_text(state.hash) + "\n");
}

int partial_sweep(const std::string& folder, int64_t before)
{
    return remove_old_files(folder, before, [](const std::string& name) { return partial_reserved_name(name) != 0; });
}
