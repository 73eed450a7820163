// What the program was asked to do on its command line. Parsing is apart from
// acting so that later subcommands slot in here without touching start-up.
#pragma once

#include <string>

enum CommandAction {
    COMMAND_RUN,      // start the program window
    COMMAND_VERSION,  // print the version and end
    COMMAND_HELP,     // print the usage and end
    COMMAND_ERROR     // print `error` and the hint to --help; end with status 2
};

struct CommandLine {
    CommandAction action = COMMAND_RUN;
    std::string workdir;  // "" when not given
    std::string error;
};

CommandLine command_line_parse(int argc, const char* const* argv);

// Prints what --version, --help or a bad option ask for and gives the exit
// status; -1 when the program is to run.
int command_line_answer(const CommandLine& line);

// The texts printed for --version and --help, each ending in a newline.
std::string command_line_version();
std::string command_line_usage();
