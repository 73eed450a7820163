// Hostile peers against the command line: the real `jox send` and `jox
// receive` run as child processes with no display, against a raw peer on
// loopback that speaks exact bytes. Each row is a fault an earlier command
// line had; its comment says why the row fails where the fault is.
#include "harness.h"
#include "md5.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

const std::string CORRUPTED = "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";
const std::string HELLO = "hello\n";
// ESC [ 2 J, an OSC title ended by BEL, a C1 CSI, CR LF, a right-to-left override.
const std::string NASTY = "\x1b[2J\x1b]0;x\x07\xc2\x9b\r\n\xe2\x80\xae";
constexpr auto npos = std::string::npos;

std::string md5_of(const std::string& bytes)
{
    Md5 m;
    md5_init(&m);
    md5_update(&m, bytes.data(), bytes.size());
    return md5_final(&m);
}

std::string offer_text(const std::string& name, const std::string& body)
{
    return "NAMEJOX" + name + "SIZEJOXsizejox" + std::to_string(body.size()) + "MD5JOX" + md5_of(body);
}

std::string frame(const std::string& body)
{
    std::string h = "PBMGSFLE";
    for (int i = 0; i < 4; ++i) h += char((body.size() >> (8 * i)) & 0xff);
    return h + body;
}

// Every file under `folder`, by path, bounded by the tree.
std::vector<std::string> files_under(const std::string& folder)
{
    std::vector<std::string> found;
    DIR* d = opendir(folder.c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
        std::string n = e->d_name, path = folder + "/" + n;
        struct stat st;
        if (n == "." || n == ".." || lstat(path.c_str(), &st) != 0) continue;
        std::vector<std::string> inner = S_ISDIR(st.st_mode) ? files_under(path) : std::vector<std::string>{path};
        found.insert(found.end(), inner.begin(), inner.end());
    }
    if (d) closedir(d);
    return found;
}

// A raw peer's connection, closed when it goes out of scope. Our own sends
// give up after 5 s, so a peer that stops reading cannot hang the test.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f)
    {
        timeval t{5, 0};
        if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    }
    ~Fd() { raw_close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    operator int() const { return fd; }
};

// A `jox` child: stopped (TERM, then KILL) and reaped when let go.
struct Jox {
    pid_t pid = -1;
    std::string out, err;
    ~Jox() { stop(); }
    void stop() { harness_stop(std::exchange(pid, -1)); }
    // The exit status within `ms`; -1 while it still runs.
    int finish(int ms)
    {
        int st = 0;
        if (pid <= 0 || !harness_wait_exit(pid, ms, &st)) return -1;
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    int running()
    {
        if (pid <= 0) return 0;
        pid_t w = waitpid(pid, nullptr, WNOHANG);
        if (w == pid) pid = -1;
        return w == 0;
    }
    std::string stdout_text() const { return harness_read_file(out); }
    std::string stderr_text() const { return harness_read_file(err); }
    long rss_kb() const
    {
        std::string s = harness_read_file("/proc/" + std::to_string(pid) + "/status");
        std::size_t at = s.find("VmRSS:");
        return at == npos ? -1 : std::atol(s.c_str() + at + 6);
    }
};

class CliHostile : public ::testing::Test {
protected:
    std::string dir = harness_temp_dir("cli-hostile");
    int port = harness_free_port();
    std::vector<std::unique_ptr<Jox>> kids;

    ~CliHostile() override { kids.clear(), harness_remove_dir(dir); }
    std::string addr() const { return "127.0.0.1:" + std::to_string(port); }

    // `jox ARGS` with a working folder `tag`/ of its own, no display, and a
    // home inside our folder, so whatever it stores stays where we look.
    // `fsize` caps the files it writes, as a full disk would.
    Jox& spawn(const std::string& tag, std::vector<std::string> args, rlim_t fsize = 0)
    {
        kids.push_back(std::make_unique<Jox>());
        Jox& j = *kids.back();
        std::string work = dir + tag + "/", home = dir + "home";
        mkdir(work.c_str(), 0700);
        mkdir(home.c_str(), 0700);
        j.out = dir + tag + ".out";
        j.err = dir + tag + ".err";
        std::vector<std::string> env_text;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("DISPLAY=", 0) && v.rfind("WAYLAND_DISPLAY=", 0) && v.rfind("QT_QPA_PLATFORM=", 0) &&
                v.rfind("HOME=", 0) && v.rfind("XDG_", 0) && v.rfind("JOX_HOME=", 0))
                env_text.push_back(v);
        }
        env_text.push_back("HOME=" + home);
        env_text.push_back("XDG_CONFIG_HOME=" + home + "/.config");
        args.insert(args.begin() + 1, {"--workdir", work});
        args.insert(args.begin(), JOX_BINARY);
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        for (std::string& e : env_text) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out = open(j.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int err = open(j.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const char* cwd = work.c_str();
        const pid_t parent = getpid();
        pid_t pid = fork();
        if (pid == 0) {
            // Async-signal-safe calls only; the child dies with the test.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
            if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd) != 0) _exit(127);
            if (fsize) {
                rlimit r{fsize, fsize};
                if (setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(127);
                signal(SIGXFSZ, SIG_IGN);  // writes past the cap fail with EFBIG instead
            }
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(in);
        close(out);
        close(err);
        j.pid = pid;
        EXPECT_GT(pid, 0);
        return j;
    }
    // `jox receive` on our port, storing into `tag`/in/, once it listens.
    Jox& receiver(const std::string& tag, std::vector<std::string> extra = {}, rlim_t fsize = 0)
    {
        std::vector<std::string> args = {"receive", "--port", std::to_string(port), "--folder", dir + tag + "/in"};
        args.insert(args.end(), extra.begin(), extra.end());
        Jox& r = spawn(tag, args, fsize);
        for (int i = 0; i < 500 && r.stderr_text().find("listening on port") == npos; ++i) usleep(10000);
        EXPECT_NE(r.stderr_text().find("listening on port"), npos) << r.stderr_text();
        return r;
    }
    // A raw caller that named itself; the nickname ends where its send ends.
    int call(const std::string& nick = "raw")
    {
        int fd = raw_connect("127.0.0.1", port, 2000);
        EXPECT_GE(fd, 0);
        raw_send(fd, "JOXNICKNAMEIS" + nick);
        usleep(150000);
        return fd;
    }
    // Whatever the call is doing, another caller is turned away at once.
    void expect_busy()
    {
        Fd other(raw_connect("127.0.0.1", port, 2000));
        EXPECT_TRUE(raw_expect(other, "JOXBusy", 500));
    }
    // A raw sender's offer, taken by automatic acceptance.
    void offer(int fd, const std::string& name, const std::string& body)
    {
        raw_send(fd, offer_text(name, body));
        EXPECT_TRUE(raw_expect(fd, "RF", 3000));
        raw_send(fd, "SD");
        EXPECT_TRUE(raw_expect(fd, "a", 3000));
    }
    // The raw receiver of `jox send`: the call, the selecting notice, the first offer.
    int answer_call(int listener, const std::string& first_offer)
    {
        int fd = raw_accept(listener, 5000);
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(raw_expect(fd, "JOXNICKNAMEIS", 3000));
        EXPECT_TRUE(raw_expect(fd, "SendingSeindingJOXFile", 3000));
        EXPECT_TRUE(raw_expect(fd, first_offer, 5000));
        return fd;
    }
    // The raw receiver takes the offered file, up to its last byte.
    void take(int fd, const std::string& body)
    {
        raw_send(fd, "RF");
        EXPECT_TRUE(raw_expect(fd, "SD", 3000));
        raw_send(fd, "a");
        EXPECT_TRUE(raw_expect(fd, frame(body), 5000));
    }
};

}  // namespace

TEST_F(CliHostile, ReceiveServesOthersAndCtrlCWhileACallStalls)
{
    struct Row { const char* name; std::function<void(int)> stall; int rss; } rows[] = {
        // Before: a header's limit restarted on every byte and the read held the one thread.
        {"trickled frame header", [&](int fd) {
             offer(fd, "t.txt", HELLO);
             for (char c : std::string("PB")) {
                 raw_send(fd, std::string(1, c));
                 usleep(300000);
             }
         }, 0},
        // Before: each "RM" went out blocking while the peer read none, freezing the program.
        {"typing flood, replies unread", [&](int fd) {
             std::string hundred;
             for (int i = 0; i < 100; ++i) hundred += "SendingMessageJOX";
             for (int i = 0; i < 50; ++i) raw_send(fd, hundred);
         }, 1},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Jox& r = receiver("r" + std::to_string(n++));
        Fd fd(call());
        ASSERT_GE(fd, 0);
        long before = r.rss_kb();
        row.stall(fd);
        expect_busy();
        if (row.rss) {
            usleep(300000);
            long after = r.rss_kb();
            EXPECT_GT(before, 0);
            EXPECT_LT(after - before, 20 * 1024) << before << " kB before, " << after << " kB after";
        }
        if (!row.rss) raw_send(fd, "M");  // still trickling when Ctrl-C comes
        kill(r.pid, SIGINT);
        EXPECT_EQ(r.finish(1000), 0) << r.stderr_text();
        EXPECT_NE(r.stderr_text().find("interrupted"), npos) << r.stderr_text();
    }
}

TEST_F(CliHostile, ReceiveEndsSilentAndTrickledCalls)
{
    Jox& r = receiver("r", {"--idle-timeout", "1"});
    struct Row { const char* name; std::string trickle; } rows[] = {
        // Before: a call that said nothing was held for ever.
        {"silent", ""},
        // Before: the limit restarted on every byte, so a trickle was never cut.
        {"trickled chat token", "mMeSSageJOXnever ends"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fd fd(raw_connect("127.0.0.1", port, 2000));
        ASSERT_GE(fd, 0);
        int ended = 0;
        std::string said;
        // Twelve turns of 300 ms: the call must end within about 3.6 s.
        for (std::size_t i = 0; i < 12 && !ended; ++i) {
            if (i < row.trickle.size()) raw_send(fd, row.trickle.substr(i, 1));
            ended = raw_at_eof(fd, 300, &said);
        }
        EXPECT_TRUE(ended) << "read: " << said;
    }
    // It listens on: the next call is served.
    Fd fd(call());
    raw_send(fd, "SendingMessageJOX");
    EXPECT_TRUE(raw_expect(fd, "RM", 3000));
    EXPECT_TRUE(r.running()) << r.stderr_text();
}

TEST_F(CliHostile, SendGivesUpOnAReceiverThatFallsSilent)
{
    harness_write_file(dir + "a.txt", HELLO);
    struct Row { const char* name; int takes_frame; } rows[] = {
        // Before: after "RF" the sender waited for "a"/"na" without limit.
        {"no answer after RF", 0},
        // Before: after the frame it waited for "sent" without limit.
        {"no sent after the frame", 1},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fd l(raw_listen("127.0.0.1", port));
        ASSERT_GE(l, 0);
        Jox& s = spawn("s" + std::to_string(n++), {"send", "--no-extensions", "--idle-timeout", "1", addr(), dir + "a.txt"});
        Fd fd(answer_call(l, offer_text("a.txt", HELLO)));
        raw_send(fd, "RF");
        EXPECT_TRUE(raw_expect(fd, "SD", 3000));
        if (row.takes_frame) {
            raw_send(fd, "a");
            EXPECT_TRUE(raw_expect(fd, frame(HELLO), 3000));
        }
        EXPECT_EQ(s.finish(3500), 1) << s.stderr_text();
        std::string err = s.stderr_text();
        EXPECT_TRUE(err.find("a.txt: no answer in time") != npos || err.find("a.txt: the receiver is gone") != npos)
            << err;
    }
}

TEST_F(CliHostile, ReceiveReadsUnitsSplitAcrossReads)
{
    struct Row { const char* name; int offer; std::vector<std::string> pieces; int gap_ms; const char* reply; } rows[] = {
        // Before: a header split inside its magic lost the file and the rest was read as tokens.
        {"frame header split after 1, 4 and 7 bytes", 1,
         {"P", "BMG", "SFL", std::string("E\x06\0\0\0", 5) + HELLO}, 100, "sent"},
        // Before: a chat token without its end mark held every later token.
        {"unfinished chat line, then a typing notice", 0, {"mMeSSageJOXhi", "SendingMessageJOX"}, 300, "RM"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string tag = "r" + std::to_string(n++);
        Jox& r = receiver(tag);
        Fd fd(call());
        ASSERT_GE(fd, 0);
        if (row.offer) offer(fd, "split.txt", HELLO);
        for (const std::string& piece : row.pieces) {
            raw_send(fd, piece);
            usleep(row.gap_ms * 1000);
        }
        EXPECT_TRUE(raw_expect(fd, row.reply, 3000));
        if (row.offer) {
            EXPECT_EQ(harness_read_file(dir + tag + "/in/split.txt"), HELLO);
            EXPECT_NE(r.stdout_text().find(dir + tag + "/in/split.txt 6 " + md5_of(HELLO) + " ok\n"), npos)
                << r.stdout_text();
        }
        r.stop();  // the next row's receiver takes the port
    }
}

// Before: peer text reached the terminal raw, and a chat line with LF put a
// result line of its choosing on stdout.
TEST_F(CliHostile, PeerTextCannotDriveTheTerminalOrForgeAResult)
{
    Jox& r = receiver("r", {"--once"});
    {
        Fd fd(call("nick" + NASTY));
        ASSERT_GE(fd, 0);
        raw_send(fd, "mMeSSageJOXraw: line" + NASTY + "\n/tmp/x 1 abc ok\nEeNdofMessageJOX");
        usleep(150000);
        offer(fd, "f" + NASTY + ".txt", HELLO);
        raw_send(fd, frame(HELLO));
        EXPECT_TRUE(raw_expect(fd, "sent", 3000));
    }
    EXPECT_EQ(r.finish(5000), 0) << r.stderr_text();
    std::string out = r.stdout_text(), err = r.stderr_text();
    // The three texts were shown, or there is nothing to judge.
    EXPECT_NE(err.find("Connected with nick"), npos) << err;
    EXPECT_NE(err.find("chat: raw: line"), npos) << err;
    for (const char* bad : {"\x1b", "\x07", "\r", "\xc2\x9b", "\xe2\x80\xae"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(bad)));
        EXPECT_EQ(out.find(bad), npos) << out;
        EXPECT_EQ(err.find(bad), npos) << err;
    }
    // Only the stored file's line is on stdout.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(out.rfind(dir + "r/in/f", 0), 0u) << out;
    EXPECT_NE(out.find(".txt 6 " + md5_of(HELLO) + " ok\n"), npos) << out;
    EXPECT_EQ(out.find("/tmp/x"), npos) << out;
}

// Before: `jox send` took and stored a file its receiver offered to it.
TEST_F(CliHostile, SendDeclinesAFilePushedToIt)
{
    harness_write_file(dir + "a.txt", HELLO);
    const std::string pushed = "pushed-by-peer.txt", body = "not yours\n";
    Fd l(raw_listen("127.0.0.1", port));
    ASSERT_GE(l, 0);
    Jox& s = spawn("s", {"send", "--no-extensions", "--timeout", "3", addr(), dir + "a.txt"});
    Fd fd(answer_call(l, offer_text("a.txt", HELLO)));
    ASSERT_GE(fd, 0);
    raw_send(fd, offer_text(pushed, body));
    EXPECT_TRUE(raw_expect(fd, "RF", 3000));
    raw_send(fd, "SD");
    std::string answer = raw_read(fd, 2, 1000);
    EXPECT_EQ(answer, "na");
    if (answer == "a") {
        // Taken: the body goes, to show where it would land.
        raw_send(fd, frame(body));
        EXPECT_TRUE(raw_expect(fd, "sent", 3000));
    }
    take(fd, HELLO);
    raw_send(fd, "sent");
    EXPECT_EQ(s.finish(6000), 0) << s.stderr_text();
    EXPECT_NE(s.stderr_text().find("a.txt: sent and confirmed"), npos) << s.stderr_text();
    // Not in its working (and current) folder, its home, nor anywhere else of ours.
    for (const char* where : {"s", "home"})
        for (const std::string& f : files_under(dir + where)) EXPECT_EQ(f.find(pushed), npos) << f;
}

TEST_F(CliHostile, SendTakesAVerdictThatTrailsSent)
{
    harness_write_file(dir + "a.txt", HELLO);
    harness_write_file(dir + "b.txt", "second\n");
    // Before: a notice 100 ms or more after "sent" was missed (exit 0), and
    // with two files it was taken for the next "RF" and the second was lost.
    for (int two : {0, 1}) {
        SCOPED_TRACE(two ? "two files" : "one file");
        Fd l(raw_listen("127.0.0.1", port));
        ASSERT_GE(l, 0);
        std::vector<std::string> args = {"send", "--no-extensions", "--timeout", "3", addr(), dir + "a.txt"};
        if (two) args.push_back(dir + "b.txt");
        Jox& s = spawn("s" + std::to_string(two), args);
        Fd fd(answer_call(l, offer_text("a.txt", HELLO)));
        ASSERT_GE(fd, 0);
        take(fd, HELLO);
        raw_send(fd, "sent");
        usleep(300000);
        raw_send(fd, CORRUPTED);
        if (two) {
            EXPECT_TRUE(raw_expect(fd, offer_text("b.txt", "second\n"), 3000));
            take(fd, "second\n");
            raw_send(fd, "sent");
        }
        EXPECT_EQ(s.finish(6000), 1) << s.stderr_text();
        std::string err = s.stderr_text();
        EXPECT_NE(err.find("a.txt: MD5 error reported by the receiver"), npos) << err;
        if (two) {
            EXPECT_NE(err.find("b.txt: sent and confirmed"), npos) << err;
        }
    }
}

// Before: `receive --once` ended on a bare connect-and-close.
TEST_F(CliHostile, ReceiveOnceOutlastsAPortScan)
{
    harness_write_file(dir + "a.txt", HELLO);
    Jox& r = receiver("r", {"--once"});
    { Fd scan(raw_connect("127.0.0.1", port, 2000)); ASSERT_GE(scan, 0); }
    usleep(500000);
    EXPECT_TRUE(r.running()) << r.stderr_text();
    Jox& s = spawn("s", {"send", addr(), dir + "a.txt"});
    EXPECT_EQ(s.finish(10000), 0) << s.stderr_text();
    EXPECT_EQ(r.finish(5000), 0) << r.stderr_text();
    EXPECT_NE(r.stdout_text().find(dir + "r/in/a.txt 6 " + md5_of(HELLO) + " ok\n"), npos) << r.stdout_text();
}

// Before: a write cut short by a full disk kept the truncated file, and later
// files were stored as 0-byte "corrupted" ones.
TEST_F(CliHostile, ReceiveOnAFullDiskDropsThePartAndGoesOn)
{
    Jox& r = receiver("r", {}, 100 * 1024);
    std::string big(300 * 1024, '\0'), small(10 * 1024, 's');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
    Fd fd(call());
    ASSERT_GE(fd, 0);
    offer(fd, "big.bin", big);
    raw_send(fd, frame(big));
    EXPECT_TRUE(raw_expect(fd, "sent" + CORRUPTED, 5000));
    EXPECT_EQ(files_under(dir + "r/in"), std::vector<std::string>{});
    offer(fd, "small.bin", small);
    raw_send(fd, frame(small));
    EXPECT_TRUE(raw_expect(fd, "sent", 5000));
    EXPECT_EQ(raw_read(fd, 64, 300), "");  // no corrupted notice after it
    EXPECT_EQ(harness_read_file(dir + "r/in/small.bin"), small);
    EXPECT_NE(r.stdout_text().find(dir + "r/in/small.bin 10240 " + md5_of(small) + " ok\n"), npos)
        << r.stdout_text();
    EXPECT_TRUE(r.running()) << r.stderr_text();
}

// Before: `send` refused 127.0.0.1 and localhost as "yourself", though it never listens.
TEST_F(CliHostile, SendCallsTheLoopbackAddressItIsGiven)
{
    harness_write_file(dir + "a.txt", HELLO);
    const std::string p = std::to_string(port);
    const std::vector<std::string> rows[] = {
        {"127.0.0.1:" + p}, {"localhost:" + p}, {"--port", p, "127.0.0.1"}, {"--port", p, "localhost"}};
    int n = 0;
    for (std::vector<std::string> args : rows) {
        SCOPED_TRACE(args.back());
        Fd l(raw_listen("127.0.0.1", port));
        ASSERT_GE(l, 0);
        args.insert(args.begin(), "send");
        args.push_back(dir + "a.txt");
        Jox& s = spawn("s" + std::to_string(n++), args);
        Fd fd(raw_accept(l, 5000));
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(raw_expect(fd, "JOXNICKNAMEIS", 3000));
        EXPECT_TRUE(s.running()) << s.stderr_text();
        EXPECT_EQ(s.stderr_text().find("can't reach"), npos) << s.stderr_text();
    }
}

// A peer of the original protocol, in both roles, sees nothing of the
// extensions but the probe (a text it matches to nothing): as a caller
// that offers 50 ms after its nickname it hears only the protocol's own
// replies; as the called side it reads the nickname alone and exact, then
// an original offer.
TEST_F(CliHostile, OriginalPeersSeeOnlyTheProtocolsOwnBytes)
{
    Jox& r = receiver("r", {"--once"});
    {
        Fd fd(raw_connect("127.0.0.1", port, 2000));
        ASSERT_GE(fd, 0);
        raw_send(fd, "JOXNICKNAMEISold");
        usleep(50000);
        raw_send(fd, offer_text("early.txt", HELLO));
        EXPECT_TRUE(raw_expect(fd, "RF", 3000));
        raw_send(fd, "SD");
        EXPECT_TRUE(raw_expect(fd, "a", 3000));
        raw_send(fd, frame(HELLO));
        std::string rest;
        EXPECT_TRUE(raw_expect(fd, "sent", 3000, &rest)) << rest;
        EXPECT_EQ(raw_read(fd, 100, 600), "");
        raw_send(fd, "ByeByeByeDisconnec");
    }
    EXPECT_EQ(r.finish(5000), 0) << r.stderr_text();
    EXPECT_EQ(harness_read_file(dir + "r/in/early.txt"), HELLO);

    harness_write_file(dir + "a.txt", HELLO);
    Fd l(raw_listen("127.0.0.1", port));
    ASSERT_GE(l, 0);
    Jox& s = spawn("s", {"send", "--name", "Zoë", addr(), dir + "a.txt"});
    Fd fd(raw_accept(l, 5000));
    ASSERT_GE(fd, 0);
    // A peer that reads one token per receive: the nickname comes alone.
    auto one_receive = [&] {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        ssize_t n = poll(&p, 1, 3000) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
        return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
    };
    EXPECT_EQ(one_receive(), "JOXNICKNAMEISZo\xc3\xab");
    std::string probe = one_receive();
    EXPECT_EQ(probe.rfind("JXC1 HELLO ", 0), 0u) << probe;
    EXPECT_TRUE(raw_expect(fd, "SendingSeindingJOXFile", 5000));
    EXPECT_TRUE(raw_expect(fd, offer_text("a.txt", HELLO), 5000));
    take(fd, HELLO);
    raw_send(fd, "sent");
    EXPECT_EQ(s.finish(6000), 0) << s.stderr_text();
}
