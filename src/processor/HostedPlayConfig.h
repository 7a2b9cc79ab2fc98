#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// Offers a hosted plug-in the container's main input and output counts, then
// sets its rate and block size. Plug-ins with fixed channel counts (an effect's
// inputs, a synth with eight outputs) keep theirs: the container routes what a
// plug-in has, so a refused layout is expected here. setPlayConfigDetails would
// do the same steps but treats a refusal as a programming error.
void offerPlayConfig (juce::AudioProcessor& plugin, int numInputs, int numOutputs, double sampleRate, int blockSize);
