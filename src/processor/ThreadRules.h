#pragma once

#include <juce_events/juce_events.h>

// Calls that change the slots, open windows or talk to VST3 and LV2 plug-ins
// outside the audio path belong to the message thread, or to a thread that
// holds the message manager lock (JUCE's wrappers create and delete the
// processor so on some hosts' threads). Debug builds report any other caller
// as a JUCE assertion, which the debug-assert stage of CI fails on.
inline bool onMessageThreadOrItsLock () noexcept
{
    return juce::MessageManager::existsAndIsLockedByCurrentThread();
}

// True on the thread that runs the container's messages (or when none exists
// yet: nothing else can be running then).
inline bool onMessageThread () noexcept
{
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    return mm == nullptr || mm->isThisTheMessageThread();
}

#define TAMBLIT_ASSERT_MESSAGE_THREAD jassert (onMessageThreadOrItsLock())
