// What only a real window system shows: stacking, transient dialogs, the
// window manager's buttons, the work area and clicks from outside the
// program. The suite starts its own Xvfb with openbox on a free display and
// runs the program in-process on it; xdotool gives real input, xprop reads
// what the window manager decided. Without Xvfb or openbox it skips.
//
// JOX_SHOTS=<folder> also saves pictures of the screen at the moments tested
// (tools/screenshots.sh).
#include "harness.h"
#include "layouts.h"
#include "offers_harness_ext.h"
#include "desktop.h"
#include "state.h"
#include "toolkit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string x11_skip;                  // why the suite cannot run, "" when it can
std::string x11_notes_skip;            // why no notification service runs, "" when one does
pid_t x11_server = -1, x11_wm = -1;    // the processes we started
pid_t x11_bus = -1, x11_notifier = -1;

bool x11_have(const char* tool)
{
    std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// The server, the window manager and any other program started here die
// with the test process, however it ends (a crash, a watchdog abort).
pid_t x11_spawn(std::vector<std::string> args, int fd_for_3)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here: the parent has threads.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(127);
        int quiet = open("/dev/null", O_WRONLY);
        if (fd_for_3 >= 0 && fd_for_3 != 3 && dup2(fd_for_3, 3) < 0)
            _exit(127);
        if (quiet < 0 || dup2(quiet, 1) < 0 || dup2(quiet, 2) < 0)
            _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid > 0 ? pid : -1;
}

void x11_end(pid_t& pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 50 && waitpid(pid, nullptr, WNOHANG) == 0; i++)
        usleep(20000);
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

// Output of a short tool run against our display, bounded in time.
std::string x11_run(const std::string& cmd)
{
    std::string out;
    FILE* f = popen(("timeout 5 " + cmd + " 2>/dev/null").c_str(), "r");
    if (!f)
        return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f))
        out += buf;
    pclose(f);
    return out;
}

std::string x11_id(QWidget* w)
{
    char id[32];
    std::snprintf(id, sizeof id, "0x%lx", static_cast<unsigned long>(w->winId()));
    return id;
}

// Window ids in a root or window property, in their order.
std::vector<unsigned long> x11_ids(const std::string& prop_line)
{
    std::vector<unsigned long> ids;
    std::size_t at = prop_line.find('#');
    std::stringstream in(at == std::string::npos ? "" : prop_line.substr(at + 1));
    std::string item;
    while (std::getline(in, item, ','))
        ids.push_back(std::strtoul(item.c_str(), nullptr, 16));
    return ids;
}

// The xdotool click is a real click, from outside the program; Qt then
// sees it when the program next lets it run.
void x11_click_at(QPoint p)
{
    x11_run("xdotool mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y()) + " click 1");
}

// Where a window is on the server (its inner area), as the window manager
// placed it: the window found by xdotool's `search`, or the one `id` names.
QRect x11_geometry(const std::string& search, const std::string& id = "")
{
    std::string place = x11_run("xdotool " + search + " getwindowgeometry --shell " + id);
    auto value = [&](const char* key) {
        std::size_t at = place.find(key);
        return at == std::string::npos ? 0 : std::atoi(place.c_str() + at + std::strlen(key));
    };
    return QRect(value("X="), value("Y="), value("WIDTH="), value("HEIGHT="));
}

void x11_shot(const char* name, QRect area)
{
    const char* dir = std::getenv("JOX_SHOTS");
    if (!dir || !*dir)
        return;
    QScreen* screen = QGuiApplication::primaryScreen();
    QPixmap p = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    p.save(QString::fromUtf8(dir) + "/" + name, "PNG");
}

QWidget* x11_window(int n)
{
    return static_cast<QWidget*>(window_handle(n));
}

// The window is mapped and drawn on the server; false for none.
bool x11_exposed(QWidget* w)
{
    return w && w->windowHandle() && w->windowHandle()->isExposed();
}

// Lets the program run until `done` holds, while no loop of its own runs.
bool x11_settle(const std::function<bool()>& done, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        usleep(5000);
    }
    return true;
}

// Where the suite and what it starts keep their files: the build tree's
// test home, never the user's.
std::vector<std::pair<const char*, std::string>> x11_home_folders()
{
    const std::string home = JOX_TEST_HOME;
    return {{"HOME", home},
            {"XDG_CONFIG_HOME", home + "/.config"},
            {"XDG_CACHE_HOME", home + "/.cache"},
            {"XDG_RUNTIME_DIR", home + "/.run"}};
}

// The first line a started program writes on its fd 3, within 5 s.
std::string x11_fd3_line(int fd)
{
    std::string line;
    pollfd p{fd, POLLIN, 0};
    for (int waits = 0; waits < 50 && line.find('\n') == std::string::npos;) {
        if (poll(&p, 1, 100) <= 0) {
            waits++;
            continue;
        }
        char c;
        if (read(fd, &c, 1) != 1)
            break;
        line += c;
    }
    close(fd);
    return line.find('\n') == std::string::npos ? "" : line.substr(0, line.size() - 1);
}

// A session bus of our own and a real notification service on it (dunst,
// drawing its notifications on our display); a left click on one invokes
// its default action, as desktops do.
void x11_start_notifications()
{
    for (const char* tool : {"dbus-daemon", "dunst", "dunstctl"})
        if (!x11_have(tool)) {
            x11_notes_skip = std::string(tool) + " is not installed (tools/deps.sh installs it)";
            return;
        }
    int fds[2];
    if (pipe(fds) != 0)
        return void(x11_notes_skip = "no pipe");
    x11_bus = x11_spawn({"dbus-daemon", "--session", "--nofork", "--print-address=3"}, fds[1]);
    close(fds[1]);
    std::string address = x11_fd3_line(fds[0]);
    if (x11_bus < 0 || address.empty())
        return void(x11_notes_skip = "dbus-daemon did not start");
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    std::string config = std::string(JOX_TEST_HOME) + "/.config/dunstrc";
    std::ofstream(config) << "[global]\n    mouse_left_click = do_action, close_current\n    markup = full\n"
                             "    origin = top-right\n    offset = 10x40\n"
                             "[urgency_normal]\n    timeout = 0\n";
    x11_notifier = x11_spawn({"dunst", "-config", config}, -1);
    bool up = false;
    for (int i = 0; i < 100 && !up; i++) {
        up = x11_run("dunstctl is-paused").find("false") != std::string::npos;
        if (!up)
            usleep(50000);
    }
    if (!up)
        x11_notes_skip = "dunst did not start";
}

class X11Display : public ::testing::Environment {
public:
    void SetUp() override
    {
        // Before anything starts: openbox keeps its log in the cache folder,
        // Qt's file dialog its state in the config folder.
        for (const auto& [name, folder] : x11_home_folders()) {
            std::error_code ignored;
            std::filesystem::create_directories(folder, ignored);
            setenv(name, folder.c_str(), 1);
        }
        // Qt uses a runtime folder only when nobody else can read it.
        chmod(std::getenv("XDG_RUNTIME_DIR"), 0700);
        for (const char* tool : {"Xvfb", "openbox", "xdotool", "xprop"})
            if (!x11_have(tool)) {
                x11_skip = std::string(tool) + " is not installed (tools/deps.sh installs it)";
                return;
            }
        int fds[2];
        if (pipe(fds) != 0) {
            x11_skip = "no pipe";
            return;
        }
        // Xvfb picks a free display itself and names it on fd 3.
        x11_server = x11_spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                               fds[1]);
        close(fds[1]);
        std::string number = x11_fd3_line(fds[0]);
        if (x11_server < 0 || number.empty()) {
            x11_skip = "Xvfb did not start";
            return;
        }
        setenv("DISPLAY", (":" + number).c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        x11_wm = x11_spawn({"openbox", "--sm-disable"}, -1);
        bool wm = false;
        for (int i = 0; i < 100 && !wm; i++) {
            // The theme is named once openbox has finished starting; a window
            // mapped before that may be missed.
            wm = x11_run("xprop -root _OB_THEME").find("= \"") != std::string::npos;
            if (!wm)
                usleep(50000);
        }
        if (!wm)
            x11_skip = "openbox did not start";
        else
            x11_start_notifications();
    }
    void TearDown() override
    {
        x11_end(x11_notifier);
        x11_end(x11_bus);
        x11_end(x11_wm);
        x11_end(x11_server);
    }
};

const auto* x11_env = ::testing::AddGlobalTestEnvironment(new X11Display);

class X11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!x11_skip.empty())
            GTEST_SKIP() << x11_skip;
    }
};

TEST_F(X11, HelpersKeepOutOfTheUsersHome)
{
    for (pid_t pid : {x11_server, x11_wm}) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
        std::string env = '\0' + std::string(std::istreambuf_iterator<char>(in), {});
        for (const auto& [name, folder] : x11_home_folders())
            EXPECT_NE(env.find('\0' + std::string(name) + "=" + folder + '\0'), std::string::npos) << pid << " " << name;
    }
}

TEST_F(X11, OptionsStaysAboveTheMainWindowAndReturnIsOk)
{
    std::string dir = harness_temp_dir("x11-options");
    HarnessConfig config;
    config.port = harness_free_port();
    harness_write_config(dir, config);
    ASSERT_TRUE(harness_app_start(dir));
    QWidget* main = x11_window(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return main->isVisible() && x11_exposed(main); }, 5000));
    x11_shot("main-window.png", main->frameGeometry().adjusted(-4, -4, 4, 4));
    std::string stacking, transient, hints;
    unsigned long options_id = 0;
    bool returned = true;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    // Clicks the main window beside Options, reads what the window manager
    // did, then answers Options with Return from outside.
    harness_inside([&] {
        QWidget* options = x11_window(WINDOW_OPTIONS);
        if (!x11_exposed(options))
            return std::chrono::steady_clock::now() > give_up;
        options_id = options->winId();
        x11_click_at(main->frameGeometry().topLeft() + QPoint(20, 40));
        x11_settle([] { return false; }, 400);
        stacking = x11_run("xprop -root _NET_CLIENT_LIST_STACKING");
        transient = x11_run("xprop -id " + x11_id(options) + " WM_TRANSIENT_FOR");
        hints = x11_run("xprop -id " + x11_id(options) + " _MOTIF_WM_HINTS _NET_WM_ALLOWED_ACTIONS");
        x11_shot("options.png", main->frameGeometry().united(options->frameGeometry()).adjusted(-4, -4, 4, 4));
        x11_run("xdotool key Return");
        return true;
    });
    // Options holds the loop: if Return did not close it, OK is clicked
    // from inside after a while, so the test ends either way.
    harness_inside([&] {
        if (!x11_window(WINDOW_OPTIONS))
            return true;
        if (std::chrono::steady_clock::now() < give_up + std::chrono::seconds(3))
            return false;
        returned = false;
        harness_click(16);
        return true;
    });
    x11_click_at(static_cast<QWidget*>(control_handle(4))->mapToGlobal(QPoint(40, 34)));
    EXPECT_TRUE(pump_until([&] { return options_id && window_handle(WINDOW_OPTIONS) == nullptr; }, 10000));
    EXPECT_TRUE(returned) << "Options did not close on Return";
    std::vector<unsigned long> order = x11_ids(stacking);
    auto main_at = std::find(order.begin(), order.end(), main->winId());
    auto options_at = std::find(order.begin(), order.end(), options_id);
    ASSERT_NE(main_at, order.end()) << stacking;
    ASSERT_NE(options_at, order.end()) << stacking;
    EXPECT_GT(options_at, main_at) << "the click raised the main window over Options";
    EXPECT_NE(transient.find(x11_id(main)), std::string::npos) << transient;
    // Asked of every window manager: no minimize, no maximize (functions
    // 0x8 and 0x10). Openbox keeps its minimize button on every dialog
    // whatever it is told, and minimizes the main window with it.
    std::size_t functions = hints.find(", ");
    ASSERT_NE(functions, std::string::npos) << hints;
    EXPECT_EQ(std::strtoul(hints.c_str() + functions + 2, nullptr, 16) & 0x18, 0u) << hints;
    EXPECT_EQ(hints.find("MAXIMIZE"), std::string::npos) << hints;
    harness_app_stop();
    harness_remove_dir(dir);
}

// Sends big.bin (chosen beforehand) with Send File to a peer that takes it
// slowly, `observer` watching the progress; returns what the peer took, and
// in `closed` whether the program then closed the line with nothing more.
// The peer hangs up after the frame, so a transfer nobody stopped ends its
// wait too, and the test with it.
std::string x11_send_slowly(OfferCall& call, const std::string& body, void (*observer)(int), bool* closed = nullptr,
                            bool clicked = true)
{
    progress_set_observer(observer);
    std::string got;
    OfferPeer peer([&] {
        got = offers_accept_slowly(call.fd, "big.bin", body, 1 << 18, 40);
        if (closed)
            *closed = raw_at_eof(call.fd, 1000);
        shutdown(call.fd, SHUT_RDWR);
    });
    // A click on Send File makes the program the active one, as a user's
    // does; a transfer that starts without one leaves the focus alone.
    if (clicked)
        harness_click(6);
    else
        desktop_send_files();
    EXPECT_TRUE(offers_pump_peer(peer, 30000, [] { return app.idle == 1; }));
    progress_set_observer(nullptr);
    return got;
}

// What the progress observer saw of the strip it clicks.
struct X11Strip {
    int window = WINDOW_SENDING;
    QRect frame;            // the strip on the screen
    QRect area;             // the work area then
    bool clicked = false;   // its cancel button was clicked from outside
    std::chrono::steady_clock::time_point at;  // the click had reached the server
    long long stop_ms = -1;                    // from then until the strip was gone
};
X11Strip x11_strip;

// Clicks the strip's cancel button once the transfer is under way.
void x11_click_cancel(int window)
{
    auto* cancel = static_cast<QWidget*>(
        control_handle(window == WINDOW_SENDING ? CONTROL_SENDING_CANCEL : CONTROL_RECEIVING_CANCEL));
    QWidget* strip = x11_window(window);
    if (x11_strip.clicked || window != x11_strip.window || !x11_exposed(strip))
        return;
    x11_strip.clicked = true;
    x11_strip.frame = strip->frameGeometry();
    x11_strip.area = QGuiApplication::primaryScreen()->availableGeometry();
    if (!cancel)
        return;
    // The strip is deleted where the program acts on the click: the moment
    // is taken there, whatever the loop does before it next returns.
    QObject::connect(strip, &QObject::destroyed, [] {
        x11_strip.stop_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - x11_strip.at).count();
    });
    x11_click_at(cancel->mapToGlobal(cancel->rect().center()));
    x11_strip.at = std::chrono::steady_clock::now();
}

TEST_F(X11, StripStaysInTheWorkAreaAndItsCancelButtonAbandons)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-strip"));
    // A panel along the top of the screen, as a desktop has.
    QWidget panel(nullptr, Qt::Window | Qt::FramelessWindowHint);
    panel.setAttribute(Qt::WA_X11NetWmWindowTypeDock);
    panel.setGeometry(0, 0, 1024, 30);
    panel.show();
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(&panel); }, 5000));
    x11_run("xprop -id " + x11_id(&panel) +
            " -f _NET_WM_STRUT_PARTIAL 32c -set _NET_WM_STRUT_PARTIAL '0,0,30,0,0,0,0,0,0,1023,0,0'");
    ASSERT_TRUE(x11_settle([] { return QGuiApplication::primaryScreen()->availableGeometry().top() >= 30; }, 5000))
        << "the window manager did not make room for the panel";

    std::string dir = harness_temp_dir("x11-strip-src");
    std::string body = offers_body(16 << 20, 3);
    harness_write_file(dir + "big.bin", body);
    std::string path = dir + "big.bin";
    ui_test_queue_files_answer(&path, 1);
    x11_strip = X11Strip{};
    std::string got = x11_send_slowly(call, body, x11_click_cancel);
    EXPECT_TRUE(x11_strip.clicked);
    EXPECT_TRUE(x11_strip.area.contains(x11_strip.frame)) << "strip at " << x11_strip.frame.y();
    EXPECT_LT(got.size(), body.size()) << "the transfer ran to its end";
    EXPECT_EQ(harness_status(), "Disconnected.");
    harness_remove_dir(dir);
    offers_end(&call);
}

// What the strip had when the transfer was under way.
struct X11Focus {
    std::string strip;    // its window id, "" until it showed
    std::string active;   // the window manager's active window then
};
X11Focus x11_focus;

// Reads who has the focus once the strip shows, then presses Escape there.
void x11_escape_at_strip(int window)
{
    QWidget* strip = x11_window(window);
    if (!x11_focus.strip.empty() || window != WINDOW_SENDING || !x11_exposed(strip))
        return;
    x11_focus.strip = x11_id(strip);
    // The focus request crosses the window manager; give it a moment.
    for (int i = 0; i < 20 && x11_focus.active.find(x11_focus.strip) == std::string::npos; i++) {
        x11_settle([] { return false; }, 50);
        x11_focus.active = x11_run("xprop -root _NET_ACTIVE_WINDOW");
    }
    x11_run("xdotool key Escape");
}

// Answers the real file requester once it shows: `look` sees it first, then
// `path` goes into its name field, as if typed (it ignores selectFile while
// that field has the focus), and Return is pressed on the keyboard.
void x11_choose_when_shown(QTimer& chooser, const std::string& path,
                           const std::function<void(QFileDialog*)>& look = nullptr)
{
    QObject::connect(&chooser, &QTimer::timeout, [&chooser, path, look] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!x11_exposed(dialog))
            return;
        chooser.stop();
        if (look)
            look(dialog);
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(QString::fromStdString(path));
        x11_run("xdotool key Return");
    });
    chooser.start(50);
}

// A transfer started from jox (the file chosen in the real requester with a
// real Return) hides its main window behind the strip, and Escape must still
// reach it; started while another program has the focus, the strip leaves
// the focus there.
TEST_F(X11, StripTakesTheFocusOnlyFromTheProgram)
{
    for (bool elsewhere : {false, true}) {
        SCOPED_TRACE(elsewhere ? "another program has the focus" : "jox has the focus");
        OfferCall call;
        ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-focus"));
        QWidget* main = x11_window(WINDOW_MAIN);
        // The main window is mapped and focused first: mapped late, the
        // window manager would focus it after the other program.
        window_activate(WINDOW_MAIN);
        ASSERT_TRUE(x11_settle([&] { return x11_exposed(main) && main->isActiveWindow(); }, 5000));
        pid_t other = elsewhere ? x11_spawn({"xmessage", "elsewhere"}, -1) : -1;
        // The window manager decides, and the program hears of it later: Qt
        // names no focus window only a moment after the focus left it.
        ASSERT_TRUE(x11_settle([&] {
            std::string active = x11_run("xprop -root _NET_ACTIVE_WINDOW");
            bool ours = active.find(x11_id(main)) != std::string::npos;
            return elsewhere ? !ours && active.find("0x0") == std::string::npos &&
                                   active.find('#') != std::string::npos && !QGuiApplication::focusWindow()
                             : ours && main->isActiveWindow();
        }, 5000));
        std::string dir = harness_temp_dir("x11-focus-src");
        std::string body = offers_body(16 << 20, 5);
        harness_write_file(dir + "big.bin", body);
        std::string path = dir + "big.bin";
        QTimer chooser;
        if (elsewhere) {
            ui_test_queue_files_answer(&path, 1);
        } else {
            x11_choose_when_shown(chooser, path);
        }
        x11_focus = X11Focus{};
        std::string got = x11_send_slowly(call, body, x11_escape_at_strip, nullptr, !elsewhere);
        ASSERT_FALSE(x11_focus.strip.empty());
        EXPECT_EQ(x11_focus.active.find(x11_focus.strip) != std::string::npos, !elsewhere) << x11_focus.active;
        EXPECT_EQ(got.size() < body.size(), !elsewhere) << "Escape " << (elsewhere ? "reached" : "missed") << " the strip";
        x11_end(other);
        harness_remove_dir(dir);
        offers_end(&call);
    }
}

// What a whole transfer showed: the strip's second line once it told the
// time left, and where its file chooser stood.
struct X11Transfer {
    std::string detail;       // the strip's line under its picture
    std::string transient;    // the chooser's WM_TRANSIENT_FOR
    QPoint chooser_centre;    // the chooser's frame's centre on the screen
};
X11Transfer x11_transfer;

void x11_read_strip(int window)
{
    QWidget* strip = x11_window(window);
    std::string detail = control_get_text(PROGRESS_DETAIL);
    if (!x11_transfer.detail.empty() || !x11_exposed(strip) || detail.find(" left") == std::string::npos)
        return;
    x11_settle([] { return false; }, 150);  // painted on the server
    x11_transfer.detail = detail;
    x11_shot("transfer-strip.png", strip->frameGeometry().adjusted(-5, -5, 5, 5));
}

// The main window keeps its X window through a transfer (hidden behind the
// strip, then shown again), so taskbars and pictures of it keep track; the
// file chooser stands over it; the strip names the file and the time left.
TEST_F(X11, ATransferKeepsTheMainWindowAndItsChooserStandsOverIt)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-keeps"));
    QWidget* main = x11_window(WINDOW_MAIN);
    window_activate(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main) && main->isActiveWindow(); }, 5000));
    const std::string id = x11_id(main);
    std::string body = offers_body(16 << 20, 7);
    harness_write_file(call.dir + "big.bin", body);
    std::string path = call.dir + "big.bin";
    x11_transfer = X11Transfer{};
    const QPoint main_centre = x11_geometry("", id).center();
    QTimer chooser;
    x11_choose_when_shown(chooser, path, [&](QFileDialog* dialog) {
        // Read from the server, where the window manager placed it (under
        // load Qt's own idea of its frame may lag); at most 1 s on.
        x11_settle([&] {
            x11_transfer.chooser_centre = x11_geometry("", x11_id(dialog)).center();
            return (x11_transfer.chooser_centre - main_centre).manhattanLength() <= 40;
        }, 1000);
        x11_transfer.transient = x11_run("xprop -id " + x11_id(dialog) + " WM_TRANSIENT_FOR");
    });
    std::string got = x11_send_slowly(call, body, x11_read_strip);
    EXPECT_EQ(got, offers_frame(body));
    EXPECT_NE(x11_transfer.transient.find(id), std::string::npos) << x11_transfer.transient;
    EXPECT_LE((x11_transfer.chooser_centre - main_centre).manhattanLength(), 40)
        << "chooser centred at " << x11_transfer.chooser_centre.x() << "," << x11_transfer.chooser_centre.y();
    EXPECT_EQ(x11_transfer.detail.rfind("big.bin \xC2\xB7 0:0", 0), 0u) << x11_transfer.detail;
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main); }, 5000));
    EXPECT_EQ(x11_id(main), id);
    EXPECT_NE(x11_run("xprop -root _NET_CLIENT_LIST").find(id), std::string::npos) << "not managed again";
    offers_end(&call);
}

// Made larger by the window manager, as a user's drag on its border does,
// the main window gives the room to the chat log and the address field.
TEST_F(X11, TheMainWindowResizesAndTheChatLogGrowsWithIt)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-resize"));
    QWidget* main = x11_window(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main); }, 5000));
    for (const char* line : {"Bob: hello", "Bob: a window as large as you like"})
        ASSERT_TRUE(raw_send(call.fd, std::string("mMeSSageJOX") + line + "EeNdofMessageJOX"));
    ASSERT_TRUE(pump_until([&] { return main->height() == 363 && control_get_text(12).find("like") != std::string::npos; },
                           5000));
    x11_run("xdotool windowsize " + x11_id(main) + " 640 520");
    EXPECT_TRUE(x11_settle([&] { return main->size() == QSize(640, 520); }, 5000))
        << main->width() << "x" << main->height();
    auto* log = static_cast<QWidget*>(control_handle(12));
    auto* input = static_cast<QWidget*>(control_handle(13));
    EXPECT_EQ(log->geometry(), QRect(30, 235, 343 + 230, 56 + 157));
    EXPECT_EQ(input->geometry(), QRect(30, 294 + 157, 290 + 230, 20));
    x11_settle([] { return false; }, 200);
    x11_shot("resized.png", main->frameGeometry().adjusted(-4, -4, 4, 4));
    // Folded and opened again with "Chat Window", it comes back as large.
    harness_click(9);
    EXPECT_TRUE(pump_until([&] { return main->height() == 233; }, 3000));
    harness_click(9);
    EXPECT_TRUE(pump_until([&] { return main->height() == 520; }, 3000));
    // Maximized, it shows the chat; "Chat Window" folds it from its normal size.
    window_set_state(WINDOW_MAIN, STATE_MAXIMIZE);
    EXPECT_TRUE(pump_until([&] { return main->isMaximized() && app.chat_expanded == 1 && main->height() > 520; }, 3000));
    harness_click(9);
    EXPECT_TRUE(pump_until([&] { return !main->isMaximized() && main->height() == 233 && app.chat_expanded == 0; }, 3000))
        << main->height();
    offers_end(&call);
}

long long x11_ms_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

// Each side of a transfer, stopped with a real click on its strip's cancel
// button while the body moves.
TEST_F(X11, StripCancelStopsATransferUnderWayAtOnce)
{
    // Before: the old program acted on the click only once the transfer it was to stop had ended.
    const std::string corrupted = "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";
    for (int window : {WINDOW_RECEIVING, WINDOW_SENDING}) {
        SCOPED_TRACE(window == WINDOW_RECEIVING ? "receiving" : "sending");
        HarnessConfig config;
        config.auto_accept = "Yes";
        OfferCall call;
        ASSERT_TRUE(offers_call_program(&call, config, "x11-stop"));
        std::string body = offers_body(8 << 20, 11);
        x11_strip = X11Strip{};
        x11_strip.window = window;
        if (window == WINDOW_RECEIVING) {
            // The rest of the frame still comes; only then can the verdict.
            std::string verdict;
            progress_set_observer(x11_click_cancel);
            OfferPeer peer([&] {
                raw_send(call.fd, offers_file_offer("stopped.bin", body));
                raw_read(call.fd, 2, 3000);
                raw_send(call.fd, "SD");
                raw_read(call.fd, 1, 3000);
                offers_send_slowly(call.fd, offers_frame(body), 1 << 18, 50);
                verdict = raw_read(call.fd, 4 + corrupted.size(), 5000);
            });
            EXPECT_TRUE(offers_pump_peer(peer, 20000));
            progress_set_observer(nullptr);
            EXPECT_EQ(verdict, "sent" + corrupted);
            EXPECT_EQ(app.idle, 0);
            std::error_code none;
            EXPECT_TRUE(std::filesystem::is_empty(call.dir + "Received Files", none) || none) << "a file was kept";
        } else {
            // A frame cut short leaves the stream out of step, so the call ends there.
            harness_write_file(call.dir + "big.bin", body);
            std::string path = call.dir + "big.bin";
            ui_test_queue_files_answer(&path, 1);
            bool closed = false;
            std::string got = x11_send_slowly(call, body, x11_click_cancel, &closed);
            EXPECT_LT(got.size(), body.size() + 12) << "the transfer ran to its end";
            EXPECT_EQ(got, offers_frame(body).substr(0, got.size())) << "bytes other than the frame's";
            EXPECT_TRUE(closed) << "the line stayed open, or a token followed the partial frame";
            EXPECT_EQ(app.idle, 1);
        }
        EXPECT_TRUE(x11_strip.clicked);
        EXPECT_EQ(window_handle(window), nullptr);
        EXPECT_GE(x11_strip.stop_ms, 0) << "the strip outlived the test";
        EXPECT_LT(x11_strip.stop_ms, 200) << "click to stop";
        std::printf("[ figures  ] %s: click to stop %lld ms\n", window == WINDOW_RECEIVING ? "receiving" : "sending",
                    x11_strip.stop_ms);
        offers_end(&call);
    }
}

// Options runs a loop of its own; a peer must not wait for its OK.
TEST_F(X11, OptionsOpenStillAnswersThePeersTyping)
{
    // Before: the old program froze behind Options, and "RM" waited for its OK.
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-options-rm"));
    QWidget* main = x11_window(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main); }, 5000));
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    std::chrono::steady_clock::time_point sent;
    std::string rm;
    long long rm_ms = -1;
    bool open_throughout = true;
    harness_inside([&] {
        if (!x11_exposed(x11_window(WINDOW_OPTIONS)))
            return std::chrono::steady_clock::now() > give_up;
        sent = std::chrono::steady_clock::now();
        return raw_send(call.fd, "SendingMessageJOX") == 1;
    });
    // Read a little each pass of the Options loop, so the loop keeps running.
    harness_inside([&] {
        open_throughout = open_throughout && x11_window(WINDOW_OPTIONS);
        rm += raw_read(call.fd, 2 - rm.size(), 1);
        if (rm.size() < 2 && x11_ms_since(sent) < 2000)
            return false;
        rm_ms = x11_ms_since(sent);
        harness_click(16);
        return true;
    });
    auto* options_button = static_cast<QWidget*>(control_handle(4));
    x11_click_at(options_button->mapToGlobal(options_button->rect().center()));
    EXPECT_TRUE(pump_until([] { return !harness_inside_pending() && !window_handle(WINDOW_OPTIONS); }, 12000));
    EXPECT_EQ(rm, "RM");
    EXPECT_TRUE(open_throughout) << "Options closed before the answer";
    EXPECT_GE(rm_ms, 0);
    EXPECT_LT(rm_ms, 500) << "typing notice to \"RM\"";
    std::printf("[ figures  ] Options open: typing notice to \"RM\" %lld ms\n", rm_ms);
    EXPECT_EQ(app.idle, 0);
    offers_end(&call);
}

TEST_F(X11, MessageBoxIsWideEnoughForItsTitle)
{
    ASSERT_NE(ui_init(), 0);
    const char title[] = "JOX 1.05 build 6000";
    int width = 0, shown_tries = 0;
    QTimer look;
    // Measures the box once it is up, then answers it; gives up after 5 s.
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (++shown_tries > 100 || x11_exposed(box)) {
            if (box) {
                width = box->width();
                box->button(QMessageBox::Ok)->click();
            }
            look.stop();
        }
    });
    look.start(50);
    message_box(title, "Connected.", MB_OK);
    // Room for the title in the window manager's bold face, its icon and
    // three title-bar buttons.
    QFont bold = QApplication::font();
    bold.setBold(true);
    EXPECT_GE(width, QFontMetrics(bold).horizontalAdvance(title) + 100);
    ui_shutdown();
}

TEST_F(X11, WaitWindowIsPaintedWhileConnectingAndAClickAbandonsIt)
{
    // A listener whose queue is full: further attempts hear nothing back.
    int port = harness_free_port();
    int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(0x7f000003);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(silent, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::string dir = harness_temp_dir("x11-connect");
    HarnessConfig config;
    config.port = harness_free_port();
    harness_write_config(dir, config);
    ASSERT_TRUE(harness_app_start(dir));
    bool painted = false;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    harness_inside([&] {
        QWidget* wait = x11_window(WINDOW_WAIT);
        if (!x11_exposed(wait))
            return std::chrono::steady_clock::now() > give_up;
        painted = true;
        x11_shot("connecting.png", wait->frameGeometry().adjusted(-5, -5, 5, 5));
        x11_click_at(wait->frameGeometry().center());
        return true;
    });
    control_set_text(0, ("127.0.0.3:" + std::to_string(port)).c_str());
    auto start = std::chrono::steady_clock::now();
    harness_click(8);
    pump_until([] { return !harness_inside_pending() && window_handle(WINDOW_WAIT) == nullptr; }, 12000);
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    EXPECT_TRUE(painted);
    EXPECT_EQ(window_handle(WINDOW_WAIT), nullptr);
    EXPECT_EQ(app.idle, 1);
    EXPECT_LT(ms, 5000) << "the click did not end the attempt";
    harness_app_stop();
    harness_remove_dir(dir);
    for (int f : fillers) close(f);
    close(silent);
}

TEST_F(X11, ChatLogShowsTheNewestLineAfterALongOne)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-chat"));
    std::string long_line = "Bob: " + std::string(217, 'x');
    for (int i = 20; i < 217; i += 21)
        long_line[5 + i] = ' ';
    for (const std::string& line : {long_line, std::string("Bob: and a short one")})
        ASSERT_TRUE(raw_send(call.fd, "mMeSSageJOX" + line + "EeNdofMessageJOX"));
    ASSERT_TRUE(pump_until([] { return app.chat_expanded == 1 && control_get_text(12).find("short") != std::string::npos; },
                           5000));
    QWidget* main = x11_window(WINDOW_MAIN);
    pump_until([&] { return main->height() == 363; }, 3000);
    pump_for(300);
    auto* log = static_cast<QTextEdit*>(control_handle(12));
    EXPECT_EQ(log->horizontalScrollBar()->value(), 0);
    EXPECT_EQ(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
    x11_shot("chat.png", main->frameGeometry().adjusted(-4, -4, 4, 4));
    offers_end(&call);
}

}  // namespace

// A new user starts typing an address: the field has the focus when the
// window comes up, and Tab, pressed from outside as a user would, goes
// through the controls as one reads them.
TEST_F(X11, FocusStartsInTheAddressFieldAndTabGoesInReadingOrder)
{
    std::string dir = harness_temp_dir("x11-focus");
    HarnessConfig config;
    config.port = harness_free_port();
    harness_write_config(dir, config);
    ASSERT_TRUE(harness_app_start(dir));
    QWidget* main = x11_window(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main) && main->isActiveWindow(); }, 5000));
    const std::vector<int> reading = {0, 8, 7, 6, 9, 5, 4, 12, 13, 14};
    auto focused = [&] {
        for (int c : reading)
            if (QApplication::focusWidget() == control_handle(c)) return c;
        return -1;
    };
    EXPECT_EQ(focused(), 0);
    std::vector<int> visited;
    for (int i = 0; i < 3; i++) {
        int before = focused();
        x11_run("xdotool key Tab");
        x11_settle([&] { return focused() != before; }, 2000);
        visited.push_back(focused());
    }
    // Idle, only Place Call and Options are usable besides the field.
    EXPECT_EQ(visited, (std::vector<int>{8, 4, 0}));
    harness_app_stop();
    harness_remove_dir(dir);
}

namespace {

QMessageBox* x11_open_box()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            return box;
    return nullptr;
}

}  // namespace

// An offer that arrives while the user types in the chat takes no key meant
// for the chat: the Return that was to send the line does not answer
// "Accept File", which waits for a click (and asks to be looked at).
TEST_F(X11, AnOfferArrivingWhileTheUserTypesTakesNoKeys)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-typing"));
    harness_hold_boxes(1);  // a real box, answered by a real key or click
    QWidget* main = x11_window(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main) && main->isActiveWindow(); }, 5000));
    harness_click(9);  // the chat opens; its input takes the focus
    ASSERT_TRUE(pump_until([] { return QApplication::focusWidget() == control_handle(13); }, 3000));
    x11_run("xdotool type --delay 20 hello");
    ASSERT_TRUE(pump_until([] { return control_get_text(13) == "hello"; }, 3000));
    const std::string body = "hello\n";
    raw_send(call.fd, offers_file_offer("a.txt", body));
    // Our typing notice came first; then the offer's "RF".
    std::string seen;
    ASSERT_TRUE(pump_until([&] { return (seen += raw_read(call.fd, 64, 1)).find("RF") != std::string::npos; }, 3000))
        << seen;
    raw_send(call.fd, "SD");
    ASSERT_TRUE(pump_until([] { return x11_open_box() != nullptr; }, 3000));
    x11_run("xdotool key Return");
    // What the peer hears, less our typing notices (paced, they may come late).
    std::string heard;
    auto answer = [&] {
        heard += raw_read(call.fd, 64, 1);
        std::string rest = heard;
        for (const char* notice : {"CloseSendingMessageJOX", "SendingMessageJOX"})
            for (std::size_t at; (at = rest.find(notice)) != std::string::npos;)
                rest.erase(at, std::strlen(notice));
        return rest;
    };
    pump_until([&] { return !answer().empty(); }, 800);
    EXPECT_EQ(answer(), "") << "a key meant for the chat answered the offer";
    QMessageBox* box = x11_open_box();
    ASSERT_NE(box, nullptr);
    // Once the typing has stopped it takes the focus: the keyboard answers it.
    EXPECT_TRUE(x11_settle([&] { return box->isActiveWindow(); }, 3000));
    x11_run("xdotool key Escape");
    EXPECT_TRUE(pump_until([&] { return answer() == "na"; }, 3000)) << heard;
    offers_end(&call);
}

namespace {

// The notification service's own record of what it was told, once closed.
std::string x11_notes_history()
{
    x11_run("dunstctl close-all");
    return x11_run("dunstctl history");
}

int x11_notes_shown()
{
    return std::atoi(x11_run("dunstctl count displayed").c_str());
}

}  // namespace

// While the user is in another program, a chat line shows a desktop
// notification (its text as typed, not read as markup; a flood of lines
// changes one notification), and a click on it brings the main window
// forward. In jox, nothing is shown.
TEST_F(X11, ANotificationTellsWhatCameMeanwhileAndItsClickBringsJoxBack)
{
    if (!x11_notes_skip.empty())
        GTEST_SKIP() << x11_notes_skip;
    x11_notes_history();
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-notes"));
    QWidget* main = x11_window(WINDOW_MAIN);
    window_activate(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main) && main->isActiveWindow(); }, 5000));
    auto line = [&](const std::string& text) {
        ASSERT_TRUE(raw_send(call.fd, "mMeSSageJOX" + text + "EeNdofMessageJOX"));
        ASSERT_TRUE(pump_until([&] { return control_get_text(12).find(text) != std::string::npos; }, 3000));
    };
    line("Bob: seen here");
    pump_for(300);
    EXPECT_EQ(x11_notes_shown(), 0) << "told while jox was in front";

    pid_t other = x11_spawn({"xmessage", "elsewhere"}, -1);
    ASSERT_TRUE(x11_settle([&] { return !QGuiApplication::focusWindow() && !main->isActiveWindow(); }, 5000));
    for (int i = 0; i < 20; i++)
        line("Bob: line " + std::to_string(i));
    line("Bob: <b>bold</b> & <a href='x'>co</a>");
    pump_for(700);  // the last line comes after the half-second gap
    EXPECT_EQ(x11_notes_shown(), 1);
    std::string dunst = x11_run("xdotool search --classname Dunst");
    ASSERT_FALSE(dunst.empty());
    QRect note = x11_geometry("search --classname Dunst");
    x11_shot("notification.png", note.adjusted(-4, -4, 4, 4));
    x11_click_at(QPoint(note.center().x(), note.top() + 10));
    EXPECT_TRUE(pump_until([&] { return main->isActiveWindow(); }, 5000)) << "the click did not bring jox back";
    EXPECT_NE(x11_run("xprop -root _NET_ACTIVE_WINDOW").find(x11_id(main)), std::string::npos);
    std::string told = x11_notes_history();
    EXPECT_NE(told.find("Message from "), std::string::npos) << told;
    // The service reads markup: what would start it is sent as entities.
    EXPECT_NE(told.find("\"Bob: &lt;b&gt;bold&lt;/b&gt; &amp; &lt;a href='x'&gt;co&lt;/a&gt;\""), std::string::npos) << told;
    EXPECT_EQ(told.find("line 3"), std::string::npos) << "a notification for every line";
    x11_end(other);

    // An offer while the user is elsewhere again names the file and sender.
    other = x11_spawn({"xmessage", "elsewhere again"}, -1);
    ASSERT_TRUE(x11_settle([&] { return !QGuiApplication::focusWindow(); }, 5000));
    raw_send(call.fd, offers_file_offer("report.txt", "hello\n"));
    ASSERT_TRUE(pump_until([&] { return raw_read(call.fd, 2, 1) == "RF"; }, 3000));
    raw_send(call.fd, "SD");
    EXPECT_TRUE(pump_until([] { return x11_notes_shown() == 1; }, 3000));
    told = x11_notes_history();
    EXPECT_NE(told.find("Accept File?"), std::string::npos) << told;
    EXPECT_NE(told.find("report.txt ("), std::string::npos) << told;
    EXPECT_NE(told.find("From: "), std::string::npos) << told;
    x11_end(other);
    offers_end(&call);
}

// Files dragged from another program (a real XDND drag, made with the
// mouse) and dropped on the main window during a call are offered.
TEST_F(X11, FilesDraggedFromAnotherProgramAreOffered)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-drop"));
    QWidget* main = x11_window(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main); }, 5000));
    harness_write_file(call.dir + "dragged.txt", "dragged\n");
    QRect target = main->frameGeometry();
    int source_x = target.right() + 40, source_y = target.top() + 40;
    pid_t source = x11_spawn({JOX_DRAG_SOURCE, std::to_string(source_x), std::to_string(source_y),
                              call.dir + "dragged.txt"}, -1);
    ASSERT_TRUE(x11_settle([] { return !x11_run("xdotool search --name 'jox drag source'").empty(); }, 5000));
    x11_settle([] { return false; }, 300);  // placed and drawn
    QRect from_window = x11_geometry("search --name 'jox drag source'");
    QPoint from = from_window.topLeft() + QPoint(60, 40), to = main->mapToGlobal(QPoint(200, 150));
    auto move = [](QPoint p) { x11_run("xdotool mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y())); };
    // Each step is followed by a pause in which the program answers the
    // drag's messages, as it would between a user's movements.
    move(from);
    x11_run("xdotool mousedown 1");
    pump_for(200);
    for (int step = 1; step <= 4; step++) {
        move(from + (to - from) * step / 4);
        pump_for(150);
    }
    pump_for(200);
    x11_run("xdotool mouseup 1");
    std::string heard;
    const std::string offer = "SendingSeindingJOXFile" + offers_file_offer("dragged.txt", "dragged\n");
    EXPECT_TRUE(pump_until([&] { return (heard += raw_read(call.fd, 256, 1)).size() >= offer.size(); }, 5000));
    EXPECT_EQ(heard, offer);
    x11_end(source);
    offers_end(&call);
}

// Return, pressed on the keyboard, answers each offer question with the
// button drawn as its default: Yes.
TEST_F(X11, ReturnAnswersEachOfferQuestionWithItsDefault)
{
    // Before: "Accept Image?" took Return as No and showed no default; opened
    // just after a file's question, it did not even have the keyboard.
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, HarnessConfig{}, "x11-return"));
    harness_hold_boxes(1);
    QWidget* main = x11_window(WINDOW_MAIN);
    window_activate(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main) && main->isActiveWindow(); }, 5000));
    const std::string picture = harness_read_file(std::string(JOX_TEST_DATA) + "/pictures/jpeg/testorig.jpg");
    ASSERT_FALSE(picture.empty());
    for (bool image : {false, true}) {
        SCOPED_TRACE(image ? "Accept Image?" : "Accept File");
        const std::string body = image ? picture : "notes\n";
        raw_send(call.fd, image ? offers_image_offer("view.jpg", body) : offers_file_offer("notes.txt", body));
        ASSERT_TRUE(pump_until([&] { return raw_read(call.fd, 2, 1) == "RF"; }, 3000));
        raw_send(call.fd, image ? offers_frame(picture) : "SD");  // a picture's preview: itself
        ASSERT_TRUE(pump_until([&] {
            QWidget* asks = image ? x11_window(WINDOW_ACCEPT_IMAGE) : x11_open_box();
            return x11_exposed(asks) && asks->isActiveWindow();
        }, 5000));
        // Late focus requests (the last question's owner taking the focus
        // back) are over by then; before, the main window took it here, and
        // Return pressed the button that had its focus (Send File).
        pump_for(300);
        x11_run("xdotool key Return");
        std::string answer;
        EXPECT_TRUE(pump_until([&] { return !(answer += raw_read(call.fd, 1, 1)).empty(); }, 3000));
        ASSERT_EQ(answer, "a");
        raw_send(call.fd, offers_frame(body));
        EXPECT_TRUE(pump_until([&] { return (answer += raw_read(call.fd, 4, 1)).size() >= 5; }, 5000));
        EXPECT_EQ(answer, "asent");
    }
    offers_end(&call);
}

// Escape on the keyboard closes Options as Cancel: nothing typed is kept.
TEST_F(X11, EscapeClosesOptionsAndKeepsNothing)
{
    std::string dir = harness_temp_dir("x11-options-escape");
    HarnessConfig config;
    config.port = harness_free_port();
    harness_write_config(dir, config);
    ASSERT_TRUE(harness_app_start(dir));
    QWidget* main = x11_window(WINDOW_MAIN);
    ASSERT_TRUE(x11_settle([&] { return x11_exposed(main) && main->isActiveWindow(); }, 5000));
    const std::string before = harness_read_file(dir + "jox.cfg"), nickname = app.nickname;
    bool escaped = true;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    harness_inside([&] {
        QWidget* options = x11_window(WINDOW_OPTIONS);
        if (!x11_exposed(options) || !options->isActiveWindow())
            return std::chrono::steady_clock::now() > give_up;
        control_set_text(27, "Zed");
        x11_run("xdotool key Escape");
        return true;
    });
    // Options holds the loop: if Escape did not close it, Cancel does.
    harness_inside([&] {
        if (!x11_window(WINDOW_OPTIONS))
            return true;
        if (std::chrono::steady_clock::now() < give_up + std::chrono::seconds(3))
            return false;
        escaped = false;
        harness_click(CONTROL_OPTIONS_CANCEL);
        return true;
    });
    x11_click_at(static_cast<QWidget*>(control_handle(4))->mapToGlobal(QPoint(40, 34)));
    EXPECT_TRUE(pump_until([] { return !harness_inside_pending() && !window_handle(WINDOW_OPTIONS); }, 15000));
    EXPECT_TRUE(escaped) << "Options did not close on Escape";
    EXPECT_EQ(app.nickname, nickname);
    EXPECT_EQ(harness_read_file(dir + "jox.cfg"), before);
    harness_app_stop();
    harness_remove_dir(dir);
}
