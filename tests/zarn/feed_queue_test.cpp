#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_controller.h"
#include "zarn/zarn_message_displayer.h"
#include "support/wait.h"

namespace {

Message Block(std::vector<uint8_t> bytes)
{
    Message m;
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
    m.length = static_cast<uint16_t>(bytes.size());
    return m;
}

std::vector<std::string> FetchAll(Message_displayer& feed)
{
    std::vector<std::string> texts;
    for (std::string text = feed.FetchCommunicationText(); !text.empty(); text = feed.FetchCommunicationText())
        texts.push_back(text);
    return texts;
}

// The lines of a log between its header (8 lines) and the end of the file.
std::vector<std::string> LoggedLines(const std::string& path)
{
    const std::string text = ReadWholeFile(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (lines.size() <= 8)
        return {};
    return std::vector<std::string>(lines.begin() + 8, lines.end());
}

bool Closed(const std::string& path)
{
    return ReadWholeFile(path).find("Logging aborted at ") != std::string::npos;
}

TEST(ZarnFeed, StartsOnInterpretedForAllPumps)
{
    Message_displayer feed;
    EXPECT_TRUE(feed.IsCommunicationOn());
    EXPECT_TRUE(feed.GetInterpreted());
    EXPECT_EQ(feed.GetFilterAddress(), 0);
    EXPECT_EQ(feed.FetchCommunicationText(), "");
}

TEST(ZarnFeed, IdlePollsAndEotsNeverEnterViewOrLog)
{
    TempDir dir;
    Message_displayer feed;
    feed.Start();
    feed.AddLogger(dir.File("p1.log"), 0x50, true);
    feed.Post(Block({0x50, 0x20}), 0);  // POLL numbered 0
    feed.Post(Block({0x50, 0x70}), 1);  // EOT
    feed.Post(Block({0x50, 0x21}), 0);  // POLL numbered 1 does show
    feed.Post(Block({0x50, 0xC0}), 1);
    feed.Post(Block({0x50, 0x50}), 1);
    feed.Post(Block({0x50, 0x30, 0x01, 0x01, 0x06, 0x00, 0x00, 0x03}), 0);
    feed.Post(Block({0x50}), 0);  // line noise is shown as it came
    feed.Post(Block({}), 0);      // nothing at all is not
    EXPECT_EQ(FetchAll(feed), (std::vector<std::string>{"* <P1 POLL>", "<P1 ACK 0>", "<P1 NAK 0>",
                                                        "* <P1 DATA 0><CD1 Authorize>", "* 50 "}));
    const std::vector<std::string> expected_log{"<P1 POLL>", "<P1 ACK 0>", "<P1 NAK 0>",
                                                "<P1 DATA 0><CD1 Authorize>", "50 "};
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(dir.File("p1.log")).size() >= 5; }));
    EXPECT_EQ(LoggedLines(dir.File("p1.log")), expected_log);
}

TEST(ZarnFeed, FilterHidesOtherPumpsFromTheViewButNotFromTheirLogs)
{
    TempDir dir;
    Message_displayer feed;
    feed.Start();
    feed.AddLogger(dir.File("p1.log"), 0x50, false);
    feed.AddLogger(dir.File("p2.log"), 0x51, true);
    feed.SetFilterAddress(0x51);
    feed.SetInterpreted(false);
    feed.Post(Block({0x50, 0xC1}), 0);
    feed.Post(Block({0x51, 0xC2}), 1);
    feed.Post(Block({0x50, 0xC3}), 1);
    feed.Post(Block({0x51, 0x24}), 0);
    EXPECT_EQ(FetchAll(feed), (std::vector<std::string>{"51 C2 ", "* 51 24 "}));
    EXPECT_EQ(feed.DisplayQueueSize(), 0u);

    // Each log holds its own pump's blocks in its own form, whatever the view shows.
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(dir.File("p1.log")).size() >= 2 && LoggedLines(dir.File("p2.log")).size() >= 2; }));
    EXPECT_EQ(LoggedLines(dir.File("p1.log")), (std::vector<std::string>{"50 C1 ", "50 C3 "}));
    EXPECT_EQ(LoggedLines(dir.File("p2.log")), (std::vector<std::string>{"<P2 ACK 2>", "<P2 POLL>"}));
}

TEST(ZarnFeed, WithCommunicationOffNothingWaitsForTheView)
{
    TempDir dir;
    Message_displayer feed;
    feed.Start();
    feed.AddLogger(dir.File("p1.log"), 0x50, true);
    feed.Post(Block({0x50, 0xC1}), 0);
    EXPECT_EQ(feed.DisplayQueueSize(), 1u);
    // Switching the view off hands what it left behind to the logs.
    feed.SetCommunicationOn(false);
    EXPECT_EQ(feed.DisplayQueueSize(), 0u);
    for (int i = 0; i < 500; ++i)
        feed.Post(Block({0x50, static_cast<uint8_t>(0xC0 | (i & 0x0F))}), 1);
    EXPECT_EQ(feed.DisplayQueueSize(), 0u);
    EXPECT_EQ(feed.FetchCommunicationText(), "");
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(dir.File("p1.log")).size() == 501; }));
    EXPECT_EQ(LoggedLines(dir.File("p1.log")).front(), "<P1 ACK 1>");

    feed.SetCommunicationOn(true);
    feed.Post(Block({0x50, 0xC5}), 1);
    EXPECT_EQ(feed.FetchCommunicationText(), "<P1 ACK 5>");
}

TEST(ZarnFeed, ViewThatNeverFetchesHoldsABoundedBacklog)
{
    TempDir dir;
    Message_displayer feed;
    feed.Start();
    feed.AddLogger(dir.File("p1.log"), 0x50, false);
    const size_t extra = 3;
    for (size_t i = 0; i < Message_displayer::kDisplayBacklog + extra; ++i)
        feed.Post(Block({0x50, 0xC1}), 0);
    EXPECT_EQ(feed.DisplayQueueSize(), Message_displayer::kDisplayBacklog);
    // The oldest blocks went on to the log unshown.
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(dir.File("p1.log")).size() == extra; }));
}

// A feed nobody reads keeps nothing, and logs that fall behind cost a bounded queue. The feed
// thread is not started, so nothing drains the log queue behind the test's back.
TEST(ZarnFeed, KeepsNothingForNobodyAndBoundsTheLogQueue)
{
    Message_displayer feed;
    feed.SetCommunicationOn(false);
    for (int i = 0; i < 1000; ++i)
        feed.Post(Block({0x01}), 0);
    EXPECT_EQ(feed.DisplayQueueSize(), 0u);
    EXPECT_EQ(feed.LogQueueSize(), 0u) << "copies kept for logs that do not exist";
    // A view that fetches, with no log open: what it has shown goes.
    feed.SetCommunicationOn(true);
    feed.Post(Block({0x50, 0xC1}), 1);
    EXPECT_EQ(feed.FetchCommunicationText(), "<P1 ACK 1>");
    EXPECT_EQ(feed.LogQueueSize(), 0u);

    TempDir dir;
    feed.AddLogger(dir.File("p1.log"), 0x50, false);
    feed.SetCommunicationOn(false);
    const size_t extra = 7;
    for (size_t i = 0; i < Feed_thread<Zarn_feed_protocol>::kLogBacklog + extra; ++i)
        feed.Post(Block({0x50, 0xC1}), 0);
    EXPECT_EQ(feed.LogQueueSize(), Feed_thread<Zarn_feed_protocol>::kLogBacklog);
    EXPECT_EQ(feed.LogDropCount(), extra);
}

TEST(ZarnFeed, RemovingLoggersClosesOnlyThatPumpsLogs)
{
    TempDir dir;
    Message_displayer feed;
    feed.Start();
    feed.AddLogger(dir.File("a.log"), 0x50, true);
    feed.AddLogger(dir.File("b.log"), 0x50, false);
    feed.AddLogger(dir.File("c.log"), 0x51, true);
    EXPECT_EQ(feed.RemoveLogger(0x50), 2);
    EXPECT_EQ(feed.RemoveLogger(0x50), 0);
    EXPECT_EQ(feed.LoggerCount(), 1);
    EXPECT_TRUE(Closed(dir.File("a.log")));
    EXPECT_TRUE(Closed(dir.File("b.log")));
    EXPECT_FALSE(Closed(dir.File("c.log")));
    feed.SetCommunicationOn(false);
    feed.Post(Block({0x50, 0xC1}), 0);
    feed.Post(Block({0x51, 0xC1}), 0);
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(dir.File("c.log")).size() == 1; }));
    EXPECT_EQ(LoggedLines(dir.File("a.log")).size(), 2u);  // only its closing lines followed
}

TEST(ZarnFeed, DestructionWritesWaitingBlocksAndClosesEveryLog)
{
    TempDir dir;
    {
        Message_displayer feed;
        feed.Start();
        feed.AddLogger(dir.File("a.log"), 0x50, true);
        feed.AddLogger(dir.File("b.log"), 0x51, true);
        feed.SetCommunicationOn(false);
        for (int i = 0; i < 50; ++i)
            feed.Post(Block({0x50, 0xC1}), 0);
    }
    const std::vector<std::string> a = LoggedLines(dir.File("a.log"));
    ASSERT_EQ(a.size(), 52u);
    EXPECT_EQ(a[49], "<P1 ACK 1>");
    EXPECT_EQ(a[50], std::string(57, '*'));
    EXPECT_EQ(a[51].rfind("Logging aborted at ", 0), 0u);
    EXPECT_TRUE(Closed(dir.File("b.log")));

    // A feed that was never started closes its logs as well.
    {
        Message_displayer idle;
        idle.AddLogger(dir.File("c.log"), 0x50, true);
    }
    EXPECT_TRUE(Closed(dir.File("c.log")));
}

TEST(ZarnFeed, PostFromOneThreadWhileAnotherFetchesAndSwitches)
{
    TempDir dir;
    Message_displayer feed;
    feed.Start();
    feed.AddLogger(dir.File("p1.log"), 0x50, false);
    const int posted = 3000;
    std::thread io([&] {
        for (int i = 0; i < posted; ++i)
            feed.Post(Block({0x50, 0xC1}), i % 2);
    });
    size_t shown = 0;
    for (int round = 0; round < 200; ++round) {
        feed.SetCommunicationOn(round % 3 != 0);
        feed.SetFilterAddress(round % 2 ? 0x50 : 0);
        shown += FetchAll(feed).size();
    }
    io.join();
    feed.SetCommunicationOn(false);
    // Every block reaches the log exactly once, shown or not.
    EXPECT_TRUE(WaitFor([&] { return LoggedLines(dir.File("p1.log")).size() == size_t(posted); }));
    EXPECT_LE(shown, size_t(posted));
    EXPECT_EQ(feed.DisplayQueueSize(), 0u);
}

}  // namespace
