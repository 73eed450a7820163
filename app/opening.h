// Opening documents, folders, pages and programs for the user, and saying so
// when that cannot be done. Every place that opens something goes through
// here, so a missing opener or a refused file is never met with silence.
#pragma once

#include <string>

enum OpenKind {
    OPEN_DOCUMENT,  // a file, opened as a document (never run)
    OPEN_FOLDER,    // a folder, in the file manager
    OPEN_PAGE,      // a web address or a local page, in the browser
    OPEN_PROGRAM    // a program named by its path, started
};

// Opens `target` as `kind`. A document the desktop would run is not opened:
// its folder is shown instead, and a message box says why. When nothing
// could open the target, or it is not there, a message box says that.
// True when something was opened.
bool app_open(OpenKind kind, const std::string& target);

// The message app_open shows when nothing could open `target`.
std::string app_open_failure_text(const std::string& target);
