// File frames: "PBMGSFLE", the body size as 32-bit little-endian, the body.
// The sender streams the file from the page cache with sendfile(2) (or reads
// and sends fixed pieces when a broken pipe would raise a fatal signal); the
// receiver takes fixed pieces into one buffer and writes each as it fills.
// Neither side holds more than one piece, whatever the file's size, and every
// wait for the peer is bounded by the transfer time limit.
//
// Contracts are in frame.h; see header.
#include "frame.h"
#include "net.h"
#include "net_private.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace {

const char NET_FRAME_MAGIC[8] = {'P', 'B', 'M', 'G', 'S', 'F', 'L', 'E'};
const int NET_FRAME_HEADER = 12;
const int64_t NET_FRAME_LIMIT = (int64_t)1 << 31;  // sizes from here on do not fit the frame
const std::size_t NET_SEND_PIECE = 256 * 1024;     // read-and-send piece, and sendfile step
const std::size_t NET_RECEIVE_PIECE = 1024 * 1024; // receive buffer
const int64_t NET_PROGRESS_MS = 100;               // least time between progress reports

// Progress reports throttled by a monotonic clock; the final report always
// goes out, and its answer no longer matters since the body is complete.
struct NetProgress {
    const NetFileHooks* hooks; // may be null
    int64_t total;             // body bytes
    int64_t last_ms;           // time of the last report
};

thread_local int g_frame_end = NET_FRAME_UNTOUCHED;

int net_frame_set(int end) {
    g_frame_end = end;
    return end == NET_FRAME_DONE ? 1 : 0;
}

// True when the hook asks to abandon the transfer.
bool net_progress(NetProgress* p, int64_t done) {
    if (!p->hooks || !p->hooks->progress) return false;
    int64_t now = net_now_ms();
    if (done < p->total && now - p->last_ms < NET_PROGRESS_MS) return false;
    p->last_ms = now;
    int stop = p->hooks->progress(p->hooks->ctx, done, p->total);
    return stop != 0 && done < p->total;
}

// Waits for `events` until `deadline`, in slices short enough that the
// progress hook keeps running while the peer is silent: the user can still
// abandon a stalled transfer, and the application can still turn callers
// away. NET_FRAME_DONE when ready (or the socket failed, which the next call
// reports), else NET_FRAME_STALLED or NET_FRAME_ABANDONED.
int net_wait_reporting(int sock, short events, int64_t deadline, NetProgress* p, int64_t done) {
    for (;;) {
        int64_t now = net_now_ms();
        if (now >= deadline) return NET_FRAME_STALLED;
        int64_t slice = std::min<int64_t>(deadline, now + NET_PROGRESS_MS);
        int ready = net_wait_fd(sock, events, slice);
        if (ready != 0) return NET_FRAME_DONE;
        if (net_progress(p, done)) return NET_FRAME_ABANDONED;
    }
}

// sendfile(2) cannot be told not to raise SIGPIPE; use it only where that
// signal cannot end the program.
bool net_sigpipe_harmless() {
    struct sigaction sa{};
    if (sigaction(SIGPIPE, nullptr, &sa) != 0) return false;
    return sa.sa_handler != SIG_DFL;
}

// Keeps the frame the size its header announced when the file shrank while
// being sent: the peer then stores a wrong body (which its fingerprint check
// finds) instead of reading our next tokens as file bytes.
int net_send_padding(int sock, int64_t left) {
    static const char zeros[4096] = {};
    while (left > 0) {
        std::size_t n = (std::size_t)std::min<int64_t>(left, sizeof zeros);
        if (net_send_all(sock, zeros, n, false) != 0) return -1;
        left -= (int64_t)n;
    }
    return 0;
}

// One step of the body from offset `*done`: 1 sent some, 0 the file ended
// early, otherwise minus the NetFrameEnd that stopped it. `*use_sendfile`
// drops to plain reads where unsupported.
int net_send_step(int sock, int file, int64_t* done, int64_t total, bool* use_sendfile,
                  char* buf, NetProgress* progress) {
    std::size_t want = (std::size_t)std::min<int64_t>(total - *done, NET_SEND_PIECE);
    if (*use_sendfile) {
        off_t offset = (off_t)*done;
        int64_t deadline = net_now_ms() + net_io_timeout_ms();
        for (;;) {
            ssize_t n = sendfile(sock, file, &offset, want);
            if (n > 0) {
                *done += n;
                return 1;
            }
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            if (errno == EINVAL || errno == ENOSYS) {
                *use_sendfile = false;
                break;
            }
            if (errno != EAGAIN) return -NET_FRAME_BROKEN;
            int waited = net_wait_reporting(sock, POLLOUT, deadline, progress, *done);
            if (waited != NET_FRAME_DONE) return -waited;
        }
    }
    ssize_t n;
    do {
        n = pread(file, buf, want, (off_t)*done);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -NET_FRAME_BROKEN;
    if (n == 0) return 0;
    if (net_send_all(sock, buf, (std::size_t)n, false) != 0)
        return net_closed_errno(errno) ? -NET_FRAME_BROKEN : -NET_FRAME_STALLED;
    *done += n;
    return 1;
}

// See net_send_file; the socket is non-blocking while this runs.
int net_send_frame(int sock, int file, int64_t total, const NetFileHooks* hooks) {
    unsigned char header[NET_FRAME_HEADER];
    std::memcpy(header, NET_FRAME_MAGIC, 8);
    for (int i = 0; i < 4; i++) header[8 + i] = (unsigned char)((uint64_t)total >> (8 * i));

    bool use_sendfile = net_sigpipe_harmless();
    std::unique_ptr<char[]> buf(new (std::nothrow) char[NET_SEND_PIECE]);
    if (!buf) return net_frame_set(NET_FRAME_UNTOUCHED);
    if (net_send_all(sock, header, sizeof header, total > 0) != 0)
        return net_frame_set(NET_FRAME_BROKEN);

    NetProgress progress{hooks, total, net_now_ms()};
    int64_t done = 0;
    while (done < total) {
        int step = net_send_step(sock, file, &done, total, &use_sendfile, buf.get(), &progress);
        if (step < 0) return net_frame_set(-step);
        if (step == 0) {
            if (net_send_padding(sock, total - done) != 0) return net_frame_set(NET_FRAME_BROKEN);
            return net_frame_set(NET_FRAME_FILE_ERROR);
        }
        if (net_progress(&progress, done)) return net_frame_set(NET_FRAME_ABANDONED);
    }
    net_progress(&progress, total);
    return net_frame_set(NET_FRAME_DONE);
}

// Writes all of `n` bytes; false on a write error (disk full, among others).
bool net_write_all(int file, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(file, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= (std::size_t)w;
    }
    return true;
}

// Takes exactly `n` bytes off the socket, waiting for each part at most the
// transfer time limit. NET_FRAME_DONE, NET_FRAME_BROKEN or NET_FRAME_STALLED.
int net_receive_exact(int sock, unsigned char* into, std::size_t n) {
    std::size_t got = 0;
    int64_t deadline = net_now_ms() + net_io_timeout_ms();
    while (got < n) {
        ssize_t r = recv(sock, into + got, n - got, MSG_DONTWAIT);
        if (r > 0) {
            got += (std::size_t)r;
            deadline = net_now_ms() + net_io_timeout_ms();
            continue;
        }
        if (r == 0) return NET_FRAME_BROKEN;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return NET_FRAME_BROKEN;
        int ready = net_wait_fd(sock, POLLIN, deadline);
        if (ready == 0) return NET_FRAME_STALLED;
        if (ready < 0) return NET_FRAME_BROKEN;
    }
    return NET_FRAME_DONE;
}

// Reads the 12-byte header once the waiting bytes begin like a frame.
// N (0 or more) on success; otherwise minus the NetFrameEnd: UNTOUCHED when
// nothing frame-like arrived in time (the bytes, if any, stay on the
// connection), else the header was taken in part or is unusable.
int64_t net_receive_header(int sock, int64_t deadline) {
    if (net_wait_fd(sock, POLLIN, deadline) != 1) return -NET_FRAME_UNTOUCHED;
    char seen[8];
    ssize_t n;
    do {
        n = recv(sock, seen, sizeof seen, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || std::memcmp(seen, NET_FRAME_MAGIC, (std::size_t)n) != 0)
        return -NET_FRAME_UNTOUCHED;

    unsigned char header[NET_FRAME_HEADER];
    int got = net_receive_exact(sock, header, sizeof header);
    if (got != NET_FRAME_DONE) return -got;
    if (std::memcmp(header, NET_FRAME_MAGIC, 8) != 0) return -NET_FRAME_BROKEN;
    uint32_t size = (uint32_t)header[8] | (uint32_t)header[9] << 8 | (uint32_t)header[10] << 16 |
                    (uint32_t)header[11] << 24;
    int32_t signed_size = (int32_t)size;
    return signed_size < 0 ? -NET_FRAME_BROKEN : signed_size;
}

// The receiving side's state while the body arrives.
struct NetBody {
    int sock;               // the connection's socket
    int file;               // the target file
    const NetFileHooks* hooks;
    char* buf;              // one piece
    std::size_t fill;       // bytes of the piece received, not yet written
    bool write_failed;      // the file refused a write; the body is still taken off
};

void net_body_flush(NetBody* b) {
    if (b->fill == 0) return;
    if (!b->write_failed) {
        if (b->hooks && b->hooks->piece) b->hooks->piece(b->hooks->ctx, b->buf, b->fill);
        b->write_failed = !net_write_all(b->file, b->buf, b->fill);
    }
    b->fill = 0;
}

// Takes the `total` body bytes off the connection into the file; the
// NetFrameEnd.
int net_receive_body(NetBody* b, int64_t total) {
    NetProgress progress{b->hooks, total, net_now_ms()};
    int64_t due = total;
    int64_t deadline = net_now_ms() + net_io_timeout_ms();
    while (due > 0) {
        std::size_t want = (std::size_t)std::min<int64_t>(due, NET_RECEIVE_PIECE - b->fill);
        ssize_t r = recv(b->sock, b->buf + b->fill, want, MSG_DONTWAIT);
        if (r > 0) {
            b->fill += (std::size_t)r;
            due -= r;
            deadline = net_now_ms() + net_io_timeout_ms();
            if (b->fill == NET_RECEIVE_PIECE || due == 0) {
                net_body_flush(b);
                if (net_progress(&progress, total - due)) return NET_FRAME_ABANDONED;
            }
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        net_body_flush(b);
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return NET_FRAME_BROKEN;
        // Nothing waiting: write out what we hold while the peer catches up.
        if (net_progress(&progress, total - due)) return NET_FRAME_ABANDONED;
        int waited = net_wait_reporting(b->sock, POLLIN, deadline, &progress, total - due);
        if (waited != NET_FRAME_DONE) return waited;
    }
    net_progress(&progress, total);
    return b->write_failed ? NET_FRAME_FILE_ERROR : NET_FRAME_DONE;
}

// See net_take_frame: the body after the header, dropped or kept, within
// one total deadline besides the usual limit without progress.
int net_take_body(int sock, std::string* keep, int64_t total, int64_t end_ms,
                  const NetFileHooks* hooks) {
    NetProgress progress{hooks, total, net_now_ms()};
    char piece[64 * 1024];
    int64_t due = total;
    int64_t stall = net_now_ms() + net_io_timeout_ms();
    while (due > 0) {
        std::size_t want = (std::size_t)std::min<int64_t>(due, (int64_t)sizeof piece);
        ssize_t r = recv(sock, piece, want, MSG_DONTWAIT);
        if (r > 0) {
            if (keep) keep->append(piece, (std::size_t)r);
            due -= r;
            stall = net_now_ms() + net_io_timeout_ms();
            if (due > 0 && net_now_ms() >= end_ms) return NET_FRAME_STALLED;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return NET_FRAME_BROKEN;
        int waited = net_wait_reporting(sock, POLLIN, std::min(stall, end_ms), &progress,
                                        total - due);
        if (waited != NET_FRAME_DONE) return waited;
    }
    return NET_FRAME_DONE;
}

} // namespace

int net_send_file(NetConnection* c, const char* path, const NetFileHooks* hooks) {
    net_frame_set(NET_FRAME_UNTOUCHED);
    int sock = net_connection_fd(c);
    if (sock < 0 || !path) return 0;
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return 0;
    struct stat st{};
    if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size >= NET_FRAME_LIMIT) {
        close(file);
        return 0;
    }
    int flags = fcntl(sock, F_GETFL);
    bool was_blocking = flags >= 0 && !(flags & O_NONBLOCK);
    // sendfile(2) honours only the socket's own mode; non-blocking lets a peer
    // that stops reading end the send after the time limit.
    if (was_blocking) fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    int result = net_send_frame(sock, file, st.st_size, hooks);
    if (was_blocking) fcntl(sock, F_SETFL, flags);
    close(file);
    return result;
}

int net_receive_file_fd(NetConnection* c, int file, const NetFileHooks* hooks) {
    net_frame_set(NET_FRAME_UNTOUCHED);
    int sock = net_connection_fd(c);
    if (sock < 0 || file < 0) return 0;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[NET_RECEIVE_PIECE]);
    if (!buf) return 0;
    // A received file is data, never a program: no execute bits, also when
    // it replaces a file that had them.
    struct stat st{};
    if (fstat(file, &st) == 0 && (st.st_mode & 0111)) fchmod(file, st.st_mode & 0666);

    int64_t total = net_receive_header(sock, net_now_ms() + net_io_timeout_ms());
    if (total < 0) return net_frame_set((int)-total);
    NetBody body{sock, file, hooks, buf.get(), 0, false};
    return net_frame_set(net_receive_body(&body, total));
}

int net_receive_file(NetConnection* c, const char* path, const NetFileHooks* hooks) {
    net_frame_set(NET_FRAME_UNTOUCHED);
    if (net_connection_fd(c) < 0 || !path) return 0;
    int file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return 0;
    int result = net_receive_file_fd(c, file, hooks);
    if (close(file) != 0 && result) result = net_frame_set(NET_FRAME_FILE_ERROR);
    return result;
}

int net_take_frame(NetConnection* c, std::string* keep, std::size_t keep_limit,
                   int64_t total_ms, int64_t* size, const NetFileHooks* hooks) {
    net_frame_set(NET_FRAME_UNTOUCHED);
    if (size) *size = -1;
    if (keep) keep->clear();
    int sock = net_connection_fd(c);
    if (sock < 0) return 0;
    int64_t end_ms = net_now_ms() + total_ms;
    int64_t total = net_receive_header(sock, std::min(end_ms, net_now_ms() + net_io_timeout_ms()));
    if (total < 0) return net_frame_set((int)-total);
    if (size) *size = total;
    // Only a body known to fit is kept; the header alone never sizes memory.
    std::string* into = keep && (uint64_t)total <= keep_limit ? keep : nullptr;
    return net_frame_set(net_take_body(sock, into, total, end_ms, hooks));
}

int net_frame_end() { return g_frame_end; }

int net_frame_time_limit_ms() { return net_io_timeout_ms(); }
