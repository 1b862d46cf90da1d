#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zarn/zarn_interpreter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A stored DATA block: ADR, CTRL, the transactions, CRC low, CRC high, ETX.
Bytes DataBlock(uint8_t address, uint8_t sequence, const Bytes& transactions)
{
    Bytes block;
    block.reserve(transactions.size() + 5);
    block.push_back(address);
    block.push_back(static_cast<uint8_t>(0x30 | sequence));
    block.insert(block.end(), transactions.begin(), transactions.end());
    block.push_back(0x12);  // the interpreter does not check the CRC; any value will do
    block.push_back(0x34);
    block.push_back(0x03);
    return block;
}

std::string Interpreted(const Bytes& block, int direction)
{
    return ZarnInterpretedText(block.data(), block.size(), direction);
}

std::string Command(const Bytes& transactions)
{
    return Interpreted(DataBlock(0x50, 0, transactions), 0);
}

std::string Reply(const Bytes& transactions)
{
    return Interpreted(DataBlock(0x50, 0, transactions), 1);
}

Bytes WithData(uint8_t trans, uint8_t lng, uint8_t first_byte = 0)
{
    Bytes t{trans, lng};
    for (int i = 0; i < lng; ++i)
        t.push_back(i == 0 ? first_byte : 0);
    return t;
}

std::string Unable(const Bytes& block)
{
    return "<Unable to interpret transaction " + ZarnHexText(block.data(), block.size()) + ">";
}

TEST(ZarnInterpreter, HexTextIsUpperCaseWithTrailingSpaces)
{
    const Bytes block{0x50, 0x20};
    EXPECT_EQ(ZarnHexText(block.data(), block.size()), "50 20 ");
    const Bytes data = DataBlock(0x5A, 0xB, {0x01, 0x01, 0xFA});
    EXPECT_EQ(ZarnHexText(data.data(), data.size()), "5A 3B 01 01 FA 12 34 03 ");

    Message message;
    message.bytes[0] = 0xAB;
    message.bytes[1] = 0xCD;
    message.length = 2;
    EXPECT_EQ(ZarnHexText(message), "AB CD ");
}

TEST(ZarnInterpreter, ControlBlocksOfBothDirections)
{
    EXPECT_EQ(Interpreted({0x50, 0x20}, 0), "<P1 POLL>");
    EXPECT_EQ(Interpreted({0x5B, 0xC3}, 1), "<P12 ACK 3>");
    EXPECT_EQ(Interpreted({0x6F, 0x5F}, 0), "<P32 NAK F>");
    EXPECT_EQ(Interpreted({0x5C, 0x2A}, 0), "<P13 POLL>");
    EXPECT_EQ(Interpreted({0x50, 0xCA}, 0), "<P1 ACK A>");
}

TEST(ZarnInterpreter, BlocksWithoutWordsFallBackToHexText)
{
    EXPECT_EQ(Interpreted({0x50, 0xE1}, 0), "50 E1 ");
    EXPECT_EQ(Interpreted({0x50, 0x70}, 1), "50 70 ");
    EXPECT_EQ(Interpreted({0x50, 0x10, 0x99}, 0), "50 10 99 ");
    // Line noise: a lone byte, a DATA block without room for CRC and ETX.
    EXPECT_EQ(Interpreted({0x50}, 0), "50 ");
    EXPECT_EQ(Interpreted({0x50, 0x31}, 0), "50 31 ");
    EXPECT_EQ(Interpreted({0x50, 0x31, 0x01, 0x01}, 1), "50 31 01 01 ");
    EXPECT_EQ(ZarnInterpretedText(nullptr, 0, 0), "");
}

TEST(ZarnInterpreter, ExamplesOfDataBlocks)
{
    EXPECT_EQ(Reply({0x01, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x11}),
              "<P1 DATA 0><DC1: Authorized><DC3 Nozzle 1 out>");
    EXPECT_EQ(Command({0x02, 0x02, 0x01, 0x03}), "<P1 DATA 0><CD2 Allowed nozzles 1 3>");
    // A DATA block that holds nothing but CRC and ETX has no transactions to show.
    EXPECT_EQ(Command({}), "<P1 DATA 0>");
    EXPECT_EQ(Interpreted(DataBlock(0x5B, 0xF, {0x01, 0x01, 0x05}), 0), "<P12 DATA F><CD1 Reset>");
}

TEST(ZarnInterpreter, EveryMasterCommand)
{
    const std::vector<std::pair<int, std::string>> cd1 = {
        {0, "<CD1 Return status>"}, {2, "<CD1 Return pump parameters>"},
        {3, "<CD1 Return pump identity>"}, {4, "<CD1 Return filling information>"},
        {5, "<CD1 Reset>"}, {6, "<CD1 Authorize>"}, {8, "<CD1 Stop>"}, {10, "<CD1 Switch off>"},
        {13, "<CD1 Suspend>"}, {14, "<CD1 Resume>"}, {1, ""}, {7, ""}, {255, ""}};
    for (const auto& [code, text] : cd1)
        EXPECT_EQ(Command({0x01, 0x01, static_cast<uint8_t>(code)}), "<P1 DATA 0>" + text) << code;

    EXPECT_EQ(Command({0x02, 0x00}), "<P1 DATA 0><CD2 Allowed nozzles>");
    EXPECT_EQ(Command({0x02, 0x03, 0x0E, 0x01, 0x05}), "<P1 DATA 0><CD2 Allowed nozzles 14 1 5>");
    EXPECT_EQ(Command(WithData(3, 4)), "<P1 DATA 0><CD3 Preset volume>");
    EXPECT_EQ(Command(WithData(4, 4)), "<P1 DATA 0><CD4 Preset amount>");
    EXPECT_EQ(Command(WithData(5, 6)), "<P1 DATA 0><CD5 Price update>");
    EXPECT_EQ(Command(WithData(7, 2)), "<P1 DATA 0><CD7 Command to output>");
    EXPECT_EQ(Command(WithData(9, 51)), "<P1 DATA 0><CD9 Set pump parameters>");
    EXPECT_EQ(Command(WithData(13, 3)), "<P1 DATA 0>");
    EXPECT_EQ(Command(WithData(14, 1)), "<P1 DATA 0><CD14 Suspend request>");
    EXPECT_EQ(Command(WithData(15, 1)), "<P1 DATA 0><CD15 Resume request>");
    EXPECT_EQ(Command(WithData(101, 1, 9)), "<P1 DATA 0><CD101 Request Volume Total Counter 09>");
    EXPECT_EQ(Command(WithData(101, 1, 0x0A)), "<P1 DATA 0><CD101 Request Amount Total Counter 0A>");
    EXPECT_EQ(Command(WithData(101, 1, 0x1F)), "<P1 DATA 0><CD101 Request Amount Total Counter 1F>");

    // Several commands in one block, in order.
    EXPECT_EQ(Command({0x01, 0x01, 0x05, 0x02, 0x01, 0x02, 0x01, 0x01, 0x06}),
              "<P1 DATA 0><CD1 Reset><CD2 Allowed nozzles 2><CD1 Authorize>");
}

TEST(ZarnInterpreter, UnknownCommandStopsReadingWithTheWholeBlock)
{
    const Bytes block = DataBlock(0x50, 2, {0x01, 0x01, 0x06, 0x06, 0x00, 0x01, 0x01, 0x05});
    EXPECT_EQ(Interpreted(block, 0), "<P1 DATA 2><CD1 Authorize>" + Unable(block));
    // Reply codes that are no command codes.
    const Bytes dc101 = DataBlock(0x50, 0, {0x64, 0x01, 0x01});
    EXPECT_EQ(Interpreted(dc101, 0), "<P1 DATA 0>" + Unable(dc101));
}

TEST(ZarnInterpreter, EveryPumpReplyWithItsLength)
{
    const std::vector<std::pair<int, std::string>> dc1 = {
        {0, "<DC1: Pump not programmed>"}, {1, "<DC1: Reset>"}, {2, "<DC1: Authorized>"},
        {4, "<DC1: Filling>"}, {5, "<DC1: Filling completed>"}, {6, "<DC1: Max am/vol reached>"},
        {7, "<DC1: Switched off>"}, {8, "<DC1: Suspended>"}, {3, ""}, {9, ""}};
    for (const auto& [status, text] : dc1)
        EXPECT_EQ(Reply({0x01, 0x01, static_cast<uint8_t>(status)}), "<P1 DATA 0>" + text) << status;

    EXPECT_EQ(Reply(WithData(2, 8)), "<P1 DATA 0><DC2 Filled vol&amt>");
    EXPECT_EQ(Reply({0x03, 0x04, 0x01, 0x23, 0x45, 0x1F}), "<P1 DATA 0><DC3 Nozzle F out>");
    EXPECT_EQ(Reply({0x03, 0x04, 0x01, 0x23, 0x45, 0x0C}), "<P1 DATA 0><DC3 Nozzle C in>");
    EXPECT_EQ(Reply({0x03, 0x04, 0x00, 0x00, 0x00, 0x00}), "<P1 DATA 0><DC3 Nozzle 0 in>");
    EXPECT_EQ(Reply(WithData(7, 51)), "<P1 DATA 0><Pump parameters>");
    EXPECT_EQ(Reply(WithData(9, 5)), "<P1 DATA 0><Pump identity>");
    EXPECT_EQ(Reply(WithData(14, 1)), "<P1 DATA 0><DC14 Suspend reply>");
    EXPECT_EQ(Reply(WithData(15, 1)), "<P1 DATA 0><DC15 Resume reply>");
    EXPECT_EQ(Reply(WithData(101, 16, 1)), "<P1 DATA 0><DC101 Volume Total Counter 01>");
    EXPECT_EQ(Reply(WithData(101, 16, 0x11)), "<P1 DATA 0><DC101 Amount Total Counter 11>");

    // The same codes with another length are not read.
    for (const Bytes& wrong : {WithData(1, 2), WithData(2, 7), WithData(3, 5), WithData(5, 2),
                               WithData(7, 50), WithData(9, 4), WithData(14, 0), WithData(15, 2),
                               WithData(101, 15), WithData(4, 1), WithData(13, 0)}) {
        const Bytes block = DataBlock(0x50, 0, wrong);
        EXPECT_EQ(Interpreted(block, 1), "<P1 DATA 0>" + Unable(block)) << int(wrong[0]);
    }
}

TEST(ZarnInterpreter, AlarmTexts)
{
    const std::vector<std::pair<int, std::string>> alarms = {
        {1, "CPU reset>"}, {3, "RAM error>"}, {4, "PROM checksum error>"}, {6, "Pulser error>"},
        {7, "Pulser current error>"}, {9, "Emergency stop>"}, {10, "Power failure>"},
        {11, "Pressure lost>"}, {12, "Blend ration error>"}, {13, "Low leak error>"},
        {14, "High leak error>"}, {16, "VAP ok>"}, {17, "VAP alarm>"}, {18, "VAP error>"},
        {19, "VAP device error>"}, {20, "Low Tank level>"}, {21, "Low Tank level Ok>"},
        {0, "Unknown alarm>"}, {2, "Unknown alarm>"}, {15, "Unknown alarm>"}, {22, "Unknown alarm>"},
        {255, "Unknown alarm>"}};
    for (const auto& [code, text] : alarms)
        EXPECT_EQ(Reply({0x05, 0x01, static_cast<uint8_t>(code)}), "<P1 DATA 0><DC5 Alarm Code " + text)
            << code;
}

TEST(ZarnInterpreter, TransactionsRunningPastTheBlockAreNeverRead)
{
    // LNG larger than what is left before CRC and ETX, in both directions.
    const Bytes long_cd2 = DataBlock(0x50, 1, {0x02, 0x09, 0x01});
    EXPECT_EQ(Interpreted(long_cd2, 0), "<P1 DATA 1>" + Unable(long_cd2));
    const Bytes long_dc2 = DataBlock(0x50, 1, {0x01, 0x01, 0x02, 0x02, 0x08, 0x00});
    EXPECT_EQ(Interpreted(long_dc2, 1), "<P1 DATA 1><DC1: Authorized>" + Unable(long_dc2));
    // A transaction code alone, its LNG lying in the CRC.
    const Bytes lone_trans = DataBlock(0x50, 1, {0x01});
    EXPECT_EQ(Interpreted(lone_trans, 0), "<P1 DATA 1>" + Unable(lone_trans));
    // CD1 and CD101 without their data byte.
    const Bytes empty_cd1 = DataBlock(0x50, 1, {0x01, 0x00});
    EXPECT_EQ(Interpreted(empty_cd1, 0), "<P1 DATA 1>" + Unable(empty_cd1));
    const Bytes empty_cd101 = DataBlock(0x50, 1, {0x65, 0x00});
    EXPECT_EQ(Interpreted(empty_cd101, 0), "<P1 DATA 1>" + Unable(empty_cd101));

    // The interpreter sees only `length` bytes: whatever lies behind them in the buffer is never
    // used, even when it would make the transaction complete.
    Message message;
    const Bytes stored{0x50, 0x30, 0x02, 0x05, 0x01, 0xAA, 0xBB, 0x03, 0x04, 0x05, 0x06, 0x07};
    std::copy(stored.begin(), stored.end(), message.bytes.begin());
    message.length = 8;
    message.direction = 0;
    const Bytes seen(stored.begin(), stored.begin() + 8);
    EXPECT_EQ(ZarnInterpretedText(message), "<P1 DATA 0>" + Unable(seen));
}

TEST(ZarnInterpreter, AnyBytesGiveSomeTextWithinTheBlock)
{
    // Every prefix of a busy block and every block of random bytes: the result stays within the
    // block's own bytes (checked by the sanitizers in CI) and is never empty.
    Bytes busy = DataBlock(0x51, 4, {0x01, 0x01, 0x04, 0x02, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x03, 0x04, 0, 0, 0, 0x12});
    for (size_t n = 1; n <= busy.size(); ++n) {
        const Bytes prefix(busy.begin(), busy.begin() + n);
        EXPECT_FALSE(Interpreted(prefix, 1).empty()) << n;
        EXPECT_FALSE(Interpreted(prefix, 0).empty()) << n;
    }
    uint32_t state = 12345;
    for (int round = 0; round < 2000; ++round) {
        state = state * 1103515245u + 12345u;
        Bytes noise(1 + state % 40);
        for (auto& b : noise) {
            state = state * 1103515245u + 12345u;
            b = static_cast<uint8_t>(state >> 16);
        }
        noise[1 % noise.size()] = static_cast<uint8_t>(0x30 | (noise[1 % noise.size()] & 0x0F));
        EXPECT_FALSE(Interpreted(noise, round % 2).empty());
    }
}

}  // namespace
