// The main loop: one pass polls the window system and the network, runs the
// handlers of whatever happened in a fixed order, and waits a little when
// the window system had nothing to report.
//
// The wait after an empty poll watches the listener and the call's socket as
// well as the window system, so a caller, a token or a click ends it at once;
// an idle program therefore sleeps instead of waking every millisecond.
#include "app.h"
#include "app_test.h"
#include "calls.h"
#include "handlers.h"
#include "offers.h"
#include "state.h"

#include "net.h"
#include "toolkit.h"

namespace {

void (*loop_hook)() = nullptr;  // test seam, see app_test.h

// Longest sleep after an empty poll; events end it earlier.
constexpr int loop_idle_wait_ms = 250;

int loop_clicked(int control)
{
    return ui_event_control() == control && ui_event_type() == TYPE_CLICK;
}

int loop_changed(int control)
{
    return ui_event_control() == control && ui_event_type() == TYPE_CHANGE;
}

void loop_idle_wait()
{
    int fds[2];
    int n = 0;
    int listener = net_server_fd(0);
    if (listener >= 0) fds[n++] = listener;
    // A closed socket is always readable and would end every wait at once.
    if (!app.idle && app.peer_connection &&
        !net_peer_closed(app.peer_connection)) {
        int fd = net_connection_fd(app.peer_connection);
        if (fd >= 0) fds[n++] = fd;
    }
    ui_idle_wait(loop_idle_wait_ms, fds, n);
}

}  // namespace

void app_test_set_loop_hook(void (*hook)())
{
    loop_hook = hook;
}

void app_loop_hook()
{
    if (loop_hook) loop_hook();
}

int return_pressed_in(int control)
{
    void* handle = control_handle(control);
    return app.window_event == EVENT_KEY_DOWN && ui_event_key() == 13 && handle &&
           ui_focus_handle() == handle;
}

int app_pass()
{
    app_loop_hook();
    app.window_event = ui_poll_event();
    app.server_event = net_server_poll();
    NetConnection* server_connection = app.server_event != NET_NONE ? net_event_connection() : nullptr;
    int client_now = NET_NONE;  // only this pass's poll may trigger a handler
    if (app.server_side == 0 && app.poll_client == 1 && app.peer_connection) {
        app.client_event = net_client_poll(app.peer_connection);
        client_now = app.client_event;
    }

    if ((ui_event_control() == 30 || ui_event_control() == 29) && ui_event_type() == TYPE_CLICK)
        on_image_answer(ui_event_control());
    if (app.server_event == NET_CONNECT) on_server_connect();

    // Events of accepted connections other than the call's are not the peer's.
    int server_for_call = app.server_event >= NET_DATA && server_connection &&
                          server_connection == app.peer_connection;
    if ((app.server_event == NET_DATA || app.server_event == NET_FILE) && !server_for_call)
        protocol_drop_pending(server_connection);
    int data = (server_for_call && app.server_event == NET_DATA) || client_now == NET_DATA;
    int file = (server_for_call && app.server_event == NET_FILE) || client_now == NET_FILE;
    if (data) on_data();
    if (file) on_file_frame();
    if (server_for_call && app.server_event == NET_DISCONNECT) on_disconnect();
    // The caller's poll never reports a close: once every byte before it was
    // read, a vanished server ends the call as its goodbye would.
    if (client_now == NET_NONE && app.server_side == 0 && app.poll_client == 1 && !app.idle &&
        app.peer_connection && net_peer_closed(app.peer_connection))
        peer_gone();

    if (loop_clicked(7)) disconnect();
    if (loop_clicked(5)) open_received_folder();
    if (loop_changed(13) && !control_get_text(13).empty() && app.typing_announced == 0)
        announce_typing();
    if (loop_changed(13) && control_get_text(13).empty() && app.typing_announced == 1)
        withdraw_typing();
    if (loop_clicked(14) || return_pressed_in(13)) send_chat();
    if (loop_clicked(8) || return_pressed_in(0)) place_call();
    if (loop_clicked(9)) toggle_chat_area();
    if (loop_clicked(4)) options_dialog();
    if (loop_clicked(6)) send_files();

    if (app.window_event == EVENT_NONE) loop_idle_wait();
    return app.window_event != EVENT_CLOSE_WINDOW;
}
