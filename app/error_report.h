// The fault trap and the error report. A processor fault anywhere in the
// program (invalid access, integer division by zero, stack overflow, illegal
// instruction, breakpoint...) is caught by signal handlers running on their
// own stack and continues at the error report, which tells the user, saves
// the report beside the settings file and ends the program. Faults are
// named by the fault codes of the report table, so reports read the same on
// every platform.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <string>

// Where a trapped fault continues. Whoever owns the frame that must survive
// the fault calls sigsetjmp(error_trap_jump, 1) and then sets
// error_trap_jump_set to 1; without that a fault ends the program the usual
// way (default signal action).
extern sigjmp_buf error_trap_jump;
extern volatile int error_trap_jump_set;

// Installs the handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGTRAP on an
// alternate stack, remembering the ones they replace. Non-zero on success.
// The calling thread is the one that owns the jump target, and only its
// faults in code outside the C library jump. Any other fault (on another
// thread, inside the C library, or during error_report) cannot safely go
// on: the report is written to jox-error-report.txt in the working folder
// and to stderr, there followed by a line naming that file, and the
// process ends at once with status 1.
int error_trap_arm();
// Puts the remembered handlers back.
void error_trap_disarm();

// Faults taken so far, and the code of the last one (0 when none).
int error_fault_count();
uint32_t error_last_code();
// Forgets earlier faults (a new run in the same process).
void error_trap_reset();

// The fault code for a signal and its si_code; `stack_overflow` is 1 when the
// faulting address lay in the guard area below the stack.
uint32_t error_code_for_signal(int sig, int si_code, int stack_overflow);
// The description of a fault code ("UNKNOWN Error" for codes not in the table).
const char* error_description(uint32_t code);
// The whole report for a code and a count, lines ended by CR LF.
std::string error_report_text(uint32_t code, int count);

// The error-report step: assembles the report into app.report_text and, when
// a fault was counted, saves it as jox-error-report.txt in the working
// folder, shows it naming that file, and opens the file. A fault during
// this step ends the process as error_trap_arm describes.
void error_report();
