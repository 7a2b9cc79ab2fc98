#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <atomic>
#include <cstdint>
#include <thread>

// Publishes the active slot's hosted instance to the host's parameter calls
// (automation on the audio thread, displays on the host's GUI thread) without
// ever blocking them, and tells the message thread when an instance it has
// replaced can no longer be reached, so that it may delete it.
//
// Readers count themselves in one of two counters, the one of the current
// epoch, and then load the pointer. publish() stores the new pointer, moves to
// the next epoch and waits until the previous epoch's counter drains: readers
// that came later counted themselves in the new epoch and so loaded the new
// pointer. The writer waits at most for the calls already inside the old
// instance; readers never wait for the writer.
//
// A reader may be preempted between reading the epoch and counting itself. By
// then the epoch can have moved on (even twice), and a count in the stale
// counter would not be waited for by the next publish() while the reader holds
// what it loads. So the reader checks, after counting, that the epoch is still
// the one it counted in, and otherwise uncounts and tries again. Retries happen
// only while a publish() runs, which the message thread does rarely.
//
// All atomics are sequentially consistent: the argument above relies on one
// total order of the counter updates, the epoch changes and the pointer loads.
//
// `Pause` is a test seam: it runs between reading the epoch and counting, the
// place where a preempted reader matters. It does nothing in the product.
struct NoReaderPause
{
    static void afterEpochRead () noexcept { }
};

template <typename Instance, typename Pause = NoReaderPause>
class BasicActivePluginGuard
{
public:
    // Holds the published instance for the lifetime of the object: the message
    // thread deletes nothing it returns until every such Reader has gone.
    class Reader
    {
    public:
        explicit Reader (BasicActivePluginGuard& g) noexcept
            : guard (g)
        {
            for (;;)
            {
                const auto epoch = guard.epoch.load();
                Pause::afterEpochRead();
                slot = (unsigned) (epoch & 1u);
                guard.readers[slot].fetch_add (1);
                if (guard.epoch.load() == epoch)
                    break;
                guard.readers[slot].fetch_sub (1);
            }
            instance = guard.target.load();
        }

        ~Reader() { guard.readers[slot].fetch_sub (1); }

        Instance* get () const noexcept { return instance; }

    private:
        BasicActivePluginGuard& guard;
        unsigned slot = 0;
        Instance* instance = nullptr;
        JUCE_DECLARE_NON_COPYABLE (Reader)
    };

    // Message thread only. When this returns, no reader holds any instance
    // published before `instance`: those may be deleted.
    void publish (Instance* instance)
    {
        target.store (instance);
        const auto previous = (unsigned) (epoch.fetch_add (1) & 1u);
        while (readers[previous].load() != 0)
            std::this_thread::yield();
    }

    Instance* current () const noexcept { return target.load(); }

private:
    std::atomic<Instance*> target { nullptr };
    std::atomic<std::uint64_t> epoch { 0 };
    std::atomic<int> readers[2] { { 0 }, { 0 } };
};

using ActivePluginGuard = BasicActivePluginGuard<juce::AudioPluginInstance>;
