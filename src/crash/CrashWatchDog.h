#pragma once

#include <juce_events/juce_events.h>

class WatchedContainer;

// One per process: probes every hosted plug-in of every instance once a second,
// switches away from crashed active slots and recovers them, as each instance's
// options say. Message thread only.
class CrashWatchDog : public juce::Timer
{
public:
    CrashWatchDog();
    ~CrashWatchDog() override;

    void timerCallback () override;

    void addPluginToWatch (WatchedContainer* container);
    void removePluginToWatch (WatchedContainer* container);
    int getNumberOfPluginsBeingWatched () const;

    // One tick's work for one container.
    static void watch (WatchedContainer& container);

private:
    juce::Array<WatchedContainer*> watched_plugins;
};
