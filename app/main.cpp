// The desktop program, started by `jox`: its options, the working folder,
// then start-up, the main loop and shutdown.
#include "app.h"
#include "command_line.h"
#include "working_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Without a display to open, Qt aborts with a page about platform plugins;
// someone who started jox over ssh or on a console is better told what they
// can do instead. QT_QPA_PLATFORM names a platform that needs none.
static bool main_has_display()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

int main(int argc, char** argv)
{
    CommandLine line = command_line_parse(argc, argv);
    int answered = command_line_answer(line);
    if (answered >= 0) return answered;
    if (!main_has_display()) {
        std::fputs("jox: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "Start jox in a desktop session, or use 'jox send' and 'jox receive', which need none;\n"
                   "'jox --help' shows how.\n",
                   stderr);
        return 1;
    }
    std::string dir;
    if (!enter_working_folder(line.workdir, &dir)) {
        std::fprintf(stderr, "jox: cannot use the working folder %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    return app_run();
}
