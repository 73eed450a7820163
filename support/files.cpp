// File-system helpers: the working folder, the size-or-kind probe of a path,
// folder creation and file deletion, straight over POSIX calls.

#include "files.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// See header.
std::string current_directory()
{
    // getcwd wants a buffer large enough; grow it a bounded number of times.
    std::string dir;
    std::size_t size = 256;
    for (int attempt = 0; attempt < 12; attempt++, size *= 2) {
        dir.assign(size, '\0');
        if (getcwd(dir.data(), size) != nullptr) {
            dir.resize(dir.find('\0'));
            if (dir.empty() || dir.back() != '/') {
                dir += '/';
            }
            return dir;
        }
        if (errno != ERANGE) {
            break;
        }
    }
    // The working folder was removed or is out of reach: relative paths
    // built from this still name whatever is there now.
    return "./";
}

// See header.
int64_t file_size(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        return -1;
    }
    std::string p = path;
    if (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    struct stat st;
    if (stat(p.c_str(), &st) != 0) {
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        return -2;
    }
    if (!S_ISREG(st.st_mode)) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

// See header.
int create_directory(const char* path)
{
    if (path == nullptr) {
        return 0;
    }
    std::string p = path;
    // Linux keeps trailing blanks in names: a folder chosen as "Inbox " is
    // made as named, so only separators are dropped.
    while (!p.empty() && p.back() == '/') {
        p.pop_back();
    }
    if (p.empty()) {
        return 0;
    }
    return mkdir(p.c_str(), 0777) == 0 ? 1 : 0;
}

// See header.
std::string folder_absolute(const std::string& folder, const std::string& base)
{
    std::string dir = folder.empty() || folder[0] != '/' ? base + folder : folder;
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

// See header.
int delete_file(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    return unlink(path) == 0 ? 1 : 0;
}

int file_replace(const std::string& path, const std::string& text)
{
    std::string temp = path + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return 0;
    int ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (close(fd) != 0) ok = 0;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return 1;
    unlink(temp.c_str());
    return 0;
}

int remove_old_files(const std::string& folder, int64_t before, bool (*wanted)(const std::string& name))
{
    DIR* dir = folder.empty() ? nullptr : opendir(folder.c_str());
    if (!dir) return 0;
    int removed = 0;
    // Bounded by the folder's entries.
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name, path = folder + name;
        struct stat st;
        if (wanted(name) && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime < before &&
            unlink(path.c_str()) == 0)
            ++removed;
    }
    closedir(dir);
    return removed;
}
