#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/clock.h"
#include "platform/thread.h"
#include "platform/timeout.h"

// The thread of one simulated pump (either protocol). It runs the pump's cycle, then sleeps until
// there is something to do:
//   - Wake() from another thread: a block or message for the pump, an operation that changed it,
//     stopping;
//   - the moment the cycle asked for with its return value: the next delivery step while fuel
//     flows, the poll deadline while the pump is online; kUntilWoken when its rules need no
//     moment of their own;
//   - a jump of the clocks made by a test (AdvanceClockForTest), as the real passing of that time
//     would.
// A woken thread cycles at the next beat: the end of its last cycle plus a whole number of pauses
// ("PumpSleepMs"), where a pump that cycled after every pause would have cycled. So a change is
// taken up exactly as early as it always was; the pump only skips the beats at which it had
// nothing to do. A wake-up is never lost: one that comes while the cycle runs brings the next
// beat's cycle. A cycle more than needed changes nothing (an idle pump's cycle repeats what the
// last one did); that is why waking on every change is safe. The cycle takes the pump's own lock;
// this class holds no lock while it waits.
class Pump_thread : private Clock_jump_listener {
public:
    static constexpr int64_t kUntilWoken = -1;
    // Runs one cycle and returns the longest sleep before the next one, in milliseconds, or
    // kUntilWoken.
    using Cycle = std::function<int64_t()>;

    Pump_thread() = default;
    ~Pump_thread() { Stop(); }
    Pump_thread(const Pump_thread&) = delete;
    Pump_thread& operator=(const Pump_thread&) = delete;

    // Starts the thread at normal priority (once; later calls do nothing). The first cycle runs
    // at once; the beat of wake-ups is `pause_ms` (at least 1).
    void StartOnDemand(Cycle cycle, int pause_ms);
    // The same with a fixed pause: `cycle` runs every `sleep_ms` milliseconds (at least 1).
    void Start(std::function<void()> cycle, int sleep_ms);

    // Makes the thread run its cycle again as soon as the current one (if any) has ended. Any
    // thread, at any time, also before Start; never blocks.
    void Wake() { wake_.Set(); }

    // Asks the thread to stop and waits for it. Safe to call more than once.
    void Stop();

    bool Stopping() const { return stopping_; }
    bool Started() const { return thread_.joinable(); }  // for the owner's thread
    // The shorter of two sleeps (kUntilWoken counts as endless).
    static int64_t Sooner(int64_t a, int64_t b)
    {
        if (a == kUntilWoken)
            return b;
        return b == kUntilWoken || a < b ? a : b;
    }

    // Cycles run so far (tests check that an idle pump sleeps).
    uint64_t CyclesRun() const { return cycles_run_.load(); }

private:
    void Run();
    void WaitForBeat(std::chrono::steady_clock::time_point last_cycle_end);
    void OnClockJump() override { Wake(); }

    Cycle cycle_;
    int pause_ms_ = 25;
    Event wake_{false, false};  // auto-reset: one wake-up lets one wait through
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> cycles_run_{0};
    std::thread thread_;
};

// A pump's poll deadline: restarted on the I/O thread by every block or message addressed to the
// pump, watched by the pump thread, which sleeps until the deadline passes. Once it has passed,
// the pump thread sleeps until woken, and the first restart after that wakes it, so that it sees
// the pump online again at once. Neither side takes a lock.
class Poll_deadline {
public:
    // `thread` (may be none) is woken by the first restart after the deadline passed; it need
    // not have been constructed yet, only before the first Restart.
    Poll_deadline(int period_seconds, Pump_thread* thread);

    void Restart();
    bool Expired() const { return timeout_.Expired(); }
    // For the pump thread after its cycle, which found the deadline passed or not: the longest
    // sleep before the deadline passes, Pump_thread::kUntilWoken when it has passed, or 0 (cycle
    // again) when it has passed or restarted since the cycle looked.
    int64_t SleepLimitMs(bool cycle_found_expired);

private:
    TimeOut timeout_;
    Pump_thread* const thread_;
    // True while the pump thread may sleep through a passed deadline: the next restart wakes it.
    std::atomic<bool> restart_wakes_thread_{false};
};
