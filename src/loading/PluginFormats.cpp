#include "PluginFormats.h"

SharedJuceFormats::SharedJuceFormats() = default;

juce::AudioPluginFormat* SharedJuceFormats::find (const juce::String& format)
{
    JUCE_ASSERT_MESSAGE_THREAD
    if (format == pluginFormats::vst3)
        return &vst3;
    if (format == pluginFormats::lv2)
    {
        if (lv2 == nullptr)
        {
            lv2 = std::make_unique<juce::LV2PluginFormat>();
            // LV2_PATH adds folders as in every LV2 host; the standard ones are always read.
            const auto extra = juce::SystemStats::getEnvironmentVariable ("LV2_PATH", {});
            if (extra.isNotEmpty())
                lv2->searchPathsForPlugins (juce::FileSearchPath (extra.replaceCharacter (':', ';')), true, false);
        }
        return lv2.get();
    }
    return nullptr;
}
