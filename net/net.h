// TCP transport: listening servers that accept callers, outgoing connections,
// two cheap polls that report what is waiting, and plain sends and receives.
// Everything runs on the caller's thread; nothing calls back. Failures are
// reported by results only. IPv4 stream sockets.
//
// Blocking modes the polls rely on: listening and accepted sockets are
// non-blocking; outgoing connections are blocking once connected.
#pragma once

#include <cstdint>
#include <string>

enum {
    NET_NONE = 0,       // nothing to report
    NET_CONNECT = 1,    // a caller was accepted (server poll only)
    NET_DATA = 2,       // bytes wait that are not a file frame
    NET_FILE = 3,       // the first 8 waiting bytes are "PBMGSFLE"
    NET_DISCONNECT = 4  // an accepted connection closed; already released (server poll only)
};

// One TCP connection; the pointer is the handle, nullptr is none. It is an
// opaque number, never an address, and never names a second connection:
// once its connection is closed, released or evicted, every operation
// refuses it (-1, 0, NET_NONE, nothing done).
struct NetConnection;

// What an attempt to connect reports (net_connect_poll).
enum {
    NET_ATTEMPT_FAILED = -1,   // refused, unreachable, unknown host or out of time
    NET_ATTEMPT_WAITING = 0,   // still resolving or connecting
    NET_ATTEMPT_DONE = 1       // connected
};

// Starts the socket layer and ignores SIGPIPE. 1 on success.
int net_startup();
// Closes every server (and its accepted connections).
void net_shutdown();

// Listens on 0.0.0.0:`port` (SO_REUSEADDR, backlog 100) under `server`,
// closing a server already there. Non-zero on success, 0 on failure.
int net_server_create(int server, int port);
// Closes the listener and every connection it accepted. Unknown numbers are ignored.
void net_server_close(int server);

// One pass, at most one event: first a new caller (NET_CONNECT), else the
// newest accepted connection with something to report (NET_DATA, NET_FILE,
// NET_DISCONNECT). Never blocks. Connections being hung up (net_hangup) are
// drained and closed here and never reported.
//
// At most 64 accepted and hung-up connections are held at once. A caller
// past that bound makes room: the oldest hung-up connection is closed, or,
// when there is none, the accepted connection held longest, whose handle is
// refused from then on. A caller that arrives when no descriptor is left is
// taken off the queue and closed at once (not reported); if even that cannot
// be done, accepting rests for a tenth of a second.
int net_server_poll();
// The connection of the last server-poll event (kept until the next event).
NetConnection* net_event_connection();

// Poll of one outgoing connection: NET_NONE, NET_DATA or NET_FILE. A closed
// connection reports NET_NONE, never a disconnect.
int net_client_poll(NetConnection* c);

// Cheap test: 1 when the far end has closed or reset the connection (no
// bytes left unread before the end) or the handle names no connection, 0
// otherwise. Never blocks.
int net_peer_closed(NetConnection* c);

// Starts connecting to `host` (dotted IPv4 first, else a name lookup on a
// helper thread, first address wins) on `port`. The attempt's number (> 0),
// or 0 when it cannot start (absent host, bad port, no thread). The whole
// attempt, lookup included, ends after the connect limit (10 s).
int net_connect_start(const char* host, int port);
// One step of the attempt; never waits. On NET_ATTEMPT_DONE `made` receives
// the connection (blocking afterwards). After DONE or FAILED the attempt's
// number names nothing; an unknown number reports NET_ATTEMPT_FAILED.
int net_connect_poll(int attempt, NetConnection** made);
// Why the attempt that last reported NET_ATTEMPT_FAILED failed.
enum {
    NET_FAILED_UNKNOWN = 0,
    NET_FAILED_REFUSED,      // the host answered: nobody listens on the port
    NET_FAILED_SILENT,       // no answer before the connect limit
    NET_FAILED_NO_NAME,      // the name could not be looked up
    NET_FAILED_UNREACHABLE   // no route, network down, or another error
};
int net_connect_failure();
// Abandons an attempt; a lookup still running is left to finish unheard.
void net_connect_cancel(int attempt);
// The three above, waiting until the attempt ends. nullptr on failure.
NetConnection* net_connect(const char* host, int port);

// Closes the socket and releases the record; the handle is invalid afterwards.
void net_close(NetConnection* c);

// Stops reporting events for an accepted connection, shuts down our sending
// direction so what was sent is delivered, then reads and drops what the peer
// sends until it closes (or 10 s pass, or 256 KiB came), and closes it. Done
// by later server polls; the handle is refused afterwards.
void net_hangup(NetConnection* c);

// Sends the bytes of `text` without its NUL. 0 for a null text or an empty one.
int net_send_text(NetConnection* c, const char* text);
// Sends all `len` bytes, waiting (bounded, about 30 s) while the socket cannot
// take more. `len` on success, -1 on error or when the wait ran out. Never
// raises SIGPIPE.
int net_send_bytes(NetConnection* c, const void* buf, int len);
// One receive of at most `len` bytes: the count, 0 if the far end closed, -1 on
// error or (non-blocking connections) when nothing is waiting. Outgoing
// connections wait for data; call it only after a poll reported data.
int net_receive(NetConnection* c, void* buf, int len);

// The far end's IPv4 address, first octet in the lowest 8 bits; 0 on failure.
uint32_t net_peer_address(NetConnection* c);
// "a.b.c.d" of such a value, lowest byte first.
std::string net_address_text(uint32_t address);
// The local host name, "" on failure.
std::string net_host_name();

// The socket of a connection, or of a server's listener, for waiting on
// activity with poll(2); -1 when there is none (for a listener also while
// accepting rests, since it then stays readable).
int net_connection_fd(NetConnection* c);
int net_server_fd(int server);

// The port a server listens on (useful after creating it on port 0, which
// lets the system pick a free one); 0 when the number names no server.
int net_server_port(int server);

// Time limits in milliseconds: connecting, a transfer or send without
// progress, and draining a hung-up connection. A value of 0 or less restores
// that limit's default (10 s, 30 s, 10 s). For tests that must not wait long.
void net_set_timeouts(int connect_ms, int io_ms, int hangup_ms);
