// The wire trace of a current-loop line end to end: the test plays the controller and reads back
// what the trace says about every frame.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cl_test_frames.h"
#include "support/wait.h"

using namespace cltest;

namespace {

std::string Field(const std::string& line, const std::string& key)
{
    const std::string quoted_key = "\"" + key + "\":";
    const size_t at = line.find(quoted_key);
    if (at == std::string::npos)
        return "";
    size_t from = at + quoted_key.size();
    if (line[from] == '"')
        return line.substr(from + 1, line.find('"', from + 1) - from - 1);
    return line.substr(from, line.find_first_of(",}", from) - from);
}

std::vector<std::string> TraceLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += (text.empty() ? "" : " ") + std::string(digits);
    }
    return text;
}

}  // namespace

TEST(ClWireTrace, EveryFrameWithItsVerdictAndTheRepliesAfterTheirRequests)
{
    Loop loop(1, 3);
    ASSERT_EQ(0, loop.forecourt->CreatePump(0, loop.settings));
    TempDir dir;
    const std::string path = dir.File("trace.jsonl");
    ASSERT_TRUE(loop.forecourt->Trace().Start(path));

    const std::vector<uint8_t> poll = Poll(1);
    const std::vector<uint8_t> reply = loop.Ask(poll);
    ASSERT_EQ(reply.size(), 32u);
    std::vector<uint8_t> bad_crc = Poll(1);
    bad_crc[30] ^= 0x01;
    std::vector<uint8_t> long_frame = Poll(1);
    long_frame.insert(long_frame.begin() + 31, 'x');
    const std::vector<uint8_t> type4 = ControllerFrame(PumpAddress(1), '4', {{26, PumpAddress(1)}});
    const std::vector<uint8_t> for_pump3 = Poll(3);  // in the loop's range, but no pump there
    for (const auto& frame : {bad_crc, long_frame, type4, for_pump3}) {
        loop.line.Send(frame);
        EXPECT_TRUE(loop.line.Silent(100));
    }
    loop.Pump(0).InjectError(cl_error::kBadCrc, 1);
    const std::vector<uint8_t> broken_reply = loop.Ask(poll);
    ASSERT_EQ(broken_reply.size(), 32u);

    const std::vector<std::pair<std::string, std::string>> expected{
        {"rx", "good"},      {"tx", "good"},          {"rx", "bad_crc"}, {"rx", "malformed"},
        {"rx", "malformed"}, {"rx", "not_addressed"}, {"rx", "good"},    {"tx", "bad_crc_injected"},
    };
    ASSERT_TRUE(WaitFor([&] { return TraceLines(path).size() >= expected.size(); }));
    loop.forecourt->Trace().Stop();
    const std::vector<std::string> lines = TraceLines(path);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i) + ": " + lines[i]);
        EXPECT_EQ(Field(lines[i], "dir"), expected[i].first);
        EXPECT_EQ(Field(lines[i], "verdict"), expected[i].second);
    }
    EXPECT_EQ(Field(lines[0], "hex"), Hex(poll));
    EXPECT_EQ(Field(lines[1], "hex"), Hex(reply));
    EXPECT_EQ(Field(lines[7], "hex"), Hex(broken_reply));
    EXPECT_EQ(Field(lines[0], "text"), "<P1 CB3 RTU: 1>");
    EXPECT_EQ(Field(lines[1], "text"), "<P1 DB0>");
    EXPECT_EQ(Field(lines[1], "pump"), "1");
    EXPECT_EQ(Field(lines[3], "why"), "33 bytes instead of 32");
    EXPECT_EQ(Field(lines[4], "why"), "unknown message type 0x34");
    EXPECT_EQ(Field(lines[5], "pump"), "3");
}
