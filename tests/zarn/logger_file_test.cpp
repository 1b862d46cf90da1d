#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "support/pty_controller.h"
#include "zarn/zarn_logger.h"

namespace {

Message Block(std::vector<uint8_t> bytes, int direction)
{
    Message m;
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
    m.length = static_cast<uint16_t>(bytes.size());
    m.direction = direction;
    return m;
}

// The file's lines without their CR LF; fails the test when a line lacks the CR.
std::vector<std::string> CrLfLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "line without CR LF: " << text.substr(start);
        if (end == std::string::npos)
            break;
        EXPECT_EQ(text.substr(start, end - start).find('\n'), std::string::npos);
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// True when `line` is `prefix`, a date written between `from` and `to`, then one space.
bool DatedLine(const std::string& line, const std::string& prefix, std::time_t from, std::time_t to)
{
    for (std::time_t t = from; t <= to; ++t) {
        if (line == prefix + DateText24(t) + " ")
            return true;
    }
    return false;
}

const std::vector<std::string> kHeaderFor13 = {
    "*********************************************************",
    "*  Logfile from Gallion                                 *",
    "*                                                       *",
    "*      Protocol        : Zarn                           *",
    "*      Pump nr         : 13                             *",
    "*      Address         : 0x5C                           *",
};

TEST(ZarnLogger, HeaderBlocksOfItsPumpAndClosingLines)
{
    TempDir dir;
    const std::string path = dir.File("Pump 13.log");
    const std::time_t before = WallSeconds();
    {
        Logger logger(path, 0x5C, true);
        logger.Log(Block({0x5C, 0xC1}, 0));
        logger.Log(Block({0x5D, 0xC1}, 0));  // another pump: not in this log
        logger.Log(Block({0x5C, 0x31, 0x01, 0x01, 0x02, 0x00, 0x00, 0x03}, 1));
        logger.Log(Block({0x5C}, 0));        // a lone byte of noise still becomes a line
        logger.Log(Block({}, 0));            // an empty block does not
    }
    const std::time_t after = WallSeconds();

    const std::vector<std::string> lines = CrLfLines(ReadWholeFile(path));
    ASSERT_EQ(lines.size(), 13u);
    for (size_t i = 0; i < kHeaderFor13.size(); ++i) {
        EXPECT_EQ(lines[i], kHeaderFor13[i]);
        EXPECT_EQ(lines[i].size(), 57u);
    }
    EXPECT_TRUE(DatedLine(lines[6], "*      Logging started : ", before, after)) << lines[6];
    EXPECT_EQ(lines[7], std::string(57, '*'));
    // Received blocks appear without the "* " the view puts in front of them.
    EXPECT_EQ(lines[8], "<P13 ACK 1>");
    EXPECT_EQ(lines[9], "<P13 DATA 1><DC1: Authorized>");
    EXPECT_EQ(lines[10], "5C ");
    EXPECT_EQ(lines[11], std::string(57, '*'));
    EXPECT_TRUE(DatedLine(lines[12], "Logging aborted at ", before, after)) << lines[12];
}

TEST(ZarnLogger, HexLogAndFieldsOfOtherAddresses)
{
    TempDir dir;
    const std::string path = dir.File("hex.log");
    {
        Logger logger(path, 0x6F, false);
        logger.Log(Block({0x6F, 0x31, 0x01, 0x01, 0x02, 0xAB, 0xCD, 0x03}, 1));
    }
    const std::vector<std::string> lines = CrLfLines(ReadWholeFile(path));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[4], "*      Pump nr         : 32                             *");
    EXPECT_EQ(lines[5], "*      Address         : 0x6F                           *");
    EXPECT_EQ(lines[8], "6F 31 01 01 02 AB CD 03 ");

    // Whatever address a caller passes, the header keeps its frame of 57 characters.
    for (uint8_t address : {uint8_t(0x00), uint8_t(0x4F), uint8_t(0xFF)}) {
        EXPECT_EQ(Logger::FieldLine("Pump nr", Logger::PumpNumberText(address)).size(), 57u);
        EXPECT_EQ(Logger::FieldLine("Address", Logger::AddressText(address)).size(), 57u);
    }
    EXPECT_EQ(Logger::FieldLine("Pump nr", "12345678901").size(), 57u);
}

TEST(ZarnLogger, ReadableWhileWrittenAndReplacedOnRestart)
{
    TempDir dir;
    const std::string path = dir.File("Pump 1.log");
    {
        Logger first(path, 0x50, true);
        first.Log(Block({0x50, 0xC0}, 0));
        first.Log(Block({0x50, 0xC1}, 0));
    }
    ASSERT_NE(ReadWholeFile(path).find("<P1 ACK 1>"), std::string::npos);

    Logger second(path, 0x50, true);
    second.Log(Block({0x50, 0x52}, 1));
    // Another reader opens the file while the log is open and sees every line written so far.
    std::ifstream reader(path, std::ios::binary);
    ASSERT_TRUE(reader.is_open());
    std::stringstream seen;
    seen << reader.rdbuf();
    const std::vector<std::string> lines = CrLfLines(seen.str());
    ASSERT_EQ(lines.size(), 9u);  // header of 8 lines and one block; the old log is gone
    EXPECT_EQ(lines[8], "<P1 NAK 2>");
}

TEST(ZarnLogger, FileThatCannotBeCreatedRaises)
{
    TempDir dir;
    EXPECT_THROW(Logger(dir.File("no such folder/Pump 1.log"), 0x50, true), Gallion_error);
}

}  // namespace
