// The controller on a TCP line misbehaves: random bytes, connections reset or closed in the middle
// of a frame, newcomers while a controller is connected, and a controller that is never there.
// None of it may crash, hang, spin or stop the loop from answering the next controller.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "currentloop/cl_forecourt.h"
#include "currentloop/cl_test_frames.h"
#include "support/tcp_controller.h"
#include "zarn/zarn_forecourt.h"

namespace {

int64_t ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t count)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(byte(random));
    return bytes;
}

// Rounds of abuse on the loop's listening endpoint: each round a controller sends random bytes
// (with a real request now and then), reads a little of whatever comes back, and leaves by an
// abrupt reset or an orderly close, often in the middle of a frame; sometimes a second controller
// tries to connect meanwhile.
void Flood(const std::string& endpoint, const std::vector<uint8_t>& request, uint32_t seed)
{
    std::mt19937 random(seed);
    // A loop busy with the previous round's bytes may take a while to accept or refuse.
    constexpr int kPatienceMs = 10000;
    for (int round = 0; round < 40; ++round) {
        TcpController controller = TcpController::Connect(endpoint, kPatienceMs);
        for (int burst = 0; burst < 4; ++burst) {
            controller.Send(RandomBytes(random, 1 + random() % 2048));
            if (random() % 3 == 0)
                controller.Send(request);
        }
        if (round % 5 == 0) {
            try {  // refused while the controller is connected: reset during or right after connecting
                TcpController intruder = TcpController::Connect(endpoint, kPatienceMs);
                intruder.Send(RandomBytes(random, 64));
                EXPECT_TRUE(intruder.ClosedByPeer(kPatienceMs)) << "a second controller was let in";
            } catch (const std::exception&) {
            }
        }
        controller.ReadExactly(random() % 64, 20);
        controller.Send(std::vector<uint8_t>(request.begin(), request.begin() + random() % request.size()));
        if (random() % 2 == 0)
            controller.Abort();
        else
            controller.Close();
    }
}

// The most memory this process has held so far (kB), or -1 when the system does not tell.
long PeakResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// AddressSanitizer keeps freed memory aside for a while, so there the peak says nothing about
// what the loop holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeakMeansHeld = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPeakMeansHeld = false;
#else
constexpr bool kPeakMeansHeld = true;
#endif
#else
constexpr bool kPeakMeansHeld = true;
#endif

class TcpFaults : public ::testing::Test {
protected:
    void SetUp() override { settings_.pump_sleep_ms = 5; }
    Pump_settings settings_;
};

TEST_F(TcpFaults, ZarnLoopSurvivesFloodsAndAbruptDisconnects)
{
    Zarn_forecourt forecourt("tcp-listen:0", false, 1, 8, settings_);
    ASSERT_EQ(forecourt.CreatePump(0, true, settings_), 0);
    Flood(forecourt.DevicePath(), {0x50, 0x20, 0xFA}, 21);

    // The next controller ends whatever block the last one left half sent (two SF: after a junk
    // 0x10 the first is taken as stuffed data), lets the loop answer it, and then gets its POLLs
    // answered by pump 1.
    TcpController controller = TcpController::Connect(forecourt.DevicePath());
    controller.Send({0xFA, 0xFA});
    while (controller.ReadByte(300)) {
    }
    // A DATA reply to a junk POLL may still be pending: the sixth POLL after it gets no answer.
    std::vector<uint8_t> reply;
    for (int poll = 0; poll < 7 && reply.size() < 2; ++poll) {
        controller.Send({0x50, 0x20, 0xFA});
        reply = controller.ReadExactly(2, 1000);
    }
    ASSERT_EQ(reply.size(), 2u) << "no answer after the flood";
    EXPECT_EQ(reply[0], 0x50);
    EXPECT_TRUE(reply[1] == 0x70 || (reply[1] & 0xF0) == 0x30) << int(reply[1]);
    EXPECT_TRUE(forecourt.IoRunning());
}

// Blocks too short for any kind, as fast as the line takes them, with the view on but never
// fetching and no log open: the feed keeps at most its view backlog, nothing waits for logs,
// the process does not grow with the flood, and the loop answers the next POLL.
TEST_F(TcpFaults, ZarnLoopFloodedWithShortBlocksHoldsBoundedMemoryAndAnswers)
{
    Zarn_forecourt forecourt("tcp-listen:0", false, 1, 8, settings_);
    ASSERT_EQ(forecourt.CreatePump(0, true, settings_), 0);
    TcpController controller = TcpController::Connect(forecourt.DevicePath());
    const long peak_before = PeakResidentKb();
    std::vector<uint8_t> burst;
    for (int i = 0; i < 16384; ++i)
        burst.insert(burst.end(), {0x01, 0xFA, 0x50, 0xFA});
    // The loop takes the flood only as fast as it parses it, which is slow under the sanitizers on
    // a busy machine: two minutes for all of it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    auto remaining_ms = [&] {
        const auto left = deadline - std::chrono::steady_clock::now();
        return std::max(1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
    };
    for (int i = 0; i < 64; ++i)  // 4 MiB: two million blocks
        controller.SendWithin(burst, remaining_ms());

    // The POLL is answered once the loop has worked through the flood.
    controller.SendWithin({0x50, 0x20, 0xFA}, remaining_ms());
    const std::vector<uint8_t> reply = controller.ReadExactly(2, remaining_ms());
    ASSERT_EQ(reply.size(), 2u) << "no answer after the flood";
    EXPECT_EQ(reply[0], 0x50);
    EXPECT_TRUE(reply[1] == 0x70 || (reply[1] & 0xF0) == 0x30) << int(reply[1]);

    Message_displayer& feed = forecourt.Feed();
    EXPECT_LE(feed.DisplayQueueSize(), Message_displayer::kDisplayBacklog);
    EXPECT_EQ(feed.LogQueueSize(), 0u) << "copies kept for logs that do not exist";
    if (kPeakMeansHeld && peak_before > 0) {
        // A full view backlog is about 6 MB; two million kept copies would be over 500 MB.
        EXPECT_LT(PeakResidentKb() - peak_before, 64 * 1024) << "kB grown under the flood";
    }
    EXPECT_TRUE(forecourt.IoRunning());
}

TEST_F(TcpFaults, CurrentLoopSurvivesFloodsAndAbruptDisconnectsPacedOrNot)
{
    CL_forecourt forecourt("tcp-listen:0", false, 1, 8, settings_);
    ASSERT_EQ(forecourt.CreatePump(0, settings_), 0);
    Flood(forecourt.DevicePath(), cltest::Poll(1), 22);
    forecourt.SetLinePacing(true);
    Flood(forecourt.DevicePath(), cltest::Poll(1), 23);

    TcpController controller = TcpController::Connect(forecourt.DevicePath());
    controller.Send(cltest::Poll(1));
    const std::vector<uint8_t> reply = controller.ReadExactly(32, 3000);
    ASSERT_EQ(reply.size(), 32u) << "no answer after the flood";
    EXPECT_TRUE(cltest::CrcMatches(reply));
    EXPECT_EQ(reply[2], cltest::PumpAddress(1));
    EXPECT_TRUE(forecourt.IoRunning());
}

TEST_F(TcpFaults, NobodyToConnectToCostsNoCpu)
{
    int port = 0;
    {
        TcpServer closed;  // a port that was free a moment ago: connects are refused
        port = closed.Port();
    }
    CL_forecourt forecourt("tcp:127.0.0.1:" + std::to_string(port), false, 1, 8, settings_);
    const int64_t cpu_before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(ProcessCpuMs() - cpu_before, 500) << "the loop spins while it cannot connect";
    EXPECT_TRUE(forecourt.IoRunning());
}

}  // namespace
