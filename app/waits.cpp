// The waits of the offer exchanges. See header.
//
// Limits are counted in whole seconds of a monotonic clock rather than in
// sleep steps, so polling every 2 ms keeps one handshake on loopback down to
// milliseconds while a "Timeout" of 2 still means two seconds.
#include "waits.h"

#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "calls.h"
#include "handlers.h"
#include "layouts.h"
#include "net.h"
#include "state.h"
#include "toolkit.h"

namespace {

constexpr int WAIT_POLL_MS = 2;
// A wait that has lasted this long is for a person, or for a large picture:
// it polls less often, so a long question costs next to nothing.
constexpr int WAIT_SLOW_AFTER_MS = 500;
constexpr int WAIT_SLOW_POLL_MS = 10;
const char WAIT_BYE[] = "ByeByeByeDisconnec";

// 1 when the bytes waiting on the call's connection are the goodbye token
// (or, arrived in part, its beginning); they are then taken off.
int wait_take_bye()
{
    int fd = net_connection_fd(app.peer_connection);
    if (fd < 0)
        return 0;
    char head[sizeof WAIT_BYE - 1];
    ssize_t n = recv(fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
    // Six bytes tell it apart from every other token and reply.
    if (n < 6 || std::memcmp(head, WAIT_BYE, std::size_t(n)) != 0)
        return 0;
    receive_text(int(n));
    return 1;
}

} // namespace

int wait_window_number(int kind)
{
    return kind == WAIT_SENDING ? WINDOW_SENDING : WINDOW_RECEIVING;
}

void wait_window_open(int kind)
{
    int window = wait_window_number(kind);
    if (window_handle(window))
        return;
    if (kind == WAIT_SENDING)
        build_sending_window();
    else
        build_receiving_window();
    window_set_topmost(window, 1);
    if (kind != WAIT_ASKING)
        window_hide(WINDOW_MAIN, 1);
    // A click left over from an earlier wait must not end this one.
    ui_abandon_requested(window);
}

void wait_window_close(int kind)
{
    if (kind != WAIT_ASKING)
        window_hide(WINDOW_MAIN, 0);
    window_close(wait_window_number(kind));
}

void wait_serve_callers()
{
    int fd = net_server_fd(0);
    if (fd < 0)
        return;
    struct pollfd p = {fd, POLLIN, 0};
    // Only a waiting caller lets the server poll run here: its other events
    // could concern the connection a transfer is reading from.
    if (poll(&p, 1, 0) != 1)
        return;
    int event = net_server_poll();
    NetConnection* c = net_event_connection();
    if (event == NET_CONNECT)
        protocol_turn_away(c);
    else if (event == NET_DISCONNECT && c == app.peer_connection)
        app.peer_connection = nullptr;
    else if ((event == NET_DATA || event == NET_FILE) && c != app.peer_connection)
        protocol_drop_pending(c);
}

int wait_peer_closed()
{
    return app.peer_connection == nullptr || net_peer_closed(app.peer_connection);
}

int wait_for_peer(int kind, int want, int timeout_seconds, int* waited)
{
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    int window = wait_window_number(kind);
    int result = WAIT_TIMEOUT;
    if (waited)
        *waited = 0;
    wait_window_open(kind);
    // Ends by arrival, by the peer leaving, by the user, or by the limit.
    for (;;) {
        // The server side's poll_peer turns callers away itself.
        if (!app.server_side)
            wait_serve_callers();
        int event = poll_peer();
        if (event == NET_DISCONNECT || app.peer_connection == nullptr) {
            result = WAIT_GONE;
            break;
        }
        if (event == NET_DATA && wait_take_bye()) {
            result = WAIT_GONE;
            break;
        }
        if (event == want) {
            result = WAIT_OK;
            break;
        }
        // What the exchange cannot hold at this step would otherwise wait
        // unread until the limit (or for ever), holding the program.
        if (event == NET_DATA || event == NET_FILE) {
            result = WAIT_OUT_OF_STEP;
            break;
        }
        if (event == NET_NONE && net_peer_closed(app.peer_connection)) {
            result = WAIT_GONE;
            break;
        }
        if (ui_abandon_requested(window)) {
            result = WAIT_ABANDONED;
            break;
        }
        long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                           clock::now() - start).count());
        long seconds = ms / 1000;
        if (timeout_seconds > 0 && seconds >= timeout_seconds)
            seconds = timeout_seconds;
        if (waited)
            *waited = int(seconds);
        if (timeout_seconds > 0 && seconds >= timeout_seconds) {
            result = WAIT_TIMEOUT;
            break;
        }
        // Lets tests act while a wait holds the loop, as the main loop does.
        app_loop_hook();
        delay_ms(ms < WAIT_SLOW_AFTER_MS ? WAIT_POLL_MS : WAIT_SLOW_POLL_MS);
    }
    wait_window_close(kind);
    return result;
}

void wait_end_call(int result)
{
    if (result == WAIT_ABANDONED)
        disconnect();
    else if (result != WAIT_OK)
        peer_gone();
}

int wait_send(const char* token)
{
    if (app.peer_connection == nullptr)
        return -1;
    return net_send_text(app.peer_connection, token);
}
