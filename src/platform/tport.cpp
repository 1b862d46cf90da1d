#include "platform/tport.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "platform/pty_line.h"
#include "platform/serial_line.h"
#include "platform/tcp_line.h"

namespace {

constexpr int kReadTimeoutMs = 5000;
// One byte on a 9600-baud line: start bit, 8 data bits, parity and stop bit.
constexpr std::chrono::nanoseconds kByteTime(11LL * 1000000000LL / 9600);

std::atomic<int> g_read_timeout_ms{kReadTimeoutMs};

std::unique_ptr<Line> OpenLine(const Port_name& name)
{
    switch (name.GetKind()) {
    case Port_name::Kind::pseudo_terminal:
        return std::make_unique<Pty_line>(name.Text(), name.LinkPath());
    case Port_name::Kind::tcp_connect:
    case Port_name::Kind::tcp_listen:
        return std::make_unique<Tcp_line>(name);
    case Port_name::Kind::device:
        break;
    }
    return std::make_unique<Serial_line>(name.DevicePath());
}

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

void TPort::SetReadTimeoutForTest(int milliseconds)
{
    g_read_timeout_ms.store(milliseconds > 0 ? milliseconds : kReadTimeoutMs);
}

TPort::TPort(const std::string& name) : name_(name), parsed_(Port_name::Parse(name))
{
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0)
        throw Gallion_error("Could not set Timeouts");
    try {
        line_ = OpenLine(parsed_);
    } catch (...) {
        close(wake_fd_);
        throw;
    }
}

TPort::~TPort()
{
    // A thread still inside a read or write is woken and leaves before the line goes.
    Wake();
    while (busy_.load(std::memory_order_acquire) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    line_.reset();
    close(wake_fd_);
}

const std::string& TPort::DevicePath() const
{
    return line_->DevicePath();
}

void TPort::Reopen()
{
    DiscardReadBuffer();  // bytes read before go the way of those the driver still held
    line_->Reopen();
}

void TPort::Wake()
{
    woken_.store(true, std::memory_order_release);
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
}

bool TPort::WokenUp() const
{
    pollfd wake{wake_fd_, POLLIN, 0};
    return poll(&wake, 1, 0) > 0;
}

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
    const auto deadline = Line::Clock::now() + std::chrono::milliseconds(g_read_timeout_ms.load());
    const size_t count = line_->Read(read_buffer_, sizeof read_buffer_, deadline, wake_fd_);
    if (count == 0)
        return std::nullopt;
    read_next_ = 1;
    read_end_ = count;
    return read_buffer_[0];
}

void TPort::WriteByte(uint8_t byte)
{
    BusyGuard busy(busy_);
    if (LinePacing()) {
        WriteWithPacing(&byte, 1);
        return;
    }
    const Line::Written result = line_->Write(&byte, 1, wake_fd_);
    if (result == Line::Written::peer_lost)
        DiscardReadBuffer();
    else if (result == Line::Written::failed || (result == Line::Written::gave_up && !WokenUp()))
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
    const Line::Written result = line_->Write(bytes, count, wake_fd_);
    if (result == Line::Written::failed)
        Reopen();
    else if (result == Line::Written::peer_lost)
        DiscardReadBuffer();  // what the gone peer sent is not handed on
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
    line_->DiscardReceived();
}

bool TPort::TakeNewPeer()
{
    return line_->TakeNewPeer();
}
