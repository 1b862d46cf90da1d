#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "zarn/automater.h"
#include "zarn/message_displayer.h"
#include "zarn/zarn_io.h"
#include "zarn/zarn_pump.h"

// Everything that runs for one Zarn loop: the I/O thread on the loop's port, the communication
// feed, up to 16 pumps and their automaters. The single entry point through which the loop's
// page creates, connects, logs, automates and injects errors into pumps.
//
// Pump index i (0-15) is pump number first + i with line address (first + i + 79) mod 256. Every
// operation checks its index; an index outside 0 to min(last - first, 15), or without a pump,
// does nothing (or returns -1 / false / 0 / nullptr).
//
// Threads: the operations are meant for one controlling thread (the window thread or the
// headless runner's command thread). The loop's own threads never call back into the forecourt.
// Destruction stops the I/O thread first (no more traffic), then the feed (every open log gets its
// closing lines), then each automater (which hangs its nozzle up) and each pump.
class Zarn_forecourt {
public:
    static constexpr int kMaxPumps = 16;

    // Opens the port and starts the I/O thread and the feed. A port that cannot be opened
    // ("Invalid port") raises Gallion_error and nothing is left running.
    Zarn_forecourt(const std::string& port_name, bool spy, uint8_t first_pump_number, uint8_t last_pump_number);
    ~Zarn_forecourt();
    Zarn_forecourt(const Zarn_forecourt&) = delete;
    Zarn_forecourt& operator=(const Zarn_forecourt&) = delete;

    // Pumps.
    int CreatePump(int index, bool identity_flag);  // index, or -1 (out of range or taken)
    // The same, but the pump is not registered with the line until ConnectPump: a loader gives it
    // its stored values first, so the controller never hears it half set up.
    int CreateUnconnectedPump(int index, bool identity_flag);
    bool DeletePump(int index);
    Zarn_pump* GetPump(int index) const;
    // True when the pump was connected / disconnected by this call.
    bool ConnectPump(int index);
    bool DisconnectPump(int index);
    bool IsConnected(int index) const;

    // Automatic filling, levels 1 Light, 2 Normal, 3 Heavy. False when nothing was started.
    bool StartAutomation(int index, int level);
    void StopAutomation(int index);
    int AutomationLevel(int index) const;  // 0 when none

    // Pump logs. StartLogging raises Gallion_error when the file cannot be created; false when
    // there is no pump or it already logs.
    bool StartLogging(int index, const std::string& file_name, bool interpreted);
    // Returns the log's write failure ("" when every line was written).
    std::string StopLogging(int index);
    // The write failure of one of the open pump logs ("" when they all write well).
    std::string LogWriteFailure() const { return feed_->LogWriteFailure(); }
    bool IsLogging(int index) const;

    // Error simulation: the dialog sets ErrorType and ErrorValue, then applies them. False for an
    // invalid index (ApplyError: or no pump).
    bool ApplyError(int index);
    int ErrorType(int index) const;
    int ErrorValue(int index) const;
    bool SetErrorType(int index, int type);
    bool SetErrorValue(int index, int value);

    // The communication feed.
    void SetCommunicationOn(bool on) { feed_->SetCommunicationOn(on); }
    bool IsCommunicationOn() const { return feed_->IsCommunicationOn(); }
    void SetFilterAddress(uint8_t address) { feed_->SetFilterAddress(address); }
    uint8_t GetFilterAddress() const { return feed_->GetFilterAddress(); }
    void SetInterpreted(bool on) { feed_->SetInterpreted(on); }
    bool GetInterpreted() const { return feed_->GetInterpreted(); }
    std::string FetchCommunicationText() { return feed_->FetchCommunicationText(); }
    Message_displayer& Feed() { return *feed_; }

    // The wire trace of the loop's line (owned by the I/O thread's object, which records into it).
    Wire_trace& Trace() { return io_->Trace(); }

    // The loop's description.
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title) { title_ = title; }
    int FirstPumpNumber() const { return first_; }
    int LastPumpNumber() const { return last_; }
    const std::string& PortName() const { return port_name_; }
    bool Spy() const { return spy_; }
    int HighestIndex() const;           // min(last - first, 15); -1 when last < first
    bool ValidIndex(int index) const;
    uint8_t AddressOf(int index) const;  // (first + index + 79) mod 256
    int PumpCount() const;

    // The I/O thread: the device a controller opens (the slave of a virtual port), and whether a
    // port error has ended it, with the error's text.
    std::string DevicePath() const { return io_->DevicePath(); }
    // Line-speed pacing of a virtual port (TPort::SetLinePacing).
    void SetLinePacing(bool on) { io_->SetLinePacing(on); }
    bool LinePacing() const { return io_->LinePacing(); }
    bool IoRunning() const { return io_->Running(); }
    std::string IoErrorText() const { return io_->ErrorText(); }

private:
    bool HasPump(int index) const { return ValidIndex(index) && pumps_[index] != nullptr; }

    const std::string port_name_;
    const bool spy_;
    const uint8_t first_;
    const uint8_t last_;
    std::string title_;

    // Declared in the reverse of their destruction order: pumps and automaters go last.
    std::array<std::unique_ptr<Zarn_pump>, kMaxPumps> pumps_;
    std::array<std::unique_ptr<Automater>, kMaxPumps> automaters_;
    std::unique_ptr<Message_displayer> feed_;
    std::unique_ptr<Zarn_IO> io_;

    std::array<bool, kMaxPumps> logging_{};
    std::array<bool, kMaxPumps> connected_{};
    std::array<int, kMaxPumps> error_type_{};
    std::array<int, kMaxPumps> error_value_{};
};
