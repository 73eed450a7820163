// The fault trap and the error report. See header.
//
// The handlers run on an alternate stack so that a stack overflow can still
// be reported. They only count the fault and jump; everything that needs
// the toolkit runs after the jump, outside the handler.
//
// Jumping is only sound when the interrupted code holds nothing the report
// step needs. The jump target lives on the main thread's stack, so only a
// fault of the main thread can jump; and a fault inside the C library may
// have stopped it holding the allocator's or stdio's lock, which the report
// step (strings, the toolkit) would wait on for ever. A fault on any other
// thread cannot be handed to the main thread either: the main thread would
// be interrupted wherever it is, inside malloc as likely as not. In those
// cases, and for a fault inside the report itself, the handler writes the
// report with write(2) from a fixed buffer to stderr and to the report's
// file in the working folder, and ends the process with _exit.
#include "error_report.h"

#include "constants.h"
#include "state.h"
#include "files.h"
#include "opening.h"
#include "toolkit.h"

#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

sigjmp_buf error_trap_jump;
volatile int error_trap_jump_set = 0;

namespace {

const int trap_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int trap_signal_count = sizeof trap_signals / sizeof trap_signals[0];

struct sigaction trap_previous[trap_signal_count];  // handlers we replaced
int trap_armed = 0;                                  // 1 between arm and disarm
stack_t trap_previous_stack;                         // alternate stack we replaced
void* trap_stack = nullptr;                          // our alternate stack
constexpr size_t trap_stack_size = 256 * 1024;       // room for sanitizer runtimes too

volatile sig_atomic_t trap_count = 0;       // faults taken
volatile uint32_t trap_code = 0;            // code of the last fault
volatile uintptr_t trap_address = 0;        // where it happened (recorded only)
volatile sig_atomic_t trap_in_report = 0;   // 1 while the report step runs

uintptr_t trap_stack_low = 0;   // lowest address the main stack may grow to

pid_t trap_main_tid = 0;        // the thread that may jump; 0 before arming
int trap_report_claim = 0;      // 1 once a thread writes the final report

struct TrapRange {
    uintptr_t low, high;        // [low, high) of executable code
};
constexpr int trap_libc_max = 4;
TrapRange trap_libc[trap_libc_max];  // the C library's code, found when arming
int trap_libc_count = 0;             // ranges in use

struct FaultText {
    uint32_t code;
    const char* text;
};

const FaultText fault_texts[] = {
    {0xC0000094, "Attempted division by zero"},
    {0xC0000005, "An attemped read or write to/from an address to which that process isn't allowed"},
    {0xC0000096, "The instruction is not allowed in the current ring (inport, outport & control register manipulation usually)"},
    {0xC000001D, "Try to execute an invalid instruction -such as MMX opcodes on a non MMX system"},
    {0xC0000025, "The exception filter returned EXCEPTION_CONTINUE_EXCEPTION when the exception raised isn't restartable"},
    {0xC00000FD, "Stack overflow.Can occur during errant recursion, or when a function creates a particularly large array on the stack."},
    {0xC0000026, "INVALID_DISPOSITION Whatever number the exception filter returned, it wasn't a value the OS knows about."},
    {0xC0000008, "INVALID_HANDLE The API call was passed a handle to a kernel object which was invalid -usually because that handle has already been closed."},
    {0xC0000142, "EXCEPTION_DLL_Initialisation_Failure raised when DllMain() returns false (?)"},
    {0xC000008D, "FLOAT_DENORMAL_OPERAND One of the operands in a floating-point operation is too small to be represented in a floating-point value."},
    {0xC000008E, "FLOAT_DIVIDE_BY_ZERO The thread tried to divide a floating-point value by zero."},
    {0xC000008F, "FLOAT_INEXACT_RESULT The accuracy of the last floating point operation is worse than usual as it is impossible to represent in the float accurately,"},
    {0xC0000090, "FLOAT_INVALID_OPERATION Any other floating-point exception."},
    {0xC0000091, "FLOAT_OVERFLOW The result was too big to represent"},
    {0xC0000092, "FLOAT_STACK_CHECK A floating point stack overflowed or underflow. This related to the baroque design of the floating point unit."},
    {0xC0000093, "FLT_UNDERFLOW The result was too small to represent"},
    {0xC000013A, "CONTROL_C_EXIT Lets the debugger know the user hit Ctrl-C. "},
    {0x80000003, "BREAKPOINT A breakpoint was encountered."},
    {0x80000004, "SINGLE_STEP The CPU has signalled that one instruction has been executed.Only of interest to Debuggers"},
    {0, "No Error"},
};

// Appends to a fixed buffer; safe inside a signal handler.
struct TrapWriter {
    char* buf;
    size_t cap;
    size_t len;
    void put(const char* s)
    {
        while (*s && len + 1 < cap) buf[len++] = *s++;
        buf[len] = 0;
    }
    void put_number(int n)
    {
        char digits[16];
        int i = 0;
        unsigned v = n < 0 ? 0u - unsigned(n) : unsigned(n);
        do {
            digits[i++] = char('0' + v % 10);
            v /= 10;
        } while (v && i < 15);
        if (n < 0) put("-");
        char one[2] = {0, 0};
        while (i > 0) {
            one[0] = digits[--i];
            put(one);
        }
    }
};

void trap_format(TrapWriter* w, uint32_t code, int count)
{
    w->put("There was an error:\r\n\r\n");
    w->put("Description: ");
    w->put(error_description(code));
    w->put("\r\n");
    w->put("Total number of errors: ");
    w->put_number(count);
    w->put("\r\n\r\n");
    w->put("Please Report this Bug.\r\n");
    w->put("Give as Many Detail as Possible.\r\n\r\n");
    w->put("Thanks,\r\n");
    w->put("Orrin Galt.\r\n");
}

// The main stack grows down to its limit; an access just below that limit,
// or in the last pages above it, is the stack running out.
int trap_is_stack_overflow(uintptr_t address)
{
    if (trap_stack_low == 0) return 0;
    constexpr uintptr_t margin = 1024 * 1024;
    return address + margin >= trap_stack_low && address < trap_stack_low + 64 * 1024;
}

pid_t trap_tid()
{
    return pid_t(syscall(SYS_gettid));
}

// Writes all of `len` bytes, giving up on an error other than EINTR.
void trap_write_all(int fd, const char* p, size_t len)
{
    for (int i = 0; i < 1000 && len > 0; ++i) {
        ssize_t n = write(fd, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

// Ends the process with the report on stderr and in the working folder,
// using only async-signal-safe calls: the interrupted code may hold any
// lock, the allocator's included. The first thread to get here writes; a
// thread faulting meanwhile waits for it to end the process.
[[noreturn]] void trap_report_and_exit()
{
    if (__atomic_exchange_n(&trap_report_claim, 1, __ATOMIC_SEQ_CST)) {
        timespec step{0, 10 * 1000 * 1000};
        for (int waited = 0; waited < 500; ++waited) nanosleep(&step, nullptr);
        _exit(1);
    }
    static char report[1024];
    TrapWriter w{report, sizeof report, 0};
    trap_format(&w, trap_code, trap_count);
    const size_t report_len = w.len;

    // getcwd(3) may allocate; the system call never does.
    static char folder[1024];
    long got = syscall(SYS_getcwd, folder, sizeof folder);
    int fd = open("jox-error-report.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
        trap_write_all(fd, report, report_len);
        if (close(fd) != 0) fd = -1;
    }
    static char note[1280];
    TrapWriter n{note, sizeof note, 0};
    if (got > 0) {
        n.put(fd >= 0 ? "\r\nThis report is saved as " : "\r\nThis report could not be saved in ");
        n.put(folder);
        if (folder[1] != 0) n.put("/");
        n.put(fd >= 0 ? "jox-error-report.txt.\r\n" : ".\r\n");
    }
    trap_write_all(2, report, report_len);
    trap_write_all(2, note, n.len);
    _exit(1);
}

// The faulting instruction's address, 0 where the machine is not known.
uintptr_t trap_pc(void* context)
{
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    if (!uc) return 0;
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
    return 0;
#endif
}

int trap_in_libc(uintptr_t pc)
{
    for (int i = 0; i < trap_libc_count; ++i)
        if (pc >= trap_libc[i].low && pc < trap_libc[i].high) return 1;
    return 0;
}

// Collects the executable segments of the C library (libc.so.N).
int trap_note_libc(dl_phdr_info* info, size_t, void*)
{
    const char* name = info->dlpi_name ? info->dlpi_name : "";
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    if (std::strncmp(base, "libc.so", 7) != 0) return 0;
    for (int i = 0; i < info->dlpi_phnum && trap_libc_count < trap_libc_max; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
        uintptr_t low = info->dlpi_addr + ph.p_vaddr;
        trap_libc[trap_libc_count++] = {low, low + ph.p_memsz};
    }
    return 1;
}

void trap_handler(int sig, siginfo_t* info, void* context)
{
    int on_main = trap_main_tid == 0 || trap_tid() == trap_main_tid;
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    int overflow = on_main && (sig == SIGSEGV || sig == SIGBUS) && trap_is_stack_overflow(address);
    __atomic_add_fetch(&trap_count, 1, __ATOMIC_SEQ_CST);
    trap_code = error_code_for_signal(sig, info->si_code, overflow);
    trap_address = address;

    if (!on_main || trap_in_report || trap_in_libc(trap_pc(context))) trap_report_and_exit();
    if (!error_trap_jump_set) {
        // Nobody can take the fault: let it end the process as it would have.
        for (int i = 0; i < trap_signal_count; ++i)
            if (trap_signals[i] == sig) sigaction(sig, &trap_previous[i], nullptr);
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    siglongjmp(error_trap_jump, 1);
}

// The report goes beside the settings file, so that the user can attach it
// to a bug report; the next report replaces it. "" when it could not be
// written whole.
std::string error_report_save(const std::string& text)
{
    const std::string path = current_directory() + "jox-error-report.txt";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return "";
    size_t done = 0;
    for (int i = 0; i < 1000 && done < text.size(); ++i) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR) break;
    }
    int closed = close(fd);
    return done == text.size() && closed == 0 ? path : "";
}

void trap_find_stack()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        trap_stack_low = reinterpret_cast<uintptr_t>(low);
    }
    pthread_attr_destroy(&attr);
}

}  // namespace

int error_trap_arm()
{
    if (trap_armed) return 1;
    if (!trap_stack) trap_stack = std::malloc(trap_stack_size);
    if (!trap_stack) return 0;
    trap_find_stack();
    trap_libc_count = 0;
    dl_iterate_phdr(trap_note_libc, nullptr);
    trap_main_tid = trap_tid();
    stack_t ss{};
    ss.ss_sp = trap_stack;
    ss.ss_size = trap_stack_size;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, &trap_previous_stack) != 0) return 0;

    struct sigaction sa{};
    sa.sa_sigaction = trap_handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fault inside the handler ends the process by default action
    // rather than re-entering it; the jump restores the mask it saved.
    sigemptyset(&sa.sa_mask);
    for (int sig : trap_signals) sigaddset(&sa.sa_mask, sig);
    for (int i = 0; i < trap_signal_count; ++i) sigaction(trap_signals[i], &sa, &trap_previous[i]);
    trap_armed = 1;
    return 1;
}

void error_trap_disarm()
{
    if (!trap_armed) return;
    for (int i = 0; i < trap_signal_count; ++i) sigaction(trap_signals[i], &trap_previous[i], nullptr);
    // Only put the old stack back when it was a real one; an empty one would
    // be refused while we might still be running on ours.
    if (!(trap_previous_stack.ss_flags & SS_DISABLE)) sigaltstack(&trap_previous_stack, nullptr);
    else {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    trap_armed = 0;
}

int error_fault_count()
{
    return trap_count;
}

uint32_t error_last_code()
{
    return trap_code;
}

void error_trap_reset()
{
    trap_count = 0;
    trap_code = 0;
    trap_address = 0;
    trap_in_report = 0;
    trap_report_claim = 0;
}

uint32_t error_code_for_signal(int sig, int si_code, int stack_overflow)
{
    switch (sig) {
    case SIGFPE:
        switch (si_code) {
        case FPE_INTDIV: return 0xC0000094;
        case FPE_INTOVF: return 0xC0000095;  // integer overflow
        case FPE_FLTDIV: return 0xC000008E;
        case FPE_FLTOVF: return 0xC0000091;
        case FPE_FLTUND: return 0xC0000093;
        case FPE_FLTRES: return 0xC000008F;
        case FPE_FLTINV: return 0xC0000090;
        case FPE_FLTSUB: return 0xC000008C;  // array bounds exceeded
        default: return 0xC0000090;
        }
    case SIGSEGV:
        return stack_overflow ? 0xC00000FD : 0xC0000005;
    case SIGBUS:
        if (stack_overflow) return 0xC00000FD;
        return si_code == BUS_ADRALN ? 0x80000002 : 0xC0000005;  // misalignment
    case SIGILL:
        return (si_code == ILL_PRVOPC || si_code == ILL_PRVREG) ? 0xC0000096 : 0xC000001D;
    case SIGTRAP:
        return si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default:
        return 0xFFFFFFFF;
    }
}

const char* error_description(uint32_t code)
{
    for (const FaultText& f : fault_texts)
        if (f.code == code) return f.text;
    return "UNKNOWN Error";
}

std::string error_report_text(uint32_t code, int count)
{
    char buf[1024];
    TrapWriter w{buf, sizeof buf, 0};
    trap_format(&w, code, count);
    return std::string(buf, w.len);
}

void error_report()
{
    int count = trap_count;
    app.report_text = error_report_text(trap_code, count);
    if (count <= 0) return;
    trap_in_report = 1;
    const std::string saved = error_report_save(app.report_text);
    std::string shown = app.report_text;
    if (saved.empty()) {
        shown += "\r\nThis report could not be saved in " + current_directory() + ".";
    } else {
        shown += "\r\nThis report is saved as " + saved + ".";
    }
    message_box(JOX_VERSION_TITLE, shown.c_str(), MB_OK);
    if (!saved.empty()) app_open(OPEN_DOCUMENT, saved);
}
