#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/automation_levels.h"
#include "engine/pump_address.h"
#include "engine/pump_settings.h"
#include "engine/wire_trace.h"

// Everything that runs for one loop, on either protocol: the I/O thread on the loop's port, the
// communication feed, the pumps by slot with their automaters, and the per-slot bookkeeping
// (connected, logging, the error simulation's choices). The single entry point through which the
// loop's page and the runner create, connect, log, automate and inject errors into pumps.
//
// Slot i (0 to min(last - first, kMaxPumps - 1)) is pump number first + i at line address
// first + i + 79. Every operation checks its slot; a slot outside that range, or without a pump,
// does nothing (or returns -1 / false / 0 / nullptr).
//
// The protocol part is `Engine`, a record of types and static functions:
//   using Pump, IO, Feed, Automater, Automater_timing, Pump_setup;
//   static constexpr int kMaxPumps;            slots of a loop
//   static constexpr int kNoError;             the error type a slot starts with
//   static constexpr const char* kTitleTag;    the default title's protocol word
//   static constexpr const char* kSettingsSection;  the protocol's section of the settings file
//   static bool HasAddress(int pump_number);   whether the protocol can address that pump
//   static std::unique_ptr<IO> MakeIo(port_name, spy, Feed&, const Pump_settings&);
//   static std::unique_ptr<Pump> MakePump(uint8_t address, const Pump_setup&, const Pump_settings&);
//   static bool Register(IO&, Pump&);   static void Unregister(IO&, Pump&);
// The pump comes back built and running. The IO opens the port (its error leaves MakeIo) and
// serves the line from Start(); Feed has Start(), AddLogger(file, address, interpreted) -> bool and
// RemoveLogger(address, &failure); Automater(Pump&, level, timing) runs from construction to
// destruction and tells its Level().
//
// Settings are values: the creator reads them (ReadPumpSettings with the protocol's section) and
// hands them over, for the line when the forecourt is built and for each pump when it is created,
// so a pump created later takes the settings as they are then. Nothing here reads the file.
//
// Threads: the operations are meant for one controlling thread (the window thread or the
// headless runner's command thread). The loop's own threads never call back into the forecourt.
// Destruction stops the I/O thread first (no more traffic), then the feed (every open log gets its
// closing lines), then each automater (which hangs its nozzle up) and each pump.
template <class Engine>
class Forecourt {
public:
    using Pump = typename Engine::Pump;
    using Pump_setup = typename Engine::Pump_setup;
    using Automater_timing = typename Engine::Automater_timing;
    static constexpr int kMaxPumps = Engine::kMaxPumps;

    // When the line is served: at once, or only from StartIo(), once a loader has built the pumps.
    enum class Io_start { now, on_request };

    // Opens the port and starts the feed (and, with Io_start::now, the I/O thread); the line
    // takes what it needs of `settings`. A port that cannot be opened raises Gallion_error and
    // nothing is left running.
    Forecourt(const std::string& port_name, bool spy, int first_pump_number, int last_pump_number,
              const Pump_settings& settings, Io_start io_start = Io_start::now)
        : port_name_(port_name),
          spy_(spy),
          first_(first_pump_number),
          last_(last_pump_number),
          title_(" --- " + port_name + " " + Engine::kTitleTag + " ---"),
          feed_(std::make_unique<typename Engine::Feed>())
    {
        error_type_.fill(Engine::kNoError);
        // When the port cannot be opened the error leaves here and the feed, never started, goes
        // with the half-built forecourt.
        io_ = Engine::MakeIo(port_name, spy, *feed_, settings);
        feed_->Start();
        if (io_start == Io_start::now)
            StartIo();
    }
    ~Forecourt()
    {
        io_.reset();    // no more traffic: the port is closed
        feed_.reset();  // every open log gets its closing lines
        for (int i = 0; i < kMaxPumps; ++i) {
            automaters_[i].reset();  // hangs its nozzle up while the pump still runs
            pumps_[i].reset();
        }
    }
    Forecourt(const Forecourt&) = delete;
    Forecourt& operator=(const Forecourt&) = delete;

    // Starts serving the line (once; a forecourt built with Io_start::now already does).
    void StartIo() { io_->Start(); }

    // Pumps.
    // index, or -1 (out of range or taken)
    int CreatePump(int index, const Pump_setup& setup, const Pump_settings& settings)
    {
        if (CreateUnconnectedPump(index, setup, settings) < 0)
            return -1;
        ConnectPump(index);
        return index;
    }
    // The same, but the pump is not registered with the line until ConnectPump: a loader gives it
    // its stored values first, so the controller never hears it half set up.
    int CreateUnconnectedPump(int index, const Pump_setup& setup, const Pump_settings& settings)
    {
        if (!CanHoldPump(index) || pumps_[index])
            return -1;
        pumps_[index] = Engine::MakePump(AddressOf(index), setup, settings);
        connected_[index] = false;
        return index;
    }
    bool DeletePump(int index)
    {
        if (!HasPump(index))
            return false;
        // Unregistering waits for a dispatch under way, so the I/O thread is out of the pump.
        DisconnectPump(index);
        automaters_[index].reset();
        StopLogging(index);
        pumps_[index].reset();
        return true;
    }
    Pump* GetPump(int index) const { return ValidIndex(index) ? pumps_[index].get() : nullptr; }
    // True when the pump was connected / disconnected by this call.
    bool ConnectPump(int index)
    {
        if (!HasPump(index) || connected_[index])
            return false;
        connected_[index] = Engine::Register(*io_, *pumps_[index]);
        return connected_[index];
    }
    bool DisconnectPump(int index)
    {
        if (!HasPump(index) || !connected_[index])
            return false;
        Engine::Unregister(*io_, *pumps_[index]);
        connected_[index] = false;
        return true;
    }
    bool IsConnected(int index) const { return ValidIndex(index) && connected_[index]; }
    int PumpCount() const
    {
        return static_cast<int>(std::count_if(pumps_.begin(), pumps_.end(), [](const auto& p) { return p != nullptr; }));
    }

    // Automatic filling, levels 1 Light, 2 Normal, 3 Heavy; a running one is replaced. False when
    // nothing was started.
    bool StartAutomation(int index, int level, const Automater_timing& timing = Automater_timing())
    {
        if (!HasPump(index) || !ValidAutomationLevel(level))
            return false;
        automaters_[index].reset();
        automaters_[index] = std::make_unique<typename Engine::Automater>(*pumps_[index], level, timing);
        return true;
    }
    void StopAutomation(int index)
    {
        if (ValidIndex(index))
            automaters_[index].reset();
    }
    int AutomationLevel(int index) const  // 0 when none
    {
        return ValidIndex(index) && automaters_[index] ? automaters_[index]->Level() : 0;
    }

    // Pump logs. StartLogging raises Gallion_error when the file cannot be created; false when
    // there is no pump, it already logs or the feed has no room for another log.
    bool StartLogging(int index, const std::string& file_name, bool interpreted)
    {
        if (!HasPump(index) || logging_[index])
            return false;
        logging_[index] = feed_->AddLogger(file_name, AddressOf(index), interpreted);
        return logging_[index];
    }
    // Returns the log's write failure ("" when every line was written).
    std::string StopLogging(int index)
    {
        if (!ValidIndex(index) || !logging_[index])
            return "";
        std::string failure;
        feed_->RemoveLogger(AddressOf(index), &failure);
        logging_[index] = false;
        return failure;
    }
    bool IsLogging(int index) const { return ValidIndex(index) && logging_[index]; }
    // The write failure of one of the open pump logs ("" when they all write well).
    std::string LogWriteFailure() const { return feed_->LogWriteFailure(); }

    // Error simulation: the dialog sets ErrorType and ErrorValue, then applies them. False for an
    // invalid slot (ApplyError: or no pump).
    bool ApplyError(int index)
    {
        if (!HasPump(index))
            return false;
        pumps_[index]->InjectError(error_type_[index], error_value_[index]);
        return true;
    }
    int ErrorType(int index) const { return ValidIndex(index) ? error_type_[index] : Engine::kNoError; }
    int ErrorValue(int index) const { return ValidIndex(index) ? error_value_[index] : 0; }
    bool SetErrorType(int index, int type) { return SetSlotValue(error_type_, index, type); }
    bool SetErrorValue(int index, int value) { return SetSlotValue(error_value_, index, value); }

    // The communication feed.
    void SetCommunicationOn(bool on) { feed_->SetCommunicationOn(on); }
    bool IsCommunicationOn() const { return feed_->IsCommunicationOn(); }
    void SetFilterAddress(uint8_t address) { feed_->SetFilterAddress(address); }
    uint8_t GetFilterAddress() const { return feed_->GetFilterAddress(); }
    void SetInterpreted(bool on) { feed_->SetInterpreted(on); }
    bool GetInterpreted() const { return feed_->GetInterpreted(); }
    std::string FetchCommunicationText() { return feed_->FetchCommunicationText(); }
    typename Engine::Feed& Feed() { return *feed_; }

    // The wire trace of the loop's line (owned by the I/O thread's object, which records into it).
    Wire_trace& Trace() { return io_->Trace(); }

    // The loop's description.
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title) { title_ = title; }
    int FirstPumpNumber() const { return first_; }
    int LastPumpNumber() const { return last_; }
    const std::string& PortName() const { return port_name_; }
    bool Spy() const { return spy_; }
    int HighestIndex() const  // min(last - first, kMaxPumps - 1); -1 when last < first
    {
        return last_ < first_ ? -1 : std::min(last_ - first_, kMaxPumps - 1);
    }
    bool ValidIndex(int index) const { return index >= 0 && index <= HighestIndex(); }
    // The line address of slot index: first + index + 79 (mod 256), or 0 for a pump number the
    // protocol cannot address.
    uint8_t AddressOf(int index) const
    {
        return Engine::HasAddress(first_ + index) ? PumpAddressOf(first_ + index) : 0;
    }

    // The I/O thread: the device a controller opens (the slave of a virtual port), and whether a
    // port error has ended it, with the error's text.
    std::string DevicePath() const { return io_->DevicePath(); }
    // Line-speed pacing of a virtual port (TPort::SetLinePacing).
    void SetLinePacing(bool on) { io_->SetLinePacing(on); }
    bool LinePacing() const { return io_->LinePacing(); }
    bool IoRunning() const { return io_->Running(); }
    std::string IoErrorText() const { return io_->ErrorText(); }

protected:
    bool HasPump(int index) const { return ValidIndex(index) && pumps_[index] != nullptr; }
    // Every pump there is, for settings the whole loop shares.
    template <class Visit>
    void ForEachPump(Visit visit)
    {
        for (auto& pump : pumps_) {
            if (pump)
                visit(*pump);
        }
    }

private:
    bool CanHoldPump(int index) const { return ValidIndex(index) && Engine::HasAddress(first_ + index); }
    bool SetSlotValue(std::array<int, kMaxPumps>& values, int index, int value)
    {
        if (!ValidIndex(index))
            return false;
        values[index] = value;
        return true;
    }

    const std::string port_name_;
    const bool spy_;
    const int first_;
    const int last_;
    std::string title_;

    // Declared in the reverse of their destruction order: pumps and automaters go last. The
    // destructor spells the same order out.
    std::array<std::unique_ptr<Pump>, kMaxPumps> pumps_;
    std::array<std::unique_ptr<typename Engine::Automater>, kMaxPumps> automaters_;
    std::unique_ptr<typename Engine::Feed> feed_;
    std::unique_ptr<typename Engine::IO> io_;

    std::array<bool, kMaxPumps> logging_{};
    std::array<bool, kMaxPumps> connected_{};
    std::array<int, kMaxPumps> error_type_{};
    std::array<int, kMaxPumps> error_value_{};
};
