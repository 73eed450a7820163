// Where a user's things live on a Linux desktop, and where the program's own
// data files are. Folders returned here end in "/"; "" means none.
#pragma once

#include <string>

// $HOME when it is absolute, else the password entry's home; "/" at worst.
std::string home_folder();

// $XDG_CONFIG_HOME when absolute, else the home folder's ".config/".
std::string config_base_folder();

// The desktop's download folder, read as xdg-user-dir reads it: the
// XDG_DOWNLOAD_DIR line of user-dirs.dirs, else the variable of that name;
// otherwise ~/Downloads. Only an existing folder other than the home folder
// itself counts.
std::string download_folder();

// The working folder: `requested` when given (made absolute against the
// current folder), else $JOX_HOME, else config_base_folder() + "jox/".
std::string working_folder_path(const std::string& requested);

// Creates `path` and any missing parents. Non-zero when it is a folder now.
int make_folders(const std::string& path);

// The folder the running program's binary is in.
std::string program_folder();

// `name` beside the binary in `program_dir` (a build tree), else in the
// installed data folder "../share/jox/" seen from bin/ or libexec/jox/; ""
// when neither exists.
std::string find_data_file(const std::string& program_dir, const char* name);
