#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

class Tcp_line;

// The serial port of a loop, on POSIX termios: raw and binary-transparent, 9600 baud, 8 data
// bits, odd parity with input checking, 1 stop bit, DTR and RTS dropped where the device has
// modem lines; exclusive (flock and TIOCEXCL).
//
// Names: "COMn" opens /dev/ttyS<n-1>; a name starting with '/' is a path; any other name is
// tried as /dev/<name>. "pty" or "pty:LINKPATH" creates a virtual port: a new pseudo-terminal
// whose slave a controller on this machine opens (DevicePath()); with LINKPATH a symbolic link
// there points to the slave while the port lives. "tcp:HOST:PORT" and "tcp-listen:[ADDRESS:]PORT"
// carry the line over TCP (see Tcp_line); DevicePath() is then the endpoint. Pseudo-terminals and
// TCP lines are virtual ports: no serial device of this machine, no converter echoing replies.
//
// The link of "pty:LINKPATH" replaces only a stale link there (one to a /dev/pts/N that no longer
// exists); any other file or link at LINKPATH refuses the port. The port removes the link when it
// ends, if the link still points to its own pseudo-terminal.
//
// Errors are raised as Gallion_error with the texts "Invalid port: WHAT: REASON" (see
// InvalidPort), "Could not set CommState", "Could not read timeouts", "Could not set Timeouts",
// "Could not Purge communication resource" and "TPort : Not able to send data to port".
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
    // The device the controller uses: for a virtual port the slave's path, else the opened path.
    const std::string& DevicePath() const { return device_path_; }
    bool IsVirtual() const { return is_virtual_ || tcp_ != nullptr; }

    // The device path a port name opens (not used for virtual ports).
    static std::string PathForName(const std::string& name);
    // How many read or write calls are running in this port right now (tests wait for a reader
    // to be inside ReadByte before they wake or destroy the port).
    int CallsInProgress() const { return busy_.load(); }

    // Test hook: the read time-out of every port (5000 ms normally), so tests of a silent line
    // need not wait five seconds. Not for production code.
    static void SetReadTimeoutForTest(int milliseconds);

private:
    enum class WriteResult { Done, GaveUp, Failed };

    void OpenDevice();
    void OpenVirtual(const std::string& link_path);
    static bool CheckLinkPlace(const std::string& link_path);
    void ApplyLineSettings(int fd);
    void CloseDevice();
    void RemoveLink();
    void CloseAll();
    WriteResult WriteAll(const uint8_t* bytes, size_t count);
    bool WaitUntilWritable(int64_t deadline_ms);
    void WaitOutOnWake(int64_t deadline_ms);
    bool WokenUp() const;
    void WriteUnpaced(const uint8_t* bytes, size_t count);
    void WriteWithPacing(const uint8_t* bytes, size_t count);
    bool WaitForLineFree();
    std::optional<uint8_t> FillReadBuffer();
    void DiscardReadBuffer() { read_next_ = read_end_ = 0; }

    std::string name_;
    std::string device_path_;
    std::string link_path_;
    bool is_virtual_ = false;  // a pseudo-terminal
    std::unique_ptr<Tcp_line> tcp_;  // a TCP line instead of a device
    int fd_ = -1;
    int slave_keeper_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> woken_{false};
    // Bytes fetched from the device and not yet handed on: read_buffer_[read_next_, read_end_).
    // Only the reading thread touches them.
    uint8_t read_buffer_[256] = {};
    size_t read_next_ = 0;
    size_t read_end_ = 0;
    // Calls of ReadByte/WriteBuffer/WriteByte in progress; destruction wakes them and waits.
    std::atomic<int> busy_{0};
    std::atomic<bool> line_pacing_{false};
    std::chrono::steady_clock::time_point line_free_at_{};  // paced: when the last byte has left
};

// The error of a port that cannot be opened: "Invalid port: " + what (the device path, or the
// link path of a virtual port) + ": " + reason, for example "Invalid port: /dev/ttyS99: No such
// file or directory" or "Invalid port: /dev/ttyS0: in use by another program". The first words
// are always kInvalidPort, which windows and files may test for.
constexpr const char* kInvalidPort = "Invalid port";
Gallion_error InvalidPort(const std::string& what, const std::string& reason);

// True for the names that make a virtual port: "pty", "pty:LINKPATH", "tcp:HOST:PORT" and
// "tcp-listen:[ADDRESS:]PORT".
bool IsVirtualPortName(const std::string& name);
