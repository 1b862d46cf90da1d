#pragma once
#include <cstdint>
#include <ctime>
#include <string>

// The millisecond tick: 32-bit milliseconds since an arbitrary start, wrapping after about
// 49.7 days. Code that compares ticks must allow for the wrap.
uint32_t TickMs();

// Wall-clock seconds, the time base of TimeOut deadlines and of the dates in logs.
std::time_t WallSeconds();

// Test hooks. Both clocks are the real ones plus a shared offset that only tests change.
// AdvanceClockForTest moves the tick and the wall clock forward together (poll time-outs,
// automation guards and fillings see the jump); ShiftTickForTest moves only the tick (to bring
// it near its wrap).
void AdvanceClockForTest(int64_t milliseconds);
void ShiftTickForTest(int64_t milliseconds);

// The fixed 24-character local date form, e.g. "Mon Dec  7 11:57:35 2026" (no newline).
std::string DateText24(std::time_t t);

// The receive-error time stamp "YYMMDD hh:nn:ss" in local time.
std::string RxErrorStamp(std::time_t t);
