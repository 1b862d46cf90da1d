#pragma once
#include <condition_variable>
#include <mutex>

// The three thread priorities of the engines. Best effort: where the system refuses, the thread
// keeps its normal priority and nothing is reported.
enum class ThreadPriority { TimeCritical, Normal, Lowest };
void SetCurrentThreadPriority(ThreadPriority priority);

// An event: a flag with waiters. An auto-reset event lets one Wait() through and clears itself;
// a manual-reset event stays set until Reset().
class Event {
public:
    Event(bool manual_reset, bool initially_set);
    void Set();
    void Reset();
    bool IsSet() const;
    // Waits until the event is set or timeout_ms passes (negative: no limit). True when it was set.
    bool Wait(int timeout_ms = -1);

private:
    const bool manual_reset_;
    bool set_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
};
