// TCP transport over BSD sockets: the server table and its poll, outgoing
// connections and their poll, sends that always complete, bounded receives,
// addresses and host names.
//
// Index: shared helpers, connection registry, start and end, servers, server
// poll, outgoing connections, sends and receives, addresses.
//
// A handle is not the record's address but the record's number, counted up
// from 1 and never given out twice: allocators hand a freed address to the
// next record, and a handle that compared equal to a new connection's would
// let a stale holder speak to a stranger. An operation on a number the
// registry does not hold does nothing. Hung-up connections leave the registry
// for a list of their own that server polls drain and close without ever
// reporting them.
//
// Accepted and hung-up connections together are bounded, and running out of
// descriptors refuses the caller instead of leaving it in the queue, where
// the listener would stay readable and every poll would find it again.
//
// Connecting runs in steps polled by the caller: the name lookup, which the
// C library can only do blocking, runs on a detached helper thread whose
// answer is simply dropped when the attempt ended first.
//
// Contracts are in net.h; see header.
#include "net.h"
#include "net_private.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

struct NetRecord {
    uint64_t id;                // the handle's number, never reused
    int fd;                     // the connected socket
    int server;                 // owning server number, -1 for an outgoing connection
    int64_t hangup_deadline_ms; // when a hung-up connection is closed regardless
    int64_t drained;            // bytes read off since the hang-up
};

// A name lookup shared by an attempt and its helper thread; whichever lets
// go last frees it, so an abandoned lookup may finish whenever it likes.
struct NetLookup {
    std::string host;
    in_addr address{};
    std::atomic<int> state{0};  // 0 running, 1 found, -1 failed
    std::atomic<int> holders{2};
};

struct NetAttempt {
    int id;
    sockaddr_in address;
    int fd;                     // the connecting socket, -1 before the lookup ended
    int64_t deadline_ms;        // the whole attempt, lookup included
    NetLookup* lookup;          // the lookup still running, or nullptr
};

const int NET_TABLE_STEP = 16;
const int NET_BACKLOG = 100;
const int NET_DEFAULT_CONNECT_MS = 10000;
const int NET_DEFAULT_IO_MS = 30000;
const int NET_DEFAULT_HANGUP_MS = 10000;
// One drain pass of a hung-up connection reads at most this much, so a peer
// that keeps sending cannot hold up the poll.
const int NET_DRAIN_PASSES = 16;
// A hung-up peer that keeps sending is cut off after this much.
const int64_t NET_DRAIN_MAX_BYTES = 256 * 1024;
// Accepted plus hung-up connections held at once: far below the usual 1024
// descriptors, far above what one call with a few turned-away callers needs.
const size_t NET_MAX_HELD = 64;
// How long accepting rests when no descriptor is left even to refuse with.
const int NET_ACCEPT_REST_MS = 100;

struct NetServer {
    int fd = -1;                               // listening socket, -1 when the slot is free
    int number = -1;                           // the slot's number
    std::vector<NetRecord*> connections;       // accepted, oldest first; polled newest first
};

std::vector<NetServer> g_servers;              // the server table
std::vector<NetRecord*> g_live;                // every usable connection
std::vector<NetRecord*> g_hanging;             // hung up, oldest first, drained by server polls
std::vector<NetAttempt> g_attempts;            // connections being made
uint64_t g_next_id = 1;                        // the next handle's number
int g_next_attempt = 1;                        // the next attempt's number
uint64_t g_event_id = 0;                       // the last server-poll event's connection
int g_spare_fd = -1;                           // given up to accept and refuse a caller
int64_t g_accept_rest_until = 0;               // no accepting before this time
int g_connect_ms = NET_DEFAULT_CONNECT_MS;
int g_io_ms = NET_DEFAULT_IO_MS;
int g_hangup_ms = NET_DEFAULT_HANGUP_MS;

const char NET_MAGIC[8] = {'P', 'B', 'M', 'G', 'S', 'F', 'L', 'E'};

// ---------------------------------------------------------------- helpers

int net_set_flag(int fd, int flag, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    int wanted = on ? (flags | flag) : (flags & ~flag);
    if (wanted == flags) return 0;
    return fcntl(fd, F_SETFL, wanted);
}

int net_nonblock(int fd) { return net_set_flag(fd, O_NONBLOCK, true); }
int net_block(int fd) { return net_set_flag(fd, O_NONBLOCK, false); }

// Control tokens are small single sends that the peer answers at once;
// waiting to coalesce them only adds round-trip delay.
void net_no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

NetConnection* net_handle_of(uint64_t id) {
    return reinterpret_cast<NetConnection*>(static_cast<uintptr_t>(id));
}

// The record a handle names, or nullptr for no handle or a stale one.
NetRecord* net_live(const NetConnection* c) {
    uint64_t id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(c));
    if (id == 0) return nullptr;
    for (NetRecord* r : g_live)
        if (r->id == id) return r;
    return nullptr;
}

void net_forget(std::vector<NetRecord*>& list, NetRecord* r) {
    list.erase(std::remove(list.begin(), list.end(), r), list.end());
}

void net_release(NetRecord* r) {
    if (r->fd >= 0) close(r->fd);
    delete r;
}

// Takes a connection out of the registry and its server's list; the caller
// then releases it or moves it elsewhere.
void net_detach(NetRecord* r) {
    net_forget(g_live, r);
    if (r->server >= 0 && r->server < (int)g_servers.size())
        net_forget(g_servers[r->server].connections, r);
}

NetRecord* net_make_connection(int fd, int server) {
    NetRecord* r = new NetRecord{g_next_id++, fd, server, 0, 0};
    g_live.push_back(r);
    return r;
}

// Peek of up to 8 bytes: the count seen, 0 when the far end closed, -1 when
// nothing is waiting (or another error that does not end the connection).
int net_peek(int fd, char* scratch) {
    for (int attempt = 0; attempt < 4; attempt++) {
        ssize_t n = recv(fd, scratch, 8, MSG_PEEK | MSG_DONTWAIT);
        if (n >= 0) return (int)n;
        if (errno == EINTR) continue;
        return net_closed_errno(errno) ? 0 : -1;
    }
    return -1;
}

int net_data_code(const char* scratch, int seen) {
    return seen == 8 && std::memcmp(scratch, NET_MAGIC, 8) == 0 ? NET_FILE : NET_DATA;
}

void net_table_reserve(int server) {
    if (g_servers.empty()) g_servers.resize(NET_TABLE_STEP);
    if (server >= (int)g_servers.size()) g_servers.resize(server + NET_TABLE_STEP);
}

// One bounded drain pass of a hung-up connection. True when it is done with
// (the peer closed, the connection broke or its time ran out).
bool net_drain(NetRecord* c, int64_t now) {
    if (now >= c->hangup_deadline_ms || c->drained >= NET_DRAIN_MAX_BYTES) return true;
    char scratch[4096];
    for (int pass = 0; pass < NET_DRAIN_PASSES; pass++) {
        ssize_t n = recv(c->fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
        c->drained += n;
        if (c->drained >= NET_DRAIN_MAX_BYTES) return true;
    }
    return false;
}

void net_drain_hanging() {
    if (g_hanging.empty()) return;
    int64_t now = net_now_ms();
    for (size_t i = 0; i < g_hanging.size();) {
        NetRecord* c = g_hanging[i];
        if (net_drain(c, now)) {
            g_hanging.erase(g_hanging.begin() + (long)i);
            net_release(c);
        } else {
            i++;
        }
    }
}

void net_close_hanging_of(int server) {
    for (size_t i = 0; i < g_hanging.size();) {
        NetRecord* c = g_hanging[i];
        if (c->server == server) {
            g_hanging.erase(g_hanging.begin() + (long)i);
            net_release(c);
        } else {
            i++;
        }
    }
}

size_t net_held() {
    size_t held = g_hanging.size();
    for (const NetServer& s : g_servers) held += s.connections.size();
    return held;
}

// Makes room for one more caller: a hung-up connection has had its last
// word and goes first; otherwise the connection accepted longest ago, whose
// handle is then refused like any stale one. The application keeps at most
// one accepted connection, the newest it adopted, so that is never the call.
void net_make_room() {
    if (net_held() < NET_MAX_HELD) return;
    if (!g_hanging.empty()) {
        net_release(g_hanging.front());
        g_hanging.erase(g_hanging.begin());
        return;
    }
    NetRecord* oldest = nullptr;
    for (const NetServer& s : g_servers)
        if (!s.connections.empty() && (!oldest || s.connections.front()->id < oldest->id))
            oldest = s.connections.front();
    if (!oldest) return;
    net_detach(oldest);
    net_release(oldest);
}

void net_spare_open() {
    if (g_spare_fd < 0) g_spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// With no descriptor left, a caller left in the queue keeps the listener
// readable and every poll would try again at once. The spare descriptor is
// given up for a moment so the caller can be taken off the queue and closed;
// without it, accepting rests briefly instead.
void net_refuse_for_want_of_descriptors(int listener) {
    if (g_spare_fd >= 0) {
        close(g_spare_fd);
        g_spare_fd = -1;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) close(fd);
        net_spare_open();
    }
    if (g_spare_fd < 0) g_accept_rest_until = net_now_ms() + NET_ACCEPT_REST_MS;
}

} // namespace

// ------------------------------------------------------------ shared helpers

int64_t net_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int net_wait_fd(int fd, short events, int64_t deadline_ms) {
    // Bounded: each pass either returns or waits until the deadline, and an
    // interrupted wait only repeats while time is left.
    for (;;) {
        int64_t left = deadline_ms - net_now_ms();
        if (left <= 0) return 0;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, (int)std::min<int64_t>(left, 1000000));
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

int net_io_timeout_ms() { return g_io_ms; }

bool net_closed_errno(int err) {
    return err == ECONNRESET || err == ECONNABORTED || err == ENOTCONN || err == ESHUTDOWN ||
           err == EPIPE;
}

int net_send_all(int fd, const void* buf, std::size_t len, bool more) {
    const char* p = static_cast<const char*>(buf);
    int64_t deadline = net_now_ms() + g_io_ms;
    // MSG_DONTWAIT also on blocking sockets, so a peer that stops reading
    // ends the send after the time limit instead of holding it forever.
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
    while (len > 0) {
        ssize_t n = send(fd, p, len, flags);
        if (n > 0) {
            p += n;
            len -= (std::size_t)n;
            deadline = net_now_ms() + g_io_ms;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (net_wait_fd(fd, POLLOUT, deadline) != 1) return -1;
    }
    return 0;
}

// ------------------------------------------------------------- start and end

int net_startup() {
    // A peer that hangs up while we send must give an error, never end us.
    signal(SIGPIPE, SIG_IGN);
    net_table_reserve(0);
    return 1;
}

void net_shutdown() {
    for (int i = 0; i < (int)g_servers.size(); i++) net_server_close(i);
    for (NetRecord* c : g_hanging) net_release(c);
    g_hanging.clear();
    while (!g_attempts.empty()) net_connect_cancel(g_attempts.back().id);
    if (g_spare_fd >= 0) close(g_spare_fd);
    g_spare_fd = -1;
    g_accept_rest_until = 0;
}

void net_set_timeouts(int connect_ms, int io_ms, int hangup_ms) {
    g_connect_ms = connect_ms > 0 ? connect_ms : NET_DEFAULT_CONNECT_MS;
    g_io_ms = io_ms > 0 ? io_ms : NET_DEFAULT_IO_MS;
    g_hangup_ms = hangup_ms > 0 ? hangup_ms : NET_DEFAULT_HANGUP_MS;
}

// ------------------------------------------------------------------ servers

int net_server_create(int server, int port) {
    if (server < 0 || port < 0 || port > 65535) return 0;
    net_table_reserve(server);
    if (g_servers[server].fd >= 0) net_server_close(server);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    // Lets a restarted program listen again while connections of its
    // previous run linger in TIME_WAIT; an active listener still refuses.
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, NET_BACKLOG) != 0) {
        close(fd);
        return 0;
    }
    NetServer& s = g_servers[server];
    s.fd = fd;
    s.number = server;
    s.connections.clear();
    net_spare_open();
    return 1;
}

void net_server_close(int server) {
    if (server < 0 || server >= (int)g_servers.size() || g_servers[server].fd < 0) return;
    NetServer& s = g_servers[server];
    for (NetRecord* c : s.connections) {
        net_forget(g_live, c);
        net_release(c);
    }
    s.connections.clear();
    net_close_hanging_of(server);
    close(s.fd);
    s.fd = -1;
}

static int net_listener(int server) {
    if (server < 0 || server >= (int)g_servers.size()) return -1;
    return g_servers[server].fd;
}

int net_server_fd(int server) {
    // While accepting rests the listener stays readable; waiting on it would
    // end every wait at once.
    if (net_now_ms() < g_accept_rest_until) return -1;
    return net_listener(server);
}

int net_server_port(int server) {
    int fd = net_listener(server);
    if (fd < 0) return 0;
    sockaddr_in address{};
    socklen_t len = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) return 0;
    return ntohs(address.sin_port);
}

// -------------------------------------------------------------- server poll

int net_server_poll() {
    net_drain_hanging();

    bool resting = net_now_ms() < g_accept_rest_until;
    for (NetServer& s : g_servers) {
        if (s.fd < 0 || resting) continue;
        int fd = accept4(s.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                net_refuse_for_want_of_descriptors(s.fd);
            continue;
        }
        net_no_delay(fd);
        net_make_room();
        NetRecord* c = net_make_connection(fd, s.number);
        s.connections.push_back(c);
        g_event_id = c->id;
        return NET_CONNECT;
    }

    char scratch[8];
    for (NetServer& s : g_servers) {
        if (s.fd < 0) continue;
        for (auto it = s.connections.rbegin(); it != s.connections.rend(); ++it) {
            NetRecord* c = *it;
            int seen = net_peek(c->fd, scratch);
            if (seen < 0) continue;
            g_event_id = c->id;
            if (seen > 0) return net_data_code(scratch, seen);
            net_detach(c);
            net_release(c);
            return NET_DISCONNECT;
        }
    }
    return NET_NONE;
}

NetConnection* net_event_connection() { return net_handle_of(g_event_id); }

// ------------------------------------------------------ outgoing connections

int net_client_poll(NetConnection* handle) {
    NetRecord* c = net_live(handle);
    if (!c) return NET_NONE;
    int waiting = 0;
    if (ioctl(c->fd, FIONREAD, &waiting) != 0 || waiting <= 0) return NET_NONE;
    if (waiting < 8) return NET_DATA;
    char scratch[8];
    int seen = net_peek(c->fd, scratch);
    if (seen <= 0) return NET_NONE;
    return net_data_code(scratch, seen);
}

int net_peer_closed(NetConnection* handle) {
    NetRecord* c = net_live(handle);
    if (!c) return 1;
    char b;
    for (int attempt = 0; attempt < 4; attempt++) {
        ssize_t n = recv(c->fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return 0;
        if (n == 0) return 1;
        if (errno == EINTR) continue;
        return net_closed_errno(errno) ? 1 : 0;
    }
    return 0;
}

// A lookup restricted to IPv4; the first address wins.
static bool net_resolve_name(const char* host, in_addr* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
    *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

static void net_lookup_let_go(NetLookup* lookup) {
    if (lookup->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete lookup;
}

static void* net_lookup_run(void* arg) {
    NetLookup* lookup = static_cast<NetLookup*>(arg);
    in_addr address{};
    bool found = net_resolve_name(lookup->host.c_str(), &address);
    lookup->address = address;
    lookup->state.store(found ? 1 : -1, std::memory_order_release);
    net_lookup_let_go(lookup);
    return nullptr;
}

// Starts the lookup thread with the asynchronous signals blocked, so that
// they keep going to the main thread. nullptr when no thread could start.
static NetLookup* net_lookup_start(const char* host) {
    NetLookup* lookup = new NetLookup;
    lookup->host = host;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete lookup;
        return nullptr;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t thread;
    int failed = pthread_create(&thread, &attr, net_lookup_run, lookup);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (failed) {
        delete lookup;
        return nullptr;
    }
    return lookup;
}

static NetAttempt* net_attempt(int id) {
    for (NetAttempt& a : g_attempts)
        if (a.id == id) return &a;
    return nullptr;
}

static int g_connect_failure = NET_FAILED_UNKNOWN;

int net_connect_failure() { return g_connect_failure; }

// An attempt that ended on `why`.
static int net_attempt_failed(int why) {
    g_connect_failure = why;
    return NET_ATTEMPT_FAILED;
}

static int net_connect_errno_failure(int err) {
    if (err == ECONNREFUSED) return NET_FAILED_REFUSED;
    if (err == ETIMEDOUT) return NET_FAILED_SILENT;
    return NET_FAILED_UNREACHABLE;
}

// One step of an attempt, never waiting: NET_ATTEMPT_WAITING, or the end.
static int net_attempt_step(NetAttempt& a, NetConnection** made) {
    bool late = net_now_ms() >= a.deadline_ms;
    if (a.lookup) {
        int state = a.lookup->state.load(std::memory_order_acquire);
        // A name server that does not answer is a name that cannot be looked up.
        if (state == 0) return late ? net_attempt_failed(NET_FAILED_NO_NAME) : NET_ATTEMPT_WAITING;
        a.address.sin_addr = a.lookup->address;
        net_lookup_let_go(a.lookup);
        a.lookup = nullptr;
        if (state < 0) return net_attempt_failed(NET_FAILED_NO_NAME);
    }
    if (a.fd < 0) {
        // Non-blocking so that an unanswered attempt ends after our own
        // limit rather than after the kernel's SYN retries (minutes).
        a.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (a.fd < 0) return net_attempt_failed(NET_FAILED_UNREACHABLE);
        if (connect(a.fd, reinterpret_cast<sockaddr*>(&a.address), sizeof a.address) != 0 &&
            errno != EINPROGRESS)
            return net_attempt_failed(net_connect_errno_failure(errno));
    }
    pollfd p{a.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1) return late ? net_attempt_failed(NET_FAILED_SILENT) : NET_ATTEMPT_WAITING;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(a.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
        return net_attempt_failed(net_connect_errno_failure(err));
    if (net_block(a.fd) != 0) return net_attempt_failed(NET_FAILED_UNREACHABLE);
    net_no_delay(a.fd);
    *made = net_handle_of(net_make_connection(a.fd, -1)->id);
    a.fd = -1;
    return NET_ATTEMPT_DONE;
}

int net_connect_start(const char* host, int port) {
    if (!host || port < 0 || port > 65535) return 0;
    NetAttempt a{g_next_attempt, {}, -1, net_now_ms() + g_connect_ms, nullptr};
    a.address.sin_family = AF_INET;
    a.address.sin_port = htons((uint16_t)port);
    if (!inet_aton(host, &a.address.sin_addr)) {
        a.lookup = net_lookup_start(host);
        if (!a.lookup) return 0;
    }
    g_next_attempt = g_next_attempt == 0x7fffffff ? 1 : g_next_attempt + 1;
    g_attempts.push_back(a);
    return a.id;
}

int net_connect_poll(int attempt, NetConnection** made) {
    NetConnection* ignored = nullptr;
    if (!made) made = &ignored;
    *made = nullptr;
    NetAttempt* a = net_attempt(attempt);
    if (!a) return net_attempt_failed(NET_FAILED_UNKNOWN);
    int result = net_attempt_step(*a, made);
    if (result != NET_ATTEMPT_WAITING) net_connect_cancel(attempt);
    return result;
}

void net_connect_cancel(int attempt) {
    NetAttempt* a = net_attempt(attempt);
    if (!a) return;
    if (a->lookup) net_lookup_let_go(a->lookup);
    if (a->fd >= 0) close(a->fd);
    g_attempts.erase(g_attempts.begin() + (a - g_attempts.data()));
}

NetConnection* net_connect(const char* host, int port) {
    int attempt = net_connect_start(host, port);
    // Bounded: every step past the attempt's deadline ends it.
    for (;;) {
        NetConnection* made = nullptr;
        if (net_connect_poll(attempt, &made) != NET_ATTEMPT_WAITING) return made;
        NetAttempt* a = net_attempt(attempt);
        if (a && a->fd >= 0)
            net_wait_fd(a->fd, POLLOUT, std::min(a->deadline_ms, net_now_ms() + 50));
        else
            poll(nullptr, 0, 2);
    }
}

void net_close(NetConnection* handle) {
    NetRecord* c = net_live(handle);
    if (!c) return;
    net_detach(c);
    net_release(c);
}

void net_hangup(NetConnection* handle) {
    NetRecord* c = net_live(handle);
    if (!c) return;
    net_detach(c);
    // Shutting down our direction sends what is queued and then the end
    // mark; closing at once with unread bytes would reset the connection and
    // could destroy the last token before the peer reads it.
    shutdown(c->fd, SHUT_WR);
    net_nonblock(c->fd);
    c->hangup_deadline_ms = net_now_ms() + g_hangup_ms;
    c->drained = 0;
    g_hanging.push_back(c);
}

int net_connection_fd(NetConnection* handle) {
    NetRecord* c = net_live(handle);
    return c ? c->fd : -1;
}

// --------------------------------------------------------- sends and receives

int net_send_text(NetConnection* c, const char* text) {
    if (!text || !*text) return 0;
    size_t len = std::strlen(text);
    if (len > 0x7fffffff) return -1;
    return net_send_bytes(c, text, (int)len);
}

int net_send_bytes(NetConnection* handle, const void* buf, int len) {
    NetRecord* c = net_live(handle);
    if (!c || len < 0 || (!buf && len > 0)) return -1;
    if (len == 0) return 0;
    return net_send_all(c->fd, buf, (size_t)len, false) == 0 ? len : -1;
}

int net_receive(NetConnection* handle, void* buf, int len) {
    NetRecord* c = net_live(handle);
    if (!c || !buf || len < 0) return -1;
    // On a blocking connection a receive with nothing waiting would wait for
    // as long as the peer stays silent; bound it like every other wait.
    int flags = fcntl(c->fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK) &&
        net_wait_fd(c->fd, POLLIN, net_now_ms() + g_io_ms) != 1)
        return -1;
    for (int attempt = 0; attempt < 4; attempt++) {
        ssize_t n = recv(c->fd, buf, (size_t)len, 0);
        if (n >= 0 || errno != EINTR) return (int)n;
    }
    return -1;
}

// ---------------------------------------------------------------- addresses

uint32_t net_peer_address(NetConnection* handle) {
    NetRecord* c = net_live(handle);
    if (!c) return 0;
    sockaddr_in address{};
    socklen_t len = sizeof address;
    if (getpeername(c->fd, reinterpret_cast<sockaddr*>(&address), &len) != 0 ||
        address.sin_family != AF_INET)
        return 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

std::string net_address_text(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xff, (address >> 8) & 0xff,
                  (address >> 16) & 0xff, address >> 24);
    return text;
}

std::string net_host_name() {
    char name[1024];
    if (gethostname(name, sizeof name) != 0) return "";
    name[sizeof name - 1] = 0;
    return name;
}
