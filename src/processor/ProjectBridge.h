#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <pluginterfaces/vst2.x/aeffectx.h>
#include "../crash/AudioProcessorState.h"

// The effect record behind a hosted VST 2.x instance; null for other formats.
AEffect* vst2EffectOf (juce::AudioPluginInstance* instance);

// The effect behind a hosted instance when it is the project's own bridge (it
// carries the bridge's mark), else null. Only then may the container call its
// parameters directly and ask it the bridge's private questions.
AEffect* projectBridgeEffect (juce::AudioPluginInstance* instance);

// Asks an effect the crash probe: true when it says the plug-in behind it has
// crashed. Of the project's bridge this may be asked on the audio thread.
bool crashProbeSaysCrashed (AEffect* effect);
