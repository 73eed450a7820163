// What an idle program costs: the real program, started offscreen in a
// temporary folder with nothing to do, against a loop that sleeps 1 ms
// between empty polls (how a busy-polling design idles), measured side by
// side over the same seconds. Prints "idle ratio R (...)"; R below 1 means
// the program idles more cheaply than the 1 ms loop.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_program.h"

namespace {

constexpr int idle_seconds = 10;

// CPU time of every thread of a process, in nanoseconds.
long long idle_process_cpu_ns(pid_t pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    if (!d) return -1;
    long long total = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
        long long ns = 0;
        if (in >> ns) total += ns;
    }
    closedir(d);
    return total;
}

long long idle_thread_cpu_ns()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/jox-bench-idle-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = std::string(pattern) + "/";
    std::ofstream(dir + "jox.cfg") << "Port = " << bench_free_port() << "\r\n";

    pid_t pid = bench_start_program(dir);
    if (pid <= 0) {
        std::printf("idle ratio 0 (could not start %s)\n", JOX_BINARY);
        return 1;
    }
    sleep(3);  // past start-up

    std::atomic<long long> loop_ns{0};
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        long long start = idle_thread_cpu_ns();
        pollfd none{-1, POLLIN, 0};
        while (!stop) {
            poll(&none, 1, 0);  // the empty poll
            usleep(1000);
        }
        loop_ns = idle_thread_cpu_ns() - start;
    });
    long long before = idle_process_cpu_ns(pid);
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    sleep(idle_seconds);
    long long after = idle_process_cpu_ns(pid);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    stop = true;
    loop.join();
    bench_stop_program(pid);
    unlink((dir + "jox.cfg").c_str());
    rmdir(dir.c_str());

    double wall_ns = (t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec);
    double program = 100.0 * static_cast<double>(after - before) / wall_ns;
    double baseline = 100.0 * static_cast<double>(loop_ns.load()) / wall_ns;
    std::printf("idle ratio %.3f (program %.3f%% of a core, 1 ms sleep loop %.3f%%, over %d s)\n",
                baseline > 0 ? program / baseline : 0.0, program, baseline, idle_seconds);
    return 0;
}
