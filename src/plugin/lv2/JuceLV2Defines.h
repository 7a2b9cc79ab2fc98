// JUCE's LV2 client includes this header by name for its URI; the URI is set
// with the rest of the identity in TamblitPluginConfig.h.
#pragma once
#include "TamblitPluginConfig.h"
