#include "Saves.h"
#include "Hosts.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "processor/StateCodec.h"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace bench
{
    namespace
    {
        struct Row
        {
            const char* label;
            std::string identifier;
            bool isProtected;
        };

        std::vector<char> documentNaming (const Row& row)
        {
            ContainerState state;
            state.settings.instanceName = "saves";
            SlotState slot;
            slot.filePath = juce::String (row.identifier);
            slot.isProtected = row.isProtected;
            state.slots[0] = slot;
            const auto text = writeContainerState (state);
            return std::vector<char> (text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
        }

        float savedParameter0 (const std::vector<char>& chunk)
        {
            const auto reading = readContainerState (chunk.data(), chunk.size());
            for (const auto& part : reading.parts)
                if (part.kind == StateDocumentPart::Kind::slot && part.slot == 0 && part.slotState.parameters.size() > 0)
                    return part.slotState.parameters[0];
            return -1.0f;
        }
    }

    int runSaveLatency (const std::string& containerPath, const std::string& fixtureDir)
    {
        // The bridge resources beside the built container.
        setenv ("TAMBLIT_BRIDGE_RESOURCES", juce::File (containerPath).getSiblingFile ("Contents/Resources").getFullPathName().toRawUTF8(),
                1);
        // Protected slots make their stand-ins in a cache folder of this run.
        const auto cache = juce::File::createTempFile ("bench-cache");
        cache.createDirectory();
        setenv ("XDG_CACHE_HOME", cache.getFullPathName().toRawUTF8(), 1);

        const std::string vst3 = fixtureDir + "/vst3/fixture-vst3-synth.vst3";
        const std::string piano = "http://drobilla.net/plugins/mda/Piano";
        const Row rows[] = {
            { "fixture synth (VST 2.x)", fixtureDir + "/fixture-synth.so", false },
            { "amsynth (VST 2.x)", "/usr/lib/vst/amsynth_vst.so", false },
            { "mda Piano (LV2)", piano, false },
            { "fixture synth (VST3)", vst3, false },
            { "fixture synth (VST 2.x), protected", fixtureDir + "/fixture-synth.so", true },
            { "amsynth (VST 2.x), protected", "/usr/lib/vst/amsynth_vst.so", true },
            { "mda Piano (LV2), protected", piano, true },
            { "fixture synth (VST3), protected", vst3, true },
        };
        constexpr int saves = 40;

        std::fprintf (results, "Saves on a host thread while the host's main thread (the container's message thread) is busy, %d each:\n\n",
                      saves);
        std::fprintf (results, "| slot 0 holds | p50 ms | max ms | saved the automated value |\n|---|---|---|---|\n");
        for (const auto& row : rows)
        {
            // The container in this process, as a host's plug-in: this thread
            // is its message thread, and it stays busy (runs no messages) while
            // another thread saves.
            PluginContainerAudioProcessor container;
            container.setRateAndBufferSizeDetails (48000.0, 256);
            container.prepareToPlay (48000.0, 256);
            const auto document = documentNaming (row);
            container.setStateInformation (document.data(), (int) document.size());
            if (container.getAudioPluginInstance (0) == nullptr)
            {
                std::fprintf (results, "| %s | not loaded | | |\n", row.label);
                continue;
            }

            std::vector<double> times;
            int held = 0;
            for (int i = 0; i < saves; ++i)
            {
                const float value = 0.1f + 0.02f * (float) i;
                std::thread saver (
                    [&]
                    {
                        container.setParameter (0, value);
                        const auto started = std::chrono::steady_clock::now();
                        juce::MemoryBlock chunk;
                        container.getStateInformation (chunk);
                        times.push_back (std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - started).count());
                        const auto* bytes = static_cast<const char*> (chunk.getData());
                        held += std::abs (savedParameter0 (std::vector<char> (bytes, bytes + chunk.getSize())) - value) < 0.002f ? 1 : 0;
                    });
                saver.join();
                // The message thread catches up between saves.
                juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
            }
            std::sort (times.begin(), times.end());
            std::fprintf (results, "| %s | %.1f | %.1f | %d of %d |\n", row.label, times[times.size() / 2], times.back(), held, saves);
            std::fflush (results);
        }
        cache.deleteRecursively();
        return 0;
    }
}
