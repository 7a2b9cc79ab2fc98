#pragma once

#include "../crash/AudioProcessorState.h"
#include <juce_audio_processors/juce_audio_processors.h>
#include <memory>
#include <mutex>

// JUCE's VST3 and LV2 hosting take a plug-in's state (and its program names)
// on the message thread only; the VST3 one even locks the message manager.
// Hosts save from threads of their own, so such a snapshot is asked of the
// message thread and waited for a bounded time: a host whose main thread is
// busy, or waits for the saving thread, gets no answer rather than a deadlock.
class MessageThreadSnapshot : private juce::AsyncUpdater
{
public:
    ~MessageThreadSnapshot() override;

    // The snapshot the message thread took of `instance`, or null when it did
    // not within `timeoutMs`. The caller keeps `instance` alive meanwhile;
    // only the message thread deletes hosted instances, so one it has not
    // reached yet is never touched after the caller gave up.
    std::unique_ptr<AudioProcessorState> take (juce::AudioPluginInstance* instance, StateForm form, int timeoutMs);

private:
    void handleAsyncUpdate () override;

    std::timed_mutex callers; // one save at a time
    juce::CriticalSection lock;
    juce::AudioPluginInstance* pending = nullptr;
    StateForm pendingForm = StateForm::plugin;
    std::unique_ptr<AudioProcessorState> result;
    juce::WaitableEvent done;
};
