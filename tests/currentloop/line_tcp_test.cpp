// A current-loop loop whose line runs over TCP, and line-speed pacing, the test playing the
// controller: reconnection to a controller that restarts, replies paced at 9600 baud on TCP and
// on a pseudo-terminal, and removal that never waits for the network or the pace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cl_test_frames.h"
#include "platform/error.h"
#include "support/tcp_controller.h"

namespace {

using Clock = std::chrono::steady_clock;
using cltest::Poll;

// One byte of a 9600-baud line with start, parity and stop bits.
constexpr std::chrono::nanoseconds kByteTime(11LL * 1000000000LL / 9600);

// The controller on the other end of a virtual port: its pseudo-terminal's device, raw.
class DeviceLine : public ControllerLine {
public:
    explicit DeviceLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~DeviceLine() override { close(fd_); }
    void Send(const std::vector<uint8_t>& bytes) override
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::optional<uint8_t> ReadByte(int timeout_ms) override
    {
        pollfd entry{fd_, POLLIN, 0};
        uint8_t byte = 0;
        if (poll(&entry, 1, timeout_ms) == 1 && read(fd_, &byte, 1) == 1)
            return byte;
        return std::nullopt;
    }

private:
    int fd_;
};

class ClTcp : public ::testing::Test {
protected:
    std::unique_ptr<CL_forecourt> LoopWithPumpOne(const std::string& port_name)
    {
        auto forecourt = std::make_unique<CL_forecourt>(port_name, false, 1, 8, pump_settings_);
        EXPECT_EQ(forecourt->CreatePump(0, pump_settings_), 0);
        return forecourt;
    }

    // Sends a poll of pump 1 and reads the 32-byte reply, taking the time each byte was read.
    static std::vector<uint8_t> AskTimed(ControllerLine& line, std::vector<Clock::time_point>& arrivals)
    {
        line.Send(Poll(1));
        std::vector<uint8_t> reply;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
        while (reply.size() < 32 && Clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const std::optional<uint8_t> byte = line.ReadByte(static_cast<int>(left.count()) + 1);
            if (!byte)
                break;
            arrivals.push_back(Clock::now());
            reply.push_back(*byte);
        }
        return reply;
    }

    static std::vector<uint8_t> Ask(ControllerLine& line)
    {
        std::vector<Clock::time_point> arrivals;
        return AskTimed(line, arrivals);
    }

    // A paced 32-byte reply over TCP spans at least 31 byte times from its first byte to its last,
    // by the kernel's receive time stamps.
    static void ExpectPacedReplyOverTcp(TcpController& line)
    {
        std::vector<uint8_t> reply;
        std::vector<std::chrono::nanoseconds> received;
        // Asks again while the kernel has not begun to stamp.
        for (int attempt = 0; attempt < 20 && received.size() < 32; ++attempt) {
            line.Send(Poll(1));
            reply.clear();
            received.clear();
            while (reply.size() < 32) {
                const auto byte = line.ReadStampedByte(3000);
                if (!byte)
                    break;
                reply.push_back(byte->byte);
                if (byte->received)
                    received.push_back(*byte->received);
            }
            ASSERT_EQ(reply.size(), 32u);
        }
        ASSERT_EQ(received.size(), 32u) << "the kernel gave no receive time stamps";
        EXPECT_TRUE(cltest::CrcMatches(reply));
        EXPECT_GE(received.back() - received.front(), 31 * kByteTime)
            << std::chrono::duration_cast<std::chrono::microseconds>(received.back() - received.front()).count()
            << " us";
    }

    // A paced reply on a pseudo-terminal never arrives faster than the line: byte k comes at least
    // k byte times after the request was sent (the first byte cannot leave before the request
    // arrived). Read late, bytes only seem later, so this holds however the test thread is run.
    static void ExpectPacedReplyOnTheLine(ControllerLine& line)
    {
        const Clock::time_point asked = Clock::now();
        std::vector<Clock::time_point> arrivals;
        const std::vector<uint8_t> reply = AskTimed(line, arrivals);
        ASSERT_EQ(reply.size(), 32u);
        EXPECT_TRUE(cltest::CrcMatches(reply));
        for (size_t k = 0; k < arrivals.size(); ++k)
            EXPECT_GE(arrivals[k] - asked, static_cast<int>(k) * kByteTime) << "byte " << k << " came too soon";
    }

    const Pump_settings pump_settings_ = QuickPumpSettings();
};

TEST_F(ClTcp, ConnectsToTheControllerAndReconnectsAfterItRestarts)
{
    auto server = std::make_unique<TcpServer>();
    const int port = server->Port();
    auto forecourt = LoopWithPumpOne("tcp:127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(forecourt->DevicePath(), "127.0.0.1:" + std::to_string(port));
    {
        std::optional<TcpController> line = server->Accept(3000);
        ASSERT_TRUE(line) << "the loop did not connect";
        const std::vector<uint8_t> reply = Ask(*line);
        ASSERT_EQ(reply.size(), 32u);
        EXPECT_EQ(reply[2], cltest::PumpAddress(1));
    }
    // The controller goes away and comes back on the same port: the loop connects again by itself.
    server.reset();
    server = std::make_unique<TcpServer>(port);
    std::optional<TcpController> line = server->Accept(5000);
    ASSERT_TRUE(line) << "the loop did not reconnect";
    const std::vector<uint8_t> reply = Ask(*line);
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_TRUE(cltest::CrcMatches(reply));
}

TEST_F(ClTcp, PacedRepliesTakeTheTimeOfARealLineOnTcpAndOnAPseudoTerminal)
{
    auto forecourt = LoopWithPumpOne("tcp-listen:0");
    EXPECT_FALSE(forecourt->LinePacing());  // off unless asked for
    forecourt->SetLinePacing(true);
    EXPECT_TRUE(forecourt->LinePacing());
    TcpController tcp = TcpController::Connect(forecourt->DevicePath());
    ExpectPacedReplyOverTcp(tcp);

    // On a virtual port: the controller opens the pseudo-terminal's other end.
    auto paced_pty = LoopWithPumpOne("pty");
    paced_pty->SetLinePacing(true);
    EXPECT_TRUE(paced_pty->LinePacing());
    DeviceLine pty(paced_pty->DevicePath());
    ExpectPacedReplyOnTheLine(pty);
}

TEST_F(ClTcp, PacingIsIgnoredOnASerialDevice)
{
    PtyController device;  // Gallion opens its slave as a serial device
    auto forecourt = LoopWithPumpOne(device.SlavePath());
    forecourt->SetLinePacing(true);
    EXPECT_FALSE(forecourt->LinePacing());
}

TEST_F(ClTcp, RemovalIsPromptWhileAReplyIsPacedOrAConnectIsUnderWay)
{
    // Mid-way through a paced reply.
    {
        auto forecourt = LoopWithPumpOne("tcp-listen:0");
        forecourt->SetLinePacing(true);
        TcpController line = TcpController::Connect(forecourt->DevicePath());
        line.Send(Poll(1));
        ASSERT_TRUE(line.ReadByte(3000)) << "no reply began";
        const auto started = Clock::now();
        forecourt.reset();
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(1));
        EXPECT_LT(line.ReadExactly(32, 1000).size(), 31u) << "the paced reply was finished first";
    }
    // While connecting to a controller that takes connections but never accepts them: the
    // listening backlog is filled first, so the loop's connect hangs until its own deadline.
    {
        TcpServer silent;
        std::vector<TcpController> fillers;
        try {
            for (int i = 0; i < 16; ++i)
                fillers.push_back(TcpController::Connect("127.0.0.1:" + std::to_string(silent.Port()), 100));
        } catch (const std::exception&) {
            // the backlog is full: further connects hang
        }
        auto forecourt = LoopWithPumpOne("tcp:127.0.0.1:" + std::to_string(silent.Port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the loop is connecting now
        const auto started = Clock::now();
        forecourt.reset();
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(1));
    }
}

TEST_F(ClTcp, NamesThatCannotBeUsedAreRefusedWithTheReason)
{
    auto refusal = [this](const std::string& name) {
        try {
            CL_forecourt forecourt(name, false, 1, 2, pump_settings_);
        } catch (const Gallion_error& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal("tcp:4001"), "Invalid port: tcp:4001: expected tcp:HOST:PORT");
    EXPECT_EQ(refusal("tcp:host:0"), "Invalid port: tcp:host:0: the port must be a number from 1 to 65535");
    EXPECT_EQ(refusal("tcp-listen:70000"),
              "Invalid port: tcp-listen:70000: the port must be a number from 0 to 65535");
    EXPECT_EQ(refusal("tcp-listen:"), "Invalid port: tcp-listen:: the port must be a number from 0 to 65535");
    const std::string unknown_host = refusal("tcp:no-such-host.invalid:4001");
    EXPECT_EQ(unknown_host.rfind("Invalid port: tcp:no-such-host.invalid:4001: no-such-host.invalid: ", 0), 0u)
        << unknown_host;

    TcpServer taken;
    const std::string name = "tcp-listen:" + std::to_string(taken.Port());
    EXPECT_EQ(refusal(name),
              "Invalid port: " + name + ": 127.0.0.1:" + std::to_string(taken.Port()) + ": Address already in use");
}

}  // namespace
