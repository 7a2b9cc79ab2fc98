#include "Hosts.h"
#include "processor/StateCodec.h"
#include <cstring>
#include <dlfcn.h>

namespace bench
{
    FILE* results = stdout;

    int eventsInBlock (long long start, int length, std::array<MidiEvent, maxEventsPerBlock>& out)
    {
        constexpr long long period = 4800, release = 2400;
        constexpr int chord[3] = { 0, 4, 7 };
        int count = 0;
        for (long long t = start; t < start + length && count + 3 <= maxEventsPerBlock; ++t)
        {
            const long long phase = t % period;
            if (phase != 0 && phase != release)
                continue;
            const int root = 48 + (int) ((t / period) % 12);
            for (int note : chord)
                out[(size_t) count++] = { (int) (t - start),
                                          { (juce::uint8) (phase == 0 ? 0x90 : 0x80), (juce::uint8) (root + note), 100 } };
        }
        return count;
    }

    //==============================================================================
    namespace
    {
        // Musical time as a host reports it, for the directly hosted synth.
        class BenchPlayHead : public juce::AudioPlayHead
        {
        public:
            long long position = 0;

            juce::Optional<PositionInfo> getPosition() const override
            {
                PositionInfo info;
                info.setTimeInSamples (position);
                info.setTimeInSeconds ((double) position / sampleRate);
                info.setBpm (120.0);
                info.setTimeSignature (TimeSignature { 4, 4 });
                const double ppq = (double) position / sampleRate * 2.0;
                info.setPpqPosition (ppq);
                info.setPpqPositionOfLastBarStart ((double) (long long) (ppq / 4.0) * 4.0);
                info.setIsPlaying (true);
                return info;
            }
        };

        class DirectHost : public Host
        {
        public:
            DirectHost (std::unique_ptr<juce::AudioPluginInstance> p, int blockSize)
                : plugin (std::move (p)),
                  buffer (juce::jmax (2, plugin->getTotalNumOutputChannels(), plugin->getTotalNumInputChannels()), blockSize)
            {
                plugin->setPlayHead (&playHead);
                plugin->setPlayConfigDetails (0, 2, sampleRate, blockSize);
                plugin->prepareToPlay (sampleRate, blockSize);
                midi.ensureSize (4096);
            }

            ~DirectHost() override { plugin->releaseResources(); }

            void render (long long position, int length) override
            {
                playHead.position = position;
                midi.clear();
                const int count = eventsInBlock (position, length, scheduled);
                for (int i = 0; i < count; ++i)
                    midi.addEvent (scheduled[(size_t) i].bytes, 3, scheduled[(size_t) i].offset);
                // Replacing processing: the outputs need no clearing first.
                juce::AudioBuffer<float> block (buffer.getArrayOfWritePointers(), buffer.getNumChannels(), length);
                plugin->processBlock (block, midi);
            }

            float firstSample() const override { return buffer.getSample (0, 0); }

        private:
            std::unique_ptr<juce::AudioPluginInstance> plugin;
            BenchPlayHead playHead;
            juce::AudioBuffer<float> buffer;
            juce::MidiBuffer midi;
            std::array<MidiEvent, maxEventsPerBlock> scheduled {};
        };

        juce::VSTPluginFormat& vstFormat()
        {
            static juce::VSTPluginFormat format;
            return format;
        }
    }

    std::unique_ptr<Host> makeDirectHost (const std::string& synthPath, int blockSize, std::string& error)
    {
        juce::OwnedArray<juce::PluginDescription> types;
        vstFormat().findAllTypesForFile (types, synthPath);
        if (types.isEmpty())
        {
            error = "no VST 2.x plug-in in " + synthPath;
            return {};
        }
        juce::String why;
        auto instance = vstFormat().createInstanceFromDescription (*types[0], sampleRate, blockSize, why);
        if (instance == nullptr)
        {
            error = why.toStdString();
            return {};
        }
        return std::make_unique<DirectHost> (std::move (instance), blockSize);
    }

    //==============================================================================
    namespace
    {
        thread_local ContainerHost* hostBeingLoaded = nullptr;
        using EntryPoint = AEffect* (*) (audioMasterCallback);
    }

    ContainerHost::ContainerHost (int size) : blockSize (size)
    {
        for (size_t c = 0; c < outputs.size(); ++c)
        {
            outputs[c].assign ((size_t) blockSize, 0.0f);
            outputPointers[c] = outputs[c].data();
        }
        for (size_t i = 0; i < midiEvents.size(); ++i)
        {
            midiEvents[i].type = kVstMidiType;
            midiEvents[i].byteSize = sizeof (VstMidiEvent);
            eventList.events[i] = reinterpret_cast<VstEvent*> (&midiEvents[i]);
        }
        timeInfo.sampleRate = sampleRate;
        timeInfo.tempo = 120.0;
        timeInfo.timeSigNumerator = 4;
        timeInfo.timeSigDenominator = 4;
        timeInfo.flags = kVstTempoValid | kVstTimeSigValid | kVstPpqPosValid | kVstBarsValid | kVstTransportPlaying;
    }

    ContainerHost::~ContainerHost()
    {
        if (fx != nullptr)
        {
            dispatch (effStopProcess);
            dispatch (effMainsChanged, 0, 0);
            dispatch (effClose);
        }
        // The library stays mapped: JUCE keeps process-wide threads inside it.
    }

    VstIntPtr VSTCALLBACK ContainerHost::callback (AEffect* effect, int opcode, int, VstIntPtr, void*, float)
    {
        auto* host = effect != nullptr && effect->resvd1 != 0 ? reinterpret_cast<ContainerHost*> (effect->resvd1) : hostBeingLoaded;
        switch (opcode)
        {
            case audioMasterVersion: return 2400;
            case audioMasterGetTime: return host != nullptr ? reinterpret_cast<VstIntPtr> (&host->timeInfo) : 0;
            case audioMasterGetSampleRate: return (VstIntPtr) sampleRate;
            case audioMasterGetBlockSize: return host != nullptr ? host->blockSize : 0;
            case audioMasterIOChanged: return 1;
            default: return 0;
        }
    }

    VstIntPtr ContainerHost::dispatch (int opcode, int index, VstIntPtr value, void* ptr, float opt)
    {
        return fx->dispatcher (fx, opcode, index, value, ptr, opt);
    }

    bool ContainerHost::load (const std::string& path, std::string& error)
    {
        void* library = dlopen (path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
        {
            error = dlerror();
            return false;
        }
        auto entry = reinterpret_cast<EntryPoint> (dlsym (library, "VSTPluginMain"));
        if (entry == nullptr)
        {
            error = "no VSTPluginMain in " + path;
            return false;
        }
        hostBeingLoaded = this;
        fx = entry (callback);
        hostBeingLoaded = nullptr;
        if (fx == nullptr)
        {
            error = "VSTPluginMain returned no effect";
            return false;
        }
        fx->resvd1 = reinterpret_cast<VstIntPtr> (this);
        dispatch (effOpen);
        dispatch (effSetSampleRate, 0, 0, nullptr, (float) sampleRate);
        dispatch (effSetBlockSize, 0, blockSize);
        dispatch (effMainsChanged, 0, 1);
        dispatch (effStartProcess);
        return true;
    }

    void ContainerHost::setState (const std::string& document)
    {
        std::vector<char> bytes (document.begin(), document.end());
        dispatch (effSetChunk, 0, (VstIntPtr) bytes.size(), bytes.data());
    }

    void ContainerHost::render (long long position, int length)
    {
        timeInfo.samplePos = (double) position;
        timeInfo.ppqPos = (double) position / sampleRate * 2.0;
        timeInfo.barStartPos = (double) (long long) (timeInfo.ppqPos / 4.0) * 4.0;

        const int count = sendMidi ? eventsInBlock (position, length, scheduled) : 0;
        if (count > 0)
        {
            for (int i = 0; i < count; ++i)
            {
                auto& event = midiEvents[(size_t) i];
                event.deltaFrames = scheduled[(size_t) i].offset;
                std::memcpy (event.midiData, scheduled[(size_t) i].bytes, 3);
            }
            eventList.numEvents = count;
            dispatch (effProcessEvents, 0, 0, &eventList);
        }
        fx->processReplacing (fx, nullptr, outputPointers.data(), length);
    }

    std::string stateDocument (int active, const std::string& slot0, const std::string& slot1)
    {
        ContainerState state;
        state.settings.activeSlot = active;
        state.settings.instanceName = "bench";
        const std::string* paths[2] = { &slot0, &slot1 };
        for (size_t index = 0; index < 2; ++index)
            if (! paths[index]->empty())
                state.slots[index].emplace().filePath = juce::String::fromUTF8 (paths[index]->c_str());
        return writeContainerState (state).toStdString();
    }
}
