// The outgoing queue's replace and merge rules, the line's poll deadline, and the router table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "link_fixture.h"
#include "zarn/zarn_router.h"

namespace {

Bytes Dc2(uint8_t fill)
{
    return Bytes{2, 8, fill, fill, fill, fill, fill, fill, fill, fill};
}

std::unique_ptr<Message> Addressed(const Bytes& transactions)
{
    std::unique_ptr<Message> block = PumpBlock(transactions);
    block->bytes[0] = kPump1;
    block->bytes[1] = 0x30;
    return block;
}

Bytes TransactionsOf(const Message& block)
{
    return Bytes(block.bytes.begin() + 2, block.bytes.begin() + block.length);
}

// All queued blocks' transactions, block by block.
std::vector<Bytes> Drain(Outgoing_message_queue& queue)
{
    std::vector<Bytes> blocks;
    while (std::unique_ptr<Message> block = queue.Take())
        blocks.push_back(TransactionsOf(*block));
    return blocks;
}

}  // namespace

TEST(LinkOutgoingQueue, NewerDc2OverwritesTheQueuedOneInPlace)
{
    Outgoing_message_queue queue;
    const Bytes dc1{1, 1, 4};
    queue.Post(Addressed(Dc2(0x11)));
    queue.Post(Addressed(dc1));
    queue.Post(Addressed(Dc2(0x22)));
    std::vector<Bytes> blocks = Drain(queue);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], Join({Dc2(0x22), dc1}));
}

TEST(LinkOutgoingQueue, TakingTheBlockForgetsItsDc2)
{
    Outgoing_message_queue queue;
    queue.Post(Addressed(Dc2(0x11)));
    ASSERT_NE(queue.Take(), nullptr);
    queue.Post(Addressed(Dc2(0x22)));
    queue.Post(Addressed(Dc2(0x33)));
    std::vector<Bytes> blocks = Drain(queue);
    EXPECT_EQ(blocks, (std::vector<Bytes>{Dc2(0x33)}));
}

TEST(LinkOutgoingQueue, FullQueueDropsTheOldestBlockAndForgetsItsDc2)
{
    Outgoing_message_queue queue;
    EXPECT_EQ(queue.Post(Addressed(Dc2(0x11))), 0);
    const Bytes rubbish{0x55, 0x66};
    for (size_t i = 1; i < Outgoing_message_queue::kMaxBlocks; ++i)
        EXPECT_EQ(queue.Post(Addressed(rubbish), true), 0);
    EXPECT_EQ(queue.Size(), Outgoing_message_queue::kMaxBlocks);
    // One more block pushes the oldest (the one holding the DC2) out.
    EXPECT_EQ(queue.Post(Addressed(rubbish), true), 1);
    EXPECT_EQ(queue.Size(), Outgoing_message_queue::kMaxBlocks);
    // A new DC2 cannot overwrite the dropped one: it is queued at the end as a block of its own.
    EXPECT_EQ(queue.Post(Addressed(Dc2(0x22))), 1);
    std::vector<Bytes> blocks = Drain(queue);
    ASSERT_EQ(blocks.size(), Outgoing_message_queue::kMaxBlocks);
    EXPECT_EQ(blocks.back(), Dc2(0x22));
    EXPECT_EQ(std::count(blocks.begin(), blocks.end(), rubbish), static_cast<long>(blocks.size() - 1));
}

TEST(LinkOutgoingQueue, Dc101AndStandaloneBlocksAreNeverMerged)
{
    Outgoing_message_queue queue;
    const Bytes dc1{1, 1, 2};
    const Bytes dc101{101, 1, 9};
    queue.Post(Addressed(dc1));
    queue.Post(Addressed(dc101));
    queue.Post(Addressed(dc1));
    // Rubbish that happens to look like a DC2, and rubbish without any transaction.
    queue.Post(Addressed(Dc2(0x44)), true);
    queue.Post(Addressed({}), true);
    queue.Post(Addressed(Dc2(0x55)));
    queue.Post(Addressed(Dc2(0x66)));
    std::vector<Bytes> blocks = Drain(queue);
    EXPECT_EQ(blocks, (std::vector<Bytes>{dc1, dc101, dc1, Dc2(0x44), {}, Dc2(0x66)}));
}

TEST(LinkOutgoingQueue, MergingStopsBeforeTheBlockOverflowsAndNeverTruncates)
{
    Outgoing_message_queue queue;
    // 30 transactions of 12 bytes: 360 bytes of transactions in all, more than one block holds.
    Bytes all;
    for (uint8_t i = 0; i < 30; ++i) {
        Bytes transaction{9, 10, i, i, i, i, i, i, i, i, i, i};
        all.insert(all.end(), transaction.begin(), transaction.end());
        queue.Post(Addressed(transaction));
    }
    Bytes joined;
    size_t blocks = 0;
    while (std::unique_ptr<Message> block = queue.Take()) {
        ++blocks;
        EXPECT_LE(block->length + 3u, Message::kMaxBody) << "no room left for CRC and ETX";
        Bytes transactions = TransactionsOf(*block);
        EXPECT_EQ(transactions.size() % 12, 0u) << "a transaction was cut";
        EXPECT_EQ(block->transaction_count, transactions.size() / 12);
        joined.insert(joined.end(), transactions.begin(), transactions.end());
    }
    EXPECT_EQ(blocks, 2u);
    EXPECT_EQ(joined, all);
}

TEST(LinkOutgoingQueue, RefusesBlocksThatCannotBeSent)
{
    Outgoing_message_queue queue;
    queue.Post(nullptr);
    auto too_short = std::make_unique<Message>();
    too_short->length = 1;
    queue.Post(std::move(too_short));
    auto too_long = std::make_unique<Message>();
    too_long->length = Outgoing_message_queue::kMaxReplyBody + 1;
    queue.Post(std::move(too_long));
    EXPECT_TRUE(queue.Empty());
    auto longest = std::make_unique<Message>();
    longest->length = Outgoing_message_queue::kMaxReplyBody;
    queue.Post(std::move(longest));
    EXPECT_FALSE(queue.Empty());
}

TEST(LinkLine, PollDeadlineStartsExpiredAndIsRestartedByHandledBlocksOnly)
{
    Message_queue received;
    Zarn_line line(kPump1, received, 5);
    Message reply;
    EXPECT_TRUE(line.PollTimedOut());

    line.SetLinkError(100, 1);  // an ignored block does not count as being polled
    EXPECT_FALSE(line.HandleBlock(Addressed({}), reply));
    EXPECT_TRUE(line.PollTimedOut());

    auto poll = std::make_unique<Message>();
    poll->bytes[0] = kPump1;
    poll->bytes[1] = 0x20;
    poll->length = 2;
    EXPECT_TRUE(line.HandleBlock(std::move(poll), reply));
    EXPECT_FALSE(line.PollTimedOut());
    AdvanceClockForTest(7000);
    EXPECT_TRUE(line.PollTimedOut());
}

TEST(LinkLine, BlocksWithoutRoomForAdrAndCtrlAreDropped)
{
    Message_queue received;
    Zarn_line line(kPump1, received, 5);
    Message reply;
    auto one_byte = std::make_unique<Message>();
    one_byte->bytes[0] = kPump1;
    one_byte->length = 1;
    EXPECT_FALSE(line.HandleBlock(std::move(one_byte), reply));
    EXPECT_FALSE(line.HandleBlock(nullptr, reply));
    EXPECT_TRUE(line.PollTimedOut());
}

TEST(LinkRouter, RegisterAndUnregisterReportTakenAndEmptyEntries)
{
    Message_queue received;
    Zarn_line line(kPump1, received, 5);
    Zarn_line twin(kPump1, received, 5);
    Zarn_router router;
    EXPECT_EQ(router.Register(&line), 0);
    EXPECT_EQ(router.Register(&twin), 1);
    EXPECT_EQ(router.Unregister(&twin), 2);  // never takes out another pump's line
    EXPECT_EQ(router.Unregister(&line), 0);
    EXPECT_EQ(router.Unregister(&line), 2);
    EXPECT_EQ(router.Register(nullptr), 1);
    EXPECT_EQ(router.Unregister(nullptr), 2);
}

TEST(LinkRouter, RoutesByAddressAndDropsWhatNobodyTakes)
{
    Message_queue received;
    Zarn_line line(kPump1, received, 5);
    Zarn_router router;
    ASSERT_EQ(router.Register(&line), 0);
    Message reply;
    EXPECT_FALSE(router.Route(Addressed({}), reply));  // a DATA block without CRC and ETX: no reply
    auto poll = std::make_unique<Message>();
    poll->bytes[0] = kPump1;
    poll->bytes[1] = 0x20;
    poll->length = 2;
    ASSERT_TRUE(router.Route(std::move(poll), reply));
    EXPECT_EQ(reply.length, 2u);
    EXPECT_EQ(reply.bytes[1], 0x70);

    auto other = std::make_unique<Message>();
    other->bytes[0] = 0x51;
    other->bytes[1] = 0x20;
    other->length = 2;
    EXPECT_FALSE(router.Route(std::move(other), reply));
    auto tiny = std::make_unique<Message>();
    tiny->bytes[0] = kPump1;
    tiny->length = 1;
    EXPECT_FALSE(router.Route(std::move(tiny), reply));
}
