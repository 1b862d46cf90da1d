#pragma once
#include <string>

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

// Reads one section of the settings file by the one table of its keys (pump_settings.cpp), each
// key with one rule on both protocols: a missing key or one that does not convert gets its
// default; a number outside its range (a negative time-out or throttle, decimals outside 0-8, a
// throttle that is no finite number) gets its default too, except a pause below 1 ms, which
// becomes 1 (a pause of 0 would spin).
Pump_settings ReadPumpSettings(const std::string& section);
