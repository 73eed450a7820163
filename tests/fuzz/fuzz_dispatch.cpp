// Fuzz target: a stranger's whole side of a call, fed to the engine's
// session as bytes and time, with no sockets and no sleeps. Each input is
// played twice: against the answering side (offers asked about, the
// answers taken from the input) and against the calling side, which also
// offers a file of its own (and a picture with it on Send File) and accepts
// offers by itself.
// Aborts when a received file lands outside the received-files folder or
// is not a plain file there, when the session keeps asking for a tick it
// has no use for (a host would spin), or when anything but the goodbye
// goes out once the call ended.
//
// Input: items in turn. A byte below 0xF0 is the length of a chunk (0-239)
// that follows it (a short last chunk takes what is left) and arrives 2 ms
// after the item before. A byte of 0xF0 or more is a step: 0xF0-0xF7 move
// the clock on by 0, 10, 100, 250, 500, 2000, 10000 or 30000 ms; 0xF8 flips
// the answer to questions (yes at first); 0xF9-0xFF are the user typing,
// clearing the line, sending a chat line, choosing Send File, stopping the
// transfer, hanging up, and the peer closing.
#include "md5.h"
#include "session.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Fixture {
    std::string dir;    // ends in "/"
    std::string inbox;  // the received-files folder, ends in "/"
    std::vector<std::string> ours;
    std::vector<std::string> md5s;
    std::vector<int64_t> sizes;
};

Fixture* fixture()
{
    static Fixture* f = [] {
        auto* x = new Fixture;
        char tmpl[] = "/tmp/jox-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        // One folder for the whole run, gone with the process.
        static std::string made = tmpl;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        x->dir = std::string(tmpl) + "/";
        x->inbox = x->dir + "inbox/";
        const std::pair<const char*, std::string> files[] = {{"out.txt", "hello world\n"},
                                                             {"p.jpg", "\xff\xd8\xff\xd9"}};
        for (const auto& [name, bytes] : files) {
            std::string path = x->dir + name;
            std::ofstream(path, std::ios::binary) << bytes;
            x->ours.push_back(path);
            x->md5s.push_back(md5_file(path.c_str()));
            x->sizes.push_back(int64_t(bytes.size()));
        }
        return x;
    }();
    return f;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_dispatch: %s\n", what);
    std::abort();
}

// The host's side: records what the session asks for and answers it on
// the next turn, so a question may be withdrawn before its answer comes.
struct Host : SessionHost {
    std::vector<EngineEvent> questions;
    std::vector<std::pair<int, std::string>> work;
    void emit(EngineEvent e) override
    {
        if (e.kind == EventKind::Question) questions.push_back(std::move(e));
    }
    void prepare(int ticket, const std::string& path, int) override { work.push_back({ticket, path}); }
};

struct Run {
    Host host;
    Session s;
    int64_t now = 0;
    int yes = 1;
    std::string after_end;  // bytes let go once the call had ended

    Run(const SessionConfig& cfg, int role) : s(cfg, role, 1, 0, &host) { s.start(0); }

    void answer()
    {
        const Fixture* f = fixture();
        std::vector<std::pair<int, std::string>> work;
        work.swap(host.work);
        for (const auto& [ticket, path] : work) {
            std::size_t i = path == f->ours[0] ? 0 : 1;
            s.prepared(ticket, f->md5s[i], f->sizes[i], i == 1 ? "PREVIEW" : "", now);
        }
        std::vector<EngineEvent> qs;
        qs.swap(host.questions);
        for (const EngineEvent& q : qs) {
            if (q.code == QUESTION_CHOOSE_FILES) s.answer_files(q.qid, yes ? f->ours : std::vector<std::string>{}, now);
            else s.answer(q.qid, yes, now);
        }
    }
    // After the end a call may still owe replies to what the peer said
    // before it (they went out at once on the wire of old), then its
    // goodbye; never a token or a frame of its own.
    static bool only_replies_then_bye(std::string rest)
    {
        const std::string notice = std::string("sent") + WIRE_CORRUPTED_NOTICE;
        for (bool took = true; took && !rest.empty();) {
            took = false;
            // The answers to a probe and to a stream's offer are replies too.
            if ((rest.compare(0, 12, "JXC1 OK ext=") == 0 || rest.compare(0, 17, "JXC1 ACCEPT from=") == 0) &&
                rest.find('\n') != std::string::npos) {
                rest.erase(0, rest.find('\n') + 1);
                took = true;
                continue;
            }
            for (const std::string& r : {notice, std::string("sent"), std::string("RF"), std::string("RM"),
                                        std::string("SD"), std::string("na"), std::string("a")}) {
                if (rest.compare(0, r.size(), r) == 0) {
                    rest.erase(0, r.size());
                    took = true;
                    break;
                }
            }
        }
        return rest.empty() || rest == wire_token_text(TOKEN_BYE);
    }
    // What a host does after each event: write what may go, tick when due.
    void settle()
    {
        for (int turn = 0; turn < 64; ++turn) {
            int was_ended = s.ended() != SESSION_LIVE;
            const char* data = nullptr;
            // A frame goes in pieces; our files are small.
            for (std::size_t n, i = 0; i < 4096 && (n = s.output(&data, now)) > 0; ++i) {
                if (was_ended) after_end.append(data, n);
                s.wrote(n, now);
            }
            if (!only_replies_then_bye(after_end))
                fail("bytes other than replies owed and the goodbye after the call ended");
            if (s.ended() != SESSION_LIVE || s.deadline(now) > now) return;
            s.tick(now);
        }
        fail("the session asks for a tick at once, again and again");
    }
};

void check_folders()
{
    const Fixture* f = fixture();
    DIR* d = opendir(f->dir.c_str());
    if (!d) std::abort();
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n != "inbox" && n != "out.txt" && n != "p.jpg") {
            std::fprintf(stderr, "stored outside the received-files folder: %s\n", n.c_str());
            std::abort();
        }
    }
    closedir(d);
    d = opendir(f->inbox.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string path = f->inbox + n;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111)) {
            std::fprintf(stderr, "not a plain file in the received-files folder: %s\n", n.c_str());
            std::abort();
        }
        unlink(path.c_str());  // keeps the folder small over a long run
    }
    closedir(d);
}

void play(const uint8_t* data, size_t size, int role)
{
    static const int64_t steps[] = {0, 10, 100, 250, 500, 2000, 10000, 30000};
    const Fixture* f = fixture();
    SessionConfig cfg;
    cfg.receive_folder = f->inbox;
    cfg.nickname = "fuzz";
    cfg.auto_accept = role == ROLE_CALLER;
    cfg.open_file = role == ROLE_ANSWERER;
    // The command line's limits on one side, none on the other.
    cfg.idle_limit_ms = role == ROLE_ANSWERER ? 120000 : 0;
    cfg.slow_limit_ms = role == ROLE_ANSWERER ? 60000 : 0;
    {
        Run r(cfg, role);
        // One file at first, so few steps reach the report; Send File offers both.
        if (role == ROLE_CALLER) r.s.send_paths({f->ours[0]}, 0);
        r.settle();
        size_t at = 0;
        while (at < size && r.s.ended() == SESSION_LIVE) {
            r.answer();
            uint8_t b = data[at++];
            if (b < 0xF0) {
                size_t len = b < size - at ? b : size - at;
                r.now += 2;
                r.s.feed(reinterpret_cast<const char*>(data + at), len, r.now);
                at += len;
            } else if (b < 0xF8) {
                r.now += steps[b & 7];
            } else {
                switch (b) {
                case 0xF8: r.yes = !r.yes; break;
                case 0xF9: r.s.typing(1, r.now); break;
                case 0xFA: r.s.typing(0, r.now); break;
                case 0xFB: r.s.chat("hi", r.now); break;
                case 0xFC: r.s.send_files(r.now); break;
                case 0xFD: r.s.abandon(r.now); break;
                case 0xFE: r.s.disconnect(r.now); break;
                default: r.s.peer_closed(r.now); break;
                }
            }
            r.settle();
        }
        r.answer();
        r.settle();
        r.s.peer_closed(r.now);
        r.settle();
    }
    check_folders();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    play(data, size, ROLE_ANSWERER);
    play(data, size, ROLE_CALLER);
    return 0;
}
