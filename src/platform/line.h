#pragma once
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// One way a loop's bytes reach its controller: a serial device (Serial_line), a pseudo-terminal
// (Pty_line) or a TCP connection (Tcp_line). The port (TPort) owns one and adds what all lines
// share: pacing at line speed, the wake-up and the read buffer. Only the port's reading thread
// calls a line; every wait of a line also watches the port's wake descriptor and ends as soon as
// it is readable.
class Line {
public:
    using Clock = std::chrono::steady_clock;

    enum class Written {
        all,        // every byte went (or, with nobody on a TCP line, was lost as on a bare wire)
        gave_up,    // woken, or the line took nothing for too long: the rest was dropped
        failed,     // the line broke: the port reopens it
        peer_lost,  // the TCP peer went away: what it sent and was not read is void
    };

    virtual ~Line() = default;

    // Where the controller reaches the line: the opened device, the pseudo-terminal's slave, or
    // the TCP endpoint ("127.0.0.1:4001").
    virtual const std::string& DevicePath() const = 0;
    // Waits until bytes arrive, the deadline passes or wake_fd becomes readable, then takes up to
    // `size` bytes of what has arrived in one go. Returns how many (0: none).
    virtual size_t Read(uint8_t* buffer, size_t size, Clock::time_point deadline, int wake_fd) = 0;
    virtual Written Write(const uint8_t* bytes, size_t count, int wake_fd) = 0;
    // Sets the line up again after a failure (a TCP line reconnects or accepts by itself).
    virtual void Reopen() {}
    // Forgets what the line holds received and not yet read.
    virtual void DiscardReceived() {}
    // True once for every new peer (a TCP connection accepted or made) since the last call.
    virtual bool TakeNewPeer() { return false; }

    // Milliseconds for poll until the time, rounded up so a wait never ends just before it.
    static int MsUntil(Clock::time_point when)
    {
        const auto left = when - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return static_cast<int>(std::min<int64_t>(ms, 60000));
    }
};
