// The fault trap and the error report: real faults raised in child
// processes (so the test program survives them), the code each one is
// reported as, the report's text, and a fault inside the report itself.
#include "error_report.h"
#include "state.h"

#include "launch.h"
#include "toolkit.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

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

// Runs `fault` in a child with the trap armed; the child reports what the
// trap recorded after the jump, or runs `after` (which may fault again).
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
    uint32_t seen[3] = {0, 0, 0};
    if (read(data[0], seen, sizeof seen) == sizeof seen) {
        r.code = seen[0];
        r.count = static_cast<int>(seen[1]);
        r.on_main = static_cast<int>(seen[2]);
    }
    char buf[2048];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0) r.output.append(buf, static_cast<size_t>(n));
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

std::string saved_dir;  // the child's working folder, ending in "/"

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

TEST(ErrorTrap, FaultsOnOtherThreadsReachTheReport)
{
    struct Case {
        const char* name;
        void (*fault)();
        int exit_code, count;
        uint32_t code;
    } cases[] = {
        {"helper divides by zero", on_helper_thread<fault_divide>, 0, 1, 0xC0000094},
        {"helper writes to nowhere", on_helper_thread<fault_bad_write>, 0, 1, 0xC0000005},
        {"main thread blocks the signal", on_helper_thread<fault_divide, true>, 1, 0, 0},
    };
    for (const Case& c : cases) {
        ChildResult r = run_fault_child(c.fault);
        EXPECT_TRUE(r.exited) << c.name << " " << r.exit_code;
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(r.count, c.count) << c.name;
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.on_main, c.count) << c.name;
        if (c.exit_code) {
            EXPECT_NE(r.output.find("Description: Attempted division by zero\r\n"), std::string::npos) << r.output;
        }
    }
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
