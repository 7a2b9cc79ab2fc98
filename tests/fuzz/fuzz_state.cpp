// libFuzzer target: the container's state reader fed arbitrary bytes.
// One processor lives for the whole run, as in a host that restores presets
// again and again; each input must leave it consistent.
#include "processor/PluginContainerAudioProcessor.h"
#include <juce_gui_basics/juce_gui_basics.h>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{
    PluginContainerAudioProcessor& processor ()
    {
        // Kept for the life of the process: tearing JUCE down from an exit
        // handler while the processor still lives would free its globals twice.
        static auto* juce = new juce::ScopedJuceInitialiser_GUI();
        juce::ignoreUnused (juce);
        static auto* instance = []
        {
            auto* p = new PluginContainerAudioProcessor();
            p->setPlayConfigDetails (0, 2, 48000.0, 64);
            return p;
        }();
        return *instance;
    }
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, std::size_t size)
{
    if (size > (1u << 20))
        return 0;

    auto& p = processor();

    std::string text (reinterpret_cast<const char*> (data), size);
    for (auto at = text.find ("@FIXTURES@"); at != std::string::npos; at = text.find ("@FIXTURES@", at))
        text.replace (at, 10, TAMBLIT_FIXTURE_DIR);
    p.setStateInformation (text.data(), (int) text.size());

    // Whatever came in, the container stays within its two slots and can save.
    const int active = p.getActivePlugin();
    if (active != 0 && active != 1)
        std::abort();

    juce::MemoryBlock saved;
    p.getStateInformation (saved);
    if (saved.getSize() == 0)
        std::abort();
    return 0;
}
