#pragma once

#include <array>
#include <cstddef>

// What one watchdog tick decides for one container, as a function of what it
// found: kept apart from the timer and the processor so that every case can be
// checked on its own.

// One slot as the tick sees it.
struct SlotHealth
{
    bool held = false; // a plug-in was loaded when the tick began
    bool marked = false; // already marked crashed by an earlier tick
    bool probeSaysCrashed = false; // the bridge answered this tick's probe with 1
};

// The container's options that steer the watchdog.
struct WatchPolicy
{
    bool autoSwitch = false; // make the healthy other slot active
    bool autoRecover = false; // reload crashed slots from their files
};

struct WatchdogVerdict
{
    std::array<bool, 2> mark {}; // slots to mark crashed now (with the warning line)
    int switchTo = -1; // slot to make active, or -1
    std::array<bool, 2> recover {}; // slots to reload, after any switch
};

// The switch never goes to an empty or crashed slot and never switches back by
// itself; only a held slot counts as crashed.
WatchdogVerdict decideWatchdogTick (const std::array<SlotHealth, 2>& slots, int activeSlot, WatchPolicy policy);
