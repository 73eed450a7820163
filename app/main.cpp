// The desktop program, started by `jox`: its options, the working folder,
// then start-up, the main loop and shutdown.
#include "app.h"
#include "command_line.h"
#include "working_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    CommandLine line = command_line_parse(argc, argv);
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
    std::string dir;
    if (!enter_working_folder(line.workdir, &dir)) {
        std::fprintf(stderr, "jox: cannot use the working folder %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    return app_run();
}
