#include "WatchdogDecision.h"

WatchdogVerdict decideWatchdogTick (const std::array<SlotHealth, 2>& slots, int activeSlot, WatchPolicy policy)
{
    WatchdogVerdict verdict;
    std::array<bool, 2> crashed {};

    for (std::size_t i = 0; i < 2; ++i)
    {
        verdict.mark[i] = slots[i].held && slots[i].probeSaysCrashed;
        crashed[i] = slots[i].held && (slots[i].marked || slots[i].probeSaysCrashed);
    }

    if (policy.autoSwitch && (activeSlot == 0 || activeSlot == 1))
    {
        const auto active = (std::size_t) activeSlot;
        const auto other = 1 - active;
        if (crashed[active] && slots[other].held && ! crashed[other])
            verdict.switchTo = (int) other;
    }

    if (policy.autoRecover)
        verdict.recover = crashed;

    return verdict;
}
