#include "platform/timeout.h"

#include <algorithm>
#include <limits>

#include "platform/clock.h"

// A deadline this far in the past makes a new TimeOut count as expired until its first Restart().
static constexpr int64_t kNeverStarted = std::numeric_limits<int64_t>::min() / 2;

TimeOut::TimeOut(int period_seconds) : period_(period_seconds), deadline_(kNeverStarted) {}

void TimeOut::SetPeriod(int period_seconds)
{
    period_.store(period_seconds);
}

int TimeOut::Period() const
{
    return period_.load();
}

void TimeOut::Restart()
{
    deadline_.store(static_cast<int64_t>(WallSeconds()) + period_.load());
}

bool TimeOut::Expired() const
{
    return deadline_.load() < static_cast<int64_t>(WallSeconds());
}

int64_t TimeOut::MillisecondsLeft() const
{
    const int64_t deadline = deadline_.load();
    if (deadline < static_cast<int64_t>(WallSeconds()))
        return 0;
    // Expired from the second after the deadline on. time() may turn that second a moment later
    // than the precise clock: one millisecond more keeps a sleeper from waking just too early.
    return std::max<int64_t>(1, MillisecondsUntilWallSecond(static_cast<std::time_t>(deadline + 1)) + 1);
}
