#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "currentloop/cl_automater.h"
#include "currentloop/cl_io.h"
#include "currentloop/cl_message_displayer.h"
#include "currentloop/cl_pump.h"

// What a configuration file stores about a loop, to build its forecourt in one go: the I/O
// thread starts only once pumps, decimals and feed settings are in place; pumps are connected
// and automations started last.
struct CL_forecourt_setup {
    struct Pump {
        int slot = 0;
        std::array<bool, 5> visible{true, true, true, true, true};
        bool visible_set = false;  // the nozzles were chosen (the reply then reports 0x60)
        bool connected = true;
        int automation_level = 0;  // 0 none, 1-3
    };
    CL_decimals decimals;
    bool communication_on = true;
    uint8_t filter_address = 0;
    bool interpreted = true;
    std::string title;  // empty: the default title
    std::vector<Pump> pumps;
};

// The engine of one current-loop loop: its pumps by slot, the I/O thread, the communication feed,
// the automations, the decimals and the error-simulation choices. Called from one owner thread.
class CL_forecourt {
public:
    static constexpr int kSlots = 8;

    // Raises Gallion_error when the port cannot be opened.
    CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number);
    CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
                 const CL_forecourt_setup& setup);
    // Stops the I/O thread first, then the feed, then the automations and the pumps.
    ~CL_forecourt();
    CL_forecourt(const CL_forecourt&) = delete;
    CL_forecourt& operator=(const CL_forecourt&) = delete;

    int CreatePump(int i);  // the slot, or -1
    bool DeletePump(int i);
    CL_pump* GetPump(int i) const;  // nullptr for an empty or invalid slot
    bool ConnectPump(int i);
    bool DisconnectPump(int i);
    bool IsConnected(int i) const;

    bool StartAutomation(int i, int level, const CL_automater_timing& timing = CL_automater_timing());
    void StopAutomation(int i);
    int AutomationLevel(int i) const;

    // Raises Gallion_error when the file cannot be created; false for a bad slot, no pump, or a
    // pump that logs already.
    bool StartLogging(int i, const std::string& file_name, bool interpreted);
    // Returns the log's write failure ("" when every line was written).
    std::string StopLogging(int i);
    // The write failure of one of the open pump logs ("" when they all write well).
    std::string LogWriteFailure() const { return feed_->LogWriteFailure(); }
    bool IsLogging(int i) const;

    int ErrorType(int i) const;   // 64 (none) for a bad slot
    int ErrorValue(int i) const;  // 0 for a bad slot
    bool SetErrorType(int i, int code);
    bool SetErrorValue(int i, int count);
    bool ApplyError(int i);

    bool SetDecimals(const CL_decimals& decimals);  // false, changing nothing, outside 0-8
    CL_decimals GetDecimals() const { return decimals_; }

    void SetCommunicationOn(bool on) { feed_->SetCommunicationOn(on); }
    bool IsCommunicationOn() const { return feed_->IsCommunicationOn(); }
    void SetFilterAddress(uint8_t address) { feed_->SetFilterAddress(address); }
    uint8_t GetFilterAddress() const { return feed_->GetFilterAddress(); }
    void SetInterpreted(bool interpreted) { feed_->SetInterpreted(interpreted); }
    bool GetInterpreted() const { return feed_->GetInterpreted(); }
    std::string FetchCommunicationText() { return feed_->FetchCommunicationText(); }

    // The wire trace of the loop's line (owned by the I/O thread's object, which records into it).
    Wire_trace& Trace() { return io_->Trace(); }

    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title) { title_ = title; }
    const std::string& PortName() const { return port_name_; }
    bool Spy() const { return spy_; }
    int FirstPumpNumber() const { return first_; }
    int LastPumpNumber() const { return last_; }
    std::string DevicePath() const { return io_->DevicePath(); }
    // Line-speed pacing of a virtual port (TPort::SetLinePacing).
    void SetLinePacing(bool on) { io_->SetLinePacing(on); }
    bool LinePacing() const { return io_->LinePacing(); }
    bool IoRunning() const { return io_->Running(); }
    std::string IoErrorText() const { return io_->ErrorText(); }

    // The pump address of slot i: first pump number + i + 79.
    uint8_t AddressOf(int i) const;

private:
    CL_forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
                 const CL_forecourt_setup* setup);
    bool ValidSlot(int i) const { return i >= 0 && i < kSlots; }
    // A slot that may hold a pump: within the eight, the loop's range and pump numbers 1-32.
    bool SlotInLoop(int i) const { return ValidSlot(i) && i <= last_ - first_ && AddressOf(i) != 0; }
    static CL_decimals DecimalsFromSettings();

    const std::string port_name_;
    const bool spy_;
    const int first_;
    const int last_;
    std::string title_;
    CL_decimals decimals_;

    // Declared in the order that makes default destruction safe too (members go in reverse):
    // the I/O thread first (it enters pumps and posts to the feed), then the feed, then the
    // automations (they drive pumps), then the pumps. The destructor spells the same order out.
    std::array<std::unique_ptr<CL_pump>, kSlots> pumps_;
    std::array<std::unique_ptr<CL_Automater>, kSlots> automaters_;
    std::unique_ptr<CL_Message_displayer> feed_;
    std::unique_ptr<CL_IO> io_;
    std::array<bool, kSlots> logging_{};
    std::array<bool, kSlots> connected_{};
    std::array<int, kSlots> error_type_;
    std::array<int, kSlots> error_value_{};
};
