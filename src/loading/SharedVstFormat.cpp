#include "SharedVstFormat.h"
#include "LoaderOutput.h"
#include "../console/LogLines.h"

namespace
{
    SharedVstFormat* liveFormat = nullptr;
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
