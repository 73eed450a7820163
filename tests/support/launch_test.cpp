// Launching: real shell scripts started from a folder with a space in its
// name, waited for or detached; opening documents, folders and addresses
// through a stand-in xdg-open placed first on PATH, so no real browser or
// file manager ever starts.

#include "launch.h"
#include "support_test_util.h"

#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

namespace {

bool make_script(const std::string& path, const std::string& body)
{
    return write_bytes(path, "#!/bin/sh\n" + body) && chmod(path.c_str(), 0755) == 0;
}

// Waits (bounded) until `path` exists; true when it appeared.
bool wait_for_file(const std::string& path)
{
    for (int i = 0; i < 1000; i++) {
        if (file_exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class LaunchTest : public testing::Test {
protected:
    void SetUp() override
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        const char* path = std::getenv("PATH");
        saved_path_ = path != nullptr ? path : "";
        ASSERT_EQ(chdir(dir.path().c_str()), 0);

        programs = dir.file("my programs");
        work = dir.file("work folder");
        ASSERT_EQ(mkdir(programs.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
        // Lists its parameters and working folder, and its open descriptors
        // (those of the shell running it); renames last so a reader never
        // sees half a file.
        writer = programs + "/writer.sh";
        ASSERT_TRUE(make_script(writer, "ls /proc/$$/fd > fds.txt\n"
                                        "printf '%s|' \"$@\" > marker.tmp\n"
                                        "pwd >> marker.tmp\n"
                                        "mv marker.tmp marker.txt\n"));
    }
    void TearDown() override
    {
        run_program_set_hook(nullptr);
        setenv("PATH", saved_path_.c_str(), 1);
        ASSERT_EQ(chdir(saved_cwd_.c_str()), 0);
    }

    TempDir dir;
    std::string programs, work, writer;

private:
    std::string saved_cwd_, saved_path_;
};

TEST_F(LaunchTest, StartsProgramsWithParametersInTheirFolder)
{
    struct Case {
        std::string target, parameters, folder;
        std::string marker; // where the program writes, expected content
        std::string expected;
    };
    const Case cases[] = {
        {writer, "one  two\tthree", work, work + "/marker.txt", "one|two|three|" + work + "\n"},
        {"\"" + writer + "\" first", "second", work, work + "/marker.txt",
         "first|second|" + work + "\n"},
        {writer, "", "", dir.file("marker.txt"), "|" + dir.path() + "\n"},
        // Relative to our working folder, although it runs in another.
        {"my programs/writer.sh", "x", work, work + "/marker.txt", "x|" + work + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target + " / " + c.parameters);
        unlink(c.marker.c_str());
        EXPECT_EQ(run_program(c.target.c_str(), c.parameters.c_str(), c.folder.c_str(), RUN_WAIT), 1);
        // Waited for: the file is complete when the call returns.
        EXPECT_EQ(read_bytes(c.marker), c.expected);
    }
}

// Started without waiting: it runs on by itself, leaves no zombie behind,
// and holds none of our descriptors.
TEST_F(LaunchTest, DetachedProgramInheritsNoDescriptorsAndLeavesNoZombie)
{
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    const int kept = 57;
    ASSERT_EQ(dup2(sock, kept), kept);
    close(sock);

    EXPECT_EQ(run_program(writer.c_str(), "a", work.c_str(), 0), 1);
    ASSERT_TRUE(wait_for_file(work + "/marker.txt"));
    EXPECT_EQ(read_bytes(work + "/marker.txt"), "a|" + work + "\n");
    const std::string fds = read_bytes(work + "/fds.txt");
    EXPECT_NE(fds.find("0\n"), std::string::npos);
    EXPECT_EQ(("\n" + fds).find("\n" + std::to_string(kept) + "\n"), std::string::npos) << fds;
    close(kept);

    int status = 0;
    errno = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(LaunchTest, NothingToStartGivesZero)
{
    const std::string cases[] = {
        "",
        dir.file("missing.exe"),
        "\"" + dir.file("missing folder/program") + "\"",
        "no-such-program-anywhere",
    };
    for (const std::string& target : cases) {
        SCOPED_TRACE(target);
        EXPECT_EQ(run_program(target.c_str(), "", "", 0), 0);
    }
    EXPECT_EQ(run_program(nullptr, nullptr, nullptr, 0), 0);
}

// What is not a program goes to the user's default program (xdg-open),
// here a stand-in that records what it was asked to open and where it ran.
TEST_F(LaunchTest, OpensDocumentsFoldersAndAddresses)
{
    const std::string bin = dir.file("bin");
    const std::string docs = dir.file("my docs");
    const std::string opened = dir.file("opened.txt");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(docs.c_str(), 0755), 0);
    ASSERT_TRUE(make_script(bin + "/xdg-open", "printf '%s\\n' \"$1\" > '" + opened + "'\n"
                                               "pwd >> '" + opened + "'\n"));
    ASSERT_TRUE(write_bytes(docs + "/notes.txt", "text"));
    // Executable bit, but nothing the system can run.
    ASSERT_TRUE(write_bytes(docs + "/fake.exe", "not a program"));
    ASSERT_EQ(chmod((docs + "/fake.exe").c_str(), 0755), 0);
    setenv("PATH", bin.c_str(), 1);

    const std::string address = "http://forum.example/viewforum.php?f=4";
    struct Case {
        std::string target, folder;
        std::string expected; // the opened target, then the working folder
    };
    const Case cases[] = {
        {docs + "/notes.txt", "", docs + "/notes.txt\n" + docs + "\n"},
        {docs + "/notes.txt", work, docs + "/notes.txt\n" + work + "\n"},
        {"my docs/notes.txt", "", docs + "/notes.txt\n" + docs + "\n"},
        {docs + "/", "", docs + "/\n" + docs + "\n"},
        {docs + "/fake.exe", "", docs + "/fake.exe\n" + docs + "\n"},
        {address, "", address + "\n" + dir.path() + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        unlink(opened.c_str());
        EXPECT_EQ(run_program(c.target.c_str(), "", c.folder.c_str(), RUN_WAIT), 1);
        EXPECT_EQ(read_bytes(opened), c.expected);
    }

    // No xdg-open to be found: nothing can open the document.
    setenv("PATH", dir.file("empty").c_str(), 1);
    EXPECT_EQ(run_program((docs + "/notes.txt").c_str(), "", "", RUN_WAIT), 0);
}

int hook_calls = 0;
std::string hook_seen;

int recording_hook(const char* target, const char* parameters, const char* folder, int flags)
{
    hook_calls++;
    hook_seen = std::string(target) + "|" + parameters + "|" + folder + "|" + std::to_string(flags);
    return 7;
}

// With the hook set, nothing starts (the writer would leave its marker).
TEST_F(LaunchTest, HookReplacesStarting)
{
    run_program_set_hook(recording_hook);
    EXPECT_EQ(run_program(writer.c_str(), "p", work.c_str(), RUN_WAIT), 7);
    EXPECT_EQ(hook_calls, 1);
    EXPECT_EQ(hook_seen, writer + "|p|" + work + "|1");
    EXPECT_FALSE(file_exists(work + "/marker.txt"));
    run_program_set_hook(nullptr);
    EXPECT_EQ(run_program(writer.c_str(), "p", work.c_str(), RUN_WAIT), 1);
    EXPECT_TRUE(file_exists(work + "/marker.txt"));
}

}  // namespace
