#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/pump_settings.h"
#include "engine/pump_snapshot.h"
#include "engine/pump_thread.h"
#include "engine/rx_errors.h"
#include "currentloop/cl_message.h"

// The decimals of a loop: volume, amount and price, then three for the total counters.
struct CL_decimals {
    int volume = 2;
    int amount = 2;
    int price = 2;
    int total_volume = 2;
    int total_amount = 2;
    int total_price = 2;
};

constexpr int kCL_MaxDecimals = 8;
bool CL_DecimalsValid(const CL_decimals& decimals);  // every field 0 to 8

// A value v with multiplier m as text: 1234 with 100 -> "12.34", 5 with 1000 -> "0.005",
// 7 with 1 -> "7.". A negative value gets a leading '-'.
std::string CL_NumberText(int64_t value, int64_t multiplier);

// The snapshot a screen or the runner asks for.
struct CL_pump_state : Pump_snapshot {
    char state = 'E';
    std::string preset_text;  // with the volume multiplier
    bool preset_is_volume = false;
};

// Each nozzle's flags alone (the automation's question): allowed (the controller enabled it) and
// visible.
struct CL_nozzle_flags {
    std::array<bool, 5> allowed{};
    std::array<bool, 5> visible{};
};

// Error-simulation codes of InjectError.
namespace cl_error {
constexpr int kDoublePulse = 4;
constexpr int kPulserCurrent = 8;
constexpr int kCommunication = 16;
constexpr int kCpuReset = 32;
constexpr int kBadCrc = 240;
constexpr int kRandomData = 241;
constexpr int kNoAnswer = 242;
constexpr int kNone = 64;
}  // namespace cl_error

// One simulated current-loop pump: a thread that advances the state machine and the running
// filling and keeps the reply ready, plus the operations through which the line, the screens and
// the automation act on it. Every operation takes the pump's lock (a plain mutex, taken once: the
// helpers named ...Locked run with it held and never take it).
//
// The thread cycles every PumpSleepMs while fuel flows (state 'D', and 'C' while delivering).
// Otherwise it sleeps until the poll time-out expires or it is woken: by every message that
// changes the pump (a plain poll does not), by the first message after the time-out expired, and
// by every operation that changes it. Each cycle rebuilds the current reply record, so the record
// the I/O thread hands out follows every change.
class CL_pump {
public:
    // Figures in units never grow beyond this; products of them are formed in 64 bits.
    static constexpr int64_t kMaxUnits = 2147483647;

    // Takes the current-loop settings its creator read; the thread runs from Start().
    CL_pump(uint8_t address, const Pump_settings& settings);
    ~CL_pump();
    CL_pump(const CL_pump&) = delete;
    CL_pump& operator=(const CL_pump&) = delete;

    void Start();  // starts the pump thread (once)

    uint8_t Address() const { return address_; }

    // Applies a frame from the line. Returns the reply record handed out, or nullptr. The record
    // stays untouched by the pump until the next reply is handed out, so the caller (the I/O
    // thread, which makes every call to HandleMessage) may finish and send it.
    CL_Message* HandleMessage(const CL_Message& received);

    void LiftNozzle(int nozzle);  // 1-5
    void HangUpNozzle();
    void SetFlow(double litres_per_minute);
    void AdjustFlow(double delta);
    CL_pump_state GetState() const;
    char GetStatus() const;
    CL_nozzle_flags GetNozzleFlags() const;
    void SetVisibleNozzles(const std::array<bool, 5>& visible);
    std::array<bool, 5> VisibleNozzles() const;
    void InjectError(int code, int count);
    bool SetDecimals(const CL_decimals& decimals);  // false, changing nothing, outside 0-8

    // The receive-error list (the newest Rx_error_record::kMaxLines lines) is copied only here,
    // never into a snapshot.
    int32_t RxErrorCount() const;
    std::vector<std::string> RxErrorLines() const;   // a copy
    std::vector<std::string> TakeRxErrorLines();     // takes the lines out, leaving the list empty

    // For tests of the two reply records: index of the record the next reply comes from.
    int CurrentReplyIndex() const;
    // Runs one pump cycle at once (tests drive the pump without its thread).
    void RunCycleForTest();
    // Cycles the pump's thread has run (tests check that an idle pump sleeps).
    uint64_t CyclesRun() const { return thread_.CyclesRun(); }

private:
    int64_t Cycle();  // returns how long the thread may sleep (Pump_thread::Cycle)
    void FillingStepLocked();
    void StopDeliveringLocked();
    void RecomputeUnitPriceLocked();
    void BuildReplyLocked(CL_Message& reply) const;
    CL_Message* HandOutReplyLocked();
    void RecordRxErrorLocked(const std::string& text, const CL_Message& received);

    CL_Message* HandleCb0Locked(const CL_Message& m);
    void HandleCb1Locked(const CL_Message& m);
    void HandleCb2Locked(const CL_Message& m);
    CL_Message* HandleCb3Locked(const CL_Message& m, bool& changed);
    bool ApplyCommandLocked(uint8_t command);  // true when the command was taken
    void ApplyFlagsByteLocked(uint8_t flags);
    bool HasPositionLocked() const;
    size_t PositionLocked() const;

    const uint8_t address_;

    const Pump_settings settings_;  // as the creator gave them

    mutable std::mutex mutex_;  // guards everything below

    char state_ = 'E';
    bool nozzle_lifted_ = false;
    int current_nozzle_ = 0;
    int filling_nozzle_ = 0;
    std::array<bool, 5> visible_{true, true, true, true, true};
    std::array<bool, 5> enabled_{true, true, true, true, true};
    bool delivering_ = false;
    bool filling_pending_ = false;
    bool throttled_ = false;
    double flow_ = 0.0;
    double volume_ = 0.0;
    int64_t volume_units_ = 0;
    int64_t amount_units_ = 0;
    int64_t unit_price_ = 0;
    int64_t volume_multiplier_ = 100;
    int64_t amount_multiplier_ = 100;
    int64_t price_multiplier_ = 100;
    int64_t preset_ = 0;
    bool preset_is_volume_ = false;
    std::array<int64_t, 5> base_price_{};
    std::array<int64_t, 5> surcharge_{};
    std::array<int64_t, 5> discount_{};
    int64_t common_surcharge_ = 0;
    uint8_t price_control_ = '2';
    uint8_t status_byte_ = 0x40;
    uint8_t nozzle_configuration_ = 0x7F;
    uint8_t reply_byte_26_ = '0';
    bool filling_clock_running_ = false;
    uint32_t filling_clock_ = 0;
    bool online_ = false;
    Poll_deadline poll_timeout_;
    Rx_error_record rx_errors_;
    int bad_crc_count_ = 0;
    int random_data_count_ = 0;
    int ignore_count_ = 0;
    std::array<CL_Message, 2> replies_{};
    int current_reply_ = 0;
    std::mt19937 random_;

    // Declared last: stopped before anything it uses goes. Messages and operations wake it.
    Pump_thread thread_;
};
