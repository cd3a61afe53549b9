// The console's screen rule and the log file's life beside a rotation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "log_file.h"

namespace {

// Successive writes and what the screen gets for each: a newline goes in
// front of anything printed while a drawn redraw stands open, and nowhere else.
TEST(ScreenText, TextAfterARedrawStartsOnALineOfItsOwn)
{
    struct Case {
        std::vector<std::string> writes;
        std::vector<std::string> screen;
    };
    const Case cases[] = {
        {{"\r  [1 MH/s] blk=0   ", "  [*] Requesting block template...\n"},
         {"\r  [1 MH/s] blk=0   ", "\n  [*] Requesting block template...\n"}},
        // A message that starts its own line already is left as it is.
        {{"\r  [stats]   ", "\n  [*] New block on chain, refreshing...\n"},
         {"\r  [stats]   ", "\n  [*] New block on chain, refreshing...\n"}},
        {{"\r  [stats]   ", "\r  [stats 2]   ", "x"}, {"\r  [stats]   ", "\r  [stats 2]   ", "\nx"}},
        // A bare carriage return only puts the cursor back for the next text.
        {{"  Warming up...", "\r", "  Running...\n"}, {"  Warming up...", "\r", "  Running...\n"}},
        {{"abc", "def\n", "ghi"}, {"abc", "def\n", "ghi"}},
        {{"\r  [stats]   \n", "next\n"}, {"\r  [stats]   \n", "next\n"}},
        {{"line\r  [stats]", "  [!] x\n", "y"}, {"line\r  [stats]", "\n  [!] x\n", "y"}},
        {{"\r  [stats]", ""}, {"\r  [stats]", ""}},
    };
    for (const Case& c : cases) {
        bool open = false;
        for (size_t i = 0; i < c.writes.size(); ++i)
            EXPECT_EQ(screen_text(open, c.writes[i]), c.screen[i]) << "write " << i << " of case "
                                                                  << c.screen[0];
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The texts of a log's lines, without their times.
std::vector<std::string> texts(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/marlvane-log-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// A rotation by renaming: the lines written before the new file appears go
// to the renamed one, the rest to the new one, none twice and none lost; a
// path left empty is created again after a short grace.
TEST(LogFile, FollowsItsPathThroughARotation)
{
    TempDir dir;
    const std::string path = dir.path + "/miner.log";
    std::string error;
    ASSERT_TRUE(start_log(path, error)) << error;
    EXPECT_EQ(log_line("one"), "");
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
    EXPECT_EQ(log_line("two"), "") << "written to the renamed file while the path is empty";
    close(open(path.c_str(), O_WRONLY | O_CREAT, 0644)); // logrotate's create
    EXPECT_EQ(log_line("three"), "");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    log_line("four");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    log_maintain();
    EXPECT_EQ(log_line("five"), "");
    EXPECT_EQ(texts(path + ".1"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(texts(path), (std::vector<std::string>{"five"}));
    EXPECT_EQ(read_file(path).substr(4, 1), "-") << "each line starts with its date";
}

// SIGHUP's request opens the path again even when the file there is the
// same one (copytruncate, or a hand-made move and create in one step).
TEST(LogFile, AReopenRequestOpensThePathAgain)
{
    TempDir dir;
    const std::string path = dir.path + "/miner.log";
    std::string error;
    ASSERT_TRUE(start_log(path, error)) << error;
    log_line("before");
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
    request_log_reopen();
    log_line("after");
    EXPECT_EQ(texts(path + ".1"), (std::vector<std::string>{"before"}));
    EXPECT_EQ(texts(path), (std::vector<std::string>{"after"}));
}

// A file that refuses every write (a full disk): said once, never fatal.
TEST(LogFile, AWriteErrorIsSaidOnce)
{
    std::string error;
    ASSERT_TRUE(start_log("/dev/full", error)) << error;
    EXPECT_EQ(log_line("a"), "  [!] Cannot write the log file /dev/full: No space left on device; "
                             "its lines are kept and written when it works again");
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(log_line("more"), "") << i;
    log_maintain();
}

TEST(LogFile, CannotOpenAFileInAMissingDirectory)
{
    std::string error;
    EXPECT_FALSE(start_log("/nonexistent-dir/miner.log", error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(log_active());
}

} // namespace
