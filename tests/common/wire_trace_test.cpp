// The wire trace's own behaviour: the line format, drops counted where they happen, the file
// refused like a pump log's, and a prompt stop that writes everything that was recorded.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/logfile.h"
#include "engine/wire_trace.h"
#include "support/pty_controller.h"
#include "support/wait.h"

namespace {

// A protocol part that names the frame by its first byte.
class Test_describer : public Trace_describer {
public:
    std::string Text(const Trace_frame& frame) const override
    {
        return frame.length > 0 ? "frame " + std::to_string(frame.bytes[0]) : "";
    }
    std::string Why(const Trace_frame& frame) const override
    {
        return frame.verdict == Trace_verdict::nak ? "said \"no\"" : "";
    }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string StartError(Wire_trace& trace, const std::string& name)
{
    try {
        trace.Start(name);
    } catch (const Gallion_error& error) {
        return error.what();
    }
    return "";
}

void RecordByte(Wire_trace& trace, uint8_t byte)
{
    trace.Record(0, 0x50, Trace_verdict::good, -1, 1000000, &byte, 1);
}

}  // namespace

TEST(WireTraceTest, LineCarriesTimeDirectionPumpVerdictBytesAndText)
{
    Test_describer describer;
    Trace_frame frame;
    frame.wall_us = 1765207201123456;
    frame.direction = 1;
    frame.address = 0x51;
    frame.verdict = Trace_verdict::nak;
    frame.expected = 3;
    frame.length = 3;
    frame.bytes[0] = 0x51;
    frame.bytes[1] = 0x55;
    frame.bytes[2] = 0xFA;
    const std::string line = TraceLine(frame, describer);
    EXPECT_EQ(line.find("{\"ms\":1765207201123.456,\"time\":\""), 0u) << line;
    EXPECT_NE(line.find("\",\"dir\":\"tx\",\"addr\":\"51\",\"pump\":2,\"verdict\":\"nak\",\"expected\":3,"
                        "\"why\":\"said \\\"no\\\"\",\"hex\":\"51 55 FA\",\"text\":\"frame 81\"}"),
              std::string::npos)
        << line;

    // A byte that names no pump, a received frame whose bytes did not all fit.
    frame.direction = 0;
    frame.address = 0x20;
    frame.verdict = Trace_verdict::overflow;
    frame.expected = -1;
    frame.cut = 7;
    const std::string cut_line = TraceLine(frame, describer);
    EXPECT_NE(cut_line.find("\"dir\":\"rx\",\"addr\":\"20\",\"pump\":null,\"verdict\":\"overflow\",\"hex\":\"51 55 FA\","
                            "\"cut\":7,"),
              std::string::npos)
        << cut_line;
}

TEST(WireTraceTest, FramesThatFindTheBufferFullAreCountedWhereTheyWentMissing)
{
    TempDir dir;
    Test_describer describer;
    Wire_trace trace(describer, 4);
    ASSERT_TRUE(trace.Start(dir.File("trace.jsonl")));
    trace.HoldWriterForTest(true);
    for (uint8_t byte = 1; byte <= 10; ++byte)
        RecordByte(trace, byte);
    EXPECT_EQ(trace.DropCount(), 6u);
    trace.HoldWriterForTest(false);
    const std::string name = dir.File("trace.jsonl");
    ASSERT_TRUE(WaitFor([&] { return Lines(ReadWholeFile(name)).size() == 5; }));
    RecordByte(trace, 11);
    trace.Stop();

    const std::vector<std::string> lines = Lines(ReadWholeFile(dir.File("trace.jsonl")));
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(lines[i].find("\"text\":\"frame " + std::to_string(i + 1) + "\""), std::string::npos) << lines[i];
    // The drops stand between the last frame kept and the first one after them.
    const bool drops_then_frame = lines[4] == "{\"drops\":6}" && lines[5].find("frame 11") != std::string::npos;
    EXPECT_TRUE(drops_then_frame) << lines[4] << "\n" << lines[5];
}

// A disk that fills up mid-trace (here a file size limit: writes beyond it fail as on a full
// disk): the half-written lines are taken back, the frames lost are counted up to the end, the
// trace ends with a closing line saying so, and Stop reports it.
TEST(WireTraceTest, AFullDiskLeavesWholeLinesAndAClosingRecordOfWhatWasLost)
{
    TempDir dir;
    Test_describer describer;
    Wire_trace trace(describer);
    const std::string name = dir.File("trace.jsonl");
    ASSERT_TRUE(trace.Start(name));
    for (uint8_t byte = 1; byte <= 3; ++byte)
        RecordByte(trace, byte);
    ASSERT_TRUE(WaitFor([&] { return Lines(ReadWholeFile(name)).size() == 3; }));
    const size_t written = ReadWholeFile(name).size();

    rlimit old_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct sigaction ignore {}, old_action {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old_action);
    rlimit limit = old_limit;
    limit.rlim_cur = written + 200;  // room for the closing line, not for ten frames
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    trace.HoldWriterForTest(true);
    for (uint8_t byte = 4; byte <= 13; ++byte)
        RecordByte(trace, byte);
    trace.HoldWriterForTest(false);
    const bool failed = WaitFor([&] { return !trace.WriteFailureText().empty(); });
    RecordByte(trace, 14);  // after the failure: counted, not written
    RecordByte(trace, 15);
    const std::string failure = trace.Stop();
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &old_action, nullptr);

    ASSERT_TRUE(failed);
    EXPECT_EQ(failure, "Writing trace file \"" + name + "\" failed: File too large; 12 frames lost");
    const std::string text = ReadWholeFile(name);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << text;
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 4u) << text;
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(lines[i].find("\"text\":\"frame " + std::to_string(i + 1) + "\"}"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[3], "{\"write_error\":\"File too large\",\"lost_frames\":12}");
    EXPECT_EQ(trace.WriteFailureText(), "") << "the trace has ended";
}

TEST(WireTraceTest, FileIsRefusedWhenItIsNoRegularFileOrAlreadyInUse)
{
    TempDir dir;
    Test_describer describer;
    Wire_trace first(describer);
    Wire_trace second(describer);

    const std::string fifo = dir.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(StartError(first, fifo), "Cannot create trace file \"" + fifo + "\": not a regular file");
    EXPECT_FALSE(first.Active());
    EXPECT_EQ(StartError(first, dir.Path()), "Cannot create trace file \"" + dir.Path() + "\": not a regular file");

    // A pump log is never a trace, and a trace never a pump log or another loop's trace.
    const std::string log_name = dir.File("Pump 1.log");
    auto log = std::make_unique<Logfile>(log_name);
    log->WriteLine("pump 1");
    EXPECT_NE(StartError(first, log_name).find("already open as the log of another pump"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(log_name), "pump 1\r\n") << "the refusal must not empty the log";

    const std::string trace_name = dir.File("trace.jsonl");
    ASSERT_TRUE(first.Start(trace_name));
    EXPECT_FALSE(first.Start(dir.File("other.jsonl"))) << "a second Start while tracing";
    EXPECT_EQ(first.FileName(), trace_name);
    EXPECT_NE(StartError(second, trace_name).find("already open as the wire trace of a loop"), std::string::npos);
    try {
        Logfile refused(trace_name);
        ADD_FAILURE() << "a pump log was opened on a running trace";
    } catch (const Gallion_error& error) {
        EXPECT_NE(std::string(error.what()).find("already open as the wire trace of a loop"), std::string::npos);
    }
    first.Stop();
    EXPECT_EQ(first.FileName(), "");
    EXPECT_EQ(StartError(second, trace_name), "") << "the file is free once the trace stopped";
}

TEST(WireTraceTest, StopIsPromptAndWritesEveryFrameRecorded)
{
    TempDir dir;
    Test_describer describer;
    Wire_trace trace(describer);
    for (int run = 0; run < 2; ++run) {  // a trace can be started again after a stop
        const std::string name = dir.File("trace" + std::to_string(run) + ".jsonl");
        ASSERT_TRUE(trace.Start(name));
        for (int i = 0; i < 500; ++i)
            RecordByte(trace, static_cast<uint8_t>(i));
        const auto before = std::chrono::steady_clock::now();
        trace.Stop();
        const auto took = std::chrono::steady_clock::now() - before;
        EXPECT_LT(took, std::chrono::milliseconds(1000));
        EXPECT_FALSE(trace.Active());
        EXPECT_EQ(Lines(ReadWholeFile(name)).size(), 500u);
        RecordByte(trace, 1);  // after the stop: not kept anywhere
    }
    EXPECT_EQ(trace.DropCount(), 0u);
}
