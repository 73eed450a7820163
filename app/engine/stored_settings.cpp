// Reading the settings file.
#include "stored_settings.h"

#include "working_folder.h"

#include "files.h"
#include "settings.h"

namespace {
const char SETTINGS_FILE[] = "jox.cfg";
}

StoredSettings stored_settings_defaults()
{
    StoredSettings s;
    s.folder = default_receive_folder();
    return s;
}

int stored_settings_load(StoredSettings* out)
{
    *out = stored_settings_defaults();
    if (!settings_open(SETTINGS_FILE)) return 0;
    // Received names are appended to the folder, and openers get it as a
    // target: both need it absolute and ending in "/".
    out->folder = folder_absolute(settings_read_text("Folder", out->folder.c_str()), current_directory());
    out->port = settings_read_number("Port", 6843);
    out->last_address = settings_read_text("IP", "");
    out->auto_accept = settings_read_text("Auto Accept", "No");
    out->open_file = settings_read_text("Open File", "No");
    out->nickname = settings_read_text("Nickname", "");
    out->timeout_seconds = settings_read_number("Timeout", 2);
    settings_close();
    return 1;
}
