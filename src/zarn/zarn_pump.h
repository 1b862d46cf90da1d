#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/pump_settings.h"
#include "engine/pump_snapshot.h"
#include "engine/pump_thread.h"
#include "engine/rx_errors.h"
#include "zarn/zarn_bcd.h"
#include "zarn/zarn_message.h"
#include "zarn/zarn_line.h"
#include "zarn/zarn_transactions.h"

// Pump statuses as DC1 carries them.
enum Zarn_status : int {
    kStatusNotProgrammed = 0,
    kStatusReset = 1,
    kStatusAuthorized = 2,
    kStatusFilling = 4,
    kStatusFillingCompleted = 5,
    kStatusMaxReached = 6,
    kStatusSwitchedOff = 7,
    kStatusSuspended = 8,
};

// Long ("Not programmed") and short ("Not progr.") status texts; empty for status 8 and for any
// number that is not a status.
std::string ZarnStatusText(int status);
std::string ZarnShortStatusText(int status);

// A snapshot of one pump that the caller owns; the pump fills it under its lock.
struct Zarn_pump_state : Pump_snapshot {
    std::string status_text;        // long form; status 8 keeps the previous text
    std::string short_status_text;  // panel form; status 8 keeps the previous text
    int status = 0;                 // the number DC1 carries
    int stopped = 1;
    int suspended = 0;
    std::string preset_amount, preset_volume;  // BCD text form
    std::array<uint8_t, 5> identity{};
};

// One simulated dispenser: a thread that carries out the controller's commands, delivers fuel
// while a nozzle is out and the pump is authorised, keeps the totals and reports through its line.
//
// Threads: the pump's own thread runs the cycle; the window thread and the automation call the
// operations; the loop's I/O thread only talks to Line() (which appends to the receive queue and
// reads the outgoing queue under their own locks, never the pump's lock).
//
// The thread cycles every "PumpSleepMs" while a delivery runs (statuses 4 and 6, and 2 while fuel
// can flow). Otherwise it sleeps until the poll deadline passes or it is woken: by the line for a
// DATA block and when the pump comes back online, and by every operation that changes the pump.
class Zarn_pump {
public:
    // Takes the Zarn settings its creator read, queues a DC1 with status 0 and starts the thread.
    Zarn_pump(uint8_t address, bool identity_flag, const Pump_settings& settings);
    ~Zarn_pump();  // stops and joins the thread promptly
    Zarn_pump(const Zarn_pump&) = delete;
    Zarn_pump& operator=(const Zarn_pump&) = delete;

    uint8_t Address() const { return address_; }
    Zarn_line& Line() { return line_; }

    bool SelectNozzle(int nozzle);  // 1-15; out of range or while filling -> false, nothing changes
    void LiftNozzle();
    void HangUpNozzle();
    void SetFlow(double litres_per_minute);
    void AdjustFlow(double delta);
    void SetAlarmCode(uint8_t code);
    void InjectError(int code, int value);

    bool GetState(Zarn_pump_state& state);  // false (and a default state) once the thread is stopping
    // What a panel shows: status, the filling's texts, nozzle out, selected nozzle, each nozzle's
    // visible and allowed flags, online. The rest of `state` is left as it was.
    void GetPanelState(Zarn_pump_state& state);
    // Only each nozzle's visible and allowed flags (the automation's question).
    void GetNozzleFlags(Zarn_pump_state& state);
    int GetStatus();
    std::array<uint8_t, 255> GetOutputRegisters();
    void SetVisibleNozzles(const std::array<bool, 15>& visible);
    std::array<bool, 15> VisibleNozzles();
    // Replaces the three counters of nozzle 1-15 whole (value, width and decimals); false otherwise.
    bool SetNozzleTotals(int nozzle, const BCD& volume_total, const BCD& amount_total, const BCD& fillings);
    // Copies the three counters of nozzle 1-15 out together; false (arguments untouched) otherwise.
    bool NozzleTotals(int nozzle, BCD& volume_total, BCD& amount_total, BCD& fillings);
    void SetIdentity(const std::array<uint8_t, 5>& identity);
    std::array<uint8_t, 5> Identity();

    // The stored decimals; writing (0-8, else ignored) does not convert stored values.
    int VolumeDecimals();
    int AmountDecimals();
    int PriceDecimals();
    void SetVolumeDecimals(int decimals);
    void SetAmountDecimals(int decimals);
    void SetPriceDecimals(int decimals);
    // Takes the three decimals as a decimals command from the controller does: every value is
    // made anew, zero, with the new decimals (totals included, so set them afterwards). A count
    // outside 0-8 becomes the default. For a pump built from a configuration file.
    void SetDecimals(int volume_decimals, int amount_decimals, int price_decimals)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ApplyDecimalsLocked(volume_decimals, amount_decimals, price_decimals);
        thread_.Wake();
    }

    // Runs one pump cycle at once, as the pump's thread does (fuzzing drives a pump through it
    // without waiting for the thread).
    void RunCycleForTest()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CycleLocked();
    }
    // Cycles the pump's thread has run (tests check that an idle pump sleeps).
    uint64_t CyclesRun() const { return thread_.CyclesRun(); }

    // The receive-error list (the newest Rx_error_record::kMaxLines lines) is copied only here,
    // never into a snapshot. The count also counts replies dropped because the controller let
    // too many wait unacknowledged.
    std::vector<std::string> RxErrorLines();      // copy
    std::vector<std::string> TakeRxErrorLines();  // takes the lines out (the receive-error dialog)
    int RxErrorCount();

private:

    // Everything below ending in "Locked" runs with mutex_ held.
    int64_t CycleLocked();  // returns how long the thread may sleep (Pump_thread::Cycle)
    bool DeliveryRunningLocked() const;
    void FillingStepLocked();
    bool ThrottledLocked() const;
    void PresetCheckLocked();
    bool DeliveryPossibleLocked() const;
    void StopDeliveryLocked();
    void CloseFillingLocked();
    void ProcessBlockLocked(const Message& block);
    void ApplyCommandLocked(const Zarn_command& command);
    void ApplyCd1Locked(uint8_t code);
    void ApplyDecimalsLocked(int volume_decimals, int amount_decimals, int price_decimals);
    bool CheckPollTimeoutLocked();  // true when the deadline had passed
    void SetStatusLocked(int status);
    Zarn_decimals DecimalsLocked() const;

    void PostLocked(std::unique_ptr<Message> reply);
    void QueueDc1Locked();
    void QueueDc2Locked();
    void QueueDc3Locked();
    void QueueDc5Locked();
    void QueueDc101Locked(uint8_t counter);

    void FillNozzleFlagsLocked(Zarn_pump_state& state) const;
    void FillPanelPartLocked(Zarn_pump_state& state) const;

    const uint8_t address_;
    const Pump_settings settings_;  // as the creator gave them

    std::mutex mutex_;
    int status_ = kStatusNotProgrammed;
    int saved_status_ = kStatusNotProgrammed;
    std::string status_text_;
    std::string short_status_text_;
    int stopped_ = 1;
    bool online_ = false;
    double real_filled_volume_ = 0;
    uint8_t alarm_code_ = 0;
    int suspended_ = 0;
    BCD filled_amount_;
    BCD filled_volume_;
    std::array<BCD, 15> unit_prices_;
    BCD filling_price_;
    BCD preset_volume_;
    BCD preset_amount_;
    double flow_ = 0;
    uint32_t last_tick_ = 0;               // tick of the previous delivery step
    bool delivery_clock_running_ = false;  // false: the next step only starts the clock
    uint8_t nozzle_out_ = 0;
    uint8_t selected_nozzle_ = 0;
    bool filling_started_ = false;
    bool filling_completed_ = false;
    std::array<bool, 15> allowed_{};
    std::array<bool, 15> visible_{};
    std::array<BCD, 15> volume_totals_;
    std::array<BCD, 15> amount_totals_;
    std::array<BCD, 15> fillings_;
    std::array<uint8_t, 5> identity_{};
    std::array<uint8_t, 256> output_registers_{};
    int volume_decimals_ = 2;
    int amount_decimals_ = 2;
    int price_decimals_ = 2;
    int rubbish_count_ = 0;
    Rx_error_record rx_errors_;
    std::mt19937 random_;

    // Accepted commands waiting for the pump's next cycle, which takes them all. A controller that
    // sends faster than the pump thread runs finds it full: its block is not acknowledged (it
    // sends it again) and the pump counts a receive error.
    static constexpr size_t kMaxReceivedBlocks = 1024;
    Message_queue receive_queue_{kMaxReceivedBlocks};
    Zarn_line line_;

    // Declared last: stopped before anything it uses goes. The line and the operations wake it.
    Pump_thread thread_;
};
