// One working folder per user, whatever folder the program was started from:
// a desktop menu starts it in the home folder, a terminal anywhere, and the
// settings must be the same either way.
#include "working_folder.h"

#include "user_folders.h"

#include <unistd.h>

// See header.
int enter_working_folder(const std::string& requested, std::string* tried)
{
    std::string dir = working_folder_path(requested);
    if (tried) *tried = dir;
    return make_folders(dir) && chdir(dir.c_str()) == 0;
}

// See header.
std::string default_receive_folder()
{
    std::string downloads = download_folder();
    return (downloads.empty() ? home_folder() : downloads) + "jox/";
}
