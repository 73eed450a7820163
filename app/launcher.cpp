// `jox`: the command line itself, and the starter of the desktop program.
// The windows live in a program of their own, so that `jox send` and `jox
// receive` never load the window system's libraries: they start at once and
// stay small however long they listen.
#include "cli.h"
#include "command_line.h"

#include "user_folders.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Beside this program in a build; under libexec when installed.
std::string desktop_program()
{
    std::string here = program_folder();
    std::string beside = here + "jox-desktop";
    if (access(beside.c_str(), X_OK) == 0) return beside;
    return here + "../" JOX_LIBEXEC_DIR "/jox/jox-desktop";
}

}  // namespace

int main(int argc, char** argv)
{
    int status = cli_main(argc, argv);
    if (status >= 0) return status;
    CommandLine line = command_line_parse(argc, argv);
    int answered = command_line_answer(line);
    if (answered >= 0) return answered;
    std::string desktop = desktop_program();
    execv(desktop.c_str(), argv);
    std::fprintf(stderr, "jox: cannot start the desktop program %s: %s\n", desktop.c_str(), std::strerror(errno));
    return 1;
}
