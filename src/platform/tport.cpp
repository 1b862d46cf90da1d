#include "platform/tport.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/error.h"
#include "platform/tcp_line.h"

namespace {

constexpr int kReadTimeoutMs = 5000;
// A real line at 9600 baud drains about one byte per millisecond; a write that makes no progress
// for this long is given up (the rest dropped) rather than hanging the I/O thread.
constexpr int kWriteGiveUpMs = 2000;
// One byte on a 9600-baud line: start bit, 8 data bits, parity and stop bit.
constexpr std::chrono::nanoseconds kByteTime(11LL * 1000000000LL / 9600);

std::atomic<int> g_read_timeout_ms{kReadTimeoutMs};

const char* const kInUse = "in use by another program";

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int RemainingMs(int64_t deadline_ms)
{
    int64_t left = deadline_ms - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

void CloseQuietly(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// A pseudo-terminal (either side) has no physical line: the kernel ignores parity there, and the C
// library then reports the whole setting as refused.
bool IsPseudoTerminal(int fd)
{
    char name[128];
    if (ptsname_r(fd, name, sizeof name) == 0)
        return true;  // master
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    unsigned int device_major = major(info.st_rdev);
    return device_major >= 136 && device_major <= 143;  // Unix98 slaves
}

// "/dev/pts/" followed by digits only: the name of a pseudo-terminal's slave.
bool IsPseudoTerminalSlavePath(const std::string& path)
{
    const std::string prefix = "/dev/pts/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

}  // namespace

Gallion_error InvalidPort(const std::string& what, const std::string& reason)
{
    return Gallion_error(std::string(kInvalidPort) + ": " + what + ": " + reason);
}

namespace {
bool IsPseudoTerminalPortName(const std::string& name)
{
    return name == "pty" || name.compare(0, 4, "pty:") == 0;
}
}  // namespace

bool IsVirtualPortName(const std::string& name)
{
    return IsPseudoTerminalPortName(name) || IsTcpPortName(name);
}

// "COMn" -> /dev/ttyS<n-1>; "/..." as it stands; anything else under /dev.
std::string TPort::PathForName(const std::string& name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos && name.size() <= 6) {
        int number = std::stoi(name.substr(3));
        if (number >= 1)
            return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + name;
}

void TPort::SetReadTimeoutForTest(int milliseconds)
{
    g_read_timeout_ms.store(milliseconds > 0 ? milliseconds : kReadTimeoutMs);
}

TPort::TPort(const std::string& name) : name_(name)
{
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0)
        throw Gallion_error("Could not set Timeouts");
    try {
        if (IsTcpPortName(name)) {
            tcp_ = std::make_unique<Tcp_line>(name);
            device_path_ = tcp_->Endpoint();
        } else if (IsPseudoTerminalPortName(name)) {
            is_virtual_ = true;
            if (name == "pty:")  // a link without a path
                throw InvalidPort(name, "no path for the link after \"pty:\"");
            OpenVirtual(name.size() > 4 ? name.substr(4) : std::string());
        } else {
            device_path_ = PathForName(name);
            Reopen();
        }
    } catch (...) {
        CloseAll();
        throw;
    }
}

TPort::~TPort()
{
    // A thread still inside a read or write is woken and leaves before the descriptors go.
    Wake();
    while (busy_.load(std::memory_order_acquire) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CloseAll();
}

void TPort::CloseAll()
{
    RemoveLink();
    CloseDevice();
    CloseQuietly(slave_keeper_fd_);
    CloseQuietly(wake_fd_);
}

void TPort::CloseDevice()
{
    if (fd_ < 0)
        return;
    if (!is_virtual_)
        ioctl(fd_, TIOCNXCL);  // let the next open in; the flock goes with the descriptor
    CloseQuietly(fd_);
}

void TPort::Reopen()
{
    DiscardReadBuffer();  // bytes read before go the way of those the driver still held
    if (tcp_)
        return;  // a TCP line reconnects or accepts by itself
    if (is_virtual_) {
        // The pseudo-terminal must keep its slave path for the controller: set it up again in
        // place instead of creating a new one.
        if (fd_ < 0)
            throw InvalidPort(name_, "the pseudo-terminal is closed");
        ApplyLineSettings(fd_);
        return;
    }
    CloseDevice();
    OpenDevice();
}

void TPort::OpenDevice()
{
    if (device_path_.empty() || device_path_ == "/dev/")
        throw InvalidPort(name_, "no device named");
    fd_ = open(device_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        // TIOCEXCL of another program shows as EBUSY.
        int error = errno;
        throw InvalidPort(device_path_, error == EBUSY ? kInUse : std::strerror(error));
    }
    if (!isatty(fd_)) {
        CloseQuietly(fd_);
        throw InvalidPort(device_path_, "not a serial port");
    }
    // flock makes the port exclusive even for root, whom TIOCEXCL does not stop.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        CloseQuietly(fd_);
        throw InvalidPort(device_path_, error == EWOULDBLOCK ? kInUse : std::strerror(error));
    }
    ioctl(fd_, TIOCEXCL);  // refusal does not matter: the flock holds
    try {
        ApplyLineSettings(fd_);
    } catch (...) {
        CloseDevice();
        throw;
    }
}

// Raw 8O1 at 9600 baud, reads that never block in the driver (the wait is our poll), DTR and RTS
// off, both buffers emptied.
void TPort::ApplyLineSettings(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        throw Gallion_error("Could not set CommState");
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    if (!IsPseudoTerminal(fd))
        tio.c_cflag |= PARENB | PARODD;
    // Parity checking on; a byte that arrives with a parity or framing error, or a break, is
    // dropped rather than handed on as an invented 0x00.
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | PARMRK | ISTRIP);
    tio.c_iflag |= INPCK | IGNPAR | IGNBRK;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        throw Gallion_error("Could not set CommState");

    // tcsetattr succeeds when any part was taken: read back that reads never wait in the driver.
    termios check{};
    if (tcgetattr(fd, &check) != 0)
        throw Gallion_error("Could not read timeouts");
    if (check.c_cc[VMIN] != 0 || check.c_cc[VTIME] != 0 || (check.c_lflag & ICANON) != 0)
        throw Gallion_error("Could not set Timeouts");

    int modem_lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &modem_lines);  // a pseudo-terminal has no modem lines: not an error

    if (tcflush(fd, TCIOFLUSH) != 0)
        throw Gallion_error("Could not Purge communication resource");
}

void TPort::OpenVirtual(const std::string& link_path)
{
    // The link's place is checked first, so a refused link leaves no pseudo-terminal behind.
    if (!link_path.empty())
        CheckLinkPlace(link_path);

    fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd_ < 0)
        throw InvalidPort(name_, std::string("no pseudo-terminal: ") + std::strerror(errno));
    fcntl(fd_, F_SETFD, FD_CLOEXEC);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    char slave_name[128] = {};
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0 || ptsname_r(fd_, slave_name, sizeof slave_name) != 0)
        throw InvalidPort(name_, std::string("no pseudo-terminal: ") + std::strerror(errno));
    device_path_ = slave_name;

    // Our own descriptor on the slave keeps the line up while no controller has it open, so the
    // master never sees a hang-up: an absent controller is a silent line. The slave's settings
    // are what the controller's bytes pass through, so they are made raw here.
    slave_keeper_fd_ = open(slave_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_keeper_fd_ < 0)
        throw InvalidPort(slave_name, std::strerror(errno));
    ApplyLineSettings(slave_keeper_fd_);
    ApplyLineSettings(fd_);

    if (link_path.empty())
        return;
    // Checked again right before the link is made: only a stale link is ever removed. Should
    // another program put something there in between, symlink fails with EEXIST instead of
    // replacing it.
    if (CheckLinkPlace(link_path) && unlink(link_path.c_str()) != 0 && errno != ENOENT)
        throw InvalidPort(link_path, std::string("cannot remove the stale link: ") + std::strerror(errno));
    if (symlink(slave_name, link_path.c_str()) != 0) {
        int error = errno;
        throw InvalidPort(link_path, error == EEXIST ? "another program made a file there just now"
                                                     : std::string("cannot make the link: ") + std::strerror(error));
    }
    link_path_ = link_path;
}

// Whether the link of "pty:PATH" may go at PATH: nothing there (false), or a stale link, one to
// a pseudo-terminal that no longer exists, which may be replaced (true). Anything else belongs to
// someone else and refuses the port with the reason.
bool TPort::CheckLinkPlace(const std::string& link_path)
{
    struct stat existing {};
    if (lstat(link_path.c_str(), &existing) != 0) {
        if (errno == ENOENT)
            return false;
        throw InvalidPort(link_path, std::strerror(errno));
    }
    if (!S_ISLNK(existing.st_mode))
        throw InvalidPort(link_path, "exists and is not a link (it is never replaced)");
    char target[PATH_MAX] = {};
    ssize_t length = readlink(link_path.c_str(), target, sizeof target - 1);
    if (length < 0)
        throw InvalidPort(link_path, std::strerror(errno));
    std::string destination(target, static_cast<size_t>(length));
    if (!IsPseudoTerminalSlavePath(destination))
        throw InvalidPort(link_path, "a link to " + destination + ", not to a pseudo-terminal");
    struct stat device {};
    if (lstat(destination.c_str(), &device) == 0)
        throw InvalidPort(link_path, "a link to a live pseudo-terminal (" + destination +
                                         ") of another program or loop");
    if (errno != ENOENT)
        throw InvalidPort(link_path, destination + ": " + std::strerror(errno));
    return true;  // the pseudo-terminal is gone: a leftover of a program that ended
}

void TPort::RemoveLink()
{
    if (link_path_.empty())
        return;
    char target[256] = {};
    ssize_t length = readlink(link_path_.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == device_path_)
        unlink(link_path_.c_str());
    link_path_.clear();
}

void TPort::Wake()
{
    woken_.store(true, std::memory_order_release);
    uint64_t one = 1;
    if (wake_fd_ >= 0) {
        ssize_t ignored = write(wake_fd_, &one, sizeof one);
        (void)ignored;
    }
}

bool TPort::WokenUp() const
{
    pollfd wake{wake_fd_, POLLIN, 0};
    return poll(&wake, 1, 0) > 0;
}

// Waits until the deadline, returning early only when the port is woken.
void TPort::WaitOutOnWake(int64_t deadline_ms)
{
    pollfd wake{wake_fd_, POLLIN, 0};
    while (RemainingMs(deadline_ms) > 0) {
        int r = poll(&wake, 1, RemainingMs(deadline_ms));
        if (r > 0 || (r < 0 && errno != EINTR))
            return;
    }
}

namespace {
// Counts a call in progress for the destructor's sake.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<int>& count) : count_(count) { count_.fetch_add(1, std::memory_order_acq_rel); }
    ~BusyGuard() { count_.fetch_sub(1, std::memory_order_acq_rel); }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    std::atomic<int>& count_;
};
}  // namespace

std::optional<uint8_t> TPort::ReadByte()
{
    BusyGuard busy(busy_);
    if (woken_.load(std::memory_order_acquire))
        return std::nullopt;  // woken: the wake stays latched for every later call
    if (read_next_ < read_end_)
        return read_buffer_[read_next_++];
    return FillReadBuffer();
}

// Waits up to the read time-out for the line, then takes every byte that has arrived in one
// read and hands on the first.
std::optional<uint8_t> TPort::FillReadBuffer()
{
    DiscardReadBuffer();
    int64_t deadline = NowMs() + g_read_timeout_ms.load();
    if (tcp_)
        return tcp_->ReadByte(std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline)), wake_fd_);
    bool reopened = false;
    for (;;) {
        if (fd_ < 0)
            Reopen();
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        int r = poll(fds, 2, RemainingMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;  // time-out (or a poll failure, which we do not retry at once)
        if (fds[1].revents != 0)
            return std::nullopt;  // woken
        if (fds[0].revents == 0)
            continue;
        ssize_t n = read(fd_, read_buffer_, sizeof read_buffer_);
        if (n > 0) {
            read_next_ = 1;
            read_end_ = static_cast<size_t>(n);
            return read_buffer_[0];
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
                WaitOutOnWake(deadline);  // nothing to read yet the line reports trouble
            continue;
        }
        // A read error or end of file: the device went away or hung up. Reopen once per call; a
        // device that fails again at once is left alone until the time-out has passed, so a
        // broken line never turns into a busy loop.
        if (reopened) {
            WaitOutOnWake(deadline);
            return std::nullopt;
        }
        Reopen();
        reopened = true;
    }
}

bool TPort::WaitUntilWritable(int64_t deadline_ms)
{
    for (;;) {
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
        int r = poll(fds, 2, RemainingMs(deadline_ms));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || fds[1].revents != 0)
            return false;
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return true;  // the next write reports the error
        if (fds[0].revents & POLLOUT)
            return true;
        if (fds[0].revents & POLLHUP)
            return true;
    }
}

TPort::WriteResult TPort::WriteAll(const uint8_t* bytes, size_t count)
{
    if (fd_ < 0)
        return WriteResult::Failed;
    size_t done = 0;
    int64_t deadline = NowMs() + kWriteGiveUpMs;
    bool discarded_since_progress = false;
    while (done < count) {
        ssize_t n = write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            deadline = NowMs() + kWriteGiveUpMs;  // progress: the line is draining
            discarded_since_progress = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return WriteResult::Failed;
        if (is_virtual_ && !discarded_since_progress) {
            // A full virtual line means nobody reads the slave: drop what waits there unread,
            // as bytes sent on a real line with nobody listening are lost.
            tcflush(slave_keeper_fd_, TCIFLUSH);
            discarded_since_progress = true;
            continue;
        }
        if (!WaitUntilWritable(deadline))
            return WriteResult::GaveUp;
    }
    return WriteResult::Done;
}

void TPort::WriteByte(uint8_t byte)
{
    BusyGuard busy(busy_);
    if (tcp_ || LinePacing()) {
        WriteWithPacing(&byte, 1);  // unpaced when pacing is off
        return;
    }
    WriteResult result = WriteAll(&byte, 1);
    if (result == WriteResult::Failed || (result == WriteResult::GaveUp && !WokenUp()))
        throw Gallion_error("TPort : Not able to send data to port");
}

void TPort::WriteBuffer(const uint8_t* bytes, size_t count)
{
    BusyGuard busy(busy_);
    if (bytes == nullptr || count == 0)
        return;
    WriteWithPacing(bytes, count);
}

// With pacing on, byte by byte, each no sooner than one byte time after the one before; else in
// one go. Woken, it stops: the rest is not sent.
void TPort::WriteWithPacing(const uint8_t* bytes, size_t count)
{
    if (!LinePacing()) {
        WriteUnpaced(bytes, count);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!WaitForLineFree())
            return;
        WriteUnpaced(bytes + i, 1);
        line_free_at_ = std::chrono::steady_clock::now() + kByteTime;
    }
}

void TPort::WriteUnpaced(const uint8_t* bytes, size_t count)
{
    if (tcp_)
        tcp_->Write(bytes, count, wake_fd_);
    else if (WriteAll(bytes, count) == WriteResult::Failed)
        Reopen();
}

// Sleeps until the line has sent the last byte, holding no lock; false when woken meanwhile.
bool TPort::WaitForLineFree()
{
    pollfd wake{wake_fd_, POLLIN, 0};
    for (;;) {
        const auto left = line_free_at_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero())
            return !WokenUp();
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
        if (ppoll(&wake, 1, &wait, nullptr) > 0)
            return false;
    }
}

void TPort::SetLinePacing(bool on)
{
    line_pacing_.store(on && IsVirtual());
}

void TPort::PurgeReceive()
{
    DiscardReadBuffer();
    if (tcp_) {
        tcp_->DiscardReceived();
        return;
    }
    if (fd_ >= 0)
        tcflush(fd_, TCIFLUSH);
}

bool TPort::TakeNewPeer()
{
    return tcp_ != nullptr && tcp_->TakeNewConnection();
}
