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

// A stand-in xdg-open in `bin` that writes the target it got to `record`,
// in one step so that a reader never sees half of it.
bool make_recording_opener(const std::string& bin, const std::string& record)
{
    return mkdir(bin.c_str(), 0755) == 0 &&
           make_script(bin + "/xdg-open", "printf '%s' \"$1\" > '" + record + ".tmp'\n"
                                          "mv '" + record + ".tmp' '" + record + "'\n");
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

// Opening must never run what a peer sent, or a name picked off PATH: the
// stand-in opener records what it gets; every row's content would leave the
// marker if anything ran it. Only a program named by its path is started.
TEST_F(LaunchTest, OpensDocumentsButNeverRunsProgramsOrNamesFromPath)
{
    const std::string bin = dir.file("bin");
    const std::string opened = dir.file("opened.txt");
    const std::string marker = dir.file("was-run");
    ASSERT_TRUE(make_recording_opener(bin, opened));
    setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
    const std::string script = "#!/bin/sh\ntouch '" + marker + "'\n";
    const std::string entry = "[Desktop Entry]\nType=Application\nExec=touch " + marker + "\n";

    struct Case {
        std::string name, content;  // no content: no file is made
        mode_t mode;
        int run;                    // run_program's result
        LaunchResult document;      // launch_open_document's result
    };
    const Case cases[] = {
        {"\"touch\" " + marker, "", 0644, 0, LAUNCH_MISSING},
        {"touch", "", 0644, 0, LAUNCH_MISSING},
        {"tool", script, 0755, 1, LAUNCH_RUNNABLE},
        {"fake.exe", "not a program", 0755, 0, LAUNCH_RUNNABLE},
        {"Notes.desktop", entry, 0644, 0, LAUNCH_RUNNABLE},
        {"readme.txt", "; about\n" + entry, 0644, 0, LAUNCH_RUNNABLE},
        {"run.SH", "echo hi\n", 0644, 0, LAUNCH_RUNNABLE},
        {"install", script, 0644, 0, LAUNCH_RUNNABLE},
        {"photo.jpg", "\x7F" "ELF\x02\x01\x01", 0644, 0, LAUNCH_RUNNABLE},
        {"setup", "MZ\x90", 0644, 0, LAUNCH_RUNNABLE},
        {"letter.txt", "Dear Jos\xC3\xA9, #!", 0644, 1, LAUNCH_STARTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.content.empty() ? c.name : dir.file(c.name);
        if (!c.content.empty()) {
            ASSERT_TRUE(write_bytes(path, c.content));
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        }
        const bool document = c.document == LAUNCH_STARTED;
        unlink(opened.c_str());
        unlink(marker.c_str());
        EXPECT_EQ(run_program(path.c_str(), marker.c_str(), "", RUN_WAIT), c.run);
        EXPECT_EQ(read_bytes(opened), document ? path : "");
        EXPECT_EQ(file_exists(marker), c.run == 1 && !document);

        unlink(opened.c_str());
        unlink(marker.c_str());
        EXPECT_EQ(launch_open_document(path.c_str()), c.document);
        if (document) {
            ASSERT_TRUE(wait_for_file(opened));
        }
        EXPECT_EQ(read_bytes(opened), document ? path : "");
        EXPECT_FALSE(file_exists(marker));
    }
}

TEST_F(LaunchTest, FoldersAndAddressesOpenOnlyAsWhatTheyAre)
{
    const std::string bin = dir.file("bin");
    const std::string opened = dir.file("opened.txt");
    ASSERT_TRUE(make_recording_opener(bin, opened));
    ASSERT_TRUE(write_bytes(dir.file("notes.txt"), "text"));
    setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
    struct Case {
        LaunchResult (*open)(const char*);
        std::string target;
        LaunchResult result;
    };
    const Case cases[] = {
        {launch_open_folder, work + "/", LAUNCH_STARTED},
        {launch_open_folder, "work folder", LAUNCH_STARTED},
        {launch_open_folder, dir.file("notes.txt"), LAUNCH_MISSING},
        {launch_open_folder, dir.file("gone/"), LAUNCH_MISSING},
        {launch_open_url, "https://example.org/help.html", LAUNCH_STARTED},
        {launch_open_url, "steam://run/1", LAUNCH_MISSING},
        {launch_open_url, "notes.txt", LAUNCH_MISSING},
        {launch_open_document, work, LAUNCH_MISSING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        unlink(opened.c_str());
        EXPECT_EQ(c.open(c.target.c_str()), c.result);
        if (c.result == LAUNCH_STARTED) {
            ASSERT_TRUE(wait_for_file(opened));
            EXPECT_NE(read_bytes(opened).find(c.target), std::string::npos);
        }
    }
    // No opener, or one only a relative PATH entry finds: nothing opens.
    for (const char* path : {"empty", "bin"}) {
        setenv("PATH", path, 1);
        EXPECT_EQ(launch_open_document(dir.file("notes.txt").c_str()), LAUNCH_FAILED) << path;
        EXPECT_EQ(launch_open_folder(work.c_str()), LAUNCH_FAILED) << path;
    }
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
