#include "platform/tport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "support/pty_controller.h"
#include "support/tcp_controller.h"
#include "support/wait.h"

namespace {

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<uint8_t> AllByteValues()
{
    std::vector<uint8_t> bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

// The error text of opening `name`, or "" when it opened.
// A pseudo-terminal slave name no system has: a link to it is stale.
const char* const kGonePseudoTerminal = "/dev/pts/99999999";

std::string OpenError(const std::string& name)
{
    try {
        TPort port(name);
    } catch (const Gallion_error& error) {
        return error.what();
    }
    return "";
}

std::vector<uint8_t> ReadFromPort(TPort& port, size_t count)
{
    std::vector<uint8_t> bytes;
    while (bytes.size() < count) {
        std::optional<uint8_t> byte = port.ReadByte();
        if (!byte)
            break;
        bytes.push_back(*byte);
    }
    return bytes;
}

// A controller that opens the slave of a virtual port itself, as a real one would.
class SlaveSide {
public:
    explicit SlaveSide(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~SlaveSide() { Close(); }
    bool IsOpen() const { return fd_ >= 0; }
    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void Send(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::vector<uint8_t> Read(size_t count, int timeout_ms)
    {
        std::vector<uint8_t> bytes;
        int64_t deadline = NowMs() + timeout_ms;
        while (bytes.size() < count && NowMs() < deadline) {
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(deadline - NowMs())) <= 0)
                continue;
            uint8_t buffer[512];
            ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n > 0)
                bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

private:
    int fd_;
};

class TPortTest : public ::testing::Test {
protected:
    void SetUp() override { TPort::SetReadTimeoutForTest(300); }
    void TearDown() override { TPort::SetReadTimeoutForTest(0); }
};

TEST_F(TPortTest, EveryByteValuePassesBothWaysUnchanged)
{
    PtyController controller;
    TPort port(controller.SlavePath());
    std::vector<uint8_t> all = AllByteValues();

    controller.Send(all);
    EXPECT_EQ(ReadFromPort(port, all.size()), all);

    port.WriteBuffer(all.data(), all.size());
    EXPECT_EQ(controller.ReadExactly(all.size(), 5000), all);

    for (uint8_t byte : all)
        port.WriteByte(byte);
    EXPECT_EQ(controller.ReadExactly(all.size(), 5000), all);
    EXPECT_TRUE(controller.Silent(50));  // no echo, no extra bytes
}

// Every byte value both ways through the port and a controller at the other end, nothing more.
void ExpectEveryByteBothWays(TPort& port, TcpController& controller)
{
    const std::vector<uint8_t> all = AllByteValues();
    controller.Send(all);
    EXPECT_EQ(ReadFromPort(port, all.size()), all);
    port.WriteBuffer(all.data(), all.size());
    EXPECT_EQ(controller.ReadExactly(all.size(), 5000), all);
    for (uint8_t byte : all)
        port.WriteByte(byte);
    EXPECT_EQ(controller.ReadExactly(all.size(), 5000), all);
    EXPECT_FALSE(controller.ReadByte(50));  // no echo, no extra bytes
}

TEST_F(TPortTest, TcpLinesCarryEveryByteValueAndAreSilentWithNobodyOnThem)
{
    TPort listening("tcp-listen:0");
    EXPECT_TRUE(listening.IsVirtual());
    // Nobody connected: a read finds nothing after the time-out, a write is lost without an error.
    const int64_t start = NowMs();
    EXPECT_FALSE(listening.ReadByte());
    EXPECT_GE(NowMs() - start, 250);
    const uint8_t lost[] = {1, 2, 3};
    listening.WriteBuffer(lost, sizeof lost);
    listening.WriteByte(4);
    TcpController controller = TcpController::Connect(listening.DevicePath());
    ExpectEveryByteBothWays(listening, controller);

    TcpServer server;
    TPort connecting("tcp:127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(connecting.DevicePath(), "127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_FALSE(connecting.ReadByte());  // the connect happens while the port waits for bytes
    std::optional<TcpController> accepted = server.Accept(3000);
    ASSERT_TRUE(accepted);
    ExpectEveryByteBothWays(connecting, *accepted);
}

TEST_F(TPortTest, OpeningAppliesLineSettingsAndEmptiesBuffers)
{
    PtyController controller;
    controller.Send({0x01, 0x02, 0x03});  // waiting before the port opens: must be discarded
    TPort port(controller.SlavePath());
    EXPECT_FALSE(port.ReadByte().has_value());

    int fd = open(controller.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        GTEST_SKIP() << "the slave cannot be opened a second time here (exclusive for non-root)";
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    // Parity cannot be checked here: a pseudo-terminal has no line and holds no parity setting.
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_iflag & INPCK);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
}

TEST_F(TPortTest, SilentLineReturnsNoByteAfterTheTimeOut)
{
    PtyController controller;
    TPort port(controller.SlavePath());
    int64_t start = NowMs();
    int64_t cpu_start = ThreadCpuMs();
    EXPECT_FALSE(port.ReadByte().has_value());
    int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 3000);
    EXPECT_LT(ThreadCpuMs() - cpu_start, 100);  // waited, not spun

    controller.Send({0x42});  // the line works on after a time-out
    EXPECT_EQ(port.ReadByte(), std::optional<uint8_t>(0x42));
}

TEST_F(TPortTest, NamesMapToDevices)
{
    EXPECT_EQ(TPort::PathForName("COM1"), "/dev/ttyS0");
    EXPECT_EQ(TPort::PathForName("COM12"), "/dev/ttyS11");
    EXPECT_EQ(TPort::PathForName("COM0"), "/dev/COM0");
    EXPECT_EQ(TPort::PathForName("COMx"), "/dev/COMx");
    EXPECT_EQ(TPort::PathForName("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(TPort::PathForName("/dev/pts/7"), "/dev/pts/7");
}

TEST_F(TPortTest, WhatIsNoSerialPortIsAnInvalidPortWithTheReason)
{
    TempDir dir;
    std::ofstream(dir.File("plain.txt")) << "not a port";
    EXPECT_EQ(OpenError("/dev/gallion-no-such-device"),
              "Invalid port: /dev/gallion-no-such-device: No such file or directory");
    EXPECT_EQ(OpenError("gallion-no-such-device"), "Invalid port: /dev/gallion-no-such-device: No such file or directory");
    EXPECT_EQ(OpenError("/dev/null"), "Invalid port: /dev/null: not a serial port");  // a character device, no terminal
    EXPECT_EQ(OpenError(dir.File("plain.txt")), "Invalid port: " + dir.File("plain.txt") + ": not a serial port");
    EXPECT_EQ(OpenError(dir.Path()), "Invalid port: " + dir.Path() + ": Is a directory");
    EXPECT_EQ(OpenError(""), "Invalid port: : no device named");
    EXPECT_EQ(OpenError("pty:"), "Invalid port: pty:: no path for the link after \"pty:\"");
}

TEST_F(TPortTest, PermissionProblemIsNamed)
{
    PtyController controller;
    ASSERT_EQ(chmod(controller.SlavePath().c_str(), 0600), 0);
    const std::string denied = "Invalid port: " + controller.SlavePath() + ": Permission denied";
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(controller.SlavePath().c_str(), 0), 0);
        EXPECT_EQ(OpenError(controller.SlavePath()), denied);
        return;
    }
    // Root opens any device: another user (nobody) tries it in a child.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(OpenError(controller.SlavePath()) == denied ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(TPortTest, APortAlreadyOpenIsAnInvalidPort)
{
    PtyController controller;
    auto first = std::make_unique<TPort>(controller.SlavePath());
    const std::string in_use = "Invalid port: " + controller.SlavePath() + ": in use by another program";
    EXPECT_EQ(OpenError(controller.SlavePath()), in_use);

    // Another process is refused too.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(OpenError(controller.SlavePath()) == in_use ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    first.reset();  // once released, the port opens again
    EXPECT_EQ(OpenError(controller.SlavePath()), "");
}

TEST_F(TPortTest, ReopenReleasesItsOwnHoldFirstAndLeaksNothing)
{
    PtyController controller;
    TPort port(controller.SlavePath());
    auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    auto before = open_descriptors();
    for (int i = 0; i < 5; ++i)
        ASSERT_NO_THROW(port.Reopen());
    EXPECT_EQ(open_descriptors(), before);

    controller.Send({0x7F, 0x11});
    EXPECT_EQ(ReadFromPort(port, 2), (std::vector<uint8_t>{0x7F, 0x11}));
}

TEST_F(TPortTest, ReadOnAVanishedDeviceRaisesTheReopenError)
{
    auto controller = std::make_unique<PtyController>();
    TPort port(controller->SlavePath());
    controller.reset();  // the device disappears under the port
    try {
        port.ReadByte();
        FAIL() << "the read of a vanished device must fail";
    } catch (const Gallion_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Invalid port: " + std::string(port.DevicePath()) + ": ", 0), 0u)
            << error.what();
    }
}

TEST_F(TPortTest, HungUpLineNeitherInventsBytesNorSpins)
{
    PtyController controller;
    TPort port(controller.SlavePath());
    controller.CloseMaster();  // the line hangs up; the controller's slave end stays open
    int64_t cpu_start = ThreadCpuMs();
    for (int i = 0; i < 3; ++i) {
        try {
            EXPECT_FALSE(port.ReadByte().has_value());
        } catch (const Gallion_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Invalid port: ", 0), 0u) << error.what();  // the reopen found the device gone
        }
    }
    EXPECT_LT(ThreadCpuMs() - cpu_start, 200);
}

TEST_F(TPortTest, WakeReturnsABlockedReadAtOnceAndStaysLatched)
{
    TPort::SetReadTimeoutForTest(5000);
    PtyController controller;
    TPort port(controller.SlavePath());
    std::atomic<int64_t> returned_after{-1};
    std::thread reader([&] {
        int64_t start = NowMs();
        std::optional<uint8_t> byte = port.ReadByte();
        returned_after = byte ? -2 : NowMs() - start;
    });
    int64_t deadline = NowMs() + 5000;
    while (port.CallsInProgress() == 0 && NowMs() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    port.Wake();
    reader.join();
    EXPECT_GE(returned_after.load(), 0);
    EXPECT_LT(returned_after.load(), 1000);

    int64_t start = NowMs();
    controller.Send({0x55});
    EXPECT_FALSE(port.ReadByte().has_value());  // latched: the owner sees its stop flag
    EXPECT_LT(NowMs() - start, 1000);
}

TEST_F(TPortTest, BytesThatArrivedTogetherAreFetchedAtOnceAndHandedOnInOrder)
{
    PtyController controller;
    TPort port(controller.SlavePath());
    std::vector<uint8_t> burst;
    for (int i = 0; i < 100; ++i)
        burst.push_back(static_cast<uint8_t>(i * 7));
    controller.Send(burst);
    ASSERT_TRUE(WaitFor([&] { return controller.UnreadBySimulator() == burst.size(); }));

    std::vector<uint8_t> got = ReadFromPort(port, 1);
    EXPECT_EQ(controller.UnreadBySimulator(), 0u) << "the first read takes every byte already there";
    std::vector<uint8_t> rest = ReadFromPort(port, burst.size() - 1);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, burst);

    // More than the port holds at once still arrives whole and in order.
    std::vector<uint8_t> long_run;
    for (int round = 0; round < 5; ++round) {
        std::vector<uint8_t> all = AllByteValues();
        long_run.insert(long_run.end(), all.begin(), all.end());
    }
    controller.Send(long_run);
    EXPECT_EQ(ReadFromPort(port, long_run.size()), long_run);
}

TEST_F(TPortTest, BytesStillBufferedAreDroppedByWakePurgeAndReopen)
{
    PtyController controller;
    TPort port(controller.SlavePath());
    auto send_and_take_one = [&](const std::vector<uint8_t>& bytes) {
        controller.Send(bytes);
        EXPECT_TRUE(WaitFor([&] { return controller.UnreadBySimulator() == bytes.size(); }));
        EXPECT_EQ(ReadFromPort(port, 1), std::vector<uint8_t>{bytes.front()});
    };

    send_and_take_one({0x01, 0x02, 0x03});
    port.PurgeReceive();
    controller.Send({0x42});
    EXPECT_EQ(ReadFromPort(port, 1), std::vector<uint8_t>{0x42}) << "purged as the driver's buffer is";

    send_and_take_one({0x04, 0x05, 0x06});
    port.Reopen();
    controller.Send({0x43});
    EXPECT_EQ(ReadFromPort(port, 1), std::vector<uint8_t>{0x43}) << "every open empties the receive side";

    send_and_take_one({0x07, 0x08, 0x09});
    port.Wake();
    EXPECT_FALSE(port.ReadByte().has_value()) << "a woken port hands on nothing more";
}

TEST_F(TPortTest, DestructionReturnsABlockedReadAtOnce)
{
    TPort::SetReadTimeoutForTest(5000);
    PtyController controller;
    TPort* port = new TPort(controller.SlavePath());
    std::atomic<bool> got_byte{false};
    std::atomic<int64_t> finished_at{0};
    std::thread reader([port, &got_byte, &finished_at] {
        got_byte = port->ReadByte().has_value();
        finished_at = NowMs();
    });
    int64_t deadline = NowMs() + 5000;
    while (port->CallsInProgress() == 0 && NowMs() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    int64_t start = NowMs();
    delete port;
    int64_t destroyed_after = NowMs() - start;
    reader.join();
    EXPECT_FALSE(got_byte.load());
    EXPECT_LT(destroyed_after, 1000);
    EXPECT_LT(finished_at.load() - start, 1000);
    EXPECT_EQ(OpenError(controller.SlavePath()), "");  // nothing of the old port is left holding it
}

TEST_F(TPortTest, VirtualPortIsASilentLineWithoutController)
{
    TPort port("pty");
    EXPECT_TRUE(port.IsVirtual());
    EXPECT_EQ(port.DevicePath().rfind("/dev/pts/", 0), 0u) << port.DevicePath();

    int64_t cpu_start = ThreadCpuMs();
    EXPECT_FALSE(port.ReadByte().has_value());
    EXPECT_FALSE(port.ReadByte().has_value());
    EXPECT_LT(ThreadCpuMs() - cpu_start, 100);

    std::vector<uint8_t> reply(64, 0x06);
    EXPECT_NO_THROW(port.WriteBuffer(reply.data(), reply.size()));  // nobody listens: no error
    EXPECT_NO_THROW(port.WriteByte(0x15));
}

TEST_F(TPortTest, VirtualPortWritesNeverStallWithoutController)
{
    TPort port("pty");
    std::vector<uint8_t> replies(200000, 0x41);
    int64_t start = NowMs();
    port.WriteBuffer(replies.data(), replies.size());
    for (int i = 0; i < 100; ++i)
        port.WriteByte(0x42);
    EXPECT_LT(NowMs() - start, 1500);  // far less than one give-up wait of a real line

    SlaveSide controller(port.DevicePath());  // a controller arriving now still gets fresh bytes
    ASSERT_TRUE(controller.IsOpen());
    controller.Read(300000, 200);  // whatever stale bytes are left
    port.WriteBuffer(AllByteValues().data(), 256);
    EXPECT_EQ(controller.Read(256, 5000), AllByteValues());
}

TEST_F(TPortTest, VirtualPortCarriesBytesOnceAControllerOpensTheSlave)
{
    TPort port("pty");
    std::vector<uint8_t> all = AllByteValues();
    for (int round = 0; round < 2; ++round) {  // a controller may come, go and come back
        SlaveSide controller(port.DevicePath());
        ASSERT_TRUE(controller.IsOpen());
        controller.Send(all);
        EXPECT_EQ(ReadFromPort(port, all.size()), all);
        port.WriteBuffer(all.data(), all.size());
        EXPECT_EQ(controller.Read(all.size(), 5000), all);
        EXPECT_TRUE(controller.Read(1, 50).empty());  // our replies are not echoed back
        controller.Close();

        int64_t cpu_start = ThreadCpuMs();
        EXPECT_FALSE(port.ReadByte().has_value());  // gone again: silence, no error
        EXPECT_LT(ThreadCpuMs() - cpu_start, 100);
    }
}

TEST_F(TPortTest, VirtualPortLinkFollowsThePortsLife)
{
    TempDir dir;
    std::string link = dir.File("gallion-line");
    ASSERT_EQ(symlink(kGonePseudoTerminal, link.c_str()), 0);  // stale: replaced
    {
        TPort port("pty:" + link);
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), port.DevicePath());
        SlaveSide controller(link);
        ASSERT_TRUE(controller.IsOpen());
        controller.Send({0x03, 0x0D});
        EXPECT_EQ(ReadFromPort(port, 2), (std::vector<uint8_t>{0x03, 0x0D}));
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link));

    // A link replaced by somebody else meanwhile is theirs: left alone.
    {
        TPort port("pty:" + link);
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink("/dev/somebody-else", link.c_str()), 0);
    }
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), "/dev/somebody-else");
}

TEST_F(TPortTest, VirtualPortNeverReplacesAUsersFile)
{
    TempDir dir;
    std::string file = dir.File("important");
    std::ofstream(file) << "keep me";
    EXPECT_EQ(OpenError("pty:" + file), "Invalid port: " + file + ": exists and is not a link (it is never replaced)");
    EXPECT_EQ(ReadWholeFile(file), "keep me");
    EXPECT_EQ(OpenError("pty:" + dir.File("no/such/folder/link")),
              "Invalid port: " + dir.File("no/such/folder/link") + ": cannot make the link: No such file or directory");
}

// Only a link to a pseudo-terminal that no longer exists is replaced; a link to a live one (a
// loop of this or another program), or to anything else, is someone's and refuses the port.
TEST_F(TPortTest, VirtualPortTakesOverOnlyAStaleLink)
{
    TempDir dir;
    std::string link = dir.File("line");

    PtyController other_program;
    ASSERT_EQ(symlink(other_program.SlavePath().c_str(), link.c_str()), 0);
    EXPECT_EQ(OpenError("pty:" + link), "Invalid port: " + link + ": a link to a live pseudo-terminal (" +
                                            other_program.SlavePath() + ") of another program or loop");
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), other_program.SlavePath());

    ASSERT_EQ(unlink(link.c_str()), 0);
    std::string users_file = dir.File("target");
    std::ofstream(users_file) << "x";
    ASSERT_EQ(symlink(users_file.c_str(), link.c_str()), 0);
    EXPECT_EQ(OpenError("pty:" + link), "Invalid port: " + link + ": a link to " + users_file + ", not to a pseudo-terminal");
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("/tmp/gallion-nothing-here", link.c_str()), 0);  // dangling, but no pseudo-terminal
    EXPECT_EQ(OpenError("pty:" + link),
              "Invalid port: " + link + ": a link to /tmp/gallion-nothing-here, not to a pseudo-terminal");
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), "/tmp/gallion-nothing-here");

    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(kGonePseudoTerminal, link.c_str()), 0);
    TPort port("pty:" + link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), port.DevicePath());
}

// A second port (a second runner, or a second loop) on the same link path is refused and does
// not take the link; the first port's link stays until it ends.
TEST_F(TPortTest, ASecondVirtualPortOnTheSameLinkIsRefused)
{
    TempDir dir;
    std::string link = dir.File("line");
    auto first = std::make_unique<TPort>("pty:" + link);
    EXPECT_EQ(OpenError("pty:" + link), "Invalid port: " + link + ": a link to a live pseudo-terminal (" +
                                            first->DevicePath() + ") of another program or loop");
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), first->DevicePath());
    first.reset();
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_EQ(OpenError("pty:" + link), "");
}

}  // namespace
