// The options window's port field is read like atoi; the settings are
// loaded with their defaults and created when missing.
#include "handlers.h"
#include "state.h"

#include "files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

TEST(OptionsPort, ReadLikeAtoi)
{
    struct Case {
        std::string text;
        int port;
    } cases[] = {
        {"6843", 6843}, {"7000abc", 7000}, {"abc", 0}, {"", 0}, {"  \t42", 42},
        {"+15", 15}, {"-3", -3}, {"- 3", 0}, {"12 34", 12}, {"0x10", 0},
        {"99999999999999", 2147483647}, {"-99999999999999", -2147483647 - 1},
    };
    for (const Case& c : cases) EXPECT_EQ(options_read_port(c.text), c.port) << c.text;
}

namespace {

// Each case runs in its own temporary working folder.
// HOME is the working folder too, so the first-start received-files folder
// lands inside it.
class SettingsFolder : public ::testing::Test {
protected:
    std::string dir;
    std::string old_cwd;
    std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "/";
    void SetUp() override
    {
        char buf[] = "/tmp/jox-settings-XXXXXX";
        ASSERT_NE(mkdtemp(buf), nullptr);
        dir = std::string(buf) + "/";
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd = cwd;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        setenv("HOME", dir.c_str(), 1);
        app = AppState{};
    }
    void TearDown() override
    {
        setenv("HOME", old_home.c_str(), 1);
        ASSERT_EQ(chdir(old_cwd.c_str()), 0);
        unlink((dir + "jox.cfg").c_str());
        rmdir((dir + "Downloads").c_str());
        rmdir(dir.c_str());
    }
    std::string read_config()
    {
        std::ifstream in(dir + "jox.cfg", std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    void write_config(const std::string& text)
    {
        std::ofstream(dir + "jox.cfg", std::ios::binary) << text;
    }
};

}  // namespace

TEST_F(SettingsFolder, MissingFileIsCreatedWithTheSevenDefaults)
{
    ASSERT_EQ(mkdir((dir + "Downloads").c_str(), 0700), 0);
    load_settings();
    EXPECT_EQ(app.receive_folder, dir + "Downloads/jox/");
    unlink((dir + "jox.cfg").c_str());
    rmdir((dir + "Downloads").c_str());
    app = AppState{};
    load_settings();
    EXPECT_EQ(read_config(), "Folder = " + dir + "jox/\r\nIP = \r\nPort = 6843\r\n"
                             "Auto Accept = No\r\nOpen File = No\r\nTimeout = 2\r\nNickname = \r\n");
    EXPECT_EQ(app.receive_folder, dir + "jox/");
    EXPECT_EQ(app.port, 6843);
    EXPECT_EQ(app.auto_accept, "No");
    EXPECT_EQ(app.open_file, "No");
    EXPECT_EQ(app.timeout_seconds, 2);
    EXPECT_EQ(app.nickname, "");
    EXPECT_EQ(app.last_address, "");
}

TEST_F(SettingsFolder, MissingKeysTakeDefaultsAndEmptyNumbersReadZero)
{
    struct Case {
        std::string file;
        int timeout;
        int port;
        std::string folder;
    } cases[] = {
        {"Port = 7000\r\n", 2, 7000, dir + "jox/"},
        {"Timeout =\r\nPort=x\r\n", 0, 0, dir + "jox/"},
        {"Timeout = 5s\r\n", 5, 6843, dir + "jox/"},
        // A folder is made absolute against the working folder, with its "/".
        {"Folder = \r\n", 2, 6843, dir},
        {"Folder = Inbox\r\n", 2, 6843, dir + "Inbox/"},
        {"Folder = /data/Inbox\r\n", 2, 6843, "/data/Inbox/"},
    };
    for (const Case& c : cases) {
        write_config(c.file);
        app = AppState{};
        load_settings();
        EXPECT_EQ(app.timeout_seconds, c.timeout) << c.file;
        EXPECT_EQ(app.port, c.port) << c.file;
        EXPECT_EQ(app.receive_folder, c.folder) << c.file;
        // A file that was only read stays as it was.
        EXPECT_EQ(read_config(), c.file);
    }
}

TEST_F(SettingsFolder, SaveWritesEveryKeyInOrder)
{
    app.receive_folder = "/data/in/";
    app.last_address = "10.0.0.7";
    app.port = 7001;
    app.auto_accept = "Yes";
    app.open_file = "No";
    app.timeout_seconds = 9;
    app.nickname = "Ann";
    save_settings();
    EXPECT_EQ(read_config(), "Folder = /data/in/\r\nIP = 10.0.0.7\r\nPort = 7001\r\nAuto Accept = Yes\r\n"
                             "Open File = No\r\nTimeout = 9\r\nNickname = Ann\r\n");
    app = AppState{};
    load_settings();
    EXPECT_EQ(app.receive_folder, "/data/in/");
    EXPECT_EQ(app.last_address, "10.0.0.7");
    EXPECT_EQ(app.nickname, "Ann");
    EXPECT_EQ(app.auto_accept, "Yes");
}
