// File-system helpers on real files and folders in a temporary folder: the
// size-or-kind probe, the working folder, folder creation and deletion.

#include "files.h"
#include "support_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(Files, SizeTellsFilesFoldersAndNothing)
{
    TempDir dir;
    ASSERT_TRUE(write_bytes(dir.file("five.txt"), "12345"));
    ASSERT_TRUE(write_bytes(dir.file("empty.txt"), ""));
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);

    struct Case {
        std::string path;
        int64_t size;
    };
    const Case cases[] = {
        {dir.file("five.txt"), 5},
        {dir.file("empty.txt"), 0},
        {dir.file("sub"), -2},
        {dir.file("sub/"), -2},
        {dir.path(), -2},
        {"/", -2},
        {dir.file("missing"), -1},
        {dir.file("missing/"), -1},
        {dir.file("sub/missing.txt"), -1},
        {"", -1},
        {dir.file("pipe"), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(file_size(c.path.c_str()), c.size);
    }
    EXPECT_EQ(file_size(nullptr), -1);
}

TEST(Files, CurrentDirectoryEndsInOneSlash)
{
    TempDir dir;
    const std::string saved = current_directory();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(current_directory(), dir.path() + "/");
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(current_directory(), "/");
    ASSERT_EQ(chdir(saved.c_str()), 0);
}

TEST(Files, CreateDirectoryMakesTheLastLevelOnce)
{
    TempDir dir;
    const std::string made = dir.file("Received Files/");
    EXPECT_NE(create_directory(made.c_str()), 0);
    EXPECT_EQ(file_size(made.c_str()), -2);
    EXPECT_EQ(create_directory(made.c_str()), 0);

    // Trailing separators are not part of the name; trailing blanks are.
    EXPECT_NE(create_directory((dir.file("second") + " //").c_str()), 0);
    EXPECT_EQ(file_size(dir.file("second ").c_str()), -2);
    EXPECT_EQ(file_size(dir.file("second").c_str()), -1);

    EXPECT_EQ(create_directory(dir.file("no parent/child").c_str()), 0);
    EXPECT_EQ(file_size(dir.file("no parent").c_str()), -1);
    EXPECT_EQ(create_directory(""), 0);
    EXPECT_EQ(create_directory("/"), 0);
}

TEST(Files, FolderAbsoluteResolvesAgainstTheBaseWithOneFinalSlash)
{
    const struct {
        const char* folder;
        const char* absolute;
    } cases[] = {
        {"", "/work/"},
        {"Inbox", "/work/Inbox/"},
        {"in/box/", "/work/in/box/"},
        {"/data/Inbox", "/data/Inbox/"},
        {"/data/Inbox /", "/data/Inbox /"},
    };
    for (const auto& c : cases) EXPECT_EQ(folder_absolute(c.folder, "/work/"), c.absolute) << c.folder;
}

TEST(Files, DeleteFileRemovesFilesOnly)
{
    TempDir dir;
    const std::string path = dir.file("gone.txt");
    ASSERT_TRUE(write_bytes(path, "x"));
    EXPECT_NE(delete_file(path.c_str()), 0);
    EXPECT_EQ(file_size(path.c_str()), -1);
    EXPECT_EQ(delete_file(path.c_str()), 0);
    EXPECT_EQ(delete_file(dir.path().c_str()), 0);
    EXPECT_EQ(file_size(dir.path().c_str()), -2);
    EXPECT_EQ(delete_file(""), 0);
}

}  // namespace
