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
#include <spawn.h>
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

extern char** environ;

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

int idle_free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

pid_t idle_start_program(const std::string& dir)
{
    std::vector<std::string> env_text = {"QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("QT_QPA_PLATFORM=", 0) != 0) env_text.push_back(*e);
    std::vector<char*> env;
    for (std::string& t : env_text) env.push_back(t.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char binary[] = JOX_BINARY;
    char* argv[] = {binary, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, binary, &actions, nullptr, argv, env.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void idle_stop(pid_t pid)
{
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/jox-bench-idle-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = std::string(pattern) + "/";
    std::ofstream(dir + "jox.cfg") << "Port = " << idle_free_port() << "\r\n";

    pid_t pid = idle_start_program(dir);
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
    idle_stop(pid);
    unlink((dir + "jox.cfg").c_str());
    rmdir(dir.c_str());

    double wall_ns = (t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec);
    double program = 100.0 * static_cast<double>(after - before) / wall_ns;
    double baseline = 100.0 * static_cast<double>(loop_ns.load()) / wall_ns;
    std::printf("idle ratio %.3f (program %.3f%% of a core, 1 ms sleep loop %.3f%%, over %d s)\n",
                baseline > 0 ? program / baseline : 0.0, program, baseline, idle_seconds);
    return 0;
}
