// The per-user working folder (settings file, preview, alert sound) and the
// received-files folder a first start proposes.
#pragma once

#include <string>

// Chooses the working folder (`requested`, else $JOX_HOME, else the user's
// config folder), creates it when missing and makes it the current folder,
// so every relative name the program uses lands there. 1 on success; on
// failure the folder tried is in `tried`.
int enter_working_folder(const std::string& requested, std::string* tried);

// The download folder's "jox/" when the desktop has one, else ~/jox/.
std::string default_receive_folder();
