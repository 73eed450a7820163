// The main loop: one pass polls the window system, runs the handler of what
// happened, and serves the network through the engine, waiting there (for a
// window event, network activity or the engine's next deadline) when the
// window system had nothing to report. No handler waits on the peer.
#include "app.h"
#include "app_test.h"
#include "calls.h"
#include "desktop.h"
#include "handlers.h"
#include "notes.h"
#include "state.h"

#include "layouts.h"
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

// Closing the window or the quit key ends the program; during a call the
// user is asked first, without stopping the loop meanwhile.
int loop_quits()
{
    if (app.window_event == EVENT_ANSWER && app.quit_box && ui_event_answer_id() == app.quit_box) {
        app.quit_box = 0;
        return ui_event_answer() == IDYES;
    }
    if (app.window_event != EVENT_CLOSE_WINDOW && app.window_event != EVENT_QUIT) return 0;
    if (app.quit_box) return 0;  // asked already
    if (app.idle) return 1;
    app.quit_box = message_box_open(app.version_title.c_str(),
                                    "A call is under way.\rHang up and quit jox?", MB_YESNO);
    return 0;
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

    if (app.window_event == EVENT_ANSWER)
        desktop_answered(ui_event_answer_id(), ui_event_answer(), ui_event_files());
    if ((ui_event_control() == 30 || ui_event_control() == 29) && ui_event_type() == TYPE_CLICK)
        desktop_image_answer(ui_event_control());
    if (loop_clicked(7)) desktop_disconnect();
    if (loop_clicked(5)) open_received_folder();
    if (loop_changed(13) && !control_get_text(13).empty() && app.typing_announced == 0) desktop_typing(1);
    if (loop_changed(13) && control_get_text(13).empty() && app.typing_announced == 1) desktop_typing(0);
    if (loop_clicked(14) || return_pressed_in(13)) desktop_chat();
    if (loop_clicked(8) || return_pressed_in(0)) desktop_place_call();
    if (loop_clicked(9)) toggle_chat_area();
    if (loop_clicked(4)) options_dialog();
    if (loop_clicked(6)) desktop_send_files();
    if (app.window_event == EVENT_DROP) desktop_drop(ui_event_files());
    if (app.window_event == EVENT_NOTIFIED) notes_answered(ui_event_window());
    // Back in the program: what the notifications told is in its windows.
    if (app.window_event == EVENT_ACTIVATE) ui_notify_withdraw();
    if (app.window_event == EVENT_SIZE_WINDOW && ui_event_window() == WINDOW_MAIN) chat_area_resized();
    desktop_check_abandon();

    desktop_serve(app.window_event == EVENT_NONE ? loop_idle_wait_ms : 0);
    return !loop_quits();
}
