// gallion-spy-dump end to end: a Zarn loop with its spy port records a session that the test
// plays as the controller; the dump must show every byte exactly as it passed, in order, over
// the whole ring of files. And files in ring order, damaged files reported, reading going on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "loops/pump_loop.h"
#include "spy/spy_control.h"
#include "spy/spy_record.h"
#include "spydump/spy_dump.h"
#include "support/pty_controller.h"
#include "support/wait.h"
#include "support/zarn_controller.h"

namespace {

using Bytes = std::vector<uint8_t>;

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

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The hex of every chunk line of one direction, joined: "DATE TIME DIR HEX".
std::string DumpedStream(const std::vector<std::string>& lines, const std::string& direction)
{
    std::string stream;
    for (const std::string& line : lines) {
        std::istringstream words(line);
        std::string date, time, dir, first;
        words >> date >> time >> dir >> first;
        if (dir != direction || first == "=" || first.empty())
            continue;
        const std::string hex = line.substr(line.find(" " + dir + " ") + dir.size() + 2);
        stream += (stream.empty() ? "" : " ") + hex;
    }
    return stream;
}

// One block from the line up to its SF (0x10 0xFA is data).
Bytes ReadBlock(PtyController& line)
{
    Bytes bytes;
    while (std::optional<uint8_t> byte = line.ReadByte(3000)) {
        const bool stuffed = !bytes.empty() && bytes.back() == 0x10;
        bytes.push_back(*byte);
        if (*byte == 0xFA && !stuffed)
            break;
    }
    return bytes;
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uintmax_t FolderBytes(const std::string& folder)
{
    uintmax_t bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        bytes += entry.file_size();
    return bytes;
}

int64_t WallMs(int seconds)
{
    std::tm local{};
    local.tm_year = 126;
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 15;
    local.tm_min = 40;
    local.tm_sec = seconds;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local)) * 1000;
}

// How a dump run in a child process ended: a dump that hangs or grows without end is killed at
// the deadline and cannot take the test program with it.
struct Child_run {
    bool exited = false;  // false: killed at the deadline, or ended by a signal
    int status = -1;
    long max_rss_kb = 0;  // the child's peak; it starts with the parent's resident memory
};

Child_run RunInChild(const std::function<int()>& body, int deadline_ms = 30000)
{
    Child_run run;
    const pid_t pid = fork();
    if (pid == 0) {
        int status = 125;  // an exception: the child must not run on into the rest of the tests
        try {
            status = body();
        } catch (...) {
        }
        _exit(status);
    }
    if (pid < 0)
        return run;
    int wait_status = 0;
    rusage usage{};
    const bool ended = WaitFor([&] { return wait4(pid, &wait_status, WNOHANG, &usage) == pid; }, deadline_ms);
    if (!ended) {
        kill(pid, SIGKILL);
        wait4(pid, &wait_status, 0, &usage);
        return run;
    }
    run.exited = WIFEXITED(wait_status);
    run.status = run.exited ? WEXITSTATUS(wait_status) : -1;
    run.max_rss_kb = usage.ru_maxrss;
    return run;
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// An output that keeps no text: counts the lines and holds the last one.
class Line_tally : public std::streambuf {
public:
    long lines = 0;
    std::string last;

protected:
    int overflow(int c) override
    {
        if (c == traits_type::eof())
            return 0;
        if (c == '\n') {
            ++lines;
            last = current_;
            current_.clear();
        } else {
            current_ += static_cast<char>(c);
        }
        return c;
    }

private:
    std::string current_;
};

}  // namespace

TEST(SpyDumpTest, RecordedSessionIsPrintedByteForByteAcrossTheRing)
{
    TempDir dir;
    TempSettings settings;
    settings.Set("Zarn", "HandleReturningMessages", "0");
    settings.Set("SpyPort", "OutputDirectory", dir.Path() + "/");
    settings.Set("SpyPort", "MaxFileSize", "1024");  // the least: a new file every 30 or so exchanges
    settings.Set("SpyPort", "NumberOfFiles", "1000");
    PtyController line;
    Bytes sent, received;
    int blocks = 0;
    uintmax_t chunks = 0;
    {
        std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, line.SlavePath(), true, 1, 2);
        ASSERT_TRUE(loop->AddPump(0));
        StartSpy(line.SlavePath());
        auto exchange = [&](const Bytes& request) {
            line.Send(request);
            sent.insert(sent.end(), request.begin(), request.end());
            const Bytes reply = ReadBlock(line);
            ASSERT_FALSE(reply.empty());
            received.insert(received.end(), reply.begin(), reply.end());
            blocks += 2;
            // The recorder drops bytes while its 100 chunks wait for the disk (by design, so the
            // line is never held up): the controller waits for it, so that no byte goes missing
            // on a slow machine. The request and the reply are a chunk each by now.
            chunks += 2;
            const uintmax_t recorded = 9 * chunks + 2 * (sent.size() + received.size());
            ASSERT_TRUE(WaitFor([&] { return FolderBytes(dir.Path()) >= recorded; }));
            if (reply.size() > 3 && (reply[1] >> 4) == 0x3) {  // a DATA reply: acknowledged
                const Bytes ack{0x50, static_cast<uint8_t>(0xC0 | (reply[1] & 0x0F)), 0xFA};
                line.Send(ack);
                sent.insert(sent.end(), ack.begin(), ack.end());
                ++blocks;
            }
        };
        exchange(ZarnDataBlock(0x50, 0, {1, 1, 5}));  // CD1 Reset, acknowledged
        for (int i = 0; i < 150; ++i)
            exchange(Bytes{0x50, 0x20, 0xFA});  // polls: EOT or the pump's status replies
    }  // the loop goes: the last chunk and the end marker are written

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        files.push_back(entry.path().string());
    ASSERT_GT(files.size(), 3u) << "the session should fill several files";
    std::sort(files.rbegin(), files.rend());  // handed over in the wrong order

    std::ostringstream out;
    EXPECT_EQ(DumpSpyFiles(files, Spy_protocol::automatic, out), 0) << out.str();
    const std::vector<std::string> lines = Lines(out.str());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "protocol: Zarn");
    EXPECT_EQ(DumpedStream(lines, "rx"), Hex(sent));
    EXPECT_EQ(DumpedStream(lines, "tx"), Hex(received));
    const long interpreted = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find(" rx = ") != std::string::npos || l.find(" tx = ") != std::string::npos;
    });
    EXPECT_EQ(interpreted, blocks) << "one interpreted line per block, also for blocks split over files";
    EXPECT_EQ(lines.back(), "-- end of recording");
}

TEST(SpyDumpTest, FilesComeInRingOrderAndDamageIsReportedWithoutStopping)
{
    TempDir dir;
    const Bytes poll{0x50, 0x20, 0xFA};
    auto file_at = [&](int seconds) { return SpyChunkRecords(WallMs(seconds), kSpyReceived, poll.data(), poll.size()); };
    // Index 0 was rewritten last; index 1 holds the oldest records.
    WriteFile(dir.File("SPYPS_COM1_0000.buf"), file_at(20));
    Bytes oldest = file_at(0);
    oldest.pop_back();  // cut in the middle of its last data pair
    WriteFile(dir.File("SPYPS_COM1_0001.buf"), oldest);
    WriteFile(dir.File("SPYPS_COM1_0002.buf"), file_at(10));

    std::ostringstream out;
    const int status = DumpSpyFiles({dir.File("SPYPS_COM1_0000.buf"), dir.File("SPYPS_COM1_0001.buf"),
                                     dir.File("missing.buf"), dir.File("SPYPS_COM1_0002.buf")},
                                    Spy_protocol::none, out);
    EXPECT_EQ(status, 2) << "a file could not be read";
    std::vector<std::string> headings;
    for (const std::string& line : Lines(out.str()))
        if (line.rfind("== ", 0) == 0)
            headings.push_back(line.substr(3, line.find(" (") - 3));
    EXPECT_EQ(headings, (std::vector<std::string>{dir.File("SPYPS_COM1_0001.buf"), dir.File("SPYPS_COM1_0002.buf"),
                                                  dir.File("SPYPS_COM1_0000.buf")}));
    const std::string text = out.str();
    EXPECT_NE(text.find("!! " + dir.File("missing.buf") + ": cannot read: No such file or directory"),
              std::string::npos);
    EXPECT_NE(text.find("!! " + dir.File("SPYPS_COM1_0001.buf") +
                        " at offset 13: truncated: a data pair cut short after its kind byte"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("2026-12-08 15:40:00.000 rx 50 20\n"), std::string::npos) << text;
    EXPECT_NE(text.find("2026-12-08 15:40:10.000 rx 50 20 FA\n"), std::string::npos) << text;
}

TEST(SpyDumpTest, WhatIsNoRegularFileIsRefusedAtOnce)
{
    TempDir dir;
    const std::string fifo = dir.File("SPYPS_COM1_0000.buf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string output = dir.File("dump.txt");
    const Bytes poll{0x50, 0x20, 0xFA};
    WriteFile(dir.File("good.buf"), SpyChunkRecords(WallMs(0), kSpyReceived, poll.data(), poll.size()));
    const std::vector<std::string> files{dir.Path(), fifo, "/dev/zero", dir.File("good.buf")};
    const Child_run run = RunInChild([&] {
        std::ofstream out(output);
        return DumpSpyFiles(files, Spy_protocol::none, out);
    });
    ASSERT_TRUE(run.exited) << "the dump must end by itself, well before the deadline";
    EXPECT_EQ(run.status, 2);
    const std::string text = ReadWholeFile(output);
    EXPECT_NE(text.find("!! " + dir.Path() + ": cannot read: Is a directory\n"), std::string::npos) << text;
    EXPECT_NE(text.find("!! " + fifo + ": cannot read: not a regular file\n"), std::string::npos) << text;
    EXPECT_NE(text.find("!! /dev/zero: cannot read: not a regular file\n"), std::string::npos) << text;
    EXPECT_NE(text.find("== " + dir.File("good.buf") + " (15 bytes)\n2026-12-08 15:40:00.000 rx 50 20 FA\n"),
              std::string::npos)
        << "the other files are still dumped: " << text;
}

TEST(SpyDumpTest, MemoryDoesNotGrowWithTheFile)
{
    // 16 MB of chunks of 21 polled bytes, as the recorder writes them; the dump must not hold the
    // file, nor its records, in memory: it may grow by less than half the file's size.
    TempDir dir;
    const std::string file = dir.File("SPYPS_COM1_0000.buf");
    const Bytes polls{0x50, 0x20, 0xFA, 0x50, 0x20, 0xFA, 0x50, 0x20, 0xFA, 0x50, 0x20,
                      0xFA, 0x50, 0x20, 0xFA, 0x50, 0x20, 0xFA, 0x50, 0x20, 0xFA};
    const Bytes chunk = SpyChunkRecords(WallMs(0), kSpyReceived, polls.data(), polls.size());
    Bytes block;
    for (int i = 0; i < 1000; ++i)
        block.insert(block.end(), chunk.begin(), chunk.end());
    const long blocks = 16'000'000 / static_cast<long>(block.size());
    {
        std::ofstream out(file, std::ios::binary);
        for (long i = 0; i < blocks; ++i)
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
        out.put(static_cast<char>(kSpyEndMarker));
    }
    const long file_kb = static_cast<long>(std::filesystem::file_size(file) / 1024);
    const std::string summary = dir.File("summary.txt");
    const long before_kb = ResidentKb();
    const Child_run run = RunInChild(
        [&] {
            Line_tally tally;
            std::ostream out(&tally);
            const int status = DumpSpyFiles({file}, Spy_protocol::none, out);
            std::ofstream(summary) << tally.lines << "\n" << tally.last << "\n";
            return status;
        },
        120000);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    std::ifstream in(summary);
    long lines = 0;
    std::string last;
    in >> lines;
    in.ignore();
    std::getline(in, last);
    EXPECT_EQ(lines, 1 + 1 + blocks * 1000 + 1) << "protocol, heading, one line per chunk, end";
    EXPECT_EQ(last, "-- end of recording");
    // A sanitizer's shadow memory and its keeping of freed blocks say nothing of the dump's own.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(run.max_rss_kb - before_kb, file_kb / 2)
        << "peak " << run.max_rss_kb << " kB, " << before_kb << " kB at the start, for a file of " << file_kb << " kB";
#endif
}
