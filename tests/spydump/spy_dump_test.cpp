// gallion-spy-dump end to end: a Zarn loop with its spy port records a session that the test
// plays as the controller; the dump must show every byte exactly as it passed, in order, over
// the whole ring of files. And files in ring order, damaged files reported, reading going on.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "zarn/zarn_crc.h"

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

Bytes MasterData(uint8_t number, const Bytes& transactions)
{
    Bytes body{0x50, static_cast<uint8_t>(0x30 | number)};
    body.insert(body.end(), transactions.begin(), transactions.end());
    const uint16_t crc = ZarnCrc16(body.data(), body.size());
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    body.push_back(0x03);
    Bytes line;
    for (uint8_t byte : body) {
        if (byte == 0xFA)
            line.push_back(0x10);
        line.push_back(byte);
    }
    line.push_back(0xFA);
    return line;
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
        exchange(MasterData(0, {1, 1, 5}));  // CD1 Reset, acknowledged
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
