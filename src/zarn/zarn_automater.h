#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <random>

#include "engine/automation_levels.h"
#include "engine/automation_thread.h"

class Zarn_pump;

// The durations an automater works with. The defaults are the real ones; tests pass shorter ones.
struct Automater_timing {
    using Pause_range = Automation_level_range;  // a pause is shortest + random mod (longest - shortest)

    int initial_delay_min_ms = 5000;       // first filling after 5 to 25 s, so that several
    int initial_delay_spread_ms = 20000;   // automated pumps do not start together
    int step_ms = 1000;                    // the step of the nozzle and authorisation waits
    int guard_seconds = 60;                // deadline for an allowed nozzle, for authorisation,
                                           // and the time a nozzle stays out after selection
    int pause_unit_ms = 1000;              // a drawn pause between fillings counts in these units
    // Pause between fillings for the levels 1 Light, 2 Normal, 3 Heavy, in pause units.
    std::array<Pause_range, 3> pauses = kAutomationLevelRanges;
};

// Plays the customer at one pump: takes a nozzle out, waits for an allowed nozzle and for the
// controller's authorisation, lets fuel flow, hangs up, pauses and starts again. Runs on its own
// Automation_thread from construction to destruction; destruction ends every wait at once and
// hangs up a nozzle the automater has taken out.
class Automater {
public:
    static constexpr int kLight = kAutomationLight;
    static constexpr int kNormal = kAutomationNormal;
    static constexpr int kHeavy = kAutomationHeavy;

    static bool ValidLevel(int level) { return ValidAutomationLevel(level); }

    // `pump` must outlive the automater. Raises Gallion_error for a level outside 1-3.
    Automater(Zarn_pump& pump, int level, const Automater_timing& timing = Automater_timing());
    ~Automater();
    Automater(const Automater&) = delete;
    Automater& operator=(const Automater&) = delete;

    int Level() const { return level_; }
    int FillingsStarted() const { return fillings_started_; }  // fillings the controller authorised

private:
    void Run();
    void Cycle();
    bool WaitMs(int milliseconds) { return thread_.WaitMs(milliseconds); }  // false when stopping
    int DrawNozzle();
    int DrawPause();
    bool NozzleAllowed(int nozzle);
    bool Authorized();

    Zarn_pump& pump_;
    const int level_;
    const Automater_timing timing_;
    std::mt19937 random_;
    bool nozzle_out_ = false;  // only the automater's thread uses it
    std::atomic<int> fillings_started_{0};
    Automation_thread thread_{[this] { Run(); }};  // last: started once the rest is built
};
