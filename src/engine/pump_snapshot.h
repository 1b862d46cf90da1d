#pragma once
#include <string>
#include <vector>

// One nozzle as either protocol's pump tells it.
struct Nozzle_snapshot {
    int number = 0;  // 1 based
    bool visible = false;
    bool allowed = false;    // the controller lets it deliver
    std::string price_text;  // its unit price
    // Zarn only (empty on a current-loop pump, and for a nozzle the controller has not allowed).
    std::string volume_total_text, amount_total_text, fillings_text;

    bool operator==(const Nozzle_snapshot&) const = default;
};

// What either protocol's pump tells of itself in one copy taken under its lock, in the same words
// on both sides: the windows' panels and detail dialogs (through loops/), the runner and the
// automation read it. Each protocol's snapshot adds its own part (Zarn_pump_state, CL_pump_state).
struct Pump_snapshot {
    std::string volume_text, amount_text, price_text;  // the filling: volume, amount, unit price
    double flow = 0;                                   // litres per minute
    bool nozzle_out = false;                           // a nozzle is out of its holster (lifted)
    int selected_nozzle = 0;                           // 0: none
    bool online = false;
    int rx_error_count = 0;      // the lines themselves: the pump's RxErrorLines()
    bool log_rx_errors = false;  // the pump keeps its receive-error lines ("LogRXErrors")
    std::vector<Nozzle_snapshot> nozzles;  // every nozzle of the pump, in order

    bool operator==(const Pump_snapshot&) const = default;
};
