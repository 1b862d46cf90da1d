#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>

namespace {

// Offsets added to the real clocks; only tests change them.
std::atomic<int64_t> g_tick_offset_ms{0};
std::atomic<int64_t> g_wall_offset_ms{0};

int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::mutex g_listeners_mutex;
std::set<Clock_jump_listener*> g_listeners;

bool LocalTime(std::time_t t, std::tm& out)
{
    return localtime_r(&t, &out) != nullptr;
}

}  // namespace

uint32_t TickMs()
{
    return static_cast<uint32_t>(static_cast<uint64_t>(SteadyMs() + g_tick_offset_ms.load()));
}

std::time_t WallSeconds()
{
    return std::time(nullptr) + static_cast<std::time_t>(g_wall_offset_ms.load() / 1000);
}

int64_t MillisecondsUntilWallSecond(std::time_t second)
{
    using namespace std::chrono;
    // WallSeconds() is time() plus the test offset in whole seconds.
    const int64_t real_second = static_cast<int64_t>(second) - g_wall_offset_ms.load() / 1000;
    const int64_t now_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return std::max<int64_t>(0, real_second * 1000 - now_ms);
}

void AdvanceClockForTest(int64_t milliseconds)
{
    g_tick_offset_ms.fetch_add(milliseconds);
    g_wall_offset_ms.fetch_add(milliseconds);
    std::lock_guard<std::mutex> lock(g_listeners_mutex);
    for (Clock_jump_listener* listener : g_listeners)
        listener->OnClockJump();
}

void ListenForClockJumps(Clock_jump_listener* listener)
{
    std::lock_guard<std::mutex> lock(g_listeners_mutex);
    g_listeners.insert(listener);
}

void StopListeningForClockJumps(Clock_jump_listener* listener)
{
    std::lock_guard<std::mutex> lock(g_listeners_mutex);
    g_listeners.erase(listener);
}

void ShiftTickForTest(int64_t milliseconds)
{
    g_tick_offset_ms.fetch_add(milliseconds);
}

std::string DateText24(std::time_t t)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (!LocalTime(t, tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11)
        return std::string(24, '?');
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", kDays[tm.tm_wday], kMonths[tm.tm_mon],
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    return text;
}

std::string RxErrorStamp(std::time_t t)
{
    std::tm tm{};
    if (!LocalTime(t, tm))
        return "000000 00:00:00";
    char text[64];
    std::snprintf(text, sizeof text, "%02d%02d%02d %02d:%02d:%02d", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}
