// End-to-end harness. See header.
#include "harness.h"

#include "app.h"
#include "app_test.h"
#include "launch.h"
#include "toolkit.h"
#include "working_folder.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using harness_clock = std::chrono::steady_clock;

struct HarnessState {
    std::string old_cwd;                         // where to return after a run
    int running = 0;                             // 1 between start and stop
    int ended = 0;                               // 1 once a pass ended the loop
    std::deque<std::function<bool()>> inside;    // steps run from the loops
    std::deque<int> answers;                     // next message-box answers
    std::vector<HarnessMessage> messages;        // every box shown
    std::vector<HarnessRun> runs;                // every run_program call
    int hold_boxes = 0;                          // 1: boxes stay open for real
};

HarnessState& hs()
{
    static HarnessState state;
    return state;
}

long long harness_elapsed_ms(harness_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(harness_clock::now() - since).count();
}

void harness_observe(const char* title, const char* text)
{
    hs().messages.push_back({title, text});
    if (hs().hold_boxes) return;
    int answer = IDOK;
    if (!hs().answers.empty()) {
        answer = hs().answers.front();
        hs().answers.pop_front();
    }
    ui_test_queue_message_answer(answer);
}

int harness_run_hook(const char* target, const char* parameters, const char*, int)
{
    hs().runs.push_back({target ? target : "", parameters ? parameters : ""});
    return 1;
}

void harness_loop_hook()
{
    // A bounded number of steps per pass; a step may add more.
    for (int i = 0; i < 4 && !hs().inside.empty(); ++i) {
        if (!hs().inside.front()()) break;
        hs().inside.pop_front();
    }
}

int harness_wait_fd(int fd, short events, int timeout_ms)
{
    pollfd p{fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

sockaddr_in harness_address(const char* ip, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

int harness_can_bind(const char* ip, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = harness_address(ip, port);
    int ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 1) == 0;
    close(fd);
    return ok;
}

// --- Watchdog ---------------------------------------------------------------------
// One thread, started with the first armed pass, that ends the test program
// when an armed pass outlives its deadline. Anything gentler (a failed
// expectation) would have to wait for the stuck pass to return.

// Four times the longest pass of a normal run (a wait for a silent peer that
// runs its 5 s course), even under the sanitizers; well inside a minute.
constexpr int HARNESS_PASS_LIMIT_MS = 20000;

struct Watchdog {
    std::mutex lock;
    std::condition_variable wake;
    int started = 0;
    int armed = 0;
    harness_clock::time_point deadline;
    std::string what;     // the test, the waiting caller and what it waits for
    std::string status;   // status text when the pass began
    int limit_ms = HARNESS_PASS_LIMIT_MS;
};

Watchdog& wd()
{
    // Never destroyed: its thread still waits on it while statics go away.
    static Watchdog* dog = new Watchdog;
    return *dog;
}

[[noreturn]] void watchdog_expire(const Watchdog& w)
{
    std::fprintf(stderr,
                 "\n[ WATCHDOG ] a pass did not return within %d ms\n"
                 "  waiting for: %s\n  status when the pass began: \"%s\"\n",
                 w.limit_ms, w.what.c_str(), w.status.c_str());
    std::fflush(stderr);
    // Read from this thread while the stuck one may still write it: done
    // last, so the lines above are out whatever this read does.
    std::fprintf(stderr, "  status now: \"%s\"\n", statusbar_get_text(0, 0).c_str());
    std::fflush(stderr);
    // No unwinding: the stuck thread holds the program's state.
    _exit(3);
}

void watchdog_thread()
{
    Watchdog& w = wd();
    std::unique_lock<std::mutex> held(w.lock);
    // Lives as long as the process; each turn either sleeps until armed or
    // until the armed deadline.
    for (;;) {
        if (!w.armed) {
            w.wake.wait(held);
        } else if (w.wake.wait_until(held, w.deadline) == std::cv_status::timeout && w.armed &&
                   harness_clock::now() >= w.deadline) {
            watchdog_expire(w);
        }
    }
}

// Arms the watchdog for the lifetime of the object; nested arms restore the
// outer one.
class WatchedPass {
public:
    explicit WatchedPass(const std::string& what)
    {
        std::string status = harness_status();
        Watchdog& w = wd();
        std::lock_guard<std::mutex> held(w.lock);
        if (!w.started) {
            std::thread(watchdog_thread).detach();
            w.started = 1;
        }
        outer_armed = w.armed;
        outer_what = w.what;
        outer_status = w.status;
        w.armed = 1;
        w.what = what;
        w.status = status;
        w.deadline = harness_clock::now() + std::chrono::milliseconds(w.limit_ms);
        w.wake.notify_one();
    }
    ~WatchedPass()
    {
        Watchdog& w = wd();
        std::lock_guard<std::mutex> held(w.lock);
        w.armed = outer_armed;
        w.what = outer_what;
        w.status = outer_status;
        w.deadline = harness_clock::now() + std::chrono::milliseconds(w.limit_ms);
        w.wake.notify_one();
    }
    WatchedPass(const WatchedPass&) = delete;
    WatchedPass& operator=(const WatchedPass&) = delete;

private:
    int outer_armed = 0;
    std::string outer_what, outer_status;
};

std::string watch_text(const char* what, const std::source_location& caller)
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string text = test ? std::string(test->test_suite_name()) + "." + test->name() : "(no test)";
    const char* file = std::strrchr(caller.file_name(), '/');
    text += std::string(" at ") + (file ? file + 1 : caller.file_name()) + ":" +
            std::to_string(caller.line());
    if (what && *what) text += std::string(": ") + what;
    return text;
}

}  // namespace

void harness_set_pass_limit(int ms)
{
    Watchdog& w = wd();
    std::lock_guard<std::mutex> held(w.lock);
    w.limit_ms = ms > 0 ? ms : HARNESS_PASS_LIMIT_MS;
}

// --- Folders, files, ports --------------------------------------------------

std::string harness_temp_dir(const char* tag)
{
    std::string pattern = std::string("/tmp/jox-") + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return "";
    return std::string(buf.data()) + "/";
}

void harness_remove_dir(const std::string& dir)
{
    if (dir.size() < 10 || dir.compare(0, 9, "/tmp/jox-") != 0) return;  // only our own
    DIR* d = opendir(dir.c_str());
    if (d) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string path = dir + (dir.back() == '/' ? "" : "/") + name;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) harness_remove_dir(path + "/");
            else unlink(path.c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

std::string harness_read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void harness_write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

int harness_port_taken(int port)
{
    return !harness_can_bind("0.0.0.0", port);
}

int harness_free_port()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = harness_address("0.0.0.0", 0);
        socklen_t len = sizeof a;
        int port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(fd);
        if (port && harness_can_bind("0.0.0.0", port)) return port;
    }
    return 0;
}

void harness_write_config(const std::string& dir, const HarnessConfig& c)
{
    std::string folder = c.folder.empty() ? dir + "Received Files/" : c.folder;
    harness_write_file(dir + "jox.cfg",
                       "Folder = " + folder + "\r\nIP = " + c.ip + "\r\nPort = " + std::to_string(c.port) +
                           "\r\nAuto Accept = " + c.auto_accept + "\r\nOpen File = " + c.open_file +
                           "\r\nTimeout = " + std::to_string(c.timeout) + "\r\nNickname = " + c.nickname +
                           "\r\n");
}

// --- The program in-process ---------------------------------------------------

int harness_app_start(const std::string& dir)
{
    HarnessState& s = hs();
    char cwd[4096];
    s.old_cwd = getcwd(cwd, sizeof cwd) ? cwd : "/tmp";
    if (!enter_working_folder(dir, nullptr)) return 0;
    s.ended = 0;
    s.hold_boxes = 0;
    s.inside.clear();
    s.answers.clear();
    s.messages.clear();
    s.runs.clear();
    ui_test_set_message_observer(harness_observe);
    run_program_set_hook(harness_run_hook);
    app_test_set_loop_hook(harness_loop_hook);
    int started;
    {
        WatchedPass watch(watch_text("program start-up", std::source_location::current()));
        started = app_startup();
    }
    if (!started) {
        int ignored = chdir(s.old_cwd.c_str());
        (void)ignored;
        return 0;
    }
    s.running = 1;
    return 1;
}

void harness_hold_boxes(int hold)
{
    hs().hold_boxes = hold;
}

void harness_app_stop()
{
    HarnessState& s = hs();
    if (!s.running) return;
    {
        WatchedPass watch(watch_text("program shutdown", std::source_location::current()));
        app_shutdown();
    }
    s.running = 0;
    s.inside.clear();
    app_test_set_loop_hook(nullptr);
    run_program_set_hook(nullptr);
    ui_test_set_message_observer(nullptr);
    int ignored = chdir(s.old_cwd.c_str());
    (void)ignored;
}

int pump_until(const std::function<bool()>& done, int timeout_ms, const char* what,
               std::source_location caller)
{
    auto start = harness_clock::now();
    const std::string watched = watch_text(what, caller);
    // Each pass waits at most ~50 ms when idle, so this bounds the passes too.
    for (long pass = 0; pass < 1000000; ++pass) {
        if (done()) return 1;
        if (hs().ended || harness_elapsed_ms(start) >= timeout_ms) break;
        WatchedPass watch(watched);
        if (!app_pass()) hs().ended = 1;
    }
    return done() ? 1 : 0;
}

void pump_for(int ms, std::source_location caller)
{
    pump_until([] { return false; }, ms, "time to pass", caller);
}

int harness_loop_ended()
{
    return hs().ended;
}

void harness_click(int control)
{
    QWidget* w = static_cast<QWidget*>(control_handle(control));
    if (w) QTest::mouseClick(w, Qt::LeftButton);
}

static void harness_focus(QWidget* w)
{
    QWidget* top = w->window();
    top->show();
    top->activateWindow();
    QApplication::setActiveWindow(top);
    w->setFocus(Qt::OtherFocusReason);
}

void harness_type(int control, const std::string& text)
{
    QWidget* w = static_cast<QWidget*>(control_handle(control));
    if (!w) return;
    harness_focus(w);
    QTest::keyClicks(w, QString::fromUtf8(text.c_str()));
}

void harness_press_return(int control)
{
    QWidget* w = static_cast<QWidget*>(control_handle(control));
    if (!w) return;
    harness_focus(w);
    QTest::keyClick(w, Qt::Key_Return);
}

void harness_close_window(int window)
{
    QWidget* w = static_cast<QWidget*>(window_handle(window));
    if (w) w->close();
}

void harness_inside(std::function<bool()> step)
{
    hs().inside.push_back(std::move(step));
}

int harness_inside_pending()
{
    return static_cast<int>(hs().inside.size());
}

std::vector<HarnessMessage>& harness_messages()
{
    return hs().messages;
}

void harness_answer_next(int button)
{
    hs().answers.push_back(button);
}

std::vector<HarnessRun>& harness_runs()
{
    return hs().runs;
}

std::string harness_status()
{
    return statusbar_get_text(0, 0);
}

// --- Raw protocol peer ----------------------------------------------------------

int raw_listen(const char* ip, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = harness_address(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int raw_accept(int listener, int timeout_ms)
{
    if (!harness_wait_fd(listener, POLLIN, timeout_ms)) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int raw_connect(const char* ip, int port, int timeout_ms)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in a = harness_address(ip, port);
    int r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r != 0 && errno == EINPROGRESS && harness_wait_fd(fd, POLLOUT, timeout_ms)) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err == 0 ? 0 : -1;
    }
    if (r != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int raw_send(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += static_cast<size_t>(n);
    }
    return 1;
}

std::string raw_read(int fd, size_t max, int timeout_ms)
{
    std::string out;
    auto start = harness_clock::now();
    while (out.size() < max) {
        long long left = timeout_ms - harness_elapsed_ms(start);
        if (left <= 0 || !harness_wait_fd(fd, POLLIN, static_cast<int>(left))) break;
        char buf[4096];
        size_t want = max - out.size() < sizeof buf ? max - out.size() : sizeof buf;
        ssize_t n = recv(fd, buf, want, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

int raw_expect(int fd, const std::string& expected, int timeout_ms, std::string* got)
{
    std::string in = raw_read(fd, expected.size(), timeout_ms);
    if (got) *got = in;
    return in == expected;
}

int raw_at_eof(int fd, int timeout_ms, std::string* extra)
{
    auto start = harness_clock::now();
    for (;;) {
        long long left = timeout_ms - harness_elapsed_ms(start);
        if (left <= 0 || !harness_wait_fd(fd, POLLIN, static_cast<int>(left))) return 0;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) return 1;
        if (n < 0) return 0;  // a reset is not an orderly end
        if (extra) extra->append(buf, static_cast<size_t>(n));
        else return 0;
    }
}

void raw_close(int fd)
{
    if (fd >= 0) close(fd);
}

// --- A second real instance -------------------------------------------------------

pid_t harness_spawn(const std::string& dir)
{
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env_text.push_back(*e);
    env_text.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> env;
    for (std::string& t : env_text) env.push_back(t.data());
    env.push_back(nullptr);

    char binary[] = JOX_BINARY;
    char workdir_option[] = "--workdir";
    std::string workdir = dir;
    char* argv[] = {binary, workdir_option, workdir.data(), nullptr};
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here: the parent has threads.
        // The child dies with this program whatever way it ends; the check
        // after arming covers a parent that died before the arming.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
        int null_in = open("/dev/null", O_RDONLY);
        if (null_in < 0 || dup2(null_in, 0) < 0) _exit(127);
        if (null_in != 0) close(null_in);
        execve(binary, argv, env.data());
        _exit(127);
    }
    return pid > 0 ? pid : -1;
}

int harness_wait_exit(pid_t pid, int timeout_ms, int* status)
{
    auto start = harness_clock::now();
    while (harness_elapsed_ms(start) < timeout_ms) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (status) *status = st;
            return 1;
        }
        if (r < 0) return 0;
        usleep(5000);
    }
    return 0;
}

void harness_stop(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (harness_wait_exit(pid, 3000, nullptr)) return;
    kill(pid, SIGKILL);
    harness_wait_exit(pid, 5000, nullptr);
}
