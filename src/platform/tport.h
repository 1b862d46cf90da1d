#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/port_name.h"

class Line;

// The port of a loop: one line chosen from the port name (see Port_name): a serial device
// (Serial_line), a pseudo-terminal whose slave a controller on this machine opens (Pty_line) or a
// TCP line (Tcp_line). The port adds what every line shares: pacing at line speed, the wake-up
// that stops a blocked read, and the read buffer. Pseudo-terminals and TCP lines are virtual
// ports: no serial device of this machine, no converter echoing replies.
//
// Errors are raised as Gallion_error with the texts "Invalid port: WHAT: REASON" (see
// InvalidPort), the line-setting texts of Serial_line and "TPort : Not able to send data to port".
class TPort {
public:
    explicit TPort(const std::string& name);
    virtual ~TPort();
    TPort(const TPort&) = delete;
    TPort& operator=(const TPort&) = delete;

    // One byte, or nothing when the 5-second read time-out passed or the port was woken.
    // A failed read reopens the port; errors of the reopen travel up. Every byte that has
    // already arrived is fetched in one system call and handed on from a small buffer, one byte
    // per call, in the order of the line.
    virtual std::optional<uint8_t> ReadByte();
    virtual void WriteByte(uint8_t byte);
    // Writes the bytes in one go. A failed write reopens the port; the bytes are not sent again.
    virtual void WriteBuffer(const uint8_t* bytes, size_t count);
    virtual void PurgeReceive();
    // True once after a new peer came on the line (a TCP connection accepted or made) since the
    // last call; the bytes read from then on are the new peer's. Reading thread only.
    bool TakeNewPeer();

    void Reopen();

    // Line-speed pacing of a virtual port: what is written leaves one byte per byte time of a
    // 9600-baud line (11 bits: about 1.15 ms), never two bytes closer. Ignored on a serial device,
    // whose hardware paces it. Set from any thread; a write under way keeps the pace it began with.
    void SetLinePacing(bool on);
    bool LinePacing() const { return line_pacing_.load(); }

    // Makes a blocked ReadByte return nothing at once, and every later one too (bytes still in
    // the read buffer are not handed on). Called from another thread to stop the thread that
    // owns the port promptly. Thread-safe.
    void Wake();

    const std::string& Name() const { return name_; }
    const Port_name& ParsedName() const { return parsed_; }
    // The device the controller uses: for a virtual port the slave's path or the TCP endpoint,
    // else the opened path.
    const std::string& DevicePath() const;
    bool IsVirtual() const { return parsed_.IsVirtual(); }

    // The device path a port name opens (not used for virtual ports).
    static std::string PathForName(const std::string& name) { return Port_name::Device(name).DevicePath(); }
    // How many read or write calls are running in this port right now (tests wait for a reader
    // to be inside ReadByte before they wake or destroy the port).
    int CallsInProgress() const { return busy_.load(); }

    // Test hook: the read time-out of every port (5000 ms normally), so tests of a silent line
    // need not wait five seconds. Not for production code.
    static void SetReadTimeoutForTest(int milliseconds);

private:
    bool WokenUp() const;
    void WriteUnpaced(const uint8_t* bytes, size_t count);
    void WriteWithPacing(const uint8_t* bytes, size_t count);
    bool WaitForLineFree();
    std::optional<uint8_t> FillReadBuffer();
    void DiscardReadBuffer() { read_next_ = read_end_ = 0; }

    std::string name_;
    Port_name parsed_;
    int wake_fd_ = -1;
    std::unique_ptr<Line> line_;
    std::atomic<bool> woken_{false};
    // Bytes fetched from the line and not yet handed on: read_buffer_[read_next_, read_end_).
    // Only the reading thread touches them.
    uint8_t read_buffer_[256] = {};
    size_t read_next_ = 0;
    size_t read_end_ = 0;
    // Calls of ReadByte/WriteBuffer/WriteByte in progress; destruction wakes them and waits.
    std::atomic<int> busy_{0};
    std::atomic<bool> line_pacing_{false};
    std::chrono::steady_clock::time_point line_free_at_{};  // paced: when the last byte has left
};
