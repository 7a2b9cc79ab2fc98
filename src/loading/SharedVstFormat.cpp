#include "SharedVstFormat.h"
#include "LoaderOutput.h"
#include "../console/LogLines.h"

#include <atomic>
#include <typeinfo>

namespace
{
    SharedVstFormat* liveFormat = nullptr;
    std::atomic<const std::type_info*> vst2InstanceClass { nullptr };
}

SharedVstFormat::SharedVstFormat()
{
    writeLoaderText (logLines::initializingVstFormat);
    liveFormat = this;
}

SharedVstFormat::~SharedVstFormat()
{
    liveFormat = nullptr;
    writeLoaderText (logLines::deallocatingVstFormat);
}

juce::VSTPluginFormat* vstpluginaudioformat () noexcept
{
    return liveFormat != nullptr ? &liveFormat->format : nullptr;
}

int vst2_plugin_counter ()
{
    // One more holder for the question; it never creates the format here.
    if (liveFormat == nullptr)
        return 0;
    const juce::SharedResourcePointer<SharedVstFormat> format;
    return format.getReferenceCount() - 1;
}

bool isVst2Instance (const juce::AudioPluginInstance* instance) noexcept
{
    const auto* known = vst2InstanceClass.load();
    return instance != nullptr && known != nullptr && typeid (*instance) == *known;
}

void rememberVst2InstanceClass (const juce::AudioPluginInstance& instance)
{
    const std::type_info* expected = nullptr;
    vst2InstanceClass.compare_exchange_strong (expected, &typeid (instance));
}
