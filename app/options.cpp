// The options window: port, nickname, automatic acceptance, the question
// whether to open a received file, the received-files folder and the help.
// The window runs its own event loop until "OK" or Cancel (Escape, the
// title-bar close), serving the network as the main loop does; nothing is
// written or changed before "OK".
#include "calls.h"
#include "desktop.h"
#include "handlers.h"
#include "state.h"
#include "constants.h"

#include "files.h"
#include "launch.h"
#include "layouts.h"
#include "toolkit.h"
#include "user_folders.h"

#include <algorithm>
#include <string>

namespace {

int options_clicked(int control)
{
    return ui_event_control() == control && ui_event_type() == TYPE_CLICK;
}

}  // namespace

int options_read_port(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    int sign = 1;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        if (text[i] == '-') sign = -1;
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) value = 2147483648LL;  // saturate, never overflow
    }
    value *= sign;
    if (value > 2147483647LL) value = 2147483647LL;
    return static_cast<int>(value);
}

// What is wrong with the port as typed, "" when nothing.
std::string options_port_hint(const std::string& text)
{
    std::string digits = text.substr(std::min(text.find_first_not_of(" \t"), text.size()));
    int port = options_read_port(text);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || port < 1 || port > 65535)
        return "A number from 1 to 65535";
    return "";
}

// A port the listener could never use, or one read out of letters, would
// silently leave the program unreachable: it is refused, and the rest of
// the window's changes still count.
void options_take_port(const std::string& text)
{
    int port = options_read_port(text);
    if (!options_port_hint(text).empty()) {
        std::string refused = "The port must be a number from 1 to 65535.\rThe port stays " +
                              std::to_string(app.port) + ".";
        message_box(app.version_title.c_str(), refused.c_str(), MB_OK);
        return;
    }
    if (port != app.port) {
        std::string later = "The new port " + std::to_string(port) +
                            " is called at once and listened on from the next start.";
        message_box(app.version_title.c_str(), later.c_str(), MB_OK);
    }
    app.port = port;
}

void options_dialog()
{
    build_options_window();
    control_disable(20, app.idle == 0 ? 1 : 0);
    if (app.auto_accept == "Yes") control_set_state(24, 1);
    if (app.open_file == "Yes") control_set_state(25, 1);
    control_set_text(20, std::to_string(app.port).c_str());
    control_set_text(27, app.nickname.c_str());
    const std::string folder_before = app.receive_folder;
    control_set_text(CONTROL_OPTIONS_FOLDER, app.receive_folder.c_str());

    int ok = 0;
    for (;;) {
        app_loop_hook();
        if (options_clicked(18)) {
            change_folder();
            control_set_text(CONTROL_OPTIONS_FOLDER, app.receive_folder.c_str());
        }
        app.window_event = ui_poll_event();
        // The call goes on meanwhile: the peer is answered, callers hear busy.
        desktop_serve(app.window_event == EVENT_NONE ? 50 : 0);
        if (options_clicked(28)) open_help();
        if (ui_event_control() == 20 && ui_event_type() == TYPE_CHANGE)
            control_set_text(CONTROL_OPTIONS_PORT_HINT, options_port_hint(control_get_text(20)).c_str());
        if (options_clicked(16)) {
            ok = 1;
            break;
        }
        if (options_clicked(CONTROL_OPTIONS_CANCEL) ||
            (app.window_event == EVENT_CLOSE_WINDOW && ui_event_window() == WINDOW_OPTIONS))
            break;
    }
    if (!ok) {
        app.receive_folder = folder_before;
        window_close(WINDOW_OPTIONS);
        return;
    }

    options_take_port(control_get_text(20));
    app.nickname = control_get_text(27);
    app.auto_accept = control_get_state(24) == 1 ? "Yes" : "No";
    app.open_file = control_get_state(25) == 1 ? "Yes" : "No";
    if (app.port != 0) save_settings();
    desktop_settings_changed();
    window_close(WINDOW_OPTIONS);
    if (file_size(app.receive_folder.c_str()) == -2) control_disable(5, 0);
    chat_update_limit();
}

void change_folder()
{
    if (file_size(app.receive_folder.c_str()) != -2) {
        create_directory(app.receive_folder.c_str());
        control_disable(5, 0);
    }
    app.previous_folder = app.receive_folder;
    app.receive_folder = folder_requester("Please Choose Default Path where to Receive Files:",
                                          app.receive_folder.c_str());
    // Taken with the rest of the window's changes, on OK.
    if (app.receive_folder.empty()) {
        message_box(app.version_title.c_str(), "Change Default Folder is Cancelled.", MB_OK);
        app.receive_folder = app.previous_folder;
    }
}

void open_help()
{
    if (file_size(JOX_HELP_PROGRAM) != -1) {
        run_program(JOX_HELP_PROGRAM, "", "", 0);
        return;
    }
    // The page shipped with the program answers before any online help,
    // which needs a network and a host that may be gone.
    std::string page = find_data_file(program_folder(), JOX_HELP_FILE);
    if (!page.empty()) {
        run_program(page.c_str(), "", "", 0);
        return;
    }
    app.answer = message_box(app.version_title.c_str(),
                             "No Help File Found.\rDo You Want to View Help Online?", MB_YESNO);
    if (app.answer == IDYES) run_program(JOX_HELP_PAGE, "", "", 0);
}
