// The fault trap and the error report: real faults raised in child
// processes (so the test program survives them), the code each one is
// reported as, the report's text, and a fault inside the report itself.
#include "error_report.h"
#include "state.h"

#include "launch.h"
#include "toolkit.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

__attribute__((noinline, no_sanitize_undefined)) void fault_divide()
{
    volatile int zero = 0;
    volatile int x = 7 / zero;
    (void)x;
}

__attribute__((noinline, no_sanitize_address)) void fault_bad_write()
{
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}

__attribute__((noinline)) int fault_recurse(int depth)
{
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth);
    if (depth > 1000000000) return 0;
    return fault_recurse(depth + 1) + pad[0];
}

void fault_stack_overflow()
{
    fault_recurse(0);
}

void fault_illegal()
{
    __builtin_trap();
}

#if defined(__x86_64__) || defined(__i386__)
void fault_breakpoint()
{
    asm volatile("int3");
}
#endif

// A fault inside the C library, where the thread may hold a lock the report
// would need (the allocator's, stdio's).
__attribute__((noinline)) void fault_in_libc()
{
    void* (*volatile set)(void*, int, size_t) = std::memset;
    set(reinterpret_cast<void*>(uintptr_t{16}), 0, 64);
}

std::atomic<int> allocating{0};  // the main thread is inside its allocation loop

// A helper faults while the main thread allocates and frees blocks too large
// for the per-thread cache, so that most of its time is spent holding the
// allocator's lock.
void helper_faults_while_main_allocates()
{
    allocating = 0;
    std::thread helper([] {
        for (int i = 0; i < 1000000 && !allocating; ++i) sched_yield();
        fault_bad_write();
    });
    for (long i = 0; i < 20000000; ++i) {
        void* volatile block = std::malloc(2048 + static_cast<size_t>(i % 61) * 1024);
        std::free(block);
        allocating = 1;
    }
    helper.join();
}

// What the report step does first: allocate, beyond the per-thread cache too.
void allocate_like_the_report()
{
    std::string text = error_report_text(error_last_code(), error_fault_count());
    text.reserve(64 * 1024);
    volatile size_t n = text.capacity();
    (void)n;
}

// Runs F on a new thread and waits for it; with `block` the main thread
// blocks every signal first, so it cannot take the fault over.
template <void (*F)(), bool block = false>
void on_helper_thread()
{
    sigset_t all;
    sigfillset(&all);
    if (block) pthread_sigmask(SIG_BLOCK, &all, nullptr);
    auto run = [](void*) -> void* {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
        F();
        return nullptr;
    };
    pthread_t t;
    if (pthread_create(&t, nullptr, run, nullptr) == 0) pthread_join(t, nullptr);
}

struct ChildResult {
    int exited;          // 1 when the child exited normally
    int exit_code;
    uint32_t code;       // fault code the child saw
    int count;           // fault count the child saw
    int on_main;         // 1 when the main thread went on after the fault
    std::string output;  // what the child wrote to stderr
};

std::string saved_dir;  // the child's working folder, ending in "/"; "" for none

// Runs `fault` in a child with the trap armed; the child reports what the
// trap recorded after the jump, or runs `after` (which may fault again). A
// child still running after a few seconds is killed (exit_code -9).
ChildResult run_fault_child(void (*fault)(), void (*after)() = nullptr)
{
    int data[2], err[2];
    EXPECT_EQ(pipe(data), 0);
    EXPECT_EQ(pipe(err), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(data[0]);
        close(err[0]);
        dup2(err[1], 2);
        if (!saved_dir.empty() && chdir(saved_dir.c_str()) != 0) _exit(93);
        error_trap_reset();
        if (!error_trap_arm()) _exit(90);
        if (sigsetjmp(error_trap_jump, 1) == 0) {
            error_trap_jump_set = 1;
            fault();
            _exit(91);  // the fault did not happen
        }
        error_trap_jump_set = 0;
        uint32_t seen[3] = {error_last_code(), static_cast<uint32_t>(error_fault_count()),
                            static_cast<uint32_t>(syscall(SYS_gettid) == getpid())};
        if (write(data[1], seen, sizeof seen) != sizeof seen) _exit(92);
        if (after) after();
        _exit(0);
    }
    close(data[1]);
    close(err[1]);
    ChildResult r{0, -1, 0, 0, 0, ""};
    std::string seen_bytes;
    pollfd fds[2] = {{data[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_pipes = 2;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 100000 && open_pipes > 0; ++round) {
        const auto spent = std::chrono::steady_clock::now() - start;
        const long long left = 5000 - std::chrono::duration_cast<std::chrono::milliseconds>(spent).count();
        if (left <= 0) break;
        if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
        for (pollfd& p : fds) {
            if (p.fd < 0 || p.revents == 0) continue;
            char buf[2048];
            ssize_t n = read(p.fd, buf, sizeof buf);
            if (n <= 0) {
                p.fd = -1;
                --open_pipes;
            } else {
                (p.fd == data[0] ? seen_bytes : r.output).append(buf, static_cast<size_t>(n));
            }
        }
    }
    if (open_pipes > 0) kill(pid, SIGKILL);
    uint32_t seen[3] = {0, 0, 0};
    if (seen_bytes.size() == sizeof seen) {
        std::memcpy(seen, seen_bytes.data(), sizeof seen);
        r.code = seen[0];
        r.count = static_cast<int>(seen[1]);
        r.on_main = static_cast<int>(seen[2]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.exited = WIFEXITED(status);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    close(data[0]);
    close(err[0]);
    return r;
}

int report_run_hook(const char*, const char*, const char*, int)
{
    fault_divide();  // a second fault, inside the report
    return 1;
}

void report_and_fault_again()
{
    if (chdir(saved_dir.c_str()) != 0) _exit(93);
    run_program_set_hook(report_run_hook);
    error_report();
}

// A fresh working folder for the report's file.
std::string make_saved_dir()
{
    char made[] = "/tmp/jox_report_XXXXXX";
    return mkdtemp(made) != nullptr ? std::string(made) + "/" : "";
}

void remove_saved_dir()
{
    unlink((saved_dir + "jox-error-report.txt").c_str());
    rmdir((saved_dir + "jox-error-report.txt").c_str());
    rmdir(saved_dir.c_str());
    saved_dir.clear();
}

}  // namespace

TEST(ErrorTrap, RealFaultsAreReportedWithTheirCodes)
{
    struct Case {
        const char* name;
        void (*fault)();
        uint32_t code;
    } cases[] = {
        {"integer division by zero", fault_divide, 0xC0000094},
        {"write to an unmapped address", fault_bad_write, 0xC0000005},
        {"stack overflow", fault_stack_overflow, 0xC00000FD},
        {"illegal instruction", fault_illegal, 0xC000001D},
#if defined(__x86_64__) || defined(__i386__)
        {"breakpoint", fault_breakpoint, 0x80000003},
#endif
    };
    for (const Case& c : cases) {
        ChildResult r = run_fault_child(c.fault);
        EXPECT_TRUE(r.exited) << c.name;
        EXPECT_EQ(r.exit_code, 0) << c.name;
        EXPECT_EQ(r.code, c.code) << c.name << std::hex << " got " << r.code;
        EXPECT_EQ(r.count, 1) << c.name;
    }
}

// Where the main thread cannot safely go on (the fault is on another thread,
// whatever the main thread holds, or inside the C library), the process ends
// at once with the report on stderr and in its file; the main thread never
// reaches the report step.
TEST(ErrorTrap, UnsafeFaultsEndTheProcessWithTheReport)
{
    struct Case {
        const char* name;
        void (*fault)();
        uint32_t code;
        int runs;
    } cases[] = {
        {"helper divides by zero", on_helper_thread<fault_divide>, 0xC0000094, 1},
        {"helper writes to nowhere", on_helper_thread<fault_bad_write>, 0xC0000005, 1},
        {"main thread blocks the signal", on_helper_thread<fault_divide, true>, 0xC0000094, 1},
        {"helper faults while the main thread allocates", helper_faults_while_main_allocates, 0xC0000005, 20},
        {"main thread faults inside the C library", fault_in_libc, 0xC0000005, 1},
    };
    saved_dir = make_saved_dir();
    ASSERT_FALSE(saved_dir.empty());
    const std::string file = saved_dir + "jox-error-report.txt";
    for (const Case& c : cases) {
        const std::string report = error_report_text(c.code, 1);
        int ended = 0;
        for (int run = 0; run < c.runs; ++run) {
            ChildResult r = run_fault_child(c.fault, allocate_like_the_report);
            EXPECT_EQ(r.exit_code, 1) << c.name << " run " << run;
            EXPECT_EQ(r.count, 0) << c.name;
            EXPECT_NE(r.output.find(report + "\r\nThis report is saved as " + file + ".\r\n"), std::string::npos)
                << c.name << ": " << r.output;
            std::ifstream saved(file, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), report) << c.name;
            unlink(file.c_str());
            ended += r.exited && r.exit_code == 1;
        }
        EXPECT_EQ(ended, c.runs) << c.name;
    }
    remove_saved_dir();
}

TEST(ErrorTrap, FaultInsideTheReportEndsTheProgramWithTheReportOnStderr)
{
    saved_dir = make_saved_dir();
    ASSERT_FALSE(saved_dir.empty());
    ChildResult r = run_fault_child(fault_divide, report_and_fault_again);
    remove_saved_dir();
    EXPECT_EQ(r.count, 1);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find("Description: Attempted division by zero\r\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Total number of errors: 2\r\n"), std::string::npos) << r.output;
}

TEST(ErrorTrap, SignalsMapToFaultCodes)
{
    struct Case {
        int sig, si_code, overflow;
        uint32_t code;
    } cases[] = {
        {SIGFPE, FPE_INTDIV, 0, 0xC0000094}, {SIGFPE, FPE_FLTDIV, 0, 0xC000008E},
        {SIGFPE, FPE_FLTOVF, 0, 0xC0000091}, {SIGFPE, FPE_FLTUND, 0, 0xC0000093},
        {SIGFPE, FPE_FLTRES, 0, 0xC000008F}, {SIGFPE, FPE_FLTINV, 0, 0xC0000090},
        {SIGSEGV, SEGV_MAPERR, 0, 0xC0000005}, {SIGSEGV, SEGV_ACCERR, 0, 0xC0000005},
        {SIGSEGV, SEGV_MAPERR, 1, 0xC00000FD}, {SIGBUS, BUS_ADRERR, 0, 0xC0000005},
        {SIGILL, ILL_ILLOPN, 0, 0xC000001D}, {SIGILL, ILL_PRVOPC, 0, 0xC0000096},
        {SIGTRAP, TRAP_BRKPT, 0, 0x80000003}, {SIGTRAP, TRAP_TRACE, 0, 0x80000004},
    };
    for (const Case& c : cases)
        EXPECT_EQ(error_code_for_signal(c.sig, c.si_code, c.overflow), c.code)
            << c.sig << "/" << c.si_code;
}

TEST(ErrorReport, TextNamesTheFaultAndCount)
{
    EXPECT_EQ(error_report_text(0xC0000094, 1),
              "There was an error:\r\n\r\nDescription: Attempted division by zero\r\n"
              "Total number of errors: 1\r\n\r\nPlease Report this Bug.\r\n"
              "Give as Many Detail as Possible.\r\n\r\nThanks,\r\nOrrin Galt.\r\n");
    struct Case {
        uint32_t code;
        const char* description;
    } cases[] = {
        {0, "No Error"},
        {0xC0000005, "An attemped read or write to/from an address to which that process isn't allowed"},
        {0xC000013A, "CONTROL_C_EXIT Lets the debugger know the user hit Ctrl-C. "},
        {0xC0000095, "UNKNOWN Error"},
        {0x12345678, "UNKNOWN Error"},
    };
    for (const Case& c : cases) {
        std::string text = error_report_text(c.code, 3);
        EXPECT_NE(text.find(std::string("Description: ") + c.description + "\r\n"), std::string::npos) << text;
        EXPECT_NE(text.find("Total number of errors: 3\r\n"), std::string::npos);
    }
}

namespace {
int runs_seen = 0;
int count_runs(const char*, const char*, const char*, int)
{
    ++runs_seen;
    return 1;
}
}  // namespace

TEST(ErrorReport, NormalRunShowsNothingAndOpensNothing)
{
    error_trap_reset();
    runs_seen = 0;
    run_program_set_hook(count_runs);
    error_report();
    run_program_set_hook(nullptr);
    EXPECT_EQ(runs_seen, 0);
    EXPECT_NE(app.report_text.find("Description: No Error\r\nTotal number of errors: 0\r\n"), std::string::npos);
}

namespace {
int opener_answer = 1;  // what the stand-in opener reports

void note_to_stderr(const std::string& line)
{
    ssize_t ignored = write(2, line.data(), line.size());
    (void)ignored;
}
void report_in_saved_dir()
{
    if (chdir(saved_dir.c_str()) != 0) _exit(93);
    ui_test_set_message_observer([](const char*, const char* text) { note_to_stderr(std::string("box|") + text + "\n"); });
    run_program_set_hook([](const char* target, const char*, const char*, int) {
        note_to_stderr(std::string("open|") + target + "\n");
        return opener_answer;
    });
    error_report();
}
}  // namespace

// The report is kept beside the settings file, the message names it, and a
// failure to save or to open it is said rather than passed over.
TEST(ErrorReport, IsSavedBesideTheSettingsAndOpened)
{
    saved_dir = make_saved_dir();
    ASSERT_FALSE(saved_dir.empty());
    const std::string file = saved_dir + "jox-error-report.txt";
    const std::string shown = error_report_text(0xC0000094, 1) + "\r\n";
    struct Case {
        bool blocked;  // a folder takes the report's name
        int opens;
        std::string output;
    } cases[] = {
        {false, 1, "box|" + shown + "This report is saved as " + file + ".\nopen|" + file + "\n"},
        {false, 0, "box|" + shown + "This report is saved as " + file + ".\nopen|" + file +
                       "\nbox|Nothing could open:\r" + file},
        {true, 1, "box|" + shown + "This report could not be saved in " + saved_dir + ".\n"},
    };
    for (const Case& c : cases) {
        opener_answer = c.opens;
        if (c.blocked) {
            ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
        }
        ChildResult r = run_fault_child(fault_divide, report_in_saved_dir);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.output.substr(0, c.output.size()), c.output) << c.opens;
        if (!c.blocked) {
            std::ifstream saved(file, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), error_report_text(0xC0000094, 1));
        }
        rmdir(file.c_str());
        unlink(file.c_str());
    }
    remove_saved_dir();
}
