#pragma once
#include <string>
#include <vector>

// The keys of a protocol's section of the settings file ("Zarn", "CurrentLoop") that its pumps,
// its forecourt and its I/O thread use, as one value. The initial values are the defaults.
struct Pump_settings {
    int pump_sleep_ms = 25;        // "PumpSleepMs": the pump thread's pause per cycle
    double throttle_volume = 5.0;  // "ThrottleVolume": remaining volume at which the flow is throttled
    double throttle_amount = 20.0; // "ThrottleAmount": the same for the remaining amount
    double throttle_flow = 5.0;    // "ThrottleFlow": the throttled flow, litres per minute
    int poll_timeout = 5;          // "PollTimeout": seconds without a poll before a pump is offline
    int volume_decimals = 2;       // "VolumeDecimals", "AmountDecimals", "PriceDecimals"
    int amount_decimals = 2;
    int price_decimals = 2;
    bool log_rx_errors = false;    // "LogRXErrors": pumps keep their receive-error lines
    bool auto_flow = true;         // "AutoFlow"
    bool recalc_at_preset = true;  // "RecalcAtPreset"
    // Zarn only.
    bool filling_complete_only_after_nozzle_returned = false;  // "FillingCompleteOnlyAfterNozzleReturned"
    bool handle_returning_messages = true;                     // "HandleReturningMessages"
};

// The two sections' names in the settings file.
constexpr const char* kZarnSection = "Zarn";
constexpr const char* kCurrentLoopSection = "CurrentLoop";

// Who reads a section: the engines' creators, or the Preferences dialog, which shows its own
// default for two keys the file lacks ("HandleReturningMessages" off, and 15 for the current
// loop's "PollTimeout") and every number as the file holds it (its own entry ranges refuse what
// is out of range). Every other default is the same for both.
enum class Settings_reader { engine, preferences };

Pump_settings DefaultPumpSettings(const std::string& section, Settings_reader reader);

// The keys of a section, in the order they are written.
const std::vector<std::string>& PumpSettingKeys(const std::string& section);

// Reads one section of the settings file by the one table of its keys (pump_settings.cpp), each
// key with one rule on both protocols: a missing key or one that does not convert gets the
// reader's default; for the engines, a number outside its range (a negative time-out or throttle, decimals outside
// 0-8, a throttle that is no finite number) gets the default too, except a pause below 1 ms,
// which becomes 1 (a pause of 0 would spin). The Zarn section has two keys more than the
// current loop's (FillingCompleteOnlyAfterNozzleReturned, HandleReturningMessages).
Pump_settings ReadPumpSettings(const std::string& section, Settings_reader reader = Settings_reader::engine);

// Writes every key of the section in its order: PumpSleepMs, ThrottleVolume, ThrottleAmount,
// ThrottleFlow, PollTimeout, VolumeDecimals, AmountDecimals, PriceDecimals, LogRXErrors, then on
// Zarn HandleReturningMessages, RecalcAtPreset, FillingCompleteOnlyAfterNozzleReturned, AutoFlow,
// on the current loop AutoFlow, RecalcAtPreset. False when the file could not be written (the
// keys after the failing one are not tried).
bool WritePumpSettings(const std::string& section, const Pump_settings& settings);
