// TCP transport over BSD sockets: the server table and its poll, outgoing
// connections and their poll, sends that always complete, bounded receives,
// addresses and host names.
//
// Index: shared helpers, connection registry, start and end, servers, server
// poll, outgoing connections, sends and receives, addresses.
//
// Every connection record lives in one registry; an operation on a handle the
// registry does not hold does nothing, so a stale handle cannot reach freed
// memory. Hung-up connections leave the registry for a list of their own that
// server polls drain and close without ever reporting them.
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

#include <algorithm>
#include <vector>

struct NetConnection {
    int fd;                     // the connected socket
    int server;                 // owning server number, -1 for an outgoing connection
    int64_t hangup_deadline_ms; // when a hung-up connection is closed regardless
};

namespace {

const int NET_TABLE_STEP = 16;
const int NET_BACKLOG = 100;
const int NET_DEFAULT_CONNECT_MS = 10000;
const int NET_DEFAULT_IO_MS = 30000;
const int NET_DEFAULT_HANGUP_MS = 10000;
// One drain pass of a hung-up connection reads at most this much, so a peer
// that keeps sending cannot hold up the poll.
const int NET_DRAIN_PASSES = 16;

struct NetServer {
    int fd = -1;                               // listening socket, -1 when the slot is free
    int number = -1;                           // the slot's number
    std::vector<NetConnection*> connections;   // accepted, oldest first; polled newest first
};

std::vector<NetServer> g_servers;              // the server table
std::vector<NetConnection*> g_live;            // every usable connection
std::vector<NetConnection*> g_hanging;         // hung up, drained by server polls
NetConnection* g_event_connection = nullptr;   // the last server-poll event's connection
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

bool net_live(const NetConnection* c) {
    return c && std::find(g_live.begin(), g_live.end(), c) != g_live.end();
}

void net_forget(std::vector<NetConnection*>& list, NetConnection* c) {
    list.erase(std::remove(list.begin(), list.end(), c), list.end());
}

void net_release(NetConnection* c) {
    if (c->fd >= 0) close(c->fd);
    delete c;
}

// Takes a connection out of the registry and its server's list; the caller
// then releases it or moves it elsewhere.
void net_detach(NetConnection* c) {
    net_forget(g_live, c);
    if (c->server >= 0 && c->server < (int)g_servers.size())
        net_forget(g_servers[c->server].connections, c);
}

NetConnection* net_make_connection(int fd, int server) {
    NetConnection* c = new NetConnection{fd, server, 0};
    g_live.push_back(c);
    return c;
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
bool net_drain(NetConnection* c, int64_t now) {
    if (now >= c->hangup_deadline_ms) return true;
    char scratch[4096];
    for (int pass = 0; pass < NET_DRAIN_PASSES; pass++) {
        ssize_t n = recv(c->fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
    return false;
}

void net_drain_hanging() {
    if (g_hanging.empty()) return;
    int64_t now = net_now_ms();
    for (size_t i = 0; i < g_hanging.size();) {
        NetConnection* c = g_hanging[i];
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
        NetConnection* c = g_hanging[i];
        if (c->server == server) {
            g_hanging.erase(g_hanging.begin() + (long)i);
            net_release(c);
        } else {
            i++;
        }
    }
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
    for (NetConnection* c : g_hanging) net_release(c);
    g_hanging.clear();
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
    return 1;
}

void net_server_close(int server) {
    if (server < 0 || server >= (int)g_servers.size() || g_servers[server].fd < 0) return;
    NetServer& s = g_servers[server];
    for (NetConnection* c : s.connections) {
        net_forget(g_live, c);
        net_release(c);
    }
    s.connections.clear();
    net_close_hanging_of(server);
    close(s.fd);
    s.fd = -1;
}

int net_server_fd(int server) {
    if (server < 0 || server >= (int)g_servers.size()) return -1;
    return g_servers[server].fd;
}

int net_server_port(int server) {
    int fd = net_server_fd(server);
    if (fd < 0) return 0;
    sockaddr_in address{};
    socklen_t len = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) return 0;
    return ntohs(address.sin_port);
}

// -------------------------------------------------------------- server poll

int net_server_poll() {
    net_drain_hanging();

    for (NetServer& s : g_servers) {
        if (s.fd < 0) continue;
        int fd = accept4(s.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        net_no_delay(fd);
        NetConnection* c = net_make_connection(fd, s.number);
        s.connections.push_back(c);
        g_event_connection = c;
        return NET_CONNECT;
    }

    char scratch[8];
    for (NetServer& s : g_servers) {
        if (s.fd < 0) continue;
        for (auto it = s.connections.rbegin(); it != s.connections.rend(); ++it) {
            NetConnection* c = *it;
            int seen = net_peek(c->fd, scratch);
            if (seen < 0) continue;
            g_event_connection = c;
            if (seen > 0) return net_data_code(scratch, seen);
            net_detach(c);
            net_release(c);
            return NET_DISCONNECT;
        }
    }
    return NET_NONE;
}

NetConnection* net_event_connection() { return g_event_connection; }

// ------------------------------------------------------ outgoing connections

int net_client_poll(NetConnection* c) {
    if (!net_live(c)) return NET_NONE;
    int waiting = 0;
    if (ioctl(c->fd, FIONREAD, &waiting) != 0 || waiting <= 0) return NET_NONE;
    if (waiting < 8) return NET_DATA;
    char scratch[8];
    int seen = net_peek(c->fd, scratch);
    if (seen <= 0) return NET_NONE;
    return net_data_code(scratch, seen);
}

int net_peer_closed(NetConnection* c) {
    if (!net_live(c)) return 1;
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

// Dotted IPv4 first, then a lookup restricted to IPv4; the first address wins.
static bool net_resolve(const char* host, in_addr* out) {
    if (inet_aton(host, out)) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
    *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

NetConnection* net_connect(const char* host, int port) {
    if (!host || port < 0 || port > 65535) return nullptr;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    if (!net_resolve(host, &address.sin_addr)) return nullptr;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // Non-blocking so that an unanswered attempt ends after our own limit
    // rather than after the kernel's SYN retries (minutes).
    int r = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    bool ok = r == 0;
    if (!ok && errno == EINPROGRESS &&
        net_wait_fd(fd, POLLOUT, net_now_ms() + g_connect_ms) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    if (!ok || net_block(fd) != 0) {
        close(fd);
        return nullptr;
    }
    net_no_delay(fd);
    return net_make_connection(fd, -1);
}

void net_close(NetConnection* c) {
    if (!net_live(c)) return;
    net_detach(c);
    net_release(c);
}

void net_hangup(NetConnection* c) {
    if (!net_live(c)) return;
    net_detach(c);
    // Shutting down our direction sends what is queued and then the end
    // mark; closing at once with unread bytes would reset the connection and
    // could destroy the last token before the peer reads it.
    shutdown(c->fd, SHUT_WR);
    net_nonblock(c->fd);
    c->hangup_deadline_ms = net_now_ms() + g_hangup_ms;
    g_hanging.push_back(c);
}

int net_connection_fd(NetConnection* c) { return net_live(c) ? c->fd : -1; }

// --------------------------------------------------------- sends and receives

int net_send_text(NetConnection* c, const char* text) {
    if (!text || !*text) return 0;
    size_t len = std::strlen(text);
    if (len > 0x7fffffff) return -1;
    return net_send_bytes(c, text, (int)len);
}

int net_send_bytes(NetConnection* c, const void* buf, int len) {
    if (!net_live(c) || len < 0 || (!buf && len > 0)) return -1;
    if (len == 0) return 0;
    return net_send_all(c->fd, buf, (size_t)len, false) == 0 ? len : -1;
}

int net_receive(NetConnection* c, void* buf, int len) {
    if (!net_live(c) || !buf || len < 0) return -1;
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

uint32_t net_peer_address(NetConnection* c) {
    if (!net_live(c)) return 0;
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
