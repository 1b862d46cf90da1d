#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/controller_line.h"

// Plays the controller over TCP in end-to-end tests. Every connect, read and write has a deadline,
// so a simulator that hangs fails the test instead of blocking it.
class TcpController : public ControllerLine {
public:
    // Connects to "ADDRESS:PORT" (an endpoint as the simulator reports it); throws when no
    // connection is made within timeout_ms.
    static TcpController Connect(const std::string& endpoint, int timeout_ms = 3000);
    explicit TcpController(int fd) : fd_(fd) {}
    TcpController(TcpController&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TcpController& operator=(TcpController&& other) noexcept;
    ~TcpController() override;

    // Sends within 5 s; throws when the simulator takes no more bytes for that long.
    void Send(const std::vector<uint8_t>& bytes) override { SendWithin(bytes, 5000); }
    // Sends within timeout_ms: for floods, which the simulator drains only as fast as it parses.
    void SendWithin(const std::vector<uint8_t>& bytes, int timeout_ms);
    std::optional<uint8_t> ReadByte(int timeout_ms) override;
    // One byte with the time the kernel received it (the realtime clock): unlike the time the
    // test thread gets to read it, this does not depend on how soon the test thread runs. The
    // kernel starts stamping a moment after the first socket asks for it: until then a byte
    // comes without its time.
    struct Stamped_byte {
        uint8_t byte;
        std::optional<std::chrono::nanoseconds> received;
    };
    std::optional<Stamped_byte> ReadStampedByte(int timeout_ms);
    // Exactly count bytes; fewer when the deadline passes first.
    std::vector<uint8_t> ReadExactly(size_t count, int timeout_ms);
    // True when the other side closes or resets the connection within timeout_ms (bytes that
    // arrive meanwhile are discarded).
    bool ClosedByPeer(int timeout_ms);
    // Closes at once with a reset, as a controller that crashed or lost its network.
    void Abort();
    void Close();

private:
    int fd_ = -1;
};

// A listening socket on 127.0.0.1 for the simulator to connect to ("tcp:" ports).
class TcpServer {
public:
    explicit TcpServer(int port = 0);  // 0: a free port
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    int Port() const { return port_; }
    // The next connection, or nothing when none comes within timeout_ms.
    std::optional<TcpController> Accept(int timeout_ms);

private:
    int fd_ = -1;
    int port_ = 0;
};

// A free port of 127.0.0.1: bound, then released for the simulator to take.
int FreeTcpPort();
