// The command line: options are taken in order, so that the last --workdir
// wins like in most programs; anything unknown stops with a hint, since a
// mistyped option silently ignored would start jox in the wrong folder.
#include "command_line.h"
#include "constants.h"

#include <cstring>

#ifndef JOX_PROGRAM_VERSION
#error "JOX_PROGRAM_VERSION comes from the top-level CMakeLists.txt"
#endif

// See header.
CommandLine command_line_parse(int argc, const char* const* argv)
{
    CommandLine line;
    for (int i = 1; i < argc && line.action != COMMAND_ERROR; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            line.action = COMMAND_HELP;
        } else if (std::strcmp(arg, "--version") == 0) {
            if (line.action != COMMAND_HELP) line.action = COMMAND_VERSION;
        } else if (std::strcmp(arg, "--workdir") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                line = CommandLine{COMMAND_ERROR, "", "option '--workdir' needs a folder"};
            } else {
                line.workdir = argv[++i];
            }
        } else if (std::strncmp(arg, "--workdir=", 10) == 0) {
            if (arg[10] == '\0') line = CommandLine{COMMAND_ERROR, "", "option '--workdir' needs a folder"};
            else line.workdir = arg + 10;
        } else if (arg[0] == '-') {
            line = CommandLine{COMMAND_ERROR, "", std::string("unknown option '") + arg + "'"};
        } else {
            line = CommandLine{COMMAND_ERROR, "", std::string("unexpected argument '") + arg + "'"};
        }
    }
    return line;
}

// See header.
std::string command_line_version()
{
    return "jox " JOX_PROGRAM_VERSION " (" JOX_VERSION_TITLE ")\n";
}

// See header.
std::string command_line_usage()
{
    return "Usage: jox [--workdir DIR]\n"
           "Exchange files and chat with one other person over a direct TCP connection.\n"
           "\n"
           "Options:\n"
           "  --workdir DIR  keep the settings (jox.cfg) and working files in DIR\n"
           "                 (default: $JOX_HOME, else $XDG_CONFIG_HOME/jox, else ~/.config/jox)\n"
           "  --version      print the version and exit\n"
           "  -h, --help     print this help and exit\n"
           "\n"
           "jox listens on TCP port 6843 unless its settings say otherwise.\n";
}
