#include "platform/serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/port_name.h"

namespace {

// A real line at 9600 baud drains about one byte per millisecond; a write that makes no progress
// for this long is given up (the rest dropped) rather than hanging the I/O thread.
constexpr auto kWriteGiveUp = std::chrono::milliseconds(2000);

const char* const kInUse = "in use by another program";

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

// Waits until the deadline, returning early only when woken.
void WaitOutOnWake(Line::Clock::time_point deadline, int wake_fd)
{
    pollfd wake{wake_fd, POLLIN, 0};
    while (Line::MsUntil(deadline) > 0) {
        int r = poll(&wake, 1, Line::MsUntil(deadline));
        if (r > 0 || (r < 0 && errno != EINTR))
            return;
    }
}

}  // namespace

Serial_line::Serial_line(const std::string& device_path)
{
    device_path_ = device_path;
    Open();
}

Serial_line::~Serial_line()
{
    Close();
}

void Serial_line::Close()
{
    if (fd_ < 0)
        return;
    if (exclusive_)
        ioctl(fd_, TIOCNXCL);  // let the next open in; the flock goes with the descriptor
    close(fd_);
    fd_ = -1;
}

void Serial_line::Reopen()
{
    Close();
    Open();
}

void Serial_line::Open()
{
    fd_ = open(device_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        // TIOCEXCL of another program shows as EBUSY.
        int error = errno;
        throw InvalidPort(device_path_, error == EBUSY ? kInUse : std::strerror(error));
    }
    if (!isatty(fd_)) {
        Close();
        throw InvalidPort(device_path_, "not a serial port");
    }
    // flock makes the port exclusive even for root, whom TIOCEXCL does not stop.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        Close();
        throw InvalidPort(device_path_, error == EWOULDBLOCK ? kInUse : std::strerror(error));
    }
    ioctl(fd_, TIOCEXCL);  // refusal does not matter: the flock holds
    exclusive_ = true;
    try {
        ApplyLineSettings(fd_);
    } catch (...) {
        Close();
        throw;
    }
}

void Serial_line::ApplyLineSettings(int fd)
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

size_t Serial_line::Read(uint8_t* buffer, size_t size, Clock::time_point deadline, int wake_fd)
{
    bool reopened = false;
    for (;;) {
        if (fd_ < 0)
            Reopen();
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int r = poll(fds, 2, MsUntil(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return 0;  // time-out (or a poll failure, which we do not retry at once)
        if (fds[1].revents != 0)
            return 0;  // woken
        if (fds[0].revents == 0)
            continue;
        ssize_t n = read(fd_, buffer, size);
        if (n > 0)
            return static_cast<size_t>(n);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
                WaitOutOnWake(deadline, wake_fd);  // nothing to read yet the line reports trouble
            continue;
        }
        // A read error or end of file: the device went away or hung up. Reopen once per call; a
        // device that fails again at once is left alone until the time-out has passed, so a
        // broken line never turns into a busy loop.
        if (reopened) {
            WaitOutOnWake(deadline, wake_fd);
            return 0;
        }
        Reopen();
        reopened = true;
    }
}

bool Serial_line::WaitUntilWritable(Clock::time_point deadline, int wake_fd)
{
    for (;;) {
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
        int r = poll(fds, 2, MsUntil(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || fds[1].revents != 0)
            return false;
        // Writable, or an error or hang-up that the next write reports.
        if (fds[0].revents & (POLLOUT | POLLERR | POLLNVAL | POLLHUP))
            return true;
    }
}

Line::Written Serial_line::Write(const uint8_t* bytes, size_t count, int wake_fd)
{
    if (fd_ < 0)
        return Written::failed;
    size_t done = 0;
    auto deadline = Clock::now() + kWriteGiveUp;
    bool room_made_since_progress = false;
    while (done < count) {
        ssize_t n = write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            deadline = Clock::now() + kWriteGiveUp;  // progress: the line is draining
            room_made_since_progress = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return Written::failed;
        if (!room_made_since_progress && MakeRoom()) {
            room_made_since_progress = true;
            continue;
        }
        if (!WaitUntilWritable(deadline, wake_fd))
            return Written::gave_up;
    }
    return Written::all;
}

void Serial_line::DiscardReceived()
{
    if (fd_ >= 0)
        tcflush(fd_, TCIFLUSH);
}
