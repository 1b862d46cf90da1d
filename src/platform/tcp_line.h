#pragma once
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/line.h"

class Port_name;

// A loop's line carried over TCP, byte for byte in both directions.
//
// - "tcp:HOST:PORT" connects to a serial device server in raw mode or a controller that listens.
//   HOST is resolved when the line is made (a host that does not resolve refuses the port, and
//   the I/O thread never waits for name resolution). Connecting never blocks: the attempt runs
//   while reads wait, with its own deadline, and whenever there is no connection a new attempt
//   starts every second.
// - "tcp-listen:PORT" or "tcp-listen:ADDRESS:PORT" listens from the moment the line is made, on
//   127.0.0.1 unless another address is given. One controller is served at a time: a connection
//   that arrives while one is open is reset at once (refused); once the controller leaves the
//   next may connect. PORT 0 takes a free port, which DevicePath() tells.
//
// While nobody is connected the line is a line with nobody on it: reads find nothing and written
// bytes are lost. Every wait also watches the port's wake descriptor, so removing a loop never
// waits for the network. Connections send at once (no Nagle delay) and are probed while idle, so
// a controller that vanished without closing is noticed within about half a minute (also when
// replies to it go unacknowledged).
class Tcp_line : public Line {
public:
    // Resolves HOST, or binds and listens. An endpoint that cannot be used raises Gallion_error
    // "Invalid port: NAME: REASON".
    explicit Tcp_line(const Port_name& port_name);
    ~Tcp_line() override;
    Tcp_line(const Tcp_line&) = delete;
    Tcp_line& operator=(const Tcp_line&) = delete;

    // Where the line goes: the address and port listened on, or the resolved address connected
    // to ("127.0.0.1:4001", "[::1]:4001").
    const std::string& DevicePath() const override { return endpoint_; }

    // What the connected controller sent. Accepts, refuses and (re)connects while it waits.
    size_t Read(uint8_t* buffer, size_t size, Clock::time_point deadline, int wake_fd) override;
    // Sends the bytes to the connected controller; with nobody connected they are lost. A
    // connection that fails, or that takes nothing for two seconds (the controller does not
    // read), is closed (peer_lost). Returns early when wake_fd becomes readable.
    Written Write(const uint8_t* bytes, size_t count, int wake_fd) override;
    // True once for every new connection (accepted or made) since the last call: the bytes read
    // after it come from a new peer.
    bool TakeNewPeer() override;

private:
    struct Address {
        sockaddr_storage storage{};
        socklen_t length = 0;
    };

    void Listen(const std::string& host, const std::string& port);
    void Resolve(const std::string& host, const std::string& port);
    std::vector<Address> Lookup(const std::string& host, const std::string& port, bool passive) const;

    void StartConnecting();
    void TryAddress();
    void TryNextAddress();
    void FinishConnecting();
    void AcceptOrRefuse();
    void TakeConnection(int fd);
    size_t Receive(uint8_t* buffer, size_t size);
    void DropConnection();
    bool WaitUntilWritable(Clock::time_point give_up, int wake_fd, bool& woken);

    const std::string name_;
    std::string endpoint_;
    bool listening_ = false;
    int listen_fd_ = -1;
    std::vector<Address> addresses_;  // connecting: the resolved addresses, tried in turn

    int connection_ = -1;
    bool new_connection_ = false;  // taken since TakeNewConnection was last called
    int connecting_ = -1;  // a connect in progress
    size_t address_index_ = 0;
    Clock::time_point connect_deadline_{};
    Clock::time_point next_attempt_{};
    Clock::time_point accept_resumes_{};  // after the system refused an accept
};
