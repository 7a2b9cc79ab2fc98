#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <atomic>
#include <thread>

// Publishes the active slot's hosted instance to host threads (automation on the
// audio thread, displays on the host's GUI thread) without ever blocking them.
//
// Readers announce themselves in one of two counters chosen by the current
// epoch, then load the pointer. The message thread replaces the pointer, flips
// the epoch and waits until the previous epoch's readers have left; only then
// may it delete the old instance. Readers never wait; the writer waits for at
// most the calls already inside the old instance.
class ActivePluginGuard
{
public:
    class Reader
    {
    public:
        explicit Reader (ActivePluginGuard& g) noexcept
            : guard (g), slot (g.epoch.load() & 1u)
        {
            guard.readers[slot].fetch_add (1);
            instance = guard.target.load();
        }
        ~Reader() { guard.readers[slot].fetch_sub (1); }

        juce::AudioPluginInstance* get() const noexcept { return instance; }

    private:
        ActivePluginGuard& guard;
        unsigned slot;
        juce::AudioPluginInstance* instance = nullptr;
        JUCE_DECLARE_NON_COPYABLE (Reader)
    };

    // Message thread: after this returns no host call can still be inside the
    // previously published instance.
    void publish (juce::AudioPluginInstance* instance)
    {
        target.store (instance);
        const unsigned previous = epoch.fetch_add (1) & 1u;
        // Readers counted in the new epoch loaded the new pointer; only those of
        // the previous epoch can hold the old one.
        while (readers[previous].load() != 0)
            std::this_thread::yield();
    }

    juce::AudioPluginInstance* current() const noexcept { return target.load(); }

private:
    std::atomic<juce::AudioPluginInstance*> target { nullptr };
    std::atomic<unsigned> epoch { 0 };
    std::atomic<int> readers[2] { { 0 }, { 0 } };
};
