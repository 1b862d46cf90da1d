#include <gtest/gtest.h>

#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/error.h"
#include "zarn/zarn_transactions.h"

namespace {

// A received block as the line hands it to the pump: ADR, CTRL, then the given bytes.
Message Block(std::initializer_list<uint8_t> transactions)
{
    Message block;
    block.bytes[0] = 0x50;
    block.bytes[1] = 0x30;
    size_t i = 2;
    for (uint8_t byte : transactions)
        block.bytes[i++] = byte;
    block.length = static_cast<uint16_t>(i);
    return block;
}

// The error text of the first malformed transaction in the block, or "" when all decode.
std::string FirstError(const Message& block, bool decode_prices = true)
{
    Transaction_reader reader(block, Zarn_decimals{});
    try {
        while (!reader.AtEnd())
            reader.Next(decode_prices);
    } catch (const Gallion_error& error) {
        return error.what();
    }
    return "";
}

std::vector<uint8_t> Transaction(const Message& reply)
{
    return std::vector<uint8_t>(reply.bytes.begin() + 2, reply.bytes.begin() + reply.length);
}

Message Cd9(uint8_t volume, uint8_t amount, uint8_t price)
{
    Message block = Block({9, 51});
    block.bytes[4 + 22] = volume;
    block.bytes[4 + 23] = amount;
    block.bytes[4 + 24] = price;
    block.length = 4 + 51;
    return block;
}

// A CD5 of `lng` data bytes, every price 0.
Message Cd5OfLength(uint8_t lng)
{
    Message block = Block({5, lng});
    block.length = static_cast<uint16_t>(4 + lng);
    return block;
}

}  // namespace

TEST(TransactionsTest, DecodesEachCommand)
{
    Message block = Block({1, 1, 6,                       // CD1 Authorize
                           2, 3, 1, 3, 14,                // CD2 nozzles 1, 3, 14
                           3, 4, 0x00, 0x00, 0x10, 0x00,  // CD3 preset volume 10.00
                           5, 6, 0x00, 0x01, 0x50, 0x00, 0x02, 0x05,  // CD5 1.50, 2.05
                           7, 2, 200, 0x7F,               // CD7 register 200 := 0x7F
                           13, 3, 0xFF, 0xFF, 0xFF,       // unnamed 13: ignored
                           14, 1, 0, 15, 1, 0, 101, 1, 25});
    Zarn_decimals decimals;
    Transaction_reader reader(block, decimals);
    Zarn_command c = reader.Next();
    EXPECT_EQ(c.kind, Zarn_command::Kind::Cd1);
    EXPECT_EQ(c.code, kCd1Authorize);
    c = reader.Next();
    EXPECT_EQ(c.kind, Zarn_command::Kind::Cd2);
    std::array<bool, 15> allowed{};
    allowed[0] = allowed[2] = allowed[13] = true;
    EXPECT_EQ(c.allowed, allowed);
    c = reader.Next();
    EXPECT_EQ(c.kind, Zarn_command::Kind::Cd3);
    EXPECT_EQ(c.preset.Text(), "10.00");
    c = reader.Next();
    ASSERT_EQ(c.prices.size(), 2u);
    EXPECT_EQ(c.prices[0].Text(), "1.50");
    EXPECT_EQ(c.prices[1].Text(), "2.05");
    c = reader.Next();
    EXPECT_EQ(c.kind, Zarn_command::Kind::Cd7);
    EXPECT_EQ(c.output_register, 200);
    EXPECT_EQ(c.output_value, 0x7F);
    EXPECT_EQ(reader.Next().kind, Zarn_command::Kind::Ignored);
    EXPECT_EQ(reader.Next().kind, Zarn_command::Kind::Cd14);
    EXPECT_EQ(reader.Next().kind, Zarn_command::Kind::Cd15);
    c = reader.Next();
    EXPECT_EQ(c.kind, Zarn_command::Kind::Cd101);
    EXPECT_EQ(c.code, 25);
    EXPECT_TRUE(reader.AtEnd());

    const Message cd9_block = Cd9(3, 1, 8);
    Transaction_reader cd9(cd9_block, decimals);
    c = cd9.Next();
    EXPECT_EQ(c.kind, Zarn_command::Kind::Cd9);
    EXPECT_EQ(c.decimals.volume, 3);
    EXPECT_EQ(c.decimals.amount, 1);
    EXPECT_EQ(c.decimals.price, 8);

    EXPECT_EQ(FirstError(Block({5, 0})), "");  // CD5 with no price is well formed
    EXPECT_EQ(FirstError(Cd5OfLength(45)), "");
    EXPECT_EQ(FirstError(Block({2, 0})), "");  // CD2 with no nozzle allows none
}

TEST(TransactionsTest, MalformedCommandTexts)
{
    struct Case {
        Message block;
        const char* text;
    };
    const std::vector<Case> cases = {
        {Block({1, 2, 0, 0}), "CD1 Command to pump"},
        {Block({1, 0}), "CD1 Command to pump"},
        {Block({1, 1, 7}), "CD1 Unknown command"},
        {Block({1, 1, 0xFF}), "CD1 Unknown command"},
        {Block({2, 15, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 1}), "CD2 Allowed nozzles"},
        {Block({2, 1, 15}), "CD2 Allowed nozzles"},
        {Block({2, 2, 1, 0}), "CD2 Allowed nozzles"},
        {Block({3, 3, 0, 0, 0}), "CD3 Preset volume"},
        {Block({4, 5, 0, 0, 0, 0, 0}), "CD4 Preset amount"},
        {Block({5, 4, 0, 0, 0, 0}), "CD5 Price update"},
        {Cd5OfLength(48), "CD5 Price update"},
        {Block({7, 1, 0}), "CD7 Command to output"},
        {Block({9, 50}), "CD9 Set pump parameters"},
        {Cd9(2, 9, 2), "CD9 Set pump parameters"},
        {Block({14, 2, 0, 0}), "CD14 Suspend request"},
        {Block({15, 0}), "CD15 Resume request"},
        {Block({101, 2, 1, 1}), "CD101 Request Volume Total Counters"},
        {Block({3, 4, 0x00, 0x0A, 0x00, 0x00}), "Not valid BCD data"},
        {Block({4, 4, 0xF0, 0x00, 0x00, 0x00}), "Not valid BCD data"},
        {Block({5, 6, 0x00, 0x01, 0x00, 0x00, 0x01, 0xC0}), "Not valid BCD data"},
        {Block({6, 1, 0}), "Unknown transaction type"},
        {Block({0, 0}), "Unknown transaction type"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FirstError(c.block), c.text) << "block of " << c.block.length << " bytes, TRANS " << int(c.block.bytes[2]);
}

TEST(TransactionsTest, TransactionRunningPastItsBlockIsMalformed)
{
    // LNG promises more bytes than the block holds: the transaction's own text, nothing read beyond.
    EXPECT_EQ(FirstError(Block({3, 4, 0x00, 0x10})), "CD3 Preset volume");
    EXPECT_EQ(FirstError(Block({1, 1, 0, 1})), "CD1 Command to pump");  // TRANS without LNG
    EXPECT_EQ(FirstError(Block({101})), "CD101 Request Volume Total Counters");
    EXPECT_EQ(FirstError(Block({13, 5, 0})), "Unknown transaction type");
    EXPECT_EQ(FirstError(Block({99, 200})), "Unknown transaction type");

    // Bytes beyond the block's length are never looked at, whatever they hold.
    Message block = Block({1, 1, 0, 3, 4, 0, 0});
    block.bytes[block.length] = 0x10;
    block.bytes[block.length + 1] = 0x00;
    EXPECT_EQ(FirstError(block), "CD3 Preset volume");

    // A block of only ADR and CTRL holds no transaction.
    const Message empty = Block({});
    EXPECT_TRUE(Transaction_reader(empty, Zarn_decimals{}).AtEnd());
}

TEST(TransactionsTest, PricesWhileFillingAreNotDecoded)
{
    Message bad_prices = Block({5, 3, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(FirstError(bad_prices, false), "");
    Transaction_reader reader(bad_prices, Zarn_decimals{});
    EXPECT_TRUE(reader.Next(false).prices.empty());
    EXPECT_EQ(FirstError(Block({5, 4, 0, 0, 0, 0}), false), "CD5 Price update");  // length still checked
}

TEST(TransactionsTest, RepliesFieldByField)
{
    EXPECT_EQ(Transaction(*BuildDc1(0x50, 4)), (std::vector<uint8_t>{1, 1, 4}));
    auto dc1 = BuildDc1(0x51, 2);
    EXPECT_EQ(dc1->bytes[0], 0x51);
    EXPECT_EQ(dc1->direction, 1);
    EXPECT_EQ(Transaction(*BuildDc2(0x50, BCD(4, 2, 1234), BCD(4, 2, 98765432))),
              (std::vector<uint8_t>{2, 8, 0x00, 0x00, 0x12, 0x34, 0x98, 0x76, 0x54, 0x32}));
    EXPECT_EQ(Transaction(*BuildDc3(0x50, BCD(3, 2, 150), 0x10, 3)), (std::vector<uint8_t>{3, 4, 0x00, 0x01, 0x50, 0x13}));
    EXPECT_EQ(Transaction(*BuildDc3(0x50, BCD(3, 2, 0), 0, 0)), (std::vector<uint8_t>{3, 4, 0, 0, 0, 0}));
    EXPECT_EQ(Transaction(*BuildDc5(0x50, 9)), (std::vector<uint8_t>{5, 1, 9}));
    EXPECT_EQ(Transaction(*BuildDc9(0x50, {0x00, 0x00, 0x02, 0x22, 0x22})),
              (std::vector<uint8_t>{9, 5, 0x00, 0x00, 0x02, 0x22, 0x22}));
    EXPECT_EQ(Transaction(*BuildDc14(0x50)), (std::vector<uint8_t>{14, 1, 0}));
    EXPECT_EQ(Transaction(*BuildDc15(0x50)), (std::vector<uint8_t>{15, 1, 0}));

    std::vector<uint8_t> dc7 = Transaction(*BuildDc7(0x50, Zarn_decimals{3, 2, 1}));
    ASSERT_EQ(dc7.size(), 53u);
    EXPECT_EQ(dc7[0], 7);
    EXPECT_EQ(dc7[1], 51);
    EXPECT_EQ(dc7[2 + 22], 3);
    EXPECT_EQ(dc7[2 + 23], 2);
    EXPECT_EQ(dc7[2 + 24], 1);
}

TEST(TransactionsTest, TotalCounterTable)
{
    Nozzle_totals totals;
    for (int n = 0; n < 15; ++n) {
        totals.volume[n] = BCD(5, 2, 100 * (n + 1));   // nozzle k: k.00 litres
        totals.amount[n] = BCD(5, 2, 1000 * (n + 1));  // nozzle k: 10k.00
        totals.fillings[n] = BCD(5, 0, n + 1);
    }
    auto fields = [&](uint8_t counter) { return Transaction(*BuildDc101(0x50, counter, totals)); };
    auto five = [](uint64_t value) {
        std::vector<uint8_t> bytes(5);
        BCD(5, 0, value).Pack(bytes.data());
        return bytes;
    };
    auto expect = [&](uint8_t counter, uint64_t a, uint64_t b) {
        std::vector<uint8_t> want{101, 16, counter};
        for (uint64_t v : {a, b, uint64_t{0}}) {
            auto packed = five(v);
            want.insert(want.end(), packed.begin(), packed.end());
        }
        EXPECT_EQ(fields(counter), want) << "counter " << int(counter);
    };
    expect(1, 100, 100);
    expect(8, 800, 800);
    expect(9, 3600, 0);            // nozzles 1-8 only: 1+...+8 = 36.00
    expect(10, 900, 9000);         // nozzle 9
    expect(16, 1500, 15000);       // nozzle 15
    expect(17, 1000, 1);           // nozzle 1 amount, fillings
    expect(24, 8000, 8);
    expect(25, 36000, 36);
    expect(0, 0, 0);
    expect(26, 0, 0);
    expect(255, 0, 0);
}

TEST(TransactionsTest, RubbishIsShortRandomData)
{
    std::mt19937 random(7);
    bool saw_empty_or_short = false;
    for (int i = 0; i < 200; ++i) {
        auto block = BuildRubbish(0x52, random);
        ASSERT_GE(block->length, 2);
        ASSERT_LE(block->length, 2 + 29);
        EXPECT_EQ(block->bytes[0], 0x52);
        for (size_t k = 2; k < block->length; ++k)
            EXPECT_NE(block->bytes[k], 0xFF);
        saw_empty_or_short |= block->length < 5;
    }
    EXPECT_TRUE(saw_empty_or_short);
}

TEST(TransactionsTest, ReceiveErrorRecord)
{
    Rx_error_record record;
    Message block = Block({1, 1, 7});
    std::time_t now = std::time(nullptr);
    RecordRxError(record, "CD1 Unknown command", block, false, now);
    EXPECT_EQ(record.Count(), 1);
    EXPECT_TRUE(record.Lines().empty());

    RecordRxError(record, "CD1 Unknown command", block, true, now);
    EXPECT_EQ(record.Count(), 2);
    const std::vector<std::string> lines = record.Lines();
    ASSERT_EQ(lines.size(), 3u);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%y%m%d %H:%M:%S", &local);
    EXPECT_EQ(lines[0], std::string(stamp) + "CD1 Unknown command");
    EXPECT_EQ(lines[1], "50 30 01 01 07 ");
    EXPECT_EQ(lines[2], "");
}
