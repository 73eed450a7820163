// Shared pieces of the transport tests: a fixture with a started socket layer
// and server 0 listening on a free loopback port, plain "raw" peers built on
// bare sockets (so the bytes on the wire are exactly what a test writes and
// sees), and a temporary folder per test.
#pragma once

#include "net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace net_test {

inline int raw_connect(int port, const char* ip = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A bare listener on a free loopback port; `port` receives the number.
inline int raw_listen(int* port, int backlog = 16) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// A listener whose accept queue is full: further SYNs are dropped, so an
// attempt to reach it hears nothing at all. The fillers hold the queue.
inline int silent_listen(int* port, std::vector<int>* fillers) {
    int fd = raw_listen(port, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)*port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 4; i++) {
        fillers->push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(fillers->back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return fd;
}

inline bool raw_write(int fd, const std::string& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
}

// Reads until `n` bytes arrived, the peer closed, or 10 s passed without data.
inline std::string raw_read(int fd, size_t n) {
    std::string got;
    char buf[65536];
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) break;
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buf, (size_t)r);
    }
    return got;
}

// What arrives within `ms` (to show that nothing, or nothing more, was sent).
inline std::string raw_drain(int fd, int ms) {
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, ms) == 1) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        got.append(buf, (size_t)r);
    }
    return got;
}

// True when the peer's end of the stream arrives (within 5 s) with nothing
// before it.
inline bool raw_at_end(int fd) {
    pollfd p{fd, POLLIN, 0};
    char b;
    return poll(&p, 1, 5000) == 1 && recv(fd, &b, 1, 0) == 0;
}

// The frame header for a body of `n` bytes.
inline std::string frame_header(uint32_t n) {
    std::string h = "PBMGSFLE";
    for (int i = 0; i < 4; i++) h += (char)((n >> (8 * i)) & 0xff);
    return h;
}

inline std::string pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1664525u + 1013904223u;
        s[i] = (char)(x >> 24);
    }
    return s;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Minimal roots and containers may have no /etc/hosts at all; tests that
// look up "localhost" skip that part there.
inline bool localhost_resolves() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo("localhost", nullptr, &hints, &found) != 0) return false;
    freeaddrinfo(found);
    return true;
}

inline int open_fd_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

class NetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(net_startup(), 1);
        ASSERT_NE(net_server_create(0, 0), 0);
        port = net_server_port(0);
        ASSERT_GT(port, 0);
        char tmpl[] = "/tmp/jox_net_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        net_shutdown();
        net_set_timeouts(0, 0, 0);
        std::filesystem::remove_all(dir);
    }

    // Polls the server until it reports something (bounded), as the main
    // loop would; loopback delivery is quick but not instantaneous.
    int poll_event(int ms = 5000) {
        for (int waited = 0; waited < ms; waited++) {
            int e = net_server_poll();
            if (e != NET_NONE) return e;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return NET_NONE;
    }

    // A raw caller and its accepted connection.
    NetConnection* accept_caller(int* raw) {
        *raw = raw_connect(port);
        EXPECT_GE(*raw, 0);
        EXPECT_EQ(poll_event(), NET_CONNECT);
        return net_event_connection();
    }

    std::string path(const char* name) const { return dir + "/" + name; }

    int port = 0;
    std::string dir;
};

} // namespace net_test
