// `jox send` and `jox receive`: the desktop program's own handlers, run with
// the windows offscreen and no sound, answering their questions from the
// options (or the terminal) and printing what a person would have seen.
// Offers, transfers, naming, checks and the busy line are the desktop's code;
// this file only starts it, feeds it and reports.
#include "cli.h"

#include "app.h"
#include "app_test.h"
#include "calls.h"
#include "digest_prefetch.h"
#include "front.h"
#include "handlers.h"
#include "layouts.h"
#include "offers.h"
#include "progress.h"
#include "state.h"
#include "working_folder.h"

#include "files.h"
#include "net.h"
#include "toolkit.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct CliOptions {
    int port = 0;             // --port, 0 = from the settings
    std::string folder;       // --folder
    std::string name;         // --name
    int name_given = 0;
    int timeout = 0;          // --timeout, 0 = from the settings
    std::string workdir;      // --workdir
    std::string accept = "all";
    int once = 0;
    std::string address;      // send: HOST or HOST:PORT
    std::vector<std::string> files;
};

CliOptions cli;
volatile sig_atomic_t cli_interrupted = 0;
int cli_busy = 0;         // the far side said its line is busy
int cli_unreachable = 0;  // the call could not be placed
int cli_calls = 0;        // calls taken by `receive`
int cli_image_asked = 0;  // the open "Accept Image?" window was answered
double cli_last_shown = -1;
std::vector<std::pair<std::string, int>> cli_results;  // send: path, outcome

const char* const cli_outcome_text[] = {
    "sent and confirmed", "declined by the receiver", "MD5 error reported by the receiver",
    "no answer in time", "the receiver is gone", "unreadable", "too large (2 GiB or more)"};

void cli_on_signal(int)
{
    cli_interrupted = 1;
}

// Ctrl-C reaches a wait inside a handler as the Escape key would.
void cli_loop_hook()
{
    if (cli_interrupted) ui_request_abandon();
}

int cli_number(const std::string& text, int low, int high, int* out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    int n = std::atoi(text.c_str());
    if (n < low || n > high) return 0;
    *out = n;
    return 1;
}

void cli_say(const std::string& text)
{
    std::fprintf(stderr, "jox: %s\n", text.c_str());
}

// Message-box texts break lines with "\r".
std::string cli_lines(const char* text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\r') c = '\n';
    return out;
}

int cli_ask_terminal(const std::string& question)
{
    std::fprintf(stderr, "%s [y/n] ", question.c_str());
    std::fflush(stderr);
    char line[64];
    if (!std::fgets(line, sizeof line, stdin)) return 0;
    return line[0] == 'y' || line[0] == 'Y';
}

// --- What the handlers would have shown -----------------------------------------

void cli_message(const char*, const char* text)
{
    std::string t = text;
    int answer = IDOK;
    if (t.rfind("Accept File:", 0) == 0) {
        answer = cli.accept == "ask" && cli_ask_terminal(cli_lines(text)) ? IDYES : IDNO;
    } else if (t.rfind("Do you wish to Open", 0) == 0) {
        answer = IDNO;
    } else if (t == "Server Already Connected With a User.") {
        cli_busy = 1;
    } else if (t.rfind("Can't find the Server", 0) == 0) {
        cli_unreachable = 1;
    } else if (t != "File Sent is Corrupted. (MD5 Error)") {
        cli_say(cli_lines(text));
    }
    ui_test_queue_message_answer(answer);
}

void cli_settings()
{
    if (cli.port) app.port = cli.port;
    if (!cli.folder.empty()) {
        app.receive_folder = cli.folder;
        if (app.receive_folder.back() != '/') app.receive_folder += '/';
    }
    if (cli.name_given) app.nickname = cli.name;
    if (cli.timeout) app.timeout_seconds = cli.timeout;
    app.auto_accept = cli.accept == "all" ? "Yes" : "No";
    app.open_file = "No";
}

void cli_status(const std::string& text)
{
    if (cli.files.empty()) cli_say(text);
}

void cli_chat(const std::string& line)
{
    // The receiver's verdict on the file just sent arrives as a chat line.
    if (line == "File Sent is Corrupted.  Re-Send it Again.") {
        for (auto it = cli_results.rbegin(); it != cli_results.rend(); ++it)
            if (it->second == OFFER_OUTCOME_DELIVERED) {
                it->second = OFFER_OUTCOME_CORRUPTED;
                break;
            }
        return;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

double cli_now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int cli_progress(int64_t done, int64_t total, double seconds, int sending)
{
    if (total > 0) {
        int percent = int(done * 100 / total);
        double rate = seconds > 0.05 ? double(done) / seconds / 1048576.0 : 0;
        double left = rate > 0 ? double(total - done) / 1048576.0 / rate : 0;
        if (isatty(2)) {
            char bar[21];
            for (int i = 0; i < 20; ++i) bar[i] = i < percent / 5 ? '#' : '.';
            bar[20] = 0;
            std::fprintf(stderr, "\r%s [%s] %3d %%  %7.1f MB/s  %3d s left ",
                         sending ? "sending" : "receiving", bar, percent, rate, int(left + 0.5));
            if (done == total) std::fprintf(stderr, "\n");
        } else if (done < total && cli_now() - cli_last_shown >= 1.0) {
            std::fprintf(stderr, "jox: %s %d %% (%.1f MB/s)\n", sending ? "sending" : "receiving",
                         percent, rate);
            cli_last_shown = cli_now();
        }
    }
    return cli_interrupted;
}

void cli_offered(const std::string& path, int outcome)
{
    cli_results.push_back({path, outcome});
}

void cli_stored(const std::string& path, int64_t size, const std::string& md5, int good)
{
    std::printf("%s %lld %s %s\n", path.c_str(), static_cast<long long>(size), md5.c_str(),
                good ? "ok" : "corrupted");
    std::fflush(stdout);
}

FrontEnd cli_front = {0, cli_settings, cli_status, cli_chat, cli_progress, cli_offered, cli_stored};

// The "Accept Image?" window is the one question that is not a message box.
void cli_answer_image_window()
{
    if (!window_handle(WINDOW_ACCEPT_IMAGE)) {
        cli_image_asked = 0;
        return;
    }
    if (cli_image_asked) return;
    cli_image_asked = 1;
    int yes = cli.accept == "ask" && cli_ask_terminal("Accept Image: " + app.offered_name + " ?");
    on_image_answer(yes ? 30 : 29);
}

// --- Options ---------------------------------------------------------------------

int cli_usage_error(const std::string& text)
{
    cli_say(text + " (see jox --help)");
    return CLI_EXIT_USAGE;
}

// Reads the options both commands share, and the command's own; the other
// words are the command's operands. 0 on success, else the exit status.
int cli_parse(int argc, char** argv, int sending, std::vector<std::string>* operands)
{
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        auto take = [&](const char* name) {
            std::string n = name;
            if (a == n && i + 1 < argc) {
                value = argv[++i];
                return true;
            }
            if (a.rfind(n + "=", 0) == 0) {
                value = a.substr(n.size() + 1);
                return true;
            }
            return false;
        };
        if (take("--port")) {
            if (!cli_number(value, 1, 65535, &cli.port)) return cli_usage_error("bad port: " + value);
        } else if (take("--timeout")) {
            if (!cli_number(value, 1, 3600, &cli.timeout)) return cli_usage_error("bad timeout: " + value);
        } else if (take("--folder")) {
            cli.folder = value;
        } else if (take("--name")) {
            cli.name = value;
            cli.name_given = 1;
        } else if (take("--workdir")) {
            cli.workdir = value;
        } else if (!sending && take("--accept")) {
            if (value != "all" && value != "ask" && value != "none")
                return cli_usage_error("--accept takes all, ask or none");
            cli.accept = value;
        } else if (!sending && a == "--once") {
            cli.once = 1;
        } else if (a == "--") {
            for (++i; i < argc; ++i) operands->push_back(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            return cli_usage_error("unknown option: " + a);
        } else {
            operands->push_back(a);
        }
    }
    if (!cli.folder.empty()) {
        if (file_size(cli.folder.c_str()) >= 0)
            return cli_usage_error("--folder names a file, not a folder: " + cli.folder);
        if (cli.folder[0] != '/') cli.folder = current_directory() + cli.folder;
    }
    return 0;
}

// A file that cannot be offered is refused before any call is placed.
int cli_check_file(const std::string& path)
{
    long long size = file_size(path.c_str());
    const char* problem = nullptr;
    if (size == -1) problem = "no such file";
    else if (size == -2) problem = "is a folder";
    else if (access(path.c_str(), R_OK) != 0) problem = "unreadable";
    else if (size >= 0x80000000LL) problem = "too large (2 GiB or more)";
    if (problem) cli_say(path + ": " + problem);
    return problem == nullptr;
}

int cli_start()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ui_set_quiet(1);
    std::string tried;
    if (!enter_working_folder(cli.workdir, &tried)) {
        cli_say("cannot use the working folder " + tried);
        return 0;
    }
    struct sigaction sa = {};
    sa.sa_handler = cli_on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    front_end = &cli_front;
    ui_test_set_message_observer(cli_message);
    app_test_set_loop_hook(cli_loop_hook);
    progress_set_display(0);
    if (app_startup()) return 1;
    cli_say("could not start");
    return 0;
}

// Passes until `done` holds or `ms` passed. A pass with nothing to do sleeps
// up to a quarter second, which would stretch these short waits well past
// their end; so while the call's socket is quiet we wait on it ourselves.
template <class Done>
void cli_pump(Done done, int ms)
{
    double end = cli_now() + ms / 1000.0;
    for (double now = cli_now(); !done() && now < end && !cli_interrupted; now = cli_now()) {
        // Tokens already read off the socket wait for a pass, not for the socket.
        int fd = app.idle || !app.peer_connection || net_peer_closed(app.peer_connection) ||
                         !app.pending_input.empty()
                     ? -1 : net_connection_fd(app.peer_connection);
        pollfd quiet = {fd, POLLIN, 0};
        if (fd >= 0 && poll(&quiet, 1, int((end - now) * 1000) + 1) == 0) continue;
        app_pass();
        cli_answer_image_window();
    }
}

int cli_send(int argc, char** argv)
{
    cli_front.listen = 0;
    std::vector<std::string> operands;
    if (int bad = cli_parse(argc, argv, 1, &operands)) return bad;
    if (operands.size() < 2) return cli_usage_error("send needs HOST[:PORT] and at least one FILE");
    cli.address = operands[0];
    cli.files.assign(operands.begin() + 1, operands.end());
    std::vector<std::string> paths;  // absolute: start-up changes the current folder
    for (const std::string& f : cli.files) {
        if (!cli_check_file(f)) return CLI_EXIT_USAGE;
        paths.push_back(f[0] == '/' ? f : current_directory() + f);
    }
    // The first offer waits for its fingerprint anyway: work them out while
    // the call is placed and the busy line has its moment to answer.
    digest_prefetch(paths);
    if (!cli_start()) {
        digest_prefetch_stop();
        return CLI_EXIT_FAILED;
    }

    control_set_text(0, cli.address.c_str());
    place_call();
    cli_pump([] { return app.idle == 0 || cli_unreachable; }, 15000);
    // A busy line answers at once; give its token a moment to arrive.
    cli_pump([] { return cli_busy || app.idle == 1; }, 200);
    int status = CLI_EXIT_OK;
    if (app.idle || cli_busy || cli_interrupted) {
        cli_say(cli_busy ? "the receiver's line is busy" : cli_interrupted ? "interrupted" : "can't reach " + cli.address);
        status = cli_interrupted ? CLI_EXIT_INTERRUPTED : CLI_EXIT_NO_CALL;
    } else {
        ui_test_queue_files_answer(paths.data(), int(paths.size()));
        send_files();
        // A verdict on the last file may still be on its way.
        // The receiver sends it right behind "sent" (jox in the same send),
        // so a moment is enough.
        cli_pump([] { return 0; }, 100);
        if (app.idle == 0) disconnect();
        for (std::size_t i = 0; i < paths.size(); ++i) {
            int outcome = OFFER_OUTCOME_GONE;
            for (auto& r : cli_results)
                if (r.first == paths[i]) outcome = r.second;
            cli_say(cli.files[i] + ": " + cli_outcome_text[outcome]);
            if (outcome != OFFER_OUTCOME_DELIVERED) status = CLI_EXIT_FAILED;
        }
        if (cli_interrupted) {
            cli_say("interrupted");
            status = CLI_EXIT_INTERRUPTED;
        }
    }
    app_shutdown();
    digest_prefetch_stop();
    return status;
}

int cli_receive(int argc, char** argv)
{
    cli_front.listen = 1;
    std::vector<std::string> operands;
    if (int bad = cli_parse(argc, argv, 0, &operands)) return bad;
    if (!operands.empty()) return cli_usage_error("receive takes no operands: " + operands[0]);
    if (!cli_start()) return CLI_EXIT_FAILED;
    if (net_server_port(0) == 0) {
        cli_say("can't listen on port " + std::to_string(app.port));
        app_shutdown();
        return CLI_EXIT_NO_CALL;
    }
    cli_say("listening on port " + std::to_string(net_server_port(0)) + ", storing in " + app.receive_folder);
    int was_idle = 1;
    while (!cli_interrupted) {
        if (!app_pass()) break;
        cli_answer_image_window();
        if (was_idle && !app.idle) ++cli_calls;
        was_idle = app.idle;
        if (cli.once && cli_calls > 0 && app.idle) break;
    }
    if (cli_interrupted) cli_say(app.idle ? "interrupted" : "interrupted; hanging up");
    if (!app.idle) disconnect();
    app_shutdown();
    return CLI_EXIT_OK;
}

}  // namespace

const FrontEnd* front_end = nullptr;

void front_offered(const std::string& path, int outcome)
{
    if (front_end && front_end->offered) front_end->offered(path, outcome);
}

void front_stored(const std::string& path, int64_t size, const std::string& md5, int good)
{
    if (front_end && front_end->stored) front_end->stored(path, size, md5, good);
}

int cli_main(int argc, char** argv)
{
    if (argc < 2) return -1;
    std::string command = argv[1];
    if (command == "send") return cli_send(argc - 2, argv + 2);
    if (command == "receive") return cli_receive(argc - 2, argv + 2);
    return -1;
}
