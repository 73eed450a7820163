// What the program keeps of transfers between runs: parts of cut transfers
// (a week after they last changed, starting the program removes them, and
// nothing else in the folder), and the fingerprints of files it sent.
#include "engine.h"
#include "fingerprints.h"
#include "partial_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// A fingerprint goes on from the state saved for the very same file, and
// from nothing for a file that changed since, even at the same size.
TEST(Fingerprints, KeptForOneVersionOfOneFile)
{
    char name[] = "/tmp/jox_prints_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string dir = std::string(name) + "/", folder = dir + "prints/", path = dir + "f.bin";
    std::string body(3 << 20, 'a');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = char(i * 7 + i / 4099);
    std::ofstream(path, std::ios::binary) << body;
    std::atomic<int> go{0};
    const std::string whole = md5_file(path.c_str());
    EXPECT_EQ(fingerprint_file(folder, path, go, 1 << 20), whole);

    // The saved state is what the next fingerprint goes on from: a false
    // one planted for this version shows it is read.
    int fd = open(path.c_str(), O_RDONLY);
    std::string key = fingerprint_key(fd);
    close(fd);
    Md5 planted, loaded;
    md5_init(&planted);
    md5_update(&planted, "another file", 12);
    ASSERT_TRUE(fingerprint_load(folder, key, &loaded));
    EXPECT_EQ(loaded.length, body.size());
    fingerprint_save(folder, key, planted);
    EXPECT_NE(fingerprint_file(folder, path, go, 1 << 20), whole);

    // A half-way state goes on to the right digest.
    Md5 half;
    md5_init(&half);
    md5_update(&half, body.data(), body.size() / 2);
    fingerprint_save(folder, key, half);
    EXPECT_EQ(fingerprint_file(folder, path, go, 1 << 20), whole);

    // Rewritten with the same size: another version, fingerprinted afresh.
    fingerprint_save(folder, key, planted);
    body[5] ^= 1;
    std::ofstream(path, std::ios::binary) << body;
    EXPECT_EQ(fingerprint_file(folder, path, go, 1 << 20), md5_file(path.c_str()));

    // Forgotten (a receiver found it corrupted): gone.
    fingerprint_forget(folder, path);
    fd = open(path.c_str(), O_RDONLY);
    std::string now_key = fingerprint_key(fd);
    close(fd);
    EXPECT_FALSE(fingerprint_load(folder, now_key, &loaded));
    std::filesystem::remove_all(dir);
}
