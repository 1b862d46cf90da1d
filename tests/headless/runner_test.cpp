// The runner program end to end: commands on a pipe, a controller on a pseudo-terminal.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "headless/runner_process.h"
#include "support/pty_controller.h"
#include "support/tcp_controller.h"
#include "support/zarn_master.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Settings for quick pumps and a controller that does not echo.
void QuickZarnSettings(TempSettings& settings)
{
    settings.Set("Zarn", "PumpSleepMs", "5");
    settings.Set("Zarn", "HandleReturningMessages", "0");
    settings.Set("CurrentLoop", "PumpSleepMs", "5");
}

TEST(HeadlessRunner, FullZarnFillingDrivenFromBothSides)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    PtyController pty;
    ZarnMaster master(pty);
    RunnerProcess runner({"--ini", settings.Path()});

    ASSERT_EQ(runner.Command("loop add zarn " + pty.SlavePath() + " 1 8"), "ok 1");
    ASSERT_EQ(runner.Command("pump add 1 2"), "ok");
    const uint8_t address = 0x51;  // pump 2

    // The controller programs and authorises the pump.
    ASSERT_TRUE(WaitFor([&] { return master.PollAndAck(address).has_value(); }));
    ASSERT_TRUE(master.ProgramNozzleOne(address));
    ASSERT_TRUE(master.SendData(address, {0x01, 0x01, 0x06}));
    ASSERT_TRUE(WaitFor([&] { return Contains(runner.Command("state 1 2"), "\"status\":2,"); }));

    // The operator takes nozzle 1 out.
    EXPECT_EQ(runner.Command("select 1 2 1"), "ok allowed");
    EXPECT_EQ(runner.Command("lift 1 2"), "ok");

    // Fuel flows while the controller keeps polling; it sees status 4.
    bool saw_filling = false;
    ASSERT_TRUE(WaitFor([&] {
        auto replies = master.PollAndAck(address, 1000);
        if (replies && ZarnController::LastStatus(*replies) == 4)
            saw_filling = true;
        return saw_filling && !Contains(runner.Command("state 1 2"), "\"volume\":\"0.00\"");
    })) << runner.Command("state 1 2") << " saw " << saw_filling;
    const std::string filling = runner.Command("state 1 2");
    EXPECT_TRUE(Contains(filling, "\"status\":4,\"status_text\":\"Filling\"")) << filling;
    EXPECT_TRUE(Contains(filling, "\"nozzle_out\":true,\"nozzle\":1")) << filling;

    EXPECT_EQ(runner.Command("hangup 1 2"), "ok");
    const std::string done = runner.Command("state 1 2");
    EXPECT_TRUE(Contains(done, "\"status\":5,\"status_text\":\"Filling completed\"")) << done;
    EXPECT_TRUE(Contains(done, "\"nozzles\":[{\"number\":1,\"price\":\"1.00\"")) << done;
    EXPECT_TRUE(Contains(done, "\"fillings\":\"1\"")) << done;
    // The nozzle's volume total is the filling's volume.
    const size_t volume_at = done.find("\"volume\":\"") + 10;
    const std::string volume = done.substr(volume_at, done.find('"', volume_at) - volume_at);
    EXPECT_TRUE(Contains(done, "\"volume_total\":\"" + volume + "\"")) << done;

    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(3000), 0);
}

TEST(HeadlessRunner, EverySpellingOfTheAnyAddressListensEverywhereAndSaysSo)
{
    TempSettings settings;
    TempDir dir;
    RunnerProcess runner({"--ini", settings.Path()});
    const std::vector<std::string> spellings{"0.0.0.0", "0", "0.0", "[0]"};
    for (size_t i = 0; i < spellings.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        const std::string added = runner.Command("loop add zarn tcp-listen:" + spellings[i] + ":0 1 1");
        EXPECT_TRUE(StartsWith(added, "ok " + number + " 0.0.0.0:")) << added;
        EXPECT_TRUE(Contains(added, " notice: loop " + number + " listens on every interface (0.0.0.0:")) << added;
    }
    const std::string local = runner.Command("loop add cl tcp-listen:127.0.0.1:0 1 1");
    EXPECT_TRUE(StartsWith(local, "ok 5 127.0.0.1:")) << local;
    EXPECT_FALSE(Contains(local, "notice")) << local;

    // Loaded from a configuration file, such loops are named as well.
    ASSERT_EQ(runner.Command("save " + dir.File("any.gcf")), "ok");
    const std::string loaded = runner.Command("load " + dir.File("any.gcf"));
    EXPECT_TRUE(StartsWith(loaded, "ok 5 ")) << loaded;
    EXPECT_TRUE(Contains(loaded, "notice: loop 1 listens on every interface")) << loaded;
    EXPECT_TRUE(Contains(loaded, "notice: loop 4 listens on every interface")) << loaded;
    EXPECT_FALSE(Contains(loaded, "notice: loop 5")) << loaded;
}

TEST(HeadlessRunner, LoopsOnTcpWithAndWithoutPacing)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    settings.Set("Main", "LineSpeedPacing", "1");
    RunnerProcess runner;
    // A listening loop reports where a controller connects; without a word the setting paces it.
    const std::string added = runner.Command("loop add zarn tcp-listen:0 1 4");
    ASSERT_TRUE(StartsWith(added, "ok 1 127.0.0.1:")) << added;
    EXPECT_EQ(runner.Command("loop add cl tcp-listen:127.0.0.1:0 1 4 spy unpaced").rfind("ok 2 127.0.0.1:", 0), 0u);
    const std::string list = runner.Command("loop list");
    EXPECT_TRUE(Contains(list, "\"port\":\"tcp-listen:0\",\"device\":\"" + added.substr(5) + "\",\"paced\":true")) << list;
    EXPECT_TRUE(Contains(list, "\"port\":\"tcp-listen:127.0.0.1:0\"")) << list;
    EXPECT_TRUE(Contains(list, "\"paced\":false")) << list;

    // The controller reaches pump 1 of the first loop over TCP.
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
    TcpController line = TcpController::Connect(added.substr(5));
    ZarnMaster master(line);
    EXPECT_TRUE(master.PollAndAck(0x50));

    const std::string usage = "error: usage: loop add zarn|cl PORT FIRST LAST [spy] [paced|unpaced]";
    EXPECT_EQ(runner.Command("loop add zarn tcp-listen:0 1 4 paced spy"), usage);
    EXPECT_EQ(runner.Command("loop add zarn tcp-listen:0 1 4 paced unpaced"), usage);
    EXPECT_EQ(runner.Command("loop add zarn tcp:nowhere 1 4"), "error: Invalid port: tcp:nowhere: expected tcp:HOST:PORT");
}

TEST(HeadlessRunner, BadCommandsGetOneErrorEachAndChangeNothing)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_TRUE(StartsWith(runner.Command("loop add zarn pty 1 4"), "ok 1 /dev/"));
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
    const std::string list_before = runner.Command("loop list");
    const std::string state_before = runner.Command("state 1 1");

    const char* bad_lines[] = {
        "frobnicate", "loop", "loop add", "loop add zarn", "loop add tcp pty 1 4", "loop add zarn pty x 4",
        "loop add zarn pty 1 40", "loop add cl pty 1 9", "loop add zarn pty 5 1", "loop add zarn pty 1 4 nospy",
        "loop remove 2", "loop remove x", "loop remove", "pump add 1 9", "pump add 2 1", "pump add 1 1",
        "pump remove 1 3", "pump frob 1 1", "select 1 1", "select 1 1 0", "select 1 1 16", "select 1 x 1",
        "lift 1 1 3", "lift 1 2", "nozzle 1 1 99", "flow 1 1 fast", "flow 1 1 -4", "flow 1 1 nan",
        "adjust 1 1", "toggleflow 1 3", "connect 1 3", "automate 1 1 4", "automate 1 1 -1", "log 1 1",
        "log 1 1 /no/such/folder/x.log", "log 1 1 f.log binary", "unlog 1 4", "error 1 1 1", "visible 1 1 0",
        "visible 1 1 1,x", "visible 1 1 ,", "identity 1 1 odd", "totals 1 1 1 x 1 1", "totals 1 1 1 1 x 1",
        "totals 1 1 1 1 1 12a", "totals 1 1 16 1 1 1", "totals 1 1 1 -5 1 1", "state 1 9", "state 0 1",
        "rxerrors 1", "decimals 1 2 2 2", "traffic maybe", "interpreted 1 perhaps", "filter 1 99",
        "sleep -1", "sleep x", "quit now", "error 1 1 999 1", "error 1 1 101 -1", "error 1 1 22 1",
        "error 1 1 240 1", "error 1 1 -3 1", "totals 1 1 1 1e3 1 1", "totals 1 1 1 1.2.3 1 1",
        "state 99999999999999999999 1", "loop add zarn /dev/null 1 4", "loop add zarn /no/such/port 1 4",
    };
    for (const char* line : bad_lines)
        EXPECT_TRUE(StartsWith(runner.Command(line), "error: ")) << line;
    EXPECT_EQ(runner.Command("loop add zarn /no/such/port 1 4"),
              "error: Invalid port: /no/such/port: No such file or directory");
    EXPECT_EQ(runner.Command("frobnicate"), "error: unknown command");
    EXPECT_EQ(runner.Command("loop add cl pty 1 9"),
              "error: Invalid pump number interval for the chosen protocol");
    EXPECT_EQ(runner.Command("pump add 1 1"), "error: position not available");
    EXPECT_EQ(runner.Command("totals 1 1 1 1 1 12a"), "error: Number of fillings not a valid value");
    EXPECT_EQ(runner.Command("error 1 1 999 1"), "error: error code 999 is not known to a Zarn pump");
    EXPECT_EQ(runner.Command("error 1 1 101 -1"), "error: the count of errors must be 0 or more");

    EXPECT_EQ(runner.Command("loop list"), list_before);
    EXPECT_EQ(runner.Command("state 1 1"), state_before);

    // Lines made of the runner's own words in random order and with random numbers: each gets
    // exactly one reply and the runner stays up.
    const std::vector<std::string> vocabulary = {
        "loop", "add", "remove", "list", "pump", "select", "lift", "hangup", "nozzle", "flow", "adjust",
        "toggleflow", "connect", "disconnect", "automate", "unlog", "error", "visible", "identity", "totals",
        "state", "rxerrors", "decimals", "interpreted", "filter", "zarn", "cl", "pty", "all", "on", "off",
        "none", "standard", "full", "1", "2", "0", "-3", "15", "16", "1,2", "99999999999", "3.5", "\x01\xff"};
    std::mt19937 random(12345);
    for (int i = 0; i < 400; ++i) {
        std::string line = vocabulary[random() % vocabulary.size()];
        const int extra = static_cast<int>(random() % 6);
        for (int w = 0; w < extra; ++w)
            line += " " + vocabulary[random() % vocabulary.size()];
        const std::string reply = runner.Command(line);
        ASSERT_TRUE(StartsWith(reply, "ok") || StartsWith(reply, "error: ")) << line << " -> " << reply;
    }
    EXPECT_TRUE(StartsWith(runner.Command("loop list"), "ok ["));
    runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(3000), 0);
}

// Loops running, logging and automated: the end of input, or a termination signal, shuts down
// promptly with every log closed properly.
void ExpectCleanShutdown(bool by_signal)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    TempDir dir;
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_TRUE(StartsWith(runner.Command("loop add zarn pty 1 4"), "ok 1 "));
    ASSERT_TRUE(StartsWith(runner.Command("loop add cl pty 1 4"), "ok 2 "));
    for (int loop = 1; loop <= 2; ++loop) {
        for (int pump = 1; pump <= 2; ++pump) {
            const std::string at = std::to_string(loop) + " " + std::to_string(pump);
            ASSERT_EQ(runner.Command("pump add " + at), "ok");
            ASSERT_EQ(runner.Command("log " + at + " " + dir.File("log" + at.substr(0, 1) + at.substr(2))), "ok");
            ASSERT_EQ(runner.Command("automate " + at + " 3"), "ok");
        }
    }
    ASSERT_EQ(runner.Command("lift 1 1"), "ok");
    ASSERT_EQ(runner.Command("lift 2 1 1"), "ok");

    const auto start = std::chrono::steady_clock::now();
    if (by_signal)
        runner.Signal(SIGTERM);
    else
        runner.CloseInput();
    EXPECT_EQ(runner.WaitForExit(5000), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(2));

    for (const char* name : {"log11", "log12", "log21", "log22"}) {
        const std::string log = ReadWholeFile(dir.File(name));
        const size_t closing = log.rfind("Logging aborted at ");
        ASSERT_NE(closing, std::string::npos) << name;
        EXPECT_EQ(log.substr(log.size() - 2), "\r\n") << name;
        EXPECT_EQ(log.size() - closing, std::string("Logging aborted at ").size() + 24 + 1 + 2) << name;
    }
}

TEST(HeadlessRunner, EndOfInputShutsDownPromptlyWithLogsClosed)
{
    ExpectCleanShutdown(false);
}

TEST(HeadlessRunner, TerminationSignalShutsDownPromptlyWithLogsClosed)
{
    ExpectCleanShutdown(true);
}

TEST(HeadlessRunner, VirtualPortLinkAndTraffic)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    // On a virtual port nothing echoes, whatever the settings file says.
    settings.Set("Zarn", "HandleReturningMessages", "1");
    TempDir dir;
    const std::string link = dir.File("zarn-line");
    RunnerProcess runner({"--ini", settings.Path()});
    const std::string added = runner.Command("loop add zarn pty:" + link + " 1 2");
    ASSERT_TRUE(StartsWith(added, "ok 1 /dev/pts/")) << added;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ("ok 1 " + std::string(target), added);
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
    ASSERT_EQ(runner.Command("traffic on"), "ok");

    // A controller opens the link like a serial device and polls pump 1 twice (the reply to the
    // first POLL is not echoed, so the second is answered too).
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    auto poll_pump = [&](uint8_t ctrl) {
        const uint8_t poll_block[] = {0x50, ctrl, 0xFA};
        EXPECT_EQ(write(fd, poll_block, 3), 3);
        std::string reply;
        pollfd pfd{fd, POLLIN, 0};
        while (poll(&pfd, 1, 3000) > 0) {
            uint8_t byte = 0;
            if (read(fd, &byte, 1) != 1)
                break;
            reply += static_cast<char>(byte);
            if (byte == 0xFA)
                break;
        }
        return reply;
    };
    const std::string first = poll_pump(0x21);
    EXPECT_GE(first.size(), 3u);
    EXPECT_EQ(first.substr(0, 2), std::string("\x50\x30", 2));  // the pump's first DATA block
    const std::string second = poll_pump(0x21);
    EXPECT_GE(second.size(), 3u);
    close(fd);

    // The feed shows both directions; received blocks carry "* ".
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    runner.Command("loop list");
    bool saw_poll = false;
    bool saw_reply = false;
    for (const std::string& line : runner.Traffic()) {
        saw_poll = saw_poll || line == "traffic 1 * <P1 POLL>";
        saw_reply = saw_reply || StartsWith(line, "traffic 1 <P1 DATA 0><DC1: Pump not programmed>");
    }
    EXPECT_TRUE(saw_poll);
    EXPECT_TRUE(saw_reply);

    ASSERT_EQ(runner.Command("quit"), "ok");
    EXPECT_EQ(runner.WaitForExit(3000), 0);
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link is removed with the port";
}

TEST(HeadlessRunner, CurrentLoopPumpCommandsAndDecimals)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_TRUE(StartsWith(runner.Command("loop add cl pty 3 5"), "ok 1 "));
    ASSERT_EQ(runner.Command("pump add 1 4"), "ok");
    EXPECT_EQ(runner.Command("decimals 1 3 1 0"), "ok");
    EXPECT_EQ(runner.Command("decimals 1 9 2 2"), "error: decimals must be 0 to 8");
    EXPECT_EQ(runner.Command("visible 1 4 2,3"), "ok");
    EXPECT_EQ(runner.Command("lift 1 4 1"), "ok");  // not visible: nothing happens
    EXPECT_TRUE(Contains(runner.Command("state 1 4"), "\"lifted\":false,\"nozzle\":0")) ;
    EXPECT_EQ(runner.Command("nozzle 1 4 3"), "ok");
    const std::string lifted = runner.Command("state 1 4");
    EXPECT_TRUE(Contains(lifted, "\"lifted\":true,\"nozzle\":3")) << lifted;
    EXPECT_TRUE(Contains(lifted, "\"visible\":[2,3]")) << lifted;
    EXPECT_TRUE(Contains(lifted, "\"volume\":\"0.000\",\"amount\":\"0.0\",\"price\":\"0.\"")) << lifted;
    EXPECT_EQ(runner.Command("nozzle 1 4 3"), "ok");
    EXPECT_TRUE(Contains(runner.Command("state 1 4"), "\"lifted\":false,\"nozzle\":0"));
    EXPECT_TRUE(StartsWith(runner.Command("identity 1 4 full"), "error: "));
    EXPECT_EQ(runner.Command("rxerrors 1 4"), "ok []");
    EXPECT_EQ(runner.Command("loop remove 1"), "ok");
    EXPECT_EQ(runner.Command("loop list"), "ok []");
}

}  // namespace

namespace {

TEST(HeadlessRunner, SaveLoadAndConfigOption)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    TempDir dir;
    PtyController zarn_line;
    PtyController cl_line;
    const std::string file = dir.File("forecourt.gcf");
    {
        RunnerProcess runner({"--ini", settings.Path()});
        ASSERT_EQ(runner.Command("loop add zarn " + zarn_line.SlavePath() + " 1 4"), "ok 1");
        ASSERT_EQ(runner.Command("pump add 1 1"), "ok");
        ASSERT_EQ(runner.Command("pump add 1 3"), "ok");
        ASSERT_EQ(runner.Command("identity 1 3 standard"), "ok");
        ASSERT_EQ(runner.Command("disconnect 1 3"), "ok");
        ASSERT_EQ(runner.Command("automate 1 1 2"), "ok");
        ASSERT_EQ(runner.Command("loop add cl " + cl_line.SlavePath() + " 5 7"), "ok 2");
        ASSERT_EQ(runner.Command("pump add 2 6"), "ok");
        ASSERT_EQ(runner.Command("visible 2 6 1,4"), "ok");
        EXPECT_TRUE(StartsWith(runner.Command("save /no/such/folder/x.gcf"), "error: "));
        ASSERT_EQ(runner.Command("save " + file), "ok");

        // Loading replaces the loops.
        ASSERT_EQ(runner.Command("load " + file), "ok 2");
        const std::string list = runner.Command("loop list");
        EXPECT_TRUE(Contains(list, "\"title\":\"" + zarn_line.SlavePath() + " Zarn\"")) << list;
        EXPECT_TRUE(Contains(list, "\"title\":\"" + cl_line.SlavePath() + " Current Loop\"")) << list;
        const std::string pump3 = runner.Command("state 1 3");
        EXPECT_TRUE(Contains(pump3, "\"connected\":false")) << pump3;
        EXPECT_TRUE(Contains(pump3, "\"identity\":\"0000111111\"")) << pump3;  // the standard kind
        EXPECT_TRUE(Contains(runner.Command("state 1 1"), "\"automation\":2"));
        EXPECT_TRUE(Contains(runner.Command("state 2 6"), "\"visible\":[1,4]"));
        EXPECT_TRUE(StartsWith(runner.Command("state 1 2"), "error: "));

        // A file that is no configuration, a missing one and a damaged one: the program's text on
        // one line, and the running loops stay as they were, still serving their pumps.
        const std::string bad = dir.File("bad.gcf");
        FILE* out = std::fopen(bad.c_str(), "wb");
        std::fputs("not a configuration", out);
        std::fclose(out);
        const std::string not_valid =
            "error: Not a valid configuration file. Maybe is the configuration file created by an "
            "older version of the program ";
        EXPECT_EQ(runner.Command("load " + bad), not_valid);
        EXPECT_EQ(runner.Command("load " + dir.File("missing.gcf")), not_valid);
        const std::string saved = ReadWholeFile(file);
        const std::string cut = dir.File("cut.gcf");
        out = std::fopen(cut.c_str(), "wb");
        std::fwrite(saved.data(), 1, saved.size() - 7, out);  // the second loop's record is cut short
        std::fclose(out);
        EXPECT_TRUE(StartsWith(runner.Command("load " + cut), "error: "));
        EXPECT_EQ(runner.Command("loop list"), list);
        EXPECT_TRUE(Contains(runner.Command("state 1 1"), "\"automation\":2"));
        EXPECT_TRUE(Contains(runner.Command("state 2 6"), "\"visible\":[1,4]"));

        // A file whose first loop's port cannot be opened: the loops are replaced all the same,
        // the other loop loads, and the reply says which one was left out (not "error:", which
        // means nothing changed).
        std::string moved = saved;
        const size_t port = moved.find("/dev/pts/");
        ASSERT_NE(port, std::string::npos);
        moved.replace(port, 9, "/dev/nop/");
        const std::string gone_port = "/dev/nop/" + zarn_line.SlavePath().substr(9);
        const std::string one_gone = dir.File("one_gone.gcf");
        out = std::fopen(one_gone.c_str(), "wb");
        std::fwrite(moved.data(), 1, moved.size(), out);
        std::fclose(out);
        const std::string reply = runner.Command("load " + one_gone);
        EXPECT_TRUE(StartsWith(reply, "ok 1 left out: Invalid port")) << reply;
        EXPECT_TRUE(Contains(reply, gone_port)) << reply;
        const std::string left = runner.Command("loop list");
        EXPECT_TRUE(Contains(left, "\"number\":1,\"protocol\":\"cl\"")) << left;
        EXPECT_FALSE(Contains(left, "\"number\":2")) << left;
        EXPECT_TRUE(Contains(runner.Command("state 1 6"), "\"visible\":[1,4]"));
        runner.CloseInput();
        ASSERT_EQ(runner.WaitForExit(3000), 0);

        // A test rig starting the runner on an unusable file learns it from the exit status.
        const std::string errors = dir.File("errors.txt");
        RunnerProcess failing({"--ini", settings.Path(), "--config", bad}, errors);
        ASSERT_EQ(failing.WaitForExit(3000), 1);
        EXPECT_TRUE(Contains(ReadWholeFile(errors), bad + ": Not a valid configuration file")) << ReadWholeFile(errors);
    }
    RunnerProcess runner({"--ini", settings.Path(), "--config", file});
    const std::string list = runner.Command("loop list");
    EXPECT_TRUE(Contains(list, "\"number\":2,\"protocol\":\"cl\"")) << list;
    EXPECT_TRUE(Contains(runner.Command("state 2 6"), "\"visible\":[1,4]"));
}

TEST(HeadlessRunner, SpyControlThroughNamedEvents)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    TempDir dir;
    settings.Set("SpyPort", "OutputDirectory", dir.Path() + "/");
    PtyController line;
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_EQ(runner.Command("loop add zarn " + line.SlavePath() + " 1 2 spy"), "ok 1");
    EXPECT_TRUE(StartsWith(runner.Command("spy list"), "ok ["));
    EXPECT_EQ(runner.Command("spy on " + line.SlavePath()), "ok");
    EXPECT_EQ(runner.Command("spy off " + line.SlavePath()), "ok");
    EXPECT_EQ(runner.Command("spy on COM77"), "error: Not a valid spyobject");
    EXPECT_EQ(runner.Command("spy sideways"), "error: usage: spy list | spy on NAME | spy off NAME");
}

}  // namespace

TEST(HeadlessRunner, TraceAndUntraceALoop)
{
    TempSettings settings;
    QuickZarnSettings(settings);
    TempDir dir;
    PtyController pty;
    RunnerProcess runner({"--ini", settings.Path()});
    ASSERT_EQ(runner.Command("loop add zarn " + pty.SlavePath() + " 1 2"), "ok 1");
    ASSERT_EQ(runner.Command("pump add 1 1"), "ok");

    const std::string trace = dir.File("line.jsonl");
    EXPECT_EQ(runner.Command("trace 1 " + trace), "ok");
    EXPECT_EQ(runner.Command("trace 1 " + dir.File("other.jsonl")), "error: loop 1 traces to \"" + trace + "\" already");
    EXPECT_EQ(runner.Command("trace 2 " + trace), "error: no loop 2");
    EXPECT_EQ(runner.Command("trace 1"), "error: usage: trace L FILE");
    pty.Send({0x50, 0x20, 0xFA});
    const std::vector<uint8_t> reply = pty.ReadUntil(0xFA, 3000);  // the pump's first status report
    ASSERT_GE(reply.size(), 3u);
    std::string reply_hex;
    for (uint8_t byte : reply) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        reply_hex += (reply_hex.empty() ? "" : " ") + std::string(digits);
    }
    // Both frames are recorded just after the reply is on the line; the writer follows.
    ASSERT_TRUE(WaitFor([&] { return Contains(ReadWholeFile(trace), "\"dir\":\"tx\""); }));
    EXPECT_EQ(runner.Command("untrace 1"), "ok");
    EXPECT_EQ(runner.Command("untrace 1"), "ok") << "nothing to end is no error";

    const std::string text = ReadWholeFile(trace);
    const size_t newline = text.find('\n');
    ASSERT_NE(newline, std::string::npos) << text;
    EXPECT_TRUE(Contains(text.substr(0, newline), "\"dir\":\"rx\",\"addr\":\"50\",\"pump\":1,\"verdict\":\"good\","
                                                  "\"hex\":\"50 20 FA\""))
        << text;
    EXPECT_TRUE(Contains(text.substr(newline + 1), "\"dir\":\"tx\",\"addr\":\"50\",\"pump\":1,\"verdict\":\"good\","
                                                   "\"hex\":\"" + reply_hex + "\""))
        << text;

    // A folder is no trace file; the reason comes back.
    EXPECT_EQ(runner.Command("trace 1 " + dir.Path()),
              "error: Cannot create trace file \"" + dir.Path() + "\": not a regular file");
}
