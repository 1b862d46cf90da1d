// Faults of the platform layer as a user of the runner meets them: pump logs shared between
// loops or put on a named pipe, a second runner on the same virtual-port link, port errors that
// say why, and the listing of spy control events.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "headless/runner_process.h"
#include "support/pty_controller.h"

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
