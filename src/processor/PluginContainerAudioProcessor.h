#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include "ActivePluginGuard.h"
#include <array>
#include <memory>

class GenericAudioPluginLoader;
class AudioProcessorState;
class MyHostAudioProcessorEditor;
class CrashWatchDog;

// The processor the host talks to: two slots of hosted VST 2.x plug-ins, one of
// them active, four options and an instance name.
class PluginContainerAudioProcessor : public juce::AudioProcessor
{
public:
    PluginContainerAudioProcessor();
    ~PluginContainerAudioProcessor() override;

    const juce::String getName() const override;
    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources() override;
    void processBlock (juce::AudioSampleBuffer& buffer, juce::MidiBuffer& midi) override;
    const juce::String getInputChannelName (int index) const override;
    const juce::String getOutputChannelName (int index) const override;
    bool isInputChannelStereoPair (int index) const override;
    bool isOutputChannelStereoPair (int index) const override;
    bool silenceInProducesSilenceOut() const override;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    int getNumParameters() override;
    const juce::String getParameterName (int index) override;
    float getParameter (int index) override;
    const juce::String getParameterText (int index) override;
    void setParameter (int index, float value) override;
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE

    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    // Options, name and slot accessors used by the panel, the watchdog and the state document.
    bool getOption (int index);
    void setOption (int index, bool value);
    juce::String getInstanceName() const;
    void setInstanceName (juce::String name);
    juce::String getName (int index) const;
    int getActivePlugin() const;
    juce::AudioPluginInstance* getAudioPluginInstance (int index) const;
    bool isPluginCrashed (int index) const;
    juce::String getPluginFilePath (int index) const;

    // Slot operations (message thread).
    bool loadPlugin (int index, juce::String path, juce::String pluginName);
    void unloadPlugin (int index, bool keepState, bool resumeProcessing);
    bool changeActivePlugin (int index);
    void editPlugin (int index);

    // Crash protection (message thread).
    bool checkIfPluginCrashed (int index);
    void recoverPlugin (int index);

    MyHostAudioProcessorEditor* getHostedEditor (int index) const;
    AudioProcessorState* getPluginState (int index) const;

    static constexpr int numContainerParameters = 1024;

private:
    void log (const juce::String& text);
    void refreshEditor();
    void reloadEditorPrograms (int index);
    bool isValidSlot (int index) const noexcept { return index == 0 || index == 1; }
    void setActivePluginIndex (int index);
    void writeStateDocument (juce::MemoryBlock& destData);
    void readStateDocument (const void* data, int sizeInBytes);
    void applyMainPluginElement (const juce::XmlElement& element);
    void restoreSlotFromElement (const juce::XmlElement& element, bool (&claimed)[2]);

    int active_plugin = 0;
    std::array<std::unique_ptr<GenericAudioPluginLoader>, 2> plugin_loaders;
    std::array<std::unique_ptr<AudioProcessorState>, 2> plugin_states;
    std::array<std::unique_ptr<MyHostAudioProcessorEditor>, 2> plugin_editors;
    std::array<std::unique_ptr<juce::AudioSampleBuffer>, 2> aux_buffers;
    std::array<bool, 2> plugin_crashed { { false, false } };
    std::array<bool, 4> options { { false, false, true, true } };
    juce::String instance_name { "default instance" };

    // Hosted instance of the active slot as seen by host parameter calls.
    ActivePluginGuard parameter_target;
    // Keeps host-thread prepare/release apart from slot changes on the message thread.
    juce::CriticalSection slot_lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PluginContainerAudioProcessor)
};

extern int instances;
extern std::unique_ptr<CrashWatchDog> watchdog;

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter();
