// Starting other programs, and opening documents, folders and web addresses
// with the user's default program. A started program never inherits our
// sockets and never blocks us.
//
// Only the desktop's opener (xdg-open) is looked for along PATH. Every other
// target is a path, taken relative to the working folder when not absolute:
// a name from the settings or from a peer never picks a program off PATH.
#pragma once

enum {
    RUN_WAIT = 1,   // wait until the started program has ended
    RUN_HIDDEN = 2  // start it without a window (no effect on Linux)
};

enum LaunchResult {
    LAUNCH_FAILED = 0,    // nothing could open or start it (no opener, no exec)
    LAUNCH_STARTED = 1,   // handed to the opener, or the program was started
    LAUNCH_MISSING = 2,   // there is nothing of that kind at that path
    LAUNCH_RUNNABLE = 3   // a document the desktop would run: not opened
};

// Opens the regular file `path` as a document with the user's default
// program. Files the desktop would run when opened (see below) are refused
// with LAUNCH_RUNNABLE; the caller shows their folder instead.
LaunchResult launch_open_document(const char* path);

// Opens the folder `path` in the user's file manager.
LaunchResult launch_open_folder(const char* path);

// Opens a web address (http, https or file) in the user's browser.
LaunchResult launch_open_url(const char* url);

// Starts the executable file `path` (never looked up on PATH) with the
// blank-separated `parameters`, in `folder` (ours when empty).
LaunchResult launch_program(const char* path, const char* parameters, const char* folder, int flags);

// True when opening `path` would make a desktop run it rather than show it:
// an execute bit, "#!", an ELF or DOS/Windows program header, a desktop
// entry, or a name ending in a type that opens by running (.desktop, .sh,
// .py, .exe, .jar and their kin).
bool launch_is_runnable(const char* path);

// Starts `target` when it is an executable file named by a path (a leading
// double-quoted part is the path, the rest leads the parameters); otherwise
// opens a folder, a web address, or a document the desktop would not run.
// Non-zero when something was started.
int run_program(const char* target, const char* parameters, const char* folder, int flags);

// Test seam: when set, every launch above calls it (with the path, folder or
// address as the target) instead of starting anything; non-zero counts as
// started. Documents are checked before it is called. Reset with nullptr.
using RunProgramHook = int (*)(const char* target, const char* parameters, const char* folder, int flags);
void run_program_set_hook(RunProgramHook hook);
