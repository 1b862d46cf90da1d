#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/named_event.h"
#include "platform/thread.h"
#include "spy/loop_port.h"
#include "spy/spy_control.h"
#include "spy/spy_name.h"
#include "spy/tspyport.h"
#include "support/pty_controller.h"
#include "support/tcp_controller.h"
#include "support/wait.h"

namespace {

struct SpyRecord {
    std::array<uint8_t, 9> time{};
    uint8_t kind = 0;
    std::vector<uint8_t> bytes;
};

struct ParsedSpyFile {
    std::vector<SpyRecord> records;
    bool end_marker = false;
    bool well_formed = true;
};

// Reads a spy file back: time records each followed by data pairs of one kind, an end marker last.
ParsedSpyFile ParseSpyFile(const std::string& content)
{
    ParsedSpyFile file;
    size_t at = 0;
    while (at < content.size() && file.well_formed && !file.end_marker) {
        uint8_t lead = static_cast<uint8_t>(content[at]);
        if (lead == 0x04) {
            file.end_marker = true;
            file.well_formed = at + 1 == content.size();
        } else if (lead == 0x02 && at + 9 <= content.size()) {
            SpyRecord record;
            std::copy(content.begin() + at, content.begin() + at + 9, record.time.begin());
            at += 9;
            while (at + 2 <= content.size() && (content[at] == 0x06 || content[at] == 0x07)) {
                file.well_formed &= record.bytes.empty() || record.kind == content[at];
                record.kind = static_cast<uint8_t>(content[at]);
                record.bytes.push_back(static_cast<uint8_t>(content[at + 1]));
                at += 2;
            }
            file.well_formed &= !record.bytes.empty();
            file.records.push_back(record);
        } else {
            file.well_formed = false;
        }
    }
    return file;
}

std::time_t RecordSeconds(const SpyRecord& record)
{
    auto value = [&](int i) { return (record.time[i] >> 4) * 10 + (record.time[i] & 0x0F); };
    std::tm local{};
    local.tm_year = 100 + value(1);
    local.tm_mon = value(2) - 1;
    local.tm_mday = value(3);
    local.tm_hour = value(4);
    local.tm_min = value(5);
    local.tm_sec = value(6);
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::vector<uint8_t> Sequence(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

class SpyPortTest : public ::testing::Test {
protected:
    SpyPortTest() { settings.Set("SpyPort", "OutputDirectory", dir.Path() + "/"); }

    std::unique_ptr<TSpyPort> OpenPort() { return std::make_unique<TSpyPort>(line.SlavePath()); }
    std::string SpyFile(int index) const
    {
        return dir.File(TSpyLogger::FileName("(default)", SpyNameOfPortName(line.SlavePath()), index));
    }
    ParsedSpyFile Parse(int index) const { return ParseSpyFile(ReadWholeFile(SpyFile(index))); }
    bool Exists(int index) const { return std::filesystem::exists(SpyFile(index)); }

    // The controller sends the bytes and the port reads them one by one.
    void Receive(TSpyPort& port, const std::vector<uint8_t>& bytes)
    {
        line.Send(bytes);
        for (uint8_t expected : bytes)
            ASSERT_EQ(port.ReadByte(), std::optional<uint8_t>(expected));
    }
    void Write(TSpyPort& port, const std::vector<uint8_t>& bytes)
    {
        port.WriteBuffer(bytes.data(), bytes.size());
        ASSERT_EQ(line.ReadExactly(bytes.size(), 5000), bytes);
    }
    static void WaitWritten(TSpyPort& port) { ASSERT_TRUE(WaitFor([&] { return port.AllChunksWritten(); })); }

    TempSettings settings;
    TempDir dir;
    PtyController line;
};

TEST_F(SpyPortTest, RecordingStartsWithTheNextChunkAfterAnotherProcessSwitchesItOn)
{
    auto port = OpenPort();
    Receive(*port, Sequence(5, 0x10));
    Write(*port, Sequence(8, 0x20));
    WaitWritten(*port);
    EXPECT_FALSE(Exists(0));

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::unique_ptr<NamedEvent> event = NamedEvent::Open(SpyControlEventName(line.SlavePath()));
        if (event)
            event->Set();
        _exit(event ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    Write(*port, Sequence(4, 0x30));
    WaitWritten(*port);
    ParsedSpyFile file = Parse(0);
    ASSERT_EQ(file.records.size(), 1u);
    EXPECT_EQ(file.records[0].kind, 0x07);
    EXPECT_EQ(file.records[0].bytes, Sequence(4, 0x30));
    EXPECT_EQ(ReadWholeFile(SpyFile(0)).size(), 9u + 8u);
}

TEST_F(SpyPortTest, RecordingOffLeavesNoFileEvenAtDestruction)
{
    auto port = OpenPort();
    Receive(*port, Sequence(30, 0x40));
    Write(*port, Sequence(32, 0x60));
    port.reset();
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(SpyPortTest, ReceivedBytesGoInChunksOf21AndDestructionWritesTheLastChunkAndTheEndMarker)
{
    auto port = OpenPort();
    StartSpy(line.SlavePath());
    Receive(*port, Sequence(30, 0x40));
    port->WriteByte(0x55);  // a byte of the other kind hands the 9 received bytes over
    ASSERT_EQ(line.ReadByte(5000), std::optional<uint8_t>(0x55));
    WaitWritten(*port);
    ParsedSpyFile file = Parse(0);
    ASSERT_EQ(file.records.size(), 2u);
    EXPECT_EQ(file.records[0].bytes, Sequence(21, 0x40));
    EXPECT_EQ(file.records[1].bytes, Sequence(9, 0x40 + 21));
    EXPECT_EQ(file.records[1].kind, 0x06);
    EXPECT_EQ(ReadWholeFile(SpyFile(0)).size(), 2 * 9 + 2 * 30u);

    // A burst right before destruction: every chunk still waiting is written before the marker.
    for (int i = 0; i < 40; ++i)
        Write(*port, Sequence(32, static_cast<uint8_t>(i)));
    Receive(*port, {0xAA});
    port.reset();
    file = Parse(0);
    EXPECT_TRUE(file.well_formed);
    EXPECT_TRUE(file.end_marker);
    ASSERT_EQ(file.records.size(), 2u + 1 + 40 + 1);
    EXPECT_EQ(file.records[2].bytes, std::vector<uint8_t>{0x55});
    EXPECT_EQ(file.records[2].kind, 0x07);
    EXPECT_EQ(file.records[42].bytes, Sequence(32, 39));
    EXPECT_EQ(file.records[43].bytes, std::vector<uint8_t>{0xAA});
    EXPECT_EQ(file.records[43].kind, 0x06);
}

TEST_F(SpyPortTest, WrittenBuffersAreChunksOfTheirOwnAndLongOnesAreRecordedWhole)
{
    auto port = OpenPort();
    StartSpy(line.SlavePath());
    Receive(*port, Sequence(3, 0x01));
    Write(*port, Sequence(32, 0x80));
    WaitWritten(*port);
    ASSERT_EQ(Parse(0).records.size(), 2u);
    EXPECT_EQ(Parse(0).records[1].bytes, Sequence(32, 0x80));
    EXPECT_EQ(ReadWholeFile(SpyFile(0)).size(), (9 + 6) + (9 + 64u));

    std::vector<uint8_t> long_reply(600);
    for (size_t i = 0; i < long_reply.size(); ++i)
        long_reply[i] = static_cast<uint8_t>(i * 7);
    Write(*port, long_reply);
    WaitWritten(*port);
    ParsedSpyFile file = Parse(0);
    ASSERT_EQ(file.records.size(), 2u + 3);
    std::vector<uint8_t> recorded;
    for (size_t i = 2; i < file.records.size(); ++i) {
        EXPECT_EQ(file.records[i].kind, 0x07);
        EXPECT_LE(file.records[i].bytes.size(), 256u);
        recorded.insert(recorded.end(), file.records[i].bytes.begin(), file.records[i].bytes.end());
    }
    EXPECT_EQ(recorded, long_reply);
}

TEST_F(SpyPortTest, FilesRotateInARingAndEachRunStartsAtIndexZeroWithFreshSettings)
{
    settings.Set("SpyPort", "MaxFileSize", "1024");
    settings.Set("SpyPort", "NumberOfFiles", "2");
    auto port = OpenPort();
    StartSpy(line.SlavePath());
    for (uint8_t i = 1; i <= 5; ++i)  // each 521 bytes in the file: two chunks fill a file
        Write(*port, std::vector<uint8_t>(256, i));
    WaitWritten(*port);
    EXPECT_FALSE(Exists(2));
    ASSERT_EQ(Parse(1).records.size(), 2u);
    EXPECT_EQ(Parse(1).records[0].bytes[0], 3);
    ASSERT_EQ(Parse(0).records.size(), 1u);
    EXPECT_EQ(Parse(0).records[0].bytes[0], 5);

    StopSpy(line.SlavePath());
    Write(*port, std::vector<uint8_t>(21, 6));  // dropped
    WaitWritten(*port);
    settings.Set("SpyPort", "MaxFileSize", "5000");
    StartSpy(line.SlavePath());
    for (uint8_t i = 7; i <= 9; ++i)
        Write(*port, std::vector<uint8_t>(256, i));
    WaitWritten(*port);
    ParsedSpyFile file = Parse(0);
    ASSERT_EQ(file.records.size(), 3u);
    EXPECT_EQ(file.records[0].bytes[0], 7);
    EXPECT_EQ(Parse(1).records[0].bytes[0], 3);  // the older run's file stays as it was
}

TEST_F(SpyPortTest, BadSettingsAndAMissingDirectoryNeitherCrashNorHoldThePool)
{
    settings.Set("SpyPort", "MaxFileSize", "100");  // taken as 1 KiB
    settings.Set("SpyPort", "NumberOfFiles", "0");  // treated as a ring of one file
    auto port = OpenPort();
    StartSpy(line.SlavePath());
    for (uint8_t i = 1; i <= 3; ++i)  // 521 bytes each: the second fills the file
        Write(*port, std::vector<uint8_t>(256, i));
    WaitWritten(*port);
    EXPECT_FALSE(Exists(1));
    ASSERT_EQ(Parse(0).records.size(), 1u);
    EXPECT_EQ(Parse(0).records[0].bytes[0], 3);

    settings.Set("SpyPort", "OutputDirectory", dir.Path() + "/missing/");
    StopSpy(line.SlavePath());
    Write(*port, {1});
    WaitWritten(*port);
    StartSpy(line.SlavePath());
    for (int i = 0; i < 300; ++i)  // more chunks than the pool holds
        Write(*port, {static_cast<uint8_t>(i)});
    WaitWritten(*port);
}

// A size of 0 or less must not start a file per chunk, and a size beyond 32 bits is a size, not
// a reason to fall back to the default.
TEST_F(SpyPortTest, FileSizeAndCountAreClampedAndTheSizeIsReadAs64Bit)
{
    for (const char* size : {"0", "-5", "1"}) {
        settings.Set("SpyPort", "MaxFileSize", size);
        settings.Set("SpyPort", "NumberOfFiles", "-3");
        auto port = OpenPort();
        StartSpy(line.SlavePath());
        for (uint8_t i = 1; i <= 3; ++i)  // 51 bytes each: all fit in the least file of 1 KiB
            Write(*port, std::vector<uint8_t>(21, i));
        WaitWritten(*port);
        EXPECT_FALSE(Exists(1)) << size;
        EXPECT_EQ(Parse(0).records.size(), 3u) << size;
        port.reset();
    }

    // 2^32 + 100 would be 100 bytes if cut to 32 bits: two chunks would then start a new file.
    settings.Set("SpyPort", "MaxFileSize", "4294967396");
    settings.Set("SpyPort", "NumberOfFiles", "2");
    auto port = OpenPort();
    StartSpy(line.SlavePath());
    for (uint8_t i = 1; i <= 30; ++i)
        Write(*port, std::vector<uint8_t>(256, i));
    WaitWritten(*port);
    EXPECT_FALSE(Exists(1));
    EXPECT_EQ(Parse(0).records.size(), 30u);
}

TEST_F(SpyPortTest, EachRecordCarriesTheWallClockTimeOfItsChunk)
{
    auto port = OpenPort();
    StartSpy(line.SlavePath());
    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            AdvanceClockForTest(5 * 3600 * 1000 + 250);
        std::time_t before = WallSeconds();
        Write(*port, {0x11});
        WaitWritten(*port);
        std::time_t after = WallSeconds();
        ParsedSpyFile file = Parse(0);
        ASSERT_EQ(file.records.size(), round + 1u);
        std::time_t stamped = RecordSeconds(file.records[round]);
        EXPECT_GE(stamped, before - 1);
        EXPECT_LE(stamped, after + 1);
    }
}

TEST_F(SpyPortTest, AStalledDiskOnlyLosesRecordingNeverTheLine)
{
    // The first spy file is a pipe nobody reads: the logger blocks opening it, as on a dead disk.
    ASSERT_EQ(mkfifo(SpyFile(0).c_str(), 0600), 0);
    struct FifoReader {
        std::string path;
        int fd = -1;
        void Open()
        {
            if (fd < 0)
                fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        }
        ~FifoReader()
        {
            if (fd >= 0)
                close(fd);
        }
    } reader{SpyFile(0)};
    auto port = OpenPort();
    struct ReleaseAtExit {  // the port's destruction must not wait on the pipe if the test fails
        FifoReader& reader;
        ~ReleaseAtExit() { reader.Open(); }
    } release{reader};
    StartSpy(line.SlavePath());

    std::vector<uint8_t> received;
    for (int round = 0; round < 15; ++round) {  // 150 chunks' worth, the pool holds 100
        std::vector<uint8_t> bytes = Sequence(210, static_cast<uint8_t>(round * 11));
        Receive(*port, bytes);
        received.insert(received.end(), bytes.begin(), bytes.end());
    }
    for (int i = 0; i < 5; ++i)
        Write(*port, Sequence(32, 0x80));
    EXPECT_FALSE(port->AllChunksWritten());

    reader.Open();
    ASSERT_GE(reader.fd, 0);
    WaitWritten(*port);
    Receive(*port, {0xE0, 0xE1});  // recording resumes with the returned chunks
    port.reset();
    std::string content;
    char buffer[4096];
    for (ssize_t n; (n = read(reader.fd, buffer, sizeof buffer)) != 0;) {
        ASSERT_GT(n, 0);
        content.append(buffer, static_cast<size_t>(n));
    }
    ParsedSpyFile file = ParseSpyFile(content);
    EXPECT_TRUE(file.well_formed);
    EXPECT_TRUE(file.end_marker);
    ASSERT_EQ(file.records.size(), 101u);
    for (size_t i = 0; i < 100; ++i)  // the first 2100 bytes, in chunks of 21
        EXPECT_EQ(file.records[i].bytes, std::vector<uint8_t>(received.begin() + i * 21, received.begin() + i * 21 + 21));
    EXPECT_EQ(file.records[100].bytes, (std::vector<uint8_t>{0xE0, 0xE1}));
}

TEST_F(SpyPortTest, ControlOperationsWorkThroughTheNamedEvents)
{
    auto port = OpenPort();
    std::unique_ptr<NamedEvent> event = NamedEvent::Open(port->ControlEventName());
    ASSERT_TRUE(event);
    StartSpy(line.SlavePath());
    EXPECT_TRUE(event->IsSet());
    StopSpy(line.SlavePath());
    EXPECT_FALSE(event->IsSet());
    port.reset();
    event.reset();
    try {
        StartSpy(line.SlavePath());
        ADD_FAILURE() << "a closed port was switched on";
    } catch (const Gallion_error& error) {
        EXPECT_STREQ(error.what(), "Not a valid spyobject");
    }

    // Every live spy event of this user is listed, by any name, with its state; one that has
    // ended is not.
    const std::string tag = std::to_string(getpid());
    std::vector<std::string> names = {"COM9_" + tag, "COM11_" + tag, "_dev_ttyUSB0_" + tag, "a+b" + tag,
                                      "a@b" + tag, "a_b" + tag, "a%2Bb" + tag};
    std::vector<std::unique_ptr<TSpyLogger>> loggers;
    for (const std::string& name : names)
        loggers.push_back(std::make_unique<TSpyLogger>(name));
    StartSpy("COM11_" + tag);
    StartSpy("a+b" + tag);
    auto gone = std::make_unique<TSpyLogger>("gone_" + tag);
    gone.reset();
    std::map<std::string, bool> listed;
    for (const SpyEventState& event : ListSpyEvents())
        listed[event.event_name] = event.running;
    for (const std::string& name : names) {
        ASSERT_EQ(listed.count("SPY_" + name), 1u) << name;
        EXPECT_EQ(listed["SPY_" + name], name == "COM11_" + tag || name == "a+b" + tag) << name;
    }
    EXPECT_EQ(listed.count("SPY_gone_" + tag), 0u);
}

// Names that differ only in characters outside [A-Za-z0-9._-] are separate events: switching
// one leaves the others alone, and each is the current user's own object.
TEST_F(SpyPortTest, ControlEventsOfSimilarNamesNeverCollide)
{
    const std::string tag = std::to_string(getpid());
    TSpyLogger plus("a+b" + tag), at("a@b" + tag), underscore("a_b" + tag), escaped("a%40b" + tag);
    StartSpy("a@b" + tag);
    EXPECT_FALSE(NamedEvent::Open("SPY_a+b" + tag)->IsSet());
    EXPECT_TRUE(NamedEvent::Open("SPY_a@b" + tag)->IsSet());
    EXPECT_FALSE(NamedEvent::Open("SPY_a_b" + tag)->IsSet());
    EXPECT_FALSE(NamedEvent::Open("SPY_a%40b" + tag)->IsSet());
    const std::string object = "/dev/shm" + NamedEvent::ObjectName("SPY_a@b" + tag);
    EXPECT_EQ(object, "/dev/shm/gallion-u" + std::to_string(geteuid()) + "-SPY_a%40b" + tag);
    EXPECT_TRUE(std::filesystem::exists(object));
}

// The recorder's thread runs at the lowest priority: nice 19 in the normal class, never the idle
// class that would starve it (and the port's destruction, which waits for it) on a busy machine.
TEST_F(SpyPortTest, TheRecorderThreadIsNice19InTheNormalClass)
{
    if (!CanRaiseLoweredThreads())
        GTEST_SKIP() << "this process may not raise a lowered thread, so none is lowered";
    auto lowered_threads = [] {
        std::vector<pid_t> found;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
            pid_t tid = static_cast<pid_t>(std::stoi(entry.path().filename().string()));
            errno = 0;
            int nice_value = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
            if (errno == 0 && nice_value == 19 && sched_getscheduler(tid) == SCHED_OTHER)
                found.push_back(tid);
            EXPECT_NE(sched_getscheduler(tid), SCHED_IDLE);
        }
        return found;
    };
    const size_t before = lowered_threads().size();
    auto port = OpenPort();
    EXPECT_TRUE(WaitFor([&] { return lowered_threads().size() == before + 1; }));
    port.reset();
    EXPECT_EQ(lowered_threads().size(), before);
}

TEST_F(SpyPortTest, VirtualPortsAreNamedAfterTheirDeviceSoTheyNeverCollide)
{
    TSpyPort first("pty"), second("pty");
    EXPECT_EQ(first.RecordingName(), SpyNameOfPortName(first.DevicePath()));
    EXPECT_EQ(first.RecordingName().rfind("_dev_", 0), 0u);
    EXPECT_NE(first.RecordingName(), second.RecordingName());

    std::string link = dir.File("line");
    TSpyPort linked("pty:" + link);
    EXPECT_EQ(linked.ControlEventName(), "SPY_pty" + SpyNameOfPortName(":" + link));
    StartSpy("pty:" + link);
    linked.WriteBuffer(Sequence(3, 1).data(), 3);
    EXPECT_TRUE(WaitFor([&] { return linked.AllChunksWritten(); }));
    EXPECT_TRUE(std::filesystem::exists(dir.File("SPYPS_" + linked.RecordingName() + "_0000.buf")));

    std::unique_ptr<TPort> plain = OpenLoopPort("pty", false);
    std::unique_ptr<TPort> spying = OpenLoopPort("pty", true);
    EXPECT_EQ(dynamic_cast<TSpyPort*>(plain.get()), nullptr);
    EXPECT_NE(dynamic_cast<TSpyPort*>(spying.get()), nullptr);
}

TEST_F(SpyPortTest, TcpPortsRecordBothDirectionsUnderTheirSanitizedNames)
{
    // A listening port on any free port is named after the port it got, so two never collide.
    TSpyPort first("tcp-listen:0");
    TSpyPort second("tcp-listen:127.0.0.1:0");
    EXPECT_EQ(first.RecordingName(), "tcp-listen_" + SpyNameOfPortName(first.DevicePath()));
    EXPECT_EQ(first.RecordingName().rfind("tcp-listen_127.0.0.1_", 0), 0u);
    EXPECT_NE(first.RecordingName(), second.RecordingName());

    const std::string name = "tcp-listen:" + std::to_string(FreeTcpPort());
    TSpyPort port(name);
    EXPECT_EQ(port.RecordingName(), SpyNameOfPortName(name));
    StartSpy(name);
    TcpController controller = TcpController::Connect(port.DevicePath());
    controller.Send(Sequence(3, 0xF0));
    for (uint8_t expected : Sequence(3, 0xF0))
        ASSERT_EQ(port.ReadByte(), std::optional<uint8_t>(expected));
    port.WriteBuffer(Sequence(32, 0x00).data(), 32);
    EXPECT_EQ(controller.ReadExactly(32, 5000), Sequence(32, 0x00));
    WaitWritten(port);
    const ParsedSpyFile file = ParseSpyFile(ReadWholeFile(dir.File("SPYPS_" + port.RecordingName() + "_0000.buf")));
    ASSERT_EQ(file.records.size(), 2u);
    EXPECT_EQ(file.records[0].kind, 6);
    EXPECT_EQ(file.records[0].bytes, Sequence(3, 0xF0));
    EXPECT_EQ(file.records[1].kind, 7);
    EXPECT_EQ(file.records[1].bytes, Sequence(32, 0x00));
}

}  // namespace
