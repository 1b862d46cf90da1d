#include "zarn/zarn_automater.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/random_seed.h"
#include "platform/timeout.h"
#include "zarn/zarn_pump.h"

namespace {

constexpr int kNozzles = 15;
constexpr int kLowestFlow = 10;   // litres per minute
constexpr int kHighestFlow = 49;

}  // namespace

Automater::Automater(Zarn_pump& pump, int level, const Automater_timing& timing)
    : pump_(pump), level_(CheckedAutomationLevel(level)), timing_(timing), random_(RandomSeed(uint32_t(pump.Address()) << 24))
{
}

Automater::~Automater() = default;

int Automater::DrawNozzle()
{
    return std::uniform_int_distribution<int>(1, kNozzles)(random_);
}

int Automater::DrawPause()
{
    const Automater_timing::Pause_range& range = timing_.pauses[level_ - 1];
    const int spread = range.longest - range.shortest;
    if (spread <= 0)
        return range.shortest;
    return range.shortest + std::uniform_int_distribution<int>(0, spread - 1)(random_);
}

bool Automater::NozzleAllowed(int nozzle)
{
    Zarn_pump_state flags;
    pump_.GetNozzleFlags(flags);
    return flags.nozzles[nozzle - 1].allowed;
}

// A pump with a priced nozzle out moves from authorised (2) to filling (4) within one of its
// cycles, so either status means the controller has let the customer fill.
bool Automater::Authorized()
{
    const int status = pump_.GetStatus();
    return status == kStatusAuthorized || status == kStatusFilling;
}

void Automater::Run()
{
    const int spread = timing_.initial_delay_spread_ms;
    const int initial_delay =
        timing_.initial_delay_min_ms + (spread > 0 ? std::uniform_int_distribution<int>(0, spread - 1)(random_) : 0);
    if (WaitMs(initial_delay)) {
        while (!thread_.Stopping())
            Cycle();
    }
    // Nobody must be left filling when the automation ends.
    if (nozzle_out_)
        pump_.HangUpNozzle();
}

// One customer: returns early (with the nozzle possibly still out) when the automater stops or
// when a guard passes; the next cycle then starts over.
void Automater::Cycle()
{
    pump_.LiftNozzle();
    nozzle_out_ = true;
    if (!WaitMs(timing_.step_ms))
        return;

    TimeOut guard(timing_.guard_seconds);
    guard.Restart();
    int nozzle = DrawNozzle();
    while (!NozzleAllowed(nozzle)) {
        if (guard.Expired())
            return;
        nozzle = DrawNozzle();
        if (!WaitMs(timing_.step_ms))
            return;
    }

    pump_.SelectNozzle(nozzle);
    guard.Restart();
    while (!Authorized()) {
        if (guard.Expired() || !WaitMs(timing_.step_ms))
            return;
    }
    ++fillings_started_;

    pump_.SetFlow(std::uniform_int_distribution<int>(kLowestFlow, kHighestFlow)(random_));

    // The nozzle stays out until the guard passes (the pump may end the filling earlier at a
    // preset), checked in steps of a drawn number of milliseconds.
    const int step = DrawPause();
    while (!guard.Expired()) {
        if (!WaitMs(step))
            return;
    }

    pump_.HangUpNozzle();
    nozzle_out_ = false;

    const int pause_ms = DrawPause() * timing_.pause_unit_ms;
    const uint32_t pause_start = TickMs();
    while (static_cast<uint32_t>(TickMs() - pause_start) < static_cast<uint32_t>(pause_ms)) {
        if (!WaitMs(std::min(timing_.step_ms, pause_ms)))
            return;
    }
}
