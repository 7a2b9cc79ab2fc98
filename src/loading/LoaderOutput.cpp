#include "LoaderOutput.h"
#include <cstdio>

void writeLoaderText (const juce::String& text)
{
    std::fputs (text.toRawUTF8(), stdout);
    std::fflush (stdout);
}
