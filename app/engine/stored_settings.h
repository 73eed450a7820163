// The settings file (jox.cfg in the working folder) as both front ends read
// it. The desktop also writes it; the command line never does.
#pragma once

#include <string>

struct StoredSettings {
    std::string folder;           // absolute, ends in "/"
    std::string last_address;
    int port = 6843;
    std::string auto_accept = "No";
    std::string open_file = "No";
    std::string nickname;
    int timeout_seconds = 2;
};

// The defaults, with the received-files folder a first start proposes.
StoredSettings stored_settings_defaults();
// Reads jox.cfg from the current (working) folder. 0 when there is none
// (`out` then holds the defaults).
int stored_settings_load(StoredSettings* out);
