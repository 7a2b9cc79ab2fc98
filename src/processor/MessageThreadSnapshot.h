#pragma once

#include <juce_events/juce_events.h>
#include <array>
#include <atomic>
#include <functional>

// JUCE's VST3 and LV2 hosting take a plug-in's state (and its program names)
// on the message thread only; the VST3 one even locks the message manager.
// Hosts save from threads of their own, while their main thread (which may
// run the container's messages) is busy or waits for the saving thread. So a
// host thread asks the message thread to refresh a slot's snapshot and waits
// only a short bounded time, holding no lock; what the message thread took
// last stands when it is busy. A refresh asked too late still runs once the
// message thread is free, so the next save is fresh again.
class MessageThreadSnapshot : private juce::AsyncUpdater
{
public:
    // `refreshSlot` runs on the message thread.
    explicit MessageThreadSnapshot (std::function<void (int slot)> refreshSlot);
    ~MessageThreadSnapshot() override;

    // Host threads: true when the message thread refreshed the slot within
    // `timeoutMs` of this call.
    bool refreshWithin (int slot, int timeoutMs);

private:
    void handleAsyncUpdate () override;

    std::function<void (int)> refresh;
    std::array<std::atomic<juce::uint64>, 2> asked {}, served {};
};
