// The command line: `jox send [options] HOST[:PORT] FILE...` and
// `jox receive [options]`, through the desktop program's own handlers.
#pragma once

// Exit statuses.
enum {
    CLI_EXIT_OK = 0,           // every file delivered and confirmed / receiving ended cleanly
    CLI_EXIT_FAILED = 1,       // at least one file was not delivered intact
    CLI_EXIT_USAGE = 2,        // bad options, missing or unreadable files
    CLI_EXIT_NO_CALL = 3,      // no call: unreachable or silent host, busy line, port not free
    CLI_EXIT_INTERRUPTED = 130 // Ctrl-C or SIGTERM during a send
};

// Runs the subcommand named by argv[1] and returns the exit status, or -1
// when argv[1] names none (the desktop program then starts).
int cli_main(int argc, char** argv);
