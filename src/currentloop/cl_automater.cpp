#include "currentloop/cl_automater.h"

#include <algorithm>

#include "platform/random_seed.h"
#include "currentloop/cl_pump.h"

CL_Automater::CL_Automater(CL_pump& pump, int level, const CL_automater_timing& timing)
    : pump_(pump),
      level_(CheckedAutomationLevel(level)),
      timing_(timing),
      guard_(timing.guard_seconds),
      minimum_seconds_(AutomationLevelRange(level_).shortest),
      maximum_seconds_(AutomationLevelRange(level_).longest),
      random_(RandomSeed(static_cast<uint32_t>(pump.Address()) << 16))
{
}

CL_Automater::~CL_Automater() = default;

int CL_Automater::RandomLevelSeconds()
{
    const unsigned span = static_cast<unsigned>(maximum_seconds_ - minimum_seconds_);
    return minimum_seconds_ + static_cast<int>(random_() % span);
}

bool CL_Automater::WaitLevelDuration()
{
    const int64_t total_ms = static_cast<int64_t>(RandomLevelSeconds()) * timing_.duration_unit_ms;
    for (int64_t waited = 0; waited < total_ms; waited += timing_.step_ms) {
        if (!WaitMs(static_cast<int>(std::min<int64_t>(timing_.step_ms, total_ms - waited))))
            return false;
    }
    return !thread_.Stopping();
}

bool CL_Automater::Authorized() const
{
    // The pump moves from 'C' to 'D' within one cycle, so both mean the controller said yes.
    const char state = pump_.GetStatus();
    return state == 'C' || state == 'D';
}

void CL_Automater::Run()
{
    pump_.HangUpNozzle();
    const int range = std::max(1, timing_.start_delay_range_ms);
    WaitMs(static_cast<int>(random_() % static_cast<unsigned>(range)) + timing_.start_delay_min_ms);
    while (!thread_.Stopping()) {
        // A filling that ran its course hung up once already and paused: the next customer lifts
        // straight away. Every other way out (the guard, a stop) hangs the nozzle up here. A
        // second hang-up right before the next lift would knock back an authorisation the
        // controller gave the idle pump during the pause.
        if (!OneFilling())
            pump_.HangUpNozzle();
    }
}

// One customer, from choosing a nozzle to the pause after hanging up. True when the customer hung
// up after filling (the pause after it may have been cut short by a stop, with the nozzle already
// hung up); false for the early ways out, which leave the hang-up to Run().
bool CL_Automater::OneFilling()
{
    guard_.Restart();
    CL_nozzle_flags flags = pump_.GetNozzleFlags();
    unsigned k = random_() % 5;

    for (;;) {
        // Choose a visible nozzle while the guard runs.
        while (!flags.visible[k]) {
            if (guard_.Expired() || !WaitMs(timing_.choose_pause_ms))
                return false;
            flags = pump_.GetNozzleFlags();
            k = random_() % 5;
        }
        pump_.LiftNozzle(static_cast<int>(k) + 1);
        if (!WaitMs(timing_.step_ms))
            return false;
        flags = pump_.GetNozzleFlags();
        if (Authorized() || !flags.allowed[k] || guard_.Expired())
            break;
    }
    if (guard_.Expired())
        return false;

    guard_.Restart();
    while (!Authorized() && !guard_.Expired()) {
        if (!WaitMs(timing_.step_ms))
            return false;
    }
    if (guard_.Expired())
        return false;

    pump_.SetFlow(10.0 + static_cast<double>(random_() % 40));
    if (!WaitLevelDuration() || guard_.Expired())
        return false;

    pump_.HangUpNozzle();
    WaitLevelDuration();
    return true;
}
