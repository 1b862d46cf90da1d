#pragma once
#include <string>

#include "platform/line.h"

// A serial device of this machine on POSIX termios: raw and binary-transparent, 9600 baud, 8 data
// bits, odd parity with input checking, 1 stop bit, DTR and RTS dropped where the device has
// modem lines; exclusive (flock and TIOCEXCL). A read that finds the device gone reopens it.
//
// Errors are raised as Gallion_error: InvalidPort for a device that cannot be opened, and "Could
// not set CommState", "Could not read timeouts", "Could not set Timeouts", "Could not Purge
// communication resource" for one that refuses the line settings.
class Serial_line : public Line {
public:
    explicit Serial_line(const std::string& device_path);
    ~Serial_line() override;
    Serial_line(const Serial_line&) = delete;
    Serial_line& operator=(const Serial_line&) = delete;

    const std::string& DevicePath() const override { return device_path_; }
    size_t Read(uint8_t* buffer, size_t size, Clock::time_point deadline, int wake_fd) override;
    Written Write(const uint8_t* bytes, size_t count, int wake_fd) override;
    void Reopen() override;
    void DiscardReceived() override;

protected:
    Serial_line() = default;  // a pseudo-terminal sets up fd_ and device_path_ itself
    // Raw 8O1 at 9600 baud (no parity on a pseudo-terminal, which has none), reads that never
    // block in the driver (the wait is our poll), DTR and RTS off, both buffers emptied.
    static void ApplyLineSettings(int fd);
    // A write finds the line full: true when room was made at once.
    virtual bool MakeRoom() { return false; }
    void Close();

    int fd_ = -1;
    std::string device_path_;

private:
    void Open();
    bool WaitUntilWritable(Clock::time_point deadline, int wake_fd);

    bool exclusive_ = false;  // TIOCEXCL set: undone before the close
};
