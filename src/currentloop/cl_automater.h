#pragma once
#include <atomic>
#include <cstdint>
#include <random>

#include "engine/automation_levels.h"
#include "engine/automation_thread.h"
#include "platform/timeout.h"

class CL_pump;

// The durations an automater works with; the defaults are the real ones. Tests shorten them.
struct CL_automater_timing {
    int start_delay_min_ms = 5;         // first wait: min + random modulo range
    int start_delay_range_ms = 20000;
    int choose_pause_ms = 500;          // between attempts to find a visible nozzle
    int step_ms = 1000;                 // the waits for authorisation and the filling steps
    int guard_seconds = 60;             // how long a lifted nozzle waits for authorisation
    int duration_unit_ms = 1000;        // unit of the level's filling and pause durations
};

// Plays the customer at one pump: lifts a random visible nozzle, waits for the controller's
// authorisation, lets fuel flow at a random rate for a random time, hangs up, pauses, again.
// Level 1 Light, 2 Normal, 3 Heavy. Runs on its own Automation_thread from construction to
// destruction.
class CL_Automater {
public:
    // `pump` must outlive the automater. Raises Gallion_error for a level outside 1-3.
    CL_Automater(CL_pump& pump, int level, const CL_automater_timing& timing = CL_automater_timing());
    // Stops at once (every wait ends) and leaves the nozzle hung up.
    ~CL_Automater();
    CL_Automater(const CL_Automater&) = delete;
    CL_Automater& operator=(const CL_Automater&) = delete;

    int Level() const { return level_; }

private:
    void Run();
    bool OneFilling();
    bool WaitMs(int milliseconds) { return thread_.WaitMs(milliseconds); }  // false when stopping
    // Waits a random level duration in steps; false when asked to stop.
    bool WaitLevelDuration();
    int RandomLevelSeconds();
    bool Authorized() const;

    CL_pump& pump_;
    const int level_;
    const CL_automater_timing timing_;
    TimeOut guard_;
    const int minimum_seconds_;  // the level's range (engine/automation_levels.h)
    const int maximum_seconds_;
    std::mt19937 random_;
    Automation_thread thread_{[this] { Run(); }};  // last: started once the rest is built
};
