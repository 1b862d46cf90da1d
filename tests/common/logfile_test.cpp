// Pump log files: only regular files, never a blocking open, one pump per file in the process.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdlib.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/logfile.h"
#include "support/pty_controller.h"

namespace {

std::string CreateError(const std::string& file_name)
{
    try {
        Logfile log(file_name);
    } catch (const Gallion_error& error) {
        return error.what();
    }
    return "";
}

TEST(LogfileTest, ANamedPipeIsRefusedWithoutBlocking)
{
    TempDir dir;
    std::string fifo = dir.File("pipe.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string refused = "Cannot create log file \"" + fifo + "\": not a regular file";

    // In a child with an alarm: a blocking open would hang there, not the test program.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        _exit(CreateError(fifo) == refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the open of a named pipe blocked";
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // With a reader at the other end the open would succeed: still no regular file.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(CreateError(fifo), refused);
    close(reader);

    EXPECT_EQ(CreateError("/dev/null"), "Cannot create log file \"/dev/null\": not a regular file");
    EXPECT_EQ(CreateError(dir.Path()), "Cannot create log file \"" + dir.Path() + "\": not a regular file");
}

TEST(LogfileTest, AFileOpenForAnotherPumpIsRefusedByAnyOfItsNames)
{
    TempDir dir;
    std::string path = dir.File("Pump 1.log");
    auto first = std::make_unique<Logfile>(path);
    first->WriteLine("first pump");
    char* resolved = realpath(path.c_str(), nullptr);
    ASSERT_NE(resolved, nullptr);
    const std::string canonical = resolved;
    free(resolved);
    EXPECT_EQ(first->CanonicalPath(), canonical);
    EXPECT_TRUE(Logfile::IsOpenAsLog(path));

    std::string link = dir.File("link.log");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    std::string hard = dir.File("hard.log");
    ASSERT_EQ(::link(path.c_str(), hard.c_str()), 0);
    const std::string held = "already open as the log of another pump (" + canonical + ")";
    const std::string folder_name = dir.Path().substr(dir.Path().rfind('/') + 1);
    const std::string dotted = dir.Path() + "/./../" + folder_name + "/Pump 1.log";
    for (const std::string& name : {path, link, hard, dotted})
        EXPECT_EQ(CreateError(name), "Cannot create log file \"" + name + "\": " + held);
    // The refusal replaced nothing: the first pump's log is whole.
    EXPECT_EQ(ReadWholeFile(path), "first pump\r\n");

    // Another file opens beside it; once the first log closes, its file is free again.
    EXPECT_EQ(CreateError(dir.File("Pump 2.log")), "");
    first.reset();
    EXPECT_FALSE(Logfile::IsOpenAsLog(path));
    Logfile again(link);
    EXPECT_EQ(again.CanonicalPath(), canonical);
    EXPECT_EQ(ReadWholeFile(path), "");  // replaced, as a new log does
}

TEST(LogfileTest, ThreadsRacingForOneFileGetItOnce)
{
    TempDir dir;
    std::string path = dir.File("shared.log");
    constexpr int kThreads = 8;
    std::atomic<int> opened{0};
    std::atomic<int> refused{0};
    std::atomic<bool> go{false};
    std::vector<std::unique_ptr<Logfile>> logs(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            try {
                logs[i] = std::make_unique<Logfile>(path);
                opened.fetch_add(1);
            } catch (const Gallion_error&) {
                refused.fetch_add(1);
            }
        });
    }
    go.store(true);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(opened.load(), 1);
    EXPECT_EQ(refused.load(), kThreads - 1);
}

}  // namespace
