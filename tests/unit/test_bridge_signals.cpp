// A protected plug-in's worker is not the host's terminal job: a host that
// ignores SIGINT, run from a terminal, gets Ctrl-C sent to its whole process
// group. The worker, in a group of its own and ignoring terminal signals,
// plays on; it still ends when its host does.
#include "processor/PluginContainerAudioProcessor.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <csignal>
#include <unistd.h>

using testing_support::runLoopFor;

namespace
{
    constexpr double kRate = 48000.0;
    constexpr int kBlock = 256;

    float peakOf (PluginContainerAudioProcessor& processor, int blocks, bool noteOn)
    {
        juce::AudioBuffer<float> buffer (2, kBlock);
        float peak = 0.0f;
        for (int block = 0; block < blocks; ++block)
        {
            juce::MidiBuffer midi;
            if (noteOn && block == 0)
                midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
            buffer.clear();
            testing_support::renderLikeWrapper (processor, buffer, midi);
            peak = juce::jmax (peak, buffer.getMagnitude (0, kBlock));
        }
        return peak;
    }
}

TEST (BridgeSignals, AnInterruptToTheHostsProcessGroupLeavesAProtectedSlotPlaying)
{
    const auto cache = juce::File::createTempFile ("cache");
    ASSERT_TRUE (cache.createDirectory());
    setenv ("XDG_CACHE_HOME", cache.getFullPathName().toRawUTF8(), 1);
    setenv ("TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources", 1);

    // This process stands for the host: the leader of its own process group
    // (so the signal below reaches nothing outside this test), ignoring SIGINT.
    ASSERT_EQ (setpgid (0, 0), 0);
    std::signal (SIGINT, SIG_IGN);

    {
        PluginContainerAudioProcessor processor;
        processor.setRateAndBufferSizeDetails (kRate, kBlock);
        processor.prepareToPlay (kRate, kBlock);
        ASSERT_TRUE (processor.setSlotProtected (0, true));
        ASSERT_TRUE (processor.loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {}));
        ASSERT_GT (peakOf (processor, 10, true), 0.0f);

        ASSERT_EQ (kill (0, SIGINT), 0); // Ctrl-C, as a terminal sends it
        runLoopFor (300);

        EXPECT_FALSE (processor.checkIfPluginCrashed (0)) << "the worker died of the host's interrupt";
        EXPECT_GT (peakOf (processor, 10, true), 0.0f) << "the protected slot fell silent";
    }
    std::signal (SIGINT, SIG_DFL);
    cache.deleteRecursively();
}
