#include "platform/tcp_line.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/port_name.h"

namespace {

// A new connection attempt starts at most this often while there is no connection.
constexpr auto kReconnectPeriod = std::chrono::seconds(1);
// One address that neither answers nor refuses is given up after this long.
constexpr auto kConnectTimeout = std::chrono::seconds(3);
// A controller that takes nothing for this long is not reading: its connection is closed.
constexpr auto kWriteGiveUp = std::chrono::seconds(2);
// An accept refused by the system (out of descriptors) is tried again after this pause.
constexpr auto kAcceptPause = std::chrono::milliseconds(200);
// Idle probing: first probe after 10 s of silence, then every 5 s, dead after 3 unanswered.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
// Sent bytes that the peer has not acknowledged for this long: the peer is gone.
constexpr unsigned kUnacknowledgedGiveUpMs = 30000;

void CloseQuietly(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string AddressText(const sockaddr* address, socklen_t length)
{
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (getnameinfo(address, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    if (address->sa_family == AF_INET6)
        return "[" + std::string(host) + "]:" + service;
    return std::string(host) + ":" + service;
}

// Sends at once, and notices a peer that vanished without closing.
void TuneConnection(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnacknowledgedGiveUpMs, sizeof kUnacknowledgedGiveUpMs);
}

// Closes with a reset instead of an orderly close: the peer learns at once that it was refused.
void Reset(int fd)
{
    const linger abort_at_once{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_at_once, sizeof abort_at_once);
    close(fd);
}

}  // namespace

Tcp_line::Tcp_line(const Port_name& port_name) : name_(port_name.Text())
{
    if (port_name.GetKind() == Port_name::Kind::tcp_listen)
        Listen(port_name.Host(), port_name.Port());
    else
        Resolve(port_name.Host(), port_name.Port());
}

Tcp_line::~Tcp_line()
{
    CloseQuietly(connection_);
    CloseQuietly(connecting_);
    CloseQuietly(listen_fd_);
}

std::vector<Tcp_line::Address> Tcp_line::Lookup(const std::string& host, const std::string& port, bool passive) const
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (error != 0)
        throw InvalidPort(name_, host + ": " + (error == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(error)));
    std::vector<Address> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address address;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
        addresses.push_back(address);
    }
    freeaddrinfo(found);
    if (addresses.empty())
        throw InvalidPort(name_, host + ": no address");
    return addresses;
}

void Tcp_line::Listen(const std::string& host, const std::string& port)
{
    const Address address = Lookup(host, port, true).front();
    const sockaddr* where = reinterpret_cast<const sockaddr*>(&address.storage);
    const std::string where_text = AddressText(where, address.length);
    listen_fd_ = socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        throw InvalidPort(name_, std::strerror(errno));
    // A restarted Gallion may listen again while connections of its last run are winding down;
    // a second listener on the same port is still refused.
    const int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listen_fd_, where, address.length) != 0 || listen(listen_fd_, 4) != 0) {
        const int error = errno;
        CloseQuietly(listen_fd_);
        throw InvalidPort(name_, where_text + ": " + std::strerror(error));
    }
    Address bound;
    bound.length = sizeof bound.storage;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound.storage), &bound.length);
    endpoint_ = AddressText(reinterpret_cast<const sockaddr*>(&bound.storage), bound.length);
    listening_ = true;
}

void Tcp_line::Resolve(const std::string& host, const std::string& port)
{
    addresses_ = Lookup(host, port, false);
    const Address& first = addresses_.front();
    endpoint_ = AddressText(reinterpret_cast<const sockaddr*>(&first.storage), first.length);
}

size_t Tcp_line::Read(uint8_t* buffer, size_t size, Clock::time_point deadline, int wake_fd)
{
    for (;;) {
        if (!listening_ && connection_ < 0 && connecting_ < 0 && Clock::now() >= next_attempt_)
            StartConnecting();

        pollfd fds[3] = {{wake_fd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        Clock::time_point look_again = deadline;
        if (connection_ >= 0) {
            fds[1] = {connection_, POLLIN, 0};
        } else if (connecting_ >= 0) {
            fds[1] = {connecting_, POLLOUT, 0};
            look_again = std::min(look_again, connect_deadline_);
        } else if (!listening_) {
            look_again = std::min(look_again, next_attempt_);
        }
        if (listening_) {
            if (Clock::now() >= accept_resumes_)
                fds[2] = {listen_fd_, POLLIN, 0};
            else
                look_again = std::min(look_again, accept_resumes_);
        }
        const int ready = poll(fds, 3, MsUntil(look_again));
        if (ready < 0 && errno != EINTR)
            return 0;  // not expected; the caller simply reads again
        if (fds[0].revents != 0)
            return 0;  // woken: the wake stays latched for every later call
        // The connection first: a controller that leaves is gone before the next one is let in.
        if (fds[1].revents != 0 && connection_ >= 0) {
            const size_t count = Receive(buffer, size);
            if (count > 0)
                return count;
        } else if (fds[1].revents != 0 && connecting_ >= 0)
            FinishConnecting();
        else if (fds[2].revents != 0)
            AcceptOrRefuse();
        else if (connecting_ >= 0 && Clock::now() >= connect_deadline_)
            TryNextAddress();
        else if (Clock::now() >= deadline)
            return 0;
    }
}

void Tcp_line::StartConnecting()
{
    next_attempt_ = Clock::now() + kReconnectPeriod;
    address_index_ = 0;
    TryAddress();
}

// Starts a connect to the current address; an address that fails at once makes way for the
// next. When none is left the attempt is over until the next one is due.
void Tcp_line::TryAddress()
{
    while (address_index_ < addresses_.size()) {
        const Address& address = addresses_[address_index_];
        int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            if (connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) {
                TakeConnection(fd);
                return;
            }
            if (errno == EINPROGRESS) {
                connecting_ = fd;
                connect_deadline_ = Clock::now() + kConnectTimeout;
                return;
            }
            close(fd);
        }
        ++address_index_;
    }
}

void Tcp_line::TryNextAddress()
{
    CloseQuietly(connecting_);
    ++address_index_;
    TryAddress();
}

void Tcp_line::FinishConnecting()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(connecting_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        TryNextAddress();
        return;
    }
    const int fd = connecting_;
    connecting_ = -1;
    TakeConnection(fd);
}

void Tcp_line::AcceptOrRefuse()
{
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            accept_resumes_ = Clock::now() + kAcceptPause;  // the caller stays pending meanwhile
        return;
    }
    if (connection_ >= 0) {
        Reset(fd);  // one controller at a time
        return;
    }
    TakeConnection(fd);
}

void Tcp_line::TakeConnection(int fd)
{
    TuneConnection(fd);
    connection_ = fd;
    new_connection_ = true;
}

bool Tcp_line::TakeNewPeer()
{
    const bool taken = new_connection_;
    new_connection_ = false;
    return taken;
}

size_t Tcp_line::Receive(uint8_t* buffer, size_t size)
{
    const ssize_t count = recv(connection_, buffer, size, MSG_DONTWAIT);
    if (count > 0)
        return static_cast<size_t>(count);
    if (count >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        DropConnection();  // closed by the controller, or broken
    return 0;
}

void Tcp_line::DropConnection()
{
    CloseQuietly(connection_);
}

Line::Written Tcp_line::Write(const uint8_t* bytes, size_t count, int wake_fd)
{
    size_t done = 0;
    Clock::time_point give_up = Clock::now() + kWriteGiveUp;
    while (done < count && connection_ >= 0) {
        const ssize_t sent = send(connection_, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            give_up = Clock::now() + kWriteGiveUp;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            bool woken = false;
            if (WaitUntilWritable(give_up, wake_fd, woken))
                continue;
            if (woken)
                return Written::gave_up;
            DropConnection();  // the controller does not read
            return Written::peer_lost;
        }
        DropConnection();  // reset or closed by the controller
        return Written::peer_lost;
    }
    return Written::all;
}

bool Tcp_line::WaitUntilWritable(Clock::time_point give_up, int wake_fd, bool& woken)
{
    for (;;) {
        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {connection_, POLLOUT, 0}};
        const int ready = poll(fds, 2, MsUntil(give_up));
        if (ready < 0 && errno == EINTR)
            continue;
        woken = ready > 0 && fds[0].revents != 0;
        return ready > 0 && !woken;  // writable, or an error the next send reports
    }
}
