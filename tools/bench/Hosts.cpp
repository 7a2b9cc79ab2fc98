#include "loading/PluginFormatNames.h"
#include "Hosts.h"
#include "processor/StateCodec.h"

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

            juce::Optional<PositionInfo> getPosition () const override
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

            float firstSample () const override { return buffer.getSample (0, 0); }

        private:
            std::unique_ptr<juce::AudioPluginInstance> plugin;
            BenchPlayHead playHead;
            juce::AudioBuffer<float> buffer;
            juce::MidiBuffer midi;
            std::array<MidiEvent, maxEventsPerBlock> scheduled {};
        };

        // The format a synth's path or URI names, as a slot takes it.
        juce::AudioPluginFormat& formatFor (const std::string& synth)
        {
            static juce::VSTPluginFormat vst;
            static juce::VST3PluginFormat vst3;
            static juce::LV2PluginFormat lv2;
            const auto format = pluginFormats::formatOf (juce::String::fromUTF8 (synth.c_str()));
            if (format == pluginFormats::lv2)
                return lv2;
            if (format == pluginFormats::vst3)
                return vst3;
            return vst;
        }
    }

    std::unique_ptr<Host> makeDirectHost (const std::string& synthPath, int blockSize, std::string& error)
    {
        juce::OwnedArray<juce::PluginDescription> types;
        auto& format = formatFor (synthPath);
        format.findAllTypesForFile (types, synthPath);
        if (types.isEmpty())
        {
            error = "no " + format.getName().toStdString() + " plug-in in " + synthPath;
            return {};
        }
        juce::String why;
        auto instance = format.createInstanceFromDescription (*types[0], sampleRate, blockSize, why);
        if (instance == nullptr)
        {
            error = why.toStdString();
            return {};
        }
        return std::make_unique<DirectHost> (std::move (instance), blockSize);
    }

    //==============================================================================
    static_assert (maxEventsPerBlock <= RawVstHost::eventCapacity, "a block's MIDI needs no allocation");

    ContainerHost::ContainerHost (int size)
        : blockSize (size)
    {
        for (size_t c = 0; c < outputs.size(); ++c)
        {
            outputs[c].assign ((size_t) blockSize, 0.0f);
            outputPointers[c] = outputs[c].data();
        }
    }

    ContainerHost::~ContainerHost()
    {
        if (host.effect() != nullptr)
            host.stop();
        // close() leaves the library mapped: JUCE keeps process-wide threads inside it.
    }

    bool ContainerHost::load (const std::string& path, std::string& error)
    {
        host.recordOpcodes (false);
        if (! host.load (path, error))
            return false;
        host.start ((float) sampleRate, blockSize);
        return true;
    }

    void ContainerHost::setState (const std::string& document)
    {
        host.setChunk (std::vector<char> (document.begin(), document.end()));
    }

    void ContainerHost::render (long long position, int length)
    {
        host.setPosition (position);
        const int count = sendMidi ? eventsInBlock (position, length, scheduled) : 0;
        for (int i = 0; i < count; ++i)
            midiEvents[(size_t) i] = makeMidiEvent (scheduled[(size_t) i].bytes, scheduled[(size_t) i].offset);
        host.sendEvents (midiEvents.data(), count);
        host.processBlock (nullptr, outputPointers.data(), length);
    }

    std::string stateDocument (int active, const std::string& slot0, const std::string& slot1, std::array<bool, 2> isProtected)
    {
        ContainerState state;
        state.settings.activeSlot = active;
        state.settings.instanceName = "bench";
        const std::string* paths[2] = { &slot0, &slot1 };
        for (size_t index = 0; index < 2; ++index)
            if (! paths[index]->empty())
            {
                auto& slot = state.slots[index].emplace();
                slot.filePath = juce::String::fromUTF8 (paths[index]->c_str());
                slot.isProtected = isProtected[index];
            }
        return writeContainerState (state).toStdString();
    }
}
