// Starting programs and opening documents, folders and web addresses.
//
// Documents, folders and addresses go to xdg-open, which picks the user's
// default program. What xdg-open would hand to a program that runs it (a
// desktop entry, a script, anything marked or built as a program) is never
// given to it: a peer chooses a received file's name and bytes, and opening
// a file must not mean running it. A program is only ever started from a
// path; xdg-open is the one name looked up along PATH.
//
// A started program is detached: a double fork leaves it to init, so it
// never becomes our zombie and never dies with our session. The child closes
// every descriptor above the standard three on exec, so it never holds one of
// our sockets open after we let go of it. Whether the exec worked comes back
// over a close-on-exec pipe: the pipe closes silently on success, or carries
// the error number. Between fork and exec the children make only
// async-signal-safe calls; everything they need is built beforehand.

#include "launch.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
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

// The absolute path of the executable `name` along PATH, or "". Relative
// entries are passed over: they would name a folder below wherever we run,
// the received files among them.
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
        if (end > start && list[start] == '/') {
            const std::string candidate = list.substr(start, end - start) + "/" + name;
            if (launch_is_executable(candidate)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return "";
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

// Name endings that desktops open by running the file (or handing it to an
// interpreter or a compatibility layer), whatever its bits say.
const char* const launch_runnable_types[] = {
    "desktop", "sh", "bash", "csh", "ksh", "zsh", "fish", "command", "py", "pyw", "pl", "rb",
    "php", "lua", "tcl", "jar", "appimage", "run", "bin", "exe", "msi", "com", "bat", "cmd",
    "scr", "pif", "vbs", "ps1",
};

bool launch_has_runnable_type(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return false;
    }
    std::string type = path.substr(dot + 1);
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* known : launch_runnable_types) {
        if (type == known) {
            return true;
        }
    }
    return false;
}

// Looks at the file's first bytes for what makes a program of it, whatever
// its name: an interpreter line, an ELF or DOS header, a desktop entry.
// A file that cannot be read counts as one: showing its folder is harmless.
bool launch_has_runnable_content(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return true;
    }
    char head[4096];
    ssize_t got = -1;
    for (int i = 0; i < LAUNCH_RETRIES; i++) {
        got = read(fd, head, sizeof head);
        if (got >= 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);
    if (got < 0) {
        return true;
    }
    const std::string_view text(head, static_cast<std::size_t>(got));
    if (text.starts_with("#!") || text.starts_with("\x7F" "ELF") || text.starts_with("MZ")) {
        return true;
    }
    const std::string_view entry = "[Desktop Entry]";
    for (std::size_t at = text.find(entry); at != std::string_view::npos;
         at = text.find(entry, at + 1)) {
        if (at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r') {
            return true;
        }
    }
    return false;
}

// Hands `what` to xdg-open, run in `folder`.
LaunchResult launch_opener(const std::string& what, const std::string& folder, bool wait)
{
    const std::string opener = launch_search_path("xdg-open");
    if (opener.empty()) {
        return LAUNCH_FAILED;
    }
    return launch_start(opener, {opener, what}, folder, wait) ? LAUNCH_STARTED : LAUNCH_FAILED;
}

// The folder part of an absolute path, up to and including its last "/".
std::string launch_folder_of(const std::string& path)
{
    return path.substr(0, path.rfind('/') + 1);
}

bool launch_is_folder(const std::string& path)
{
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool launch_is_file(const std::string& path)
{
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Only addresses that open in a browser; another scheme may name a handler
// that runs something.
bool launch_is_web_address(const std::string& url)
{
    std::string scheme = url.substr(0, url.find(':'));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return launch_is_address(url) && (scheme == "http" || scheme == "https" || scheme == "file");
}

int launch_hook_call(const std::string& target, const char* parameters, const char* folder, int flags)
{
    return launch_hook(target.c_str(), parameters != nullptr ? parameters : "",
                       folder != nullptr ? folder : "", flags);
}

// Hands `what` to the opener, run in `folder`; with a test hook set, the hook
// gets `target` instead.
LaunchResult launch_open(const std::string& target, const std::string& what, const std::string& folder)
{
    if (launch_hook != nullptr) {
        return launch_hook_call(target, "", "", 0) != 0 ? LAUNCH_STARTED : LAUNCH_FAILED;
    }
    return launch_opener(what, folder, false);
}

}  // namespace

// See header.
void run_program_set_hook(RunProgramHook hook) { launch_hook = hook; }

// See header. Folders are not documents: they have a call of their own.
bool launch_is_runnable(const char* path)
{
    if (path == nullptr || !launch_is_file(path)) {
        return false;
    }
    struct stat st;
    if (stat(path, &st) != 0 || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) {
        return true;
    }
    return launch_has_runnable_type(path) || launch_has_runnable_content(path);
}

// See header.
LaunchResult launch_open_document(const char* path)
{
    const std::string name = path != nullptr ? path : "";
    if (!launch_is_file(name)) {
        return LAUNCH_MISSING;
    }
    if (launch_is_runnable(name.c_str())) {
        return LAUNCH_RUNNABLE;
    }
    // An absolute path can never be taken for one of the opener's options.
    const std::string what = launch_absolute(name);
    return launch_open(name, what, launch_folder_of(what));
}

// See header.
LaunchResult launch_open_folder(const char* path)
{
    const std::string name = path != nullptr ? path : "";
    if (!launch_is_folder(name)) {
        return LAUNCH_MISSING;
    }
    const std::string what = launch_absolute(name);
    return launch_open(name, what, what);
}

// See header.
LaunchResult launch_open_url(const char* url)
{
    const std::string address = url != nullptr ? url : "";
    if (!launch_is_web_address(address)) {
        return LAUNCH_MISSING;
    }
    return launch_open(address, address, "");
}

// See header.
LaunchResult launch_program(const char* path, const char* parameters, const char* folder, int flags)
{
    const std::string name = path != nullptr ? path : "";
    if (!launch_is_executable(name)) {
        return LAUNCH_MISSING;
    }
    if (launch_hook != nullptr) {
        return launch_hook_call(name, parameters, folder, flags) != 0 ? LAUNCH_STARTED : LAUNCH_FAILED;
    }
    std::vector<std::string> args{launch_absolute(name)};
    if (parameters != nullptr) {
        launch_split(parameters, args);
    }
    return launch_start(args[0], args, folder != nullptr ? folder : "", (flags & RUN_WAIT) != 0)
               ? LAUNCH_STARTED
               : LAUNCH_FAILED;
}

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

    if (launch_is_executable(name)) {
        std::vector<std::string> args{launch_absolute(name)};
        args.insert(args.end(), extra.begin(), extra.end());
        return launch_start(args[0], args, work, wait) ? 1 : 0;
    }
    // Not a program: open it with the user's default program, provided it is
    // there and would not be run by it. xdg-open takes the one target and no
    // parameters.
    if (launch_is_address(name)) {
        return launch_is_web_address(name) && launch_opener(name, work, wait) == LAUNCH_STARTED;
    }
    if (!launch_is_folder(name) && (!launch_is_file(name) || launch_is_runnable(name.c_str()))) {
        return 0;
    }
    const std::string what = launch_absolute(name);
    return launch_opener(what, work.empty() ? launch_folder_of(what) : work, wait) == LAUNCH_STARTED;
}
