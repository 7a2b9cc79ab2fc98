#include "CrashWatchDog.h"
#include "WatchedContainer.h"

CrashWatchDog::CrashWatchDog() = default;

CrashWatchDog::~CrashWatchDog()
{
    stopTimer();
}

void CrashWatchDog::addPluginToWatch (WatchedContainer* container)
{
    watched_plugins.add (container);
}

void CrashWatchDog::removePluginToWatch (WatchedContainer* container)
{
    watched_plugins.removeFirstMatchingValue (container);
}

int CrashWatchDog::getNumberOfPluginsBeingWatched() const
{
    return watched_plugins.size();
}

void CrashWatchDog::timerCallback()
{
    JUCE_ASSERT_MESSAGE_THREAD
    // The size is read anew after each container: recovery may run dialogs whose
    // nested loops let instances come and go.
    for (int i = 0; i < watched_plugins.size(); ++i)
        watch (*watched_plugins.getUnchecked (i));
}

void CrashWatchDog::watch (WatchedContainer& container)
{
    container.completeHandOver();

    std::array<SlotHealth, 2> slots;
    for (int slot = 0; slot < 2; ++slot)
        slots[(size_t) slot].held = container.holdsPlugin (slot);

    // Both slots are probed before anything changes.
    for (int slot = 0; slot < 2; ++slot)
    {
        auto& health = slots[(size_t) slot];
        health.marked = container.isPluginCrashed (slot);
        health.probeSaysCrashed = health.held && container.probePlugin (slot);
    }

    const auto verdict = decideWatchdogTick (slots, container.getActivePlugin(), container.getWatchPolicy());

    for (int slot = 0; slot < 2; ++slot)
        if (verdict.mark[(size_t) slot])
            container.markPluginCrashed (slot);

    if (verdict.switchTo >= 0)
        container.handOverTo (verdict.switchTo);

    for (int slot = 0; slot < 2; ++slot)
        if (verdict.recover[(size_t) slot])
            container.recoverPluginUnattended (slot);
}
