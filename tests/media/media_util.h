// Helpers shared by the media suites: reading fixture files, a private
// temporary folder per test, and little-endian byte builders for crafting
// bitmap, icon and wave files with exactly the fields a case needs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

inline std::string media_fixture(const std::string& rel) { return std::string(JOX_TEST_DATA) + "/" + rel; }

inline Bytes media_read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes media_fixture_bytes(const std::string& rel) {
    Bytes b = media_read(media_fixture(rel));
    EXPECT_FALSE(b.empty()) << rel;
    return b;
}

inline void media_put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

inline void media_put32(Bytes& b, uint32_t v) {
    media_put16(b, v & 0xFFFF);
    media_put16(b, v >> 16);
}

inline void media_put_text(Bytes& b, const char* text) {
    for (const char* p = text; *p; p++) b.push_back(uint8_t(*p));
}

// Each test gets its own folder under the system temporary folder.
class MediaTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "jox_media_XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir = buf.data();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string path(const std::string& name) const { return (std::filesystem::path(dir) / name).string(); }
    std::filesystem::path dir;
};
