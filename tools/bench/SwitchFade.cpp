#include "SwitchFade.h"
#include "Hosts.h"
#include "processor/PluginContainerAudioProcessor.h"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace bench
{
    namespace
    {
        constexpr double rate = 48000.0;
        constexpr int blockSize = 64;

        struct Rig
        {
            PluginContainerAudioProcessor container;
            juce::AudioBuffer<float> buffer { 2, blockSize };
            std::vector<float> left;

            bool load (const std::string& slot0, const std::string& slot1)
            {
                container.setRateAndBufferSizeDetails (rate, blockSize);
                container.prepareToPlay (rate, blockSize);
                return container.loadPlugin (0, slot0, {}) && container.loadPlugin (1, slot1, {});
            }

            void render (juce::MidiBuffer midi = {})
            {
                buffer.clear();
                const juce::ScopedLock sl (container.getCallbackLock());
                container.processBlock (buffer, midi);
                for (int i = 0; i < blockSize; ++i)
                    left.push_back (buffer.getSample (0, i));
            }

            // A note in the slot's plug-in itself, as if it had been playing it.
            void startNoteInSlot (int slot, int note)
            {
                juce::AudioBuffer<float> scratch (2, blockSize);
                juce::MidiBuffer midi;
                midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), 0);
                container.getAudioPluginInstance (slot)->processBlock (scratch, midi);
            }
        };

        float largestStep (const std::vector<float>& samples, size_t from, size_t to)
        {
            float largest = 0.0f;
            for (size_t i = std::max<size_t> (from, 1); i < std::min (to, samples.size()); ++i)
                largest = std::max (largest, std::abs (samples[i] - samples[i - 1]));
            return largest;
        }

        // Two fixture synths, note 48 in slot 0 and 72 in slot 1; the switch
        // lands at the block boundary where the old tone is furthest from the new.
        bool measureSteps (const std::string& fixtureDir)
        {
            std::fprintf (results,
                          "Largest sample-to-sample step around a switch between two steady tones (fixture synth, notes 48 "
                          "and 72, 48 kHz, blocks of %d), against the tones' own largest step:\n\n",
                          blockSize);
            std::fprintf (results, "| fade | largest step at the switch | the tones' own | ratio |\n|---|---|---|---|\n");
            for (const int fadeMs : { 0, 5, 20 })
            {
                Rig rig;
                if (! rig.load (fixtureDir + "/fixture-synth.so", fixtureDir + "/fixture-synth.so"))
                    return false;
                rig.container.setSwitchFadeMs (fadeMs);
                rig.startNoteInSlot (1, 72);
                juce::MidiBuffer noteOn;
                noteOn.addEvent (juce::MidiMessage::noteOn (1, 48, (juce::uint8) 100), 0);
                rig.render (noteOn);
                // Where the old tone is furthest from the new one's first sample.
                const auto tone = [] (int note, double n)
                { return 0.1 * std::sin (2.0 * juce::MathConstants<double>::pi * 440.0 * std::pow (2.0, (note - 69) / 12.0) * n / rate); };
                int switchBlock = 10;
                for (int b = 10; b < 200; ++b)
                    if (std::abs (tone (48, b * blockSize) - tone (72, blockSize))
                        > std::abs (tone (48, switchBlock * blockSize) - tone (72, blockSize)))
                        switchBlock = b;
                for (int b = 1; b < switchBlock; ++b)
                    rig.render();
                const size_t switchedAt = rig.left.size();
                rig.container.changeActivePlugin (1);
                for (int b = 0; b < 400; ++b)
                    rig.render();
                const size_t fadeEnd = switchedAt + (size_t) std::lround (rate * fadeMs / 1000.0) + blockSize;
                const float own = std::max (largestStep (rig.left, 1, switchedAt), largestStep (rig.left, fadeEnd, rig.left.size()));
                const float atSwitch = largestStep (rig.left, switchedAt - blockSize, fadeEnd);
                if (own <= 0.0f)
                {
                    std::fprintf (results, "the tones are silent: nothing to measure\n");
                    return false;
                }
                std::fprintf (results, "| %s | %.5f | %.5f | %.3f |\n", fadeMs == 0 ? "0 (cut)" : (std::to_string (fadeMs) + " ms").c_str(),
                              atSwitch, own, atSwitch / own);
            }
            return true;
        }

        double median (std::vector<double> values)
        {
            std::sort (values.begin(), values.end());
            return values.empty() ? 0.0 : values[values.size() / 2];
        }

        // The cost of a block while a 20 ms fade mixes both slots, against a
        // block of one slot, over many switches back and forth.
        bool measureCost (const std::string& label, const std::string& plugin)
        {
            Rig rig;
            if (! rig.load (plugin, plugin))
            {
                std::fprintf (results, "| %s | not loaded | | |\n", label.c_str());
                return true;
            }
            rig.container.setSwitchFadeMs (20);
            juce::MidiBuffer chord;
            for (const int note : { 48, 55, 60, 64 })
                chord.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), 0);
            rig.startNoteInSlot (1, 60);
            rig.render (chord);
            using Clock = std::chrono::steady_clock;
            std::vector<double> steady, fading;
            bool sounded = false;
            for (int round = 0; round < 200; ++round)
            {
                for (int b = 0; b < 40; ++b)
                {
                    const bool mixing = rig.container.isSwitching();
                    const auto start = Clock::now();
                    rig.render();
                    const double ns = std::chrono::duration<double, std::nano> (Clock::now() - start).count();
                    (mixing ? fading : steady).push_back (ns);
                }
                sounded = sounded || rig.buffer.getMagnitude (0, blockSize) > 0.0f;
                rig.container.changeActivePlugin (1 - rig.container.getActivePlugin());
                juce::MessageManager::getInstance()->runDispatchLoopUntil (1); // resets the slot let go
            }
            if (! sounded)
            {
                std::fprintf (results, "%s is silent in the container: nothing to measure\n", label.c_str());
                return false;
            }
            const double one = median (steady), both = median (fading);
            std::fprintf (results, "| %s | %.2f | %.2f | %.2f (%.2fx) |\n", label.c_str(), one / 1000.0, both / 1000.0,
                          (both - one) / 1000.0, both / one);
            return true;
        }
    }

    int runSwitchFade (const std::string& fixtureDir)
    {
        if (! measureSteps (fixtureDir))
            return 1;
        std::fprintf (results,
                      "\nCPU per block of %d samples, one slot playing against a 20 ms fade mixing both (median over 200 "
                      "switches):\n\n| synth in both slots | one slot, us | during a fade, us | extra, us |\n|---|---|---|---|\n",
                      blockSize);
        if (! measureCost ("fixture synth (VST 2.x)", fixtureDir + "/fixture-synth.so"))
            return 1;
        if (! measureCost ("amsynth (VST 2.x)", "/usr/lib/vst/amsynth_vst.so"))
            return 1;
        return 0;
    }
}
