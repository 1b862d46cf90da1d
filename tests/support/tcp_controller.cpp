#include "support/tcp_controller.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int RemainingMs(int64_t deadline)
{
    const int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int NewSocket()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    return fd;
}

// Waits for one event on the descriptor; false at the deadline.
bool WaitFor(int fd, short events, int64_t deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

}  // namespace

TcpController TcpController::Connect(const std::string& endpoint, int timeout_ms)
{
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("not an endpoint: " + endpoint);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(colon + 1))));
    if (inet_pton(AF_INET, endpoint.substr(0, colon).c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 endpoint: " + endpoint);
    TcpController controller(NewSocket());
    if (connect(controller.fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS)
            throw std::runtime_error("connect " + endpoint + ": " + std::strerror(errno));
        if (!WaitFor(controller.fd_, POLLOUT, NowMs() + timeout_ms))
            throw std::runtime_error("connect " + endpoint + ": timed out");
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(controller.fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            throw std::runtime_error("connect " + endpoint + ": " + std::strerror(error));
    }
    const int on = 1;
    setsockopt(controller.fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(controller.fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);  // for ReadStampedByte
    return controller;
}

TcpController& TcpController::operator=(TcpController&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

TcpController::~TcpController()
{
    Close();
}

void TcpController::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void TcpController::Abort()
{
    if (fd_ < 0)
        return;
    const linger at_once{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    Close();
}

void TcpController::SendWithin(const std::vector<uint8_t>& bytes, int timeout_ms)
{
    size_t done = 0;
    const int64_t deadline = NowMs() + timeout_ms;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
        if (!WaitFor(fd_, POLLOUT, deadline))
            throw std::runtime_error("send timed out");
    }
}

std::optional<uint8_t> TcpController::ReadByte(int timeout_ms)
{
    const int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        if (!WaitFor(fd_, POLLIN, deadline))
            return std::nullopt;
        uint8_t byte = 0;
        const ssize_t n = recv(fd_, &byte, 1, 0);
        if (n == 1)
            return byte;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return std::nullopt;  // closed or reset
    }
}

std::optional<TcpController::Stamped_byte> TcpController::ReadStampedByte(int timeout_ms)
{
    const int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        if (!WaitFor(fd_, POLLIN, deadline))
            return std::nullopt;
        uint8_t byte = 0;
        iovec data{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))] = {};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd_, &message, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n != 1)
            return std::nullopt;
        for (cmsghdr* entry = CMSG_FIRSTHDR(&message); entry != nullptr; entry = CMSG_NXTHDR(&message, entry)) {
            if (entry->cmsg_level == SOL_SOCKET && entry->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(entry), sizeof stamp);
                return Stamped_byte{byte, std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)};
            }
        }
        return Stamped_byte{byte, std::nullopt};
    }
}

std::vector<uint8_t> TcpController::ReadExactly(size_t count, int timeout_ms)
{
    const int64_t deadline = NowMs() + timeout_ms;
    std::vector<uint8_t> bytes;
    while (bytes.size() < count) {
        const std::optional<uint8_t> byte = ReadByte(RemainingMs(deadline));
        if (!byte)
            break;
        bytes.push_back(*byte);
    }
    return bytes;
}

bool TcpController::ClosedByPeer(int timeout_ms)
{
    const int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        if (!WaitFor(fd_, POLLIN, deadline))
            return false;
        uint8_t buffer[256];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

TcpServer::TcpServer(int port)
{
    fd_ = NewSocket();
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 4) != 0) {
        const std::string reason = std::strerror(errno);
        close(fd_);
        throw std::runtime_error("test server: " + reason);
    }
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

TcpServer::~TcpServer()
{
    close(fd_);
}

std::optional<TcpController> TcpServer::Accept(int timeout_ms)
{
    if (!WaitFor(fd_, POLLIN, NowMs() + timeout_ms))
        return std::nullopt;
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    return TcpController(fd);
}

int FreeTcpPort()
{
    TcpServer probe;
    return probe.Port();
}
