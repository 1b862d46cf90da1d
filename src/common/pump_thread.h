#pragma once
#include <atomic>
#include <functional>
#include <thread>

#include "common/thread.h"

// The thread of one simulated pump (either protocol): runs the pump's cycle, then pauses for the
// cycle time, until stopped. Stopping ends the pause at once and waits for the cycle under way.
// The cycle takes the pump's own lock; this class holds no lock while it waits.
class Pump_thread {
public:
    Pump_thread() = default;
    ~Pump_thread() { Stop(); }
    Pump_thread(const Pump_thread&) = delete;
    Pump_thread& operator=(const Pump_thread&) = delete;

    // Starts the thread at normal priority (once; later calls do nothing). `cycle` runs first at
    // once, then every `sleep_ms` milliseconds (at least 1).
    void Start(std::function<void()> cycle, int sleep_ms)
    {
        if (thread_.joinable())
            return;
        cycle_ = std::move(cycle);
        sleep_ms_ = sleep_ms < 1 ? 1 : sleep_ms;
        thread_ = std::thread([this] { Run(); });
    }

    // Asks the thread to stop and waits for it. Safe to call more than once.
    void Stop()
    {
        stopping_ = true;
        wake_.Set();
        if (thread_.joinable())
            thread_.join();
    }

    bool Stopping() const { return stopping_; }
    bool Started() const { return thread_.joinable(); }  // for the owner's thread

private:
    void Run()
    {
        SetCurrentThreadPriority(ThreadPriority::Normal);
        while (!stopping_) {
            cycle_();
            wake_.Wait(sleep_ms_);
        }
    }

    std::function<void()> cycle_;
    int sleep_ms_ = 25;
    Event wake_{true, false};  // set only to stop: ends the pause at once
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
