// `jox send` and `jox receive`: the engine driven by poll(), with no window
// system at all. Questions are answered from the options or the terminal;
// what a person would have seen goes to stderr, results to stdout (receive)
// and one line per file (send). Peer text is made safe for the terminal.
#include "cli.h"

#include "engine.h"
#include "stored_settings.h"
#include "working_folder.h"

#include "failure_text.h"

#include "files.h"
#include "net.h"
#include "terminal_text.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct CliOptions {
    int port = 0;             // --port, 0 = from the settings
    std::string folder;       // --folder
    std::string name;         // --name
    int name_given = 0;
    int timeout = 0;          // --timeout, 0 = from the settings
    int idle_timeout = 120;   // --idle-timeout (receive)
    std::string workdir;      // --workdir
    int workdir_given = 0;
    std::string accept = "all";
    int once = 0;
    int no_extensions = 0;    // send: speak only the original protocol
};

const char* const cli_outcome_text[] = {
    "sent and confirmed", "declined by the receiver", "MD5 error reported by the receiver",
    "no answer in time", "the receiver is gone", "unreadable", "too large (2 GiB or more)",
    "stopped (interrupted)"};

int cli_signal_pipe[2] = {-1, -1};

void cli_on_signal(int)
{
    char one = 1;
    if (write(cli_signal_pipe[1], &one, 1) < 0) {
        // Full: the loop has a wake-up waiting already.
    }
}

void cli_say(const std::string& text)
{
    std::fprintf(stderr, "jox: %s\n", text.c_str());
}

int cli_usage_error(const std::string& text)
{
    cli_say(text + " (see jox --help)");
    return CLI_EXIT_USAGE;
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

// Reads the options both commands share, and the command's own; the other
// words are the command's operands. 0 on success, else the exit status.
int cli_parse(int argc, char** argv, int sending, CliOptions* o, std::vector<std::string>* operands)
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
            if (!cli_number(value, 1, 65535, &o->port)) return cli_usage_error("bad port: " + value);
        } else if (take("--timeout")) {
            if (!cli_number(value, 1, 3600, &o->timeout)) return cli_usage_error("bad timeout: " + value);
        } else if (take("--idle-timeout")) {
            if (!cli_number(value, 1, 86400, &o->idle_timeout))
                return cli_usage_error("bad idle timeout: " + value);
        } else if (take("--folder")) {
            if (value.empty()) return cli_usage_error("--folder needs a folder");
            o->folder = value;
        } else if (take("--name")) {
            o->name = value;
            o->name_given = 1;
        } else if (take("--workdir")) {
            if (value.empty()) return cli_usage_error("--workdir needs a folder");
            o->workdir = value;
            o->workdir_given = 1;
        } else if (!sending && take("--accept")) {
            if (value != "all" && value != "ask" && value != "none")
                return cli_usage_error("--accept takes all, ask or none");
            o->accept = value;
        } else if (!sending && a == "--once") {
            o->once = 1;
        } else if (sending && a == "--no-extensions") {
            o->no_extensions = 1;
        } else if (a == "--") {
            for (++i; i < argc; ++i) operands->push_back(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            return cli_usage_error("unknown option: " + a);
        } else {
            operands->push_back(a);
        }
    }
    if (!o->folder.empty()) {
        if (file_size(o->folder.c_str()) >= 0)
            return cli_usage_error("--folder names a file, not a folder: " + o->folder);
        if (o->folder[0] != '/') o->folder = current_directory() + o->folder;
    }
    return 0;
}

// A file that cannot be offered is refused before any call is placed.
int cli_check_file(const std::string& path)
{
    struct stat st;
    const char* problem = nullptr;
    if (stat(path.c_str(), &st) != 0) problem = "no such file";
    else if (S_ISDIR(st.st_mode)) problem = "is a folder";
    else if (!S_ISREG(st.st_mode)) problem = "not a regular file";
    else if (access(path.c_str(), R_OK) != 0) problem = "unreadable";
    if (problem) cli_say(path + ": " + problem);
    return problem == nullptr;
}

// The working folder, the settings and the signals; the engine's settings
// for this run. 0 (after saying why) when the working folder is unusable.
int cli_start(const CliOptions& o, EngineConfig* cfg)
{
    std::string tried;
    if (!enter_working_folder(o.workdir, &tried)) {
        cli_say("cannot use the working folder " + tried);
        return 0;
    }
    StoredSettings s;
    stored_settings_load(&s);
    cfg->port = o.port ? o.port : s.port;
    cfg->session.receive_folder = s.folder;
    if (!o.folder.empty()) {
        cfg->session.receive_folder = o.folder;
        if (o.folder.back() != '/') cfg->session.receive_folder += '/';
    }
    cfg->session.nickname = o.name_given ? o.name : s.nickname;
    cfg->session.timeout_seconds = o.timeout ? o.timeout : s.timeout_seconds;
    cfg->session.auto_accept = o.accept == "all";
    cfg->session.open_file = 0;
    cfg->session.working_folder = current_directory();
    cfg->host_name = net_host_name();
    if (pipe2(cli_signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return 0;
    struct sigaction sa = {};
    sa.sa_handler = cli_on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return 1;
}

// One turn of the host loop: waits for the engine's descriptors (and
// `extra`, when >= 0) until its next deadline, then hands back what became
// ready. 1 when the signal pipe or `extra` woke us (*interrupted, *extra_ready).
void cli_turn(Engine& engine, int extra, int* interrupted, int* extra_ready, int64_t limit)
{
    std::vector<pollfd> fds;
    int64_t now = engine_now_ms();
    engine.pollfds(&fds, now);
    const std::size_t ours = fds.size();
    fds.push_back({cli_signal_pipe[0], POLLIN, 0});
    if (extra >= 0) fds.push_back({extra, POLLIN, 0});
    int64_t deadline = engine.deadline(now);
    if (limit < deadline) deadline = limit;
    int wait = deadline == INT64_MAX ? -1 : deadline <= now ? 0 : int(deadline - now > 60000 ? 60000 : deadline - now);
    poll(fds.data(), fds.size(), wait);
    if (fds[ours].revents) {
        char buf[16];
        while (read(cli_signal_pipe[0], buf, sizeof buf) > 0) {
        }
        *interrupted = 1;
    }
    if (extra >= 0 && fds.back().revents) *extra_ready = 1;
    engine.polled(fds, ours, engine_now_ms());
}

// Lets the goodbye and our last bytes leave, for a moment at most.
void cli_flush(Engine& engine)
{
    int64_t until = engine_now_ms() + Engine::BYE_LIMIT;
    int ignored = 0, extra = 0;
    while (!engine.done() && engine_now_ms() < until) cli_turn(engine, -1, &ignored, &extra, until);
}

void cli_progress(const EngineEvent& e, int64_t* shown)
{
    if (e.total <= 0) return;
    const char* what = e.on ? "sending" : "receiving";
    int percent = int(e.done * 100 / e.total);
    double rate = e.seconds > 0.05 ? double(e.done - e.from) / e.seconds / 1048576.0 : 0;
    double left = rate > 0 ? double(e.total - e.done) / 1048576.0 / rate : 0;
    if (isatty(2)) {
        char bar[21];
        for (int i = 0; i < 20; ++i) bar[i] = i < percent / 5 ? '#' : '.';
        bar[20] = 0;
        std::fprintf(stderr, "\r%s [%s] %3d %%  %7.1f MB/s  %3d s left ", what, bar, percent, rate,
                     int(left + 0.5));
        if (e.done == e.total) std::fprintf(stderr, "\n");
    } else if (e.done < e.total && engine_now_ms() - *shown >= 1000) {
        std::fprintf(stderr, "jox: %s %d %% (%.1f MB/s)\n", what, percent, rate);
        *shown = engine_now_ms();
    }
}

// Events both commands show the same way.
void cli_show(const EngineEvent& e, int sending, int64_t* shown)
{
    switch (e.kind) {
    case EventKind::Status:
        if (!sending) cli_say(terminal_text(e.text));
        break;
    case EventKind::ChatLine:
        if (e.received) cli_say("chat: " + terminal_text(e.text));
        break;
    case EventKind::Progress:
        cli_progress(e, shown);
        break;
    case EventKind::Resuming:
        cli_say("resuming at " + std::to_string(e.total > 0 ? e.from * 100 / e.total : 0) + " % (" +
                std::to_string(e.from) + " of " + std::to_string(e.total) + " bytes there already)");
        break;
    case EventKind::Notice:
        if (e.code == NOTICE_FOLDER) cli_say("can't create the folder " + terminal_text(e.text));
        if (e.code == NOTICE_STORE) cli_say("can't store the file in " + terminal_text(e.text));
        if (e.code == NOTICE_PART_KEPT)
            cli_say("the incomplete file is kept as " + terminal_text(e.text) + "; sent again, it goes on from there");
        break;
    default:
        break;
    }
}

int cli_send(int argc, char** argv)
{
    CliOptions o;
    std::vector<std::string> operands;
    if (int bad = cli_parse(argc, argv, 1, &o, &operands)) return bad;
    if (operands.size() < 2) return cli_usage_error("send needs HOST[:PORT] and at least one FILE");
    std::string address = operands[0];
    std::vector<std::string> names(operands.begin() + 1, operands.end());
    std::vector<std::string> paths;  // absolute: start-up changes the current folder
    for (const std::string& f : names) {
        if (!cli_check_file(f)) return CLI_EXIT_USAGE;
        paths.push_back(f[0] == '/' ? f : current_directory() + f);
    }
    EngineConfig cfg;
    cfg.listen = 0;
    if (!cli_start(o, &cfg)) return CLI_EXIT_USAGE;
    // A receiver that says nothing more (no answer, no verdict) for this
    // long is not waited for.
    cfg.session.idle_limit_ms = int64_t(o.idle_timeout) * 1000;
    cfg.session.bye_when_sent = 1;
    // A sender takes nothing: every offer of the peer is declined.
    cfg.session.auto_accept = 0;
    cfg.session.extensions = !o.no_extensions;
    Engine engine;
    int64_t now = engine_now_ms();
    engine.start(cfg, now);
    engine.place_call(address, now);

    std::vector<int> outcome(paths.size(), OUTCOME_GONE);
    int went_live = 0, busy = 0, unreachable = 0, interrupted = 0, finished = 0;
    std::string why;  // how the call failed, in words
    int64_t shown = engine_now_ms();  // the first progress line after a second, not at once
    // Bounded by the engine's limits: every wait it has ends by itself.
    for (int turn = 0; !finished; turn = 1) {
        int extra = 0;
        // Events come first: placing the call may have ended it already.
        if (turn) cli_turn(engine, -1, &interrupted, &extra, INT64_MAX);
        if (interrupted) {
            engine.abandon(engine_now_ms());
            finished = 1;
        }
        EngineEvent e;
        while (engine.next_event(&e)) {
            cli_show(e, 1, &shown);
            if (e.kind == EventKind::CallState && e.code == PHASE_LIVE && !went_live) {
                went_live = 1;
                engine.send_paths(paths, engine_now_ms());
            } else if (e.kind == EventKind::Notice && e.code == NOTICE_BUSY) {
                busy = 1;
            } else if (e.kind == EventKind::Notice && (e.code == NOTICE_CANT_FIND || e.code == NOTICE_SELF)) {
                unreachable = 1;
                finished = 1;
                if (e.code == NOTICE_CANT_FIND) why = call_failure_text(e.index, address, cfg.port, e.seconds);
            } else if (e.kind == EventKind::OfferOutcome && e.index >= 0 && std::size_t(e.index) < outcome.size()) {
                outcome[std::size_t(e.index)] = e.code;
            } else if (e.kind == EventKind::Question && e.code != QUESTION_CHOOSE_FILES) {
                // A sender takes nothing: every offer of the peer is declined.
                engine.answer(e.qid, 0, engine_now_ms());
            } else if (e.kind == EventKind::SendDone) {
                engine.disconnect(engine_now_ms());
                finished = 1;
            } else if (e.kind == EventKind::CallEnded) {
                finished = 1;
            }
        }
    }
    cli_flush(engine);
    int status = CLI_EXIT_OK;
    if (!went_live || busy) {
        cli_say(busy          ? "the receiver's line is busy"
                : interrupted ? "interrupted"
                              : "can't reach " + terminal_text(address) + (why.empty() ? "" : ". " + terminal_text(why)));
        status = interrupted ? CLI_EXIT_INTERRUPTED : CLI_EXIT_NO_CALL;
        (void)unreachable;
        return status;
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        cli_say(names[i] + ": " + cli_outcome_text[outcome[i]]);
        if (outcome[i] != OUTCOME_DELIVERED) status = CLI_EXIT_FAILED;
    }
    if (interrupted) {
        cli_say("interrupted");
        status = CLI_EXIT_INTERRUPTED;
    }
    return status;
}

int cli_receive(int argc, char** argv)
{
    CliOptions o;
    std::vector<std::string> operands;
    if (int bad = cli_parse(argc, argv, 0, &o, &operands)) return bad;
    if (!operands.empty()) return cli_usage_error("receive takes no operands: " + operands[0]);
    EngineConfig cfg;
    cfg.listen = 1;
    if (!cli_start(o, &cfg)) return CLI_EXIT_USAGE;
    cfg.session.idle_limit_ms = int64_t(o.idle_timeout) * 1000;
    cfg.session.slow_limit_ms = 60000;
    Engine engine;
    if (!engine.start(cfg, engine_now_ms())) {
        cli_say("can't listen on port " + std::to_string(cfg.port) + ": " + std::strerror(engine.listen_error()));
        return CLI_EXIT_NO_CALL;
    }
    cli_say("listening on port " + std::to_string(engine.listening_port()) + ", storing in " +
            cfg.session.receive_folder);
    int interrupted = 0, cut = 0, receiving = 0, spoke = 0, done = 0;
    std::vector<EngineEvent> asking;  // questions for the terminal, oldest first
    int64_t shown = engine_now_ms();  // the first progress line after a second, not at once
    for (int turn = 0; !done; turn = 1) {
        int answered = 0;
        if (turn) cli_turn(engine, asking.empty() ? -1 : 0, &interrupted, &answered, INT64_MAX);
        if (answered && !asking.empty()) {
            char line[256];
            ssize_t n = read(0, line, sizeof line - 1);
            int yes = n > 0 && (line[0] == 'y' || line[0] == 'Y');
            engine.answer(asking.front().qid, yes, engine_now_ms());
            asking.erase(asking.begin());
            if (n <= 0) {
                // No terminal left to ask: decline whatever else is asked.
                for (const EngineEvent& q : asking) engine.answer(q.qid, 0, engine_now_ms());
                asking.clear();
                o.accept = "none";
            }
        }
        if (interrupted) {
            cut = receiving;
            if (receiving) cli_say("interrupted; the file being received is incomplete");
            else cli_say(engine.phase() == PHASE_LIVE ? "interrupted; hanging up" : "interrupted");
            engine.shutdown(engine_now_ms());
            done = 1;
        }
        EngineEvent e;
        while (engine.next_event(&e)) {
            cli_show(e, 0, &shown);
            if (e.kind == EventKind::Waiting && e.code == WAIT_KIND_RECEIVING) {
                receiving = e.on;
            } else if (e.kind == EventKind::PeerName) {
                spoke = 1;
            } else if (e.kind == EventKind::Stored) {
                spoke = 1;
                std::printf("%s %lld %s %s\n", terminal_text(e.path).c_str(), (long long)e.size, e.md5.c_str(),
                            e.good ? "ok" : "corrupted");
                std::fflush(stdout);
            } else if (e.kind == EventKind::Question) {
                spoke = 1;
                if (e.code == QUESTION_CHOOSE_FILES || o.accept != "ask") {
                    engine.answer(e.qid, 0, engine_now_ms());
                    continue;
                }
                std::string what = e.code == QUESTION_ACCEPT_IMAGE ? "Accept Image: " : "Accept File: ";
                std::fprintf(stderr, "%s%s %s [y/n] ", what.c_str(), terminal_text(e.name).c_str(),
                             terminal_text(e.size_text).c_str());
                std::fflush(stderr);
                asking.push_back(e);
            } else if (e.kind == EventKind::QuestionWithdrawn) {
                for (std::size_t i = 0; i < asking.size(); ++i)
                    if (asking[i].qid == e.qid) asking.erase(asking.begin() + long(i));
            } else if (e.kind == EventKind::CallEnded) {
                receiving = 0;
                // A bare connect and close (a port scan) is not a call.
                if (o.once && spoke) done = 1;
                spoke = 0;
            }
        }
    }
    cli_flush(engine);
    return cut ? CLI_EXIT_INTERRUPTED : CLI_EXIT_OK;
}

}  // namespace

int cli_main(int argc, char** argv)
{
    if (argc < 2) return -1;
    std::string command = argv[1];
    if (command == "send") return cli_send(argc - 2, argv + 2);
    if (command == "receive") return cli_receive(argc - 2, argv + 2);
    return -1;
}
