#pragma once

#include "../console/KTDebugConsole.h"
#include "../crash/CrashWatchDog.h"

// What all container instances in this module share: the one watchdog and the
// console. Held by every instance through juce::SharedResourcePointer, so the
// first instance creates it and the last one deletes it. Instances take the
// message manager lock around that (see PluginContainerAudioProcessor), so it is
// created and deleted on the message thread or under its lock. Each plug-in
// build (VST 2.x, VST3, LV2) keeps its own.
class ContainerProcess
{
public:
    ContainerProcess();
    ~ContainerProcess();

    // Declared before the watchdog: the watchdog goes first, then the console.
    KTDebugConsole ktdebugconsole;
    CrashWatchDog watchdog;

    // The context that exists now, or null; for observers only (message thread).
    static ContainerProcess* find () noexcept;

    JUCE_DECLARE_NON_COPYABLE (ContainerProcess)
};

// The process's one CrashWatchDog, or null while no instance exists.
CrashWatchDog* watchdog () noexcept;

// The number of live container instances (message thread).
int instances ();
