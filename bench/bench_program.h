// Starting the built program for a benchmark: a free loopback port for its
// settings, the program itself offscreen in a working folder of its own with
// its output discarded, and stopping it again. Header-only, so each
// benchmark stays one program of one source file.
#pragma once

#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

// A port nobody listens on now (0 when none could be had).
inline int bench_free_port()
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

// The built program, offscreen, with `dir` as its working folder; its pid
// or -1.
inline pid_t bench_start_program(const std::string& dir)
{
    std::vector<std::string> text;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0)
            text.push_back(*e);
    text.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> env;
    for (std::string& t : text)
        env.push_back(t.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char binary[] = JOX_BINARY;
    char workdir_option[] = "--workdir";
    std::string workdir = dir;
    char* argv[] = {binary, workdir_option, workdir.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, binary, &actions, nullptr, argv, env.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Asks the program to end, then insists after two seconds; always reaps it.
inline void bench_stop_program(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        usleep(10 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}
