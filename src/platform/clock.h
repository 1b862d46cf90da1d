#pragma once
#include <cstdint>
#include <ctime>
#include <string>

// The millisecond tick: 32-bit milliseconds since an arbitrary start, wrapping after about
// 49.7 days. Code that compares ticks must allow for the wrap.
uint32_t TickMs();

// Wall-clock seconds, the time base of TimeOut deadlines and of the dates in logs.
std::time_t WallSeconds();
// Milliseconds from now until WallSeconds() reaches `second`; 0 when it already has.
int64_t MillisecondsUntilWallSecond(std::time_t second);

// Test hooks. Both clocks are the real ones plus a shared offset that only tests change.
// AdvanceClockForTest moves the tick and the wall clock forward together (poll time-outs,
// automation guards and fillings see the jump); ShiftTickForTest moves only the tick (to bring
// it near its wrap).
void AdvanceClockForTest(int64_t milliseconds);
void ShiftTickForTest(int64_t milliseconds);

// A thread that sleeps until a moment of these clocks (a pump thread) listens for the jumps of
// AdvanceClockForTest, so that a jump wakes it to look again as the real passing of that time
// would. Once StopListeningForClockJumps has returned, the listener is not called any more.
class Clock_jump_listener {
public:
    virtual void OnClockJump() = 0;

protected:
    ~Clock_jump_listener() = default;
};
void ListenForClockJumps(Clock_jump_listener* listener);
void StopListeningForClockJumps(Clock_jump_listener* listener);

// The fixed 24-character local date form, e.g. "Mon Dec  7 11:57:35 2026" (no newline).
std::string DateText24(std::time_t t);

// The receive-error time stamp "YYMMDD hh:nn:ss" in local time.
std::string RxErrorStamp(std::time_t t);
