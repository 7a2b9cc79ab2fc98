#include "JuceTarget.h"
#include "BridgeProtocol.h"
#include "loading/PluginFormatNames.h"
#include <juce_audio_processors/juce_audio_processors.h>
#include <atomic>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace juce
{
    // JUCE's own step of its Linux message loop.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace tamblit::bridge
{
    namespace
    {
        bool juceStarted = false;

        struct JuceEffect;

        // What the plug-in says by itself, said to the host the way a VST 2.x
        // plug-in says it, through the worker's host callback: a parameter its
        // own editor moves (begin edit, automate with the normalised value,
        // end edit; index = the parameter's place in the list the bridge
        // serves) and a new latency (initialDelay, then I/O changed). Calls
        // may come on any thread; the worker's callback only stores atomics
        // for these. The same for VST3 and LV2.
        class TalkBack : public juce::AudioProcessorListener, public juce::AudioProcessorParameter::Listener
        {
        public:
            explicit TalkBack (JuceEffect& owner)
                : e (owner)
            {
            }

            void parameterValueChanged (int index, float value) override;
            void parameterGestureChanged (int index, bool starting) override;
            void audioProcessorParameterChanged (juce::AudioProcessor*, int, float) override { }
            void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails& details) override;

        private:
            JuceEffect& e;
        };

        // The effect record and everything behind it. `effect` comes first so
        // the record's address is the object's.
        struct JuceEffect
        {
            AEffect effect {};
            audioMasterCallback host = nullptr;
            std::unique_ptr<juce::AudioPluginInstance> instance;
            juce::PluginDescription description;
            double sampleRate = 44100.0;
            int blockSize = 512;
            int inputs = 0, outputs = 0, channels = 0;
            juce::AudioBuffer<float> buffer; // refers to the worker's channels, allocates nothing
            std::vector<std::vector<float>> spare; // channels the plug-in has beyond the outputs
            std::vector<float*> channelPointers;
            juce::MidiBuffer midi;
            juce::MemoryBlock chunk;
            ERect rect {};
            std::unique_ptr<juce::AudioProcessorEditor> editor;
            // JUCE's VST 2.x hosting selects program 0 as it opens an effect. A
            // VST3 or LV2 plug-in starts on its own default instead, as it does
            // hosted directly: that first selection, before the host first
            // resumes or sends a state, is not passed on.
            bool openingProgramPending = true;
            TalkBack talkBack { *this };
            // Set while the host's own setParameter runs, so that a value the
            // host sets is not sent back to it as the plug-in's own.
            std::atomic<bool> hostIsSetting { false };
        };

        void TalkBack::parameterValueChanged (int index, float value)
        {
            if (e.host != nullptr && ! e.hostIsSetting && index >= 0 && index < e.effect.numParams)
                e.host (&e.effect, op::HostAutomate, index, 0, nullptr, std::isfinite (value) ? value : 0.0f);
        }

        void TalkBack::parameterGestureChanged (int index, bool starting)
        {
            if (e.host != nullptr && index >= 0 && index < e.effect.numParams)
                e.host (&e.effect, starting ? op::HostBeginEdit : op::HostEndEdit, index, 0, nullptr, 0.0f);
        }

        void TalkBack::audioProcessorChanged (juce::AudioProcessor* processor, const ChangeDetails& details)
        {
            if (! details.latencyChanged || e.host == nullptr || processor == nullptr)
                return;
            const int latency = processor->getLatencySamples();
            if (latency == e.effect.initialDelay || latency < 0)
                return;
            e.effect.initialDelay = latency;
            e.host (&e.effect, op::HostIOChanged, 0, 0, nullptr, 0.0f);
        }

        JuceEffect* from (AEffect* effect)
        {
            return reinterpret_cast<JuceEffect*> (effect);
        }

        void copyText (void* destination, const juce::String& text, size_t room)
        {
            if (destination != nullptr)
                juce::String (text).copyToUTF8 (static_cast<char*> (destination), room);
        }

        juce::AudioProcessorParameter* parameter (JuceEffect& e, int index)
        {
            const auto& parameters = e.instance->getParameters();
            return index >= 0 && index < parameters.size() ? parameters.getUnchecked (index) : nullptr;
        }

        void prepareBuffers (JuceEffect& e)
        {
            e.spare.assign ((size_t) e.channels, std::vector<float> ((size_t) std::max (e.blockSize, kMaxFrames)));
            e.channelPointers.assign ((size_t) std::max (e.channels, 1), nullptr);
            e.midi.ensureSize ((size_t) kMaxEvents * 8);
        }

        VstIntPtr VSTCALLBACK dispatch (AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
        {
            auto& e = *from (effect);
            auto& plugin = *e.instance;
            switch (opcode)
            {
                case op::Open: return 0;
                case op::Close:
                    e.editor.reset();
                    plugin.releaseResources();
                    plugin.removeListener (&e.talkBack);
                    for (auto* p : plugin.getParameters())
                        p->removeListener (&e.talkBack);
                    e.instance.reset();
                    delete &e;
                    return 0;
                case op::SetProgram:
                    if (std::exchange (e.openingProgramPending, false) && value == 0)
                        return 0;
                    plugin.setCurrentProgram ((int) value);
                    return 0;
                case op::GetProgram: return plugin.getCurrentProgram();
                case op::SetProgramName:
                    if (ptr != nullptr)
                        plugin.changeProgramName (plugin.getCurrentProgram(), juce::String::fromUTF8 (static_cast<const char*> (ptr)));
                    return 0;
                case op::GetProgramName: copyText (ptr, plugin.getProgramName (plugin.getCurrentProgram()), kMaxString); return 0;
                case op::GetProgramNameIndexed:
                    if (index < 0 || index >= plugin.getNumPrograms())
                        return 0;
                    copyText (ptr, plugin.getProgramName (index), kMaxString);
                    return 1;
                case op::GetParamName:
                case op::GetParamLabel:
                case op::GetParamDisplay:
                    if (auto* p = parameter (e, index))
                        copyText (ptr,
                                  opcode == op::GetParamName    ? p->getName (kMaxString - 1)
                                  : opcode == op::GetParamLabel ? p->getLabel()
                                                                : p->getCurrentValueAsText(),
                                  kMaxString);
                    return 0;
                case op::CanBeAutomated: return parameter (e, index) != nullptr && parameter (e, index)->isAutomatable() ? 1 : 0;
                case op::SetSampleRate: e.sampleRate = opt > 0.0f ? opt : e.sampleRate; return 0;
                case op::SetBlockSize:
                    e.blockSize = value > 0 && value <= kMaxFrames ? (int) value : e.blockSize;
                    prepareBuffers (e);
                    return 0;
                case op::MainsChanged:
                    e.openingProgramPending = false;
                    if (value != 0)
                    {
                        plugin.setRateAndBufferSizeDetails (e.sampleRate, e.blockSize);
                        plugin.prepareToPlay (e.sampleRate, e.blockSize);
                        e.effect.initialDelay = plugin.getLatencySamples();
                    }
                    else
                    {
                        plugin.releaseResources();
                    }
                    return 0;
                case op::GetChunk:
                    e.chunk.reset();
                    plugin.getStateInformation (e.chunk);
                    if (ptr != nullptr)
                        *static_cast<void**> (ptr) = e.chunk.getData();
                    return (VstIntPtr) e.chunk.getSize();
                case op::SetChunk:
                    e.openingProgramPending = false;
                    if (ptr != nullptr && value > 0)
                        plugin.setStateInformation (ptr, (int) value);
                    return 1;
                case op::ProcessEvents:
                    if (auto* events = static_cast<VstEvents*> (ptr))
                        for (int i = 0; i < events->numEvents; ++i)
                            if (auto* event = events->events[i]; event != nullptr && event->type == kVstMidiType)
                            {
                                const auto* midiEvent = reinterpret_cast<const VstMidiEvent*> (event);
                                e.midi.addEvent (midiEvent->midiData, 3, std::max (0, (int) midiEvent->deltaFrames));
                            }
                    return 1;
                case op::GetPlugCategory: return e.description.isInstrument ? kPlugCategSynth : kPlugCategEffect;
                case op::GetEffectName:
                case op::GetProductString: copyText (ptr, e.description.name, kMaxString); return 1;
                case op::GetVendorString: copyText (ptr, e.description.manufacturerName, kMaxString); return 1;
                case op::GetVendorVersion: return 1;
                case op::GetVstVersion: return 2400;
                case op::GetTailSize: return (VstIntPtr) (plugin.getTailLengthSeconds() * e.sampleRate);
                case op::CanDo:
                {
                    const char* what = static_cast<const char*> (ptr);
                    if (what == nullptr)
                        return 0;
                    if (std::strcmp (what, "receiveVstEvents") == 0 || std::strcmp (what, "receiveVstMidiEvent") == 0)
                        return plugin.acceptsMidi() ? 1 : -1;
                    return 0;
                }
                case op::EditGetRect:
                    if (e.editor == nullptr && plugin.hasEditor())
                        e.editor.reset (plugin.createEditorIfNeeded());
                    if (e.editor == nullptr || ptr == nullptr)
                        return 0;
                    e.rect = { 0, 0, (short) e.editor->getHeight(), (short) e.editor->getWidth() };
                    *static_cast<ERect**> (ptr) = &e.rect;
                    return 1;
                case op::EditOpen:
                    if (e.editor == nullptr && plugin.hasEditor())
                        e.editor.reset (plugin.createEditorIfNeeded());
                    if (e.editor == nullptr)
                        return 0;
                    e.editor->setOpaque (true);
                    e.editor->addToDesktop (0, ptr);
                    e.editor->setVisible (true);
                    return 1;
                case op::EditClose: e.editor.reset(); return 0;
                case op::EditIdle: dispatchJuceMessages(); return 0;
                default: return 0;
            }
        }

        void VSTCALLBACK processReplacing (AEffect* effect, float** inputs, float** outputs, VstInt32 frames)
        {
            auto& e = *from (effect);
            const int n = std::min ((int) frames, kMaxFrames);
            for (int c = 0; c < e.channels; ++c)
            {
                float* channel = c < e.outputs ? outputs[c] : e.spare[(size_t) c].data();
                if (c < e.inputs)
                {
                    if (inputs[c] != channel)
                        std::memmove (channel, inputs[c], sizeof (float) * (size_t) n);
                }
                else
                {
                    std::fill (channel, channel + n, 0.0f);
                }
                e.channelPointers[(size_t) c] = channel;
            }
            e.buffer.setDataToReferTo (e.channelPointers.data(), e.channels, n);
            e.instance->processBlock (e.buffer, e.midi);
            e.midi.clear();
        }

        void VSTCALLBACK process (AEffect* effect, float** inputs, float** outputs, VstInt32 frames)
        {
            processReplacing (effect, inputs, outputs, frames);
        }

        void VSTCALLBACK setParameter (AEffect* effect, VstInt32 index, float value)
        {
            auto& e = *from (effect);
            if (auto* p = parameter (e, index))
            {
                e.hostIsSetting = true;
                p->setValue (value);
                e.hostIsSetting = false;
            }
        }

        float VSTCALLBACK getParameter (AEffect* effect, VstInt32 index)
        {
            auto* p = parameter (*from (effect), index);
            return p != nullptr ? p->getValue() : 0.0f;
        }
    }

    bool isJuceTarget (const std::string& target)
    {
        return pluginFormats::formatOf (juce::String::fromUTF8 (target.c_str())) != pluginFormats::vst2;
    }

    AEffect* loadJuceTarget (const std::string& target, audioMasterCallback host, std::string& error)
    {
        if (! juceStarted)
        {
            // Lives until the worker exits: it leaves with _exit, without tearing JUCE down.
            new juce::ScopedJuceInitialiser_GUI();
            juceStarted = true;
        }

        const auto identifier = juce::String::fromUTF8 (target.c_str());
        std::unique_ptr<juce::AudioPluginFormat> format;
        if (pluginFormats::formatOf (identifier) == pluginFormats::vst3)
            format = std::make_unique<juce::VST3PluginFormat>();
        else
        {
            auto lv2 = std::make_unique<juce::LV2PluginFormat>();
            const auto extra = juce::SystemStats::getEnvironmentVariable ("LV2_PATH", {});
            if (extra.isNotEmpty())
                lv2->searchPathsForPlugins (juce::FileSearchPath (extra.replaceCharacter (':', ';')), true, false);
            format = std::move (lv2);
        }

        juce::OwnedArray<juce::PluginDescription> found;
        if (format->fileMightContainThisPluginType (identifier))
            format->findAllTypesForFile (found, identifier);
        if (found.isEmpty())
        {
            error = "no " + format->getName().toStdString() + " plug-in is installed as " + target;
            return nullptr;
        }

        juce::String why;
        auto instance = format->createInstanceFromDescription (*found[0], 44100.0, 512, why);
        if (instance == nullptr)
        {
            error = why.isNotEmpty() ? why.toStdString() : "JUCE made no instance of " + target;
            return nullptr;
        }
        // The layout the plug-in declares, as the container finds it when it hosts the plug-in itself.

        auto e = std::make_unique<JuceEffect>();
        e->host = host;
        e->description = *found[0];
        e->inputs = instance->getTotalNumInputChannels();
        e->outputs = instance->getTotalNumOutputChannels();
        e->channels = std::max (e->inputs, e->outputs);
        if (e->inputs > kMaxChannels || e->outputs > kMaxChannels)
        {
            error = "too many channels for the bridge";
            return nullptr;
        }
        e->instance = std::move (instance);
        prepareBuffers (*e);

        AEffect& fx = e->effect;
        fx.magic = kEffectMagic;
        fx.dispatcher = dispatch;
        fx.process = process;
        fx.setParameter = setParameter;
        fx.getParameter = getParameter;
        fx.processReplacing = processReplacing;
        fx.numPrograms = e->instance->getNumPrograms();
        fx.numParams = e->instance->getParameters().size();
        fx.numInputs = e->inputs;
        fx.numOutputs = e->outputs;
        fx.flags = effFlagsCanReplacing | effFlagsProgramChunks | (e->instance->hasEditor() ? effFlagsHasEditor : 0)
                   | (e->description.isInstrument ? effFlagsIsSynth : 0);
        fx.initialDelay = e->instance->getLatencySamples();
        fx.uniqueID = (VstInt32) identifier.hashCode();
        fx.version = 1;
        e->instance->addListener (&e->talkBack);
        for (auto* p : e->instance->getParameters())
            p->addListener (&e->talkBack);
        return &e.release()->effect;
    }

    void dispatchJuceMessages ()
    {
        if (! juceStarted)
            return;
        // Bounded: a plug-in that keeps posting cannot hold the requests up.
        for (int i = 0; i < 64 && juce::dispatchNextMessageOnSystemQueue (true); ++i)
        {
        }
    }
}
