// The command line: options are taken in order, so that the last --workdir
// wins like in most programs; anything unknown stops with a hint, since a
// mistyped option silently ignored would start jox in the wrong folder.
#include "command_line.h"
#include "constants.h"

#include <cstdio>
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
int command_line_answer(const CommandLine& line)
{
    switch (line.action) {
    case COMMAND_VERSION:
        std::fputs(command_line_version().c_str(), stdout);
        return 0;
    case COMMAND_HELP:
        std::fputs(command_line_usage().c_str(), stdout);
        return 0;
    case COMMAND_ERROR:
        std::fprintf(stderr, "jox: %s\nTry 'jox --help' for more information.\n", line.error.c_str());
        return 2;
    case COMMAND_RUN:
        break;
    }
    return -1;
}

// See header.
std::string command_line_version()
{
    return "jox " JOX_PROGRAM_VERSION " (" JOX_VERSION_TITLE ")\n";
}

// See header.
std::string command_line_usage()
{
    return "Usage: jox [--workdir DIR]                       the desktop program\n"
           "       jox send [OPTIONS] HOST[:PORT] FILE...      offer files to another jox\n"
           "       jox receive [OPTIONS]                       take calls and store files\n"
           "Exchange files and chat with one other person over a direct TCP connection.\n"
           "\n"
           "Options:\n"
           "  --workdir DIR  keep the settings (jox.cfg) and working files in DIR\n"
           "                 (default: $JOX_HOME, else $XDG_CONFIG_HOME/jox, else ~/.config/jox)\n"
           "  --version      print the version and exit\n"
           "  -h, --help     print this help and exit\n"
           "\n"
           "Options of send and receive (for this run only; jox.cfg is never rewritten):\n"
           "  --port N       port to call (send) or listen on (receive), 1-65535\n"
           "  --folder DIR   received-files folder (receive)\n"
           "  --name NICK    nickname announced to the other side\n"
           "  --timeout S    seconds to wait for the other program's acknowledgement\n"
           "  --accept all|ask|none   receive: take every offer (default), ask on the\n"
           "                 terminal (y/n), or decline every offer\n"
           "  --once         receive: end after the first call ends\n"
           "  --no-extensions  send: speak only the original protocol (files of 2 GiB\n"
           "                 or more then cannot be sent)\n"
           "  --idle-timeout S  end a call in which the other side says nothing\n"
           "                 for S seconds (default 120)\n"
           "send prints one line per file; receive prints \"PATH SIZE MD5 ok|corrupted\"\n"
           "per stored file and the other side's chat lines. Ctrl-C ends either cleanly.\n"
           "\n"
           "Exit status: 0 every file delivered and confirmed (send) or a clean end\n"
           "(receive); 1 a file was not delivered intact; 2 bad options or files;\n"
           "3 no call (host unreachable or silent, busy line, port not free);\n"
           "130 interrupted during a send.\n"
           "\n"
           "jox listens on TCP port 6843 unless its settings say otherwise.\n";
}
