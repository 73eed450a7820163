// Running instances, by process number.
#include "instances.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int alive(pid_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace

std::string instances_folder()
{
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    if (run && *run) return std::string(run) + "/jox-instances/";
    return "/tmp/jox-" + std::to_string(getuid()) + "-instances/";
}

int instances_join(const std::string& folder)
{
    mkdir(folder.c_str(), 0700);
    int others = 0;
    DIR* dir = opendir(folder.c_str());
    // Bounded by the folder's entries.
    while (struct dirent* entry = dir ? readdir(dir) : nullptr) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (!end || *end || pid <= 0 || pid == getpid()) continue;
        if (alive(pid_t(pid))) ++others;
        else unlink((folder + entry->d_name).c_str());
    }
    if (dir) closedir(dir);
    int fd = open((folder + std::to_string(getpid())).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) close(fd);
    return others;
}

void instances_leave(const std::string& folder)
{
    unlink((folder + std::to_string(getpid())).c_str());
}
