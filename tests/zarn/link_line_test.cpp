// End to end on a pseudo-terminal: the test plays the controller and checks the bytes on the line.
#include "link_fixture.h"

TEST_F(LinkTest, PollWithNothingQueuedGetsEotAndUnknownAddressesStaySilent)
{
    EXPECT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));
    ExpectNoAnswer(ZarnControlBlock(0x51, 0x20));
    // Polls with any sequence nibble are polls.
    EXPECT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));
    EXPECT_EQ(Exchange(ZarnControlBlock(kPump1, 0x27)), (Bytes{0x50, 0x70, 0xFA}));
    // Nothing was handed to the pump.
    EXPECT_EQ(received_.Size(), 0u);
}

TEST_F(LinkTest, ReplySequenceNumbersRunZeroThenOneToFifteenAndWrapToOne)
{
    const std::vector<uint8_t> expected{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 1, 2};
    for (size_t i = 0; i < expected.size(); ++i) {
        const Bytes dc1{1, 1, static_cast<uint8_t>(i)};
        EXPECT_EQ(PostAndPoll(dc1), PumpData(expected[i], dc1)) << "reply " << i;
        Ack(expected[i]);
    }
}

TEST_F(LinkTest, UnacknowledgedReplyIsRepeatedOnFivePollsAndDroppedAtTheSixth)
{
    const Bytes dc1{1, 1, 2};
    const Bytes first = PostAndPoll(dc1);
    ASSERT_EQ(first, PumpData(0, dc1));
    for (int resend = 1; resend <= 5; ++resend)
        EXPECT_EQ(Poll(), first) << "resend " << resend;
    ExpectNoAnswer(ZarnControlBlock(kPump1, 0x20));
    EXPECT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));
    // The next reply carries the following number.
    EXPECT_EQ(PostAndPoll(dc1), PumpData(1, dc1));
}

TEST_F(LinkTest, AckEndsTheResendsWhateverItsNumber)
{
    const Bytes dc1{1, 1, 2};
    ASSERT_EQ(PostAndPoll(dc1), PumpData(0, dc1));
    Ack(9);
    EXPECT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));
}

TEST_F(LinkTest, NakRenumbersThePendingReplyWithAFreshCrc)
{
    const Bytes dc3{3, 4, 0x00, 0x01, 0x23, 0x45};
    ASSERT_EQ(PostAndPoll(dc3), PumpData(0, dc3));
    EXPECT_EQ(Exchange(ZarnControlBlock(kPump1, 0x5F)), PumpData(1, dc3));
    EXPECT_EQ(Exchange(ZarnControlBlock(kPump1, 0x53)), PumpData(4, dc3));
    Ack(4);
    // Without a pending reply a NAK gets no answer.
    ExpectNoAnswer(ZarnControlBlock(kPump1, 0x52));
    EXPECT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));
}

TEST_F(LinkTest, MasterDataIsAckedAndHandedToThePumpWithoutCrcAndEtx)
{
    const Bytes cd1{1, 1, 0x06};
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 0, cd1)), (Bytes{0x50, 0xC0, 0xFA}));
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, cd1)), (Bytes{0x50, 0xC1, 0xFA}));
    ASSERT_EQ(received_.Size(), 2u);
    std::unique_ptr<Message> block = received_.Take();
    EXPECT_EQ(Bytes(block->bytes.begin(), block->bytes.begin() + block->length), (Bytes{0x50, 0x30, 1, 1, 0x06}));
    EXPECT_EQ(block->direction, 0);
}

TEST_F(LinkTest, MasterDataFindingThePumpsQueueFullIsNotAcknowledgedAndCounted)
{
    // A pump whose receive queue holds one block; the test takes it as the pump's cycle would.
    Message_queue waiting(1);
    Zarn_line line(0x51, waiting, 5);
    ASSERT_EQ(io_->RegisterPump(&line), 0);
    const Bytes cd1{1, 1, 0x06};
    EXPECT_EQ(Exchange(ZarnDataBlock(0x51, 0, cd1)), (Bytes{0x51, 0xC0, 0xFA}));
    // The pump has not taken it yet: the next command is not acknowledged, so the master repeats
    // it rather than believing it delivered.
    ExpectNoAnswer(ZarnDataBlock(0x51, 1, cd1));
    EXPECT_EQ(waiting.TakeNewlyDropped(), 1u);
    ASSERT_NE(waiting.Take(), nullptr);
    // The repeat carries the number still expected and is taken.
    EXPECT_EQ(Exchange(ZarnDataBlock(0x51, 1, cd1)), (Bytes{0x51, 0xC1, 0xFA}));
    EXPECT_EQ(waiting.Size(), 1u);
    io_->UnregisterPump(&line);
}

TEST_F(LinkTest, MasterDataWithAWrongCrcGetsNoAnswerAndChangesNothing)
{
    Bytes bad = ZarnDataBlock(kPump1, 0, {1, 1, 0x06});
    bad[bad.size() - 4] ^= 0x01;  // low CRC byte
    ExpectNoAnswer(bad);
    EXPECT_EQ(received_.Size(), 0u);
    // The expected number is still 0: a block numbered 1 is out of turn.
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, {1, 1, 0x06})), (Bytes{0x50, 0x51, 0xFA}));
    EXPECT_EQ(received_.Size(), 0u);
}

TEST_F(LinkTest, RepeatedNumberIsRefusedUntilABlockNumberedZero)
{
    const Bytes cd{1, 1, 0x06};
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 0, cd)), (Bytes{0x50, 0xC0, 0xFA}));
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, cd)), (Bytes{0x50, 0xC1, 0xFA}));
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, cd)), (Bytes{0x50, 0x51, 0xFA}));  // repeated
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 2, cd)), (Bytes{0x50, 0x52, 0xFA}));  // still refused
    EXPECT_EQ(received_.Size(), 2u);
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 0, cd)), (Bytes{0x50, 0xC0, 0xFA}));
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, cd)), (Bytes{0x50, 0xC1, 0xFA}));
    EXPECT_EQ(received_.Size(), 4u);
}

TEST_F(LinkTest, NumberedZeroIsAlwaysAcceptedAndNumbersWrapFromFifteenToOne)
{
    const Bytes cd{1, 1, 0x06};
    for (uint8_t number = 0; number <= 15; ++number)
        ASSERT_EQ(Exchange(ZarnDataBlock(kPump1, number, cd)), (Bytes{0x50, static_cast<uint8_t>(0xC0 | number), 0xFA}));
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, cd)), (Bytes{0x50, 0xC1, 0xFA}));
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 0, cd)), (Bytes{0x50, 0xC0, 0xFA}));  // in the middle of a run
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, cd)), (Bytes{0x50, 0xC1, 0xFA}));
    EXPECT_EQ(received_.Size(), 19u);
}

TEST_F(LinkTest, RepliesAreStuffedBeforeEveryFa)
{
    // Data holding 0xFA, and a data 0x10 right before a 0xFA.
    EXPECT_EQ(PostAndPoll({5, 3, 0xFA, 0x10, 0xFA}),
              ZarnOnLine(ZarnWithCrc({0x50, 0x30, 5, 3, 0xFA, 0x10, 0xFA})));
    Ack(0);
    const Bytes line = ZarnOnLine(ZarnWithCrc({0x50, 0x31, 5, 3, 0xFA, 0x10, 0xFA}));
    const Bytes written_by_hand{0x50, 0x31, 5, 3, 0x10, 0xFA, 0x10, 0x10, 0xFA};
    EXPECT_TRUE(std::equal(written_by_hand.begin(), written_by_hand.end(), line.begin()));

    // A reply whose CRC holds 0xFA: search a status byte that gives one.
    std::optional<Bytes> with_fa_crc;
    size_t fa_in_crc = 0;
    for (int status = 0; status < 256 && !with_fa_crc; ++status) {
        Bytes body{0x50, 0x31, 1, 1, static_cast<uint8_t>(status)};
        uint16_t crc = ZarnCrc16(body.data(), body.size());
        fa_in_crc = ((crc & 0xFF) == 0xFA) + ((crc >> 8) == 0xFA);
        if (fa_in_crc > 0)
            with_fa_crc = Bytes{1, 1, static_cast<uint8_t>(status)};
    }
    ASSERT_TRUE(with_fa_crc.has_value());
    const Bytes sent = PostAndPoll(*with_fa_crc);
    EXPECT_EQ(sent, PumpData(1, *with_fa_crc));
    // ADR, CTRL, 3 data bytes, CRC, ETX, SF, and one 0x10 per 0xFA in the CRC.
    EXPECT_EQ(sent.size(), 9u + fa_in_crc);
}

TEST_F(LinkTest, ReceivedStuffedFaIsOneDataByte)
{
    // 0x10 0xFA on the line is one 0xFA; 0x10 0x10 0xFA is the data pair 0x10 0xFA.
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 0, {4, 2, 0xFA, 0x10})), (Bytes{0x50, 0xC0, 0xFA}));
    EXPECT_EQ(Exchange(ZarnDataBlock(kPump1, 1, {4, 2, 0x10, 0xFA})), (Bytes{0x50, 0xC1, 0xFA}));
    ASSERT_EQ(received_.Size(), 2u);
    std::unique_ptr<Message> first = received_.Take();
    std::unique_ptr<Message> second = received_.Take();
    EXPECT_EQ(Bytes(first->bytes.begin(), first->bytes.begin() + first->length), (Bytes{0x50, 0x30, 4, 2, 0xFA, 0x10}));
    EXPECT_EQ(Bytes(second->bytes.begin(), second->bytes.begin() + second->length), (Bytes{0x50, 0x31, 4, 2, 0x10, 0xFA}));
}

TEST_F(LinkTest, TwoDc2BecomeOneWithTheNewerValuesAndDc1Dc3ShareABlock)
{
    const Bytes older{2, 8, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00};
    const Bytes newer{2, 8, 0x00, 0x00, 0x01, 0x50, 0x00, 0x00, 0x02, 0x25};
    line_->PostReply(PumpBlock(older));
    line_->PostReply(PumpBlock(newer));
    EXPECT_EQ(Poll(), PumpData(0, newer));
    Ack(0);

    const Bytes dc1{1, 1, 4};
    const Bytes dc3{3, 4, 0x11, 0x01, 0x23, 0x45};
    line_->PostReply(PumpBlock(dc1));
    line_->PostReply(PumpBlock(dc3));
    Bytes both = dc1;
    both.insert(both.end(), dc3.begin(), dc3.end());
    EXPECT_EQ(Poll(), PumpData(1, both));
    Ack(1);
    EXPECT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));
}

TEST_F(LinkTest, RubbishRepliesGoAloneAndAreNeverTakenForDc2)
{
    const Bytes dc1{1, 1, 4};
    const Bytes looks_like_dc2{2, 8, 9, 9, 9, 9, 9, 9, 9, 9};
    const Bytes dc2{2, 8, 1, 1, 1, 1, 1, 1, 1, 1};
    line_->PostReply(PumpBlock(dc1));
    line_->PostReply(PumpBlock(looks_like_dc2), true);
    line_->PostReply(PumpBlock(dc2));
    EXPECT_EQ(Poll(), PumpData(0, dc1));
    Ack(0);
    EXPECT_EQ(Poll(), PumpData(1, looks_like_dc2));
    Ack(1);
    EXPECT_EQ(Poll(), PumpData(2, dc2));
    Ack(2);
}
