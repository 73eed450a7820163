// The command line: each row is one call of the program and what it asks for.

#include "command_line.h"

#include <gtest/gtest.h>

#include <vector>

TEST(CommandLine, OptionsPickTheActionAndTheWorkingFolder)
{
    const struct {
        std::vector<const char*> args;
        CommandAction action;
        const char* workdir;
        const char* error;  // part of the message
    } cases[] = {
        {{}, COMMAND_RUN, "", ""},
        {{"--workdir", "/tmp/a b"}, COMMAND_RUN, "/tmp/a b", ""},
        {{"--workdir=rel", "--workdir", "/last"}, COMMAND_RUN, "/last", ""},
        {{"--version"}, COMMAND_VERSION, "", ""},
        {{"--version", "-h"}, COMMAND_HELP, "", ""},
        {{"--help", "--version"}, COMMAND_HELP, "", ""},
        {{"--workdir"}, COMMAND_ERROR, "", "needs a folder"},
        {{"--workdir="}, COMMAND_ERROR, "", "needs a folder"},
        {{"--workdir", ""}, COMMAND_ERROR, "", "needs a folder"},
        {{"--workdr", "/x"}, COMMAND_ERROR, "", "unknown option '--workdr'"},
        {{"--help", "-x"}, COMMAND_ERROR, "", "unknown option '-x'"},
        {{"/tmp/file.txt"}, COMMAND_ERROR, "", "unexpected argument '/tmp/file.txt'"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"jox"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CommandLine line = command_line_parse(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(argv.size() > 1 ? argv[1] : "(none)");
        EXPECT_EQ(line.action, c.action);
        EXPECT_EQ(line.workdir, c.workdir);
        EXPECT_NE(line.error.find(c.error), std::string::npos) << line.error;
        EXPECT_EQ(line.error.empty(), c.error[0] == '\0');
    }
    EXPECT_EQ(command_line_version(), "jox " JOX_PROGRAM_VERSION " (JOX 1.05 build 6000)\n");
    EXPECT_EQ(command_line_usage().rfind("Usage: jox [--workdir DIR]\n", 0), 0u);
}
