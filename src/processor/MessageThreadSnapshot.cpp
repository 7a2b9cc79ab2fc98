#include "MessageThreadSnapshot.h"

MessageThreadSnapshot::~MessageThreadSnapshot()
{
    cancelPendingUpdate();
}

std::unique_ptr<AudioProcessorState> MessageThreadSnapshot::take (juce::AudioPluginInstance* instance, StateForm form, int timeoutMs)
{
    std::unique_lock<std::timed_mutex> one (callers, std::defer_lock);
    if (! one.try_lock_for (std::chrono::milliseconds (timeoutMs)))
        return {};

    {
        const juce::ScopedLock sl (lock);
        pending = instance;
        pendingForm = form;
        result.reset();
        done.reset();
    }
    triggerAsyncUpdate();
    done.wait ((double) timeoutMs);

    const juce::ScopedLock sl (lock);
    pending = nullptr; // a late handler finds nothing to do
    return std::move (result);
}

void MessageThreadSnapshot::handleAsyncUpdate()
{
    juce::AudioPluginInstance* instance = nullptr;
    StateForm form = StateForm::plugin;
    {
        const juce::ScopedLock sl (lock);
        instance = pending;
        form = pendingForm;
    }
    if (instance == nullptr)
        return;

    auto snapshot = std::make_unique<AudioProcessorState>();
    snapshot->storeAudioProcessorState (instance, form);

    const juce::ScopedLock sl (lock);
    if (pending == instance)
    {
        result = std::move (snapshot);
        pending = nullptr;
        done.signal();
    }
}
