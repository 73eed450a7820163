// Settings file: parsing of the fixtures in tests/data/settings (one per
// case), the rewrite at close, creation, and the failure paths (missing,
// read-only and uncreatable files, writes cut short).

#include "settings.h"
#include "support_test_util.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string FIXTURES = std::string(JOX_TEST_DATA) + "/settings/";

// Copies a fixture into the test's own folder, so the original stays intact.
std::string copy_fixture(const TempDir& dir, const std::string& name)
{
    const std::string path = dir.file(name);
    write_bytes(path, read_bytes(FIXTURES + name));
    return path;
}

class SettingsTest : public testing::Test {
protected:
    void TearDown() override { settings_close(); }
    TempDir dir;
};

struct ReadCase {
    const char* fixture;
    const char* key;
    bool number;        // read as a number, else as text
    const char* text;   // expected text (text reads)
    int value;          // expected number (number reads)
};

const int ABSENT = -777;

const ReadCase READ_CASES[] = {
    {"port_no_blanks.cfg", "Port", true, nullptr, 6843},
    {"port_blanks_tabs.cfg", "Port", true, nullptr, 6843},
    {"port_blanks_tabs.cfg", "Port", false, "6843", 0},
    {"port_capitals.cfg", "Port", true, nullptr, 6843},
    {"port_capitals.cfg", "pOrT", false, "6843", 0},
    {"line_ends_crlf.cfg", "Nickname", false, "Ann", 0},
    {"line_ends_crlf.cfg", "Timeout", true, nullptr, 9},
    {"line_ends_lf.cfg", "Nickname", false, "Ann", 0},
    {"line_ends_lf.cfg", "Port", true, nullptr, 6843},
    {"line_ends_lf.cfg", "Timeout", true, nullptr, 9},
    {"line_ends_cr.cfg", "Nickname", false, "Ann", 0},
    {"line_ends_cr.cfg", "Port", true, nullptr, 6843},
    {"line_ends_cr.cfg", "Timeout", true, nullptr, 9},
    {"values_with_blanks.cfg", "Folder", false, "/home/ann/Received Files/", 0},
    {"values_with_blanks.cfg", "Nickname", false, "", 0},
    {"timeout_letter.cfg", "Timeout", true, nullptr, 2},
    {"timeout_empty.cfg", "Timeout", true, nullptr, 0},
    {"timeout_missing.cfg", "Timeout", true, nullptr, ABSENT},
    {"timeout_missing.cfg", "Folder", false, "fallback", 0},
    {"duplicate_key.cfg", "Port", true, nullptr, 1111},
    {"key_after_group.cfg", "Nickname", false, "Ann", 0},
    {"key_after_group.cfg", "Port", true, nullptr, ABSENT},
    {"comments_and_groups.cfg", "Port", true, nullptr, 1111},
    {"comments_and_groups.cfg", "key", false, "fallback", 0},
    {"comments_and_groups.cfg", "no space", false, "fallback", 0},
    // Bytes come back as the file holds them, whether UTF-8 or not.
    {"utf8_mark.cfg", "Nickname", false, "Ren\xC3\xA9", 0},
    {"utf8_mark.cfg", "Port", true, nullptr, 6843},
    {"utf8_values.cfg", "Upper", false, "\xC4\x80", 0},
    {"utf8_values.cfg", "Broken", false, "a\xC3(", 0},
    {"utf8_values.cfg", "Overlong", false, "\xC1\xA9", 0},
    {"utf8_values.cfg", "Stray", false, "\x80", 0},
    {"utf8_values.cfg", "Cut", false, "ab\xC3", 0},
    {"utf8_values.cfg", "CutLong", false, "ab\xE2\x82", 0},
    {"utf8_values.cfg", "Latin", false, "\xC3\xBF\xC2\x80", 0},
    {"no_mark_e9.cfg", "Nickname", false, "Ren\xE9", 0},
    {"numbers.cfg", "Plus", true, nullptr, 7},
    {"numbers.cfg", "Minus", true, nullptr, -12},
    {"numbers.cfg", "Huge", true, nullptr, INT_MAX},
    {"numbers.cfg", "Tiny", true, nullptr, INT_MIN},
    {"numbers.cfg", "Word", true, nullptr, 0},
    {"numbers.cfg", "Spaced", true, nullptr, 0},
};

// Every read returns what the line holds, and reading alone never changes
// a byte of the file.
TEST_F(SettingsTest, ReadsFixturesAndLeavesThemUnchanged)
{
    for (const ReadCase& c : READ_CASES) {
        SCOPED_TRACE(std::string(c.fixture) + " / " + c.key);
        const std::string path = copy_fixture(dir, c.fixture);
        const std::string before = read_bytes(path);
        ASSERT_NE(settings_open(path.c_str()), 0);
        if (c.number) {
            EXPECT_EQ(settings_read_number(c.key, ABSENT), c.value);
        } else {
            EXPECT_EQ(settings_read_text(c.key, "fallback"), c.text);
        }
        settings_close();
        EXPECT_EQ(read_bytes(path), before);
    }
}

struct RewriteCase {
    const char* fixture;
    const char* key;
    const char* text;
    const char* expected; // the whole file after close
};

const RewriteCase REWRITE_CASES[] = {
    // Comments and groups survive, blank lines go, a comment gains its space,
    // text after a group's "]" is dropped; a new key goes before the group.
    {"comments_and_groups.cfg", "Nickname", "Bo",
     "; no space\r\n; one space\r\nPort = 1111\r\nNickname = Bo\r\n[Group]\r\nkey = v\r\n"},
    {"comments_and_groups.cfg", "port", "2222",
     "; no space\r\n; one space\r\nport = 2222\r\n[Group]\r\nkey = v\r\n"},
    // Only the first of two equal keys changes, and takes the new case.
    {"duplicate_key.cfg", "PORT", "3333", "PORT = 3333\r\nport = 2222\r\n"},
    {"key_after_group.cfg", "Port", "1",
     "Nickname = Ann\r\nPort = 1\r\n[Other]\r\nPort = 6843\r\n"},
    {"line_ends_cr.cfg", "Timeout", "10", "Nickname = Ann\r\nPort = 6843\r\nTimeout = 10\r\n"},
    {"line_ends_lf.cfg", "Extra", "", "Nickname = Ann\r\nPort = 6843\r\nTimeout = 9\r\nExtra = \r\n"},
    {"values_with_blanks.cfg", "Port", "1",
     "Folder = /home/ann/Received Files/  \t\r\nNickname = \r\nPort = 1\r\n"},
    // A file with the mark is written back with it; texts keep their bytes.
    {"utf8_mark.cfg", "Nickname", "Zo\xC3\xAB",
     "\xEF\xBB\xBF\r\nNickname = Zo\xC3\xAB\r\nPort = 6843\r\n"},
    {"no_mark_e9.cfg", "Nickname", "Zo\xEB", "Nickname = Zo\xEB\r\n"},
    // Written as it was, the first line would pass for the UTF-8 mark.
    {"mark_after_blank.cfg", "Nickname", "Zo\xEB",
     "\r\n\xEF\xBB\xBFKey = v\r\nNickname = Zo\xEB\r\n"},
};

TEST_F(SettingsTest, RewritesWholeFileAtClose)
{
    for (const RewriteCase& c : REWRITE_CASES) {
        SCOPED_TRACE(std::string(c.fixture) + " / " + c.key);
        const std::string path = copy_fixture(dir, c.fixture);
        ASSERT_NE(settings_open(path.c_str()), 0);
        settings_write_text(c.key, c.text);
        EXPECT_EQ(settings_read_text(c.key, "absent"), c.text);
        settings_close();
        EXPECT_EQ(read_bytes(path), c.expected);
    }
}

TEST_F(SettingsTest, CreateWritesKeysInOrderOfFirstWrite)
{
    const std::string path = dir.file("jox.cfg");
    write_bytes(path, "Old = content that must go\r\n");
    ASSERT_NE(settings_create(path.c_str()), 0);
    // The old content stays in place until the new is written whole.
    EXPECT_EQ(read_bytes(path), "Old = content that must go\r\n");
    EXPECT_EQ(settings_read_text("Old", "gone"), "gone");
    settings_write_text("Folder", "/tmp/Received Files/");
    settings_write_number("Port", 1);
    settings_write_text("Nickname", "Ann");
    settings_write_number("Port", -6843);
    settings_close();
    EXPECT_EQ(read_bytes(path),
              "Folder = /tmp/Received Files/\r\nPort = -6843\r\nNickname = Ann\r\n");

    ASSERT_NE(settings_create(path.c_str()), 0);
    settings_close();
    EXPECT_EQ(read_bytes(path), "");
}

TEST_F(SettingsTest, KeyBytesAboveAsciiMatchInUtf8File)
{
    const std::string path = copy_fixture(dir, "utf8_mark.cfg");
    ASSERT_NE(settings_open(path.c_str()), 0);
    settings_write_text("Gr\xC3\xBC\xC3\x9F", "x\xC3\xA9");
    EXPECT_EQ(settings_read_text("GR\xC3\xBC\xC3\x9F", "absent"), "x\xC3\xA9");
    settings_close();
    ASSERT_NE(settings_open(path.c_str()), 0);
    EXPECT_EQ(settings_read_text("gr\xC3\xBC\xC3\x9F", "absent"), "x\xC3\xA9");
    settings_close();
    EXPECT_NE(read_bytes(path).find("Gr\xC3\xBC\xC3\x9F = x\xC3\xA9\r\n"), std::string::npos);
}

// UTF-8 texts are stored as they are, a replaced file keeps its mark, and a
// value that a window could only show with replacement characters keeps its
// bytes when it comes back that way.
TEST_F(SettingsTest, TextsKeepTheirBytesAndFilesTheirMark)
{
    const std::string mark = "\xEF\xBB\xBF";
    const std::string bad = "Jos\xE9 \xFF!";     // 8-bit, not UTF-8
    const std::string shown = "Jos\xEF\xBF\xBD \xEF\xBF\xBD!";
    struct Case {
        std::string before;
        bool create;           // settings_create, else settings_open
        const char* key;
        std::string text, after;
    } cases[] = {
        {mark + "Port = 1\r\n", false, "Nickname", "Jos\xC3\xA9",
         mark + "\r\nPort = 1\r\nNickname = Jos\xC3\xA9\r\n"},
        {mark + "Folder = /x/\r\n", true, "Folder", "/home/\xD0\x9F\xD1\x80\xD0\xB8\xD1\x91\xD0\xBC/",
         mark + "\r\nFolder = /home/\xD0\x9F\xD1\x80\xD0\xB8\xD1\x91\xD0\xBC/\r\n"},
        {"Nickname = " + bad + "\r\n", true, "nickname", shown, "nickname = " + bad + "\r\n"},
        {"Nickname = " + bad + " \t\r\n", true, "Nickname", shown, "Nickname = " + bad + "\r\n"},
        {mark + "Nickname = " + bad + "\r\n", false, "Nickname", shown,
         mark + "\r\nNickname = " + bad + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string path = dir.file("jox.cfg");
        ASSERT_TRUE(write_bytes(path, c.before));
        ASSERT_NE(c.create ? settings_create(path.c_str()) : settings_open(path.c_str()), 0);
        settings_write_text(c.key, c.text.c_str());
        settings_close();
        EXPECT_EQ(read_bytes(path), c.after);
        ASSERT_NE(settings_open(path.c_str()), 0);
        EXPECT_EQ(settings_read_text(c.key, ""), c.text == shown ? bad : c.text);
        settings_close();
    }
}

// A line end inside a written text must not turn into lines of its own.
TEST_F(SettingsTest, WrittenLineEndsCannotAddKeys)
{
    const std::string path = dir.file("jox.cfg");
    ASSERT_NE(settings_create(path.c_str()), 0);
    settings_write_text("Nickname", "Eve\r\nPort = 1");
    settings_write_text("Folder\nPort", "/x/");
    settings_close();
    ASSERT_NE(settings_open(path.c_str()), 0);
    EXPECT_EQ(settings_read_text("Nickname", ""), "Eve");
    EXPECT_EQ(settings_read_text("Folder", ""), "/x/");
    EXPECT_EQ(settings_read_number("Port", ABSENT), ABSENT);
}

TEST_F(SettingsTest, MissingFileIsCreatedOnlyWhenWritten)
{
    const std::string path = dir.file("jox.cfg");
    EXPECT_EQ(settings_open(path.c_str()), 0);
    EXPECT_EQ(settings_read_number("Port", 6843), 6843);
    settings_close();
    EXPECT_EQ(file_exists(path), false);

    EXPECT_EQ(settings_open(path.c_str()), 0);
    settings_write_number("Port", 7000);
    EXPECT_EQ(settings_read_number("Port", 6843), 7000);
    settings_close();
    EXPECT_EQ(read_bytes(path), "Port = 7000\r\n");
}

TEST_F(SettingsTest, WritesWithoutAnOpenFileChangeNothing)
{
    settings_close();
    settings_write_text("Port", "1");
    EXPECT_EQ(settings_read_text("Port", "none"), "none");

    const std::string path = dir.file("no such folder/jox.cfg");
    EXPECT_EQ(settings_create(path.c_str()), 0);
    settings_write_text("Port", "1");
    EXPECT_EQ(settings_read_text("Port", "none"), "none");
    settings_close();
    EXPECT_FALSE(file_exists(path));
}

// Opening the next file writes the previous one back first.
TEST_F(SettingsTest, OpeningAnotherFileClosesTheFirst)
{
    const std::string first = copy_fixture(dir, "port_capitals.cfg");
    const std::string second = copy_fixture(dir, "line_ends_crlf.cfg");
    ASSERT_NE(settings_open(first.c_str()), 0);
    settings_write_number("Port", 1);
    ASSERT_NE(settings_open(second.c_str()), 0);
    EXPECT_EQ(read_bytes(first), "Port = 1\r\n");
    EXPECT_EQ(settings_read_number("Port", 0), 6843);
}

TEST_F(SettingsTest, FolderIsNotASettingsFile)
{
    const std::string path = dir.file("folder");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(settings_open(path.c_str()), 0);
    settings_write_number("Port", 1);
    settings_close();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// A file we may only read: writes are seen in memory, the file keeps its
// bytes. Root may write anything, so this runs as an ordinary user.
TEST_F(SettingsTest, ReadOnlyFileKeepsItsContent)
{
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string path = copy_fixture(dir, "line_ends_crlf.cfg");
    const std::string before = read_bytes(path);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);

    const int result = run_unprivileged([&]() {
        if (settings_open(path.c_str()) == 0) {
            return 1;
        }
        settings_write_number("Port", 1);
        settings_write_text("New", "x");
        const bool seen = settings_read_number("Port", 0) == 1 &&
                          settings_read_text("New", "") == "x";
        settings_close();
        return seen ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_bytes(path), before);
}

// The names in `folder`, sorted, joined by "|".
std::string folder_names(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& n : names) joined += (joined.empty() ? "" : "|") + n;
    return joined;
}

// The new content replaces the old whole or not at all: a rewrite that
// cannot be completed (the file system refuses the bytes, the folder takes
// no new file) leaves the old file as it was and says so by its result,
// and no rewrite leaves a temporary file behind. Each case runs in a child,
// where the file size limit or the dropped rights cannot reach the suite.
TEST_F(SettingsTest, RewriteIsWholeOrNothing)
{
    enum Hindrance { NONE, SIZE_LIMIT, READ_ONLY_FOLDER };
    struct Case {
        const char* name;
        Hindrance hindrance;
        bool create;      // settings_create, else settings_open
        bool link;        // jox.cfg is a link to a file in a second folder
        int closed;       // what settings_close reports
    } cases[] = {
        {"open, nothing in the way", NONE, false, false, 1},
        {"create, nothing in the way", NONE, true, false, 1},
        {"open through a link", NONE, false, true, 1},
        {"open, file size limit", SIZE_LIMIT, false, false, 0},
        {"create, file size limit", SIZE_LIMIT, true, false, 0},
        {"open, folder takes no new file", READ_ONLY_FOLDER, false, false, 0},
    };
    const std::string before = "Nickname = Ann\r\nPort = 6843\r\n";
    const std::string written = "Nickname = Bo\r\nPort = 6843\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir folder, other;
        ASSERT_EQ(chmod(folder.path().c_str(), 0777), 0);
        const std::string path = folder.file("jox.cfg");
        const std::string file = c.link ? other.file("real.cfg") : path;
        ASSERT_TRUE(write_bytes(file, before));
        ASSERT_EQ(chmod(file.c_str(), 0606), 0);
        if (c.link) {
            ASSERT_EQ(symlink(file.c_str(), path.c_str()), 0);
        }
        if (c.hindrance == READ_ONLY_FOLDER) {
            ASSERT_EQ(chmod(folder.path().c_str(), 0555), 0);
        }
        const std::string listed = folder_names(folder.path());

        auto body = [&]() {
            if (c.hindrance == SIZE_LIMIT) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit tiny{12, 12};
                if (setrlimit(RLIMIT_FSIZE, &tiny) != 0) return 90;
            }
            if ((c.create ? settings_create(path.c_str()) : settings_open(path.c_str())) == 0) return 91;
            settings_write_text("Nickname", "Bo");
            if (c.create) settings_write_number("Port", 6843);
            return settings_close();
        };
        int result = -1;
        if (c.hindrance == READ_ONLY_FOLDER) {
            result = run_unprivileged(body);
        } else {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) _exit(body());
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        chmod(folder.path().c_str(), 0777);
        EXPECT_EQ(result, c.closed);
        EXPECT_EQ(read_bytes(file), c.closed ? written : before);
        EXPECT_EQ(folder_names(folder.path()), listed);
        if (c.link) {
            EXPECT_EQ(folder_names(other.path()), "real.cfg");
        }
        struct stat st;
        ASSERT_EQ(lstat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0606u);
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), c.link);
    }
}

}  // namespace
