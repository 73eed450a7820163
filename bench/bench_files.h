// Temporary folders and files for the benchmarks, and their clock. Every
// folder lives under /tmp/jox-bench-*, and only such folders are removed.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench_files {

inline double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline std::string temp_dir(const char* tag)
{
    std::string pattern = std::string("/tmp/jox-bench-") + tag + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return "";
    return pattern + "/";
}

inline void remove_dir(const std::string& dir)
{
    if (dir.rfind("/tmp/jox-bench-", 0) != 0)
        return;
    std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

inline bool write_text(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace bench_files
