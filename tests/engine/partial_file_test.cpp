// Parts of cut transfers: a week after they last changed, starting the
// program removes them, and nothing else in the folder.
#include "engine.h"
#include "partial_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

TEST(PartialFiles, StartRemovesPartsOlderThanAWeek)
{
    char name[] = "/tmp/jox_parts_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string folder = std::string(name) + "/";
    const int64_t day = 24 * 3600, now = int64_t(std::time(nullptr));
    struct Row {
        const char* file;
        int64_t age;
        int kept;
    } rows[] = {
        {"a.iso.jox-part", 8 * day, 0},
        {"a.iso.jox-resume", 8 * day, 0},
        {"b.iso.jox-resume.new", 8 * day, 0},
        {"c.iso.jox-part", 6 * day, 1},
        {"c.iso.jox-resume", 6 * day, 1},
        {"old.iso", 400 * day, 1},
        {"d.part", 30 * day, 1},
    };
    for (const Row& r : rows) {
        std::ofstream(folder + r.file) << "x";
        std::filesystem::last_write_time(folder + r.file, std::filesystem::file_time_type::clock::now() -
                                                              std::chrono::seconds(r.age));
    }
    EngineConfig cfg;
    cfg.listen = 0;
    cfg.session.receive_folder = folder;
    Engine engine;
    engine.start(cfg, 0);
    for (const Row& r : rows) EXPECT_EQ(std::filesystem::exists(folder + r.file), r.kept != 0) << r.file;
    EXPECT_EQ(partial_sweep(folder, now - 7 * day), 0);
    std::filesystem::remove_all(folder);
}
