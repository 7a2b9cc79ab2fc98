// Helpers shared by the loading, dialog and slot tests: answering modal dialogs
// from the message loop as a user would, and reading the fixtures' signal.
#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include "FixtureSignal.h"
#include "processor/HostedPlayConfig.h"
#include <functional>
#include <vector>

namespace loading_test
{
    // Depth-first search for a component of type T under `root` (root included).
    template <typename T>
    T* findComponent (juce::Component& root, const std::function<bool (T&)>& match = {})
    {
        if (auto* found = dynamic_cast<T*> (&root))
            if (! match || match (*found))
                return found;

        for (auto* child : root.getChildren())
            if (auto* found = findComponent<T> (*child, match))
                return found;

        return nullptr;
    }

    inline juce::Button* findButton (juce::Component& root, const juce::String& text)
    {
        return findComponent<juce::Button> (root, [&] (juce::Button& b) { return b.getButtonText() == text; });
    }

    inline juce::Component* topModal ()
    {
        return juce::ModalComponentManager::getInstance()->getModalComponent (0);
    }

    // Answers the modal dialogs a call is about to open. Each step waits until the
    // topmost modal component is one it recognises (and not the one the previous
    // step answered), then acts on it. The steps run from a timer, so they work
    // inside the nested modal loops of the call under test. A dialog that is still
    // open after the deadline is dismissed so a failing test cannot hang.
    class DialogScript : private juce::Timer
    {
    public:
        using Match = std::function<bool (juce::Component&)>;
        using Act = std::function<void (juce::Component&)>;

        DialogScript& then (Match match, Act act)
        {
            steps.push_back ({ std::move (match), std::move (act) });
            return *this;
        }

        void start (int deadlineMs = 15000)
        {
            deadline = juce::Time::getMillisecondCounter() + (juce::uint32) deadlineMs;
            startTimer (20);
        }

        ~DialogScript() override { stopTimer(); }

        bool allStepsDone () const { return next == steps.size(); }
        bool timedOut () const { return expired; }
        int modalDialogsSeen () const { return seen; }

    private:
        struct Step
        {
            Match match;
            Act act;
        };

        void timerCallback () override
        {
            auto* modal = topModal();

            if (juce::Time::getMillisecondCounter() > deadline)
            {
                expired = true;
                if (modal != nullptr)
                    modal->exitModalState (0);
                return;
            }

            if (modal == nullptr || modal == lastAnswered.getComponent() || next >= steps.size())
                return;

            if (! steps[next].match (*modal))
                return;

            ++seen;
            lastAnswered = modal;
            steps[next++].act (*modal);
        }

        std::vector<Step> steps;
        size_t next = 0;
        int seen = 0;
        bool expired = false;
        juce::uint32 deadline = 0;
        juce::Component::SafePointer<juce::Component> lastAnswered;
    };

    inline DialogScript::Match windowNamed (const juce::String& title)
    {
        return [title] (juce::Component& c) { return c.getName() == title; };
    }

    inline DialogScript::Act press (const juce::String& buttonText)
    {
        return [buttonText] (juce::Component& c)
        {
            if (auto* button = findButton (c, buttonText))
                button->triggerClick();
        };
    }

    // Prepares a hosted instance as the container does and renders one block of
    // `channels` channels with `midi`; returns the block.
    inline juce::AudioBuffer<float> renderInstance (juce::AudioPluginInstance& instance, int channels, int samples,
                                                    juce::MidiBuffer midi = {})
    {
        offerPlayConfig (instance, 0, 2, 48000.0, samples);
        instance.prepareToPlay (48000.0, samples);
        juce::AudioBuffer<float> buffer (juce::jmax (channels, instance.getTotalNumOutputChannels()), samples);
        buffer.clear();
        instance.processBlock (buffer, midi);
        return buffer;
    }

    // The constant a fixture with `identity` writes on `channel` with its initial program.
    inline float initialDc (float identity, int channel)
    {
        using namespace tamblit::fixtures;
        return fixtureDc (identity, channel, presetValue (0, kParamLevel), presetValue (0, kParamOffset));
    }

    // True when every sample of `channel` equals `value`.
    inline bool channelIsConstant (const juce::AudioBuffer<float>& buffer, int channel, float value, int samples = -1)
    {
        const int n = samples < 0 ? buffer.getNumSamples() : samples;
        for (int i = 0; i < n; ++i)
            if (std::abs (buffer.getSample (channel, i) - value) > 1.0e-6f)
                return false;
        return true;
    }
}
