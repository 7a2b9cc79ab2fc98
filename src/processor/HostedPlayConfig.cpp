#include "HostedPlayConfig.h"

static void offerMainBus (juce::AudioProcessor& plugin, bool isInput, int channels)
{
    const int current = isInput ? plugin.getTotalNumInputChannels() : plugin.getTotalNumOutputChannels();
    if (current != channels && plugin.getBusCount (isInput) > 0)
        plugin.setChannelLayoutOfBus (isInput, 0, juce::AudioChannelSet::canonicalChannelSet (channels));
}

void offerPlayConfig (juce::AudioProcessor& plugin, int numInputs, int numOutputs, double sampleRate, int blockSize)
{
    offerMainBus (plugin, true, numInputs);
    offerMainBus (plugin, false, numOutputs);
    plugin.disableNonMainBuses();
    plugin.setRateAndBufferSizeDetails (sampleRate, blockSize);
}
