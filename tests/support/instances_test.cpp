// Running instances: a live one is counted, an ended one's file goes, and
// leaving takes our own file away.
#include "instances.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

TEST(Instances, LiveOnesCountEndedOnesGo)
{
    char name[] = "/tmp/jox_instances_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string folder = std::string(name) + "/";
    pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_GT(ended, 0);
    waitpid(ended, nullptr, 0);
    const std::string live = std::to_string(getppid()), gone = std::to_string(ended), own = std::to_string(getpid());
    for (const std::string& f : {live, gone, std::string("notes.txt")}) std::ofstream(folder + f).close();
    EXPECT_EQ(instances_join(folder), 1);
    EXPECT_TRUE(std::filesystem::exists(folder + live));
    EXPECT_FALSE(std::filesystem::exists(folder + gone));
    EXPECT_TRUE(std::filesystem::exists(folder + own));
    EXPECT_EQ(instances_join(folder), 1);  // ourselves never count
    instances_leave(folder);
    EXPECT_FALSE(std::filesystem::exists(folder + own));
    std::filesystem::remove_all(folder);
}
