// Starting other programs, and opening documents, folders and web addresses
// with the user's default program. A started program never inherits our
// sockets and never blocks us.
#pragma once

enum {
    RUN_WAIT = 1,   // wait until the started program has ended
    RUN_HIDDEN = 2  // start it without a window (no effect on Linux)
};

// Starts `target` as a program (when it is an executable file) with the
// blank-separated `parameters`, in `folder` (the working folder when empty);
// otherwise opens it with xdg-open. Non-zero when something was started.
int run_program(const char* target, const char* parameters, const char* folder, int flags);

// Test seam: when set, run_program calls it instead of starting anything and
// returns its result. Reset with nullptr.
using RunProgramHook = int (*)(const char* target, const char* parameters, const char* folder, int flags);
void run_program_set_hook(RunProgramHook hook);
