// The command line end to end: `jox send` and `jox receive` as child
// processes with no display, against each other, a raw peer and the
// desktop program in-process.
#include "call_fixture.h"

#include "md5.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char CORRUPTED[] = "mMeSSageJOXFile Sent is Corrupted.  Re-Send it Again.EeNdofMessageJOX";

struct CliRun {
    pid_t pid = -1;
    std::string out, err;  // files the child's stdout and stderr go to
    int status = -1;       // exit status once ended
};

class Cli : public CallFixture {
protected:
    std::vector<CliRun*> runs;
    std::deque<HarnessTempDir> workdirs;  // the runs' own, gone after them

    void TearDown() override
    {
        for (CliRun* r : runs) {
            harness_stop(r->pid);
            delete r;
        }
        CallFixture::TearDown();
    }
    // Starts `jox ARGS` with no display and `workdir` as its working folder.
    CliRun* spawn(std::vector<std::string> args, const std::string& workdir)
    {
        CliRun* r = new CliRun;
        runs.push_back(r);
        static int n = 0;
        r->out = dir + "out" + std::to_string(++n);
        r->err = dir + "err" + std::to_string(n);
        std::vector<char*> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "DISPLAY=", 8) && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) &&
                std::strncmp(*e, "QT_QPA_PLATFORM=", 16))
                env.push_back(*e);
        env.push_back(nullptr);
        args.insert(args.begin() + 1, {"--workdir", workdir});
        args.insert(args.begin(), JOX_BINARY);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addchdir_np(&fa, workdir.c_str());
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, r->out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, r->err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&r->pid, argv[0], &fa, nullptr, argv.data(), env.data()) != 0) r->pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        return r;
    }
    int finish(CliRun* r, int timeout_ms = 20000)
    {
        int st = 0;
        if (!harness_wait_exit(r->pid, timeout_ms, &st)) return -1;
        r->pid = -1;
        r->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return r->status;
    }
    static std::string text(const std::string& path) { return harness_read_file(path); }
    // A receiver on `port`, ready once it says where it listens.
    CliRun* receiver(std::vector<std::string> extra = {})
    {
        std::string work = workdirs.emplace_back("recv").path;
        std::vector<std::string> args = {"receive", "--port", std::to_string(port), "--folder", work + "in"};
        args.insert(args.end(), extra.begin(), extra.end());
        CliRun* r = spawn(args, work);
        for (int i = 0; i < 500 && text(r->err).find("listening") == std::string::npos; ++i) usleep(10000);
        EXPECT_NE(text(r->err).find("listening on port"), std::string::npos) << text(r->err);
        return r;
    }
    CliRun* sender(std::vector<std::string> files, int extended = 0)
    {
        // As a program of the original protocol would: some receivers here are raw peers.
        std::vector<std::string> args = {"send", "--no-extensions", "127.0.0.1:" + std::to_string(port)};
        if (extended) args.erase(args.begin() + 1);
        for (auto& f : files) args.push_back(dir + f);
        return spawn(args, workdirs.emplace_back("send").path);
    }
    void kill_and_resume(int64_t size);
};

// `size` bytes in which every 8-byte word differs, so that bytes stored at
// the wrong offset cannot go unseen.
void write_pattern(const std::string& path, int64_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    std::vector<uint64_t> piece(1 << 17);
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (int64_t done = 0; f && done < size; done += int64_t(piece.size() * 8)) {
        for (auto& v : piece) v = x += 0x9e3779b97f4a7c15ull;
        std::fwrite(piece.data(), 1, std::size_t(std::min<int64_t>(size - done, int64_t(piece.size() * 8))), f);
    }
    if (f) std::fclose(f);
}

int64_t size_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// Between two jox programs: a sender killed outright at 40 % leaves a part
// that never stands under the file's name; sent again, only the rest moves,
// and the stored file is the sent one.
void Cli::kill_and_resume(int64_t size)
{
    std::string big = dir + "big.bin";
    write_pattern(big, size);
    CliRun* r = receiver();
    std::string in = workdirs.back().path + "in/";
    CliRun* s = sender({"big.bin"}, 1);
    int whole_name_seen = 0;
    for (int i = 0; i < 60000 && size_of(in + "big.bin.jox-part") < size * 4 / 10; ++i) {
        whole_name_seen |= size_of(in + "big.bin") >= 0;
        usleep(1000);
    }
    kill(s->pid, SIGKILL);
    EXPECT_EQ(finish(s), 128 + SIGKILL);
    for (int i = 0; i < 300 && text(r->err).find("kept as") == std::string::npos; ++i) usleep(10000);
    EXPECT_NE(text(r->err).find("big.bin.jox-part; sent again"), std::string::npos) << text(r->err);
    EXPECT_EQ(size_of(in + "big.bin"), -1);
    EXPECT_EQ(whole_name_seen, 0);

    CliRun* again = sender({"big.bin"}, 1);
    EXPECT_EQ(finish(again, 600000), 0) << text(again->err);
    std::string said = text(r->err);
    std::size_t at = said.find("resuming at ");
    ASSERT_NE(at, std::string::npos) << said;
    // Less than 70 % moved the second time.
    EXPECT_GT(std::atoi(said.c_str() + at + 12), 30) << said;
    EXPECT_NE(text(again->err).find("resuming at"), std::string::npos) << text(again->err);
    std::string line = text(r->out);
    EXPECT_NE(line.find("in/big.bin " + std::to_string(size) + " "), std::string::npos) << line;
    EXPECT_NE(line.find(" ok"), std::string::npos) << line;
    EXPECT_EQ(md5_file((in + "big.bin").c_str()), md5_file(big.c_str()));
    EXPECT_EQ(size_of(in + "big.bin.jox-part"), -1);
    EXPECT_EQ(size_of(in + "big.bin.jox-resume"), -1);
    harness_stop(r->pid);
    unlink(big.c_str());
}

}  // namespace

TEST_F(Cli, SendToReceiveDeclineAndBusy)
{
    harness_write_file(dir + "a.txt", "hello\n");
    harness_write_file(dir + "b.bin", std::string(300000, 'x'));
    struct Row {
        const char* name;
        std::vector<std::string> receive;
        int busy;  // a raw caller holds the receiver's line first
        int status;
        const char* said;
    } rows[] = {
        {"delivered", {"--once"}, 0, 0, "b.bin: sent and confirmed"},
        {"declined", {"--once", "--accept", "none"}, 0, 1, "a.txt: declined by the receiver"},
        {"busy", {}, 1, 3, "the receiver's line is busy"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CliRun* r = receiver(row.receive);
        int holder = row.busy ? raw_connect("127.0.0.1", port, 2000) : -1;
        if (row.busy) usleep(300000);
        CliRun* s = sender({"a.txt", "b.bin"});
        EXPECT_EQ(finish(s), row.status) << text(s->err);
        EXPECT_NE(text(s->err).find(row.said), std::string::npos) << text(s->err);
        raw_close(holder);
        if (row.status == 0) {
            EXPECT_EQ(finish(r), 0);
            std::string out = text(r->out);
            EXPECT_NE(out.find("in/a.txt 6 b1946ac92492d2347c6235b4d2611184 ok"), std::string::npos) << out;
            EXPECT_NE(out.find("in/b.bin 300000 "), std::string::npos) << out;
        }
        harness_stop(r->pid);
    }
}

TEST_F(Cli, CorruptedTransfersAreReportedOnBothSides)
{
    // Sending: a raw receiver confirms the frame and then reports an MD5 error.
    harness_write_file(dir + "a.txt", "hello\n");
    int l = raw_listen("127.0.0.1", port);
    ASSERT_GE(l, 0);
    CliRun* s = sender({"a.txt"});
    int fd = raw_accept(l, 5000);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(raw_expect(fd, "JOXNICKNAMEIS", 3000));
    EXPECT_TRUE(raw_expect(fd, "SendingSeindingJOXFile", 3000));
    EXPECT_TRUE(raw_expect(fd, "NAMEJOXa.txtSIZEJOXsizejox6MD5JOXb1946ac92492d2347c6235b4d2611184", 3000));
    raw_send(fd, "RF");
    EXPECT_TRUE(raw_expect(fd, "SD", 3000));
    raw_send(fd, "a");
    raw_read(fd, 18, 3000);
    // As a jox receiver does: the notice in the same send as "sent".
    raw_send(fd, std::string("sent") + CORRUPTED);
    EXPECT_EQ(finish(s), 1);
    EXPECT_NE(text(s->err).find("a.txt: MD5 error reported by the receiver"), std::string::npos) << text(s->err);
    // Its kept fingerprint is forgotten: the next send works it out afresh.
    std::string prints = workdirs.back().path + "fingerprints";
    std::error_code none;
    EXPECT_TRUE(std::filesystem::is_empty(prints, none) || !std::filesystem::exists(prints)) << prints;
    raw_close(fd);
    raw_close(l);

    // Receiving: a raw sender's digest does not match its bytes.
    CliRun* r = receiver({"--once"});
    fd = raw_connect("127.0.0.1", port, 2000);
    raw_send(fd, "JOXNICKNAMEISraw");
    usleep(100000);
    raw_send(fd, "NAMEJOXx.txtSIZEJOXsizejox6MD5JOX00000000000000000000000000000000");
    EXPECT_TRUE(raw_expect(fd, "RF", 3000));
    raw_send(fd, "SD");
    EXPECT_TRUE(raw_expect(fd, "a", 3000));
    raw_send(fd, std::string("PBMGSFLE\x06\0\0\0hello\n", 18));
    EXPECT_TRUE(raw_expect(fd, "sent", 3000));
    raw_close(fd);
    EXPECT_EQ(finish(r), 0);
    EXPECT_NE(text(r->out).find("in/x.txt 6 b1946ac92492d2347c6235b4d2611184 corrupted"), std::string::npos)
        << text(r->out);
}

TEST_F(Cli, InterruptedTransfersEndCleanlyAndTheOtherSideServesOn)
{
    // A large sparse file keeps the transfer going long enough to interrupt.
    std::string big = dir + "big.bin";
    int f = open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(f, 1000LL << 20), 0);
    close(f);
    harness_write_file(dir + "a.txt", "hello\n");
    for (int interrupt_sender : {1, 0}) {
        SCOPED_TRACE(interrupt_sender ? "sender interrupted" : "receiver interrupted");
        CliRun* r = receiver();
        CliRun* s = sender({"big.bin"});
        for (int i = 0; i < 1500 && text(r->err).find("receiving") == std::string::npos; ++i) usleep(10000);
        ASSERT_NE(text(r->err).find("receiving"), std::string::npos) << text(r->err);
        kill(interrupt_sender ? s->pid : r->pid, SIGINT);
        CliRun* stopped = interrupt_sender ? s : r;
        CliRun* other = interrupt_sender ? r : s;
        // Either side cut off mid-file says so with 130.
        EXPECT_EQ(finish(stopped), 130);
        EXPECT_NE(text(stopped->err).find("interrupted"), std::string::npos) << text(stopped->err);
        if (interrupt_sender) {
            // The receiver saw the call end and takes the next one.
            for (int i = 0; i < 300 && text(r->err).find("Disconnected") == std::string::npos; ++i) usleep(10000);
            EXPECT_NE(text(r->err).find("Disconnected"), std::string::npos) << text(r->err);
            CliRun* again = sender({"a.txt"});
            EXPECT_EQ(finish(again), 0) << text(again->err);
        } else {
            EXPECT_EQ(finish(other), 1);
            EXPECT_NE(text(other->err).find("big.bin: the receiver is gone"), std::string::npos) << text(other->err);
        }
        harness_stop(r->pid);
    }
}

TEST_F(Cli, BadInputIsRefusedWithAMessage)
{
    harness_write_file(dir + "a.txt", "x");
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* said;
    } rows[] = {
        {{"send", "--bogus", "h", "a"}, 2, "unknown option: --bogus"},
        {{"send", "127.0.0.1:1", dir + "missing"}, 2, "no such file"},
        {{"send", "127.0.0.1:1", dir}, 2, "is a folder"},
        {{"receive", "--folder", dir + "a.txt"}, 2, "names a file"},
        {{"receive", "--port", "70000"}, 2, "bad port"},
        {{"send", "127.0.0.1:" + std::to_string(port), dir + "a.txt"}, 3, "can't reach"},
        {{"--workdir=" + dir}, 1, "no display to open the window on"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.said);
        CliRun* c = spawn(row.args, dir);
        EXPECT_EQ(finish(c), row.status) << text(c->err);
        EXPECT_NE(text(c->err).find(row.said), std::string::npos) << text(c->err);
    }
}

TEST_F(Cli, DesktopProgramAndCommandLineBothWays)
{
    // The command line sends to the desktop program (automatic acceptance).
    HarnessConfig config;
    config.auto_accept = "Yes";
    start(config);
    harness_write_file(dir + "a.txt", "hello\n");
    CliRun* s = sender({"a.txt"});
    pump_until([&] { return harness_wait_exit(s->pid, 1, &s->status) != 0; }, 20000);
    EXPECT_EQ(WEXITSTATUS(s->status), 0);
    s->pid = -1;
    EXPECT_EQ(harness_read_file(dir + "Received Files/a.txt"), "hello\n");
    harness_app_stop();

    // The desktop program sends to the command line.
    port = harness_free_port();
    CliRun* r = receiver({"--once"});
    start(config);
    control_set_text(0, ("127.0.0.1:" + std::to_string(port)).c_str());
    harness_click(8);
    ASSERT_TRUE(pump_until([] { return app.idle == 0; }, 12000));
    std::string path = dir + "a.txt";
    ui_test_queue_files_answer(&path, 1);
    harness_click(6);
    pump_until([] { return harness_status() == "Connected. 1 file was Sent."; }, 10000);
    EXPECT_EQ(harness_status(), "Connected. 1 file was Sent.");
    harness_click(7);
    pump_for(200);
    EXPECT_EQ(finish(r), 0) << text(r->err);
    EXPECT_NE(text(r->out).find("in/a.txt 6 b1946ac92492d2347c6235b4d2611184 ok"), std::string::npos) << text(r->out);
}

TEST_F(Cli, BetweenTwoJoxProgramsACutTransferGoesOnWhereItStopped)
{
    kill_and_resume(96LL << 20);
}

// Sizes that take a minute and several GiB of disk: run with
// JOX_LARGE_FILES=1 (the "slow" CTest label).
TEST_F(Cli, LargeFilesBetweenTwoJoxPrograms)
{
    if (!std::getenv("JOX_LARGE_FILES")) GTEST_SKIP() << "JOX_LARGE_FILES not set";
    kill_and_resume(1LL << 30);
    // 2.5 GiB, past every 32-bit size.
    std::string big = dir + "huge.bin";
    const int64_t size = 5LL << 29;
    write_pattern(big, size);
    CliRun* r = receiver({"--once"});
    CliRun* s = sender({"huge.bin"}, 1);
    EXPECT_EQ(finish(s, 600000), 0) << text(s->err);
    EXPECT_EQ(finish(r, 60000), 0) << text(r->err);
    std::string in = workdirs[workdirs.size() - 2].path + "in/";
    EXPECT_EQ(size_of(in + "huge.bin"), size);
    EXPECT_EQ(md5_file((in + "huge.bin").c_str()), md5_file(big.c_str()));
    unlink(big.c_str());
}

// A call that cannot be placed says which failure it met.
TEST_F(Cli, FailedCallsSayWhatHappened)
{
    harness_write_file(dir + "a.txt", "hello\n");
    struct Row {
        std::string address, said;
    } rows[] = {
        {"127.0.0.2:" + std::to_string(port),
         "can't reach 127.0.0.2:" + std::to_string(port) + ". Nobody is listening on 127.0.0.2:" +
             std::to_string(port) + " (refused after "},
        {"no-such-host.invalid:" + std::to_string(port), "can't reach no-such-host.invalid:" + std::to_string(port) +
                                                             ". The name no-such-host.invalid cannot be looked up (after "},
    };
    for (const Row& r : rows) {
        CliRun* s = spawn({"send", r.address, dir + "a.txt"}, workdirs.emplace_back("send").path);
        EXPECT_EQ(finish(s), 3) << r.address;
        EXPECT_NE(text(s->err).find("jox: " + r.said), std::string::npos) << text(s->err);
    }
}

// In a network namespace of the test's own, where an address swallows what
// is sent to it and the name server cannot answer: a host that does not
// answer, and a name that cannot be looked up, each said as such.
TEST_F(Cli, FailedCallsInANamespaceOfOurOwn)
{
    if (std::system("unshare -n true 2>/dev/null") != 0) GTEST_SKIP() << "no network namespaces here";
    harness_write_file(dir + "a.txt", "hello\n");
    struct Row {
        std::string address, said;
    } rows[] = {
        {"10.9.9.2:6843", "can't reach 10.9.9.2:6843. 10.9.9.2:6843 does not answer (nothing in 1"},
        {"no-such-host.example:6843", "can't reach no-such-host.example:6843. The name no-such-host.example cannot be "
                                      "looked up (after "},
    };
    for (const Row& r : rows) {
        std::string err = dir + "ns.err", work = workdirs.emplace_back("send").path;
        // Packets for 10.0.0.0/8 (the name server's too) go to loopback, where
        // nothing takes them: they vanish unanswered.
        std::string command = "RES_OPTIONS='timeout:1 attempts:1' unshare -n sh -c 'ip link set lo up && "
                              "ip route add 10.0.0.0/8 dev lo && exec \"$0\" send --workdir \"$1\" \"$2\" \"$3\"' " JOX_BINARY
                              " '" + work + "' '" + r.address + "' '" + dir + "a.txt' 2>'" + err + "'";
        int status = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 3) << r.address << ": " << text(err);
        EXPECT_NE(text(err).find("jox: " + r.said), std::string::npos) << text(err);
    }
}
