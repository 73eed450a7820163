// Shared by the transfer and handshake benchmarks: two real instances on one
// machine. The child instance (the built program, offscreen, automatic
// acceptance) listens; this process runs the program's core in-process,
// calls the child over 127.0.0.2 and sends through the requester's test seam.
// Header-only so that each benchmark stays one program of one source file.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_files.h"
#include "bench_program.h"

#include "app.h"
#include "handlers.h"
#include "calls.h"
#include "desktop.h"
#include "state.h"
#include "toolkit.h"


namespace offers_bench {

using namespace bench_files;

inline bool write_config(const std::string& dir, int port, const char* auto_accept)
{
    // The received files stay in the bench's own folder, not the user's.
    return write_text(dir + "jox.cfg", "Folder = " + dir + "Received Files/\r\nPort = " + std::to_string(port) +
                                           "\r\nAuto Accept = " + auto_accept +
                                           "\r\nOpen File = No\r\nTimeout = 2\r\n");
}

inline bool port_taken(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(0x7f000002);
    bool taken = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return taken;
}

// Peak resident memory in MiB: of a child from /proc, of us from getrusage.
inline double child_peak_mib(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    double kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::atof(line + 6);
    std::fclose(f);
    return kib / 1024.0;
}

inline double own_peak_mib()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / 1024.0;
}

inline std::string status_text()
{
    return statusbar_get_text(0, 0);
}

// Passes of the main loop until `done` or `seconds` pass.
template <class F>
bool pump_until(F done, double seconds)
{
    auto start = std::chrono::steady_clock::now();
    for (long pass = 0; pass < 100000000L; ++pass) {
        if (done())
            return true;
        if (seconds_since(start) > seconds || !app_pass())
            break;
    }
    return done();
}

// The two instances, connected. Folders and the child are cleaned up by end().
struct Pair {
    std::string child_dir;
    std::string dir;
    pid_t child = -1;
    bool started = false;

    bool begin()
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        int port = bench_free_port();
        child_dir = temp_dir("child");
        dir = temp_dir("parent");
        if (child_dir.empty() || dir.empty() || !write_config(child_dir, port, "Yes") ||
            !write_config(dir, port, "No"))
            return false;
        child = bench_start_program(child_dir);
        for (int i = 0; i < 400 && child > 0 && !port_taken(port); ++i)
            usleep(25 * 1000);
        if (child <= 0 || !port_taken(port) || chdir(dir.c_str()) != 0 || !app_startup())
            return false;
        started = true;
        control_set_text(0, "127.0.0.2");
        desktop_place_call();
        return pump_until([] { return status_text() == "Connected To Server 127.0.0.2."; }, 10);
    }

    // Sends the files through the requester seam; seconds from the click to
    // the final status, or -1 when `expected` did not come.
    double send(const std::vector<std::string>& paths, const std::string& expected)
    {
        ui_test_queue_files_answer(paths.data(), int(paths.size()));
        status("");  // the last run's report is not this one's
        auto start = std::chrono::steady_clock::now();
        desktop_send_files();
        std::string want = expected;
        pump_until([&] { return status_text() == want || status_text() == "Connected. File/s not Sent or Not Accepted."; },
                   600);
        double s = seconds_since(start);
        return status_text() == expected ? s : -1;
    }

    void end()
    {
        if (started)
            app_shutdown();
        started = false;
        bench_stop_program(child);
        child = -1;
        if (chdir("/tmp") != 0)
            std::fprintf(stderr, "could not leave %s\n", dir.c_str());
        remove_dir(child_dir);
        remove_dir(dir);
    }
};

} // namespace offers_bench
