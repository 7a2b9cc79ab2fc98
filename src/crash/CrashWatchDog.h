#pragma once

#include <juce_events/juce_events.h>

class PluginContainerAudioProcessor;

// One per process: probes every hosted plug-in of every instance once a second,
// switches away from crashed active slots and recovers them, as each instance's
// options say. Message thread only.
class CrashWatchDog : public juce::Timer
{
public:
    CrashWatchDog();
    ~CrashWatchDog() override;

    void timerCallback() override;

    void addPluginToWatch (PluginContainerAudioProcessor* processor);
    void removePluginToWatch (PluginContainerAudioProcessor* processor);
    int getNumberOfPluginsBeingWatched() const;

private:
    juce::Array<PluginContainerAudioProcessor*> watched_plugins;
};
