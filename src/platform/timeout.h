#pragma once
#include <atomic>
#include <cstdint>

// A deadline in whole seconds of the wall clock with a period. Restart() sets
// deadline = now + period; Expired() is true when the deadline lies before now. A new TimeOut
// counts as expired until its first Restart(). Restart and Expired may be called from different
// threads without a lock (the poll deadline is restarted by the I/O thread and read by the pump).
class TimeOut {
public:
    explicit TimeOut(int period_seconds = 0);
    void SetPeriod(int period_seconds);
    int Period() const;
    void Restart();
    bool Expired() const;
    // Milliseconds until Expired() turns true (at least 1 while it is false), 0 once it is.
    int64_t MillisecondsLeft() const;

private:
    std::atomic<int> period_;
    std::atomic<int64_t> deadline_;
};
