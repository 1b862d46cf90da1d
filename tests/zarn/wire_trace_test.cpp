// The wire trace of a Zarn line end to end: the test plays the controller (with a converter that
// echoes the pump's replies) and reads back what the trace says about every block.
#include <sstream>
#include <string>

#include "platform/logfile.h"
#include "link_fixture.h"
#include "support/wait.h"
#include "zarn/zarn_interpreter.h"

namespace {

// The value of a field of a trace line: the text of a string, or a number / null as written.
std::string Field(const std::string& line, const std::string& key)
{
    const std::string quoted_key = "\"" + key + "\":";
    const size_t at = line.find(quoted_key);
    if (at == std::string::npos)
        return "";
    size_t from = at + quoted_key.size();
    if (line[from] == '"') {
        const size_t end = line.find('"', from + 1);
        return line.substr(from + 1, end - from - 1);
    }
    const size_t end = line.find_first_of(",}", from);
    return line.substr(from, end - from);
}

std::vector<std::string> TraceLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// "50 20 FA" for the bytes.
std::string Hex(const Bytes& bytes)
{
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += (text.empty() ? "" : " ") + std::string(digits);
    }
    return text;
}

// One expected trace line: direction, verdict, and the line bytes.
struct Expected {
    std::string dir;
    std::string verdict;
    Bytes bytes;
};

}  // namespace

TEST_F(LinkTest, TraceHoldsEveryBlockWithItsVerdictInOrder)
{
    Restart(true);  // a converter hands every reply back
    TempDir dir;
    const std::string path = dir.File("trace.jsonl");
    ASSERT_TRUE(io_->Trace().Start(path));

    const Bytes poll = ZarnControlBlock(kPump1, 0x20);
    const Bytes eot{0x50, 0x70, 0xFA};
    ASSERT_EQ(Exchange(poll), eot);
    pty_.Send(eot);  // the echo
    ASSERT_EQ(Poll(), eot);
    pty_.Send(eot);

    Bytes bad_crc = ZarnDataBlock(kPump1, 0, {1, 1, 6});
    bad_crc[bad_crc.size() - 4] ^= 0x01;  // the CRC's low byte
    ExpectNoAnswer(bad_crc);

    const Bytes good_data = ZarnDataBlock(kPump1, 0, {1, 1, 6});
    const Bytes ack0 = ZarnControlBlock(kPump1, 0xC0);
    ASSERT_EQ(Exchange(good_data), ack0);
    pty_.Send(ack0);

    const Bytes out_of_turn = ZarnDataBlock(kPump1, 5, {1, 1, 0});  // block 1 is expected
    const Bytes nak5 = ZarnControlBlock(kPump1, 0x55);
    ASSERT_EQ(Exchange(out_of_turn), nak5);
    ExpectNoAnswer(poll);  // not the echo of the NAK: discarded
    pty_.Send(nak5);       // the echo

    const Bytes for_nobody = ZarnControlBlock(0x57, 0x20);
    ExpectNoAnswer(for_nobody);
    // A reply holding 0xFA goes out stuffed; the trace shows the bytes as they passed.
    const Bytes stuffed = PostAndPoll({1, 1, 0xFA});
    ASSERT_EQ(stuffed, PumpData(0, {1, 1, 0xFA}));
    pty_.Send(stuffed);
    const Bytes ack_of_reply = ZarnControlBlock(kPump1, 0xC0);
    Ack(0);

    const std::vector<Expected> expected{
        {"rx", "good", poll},           {"tx", "good", eot},      {"rx", "echo", eot},
        {"rx", "good", poll},           {"tx", "good", eot},      {"rx", "echo", eot},
        {"rx", "bad_crc", bad_crc},     {"rx", "good", good_data}, {"tx", "good", ack0},
        {"rx", "echo", ack0},           {"rx", "wrong_sequence", out_of_turn},
        {"tx", "nak", nak5},            {"rx", "echo_mismatch", poll}, {"rx", "echo", nak5},
        {"rx", "not_addressed", for_nobody}, {"rx", "good", poll}, {"tx", "good", stuffed},
        {"rx", "echo", stuffed},        {"rx", "good", ack_of_reply},
    };
    // The writer runs on its own; the lines arrive within its period.
    ASSERT_TRUE(WaitFor([&] { return TraceLines(path).size() >= expected.size(); }));
    io_->Trace().Stop();
    const std::vector<std::string> lines = TraceLines(path);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i) + ": " + lines[i]);
        EXPECT_EQ(Field(lines[i], "dir"), expected[i].dir);
        EXPECT_EQ(Field(lines[i], "verdict"), expected[i].verdict);
        EXPECT_EQ(Field(lines[i], "hex"), Hex(expected[i].bytes));
    }
    // The wrong sequence number and its NAK name the number expected, and why.
    EXPECT_EQ(Field(lines[10], "expected"), "1");
    EXPECT_EQ(Field(lines[11], "expected"), "1");
    EXPECT_EQ(Field(lines[11], "why"), "wrong block number 5, expected 1 (or 0)");
    EXPECT_EQ(Field(lines[0], "pump"), "1");
    EXPECT_EQ(Field(lines[14], "pump"), "8");
    const Bytes poll_block{0x50, 0x20};
    EXPECT_EQ(Field(lines[0], "text"), ZarnInterpretedText(poll_block.data(), poll_block.size(), 0));
    const Bytes reply_block = ZarnWithCrc({0x50, 0x30, 1, 1, 0xFA});
    EXPECT_EQ(Field(lines[16], "text"), ZarnInterpretedText(reply_block.data(), reply_block.size(), 1))
        << "the stuffed reply is read unstuffed";
    // Time stamps never run backwards.
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_LE(std::stod(Field(lines[i - 1], "ms")), std::stod(Field(lines[i], "ms")));
}

TEST_F(LinkTest, TraceTellsInjectedErrorsResendsAndOverflow)
{
    TempDir dir;
    const std::string path = dir.File("trace.jsonl");
    ASSERT_TRUE(io_->Trace().Start(path));

    line_->SetLinkError(101, 1);  // the next reply with a wrong CRC
    const Bytes first = PostAndPoll({1, 1, 2});
    const Bytes again = Poll();  // not acknowledged: sent again
    ASSERT_EQ(again, first);
    Ack(0);
    line_->SetLinkError(100, 1);  // the next block ignored
    ExpectNoAnswer(ZarnControlBlock(kPump1, 0x20));

    Bytes rubbish(300, 0x41);  // no SF for longer than any block
    rubbish.push_back(0xFA);
    pty_.Send(rubbish);
    ASSERT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));

    const std::vector<std::pair<std::string, std::string>> expected{
        {"rx", "good"}, {"tx", "bad_crc_injected"}, {"rx", "good"}, {"tx", "resent"}, {"rx", "good"},
        {"rx", "ignored"}, {"rx", "overflow"}, {"rx", "not_addressed"}, {"rx", "good"}, {"tx", "good"},
    };
    ASSERT_TRUE(WaitFor([&] { return TraceLines(path).size() >= expected.size(); }));
    io_->Trace().Stop();
    const std::vector<std::string> lines = TraceLines(path);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i) + ": " + lines[i]);
        EXPECT_EQ(Field(lines[i], "dir"), expected[i].first);
        EXPECT_EQ(Field(lines[i], "verdict"), expected[i].second);
    }
    // The overflow shows the 256 bytes the cutter dropped; the rest of the rubbish made a block
    // of 44 bytes that nobody is addressed by ('A' is no pump of this loop).
    EXPECT_EQ(Field(lines[6], "hex"), Hex(Bytes(256, 0x41)));
    EXPECT_EQ(Field(lines[7], "hex"), Hex(Bytes(44, 0x41)) + " FA");
}

TEST_F(LinkTest, RemovingTheLoopEndsItsTraceWithEveryFrameWritten)
{
    TempDir dir;
    const std::string path = dir.File("trace.jsonl");
    ASSERT_TRUE(io_->Trace().Start(path));
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Poll(), (Bytes{0x50, 0x70, 0xFA}));
    Stop();  // the I/O object goes with its trace still running
    EXPECT_EQ(TraceLines(path).size(), 40u) << "every poll and every EOT";
    EXPECT_FALSE(Logfile::IsOpenAsLog(path)) << "the file is free again";
}
