// Per-user folders under a temporary HOME: the download folder as the desktop
// names it, the working folder's sources in their order, and data files found
// beside a binary or under its prefix.

#include "user_folders.h"
#include "files.h"
#include "support_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// Sets or clears the variables the user folders read, restoring them after.
class UserEnv : public ::testing::Test {
protected:
    const char* names[4] = {"HOME", "XDG_CONFIG_HOME", "XDG_DOWNLOAD_DIR", "JOX_HOME"};
    std::string saved[4];
    bool had[4] = {};
    TempDir home;
    void SetUp() override
    {
        for (int i = 0; i < 4; i++) {
            const char* v = std::getenv(names[i]);
            had[i] = v != nullptr;
            saved[i] = v ? v : "";
            unsetenv(names[i]);
        }
        setenv("HOME", home.path().c_str(), 1);
    }
    void TearDown() override
    {
        for (int i = 0; i < 4; i++) {
            if (had[i]) setenv(names[i], saved[i].c_str(), 1);
            else unsetenv(names[i]);
        }
    }
};

TEST_F(UserEnv, DownloadFolderFollowsUserDirsThenTheVariableThenDownloads)
{
    const std::string h = home.path() + "/";
    ASSERT_EQ(mkdir(home.file(".config").c_str(), 0700), 0);
    for (const char* d : {"Downloads", "Téléchargements", "env-dl", "abs"}) mkdir(home.file(d).c_str(), 0700);
    const struct {
        std::string user_dirs;  // "": no file
        std::string env;        // XDG_DOWNLOAD_DIR, "": unset
        bool downloads;         // ~/Downloads exists
        std::string expected;
    } cases[] = {
        {"", "", true, h + "Downloads/"},
        {"", "", false, ""},
        {"XDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n", "", true, h + "Téléchargements/"},
        {"# c\nXDG_DOWNLOAD_DIR=\"" + h + "abs\"\n", "/nowhere", true, h + "abs/"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/\"\n", "", true, ""},
        {"XDG_DOWNLOAD_DIR=\"$HOME/missing\"\n", "", true, ""},
        {"XDG_DOWNLOAD_DIR=\"$(rm -rf x)\"\n", "", false, ""},
        {"XDG_MUSIC_DIR=\"$HOME/abs\"\n", h + "env-dl", true, h + "env-dl/"},
        {"XDG_DOWNLOAD_DIR=\"$HOMEx/abs\"\n", "relative", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user_dirs + "|" + c.env);
        unlink(home.file(".config/user-dirs.dirs").c_str());
        if (!c.user_dirs.empty()) {
            ASSERT_TRUE(write_bytes(home.file(".config/user-dirs.dirs"), c.user_dirs));
        }
        if (!c.env.empty()) setenv("XDG_DOWNLOAD_DIR", c.env.c_str(), 1);
        else unsetenv("XDG_DOWNLOAD_DIR");
        if (c.downloads) mkdir(home.file("Downloads").c_str(), 0700);
        else rmdir(home.file("Downloads").c_str());
        EXPECT_EQ(download_folder(), c.expected);
    }
    // user-dirs.dirs is read from XDG_CONFIG_HOME when that is set.
    ASSERT_EQ(mkdir(home.file("cfg").c_str(), 0700), 0);
    ASSERT_TRUE(write_bytes(home.file("cfg/user-dirs.dirs"), "XDG_DOWNLOAD_DIR=\"$HOME/abs\"\n"));
    setenv("XDG_CONFIG_HOME", home.file("cfg").c_str(), 1);
    EXPECT_EQ(download_folder(), h + "abs/");
}

TEST_F(UserEnv, WorkingFolderIsTheOptionThenJoxHomeThenTheConfigFolder)
{
    const std::string h = home.path() + "/";
    EXPECT_EQ(working_folder_path(""), h + ".config/jox/");
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(working_folder_path(""), h + ".config/jox/");
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(working_folder_path(""), "/cfg/jox/");
    setenv("JOX_HOME", "/second", 1);
    EXPECT_EQ(working_folder_path(""), "/second/");
    EXPECT_EQ(working_folder_path("/third/"), "/third/");
    EXPECT_EQ(working_folder_path("rel"), current_directory() + "rel/");

    // Made with every missing level; an existing file in the way is refused.
    EXPECT_NE(make_folders(home.file("a/b/c/")), 0);
    EXPECT_NE(make_folders(home.file("a/b/c")), 0);
    ASSERT_TRUE(write_bytes(home.file("file"), "x"));
    EXPECT_EQ(make_folders(home.file("file/sub")), 0);
    EXPECT_EQ(make_folders(home.file("file")), 0);
}

TEST_F(UserEnv, DataFilesAreFoundBesideTheBinaryThenUnderItsPrefix)
{
    ASSERT_TRUE(make_folders(home.file("build")) && make_folders(home.file("usr/bin")) &&
                make_folders(home.file("usr/share/jox")));
    ASSERT_TRUE(write_bytes(home.file("build/help.html"), "b"));
    ASSERT_TRUE(write_bytes(home.file("usr/share/jox/help.html"), "i"));
    ASSERT_TRUE(make_folders(home.file("build/alert1.wav")));  // a folder is no data file
    EXPECT_EQ(find_data_file(home.file("build"), "help.html"), home.file("build/help.html"));
    EXPECT_EQ(find_data_file(home.file("usr/bin/"), "help.html"), home.file("usr/share/jox/help.html"));
    EXPECT_EQ(find_data_file(home.file("build/"), "alert1.wav"), "");
    EXPECT_EQ(find_data_file(home.file("usr/bin/"), "missing.txt"), "");
    EXPECT_EQ(find_data_file("", "help.html"), "");
    EXPECT_NE(program_folder().find("/tests/"), std::string::npos);
}

}  // namespace
