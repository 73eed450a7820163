// The desktop's conventions for per-user folders (XDG base directories and
// user-dirs.dirs), and locating the program's data relative to its binary so
// that a build tree and an installed prefix both work without configuration.

#include "user_folders.h"

#include "files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string with_slash(std::string dir)
{
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

int is_folder(const std::string& path)
{
    return !path.empty() && file_size(path.c_str()) == -2;
}

// The value of `key` in a user-dirs.dirs file. Only the two forms the format
// allows are taken: "$HOME/..." and an absolute path; anything else would
// need a shell to expand, which a settings file must never get.
std::string user_dirs_value(const std::string& file, const std::string& key, const std::string& home)
{
    std::ifstream in(file);
    std::string line;
    std::string found;
    for (int lines = 0; lines < 1000 && std::getline(in, line); lines++) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size() + 1, key + "=") != 0) continue;
        std::string value = line.substr(start + key.size() + 1);
        if (value.size() < 2 || value.front() != '"') continue;
        std::size_t close = value.find('"', 1);
        if (close == std::string::npos) continue;
        value = value.substr(1, close - 1);
        if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/')) {
            found = home + value.substr(value.size() > 5 ? 6 : 5);
        } else if (!value.empty() && value[0] == '/') {
            found = value;
        }
    }
    return found;  // the last assignment wins, as when the shell reads it
}

}  // namespace

// See header.
std::string home_folder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return with_slash(home);
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') return with_slash(pw->pw_dir);
    return "/";
}

// See header.
std::string config_base_folder()
{
    const char* base = std::getenv("XDG_CONFIG_HOME");
    if (base && base[0] == '/') return with_slash(base);
    return home_folder() + ".config/";
}

// See header.
std::string download_folder()
{
    std::string home = home_folder();
    std::string named = user_dirs_value(config_base_folder() + "user-dirs.dirs", "XDG_DOWNLOAD_DIR", home);
    if (named.empty()) {
        const char* env = std::getenv("XDG_DOWNLOAD_DIR");
        if (env && env[0] == '/') named = env;
    }
    if (named.empty()) named = home + "Downloads";
    named = with_slash(named);
    // user-dirs.dirs names the home folder itself for a disabled entry.
    if (named == home || !is_folder(named)) return "";
    return named;
}

// See header.
std::string working_folder_path(const std::string& requested)
{
    std::string dir = requested;
    if (dir.empty()) {
        const char* env = std::getenv("JOX_HOME");
        if (env) dir = env;
    }
    if (dir.empty()) return config_base_folder() + "jox/";
    if (dir[0] != '/') dir = current_directory() + dir;
    return with_slash(dir);
}

// See header.
int make_folders(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty()) return 0;
    // Every level from the top, so the number of steps is bounded by the path.
    for (std::size_t slash = p.find('/', 1); slash != std::string::npos; slash = p.find('/', slash + 1)) {
        std::string level = p.substr(0, slash);
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return 0;
    }
    if (mkdir(p.c_str(), 0700) != 0 && errno != EEXIST) return 0;
    return is_folder(p);
}

// See header.
std::string program_folder()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string exe(buf, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash + 1);
}

// See header.
std::string find_data_file(const std::string& program_dir, const char* name)
{
    if (program_dir.empty() || name == nullptr || name[0] == '\0') return "";
    std::string dir = with_slash(program_dir);
    // Beside the program (a build), or the installed data folder seen from
    // bin/ or from libexec/jox/.
    for (const std::string& candidate : {dir + name, dir + "../share/jox/" + name, dir + "../../share/jox/" + name}) {
        char real[PATH_MAX];
        if (file_size(candidate.c_str()) >= 0 && realpath(candidate.c_str(), real)) return real;
    }
    return "";
}
