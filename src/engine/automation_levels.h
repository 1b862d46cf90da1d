#pragma once
#include <array>
#include <string>

#include "platform/error.h"

// The automatic filling's three levels of traffic, shared by both protocols' automaters: 1 Light,
// 2 Normal, 3 Heavy. A drawn duration is shortest + random mod (longest - shortest) seconds, so
// from shortest up to longest - 1.
struct Automation_level_range {
    int shortest;
    int longest;
};

constexpr int kAutomationLight = 1;
constexpr int kAutomationNormal = 2;
constexpr int kAutomationHeavy = 3;

constexpr std::array<Automation_level_range, 3> kAutomationLevelRanges = {{{120, 300}, {30, 120}, {10, 30}}};

constexpr bool ValidAutomationLevel(int level)
{
    return level >= kAutomationLight && level <= kAutomationHeavy;
}

// The range of a level; levels outside 1-3 are taken as the nearest one.
constexpr Automation_level_range AutomationLevelRange(int level)
{
    return kAutomationLevelRanges[level < kAutomationLight ? 0 : level > kAutomationHeavy ? 2 : level - 1];
}

// The level itself; raises Gallion_error for a level outside 1-3 (an automater's constructor
// checks its level before its thread starts).
inline int CheckedAutomationLevel(int level)
{
    if (!ValidAutomationLevel(level))
        throw Gallion_error("Invalid automation level " + std::to_string(level));
    return level;
}
