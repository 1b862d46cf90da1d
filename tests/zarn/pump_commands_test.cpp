// End-to-end tests of the pump's commands, replies, receive errors and injected errors: the test
// plays the controller on a pseudo-terminal.
#include "zarn/pump_fixture.h"

#include "platform/text.h"

using namespace pump_test;

class PumpCommandsTest : public PumpTest {
protected:
    // POLLs until the DATA block comes (without acknowledging it) and returns it whole.
    Bytes PollRawData()
    {
        for (int i = 0; i < 500; ++i) {
            pty_.Send({kAddress, 0x20, kZarnSF});
            Bytes block = ReadBlock();
            EXPECT_GE(block.size(), 2u) << "no answer to POLL";
            if (block.size() < 2)
                return {};
            if ((block[1] >> 4) == 0x3)
                return block;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ADD_FAILURE() << "no DATA block came";
        return {};
    }

    void Ack(const Bytes& block) { pty_.Send({kAddress, static_cast<uint8_t>(0xC0 | (block[1] & 0x0F)), kZarnSF}); }
};

TEST_F(PumpCommandsTest, ReturnStatusThenAuthorizeArriveMergedInOneBlock)
{
    StartPump();
    DrainReplies();
    SendCommands(Join({Cd1(kCd1ReturnStatus), Cd1(kCd1Authorize)}));
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusAuthorized; }));
    std::vector<Reply> replies = PollOnce();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].code, 1);
    EXPECT_EQ(replies[0].data, Bytes{kStatusNotProgrammed});
    EXPECT_EQ(replies[1].code, 3);
    EXPECT_EQ(replies[1].data, (Bytes{0, 0, 0, 0}));  // no nozzle selected
    EXPECT_EQ(replies[2].code, 1);
    EXPECT_EQ(replies[2].data, Bytes{kStatusAuthorized});
}

TEST_F(PumpCommandsTest, IdentityParametersOutputsAndDecimals)
{
    StartPump();
    SendCommands(Join({Cd1(kCd1ReturnIdentity), Cd1(kCd1ReturnParameters), Bytes{7, 2, 200, 0x5A}}));
    std::vector<Reply> replies =
        PollUntil([](const std::vector<Reply>& got) { return Last(got, 9) && Last(got, 7); });
    EXPECT_EQ(Last(replies, 9)->data, (Bytes{0x00, 0x00, 0x02, 0x22, 0x22}));
    Bytes dc7 = Last(replies, 7)->data;
    ASSERT_EQ(dc7.size(), 51u);
    EXPECT_EQ((Bytes{dc7[22], dc7[23], dc7[24]}), (Bytes{2, 2, 2}));
    ASSERT_TRUE(WaitFor([&] { return pump_->GetOutputRegisters()[200] == 0x5A; }));

    // New decimals clear prices, presets and totals and take effect on the wire.
    SendCommands(Join({Cd2({1, 2}), Cd5({150, 275})}));
    ASSERT_TRUE(WaitFor([&] { return State().nozzles[1].price_text == "2.75"; }));
    pump_->SetNozzleTotals(1, BCD(5, 2, 12345), BCD(5, 2, 500), BCD(5, 0, 3));
    Bytes cd9{9, 51};
    cd9.resize(53, 0);
    cd9[2 + 22] = 3;
    cd9[2 + 23] = 1;
    cd9[2 + 24] = 3;
    SendCommands(Join({cd9, Cd3(12345), Cd1(kCd1ReturnParameters)}));
    replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 7).has_value(); });
    dc7 = Last(replies, 7)->data;
    EXPECT_EQ((Bytes{dc7[22], dc7[23], dc7[24]}), (Bytes{3, 1, 3}));
    Zarn_pump_state state = State();
    EXPECT_EQ(state.nozzles[0].price_text, "0.000");
    EXPECT_EQ(state.nozzles[0].volume_total_text, "0.000");
    EXPECT_EQ(state.nozzles[0].amount_total_text, "0.0");
    EXPECT_EQ(state.nozzles[0].fillings_text, "0");
    EXPECT_EQ(state.preset_volume, "12.345");  // decoded with the new volume decimals
    EXPECT_EQ(state.preset_amount, "9999999.9");
    EXPECT_EQ(state.volume_text, "0.000");
    EXPECT_EQ(pump_->VolumeDecimals(), 3);
    EXPECT_EQ(pump_->AmountDecimals(), 1);
    EXPECT_EQ(state.nozzles[2].price_text, "") << "a nozzle that is not allowed shows no values";
}

TEST_F(PumpCommandsTest, DecimalsOutsideTheirRangeFallBackToTwo)
{
    // The settings file's decimals as its reader hands them to the pump.
    TempSettings file;
    file.Set("Zarn", "VolumeDecimals", "12");
    file.Set("Zarn", "AmountDecimals", "-1");
    file.Set("Zarn", "PriceDecimals", "3");
    const Pump_settings read = ReadPumpSettings("Zarn");
    settings_.volume_decimals = read.volume_decimals;
    settings_.amount_decimals = read.amount_decimals;
    settings_.price_decimals = read.price_decimals;
    StartPump();
    EXPECT_EQ(pump_->VolumeDecimals(), 2);
    EXPECT_EQ(pump_->AmountDecimals(), 2);
    EXPECT_EQ(pump_->PriceDecimals(), 3);
    Zarn_pump_state state = State();
    EXPECT_EQ(state.volume_text, "0.00");
    EXPECT_EQ(state.preset_volume, "999999.99");
    pump_->SetVolumeDecimals(9);
    pump_->SetPriceDecimals(-3);
    EXPECT_EQ(pump_->VolumeDecimals(), 2);
    EXPECT_EQ(pump_->PriceDecimals(), 3);
    pump_->SetVolumeDecimals(0);
    EXPECT_EQ(pump_->VolumeDecimals(), 0);
}

TEST_F(PumpCommandsTest, MalformedTransactionIsCountedAndListedAndEarlierOnesKeepTheirEffect)
{
    settings_.log_rx_errors = true;
    StartPump();
    const Bytes transactions = Join({Cd3(500), Cd1(7), Cd4(800)});
    SendCommands(transactions);
    ASSERT_TRUE(WaitFor([&] { return pump_->RxErrorCount() == 1; }));
    Zarn_pump_state state = State();
    EXPECT_EQ(state.preset_volume, "5.00");          // before the error: applied
    EXPECT_EQ(state.preset_amount, "999999.99");     // after it: skipped
    EXPECT_EQ(state.status, kStatusNotProgrammed);   // never changes the status
    EXPECT_TRUE(state.log_rx_errors);
    const std::vector<std::string> rx_error_lines = pump_->RxErrorLines();
    ASSERT_EQ(rx_error_lines.size(), 3u);
    EXPECT_EQ(rx_error_lines[0].size(), 15 + std::string("CD1 Unknown command").size());
    EXPECT_EQ(rx_error_lines[0].substr(15), "CD1 Unknown command");
    EXPECT_EQ(rx_error_lines[0][6], ' ');
    Bytes block{kAddress, 0x30};
    block.insert(block.end(), transactions.begin(), transactions.end());
    EXPECT_EQ(rx_error_lines[1], HexText(block.data(), block.size()));
    EXPECT_EQ(rx_error_lines[2], "");

    // A transaction whose length runs past the block.
    SendCommands({3, 4, 0x00, 0x10});
    ASSERT_TRUE(WaitFor([&] { return pump_->RxErrorCount() == 2; }));
    std::vector<std::string> lines = pump_->TakeRxErrorLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3].substr(15), "CD3 Preset volume");
    EXPECT_TRUE(pump_->RxErrorLines().empty());
    EXPECT_EQ(pump_->RxErrorCount(), 2);
    EXPECT_EQ(State().preset_volume, "5.00");
}

TEST_F(PumpCommandsTest, ReceiveErrorsAreOnlyCountedWithoutListing)
{
    StartPump();
    SendCommands({2, 1, 15});
    SendCommands({77, 0});
    ASSERT_TRUE(WaitFor([&] { return pump_->RxErrorCount() == 2; }));
    EXPECT_TRUE(pump_->RxErrorLines().empty());
    EXPECT_FALSE(State().nozzles[14].allowed);
}

TEST_F(PumpCommandsTest, IgnoredBlocksThenNormal)
{
    StartPump();
    DrainReplies();
    pump_->InjectError(100, 2);
    for (int i = 0; i < 2; ++i) {
        pty_.Send({kAddress, 0x20, kZarnSF});
        EXPECT_TRUE(pty_.Silent(150)) << "block " << i << " was answered";
    }
    pty_.Send({kAddress, 0x20, kZarnSF});
    EXPECT_EQ(ReadBlock(), (Bytes{kAddress, 0x70}));
}

TEST_F(PumpCommandsTest, BadCrcOnTheNextReplyOnly)
{
    StartPump();
    DrainReplies();
    pump_->InjectError(101, 1);
    SendCommands(Cd1(kCd1ReturnIdentity));
    Bytes bad = PollRawData();
    EXPECT_FALSE(ZarnCrcMatches(bad));
    Ack(bad);
    SendCommands(Cd1(kCd1ReturnIdentity));
    Bytes good = PollRawData();
    EXPECT_TRUE(ZarnCrcMatches(good));
    Ack(good);
}

TEST_F(PumpCommandsTest, WrongSequenceNumberOnTheNextReplyOnly)
{
    StartPump();
    DrainReplies();
    SendCommands(Cd1(kCd1ReturnIdentity));
    Bytes first = PollRawData();
    Ack(first);
    auto following = [](uint8_t n) { return static_cast<uint8_t>(n >= 15 ? 1 : n + 1); };
    const uint8_t expected = following(first[1] & 0x0F);

    pump_->InjectError(102, 1);
    SendCommands(Cd1(kCd1ReturnIdentity));
    Bytes wrong = PollRawData();
    EXPECT_NE(wrong[1] & 0x0F, expected);
    Ack(wrong);
    SendCommands(Cd1(kCd1ReturnIdentity));
    Bytes right = PollRawData();
    EXPECT_EQ(right[1] & 0x0F, following(expected));
    Ack(right);
}

TEST_F(PumpCommandsTest, RubbishReplacesTheNextRepliesThenNormal)
{
    StartPump();
    DrainReplies();
    pump_->InjectError(103, 2);
    SendCommands(Join({Cd1(kCd1ReturnParameters), Cd1(kCd1ReturnIdentity), Cd1(kCd1ReturnIdentity)}));
    for (int i = 0; i < 2; ++i) {
        Bytes rubbish = PollRawData();
        ASSERT_GE(rubbish.size(), 5u);
        EXPECT_LE(rubbish.size(), 2u + 29 + 3);  // never the 53-byte DC7 or a merged block
        EXPECT_TRUE(ZarnCrcMatches(rubbish));
        Ack(rubbish);
    }
    Bytes real = PollRawData();
    std::vector<Reply> replies = Transactions(real);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].code, 9);
    EXPECT_EQ(replies[0].data, (Bytes{0x00, 0x00, 0x02, 0x22, 0x22}));
    Ack(real);
    pty_.Send({kAddress, 0x20, kZarnSF});
    EXPECT_EQ(ReadBlock(), (Bytes{kAddress, 0x70}));
}

TEST_F(PumpCommandsTest, OperationsCheckTheirRanges)
{
    StartPump();
    EXPECT_FALSE(pump_->SetNozzleTotals(0, BCD(5, 2, 1), BCD(5, 2, 1), BCD(5, 0, 1)));
    EXPECT_FALSE(pump_->SetNozzleTotals(16, BCD(5, 2, 1), BCD(5, 2, 1), BCD(5, 0, 1)));
    EXPECT_TRUE(pump_->SetNozzleTotals(15, BCD(5, 3, 1234), BCD(5, 2, 99), BCD(5, 0, 7)));
    SendCommands(Join({Cd2({14}), Cd101(16)}));
    std::vector<Reply> replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 101).has_value(); });
    EXPECT_EQ(Last(replies, 101)->data, Join({{16}, Packed(1234, 5), Packed(99, 5), Packed(0, 5)}));

    pump_->InjectError(55, 3);  // not an error code: nothing happens
    pump_->InjectError(103, -4);
    SendCommands(Cd1(kCd1ReturnIdentity));
    replies = PollUntil([](const std::vector<Reply>& got) { return Last(got, 9).has_value(); });
    EXPECT_EQ(Last(replies, 9)->data, (Bytes{0x00, 0x00, 0x02, 0x22, 0x22}));

    std::array<bool, 15> visible{};
    visible[14] = true;
    pump_->SetVisibleNozzles(visible);
    EXPECT_EQ(pump_->VisibleNozzles(), visible);
    pump_->SetIdentity({0x01, 0x01, 0x01, 0x01, 0x01});
    EXPECT_EQ(pump_->Identity(), (std::array<uint8_t, 5>{0x01, 0x01, 0x01, 0x01, 0x01}));
}

TEST(PumpCreationTest, IdentityAndStartValues)
{
    Zarn_pump standard(0x51, false, Pump_settings{});
    Zarn_pump_state state;
    ASSERT_TRUE(standard.GetState(state));
    EXPECT_EQ(state.identity, (std::array<uint8_t, 5>{0x00, 0x00, 0x11, 0x11, 0x11}));
    EXPECT_EQ(state.status_text, "Not programmed");
    EXPECT_EQ(state.short_status_text, "Not progr.");
    EXPECT_EQ(state.preset_volume, "999999.99");
    EXPECT_FALSE(state.online);
    EXPECT_EQ(standard.VisibleNozzles(), (std::array<bool, 15>{true, true, true, true, true}));
    ASSERT_EQ(state.nozzles.size(), 15u);
    for (const Nozzle_snapshot& nozzle : state.nozzles)
        EXPECT_EQ(nozzle.visible, nozzle.number <= 5) << nozzle.number;
    EXPECT_EQ(standard.Address(), 0x51);
}

TEST_F(PumpCommandsTest, RepliesNobodyTakesStayBoundedTheOldestDroppedAndCounted)
{
    StartPump();
    // A controller that floods commands and never polls: Reset first (DC1 status 1), then Return
    // status (DC1 and DC3 each), Authorize last (DC1 status 2), in full command blocks.
    constexpr int kCommandsPerBlock = 83;  // 83 x 3 bytes: the longest command block
    constexpr int kCommandBlocks = 130;
    std::vector<Bytes> command_blocks(kCommandBlocks);
    for (int b = 0; b < kCommandBlocks; ++b) {
        for (int i = 0; i < kCommandsPerBlock; ++i) {
            uint8_t code = kCd1ReturnStatus;
            if (b == 0 && i == 0)
                code = kCd1Reset;
            if (b == kCommandBlocks - 1 && i == kCommandsPerBlock - 1)
                code = kCd1Authorize;
            const Bytes cd1 = Cd1(code);
            command_blocks[b].insert(command_blocks[b].end(), cd1.begin(), cd1.end());
        }
    }

    // How many reply blocks that makes: transactions (DC1 3 bytes, DC3 6 bytes) are appended to
    // the last block while it keeps within the longest reply body, the creation DC1 first.
    constexpr size_t kRoom = Outgoing_message_queue::kMaxReplyBody - 2;  // without ADR and CTRL
    int reply_blocks = 1;
    size_t used = 3;
    auto add = [&](size_t size) {
        if (used + size > kRoom) {
            ++reply_blocks;
            used = 0;
        }
        used += size;
    };
    for (int b = 0; b < kCommandBlocks; ++b) {
        for (int i = 0; i < kCommandsPerBlock; ++i) {
            add(3);
            if (command_blocks[b][3 * i + 2] == kCd1ReturnStatus)
                add(6);
        }
    }
    const int dropped = reply_blocks - static_cast<int>(Outgoing_message_queue::kMaxBlocks);
    ASSERT_GT(dropped, 100) << "the flood must overrun the bound";

    for (const Bytes& block : command_blocks)
        SendCommands(block);
    ASSERT_TRUE(WaitFor([&] { return pump_->GetStatus() == kStatusAuthorized; }));
    EXPECT_EQ(pump_->RxErrorCount(), dropped) << "every dropped reply block counted";
    EXPECT_EQ(pump_->Line().QueuedReplies(), Outgoing_message_queue::kMaxBlocks);

    // The controller comes back: exactly the bound's worth of blocks waits, the newest replies
    // (the oldest, with the DC1 of creation and of Reset, were dropped).
    std::vector<Reply> replies;
    size_t blocks = 0;
    for (size_t i = 0; i <= Outgoing_message_queue::kMaxBlocks; ++i) {
        pty_.Send({kAddress, 0x20, kZarnSF});
        const Bytes block = ReadBlock();
        ASSERT_GE(block.size(), 2u) << "no answer to POLL";
        if ((block[1] >> 4) != 0x3)
            break;  // EOT
        ++blocks;
        const std::vector<Reply> some = Transactions(block);
        replies.insert(replies.end(), some.begin(), some.end());
        Ack(block);
    }
    EXPECT_EQ(blocks, Outgoing_message_queue::kMaxBlocks);
    EXPECT_FALSE(HasDc1(replies, kStatusNotProgrammed));
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies.back().code, 1);
    EXPECT_EQ(replies.back().data, Bytes{kStatusAuthorized}) << "the newest reply is kept";
    EXPECT_EQ(pump_->RxErrorCount(), dropped) << "nothing dropped once the controller polls";
}

TEST_F(PumpCommandsTest, ReceiveErrorListKeepsTheNewestErrorsAndStaysOutOfSnapshots)
{
    settings_.log_rx_errors = true;
    StartPump();
    // More refused commands than the list keeps: each block one unknown CD1 code (7), made
    // different by a preset before it, so the newest error can be recognised.
    const int errors = static_cast<int>(Rx_error_record::kMaxLines / Rx_error_record::kLinesPerError) + 100;
    Bytes last_block;
    for (int i = 0; i < errors; ++i) {
        const Bytes transactions = Join({Cd3(static_cast<uint64_t>(i)), Cd1(7)});
        SendCommands(transactions);
        last_block = Bytes{kAddress, 0x30};
        last_block.insert(last_block.end(), transactions.begin(), transactions.end());
    }
    ASSERT_TRUE(WaitFor([&] { return pump_->RxErrorCount() == errors; })) << pump_->RxErrorCount();
    const std::vector<std::string> lines = pump_->RxErrorLines();
    ASSERT_LE(lines.size(), Rx_error_record::kMaxLines);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.size() % 3, 0u);
    EXPECT_EQ(lines[lines.size() - 3].substr(15), "CD1 Unknown command");
    EXPECT_EQ(lines[lines.size() - 2], HexText(last_block.data(), last_block.size())) << "the newest kept";
    EXPECT_EQ(State().rx_error_count, errors);
}
