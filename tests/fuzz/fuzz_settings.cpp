// Fuzz target for the settings parser: any bytes as a settings file. Checks
// that reading never changes the file, that a written key reads back byte
// for byte after the rewrite, that rewriting the rewritten file changes
// nothing more, and that the UTF-8 mark survives a rewrite and a re-creation.

#include "settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string fuzz_settings_dir;

void fuzz_settings_clean_up()
{
    unlink((fuzz_settings_dir + "/jox.cfg").c_str());
    rmdir(fuzz_settings_dir.c_str());
}

std::string fuzz_settings_path()
{
    static std::string path;
    if (path.empty()) {
        // Memory-backed when the system has it: the target writes the file
        // four times a run, and a disk makes that the bottleneck.
        char shm_dir[] = "/dev/shm/fuzz_settings_XXXXXX";
        char tmp_dir[] = "/tmp/fuzz_settings_XXXXXX";
        const char* dir = mkdtemp(shm_dir);
        if (dir == nullptr) {
            dir = mkdtemp(tmp_dir);
        }
        if (dir == nullptr) {
            std::abort();
        }
        fuzz_settings_dir = dir;
        std::atexit(fuzz_settings_clean_up);
        path = fuzz_settings_dir + "/jox.cfg";
    }
    return path;
}

std::string fuzz_settings_read(const std::string& path)
{
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::abort();
    }
    char piece[4096];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) {
        bytes.append(piece, n);
    }
    std::fclose(f);
    return bytes;
}

void fuzz_settings_write(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size) {
        std::abort();
    }
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzz_settings_path();
    fuzz_settings_write(path, data, size);

    if (settings_open(path.c_str()) == 0) {
        std::abort();
    }
    settings_read_text("Folder", "");
    settings_read_text("Nickname", "Anoynmous");
    settings_read_number("Port", 6843);
    settings_read_number("Timeout", 30);
    settings_close();
    if (fuzz_settings_read(path) != std::string(reinterpret_cast<const char*>(data), size)) {
        std::abort();
    }

    const std::string mark = "\xEF\xBB\xBF";
    const bool marked = size >= 3 && std::string(reinterpret_cast<const char*>(data), 3) == mark;
    settings_open(path.c_str());
    settings_write_number("Port", 1234);
    settings_write_text("Nickname", "N\xE9 \t");
    settings_write_text("Folder", "/\xD0\x9F\xD1\x80/");
    settings_close();
    const std::string rewritten = fuzz_settings_read(path);

    settings_open(path.c_str());
    if (settings_read_number("Port", 0) != 1234 || settings_read_text("Nickname", "") != "N\xE9" ||
        settings_read_text("Folder", "") != "/\xD0\x9F\xD1\x80/") {
        std::abort();
    }
    settings_write_number("Port", 1234);
    settings_close();
    if (fuzz_settings_read(path) != rewritten || (rewritten.compare(0, 3, mark) == 0) != marked) {
        std::abort();
    }

    // Saved afresh from the values as a window would show them: the mark
    // and the bytes the window could not show both stay.
    settings_create(path.c_str());
    settings_write_text("Nickname", "N\xEF\xBF\xBD");
    settings_close();
    settings_open(path.c_str());
    if (settings_read_text("Nickname", "") != "N\xE9" ||
        (fuzz_settings_read(path).compare(0, 3, mark) == 0) != marked) {
        std::abort();
    }
    settings_close();
    return 0;
}
