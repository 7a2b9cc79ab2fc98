#include "ProjectBridge.h"
#include "../crash/CrashProbe.h"
#include "../loading/SharedVstFormat.h"
#include <cstring>

static_assert (sizeof (AEffect::_pad2) == sizeof (crashProbe::parametersNeverWait), "the two unused quality fields");

bool crashProbeSaysCrashed (AEffect* effect)
{
    return effect != nullptr && effect->dispatcher != nullptr
           && effect->dispatcher (effect, crashProbe::opcode, crashProbe::index, crashProbe::value, nullptr, crashProbe::option) == 1;
}

AEffect* vst2EffectOf (juce::AudioPluginInstance* instance)
{
    if (! isVst2Instance (instance))
        return nullptr;
    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    auto* effect = static_cast<AEffect*> (instance->getPlatformSpecificData());
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE
    return effect;
}

AEffect* projectBridgeEffect (juce::AudioPluginInstance* instance)
{
    auto* effect = vst2EffectOf (instance);
    if (effect == nullptr || effect->magic != kEffectMagic
        || std::memcmp (effect->_pad2, crashProbe::parametersNeverWait, sizeof (crashProbe::parametersNeverWait)) != 0)
        return nullptr;
    return effect;
}
