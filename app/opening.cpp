// Opening things for the user. See header.
//
// The launch calls only report; the wording lives here. A file the desktop
// would run came, as likely as not, from a peer: the user sees where it is
// and decides for themselves.
#include "opening.h"

#include "files.h"
#include "launch.h"
#include "state.h"
#include "toolkit.h"

namespace {

void opening_say(const std::string& text)
{
    message_box(app.version_title.c_str(), text.c_str(), MB_OK);
}

LaunchResult opening_launch(OpenKind kind, const std::string& target)
{
    switch (kind) {
    case OPEN_DOCUMENT: return launch_open_document(target.c_str());
    case OPEN_FOLDER: return launch_open_folder(target.c_str());
    case OPEN_PROGRAM: return launch_program(target.c_str(), "", "", 0);
    case OPEN_PAGE: break;
    }
    // A local page is a document like any other.
    LaunchResult result = launch_open_url(target.c_str());
    return result == LAUNCH_MISSING ? launch_open_document(target.c_str()) : result;
}

}  // namespace

std::string app_open_failure_text(const std::string& target)
{
    return "Nothing could open:\r" + target +
           "\r\rNo program to open it was found. Install xdg-utils (xdg-open), or open it yourself.";
}

bool app_open(OpenKind kind, const std::string& target)
{
    switch (opening_launch(kind, target)) {
    case LAUNCH_STARTED:
        return true;
    case LAUNCH_MISSING:
        opening_say(target + "\rwas not found.");
        return false;
    case LAUNCH_FAILED:
        opening_say(app_open_failure_text(target));
        return false;
    case LAUNCH_RUNNABLE:
        break;
    }
    std::string folder = target.substr(0, target.rfind('/') + 1);
    if (folder.empty() || folder[0] != '/') {
        folder = current_directory() + folder;
    }
    opening_say(target + "\rwas not opened: it is a program or script, and opening it would run it."
                         "\rIts folder is shown instead.");
    if (launch_open_folder(folder.c_str()) != LAUNCH_STARTED) {
        opening_say(app_open_failure_text(folder));
    }
    return false;
}
