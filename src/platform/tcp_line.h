#pragma once
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// True for the port names of lines carried over TCP: "tcp:HOST:PORT" (Gallion connects) and
// "tcp-listen:PORT" or "tcp-listen:ADDRESS:PORT" (Gallion listens).
bool IsTcpPortName(const std::string& name);

// True when a line of that port name, listening at that endpoint (Tcp_line::Endpoint()), takes
// controllers on every interface of the machine: whichever way the name spelled the any-address
// ("0.0.0.0", "0", "0.0", "[0]", "::", "[::]"), the endpoint shows the address bound.
bool ListensOnEveryInterface(const std::string& port_name, const std::string& endpoint);

// A loop's line carried over TCP, byte for byte in both directions. The loop's port (TPort) uses
// it on the loop's I/O thread only.
//
// - "tcp:HOST:PORT" connects to a serial device server in raw mode or a controller that listens.
//   HOST is resolved when the line is made (a host that does not resolve refuses the port, and
//   the I/O thread never waits for name resolution). Connecting never blocks: the attempt runs
//   while reads wait, with its own deadline, and whenever there is no connection a new attempt
//   starts every second.
// - "tcp-listen:PORT" or "tcp-listen:ADDRESS:PORT" listens from the moment the line is made, on
//   127.0.0.1 unless another address is given. One controller is served at a time: a connection
//   that arrives while one is open is reset at once (refused); once the controller leaves the
//   next may connect. PORT 0 takes a free port, which Endpoint() tells.
//
// While nobody is connected the line is a line with nobody on it: reads find nothing and written
// bytes are lost. Every wait also watches the port's wake descriptor, so removing a loop never
// waits for the network. Connections send at once (no Nagle delay) and are probed while idle, so
// a controller that vanished without closing is noticed within about half a minute (also when
// replies to it go unacknowledged).
class Tcp_line {
public:
    using Clock = std::chrono::steady_clock;

    // Parses the name, then resolves HOST or binds and listens. A name or endpoint that cannot be
    // used raises Gallion_error "Invalid port: NAME: REASON".
    explicit Tcp_line(const std::string& port_name);
    ~Tcp_line();
    Tcp_line(const Tcp_line&) = delete;
    Tcp_line& operator=(const Tcp_line&) = delete;

    // Where the line goes: the address and port listened on, or the resolved address connected
    // to ("127.0.0.1:4001", "[::1]:4001").
    const std::string& Endpoint() const { return endpoint_; }

    // One byte from the connected controller; nothing when the deadline passes or wake_fd becomes
    // readable. Accepts, refuses and (re)connects while it waits.
    std::optional<uint8_t> ReadByte(Clock::time_point deadline, int wake_fd);
    // Sends the bytes to the connected controller; with nobody connected they are lost. A
    // connection that fails, or that takes nothing for two seconds (the controller does not
    // read), is closed. Returns early when wake_fd becomes readable.
    void Write(const uint8_t* bytes, size_t count, int wake_fd);
    // Forgets the bytes received and not yet read.
    void DiscardReceived();
    // True once for every new connection (accepted or made) since the last call: the bytes read
    // after it come from a new peer.
    bool TakeNewConnection();

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
    void Receive();
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

    std::array<uint8_t, 256> received_{};
    size_t received_count_ = 0;
    size_t next_received_ = 0;
};
