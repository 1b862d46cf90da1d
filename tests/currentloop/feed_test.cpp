// The communication feed and the pump logs, fed from the line.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <filesystem>

#include "cl_test_frames.h"
#include "platform/error.h"
#include "currentloop/cl_message_displayer.h"

using namespace cltest;

namespace {

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

bool FileHasLine(const std::string& path, const std::string& line)
{
    const std::vector<std::string> lines = LinesOf(ReadWholeFile(path));
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

CL_Message FrameOf(const std::vector<uint8_t>& bytes)
{
    CL_Message m;
    m.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
    return m;
}

}  // namespace

TEST(ClFeed, FilterSkipsHiddenFramesAndTheyStillReachTheLogs)
{
    Loop loop(1, 3);
    TempDir dir;
    for (int slot = 0; slot < 3; ++slot)
        ASSERT_EQ(slot, loop.forecourt->CreatePump(slot, loop.settings));
    const std::string log1 = dir.File("pump1.log");
    ASSERT_TRUE(loop.forecourt->StartLogging(0, log1, true));
    EXPECT_FALSE(loop.forecourt->StartLogging(0, dir.File("other.log"), true)) << "already logging";
    loop.forecourt->SetFilterAddress(PumpAddress(3));
    EXPECT_EQ(PumpAddress(3), loop.forecourt->GetFilterAddress());

    loop.line.Send(Prices(PumpAddress(1), 100));   // hidden: concerns pump 1 only
    loop.line.Send(Prices('O', 100));              // hidden: a broadcast CB1 concerns nobody
    loop.Ask(ControllerFrame('O', '3', {{26, PumpAddress(3)}}));  // shown, and pump 3's reply

    std::vector<std::string> shown;
    ASSERT_TRUE(WaitFor([&] {
        for (std::string t; !(t = loop.forecourt->FetchCommunicationText()).empty();)
            shown.push_back(t);
        return shown.size() >= 2;
    }));
    ASSERT_EQ(2u, shown.size());
    EXPECT_EQ("* <ALL  CB3 RTU: 3>", shown[0]);
    EXPECT_EQ("<P3 DB0>", shown[1]);
    EXPECT_EQ("", loop.forecourt->FetchCommunicationText());

    // The hidden price frame reached pump 1's log, without the "* " prefix.
    EXPECT_TRUE(WaitFor([&] { return FileHasLine(log1, "<P1 CB1>"); }));
    EXPECT_FALSE(FileHasLine(log1, "<ALL  CB1>"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("other.log"))) << "one log per pump";
}

TEST(ClFeed, LogFileLayoutAndHexLines)
{
    Loop loop(2, 2);
    TempDir dir;
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    loop.forecourt->SetCommunicationOn(false);  // straight to the logs
    const std::string log = dir.File("pump2.log");
    ASSERT_TRUE(loop.forecourt->StartLogging(0, log, false));
    EXPECT_TRUE(loop.forecourt->IsLogging(0));
    const std::vector<uint8_t> reply = loop.Ask(Poll(2));
    ASSERT_EQ(32u, reply.size());
    ASSERT_TRUE(WaitFor([&] { return LinesOf(ReadWholeFile(log)).size() >= 8; }));
    EXPECT_EQ("", loop.forecourt->FetchCommunicationText()) << "nothing waits for the view";
    loop.forecourt->StopLogging(0);
    EXPECT_FALSE(loop.forecourt->IsLogging(0));

    const std::string star = "*********************************************************";
    const std::vector<std::string> lines = LinesOf(ReadWholeFile(log));
    ASSERT_EQ(10u, lines.size());
    EXPECT_EQ(star, lines[0]);
    EXPECT_EQ("*  Logfile from Gallion                                  ", lines[1]);
    EXPECT_EQ("*                                                        ", lines[2]);
    EXPECT_EQ("*      Protocol        : Current Loop                    ", lines[3]);
    EXPECT_EQ("*      Logging started : ", lines[4].substr(0, 25));
    EXPECT_EQ(25u + 24u + 1u, lines[4].size());
    EXPECT_EQ(' ', lines[4].back());
    EXPECT_EQ(star, lines[5]);
    EXPECT_EQ(106u, lines[6].size());
    EXPECT_EQ("02 51 71 50 33 ", lines[6].substr(0, 15)) << "the poll as received";
    EXPECT_EQ("02 71 51 50 30 ", lines[7].substr(0, 15)) << "the reply as sent";
    EXPECT_EQ(star, lines[8]);
    EXPECT_EQ("Logging aborted at ", lines[9].substr(0, 19));
    EXPECT_EQ(19u + 24u + 1u, lines[9].size());
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(57u, lines[i].size());
}

TEST(ClFeed, ReceivedFramesArePrefixedInTheViewOnly)
{
    Loop loop(1, 1);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    loop.forecourt->SetInterpreted(false);
    EXPECT_FALSE(loop.forecourt->GetInterpreted());
    loop.Ask(Poll(1));
    std::string received, sent;
    ASSERT_TRUE(WaitFor([&] { return !(received = loop.forecourt->FetchCommunicationText()).empty(); }));
    ASSERT_TRUE(WaitFor([&] { return !(sent = loop.forecourt->FetchCommunicationText()).empty(); }));
    EXPECT_EQ("* 02 50 71 50 33 ", received.substr(0, 17));
    EXPECT_EQ("02 71 50 50 30 ", sent.substr(0, 15));
    EXPECT_EQ(106u, sent.size());
}

TEST(ClFeed, LoggerSlotsAndRemoval)
{
    TempDir dir;
    CL_Message_displayer feed;
    feed.Start();
    EXPECT_TRUE(feed.AddLogger(dir.File("a.log"), 'R', true));
    EXPECT_TRUE(feed.AddLogger(dir.File("b.log"), 'R', false));
    for (int i = 2; i < 16; ++i)
        EXPECT_TRUE(feed.AddLogger(dir.File("x" + std::to_string(i) + ".log"), 'P', true));
    EXPECT_FALSE(feed.AddLogger(dir.File("seventeen.log"), 'P', true));
    EXPECT_FALSE(std::filesystem::exists(dir.File("seventeen.log")));
    EXPECT_EQ(16u, feed.LoggerCount());

    feed.SetCommunicationOn(false);
    feed.Post(FrameOf(ControllerFrame('O', '3', {{26, 'R'}})), 0);
    EXPECT_TRUE(WaitFor([&] { return FileHasLine(dir.File("a.log"), "<ALL  CB3 RTU: 3>"); }));

    feed.RemoveLogger('R');  // both logs of pump 3 close together
    EXPECT_EQ(14u, feed.LoggerCount());
    for (const char* name : {"a.log", "b.log"})
        EXPECT_EQ("Logging aborted at ", LinesOf(ReadWholeFile(dir.File(name))).back().substr(0, 19));

    EXPECT_THROW(feed.AddLogger(dir.File("missing/folder.log"), 'S', true), Gallion_error);
    EXPECT_EQ(14u, feed.LoggerCount());
}

TEST(ClFeed, FramesNobodyFetchesAreCappedAndReachTheLogsWhenTheViewGoesOff)
{
    TempDir dir;
    CL_Message_displayer feed;
    feed.Start();
    ASSERT_TRUE(feed.AddLogger(dir.File("p3.log"), 'R', true));
    // A view that is on but never fetches keeps only the newest frames; the older ones move on
    // to the logs unshown.
    CL_Message frame = FrameOf(ControllerFrame('O', '3', {{26, 'R'}}));
    const size_t extra = 5;
    for (size_t i = 0; i < CL_Message_displayer::kDisplayBacklog + extra; ++i)
        feed.Post(frame, 0);
    EXPECT_EQ(CL_Message_displayer::kDisplayBacklog, feed.DisplayQueueSize());
    // The feed writes the logs at the lowest priority: on a busy machine that can take seconds.
    EXPECT_TRUE(WaitFor([&] { return LinesOf(ReadWholeFile(dir.File("p3.log"))).size() >= 6 + extra; }, 30000));

    // Switching the view off sends what waits for it on to the logs: every frame is logged once.
    feed.SetCommunicationOn(false);
    EXPECT_EQ(0u, feed.DisplayQueueSize());
    const size_t all = 6 + CL_Message_displayer::kDisplayBacklog + extra;
    EXPECT_TRUE(WaitFor([&] { return LinesOf(ReadWholeFile(dir.File("p3.log"))).size() >= all; }, 30000));
    feed.RemoveLogger('R');
    const std::vector<std::string> lines = LinesOf(ReadWholeFile(dir.File("p3.log")));
    ASSERT_EQ(all + 2, lines.size()) << "header, every frame once, closing lines";
    EXPECT_EQ("<ALL  CB3 RTU: 3>", lines[6]);
    EXPECT_EQ("<ALL  CB3 RTU: 3>", lines[all - 1]);
}

TEST(ClFeed, LogThatCannotBeCreatedLeavesThePumpNotLogging)
{
    Loop loop(1, 1);
    TempDir dir;
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    EXPECT_THROW(loop.forecourt->StartLogging(0, dir.File("no/such/folder.log"), true), Gallion_error);
    EXPECT_FALSE(loop.forecourt->IsLogging(0));
    EXPECT_FALSE(loop.forecourt->StartLogging(5, dir.File("p.log"), true)) << "no pump in slot 5";
    EXPECT_FALSE(loop.forecourt->StartLogging(-1, dir.File("p.log"), true));
}

TEST(ClFeed, ThirtyThreeByteFrameIsShownWithItsBytes)
{
    CL_Message_displayer feed;
    feed.SetInterpreted(false);
    CL_Message m = FrameOf(Poll(1));
    m.length = 33;
    m.tick = 1234567;
    feed.Post(m, 0);
    const std::string text = feed.FetchCommunicationText();
    EXPECT_EQ(2u + 99u + 10u, text.size());
    EXPECT_EQ("0001234567", text.substr(text.size() - 10));
}
