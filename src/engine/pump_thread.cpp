#include "engine/pump_thread.h"

#include <algorithm>
#include <climits>

void Pump_thread::StartOnDemand(Cycle cycle, int pause_ms)
{
    if (thread_.joinable())
        return;
    cycle_ = std::move(cycle);
    pause_ms_ = std::max(1, pause_ms);
    ListenForClockJumps(this);
    thread_ = std::thread([this] { Run(); });
}

void Pump_thread::Start(std::function<void()> cycle, int sleep_ms)
{
    const int64_t pause = std::max(1, sleep_ms);
    StartOnDemand(
        [cycle = std::move(cycle), pause] {
            cycle();
            return pause;
        },
        sleep_ms);
}

void Pump_thread::Stop()
{
    stopping_ = true;
    wake_.Set();
    StopListeningForClockJumps(this);
    if (thread_.joinable())
        thread_.join();
}

void Pump_thread::Run()
{
    SetCurrentThreadPriority(ThreadPriority::Normal);
    while (!stopping_) {
        const int64_t sleep_ms = cycle_();
        cycles_run_.fetch_add(1);
        const auto cycle_end = std::chrono::steady_clock::now();
        if (stopping_)
            break;
        // Woken before the moment the cycle asked for: the next cycle comes at the next beat.
        if (wake_.Wait(sleep_ms == kUntilWoken ? -1 : static_cast<int>(std::clamp<int64_t>(sleep_ms, 0, INT_MAX))))
            WaitForBeat(cycle_end);
    }
}

void Pump_thread::WaitForBeat(std::chrono::steady_clock::time_point last_cycle_end)
{
    using namespace std::chrono;
    const milliseconds pause(pause_ms_);
    const auto since = steady_clock::now() - last_cycle_end;
    const auto beat = last_cycle_end + pause * std::max<int64_t>(1, (since + pause - nanoseconds(1)) / pause);
    // Wake-ups meanwhile change nothing: the cycle at the beat sees every change. Stop ends the wait.
    for (auto now = steady_clock::now(); !stopping_ && now < beat; now = steady_clock::now())
        wake_.Wait(static_cast<int>(duration_cast<milliseconds>(beat - now + milliseconds(1) - nanoseconds(1)).count()));
}

Poll_deadline::Poll_deadline(int period_seconds, Pump_thread* thread) : timeout_(period_seconds), thread_(thread) {}

// Restarting before looking at the flag, while SleepLimitMs sets the flag before looking at the
// deadline (both sequentially consistent), means that either the pump thread sees the new
// deadline or this restart sees the flag and wakes it: a pump never sleeps through its coming
// back online.
void Poll_deadline::Restart()
{
    timeout_.Restart();
    if (restart_wakes_thread_.exchange(false) && thread_ != nullptr)
        thread_->Wake();
}

int64_t Poll_deadline::SleepLimitMs(bool cycle_found_expired)
{
    restart_wakes_thread_.store(true);
    const int64_t left = timeout_.MillisecondsLeft();
    const bool expired = left == 0;
    if (expired && cycle_found_expired)
        return Pump_thread::kUntilWoken;
    restart_wakes_thread_.store(false);
    return expired == cycle_found_expired ? left : 0;
}
