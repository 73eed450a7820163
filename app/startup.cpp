// From process start to the main loop and back out: components up in a
// fixed order, the settings file read (or created with the defaults), the
// listener, the "Received Files" button, and the orderly end with the bye
// token, the error-report step and the components down again.
//
// app_run owns the frame a trapped fault jumps back to, so a fault anywhere
// during the run ends in the error report instead of a crash.
#include "app.h"
#include "calls.h"
#include "error_report.h"
#include "handlers.h"
#include "state.h"
#include "constants.h"
#include "desktop.h"
#include "stored_settings.h"
#include "working_folder.h"

#include "assets.h"
#include "files.h"
#include "image.h"
#include "instances.h"
#include "opening.h"
#include "layouts.h"
#include "net.h"
#include "settings.h"
#include "sound.h"
#include "toolkit.h"
#include "user_folders.h"

namespace {

// The embedded pictures, in the order they are decoded.
const int startup_pictures[] = {0, 1, 2, 3, 4, 8, 5, 6, 13, 10, 9, 7};

// Components down, in this order; the error trap is put back before the
// network, as the trap may still be needed while sockets close.
void startup_components_down()
{
    sound_shutdown();
    settings_close();
    error_trap_disarm();
    net_shutdown();
    image_free_all();
    ui_shutdown();
}

}  // namespace

void load_settings()
{
    StoredSettings s;
    int found = stored_settings_load(&s);
    app.receive_folder = s.folder;
    app.port = s.port;
    app.last_address = s.last_address;
    app.auto_accept = s.auto_accept;
    app.open_file = s.open_file;
    app.nickname = s.nickname;
    app.timeout_seconds = s.timeout_seconds;
    if (found)
        control_set_text(0, app.last_address.c_str());
    else
        save_settings();
}

void save_settings()
{
    settings_create(JOX_SETTINGS_FILE);
    settings_write_text("Folder", app.receive_folder.c_str());
    settings_write_text("IP", app.last_address.c_str());
    settings_write_number("Port", app.port);
    settings_write_text("Auto Accept", app.auto_accept.c_str());
    settings_write_text("Open File", app.open_file.c_str());
    settings_write_number("Timeout", app.timeout_seconds);
    settings_write_text("Nickname", app.nickname.c_str());
    // The old file stays whole when the new one cannot be written; the user
    // hears that the change did not stick.
    if (!settings_close())
        message_box_open(app.version_title.c_str(),
                         "Can't Save the Settings in " JOX_SETTINGS_FILE ".\rThe Previous Settings Stay.", MB_OK);
}

void open_received_folder()
{
    if (file_size(app.receive_folder.c_str()) == -2) {
        app_open(OPEN_FOLDER, app.receive_folder);
    } else {
        control_disable(5, 1);
        message_box(app.version_title.c_str(), "Directory Not Found.", MB_OK);
    }
}

int app_startup()
{
    app = AppState{};
    error_trap_reset();
    if (!ui_init()) return 0;
    error_trap_arm();

    image_register_codecs();
    for (int number : startup_pictures) {
        EmbeddedPicture picture = asset_picture(number);
        image_catch(number, picture.data, picture.size);
    }
    build_main_window();
    // A second instance opens beside the first, not exactly over it.
    if (int others = instances_join(instances_folder()))
        window_resize(0, 389 + 32 * (others % 8), 185 + 32 * (others % 8), KEEP, KEEP);
    sound_init();
    if (!net_startup()) message_box("Error", "Can't initialize the network !", MB_OK);
    // The user's own alert sound in the working folder wins over ours.
    std::string alert = file_size(JOX_ALERT_SOUND) >= 0 ? JOX_ALERT_SOUND
                                                        : find_data_file(program_folder(), JOX_ALERT_SOUND);
    sound_load(3, alert.c_str());
    app.idle = 1;
    load_settings();
    app.version_title = JOX_VERSION_TITLE;
    desktop_start();
    if (file_size(app.receive_folder.c_str()) == -2) control_disable(5, 0);
    chat_update_limit();
    return 1;
}

void app_shutdown()
{
    instances_leave(instances_folder());
    desktop_stop();
    error_report();
    startup_components_down();
}

int app_run()
{
    if (sigsetjmp(error_trap_jump, 1) != 0) {
        // A fault was trapped: the interrupted work is abandoned, the bye
        // token and the closing of connections are skipped.
        error_trap_jump_set = 0;
        desktop_abandon();
        error_report();
        startup_components_down();
        return 0;
    }
    error_trap_jump_set = 1;
    if (!app_startup()) {
        error_trap_jump_set = 0;
        return 1;
    }
    while (app_pass()) {
    }
    app_shutdown();
    error_trap_jump_set = 0;
    return 0;
}
