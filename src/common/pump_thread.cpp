#include "common/pump_thread.h"

#include <algorithm>
#include <climits>

void Pump_thread::Start(Cycle cycle)
{
    if (thread_.joinable())
        return;
    cycle_ = std::move(cycle);
    ListenForClockJumps(this);
    thread_ = std::thread([this] { Run(); });
}

void Pump_thread::Start(std::function<void()> cycle, int sleep_ms)
{
    const int64_t pause = std::max(1, sleep_ms);
    Start([cycle = std::move(cycle), pause] {
        cycle();
        return pause;
    });
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
        if (stopping_)
            break;
        wake_.Wait(sleep_ms == kUntilWoken ? -1 : static_cast<int>(std::clamp<int64_t>(sleep_ms, 0, INT_MAX)));
    }
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
