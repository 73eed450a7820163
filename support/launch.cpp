// Starting programs and opening documents, folders and web addresses.
//
// An executable file is started directly; anything else that exists, and any
// web address, goes to xdg-open, which picks the user's default program. A
// started program is detached: a double fork leaves it to init, so it never
// becomes our zombie and never dies with our session. The child closes every
// descriptor above the standard three on exec, so it never holds one of our
// sockets open after we let go of it. Whether the exec worked comes back over
// a close-on-exec pipe: the pipe closes silently on success, or carries the
// error number. Between fork and exec the children make only
// async-signal-safe calls; everything they need is built beforehand.

#include "launch.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

RunProgramHook launch_hook = nullptr;

// Bound for the retries of calls that a signal interrupts.
const int LAUNCH_RETRIES = 100000;

bool launch_is_blank(char c) { return c == ' ' || c == '\t'; }

void launch_split(const std::string& text, std::vector<std::string>& out)
{
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && launch_is_blank(text[i])) {
            i++;
        }
        std::size_t start = i;
        while (i < text.size() && !launch_is_blank(text[i])) {
            i++;
        }
        if (i > start) {
            out.push_back(text.substr(start, i - start));
        }
    }
}

std::string launch_absolute(const std::string& path)
{
    if (path.empty() || path[0] == '/') {
        return path;
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return path;
    }
    std::string dir = cwd;
    if (dir.back() != '/') {
        dir += '/';
    }
    return dir + path;
}

bool launch_is_executable(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The absolute path of the executable `name` along PATH, or "".
std::string launch_search_path(const std::string& name)
{
    const char* path_env = std::getenv("PATH");
    const std::string list = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        if (end > start) {
            const std::string candidate = list.substr(start, end - start) + "/" + name;
            if (launch_is_executable(candidate)) {
                return launch_absolute(candidate);
            }
        }
        start = end + 1;
    }
    return "";
}

// The absolute path of the program `name` names, or "" when it names none. A
// bare name is looked for in the working folder first, then along PATH.
std::string launch_find_program(const std::string& name)
{
    if (launch_is_executable(name)) {
        return launch_absolute(name);
    }
    if (name.find('/') != std::string::npos) {
        return "";
    }
    return launch_search_path(name);
}

// A web address or other URI: a scheme of two or more characters, then ":".
bool launch_is_address(const std::string& target)
{
    std::size_t i = 0;
    while (i < target.size() &&
           (std::isalnum(static_cast<unsigned char>(target[i])) || target[i] == '+' ||
            target[i] == '-' || target[i] == '.')) {
        i++;
    }
    return i >= 2 && i < target.size() && target[i] == ':' &&
           std::isalpha(static_cast<unsigned char>(target[0]));
}

// Child side: report `error` to the parent and end.
[[noreturn]] void launch_child_fail(int report_fd, int error)
{
    ssize_t ignored = write(report_fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Child side, after the fork: a clean signal state, the working folder, no
// inherited descriptors beyond 0 to 2, then the program.
[[noreturn]] void launch_child_exec(const char* program, char* const argv[], const char* folder,
                                    bool detach, int report_fd, int fd_limit)
{
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++) {
        sigaction(sig, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (detach) {
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd > 0) {
            dup2(null_fd, 0);
            close(null_fd);
        }
    }
    if (folder != nullptr && chdir(folder) != 0) {
        launch_child_fail(report_fd, errno);
    }
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < fd_limit; fd++) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    execve(program, argv, environ);
    launch_child_fail(report_fd, errno);
}

// Starts `program` with `args` (args[0] included) in `folder` ("" for ours).
// True when the program's exec succeeded; with `wait`, also waits for it.
bool launch_start(const std::string& program, const std::vector<std::string>& args,
                  const std::string& folder, bool wait)
{
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const char* dir = folder.empty() ? nullptr : folder.c_str();

    struct rlimit lim;
    int fd_limit = 1024;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
        fd_limit = lim.rlim_cur < 65536 ? static_cast<int>(lim.rlim_cur) : 65536;
    }

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (pid == 0) {
        close(report[0]);
        if (!wait) {
            // The middle process ends at once; its child is adopted by init.
            setsid();
            const pid_t grandchild = fork();
            if (grandchild < 0) {
                launch_child_fail(report[1], errno);
            }
            if (grandchild > 0) {
                _exit(0);
            }
        }
        launch_child_exec(program.c_str(), argv.data(), dir, !wait, report[1], fd_limit);
    }
    close(report[1]);

    // Ends when the program has been exec'd (pipe closed) or has reported.
    int error = 0;
    ssize_t got = -1;
    for (int i = 0; i < LAUNCH_RETRIES; i++) {
        got = read(report[0], &error, sizeof error);
        if (got >= 0 || errno != EINTR) {
            break;
        }
    }
    close(report[0]);
    for (int i = 0; i < LAUNCH_RETRIES; i++) {
        if (waitpid(pid, nullptr, 0) >= 0 || errno != EINTR) {
            break;
        }
    }
    return got == 0;
}

}  // namespace

// See header.
void run_program_set_hook(RunProgramHook hook) { launch_hook = hook; }

// See header.
int run_program(const char* target, const char* parameters, const char* folder, int flags)
{
    if (launch_hook != nullptr) {
        return launch_hook(target, parameters, folder, flags);
    }
    if (target == nullptr || target[0] == '\0') {
        return 0;
    }
    // A target that begins with a double quote carries its own quoting: the
    // quoted part is the target, anything after it leads the parameters.
    std::string name = target;
    std::vector<std::string> extra;
    if (name[0] == '"') {
        std::size_t close = name.find('"', 1);
        std::string rest = close == std::string::npos ? "" : name.substr(close + 1);
        name = name.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        launch_split(rest, extra);
    }
    if (parameters != nullptr) {
        launch_split(parameters, extra);
    }
    const std::string work = folder != nullptr ? folder : "";
    const bool wait = (flags & RUN_WAIT) != 0;

    const std::string program = launch_find_program(name);
    if (!program.empty()) {
        std::vector<std::string> args{program};
        args.insert(args.end(), extra.begin(), extra.end());
        if (launch_start(program, args, work, wait)) {
            return 1;
        }
    }

    // Not a program: open it with the user's default program, provided it is
    // there to open. xdg-open takes the one target and no parameters.
    std::string what = name;
    if (!launch_is_address(name)) {
        struct stat st;
        if (stat(name.c_str(), &st) != 0) {
            return 0;
        }
        what = launch_absolute(name);
    }
    const std::string opener = launch_search_path("xdg-open");
    if (opener.empty()) {
        return 0;
    }
    std::string open_folder = work;
    if (open_folder.empty() && !launch_is_address(name)) {
        open_folder = what.substr(0, what.rfind('/') + 1);
    }
    return launch_start(opener, {opener, what}, open_folder, wait) ? 1 : 0;
}
