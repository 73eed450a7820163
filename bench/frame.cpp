// Transfer speed: one 512 MiB random file (in the page cache) over loopback,
// sender and receiver in separate processes. jox: net_send_file into
// net_receive_file, then md5_file of the stored file. Baseline: a plain socket
// copy with 1 MiB read/write buffers into a file, then md5sum of it. Best of
// three runs each, alternating, in one process run. Prints
// "frame ratio R (...)" with R = plain time / jox time, and each role's peak
// resident memory, which must stay flat whatever the file's size.

#include "frame.h"
#include "md5.h"
#include "net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::size_t BENCH_FRAME_BYTES = 512u << 20;
const int BENCH_FRAME_RUNS = 3;
const std::size_t BENCH_FRAME_COPY = 1u << 20;

// What a child tells the parent through its pipe when it is done.
struct BenchReport {
    long peak_kib;   // its own peak resident memory
    char digest[33]; // receivers: the stored file's fingerprint
};

// One transfer: the time from starting the sender to the receiver's digest,
// and the peak memory of each side.
struct BenchRun {
    double seconds = 0;
    long sender_kib = 0;
    long receiver_kib = 0;
    std::string digest;
};

bool bench_frame_make_file(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::vector<char> piece(BENCH_FRAME_COPY);
    bool ok = true;
    for (std::size_t done = 0; done < BENCH_FRAME_BYTES && ok; done += piece.size()) {
        ok = getrandom(piece.data(), piece.size(), 0) == (ssize_t)piece.size() &&
             write(fd, piece.data(), piece.size()) == (ssize_t)piece.size();
    }
    return close(fd) == 0 && ok;
}

std::string bench_frame_md5sum(const std::string& path) {
    std::string command = "md5sum '" + path + "'";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return "";
    char line[256] = {0};
    bool got = std::fgets(line, sizeof line, p) != nullptr;
    if (pclose(p) != 0 || !got) return "";
    return std::string(line).substr(0, 32);
}

// Ends a child: reports its peak memory (and a digest) and exits.
[[noreturn]] void bench_frame_finish(int pipe_fd, const std::string& digest) {
    BenchReport r{};
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    r.peak_kib = u.ru_maxrss;
    std::snprintf(r.digest, sizeof r.digest, "%s", digest.c_str());
    bool ok = write(pipe_fd, &r, sizeof r) == (ssize_t)sizeof r;
    _exit(ok ? 0 : 1);
}

bool bench_frame_copy(int from, int to) {
    std::vector<char> buf(BENCH_FRAME_COPY);
    for (;;) {
        ssize_t n = read(from, buf.data(), buf.size());
        if (n == 0) return true;
        if (n < 0) return false;
        for (ssize_t at = 0; at < n;) {
            ssize_t w = write(to, buf.data() + at, (std::size_t)(n - at));
            if (w <= 0) return false;
            at += w;
        }
    }
}

// --- jox: the receiver listens under the transport, the sender calls it.

[[noreturn]] void bench_frame_jox_receiver(int port_pipe, int done_pipe, const std::string& dst) {
    net_startup();
    int port = net_server_create(0, 0) ? net_server_port(0) : 0;
    if (write(port_pipe, &port, sizeof port) != (ssize_t)sizeof port || !port) _exit(1);
    NetConnection* c = nullptr;
    // Bounded: about a minute of polls before the run is given up.
    for (int i = 0; i < 60000; i++) {
        int e = net_server_poll();
        if (e == NET_CONNECT) c = net_event_connection();
        if (e == NET_FILE) break;
        if (e == NET_NONE) {
            pollfd p[2] = {{net_server_fd(0), POLLIN, 0}, {net_connection_fd(c), POLLIN, 0}};
            poll(p, 2, 1);
        }
    }
    std::string digest;
    if (c && net_receive_file(c, dst.c_str()) == 1) digest = md5_file(dst.c_str());
    bench_frame_finish(done_pipe, digest);
}

[[noreturn]] void bench_frame_jox_sender(int port, int done_pipe, const std::string& src) {
    net_startup();
    NetConnection* c = net_connect("127.0.0.1", port);
    int ok = c && net_send_file(c, src.c_str()) == 1;
    bench_frame_finish(done_pipe, ok ? "sent" : "");
}

// --- baseline: a bare socket copy, then md5sum.

[[noreturn]] void bench_frame_plain_receiver(int port_pipe, int done_pipe, const std::string& dst) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    if (write(port_pipe, &port, sizeof port) != (ssize_t)sizeof port) _exit(1);
    int s = accept(listener, nullptr, nullptr);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = s >= 0 && out >= 0 && bench_frame_copy(s, out);
    ok = close(out) == 0 && ok;
    bench_frame_finish(done_pipe, ok ? bench_frame_md5sum(dst) : "");
}

[[noreturn]] void bench_frame_plain_sender(int port, int done_pipe, const std::string& src) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int in = open(src.c_str(), O_RDONLY);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && in >= 0 &&
              bench_frame_copy(in, s);
    close(s);
    bench_frame_finish(done_pipe, ok ? "sent" : "");
}

bool bench_frame_read_report(int fd, BenchReport* r) {
    return read(fd, r, sizeof *r) == (ssize_t)sizeof *r;
}

// Starts the receiver, waits until it listens, then times from the sender's
// start to the receiver's report.
BenchRun bench_frame_run(bool jox, const std::string& src, const std::string& dst) {
    BenchRun run;
    int port_pipe[2], receiver_pipe[2], sender_pipe[2];
    if (pipe(port_pipe) || pipe(receiver_pipe) || pipe(sender_pipe)) return run;
    pid_t receiver = fork();
    if (receiver == 0) {
        if (jox) bench_frame_jox_receiver(port_pipe[1], receiver_pipe[1], dst);
        bench_frame_plain_receiver(port_pipe[1], receiver_pipe[1], dst);
    }
    int port = 0;
    if (read(port_pipe[0], &port, sizeof port) != (ssize_t)sizeof port) port = 0;

    auto start = std::chrono::steady_clock::now();
    pid_t sender = fork();
    if (sender == 0) {
        if (jox) bench_frame_jox_sender(port, sender_pipe[1], src);
        bench_frame_plain_sender(port, sender_pipe[1], src);
    }
    BenchReport r{}, s{};
    bool got = bench_frame_read_report(receiver_pipe[0], &r);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    waitpid(receiver, nullptr, 0);
    got = bench_frame_read_report(sender_pipe[0], &s) && got;
    waitpid(sender, nullptr, 0);
    for (int fd : {port_pipe[0], port_pipe[1], receiver_pipe[0], receiver_pipe[1], sender_pipe[0],
                   sender_pipe[1]})
        close(fd);
    unlink(dst.c_str());
    if (!got || std::strcmp(s.digest, "sent") != 0) return run;
    run.digest = r.digest;
    run.sender_kib = s.peak_kib;
    run.receiver_kib = r.peak_kib;
    return run;
}

} // namespace

int main() {
    char dir[] = "/tmp/bench_frame_XXXXXX";
    if (!mkdtemp(dir)) {
        std::printf("frame ratio 0 (cannot make a temporary folder)\n");
        return 1;
    }
    std::string src = std::string(dir) + "/random.bin", dst = std::string(dir) + "/stored.bin";
    if (!bench_frame_make_file(src)) {
        std::printf("frame ratio 0 (cannot write the test file)\n");
        unlink(src.c_str());
        rmdir(dir);
        return 1;
    }
    std::string expected = md5_file(src.c_str());  // also warms the page cache

    BenchRun best_jox, best_plain;
    best_jox.seconds = best_plain.seconds = 1e9;
    std::string problem;
    for (int i = 0; i < BENCH_FRAME_RUNS && problem.empty(); i++) {
        for (bool jox : {true, false}) {
            BenchRun run = bench_frame_run(jox, src, dst);
            if (run.digest != expected) {
                problem = std::string(jox ? "jox" : "plain") + " stored a different file";
                break;
            }
            BenchRun& best = jox ? best_jox : best_plain;
            best.seconds = std::min(best.seconds, run.seconds);
            best.sender_kib = std::max(best.sender_kib, run.sender_kib);
            best.receiver_kib = std::max(best.receiver_kib, run.receiver_kib);
        }
    }
    unlink(src.c_str());
    rmdir(dir);
    if (!problem.empty()) {
        std::printf("frame ratio 0 (%s)\n", problem.c_str());
        return 1;
    }
    std::printf("frame ratio %.2f (jox %.2f s, plain %.2f s, 512 MiB, peak RSS sender %.1f MiB "
                "receiver %.1f MiB)\n",
                best_plain.seconds / best_jox.seconds, best_jox.seconds, best_plain.seconds,
                best_jox.sender_kib / 1024.0, best_jox.receiver_kib / 1024.0);
    return 0;
}
