#include "SharedVstFormat.h"
#include "LoaderOutput.h"

namespace
{
    SharedVstFormat* liveFormat = nullptr;
}

SharedVstFormat::SharedVstFormat()
{
    writeLoaderText ("\nInitializing VSTPluginFormat");
    liveFormat = this;
}

SharedVstFormat::~SharedVstFormat()
{
    liveFormat = nullptr;
    writeLoaderText ("\ndeallocating VSTPluginFormat");
}

juce::VSTPluginFormat* vstpluginaudioformat() noexcept
{
    return liveFormat != nullptr ? &liveFormat->format : nullptr;
}

int vst2_plugin_counter()
{
    // One more holder for the question; it never creates the format here.
    if (liveFormat == nullptr)
        return 0;
    const juce::SharedResourcePointer<SharedVstFormat> format;
    return format.getReferenceCount() - 1;
}
