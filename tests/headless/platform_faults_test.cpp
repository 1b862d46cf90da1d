// Faults of the platform layer as a user of the runner meets them: pump logs shared between
// loops or put on a named pipe, links planted by another user, files that take no writes, a
// second runner on the same virtual-port link, port errors that say why, and the listing of spy
// control events.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "headless/runner_process.h"
#include "support/pty_controller.h"
#include "support/wait.h"

namespace {

std::string Canonical(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    std::string text = resolved ? resolved : path;
    free(resolved);
    return text;
}

TEST(HeadlessPlatformFaults, ALogFileOfAnotherPumpIsRefusedInAnyLoop)
{
    TempSettings settings;
    TempDir dir;
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_EQ(runner.Command("loop add zarn pty 1 8").rfind("ok 1 /dev/pts/", 0), 0u);
    ASSERT_EQ(runner.Command("loop add zarn pty 1 8").rfind("ok 2 /dev/pts/", 0), 0u);
    ASSERT_EQ(runner.Command("loop add cl pty 1 8").rfind("ok 3 /dev/pts/", 0), 0u);
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
    ASSERT_EQ(runner.Command("pump add 2 1"), "ok");
    ASSERT_EQ(runner.Command("pump add 3 1"), "ok");

    const std::string log = dir.File("Pump1.log");
    ASSERT_EQ(runner.Command("log 1 1 " + log), "ok");
    const std::string held = "\": already open as the log of another pump (" + Canonical(log) + ")";
    EXPECT_EQ(runner.Command("log 2 1 " + log), "error: Cannot create log file \"" + log + held);
    EXPECT_EQ(runner.Command("log 3 1 " + log), "error: Cannot create log file \"" + log + held);
    const std::string dotted = dir.Path() + "/./Pump1.log";
    EXPECT_EQ(runner.Command("log 3 1 " + dotted), "error: Cannot create log file \"" + dotted + held);
    EXPECT_NE(runner.Command("state 2 1").find("\"logging\":false"), std::string::npos);
    EXPECT_NE(runner.Command("state 3 1").find("\"logging\":false"), std::string::npos);

    // The first log was not disturbed; once it ends the file is free for another pump.
    const std::string first_log = ReadWholeFile(log);
    EXPECT_NE(first_log.find("Pump nr         : 1"), std::string::npos) << first_log;
    ASSERT_EQ(runner.Command("unlog 1 1"), "ok");
    EXPECT_EQ(runner.Command("log 3 1 " + log), "ok");
    EXPECT_NE(ReadWholeFile(log).find("Current Loop"), std::string::npos);
    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(10000), 0);
}

// In a sticky folder everybody may write to, a link of another user is never followed: neither a
// trace nor a pump log overwrites what it points at. A link of this user is followed as before.
TEST(HeadlessPlatformFaults, TraceAndLogRefuseAnotherUsersLinkInASharedFolder)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a link to another user";
    TempSettings settings;
    TempDir dir;
    const std::string shared = dir.File("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string precious = dir.File("precious");
    {
        FILE* file = std::fopen(precious.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("root's own\n", file);
        std::fclose(file);
    }
    const std::string planted = shared + "/planted";
    ASSERT_EQ(symlink(precious.c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);

    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_EQ(runner.Command("loop add zarn pty 1 2").rfind("ok 1 /dev/pts/", 0), 0u);
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
    const std::string reason = "\": a symbolic link of another user in a folder that everybody may write to (not followed)";
    EXPECT_EQ(runner.Command("trace 1 " + planted), "error: Cannot create trace file \"" + planted + reason);
    EXPECT_EQ(runner.Command("log 1 1 " + planted), "error: Cannot create log file \"" + planted + reason);
    EXPECT_EQ(ReadWholeFile(precious), "root's own\n");
    EXPECT_NE(runner.Command("state 1 1").find("\"logging\":false"), std::string::npos);

    // This user's own link in the same folder leads to its file.
    const std::string own_target = dir.File("own.jsonl");
    const std::string own_link = shared + "/own";
    ASSERT_EQ(symlink(own_target.c_str(), own_link.c_str()), 0);
    EXPECT_EQ(runner.Command("trace 1 " + own_link), "ok");
    EXPECT_EQ(runner.Command("untrace 1"), "ok");
    struct stat info {};
    EXPECT_EQ(stat(own_target.c_str(), &info), 0);
    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(10000), 0);
}

// A file that takes no writes: the trace and the pump log say so in the loop list, on standard
// error and when they end, instead of answering "ok" to nothing written.
TEST(HeadlessPlatformFaults, WritesThatFailAreReportedWhereTheUserLooks)
{
    TempSettings settings;
    TempDir dir;
    PtyController pty;
    const std::string errors = dir.File("stderr.txt");
    RunnerProcess runner({"--ini", settings.Path()}, errors);
    ASSERT_EQ(runner.Command("loop add zarn " + pty.SlavePath() + " 1 2"), "ok 1");
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
    const std::string refusing = "/proc/self/status";
    ASSERT_EQ(runner.Command("trace 1 " + refusing), "ok");
    EXPECT_EQ(runner.Command("loop list").find("write_error"), std::string::npos);
    pty.Send({0x50, 0x20, 0xFA});
    const std::string failed = "Writing trace file \"" + refusing + "\" failed: ";
    const std::string listed = "\"write_error\":\"Writing trace file \\\"" + refusing + "\\\" failed: ";
    std::string list;
    ASSERT_TRUE(WaitFor([&] { return (list = runner.Command("loop list")).find(listed) != std::string::npos; }, 10000))
        << list;
    const std::string untrace = runner.Command("untrace 1");
    EXPECT_EQ(untrace.rfind("error: " + failed, 0), 0u) << untrace;
    EXPECT_NE(untrace.find(" frames lost"), std::string::npos) << untrace;
    EXPECT_EQ(runner.Command("loop list").find("write_error"), std::string::npos) << "the trace has ended";

    ASSERT_EQ(runner.Command("log 1 1 " + refusing), "ok");
    const std::string log_failed = "Writing log file \"" + refusing + "\" failed: ";
    ASSERT_TRUE(WaitFor([&] { return runner.Command("loop list").find("\"write_error\":\"Writing log file") != std::string::npos; }));
    const std::string unlog = runner.Command("unlog 1 1");
    EXPECT_EQ(unlog.rfind("error: " + log_failed, 0), 0u) << unlog;
    EXPECT_NE(unlog.find(" lines lost"), std::string::npos) << unlog;
    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(10000), 0);
    const std::string said = ReadWholeFile(errors);
    EXPECT_NE(said.find("gallion: " + failed), std::string::npos) << said;
    EXPECT_NE(said.find("gallion: " + log_failed), std::string::npos) << said;
}

TEST(HeadlessPlatformFaults, ALogOnANamedPipeIsRefusedAndTheRunnerGoesOn)
{
    TempSettings settings;
    TempDir dir;
    const std::string fifo = dir.File("pipe.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_EQ(runner.Command("loop add zarn pty 1 8").rfind("ok 1 ", 0), 0u);
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
    EXPECT_EQ(runner.Command("log 1 1 " + fifo), "error: Cannot create log file \"" + fifo + "\": not a regular file");
    EXPECT_EQ(runner.Command("log 1 1 " + dir.File("ok.log")), "ok");
    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(10000), 0);
}

TEST(HeadlessPlatformFaults, ASecondRunnerNeitherTakesNorDeletesALiveLink)
{
    TempSettings settings;
    TempDir dir;
    const std::string link = dir.File("line");
    RunnerProcess first({"--ini", settings.Path()});
    const std::string reply = first.Command("loop add zarn pty:" + link + " 1 8");
    ASSERT_EQ(reply.rfind("ok 1 /dev/pts/", 0), 0u) << reply;
    const std::string device = reply.substr(5);
    {
        RunnerProcess second({"--ini", settings.Path()});
        EXPECT_EQ(second.Command("loop add zarn pty:" + link + " 1 8"),
                  "error: Invalid port: " + link + ": a link to a live pseudo-terminal (" + device +
                      ") of another program or loop");
        EXPECT_EQ(second.Command("loop add cl /no/such/port 1 8"),
                  "error: Invalid port: /no/such/port: No such file or directory");
        second.CloseInput();
        EXPECT_EQ(second.WaitForExit(10000), 0);
    }
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), device);
    first.CloseInput();
    EXPECT_EQ(first.WaitForExit(10000), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(HeadlessPlatformFaults, SpyListShowsEverySpyPortOfThisUser)
{
    TempSettings settings;
    TempDir dir;
    settings.Set("SpyPort", "OutputDirectory", dir.Path() + "/");
    const std::string link = dir.File("spied+line");
    PtyController line;
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_EQ(runner.Command("loop add zarn pty:" + link + " 1 8 spy").rfind("ok 1 ", 0), 0u);
    ASSERT_EQ(runner.Command("loop add cl " + line.SlavePath() + " 1 8 spy"), "ok 2");
    ASSERT_EQ(runner.Command("spy on pty:" + link), "ok");

    std::string spied_name = "pty:" + link;
    for (char& c : spied_name)
        if (c == '/' || c == ':')
            c = '_';
    std::string device_name = line.SlavePath();
    for (char& c : device_name)
        if (c == '/')
            c = '_';
    const std::string list = runner.Command("spy list");
    EXPECT_NE(list.find("{\"name\":\"SPY_" + spied_name + "\",\"running\":true}"), std::string::npos) << list;
    EXPECT_NE(list.find("{\"name\":\"SPY_" + device_name + "\",\"running\":false}"), std::string::npos) << list;

    ASSERT_EQ(runner.Command("loop remove 1"), "ok");
    EXPECT_EQ(runner.Command("spy list").find("SPY_" + spied_name), std::string::npos);
    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(10000), 0);
}

TEST(HeadlessPlatformFaults, SpyOnPtyNamesTheOneBarePtySpyPort)
{
    TempSettings settings;
    TempDir dir;
    settings.Set("SpyPort", "OutputDirectory", dir.Path() + "/");
    RunnerProcess runner({"--ini", settings.Path()});
    EXPECT_EQ(runner.Command("spy on pty"), "error: Not a valid spyobject");  // no such loop yet
    const std::string first = runner.Command("loop add zarn pty 1 2 spy");
    ASSERT_EQ(first.rfind("ok 1 /dev/pts/", 0), 0u) << first;
    ASSERT_EQ(runner.Command("loop add zarn pty 3 4").rfind("ok 2 ", 0), 0u);  // not a spy port
    EXPECT_EQ(runner.Command("spy on pty"), "ok");
    std::string device_name = first.substr(5);
    for (char& c : device_name)
        if (c == '/')
            c = '_';
    EXPECT_NE(runner.Command("spy list").find("{\"name\":\"SPY_" + device_name + "\",\"running\":true}"),
              std::string::npos);

    const std::string second = runner.Command("loop add cl pty 1 2 spy");
    ASSERT_EQ(second.rfind("ok 3 /dev/pts/", 0), 0u) << second;
    const std::string ambiguous = runner.Command("spy off pty");
    EXPECT_EQ(ambiguous.rfind("error: 'pty' is ambiguous", 0), 0u) << ambiguous;
    EXPECT_NE(ambiguous.find(first.substr(5)), std::string::npos) << ambiguous;
    EXPECT_NE(ambiguous.find(second.substr(5)), std::string::npos) << ambiguous;
    EXPECT_EQ(runner.Command("spy off " + first.substr(5)), "ok");  // the device path names it
    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(10000), 0);
}

}  // namespace
