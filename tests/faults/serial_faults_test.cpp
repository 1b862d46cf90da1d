// The line under a running loop goes wrong: the device disappears (the controller's side of a
// pseudo-terminal closes, as a pulled USB adapter does), or a controller opens and closes a
// virtual port again and again. Neither may crash, hang or spin.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "currentloop/cl_forecourt.h"
#include "currentloop/cl_test_frames.h"
#include "support/pty_controller.h"
#include "support/quick_settings.h"
#include "zarn/link_fixture.h"
#include "zarn/zarn_forecourt.h"
#include "support/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// CPU time of the whole process (every thread), in milliseconds.
int64_t ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// The CPU the process burns over one second of wall time while the test waits.
int64_t CpuMsOverOneSecond()
{
    const int64_t start = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return ProcessCpuMs() - start;
}

// A broken loop may cost its idle pump threads, never a core: a thread that spins on a dead
// device burns the whole second.
constexpr int64_t kMaxCpuMsPerSecond = 250;

// One Zarn block from the line, up to its unstuffed SF; whatever came when the deadline passes.
Bytes ReadZarnBlock(const std::function<std::optional<uint8_t>(int)>& read_byte, int timeout_ms)
{
    Bytes bytes;
    const Clock::time_point start = Clock::now();
    while (ElapsedMs(start) < timeout_ms) {
        std::optional<uint8_t> byte = read_byte(5);
        if (!byte)
            continue;
        const bool stuffed = !bytes.empty() && bytes.back() == kZarnDLE;
        bytes.push_back(*byte);
        if (*byte == kZarnSF && !stuffed)
            break;
    }
    return bytes;
}

// A controller that opens a virtual port's device itself, as a program on this machine does.
class SlaveClient {
public:
    explicit SlaveClient(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        if (fd_ < 0)
            return;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~SlaveClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }
    bool Send(const Bytes& bytes) { return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()); }
    std::optional<uint8_t> ReadByte(int timeout_ms)
    {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, timeout_ms) <= 0 || !(entry.revents & POLLIN))
            return std::nullopt;
        uint8_t byte = 0;
        if (read(fd_, &byte, 1) != 1)
            return std::nullopt;
        return byte;
    }
    Bytes ReadExactly(size_t count, int timeout_ms)
    {
        Bytes bytes;
        const Clock::time_point start = Clock::now();
        while (bytes.size() < count && ElapsedMs(start) < timeout_ms) {
            if (std::optional<uint8_t> byte = ReadByte(5))
                bytes.push_back(*byte);
        }
        return bytes;
    }

private:
    int fd_;
};

class SerialFaults : public ::testing::Test {
protected:
    // Removing the loop ends every thread, well within a second.
    template <typename Forecourt>
    static void ExpectPromptRemoval(std::unique_ptr<Forecourt>& loop)
    {
        const Clock::time_point start = Clock::now();
        loop.reset();
        EXPECT_LT(ElapsedMs(start), 1000);
    }

    const Pump_settings settings_ = QuickPumpSettings();
};

TEST_F(SerialFaults, ZarnDeviceDisappearingEndsTheIoThreadQuietly)
{
    PtyController line;
    auto loop = std::make_unique<Zarn_forecourt>(line.SlavePath(), false, 1, 4, settings_);
    ASSERT_EQ(0, loop->CreatePump(0, false, settings_));
    ASSERT_EQ(1, loop->CreatePump(1, false, settings_));
    line.Send(ZarnControlBlock(0x50, 0x20));
    const Bytes reply = ReadZarnBlock([&](int ms) { return line.ReadByte(ms); }, 3000);
    ASSERT_GE(reply.size(), 3u) << "the loop answers before the fault";
    EXPECT_EQ(0x50, reply[0]);

    // Half a block is on its way when the line goes.
    line.Send({0x51, 0x30, 0x01, 0x01});
    line.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return !loop->IoRunning(); })) << "the I/O thread must end";
    EXPECT_EQ(0u, loop->IoErrorText().rfind("Invalid port: ", 0)) << loop->IoErrorText();
    EXPECT_LT(CpuMsOverOneSecond(), kMaxCpuMsPerSecond) << "a busy loop after the fault";

    // The operator carries on with the silent loop, then removes it.
    EXPECT_EQ(2, loop->CreatePump(2, false, settings_));
    EXPECT_TRUE(loop->DeletePump(0));
    loop->GetPump(1)->LiftNozzle();
    EXPECT_EQ(kStatusNotProgrammed, loop->GetPump(1)->GetStatus());
    ExpectPromptRemoval(loop);
}

TEST_F(SerialFaults, CurrentLoopDeviceDisappearingEndsTheIoThreadQuietly)
{
    PtyController line;
    auto loop = std::make_unique<CL_forecourt>(line.SlavePath(), false, 1, 8, settings_);
    ASSERT_EQ(0, loop->CreatePump(0, settings_));
    ASSERT_EQ(1, loop->CreatePump(1, settings_));
    line.Send(cltest::Poll(1));
    ASSERT_EQ(32u, line.ReadExactly(32, 3000).size()) << "the loop answers before the fault";

    const Bytes frame = cltest::Poll(2);
    line.Send(Bytes(frame.begin(), frame.begin() + 12));  // a frame cut off by the fault
    line.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return !loop->IoRunning(); })) << "the I/O thread must end";
    EXPECT_EQ(0u, loop->IoErrorText().rfind("Invalid port: ", 0)) << loop->IoErrorText();
    EXPECT_LT(CpuMsOverOneSecond(), kMaxCpuMsPerSecond) << "a busy loop after the fault";

    EXPECT_EQ(2, loop->CreatePump(2, settings_));
    EXPECT_TRUE(loop->DeletePump(0));
    loop->GetPump(1)->LiftNozzle(1);
    ExpectPromptRemoval(loop);
}

TEST_F(SerialFaults, DeviceDisappearingUnderFloodingTrafficOfBothProtocols)
{
    PtyController zarn_line;
    PtyController cl_line;
    auto zarn = std::make_unique<Zarn_forecourt>(zarn_line.SlavePath(), false, 1, 16, settings_);
    auto current_loop = std::make_unique<CL_forecourt>(cl_line.SlavePath(), false, 1, 8, settings_);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(i, zarn->CreatePump(i, i % 2 == 0, settings_));
        ASSERT_EQ(i, current_loop->CreatePump(i, settings_));
    }
    // The controller writes as fast as it can until its side of both lines is gone.
    Bytes zarn_burst;
    Bytes cl_burst;
    for (int pump = 1; pump <= 8; ++pump) {
        const Bytes poll = ZarnControlBlock(static_cast<uint8_t>(0x4F + pump), 0x20);
        zarn_burst.insert(zarn_burst.end(), poll.begin(), poll.end());
        const Bytes frame = cltest::Poll(pump);
        cl_burst.insert(cl_burst.end(), frame.begin(), frame.end());
    }
    for (int round = 0; round < 20; ++round) {
        zarn_line.Send(zarn_burst);
        cl_line.Send(cl_burst);
        zarn_line.Drain();
        cl_line.Drain();
    }
    zarn_line.CloseMaster();
    cl_line.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return !zarn->IoRunning() && !current_loop->IoRunning(); }));
    EXPECT_EQ(0u, zarn->IoErrorText().rfind("Invalid port: ", 0)) << zarn->IoErrorText();
    EXPECT_EQ(0u, current_loop->IoErrorText().rfind("Invalid port: ", 0)) << current_loop->IoErrorText();
    EXPECT_LT(CpuMsOverOneSecond(), kMaxCpuMsPerSecond) << "a busy loop after the fault";
    ExpectPromptRemoval(zarn);
    ExpectPromptRemoval(current_loop);
}

TEST_F(SerialFaults, ZarnVirtualPortOutlivesControllersComingAndGoing)
{
    auto loop = std::make_unique<Zarn_forecourt>("pty", false, 1, 2, settings_);
    ASSERT_EQ(0, loop->CreatePump(0, false, settings_));
    const std::string device = loop->DevicePath();
    for (int session = 0; session < 15; ++session) {
        SlaveClient controller(device);
        ASSERT_TRUE(controller.IsOpen()) << "session " << session;
        if (session % 3 == 2)
            continue;  // opened and closed without a word
        // A block is only ended by SF: a controller that finds the line in an unknown state (a
        // predecessor left half a block) sends SF first, which ends the rubbish as a dropped block.
        ASSERT_TRUE(controller.Send({kZarnSF}));
        ASSERT_TRUE(controller.Send(ZarnControlBlock(0x50, 0x20)));
        const Bytes reply = ReadZarnBlock([&](int ms) { return controller.ReadByte(ms); }, 3000);
        ASSERT_GE(reply.size(), 3u) << "session " << session;
        EXPECT_EQ(0x50, reply[0]);
        EXPECT_EQ(kZarnSF, reply.back());
        if ((reply[1] >> 4) == 0x3) {  // a DATA reply is acknowledged, as a controller does
            ASSERT_TRUE(controller.Send(ZarnControlBlock(0x50, static_cast<uint8_t>(0xC0 | (reply[1] & 0x0F)))));
        }
        if (session % 3 == 1)
            controller.Send({0x50, 0x30, 0x01});  // leaves in the middle of a block
    }
    EXPECT_TRUE(loop->IoRunning());
    EXPECT_EQ("", loop->IoErrorText());
    EXPECT_LT(CpuMsOverOneSecond(), kMaxCpuMsPerSecond) << "a busy loop with nobody on the line";
    ExpectPromptRemoval(loop);
}

TEST_F(SerialFaults, CurrentLoopVirtualPortOutlivesControllersComingAndGoing)
{
    auto loop = std::make_unique<CL_forecourt>("pty", false, 1, 8, settings_);
    ASSERT_EQ(0, loop->CreatePump(0, settings_));
    const std::string device = loop->DevicePath();
    for (int session = 0; session < 15; ++session) {
        SlaveClient controller(device);
        ASSERT_TRUE(controller.IsOpen()) << "session " << session;
        if (session % 3 == 2)
            continue;
        if (session % 3 == 1) {
            const Bytes cut = cltest::Poll(1);
            controller.Send(Bytes(cut.begin(), cut.begin() + 20));  // the next session starts with its own STX
            continue;
        }
        ASSERT_TRUE(controller.Send(cltest::Poll(1)));
        const Bytes reply = controller.ReadExactly(32, 3000);
        ASSERT_EQ(32u, reply.size()) << "session " << session;
        EXPECT_TRUE(cltest::CrcMatches(reply));
    }
    EXPECT_TRUE(loop->IoRunning());
    EXPECT_EQ("", loop->IoErrorText());
    EXPECT_LT(CpuMsOverOneSecond(), kMaxCpuMsPerSecond) << "a busy loop with nobody on the line";
    ExpectPromptRemoval(loop);
}

}  // namespace
