// The I/O thread end to end: echo handling, malformed input on the line, injected link errors,
// copies to the communication feed, the router under concurrent changes, and shutdown.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/error.h"
#include "link_fixture.h"

namespace {

const Bytes kEot{0x50, 0x70, 0xFA};

// The DATA block's sequence number and whether its CRC is right, from its line bytes.
struct DataCheck {
    uint8_t number = 0xFF;
    bool crc_right = false;
};

DataCheck Inspect(const Bytes& line)
{
    const Bytes block = ZarnUnstuffed(line);
    DataCheck check;
    if (block.size() < 5)
        return check;
    check.number = block[1] & 0x0F;
    check.crc_right = ZarnCrcMatches(block);
    return check;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Echo handling

TEST_F(LinkTest, EchoOfEachReplyIsSwallowed)
{
    Restart(true);
    ASSERT_EQ(Poll(), kEot);
    pty_.Send(kEot);  // what the converter hands back
    EXPECT_EQ(Poll(), kEot) << "the echo was not recognised, so the poll was taken for a mismatch";

    pty_.Send(kEot);
    const Bytes dc1{1, 1, 0xFA};  // stuffed on the line; the echo comes back stuffed too
    const Bytes data = PostAndPoll(dc1);
    ASSERT_EQ(data, PumpData(0, dc1));
    pty_.Send(data);
    Ack(0);
    EXPECT_EQ(Poll(), kEot);
}

TEST_F(LinkTest, WithoutTheEchoElevenBlocksAreDiscardedAndTheTwelfthClearsTheWait)
{
    Restart(true);
    ASSERT_EQ(Poll(), kEot);
    for (int i = 0; i < 11; ++i)
        pty_.Send(ZarnControlBlock(kPump1, 0x20));
    EXPECT_TRUE(pty_.Silent(kQuietMs));
    ExpectNoAnswer(ZarnControlBlock(kPump1, 0x20));  // the twelfth: clears the wait, discarded as well
    EXPECT_EQ(Poll(), kEot);
    // Discarded blocks never reached the feed: one poll and its reply, then the last pair.
    std::vector<std::pair<Bytes, int>> records = sink_.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[2], (std::pair<Bytes, int>{{0x50, 0x20}, 0}));
    EXPECT_EQ(records[3], (std::pair<Bytes, int>{{0x50, 0x70}, 1}));
}

TEST_F(LinkTest, EchoHandlingIsOnWithoutASettingAndOffWhenSetOff)
{
    Restart(std::nullopt);
    EXPECT_TRUE(io_->HandlesReturningMessages());
    ASSERT_EQ(Poll(), kEot);
    ExpectNoAnswer(ZarnControlBlock(kPump1, 0x20));  // taken for a wrong echo
    pty_.Send(kEot);                        // the expected echo ends the wait
    EXPECT_EQ(Poll(), kEot);

    Restart(false);
    EXPECT_FALSE(io_->HandlesReturningMessages());
    EXPECT_EQ(Poll(), kEot);
    EXPECT_EQ(Poll(), kEot);
}

TEST(LinkVirtualPort, EchoHandlingIsOffOnAVirtualPortWhateverTheFileSays)
{
    RecordingSink sink;
    Zarn_IO io("pty", false, sink, true);
    io.Start();
    EXPECT_FALSE(io.HandlesReturningMessages());
    EXPECT_FALSE(io.DevicePath().empty());
    EXPECT_TRUE(io.Running());
}

TEST(LinkPortErrors, AnUnopenablePortLeavesTheConstructor)
{
    RecordingSink sink;
    EXPECT_THROW(Zarn_IO("/nonexistent/gallion-port", false, sink, true), Gallion_error);
}

// ---------------------------------------------------------------------------------------------
// Malformed input

TEST_F(LinkTest, BlocksTooShortForTheirKindGetNoAnswer)
{
    ExpectNoAnswer({0x50, 0xFA});               // ADR only
    ExpectNoAnswer({0xFA, 0xFA, 0xFA});         // SF with nothing collected
    ExpectNoAnswer({0x50, 0x30, 0x01, 0xFA});   // DATA without room for CRC and ETX
    ExpectNoAnswer({0x50, 0x31, 0x00, 0x00, 0xFA});
    EXPECT_EQ(received_.Size(), 0u);
    EXPECT_EQ(Poll(), kEot);
    ExpectNoAnswer({0x50, 0x90, 0xFA});  // unknown kinds and 0xE_ get no answer
    ExpectNoAnswer({0x50, 0xE3, 0xFA});
    EXPECT_EQ(Poll(), kEot);
}

TEST_F(LinkTest, OverlongRunsAreDiscardedAndTheLineCarriesOn)
{
    Bytes run(300, 0x00);
    run.push_back(0xFA);
    ExpectNoAnswer(run);
    EXPECT_EQ(Poll(), kEot);

    // 255 bytes fill a block; the next byte is lost with them; what follows is a fresh block.
    Bytes overflow(Message::kMaxBody, 0x50);
    overflow.push_back(0x10);
    overflow.insert(overflow.end(), {0xFA, 0x50, 0x20, 0xFA});
    EXPECT_EQ(Exchange(overflow), kEot);
}

// ---------------------------------------------------------------------------------------------
// Injected link errors

TEST_F(LinkTest, IgnoreErrorSilencesExactlyTheNextBlocks)
{
    line_->SetLinkError(100, 2);
    ExpectNoAnswer(ZarnControlBlock(kPump1, 0x20));
    ExpectNoAnswer(ZarnDataBlock(kPump1, 0, {1, 1, 6}));
    EXPECT_EQ(received_.Size(), 0u);
    EXPECT_EQ(Poll(), kEot);
    EXPECT_EQ(Poll(), kEot);
}

TEST_F(LinkTest, BadCrcErrorSpoilsExactlyTheNextReplies)
{
    line_->SetLinkError(101, 2);
    const Bytes dc1{1, 1, 4};
    for (uint8_t number = 0; number < 2; ++number) {
        DataCheck check = Inspect(PostAndPoll(dc1));
        EXPECT_EQ(check.number, number);
        EXPECT_FALSE(check.crc_right);
        Ack(number);
    }
    EXPECT_EQ(PostAndPoll(dc1), PumpData(2, dc1));
}

TEST_F(LinkTest, BadSequenceErrorMisnumbersExactlyTheNextReplies)
{
    line_->SetLinkError(102, 2);
    const Bytes dc1{1, 1, 4};
    for (uint8_t right = 0; right < 2; ++right) {
        DataCheck check = Inspect(PostAndPoll(dc1));
        EXPECT_NE(check.number, right);
        EXPECT_GE(check.number, 1);
        EXPECT_LE(check.number, 15);
        EXPECT_TRUE(check.crc_right) << "the CRC covers the number actually sent";
        Ack(check.number);
    }
    EXPECT_EQ(PostAndPoll(dc1), PumpData(2, dc1));
}

TEST_F(LinkTest, EachLinkErrorClearsTheOthers)
{
    line_->SetLinkError(101, 5);
    line_->SetLinkError(102, 1);
    const Bytes dc1{1, 1, 4};
    DataCheck check = Inspect(PostAndPoll(dc1));
    EXPECT_NE(check.number, 0);
    EXPECT_TRUE(check.crc_right);
    Ack(check.number);
    EXPECT_EQ(PostAndPoll(dc1), PumpData(1, dc1));
    Ack(1);
    line_->SetLinkError(100, 3);
    line_->SetLinkError(101, 0);
    EXPECT_EQ(Poll(), kEot);
}

// ---------------------------------------------------------------------------------------------
// Feed, router changes, shutdown

TEST_F(LinkTest, FeedGetsEveryReceivedAndSentBlockWithItsDirection)
{
    ASSERT_EQ(Poll(), kEot);
    ExpectNoAnswer(ZarnControlBlock(0x51, 0x20));  // not for us, still seen on the line
    std::vector<std::pair<Bytes, int>> records = sink_.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], (std::pair<Bytes, int>{{0x50, 0x20}, 0}));
    EXPECT_EQ(records[1], (std::pair<Bytes, int>{{0x50, 0x70}, 1}));
    EXPECT_EQ(records[2], (std::pair<Bytes, int>{{0x51, 0x20}, 0}));
}

TEST_F(LinkTest, LinesComeAndGoWhileTheControllerPolls)
{
    std::atomic<bool> stop{false};
    std::atomic<int> eot_for_other{0};
    std::thread controller([&] {
        while (!stop) {
            pty_.Send(ZarnControlBlock(0x51, 0x20));
            if (ReadBlock(20) == Bytes{0x51, 0x70, 0xFA})
                ++eot_for_other;
        }
    });
    Message_queue other_received;
    for (int i = 0; i < 200; ++i) {
        auto other = std::make_unique<Zarn_line>(0x51, other_received, 5);
        ASSERT_EQ(io_->RegisterPump(other.get()), 0);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_EQ(io_->UnregisterPump(other.get()), 0);
        other.reset();  // destroyed right after: the I/O thread must be done with it
    }
    // Keep one registered until the controller has seen it answer at least once.
    Zarn_line last(0x51, other_received, 5);
    ASSERT_EQ(io_->RegisterPump(&last), 0);
    for (int waited = 0; eot_for_other == 0 && waited < 5000; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    controller.join();
    EXPECT_GT(eot_for_other.load(), 0);
    EXPECT_EQ(io_->UnregisterPump(&last), 0);
    pty_.Drain();
    EXPECT_EQ(Poll(), kEot);
}

TEST_F(LinkTest, DestructionIsPromptWhileTheThreadWaitsForBytes)
{
    ASSERT_EQ(Poll(), kEot);
    io_->UnregisterPump(line_.get());
    const auto start = std::chrono::steady_clock::now();
    io_.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(900));
}
