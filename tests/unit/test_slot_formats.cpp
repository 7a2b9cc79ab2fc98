// VST3 and LV2 plug-ins in the slots: real LV2 instruments Debian ships (mda
// JX10 and DX10 with their presets, DPF's Nekobi with its X11 editor) and the
// project's VST3 fixture synth, loaded by the built container as a host drives
// it, in the host's process and protected in a bridge worker, next to the same
// plug-ins hosted directly by JUCE.
#include "FixtureSignal.h"
#include "loading/PluginFormats.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "processor/ProjectBridge.h"
#include "processor/StateCodec.h"
#include "hosted_editor/MyHostAudioProcessorEditor.h"
#include "hosted_editor/MyHostAudioProcessorEditorWindow.h"
#include "hosted_editor/NativeEditorWindow.h"
#include "hosted_editor/x11/MyX11Window.h"
#include "RawVstHost.h"
#include "loading/PluginChooser.h"
#include "support/TestHelpers.h"
#include "test_loading_support.h"
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cmath>
#include <future>
#include <optional>
#include <set>

using namespace loading_test;
using testing_support::ConsoleLines;
using testing_support::runLoopFor;
using testing_support::runLoopUntil;

namespace
{
    constexpr float kRate = 48000.0f;
    constexpr int kBlock = 256;
    constexpr int kBlocks = 120; // 0.64 s: the note is held for the first 60 blocks
    const juce::String jx10 = "http://drobilla.net/plugins/mda/JX10";
    const juce::String dx10 = "http://drobilla.net/plugins/mda/DX10";
    const juce::String detune = "http://drobilla.net/plugins/mda/Detune"; // an effect with presets
    const juce::String nekobi = "http://distrho.sf.net/plugins/Nekobi";
    const juce::String vst3Synth = TAMBLIT_FIXTURE_VST3_SYNTH;

    struct Case
    {
        const char* label;
        juce::String identifier;
        const char* format;
        bool isProtected = false;
    };

    const Case instruments[] = {
        { "mda JX10 (LV2)", jx10, "LV2" },
        { "mda DX10 (LV2)", dx10, "LV2" },
        { "Nekobi (LV2)", nekobi, "LV2" },
        { "fixture synth (VST3)", vst3Synth, "VST3" },
        { "mda JX10 (LV2) protected", jx10, "LV2", true },
        { "fixture synth (VST3) protected", vst3Synth, "VST3", true },
    };

    // Stand-ins of protected slots go to a cache folder of this run; the
    // container in this process finds the bridge of this build.
    const bool cacheIsolated = []
    {
        const auto cache = juce::File::createTempFile ("cache");
        cache.createDirectory();
        return setenv ("XDG_CACHE_HOME", cache.getFullPathName().toRawUTF8(), 1) == 0
               && setenv ("TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources", 1) == 0;
    }();

    using Channels = std::vector<std::vector<float>>;

    std::vector<char> toBytes (const juce::String& text)
    {
        return std::vector<char> (text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    }

    juce::String fromBytes (const std::vector<char>& bytes)
    {
        return juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
    }

    juce::String documentFor (const SlotState& slot)
    {
        ContainerState state;
        state.settings.instanceName = "formats";
        state.slots[0] = slot;
        return writeContainerState (state);
    }

    SlotState slotNaming (const juce::String& identifier, bool isProtected = false)
    {
        SlotState slot;
        slot.filePath = identifier;
        slot.isProtected = isProtected;
        return slot;
    }

    std::optional<SlotState> savedSlot (const std::vector<char>& chunk, int index)
    {
        const auto reading = readContainerState (chunk.data(), chunk.size());
        for (const auto& part : reading.parts)
            if (part.kind == StateDocumentPart::Kind::slot && part.slot == index)
                return part.slotState;
        return std::nullopt;
    }

    // Note 60 on at the first sample, off at block 60.
    bool noteAt (int block, bool& on, int& note)
    {
        note = 60;
        on = block == 0;
        return block == 0 || block == kBlocks / 2;
    }

    VstMidiEvent vstNote (bool on, int note)
    {
        VstMidiEvent event {};
        event.type = kVstMidiType;
        event.byteSize = sizeof (VstMidiEvent);
        event.midiData[0] = (char) (on ? 0x90 : 0x80);
        event.midiData[1] = (char) note;
        event.midiData[2] = on ? 100 : 0;
        return event;
    }

    // The built container in a plain VST 2.x host, given `document` as a host
    // restores a project, then playing the note.
    struct ContainerRun
    {
        Channels output { 2 };
        std::vector<char> restored; // saved right after the restore, before any note
        std::vector<char> chunk; // saved after playing
    };

    ContainerRun runContainer (const juce::String& document)
    {
        ContainerRun run;
        RawVstHost host ("test_slot_formats");
        std::string error;
        if (! host.load (TAMBLIT_PLUGIN_PATH, error))
        {
            ADD_FAILURE() << error;
            return run;
        }
        host.start (kRate, kBlock);
        host.setChunk (toBytes (document));
        run.restored = host.getChunk();
        for (int block = 0; block < kBlocks; ++block)
        {
            bool on = false;
            int note = 0;
            std::vector<VstMidiEvent> events;
            if (noteAt (block, on, note))
                events.push_back (vstNote (on, note));
            const auto out = host.process (kBlock, events);
            for (size_t channel = 0; channel < 2; ++channel)
                run.output[channel].insert (run.output[channel].end(), out[channel].begin(), out[channel].end());
        }
        run.chunk = host.getChunk();
        host.stop();
        host.close();
        return run;
    }

    // The same plug-in hosted by JUCE in this process, with the same rate,
    // block size, state and MIDI.
    Channels runDirect (const juce::String& identifier, const juce::MemoryBlock* state = nullptr)
    {
        SharedJuceFormats formats;
        auto* format = formats.find (pluginFormats::formatOf (identifier));
        juce::OwnedArray<juce::PluginDescription> found;
        format->findAllTypesForFile (found, identifier);
        if (found.isEmpty())
        {
            ADD_FAILURE() << "JUCE finds no " << identifier;
            return {};
        }
        juce::String error;
        auto instance = format->createInstanceFromDescription (*found[0], kRate, kBlock, error);
        if (instance == nullptr)
        {
            ADD_FAILURE() << error;
            return {};
        }
        instance->enableAllBuses();
        instance->prepareToPlay (kRate, kBlock);
        if (state != nullptr && state->getSize() > 0)
            instance->setStateInformation (state->getData(), (int) state->getSize());

        Channels output (2);
        juce::AudioBuffer<float> buffer (juce::jmax (2, instance->getTotalNumOutputChannels()), kBlock);
        for (int block = 0; block < kBlocks; ++block)
        {
            buffer.clear();
            juce::MidiBuffer midi;
            bool on = false;
            int note = 0;
            if (noteAt (block, on, note))
                midi.addEvent (on ? juce::MidiMessage::noteOn (1, note, (juce::uint8) 100) : juce::MidiMessage::noteOff (1, note), 0);
            instance->processBlock (buffer, midi);
            for (int channel = 0; channel < 2; ++channel)
                output[(size_t) channel].insert (output[(size_t) channel].end(), buffer.getReadPointer (channel),
                                                 buffer.getReadPointer (channel) + kBlock);
        }
        instance->releaseResources();
        return output;
    }

    float peakOf (const Channels& channels)
    {
        float peak = 0.0f;
        for (const auto& channel : channels)
            for (float sample : channel)
                peak = std::max (peak, std::abs (sample));
        return peak;
    }

    float largestDifference (const Channels& a, const Channels& b)
    {
        float largest = 0.0f;
        for (size_t channel = 0; channel < std::min (a.size(), b.size()); ++channel)
        {
            if (a[channel].size() != b[channel].size())
                return INFINITY;
            for (size_t i = 0; i < a[channel].size(); ++i)
                largest = std::max (largest, std::abs (a[channel][i] - b[channel][i]));
        }
        return largest;
    }
}

class InstrumentInSlot : public ::testing::TestWithParam<Case>
{
};

// Plays through the container sample for sample as JUCE hosting it directly,
// and the container's saved document names the format and the identifier.
TEST_P (InstrumentInSlot, PlaysAsHostedDirectlyAndIsSavedByFormatAndIdentifier)
{
    const auto& c = GetParam();
    ASSERT_TRUE (cacheIsolated);
    const auto run = runContainer (documentFor (slotNaming (c.identifier, c.isProtected)));
    const auto direct = runDirect (c.identifier);

    EXPECT_GT (peakOf (run.output), 0.01f) << "the container played nothing";
    EXPECT_EQ (largestDifference (run.output, direct), 0.0f);

    const auto saved = savedSlot (run.chunk, 0);
    ASSERT_TRUE (saved.has_value());
    EXPECT_EQ (saved->format, c.format);
    EXPECT_EQ (saved->filePath, c.identifier);
    EXPECT_FALSE (saved->notLoaded);
    EXPECT_EQ (saved->isProtected, c.isProtected);
    EXPECT_TRUE (fromBytes (run.chunk).contains ("format=\"" + juce::String (c.format) + "\""));
    EXPECT_TRUE (fromBytes (run.chunk).contains ("identifier=\"" + c.identifier + "\""));
}

// The plug-in's own state, changed from its defaults, comes back bit-exact in a
// fresh container, and it plays as the plug-in given that state directly.
TEST_P (InstrumentInSlot, StateRoundTripsBitExactThroughAFreshInstance)
{
    const auto& c = GetParam();
    auto slot = slotNaming (c.identifier, c.isProtected);
    slot.parameters = { 1.0f, 0.71f }; // the first two parameters, away from their defaults
    const auto first = runContainer (documentFor (slot));
    const auto saved = savedSlot (first.chunk, 0);
    ASSERT_TRUE (saved.has_value());
    ASSERT_GT (saved->stateBlock.getSize(), 0u);

    // Saved again by a fresh container before it plays (a plug-in may keep
    // what it played in its state, as the VST3 fixture counts its notes).
    const auto second = runContainer (fromBytes (first.chunk));
    const auto again = savedSlot (second.restored, 0);
    ASSERT_TRUE (again.has_value());
    EXPECT_TRUE (again->stateBlock == saved->stateBlock) << "the plug-in's state changed on the way";
    EXPECT_EQ (again->parameters, saved->parameters);
    // By name: LV2 presets need not keep their order from one instance to the next.
    EXPECT_EQ (again->programName, saved->programName);

    EXPECT_EQ (largestDifference (second.output, runDirect (c.identifier, &saved->stateBlock)), 0.0f);
}

INSTANTIATE_TEST_SUITE_P (Formats, InstrumentInSlot, ::testing::ValuesIn (instruments),
                          [] (const auto& info)
                          {
                              juce::String name (info.param.label);
                              return name.retainCharacters ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789").toStdString();
                          });

namespace
{
    struct InProcess : ::testing::Test
    {
        void SetUp () override
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setRateAndBufferSizeDetails (kRate, kBlock);
            processor->prepareToPlay (kRate, kBlock);
            console = std::make_unique<ConsoleLines> (*processor);
            console->clear();
        }

        void TearDown () override
        {
            console.reset();
            processor.reset();
        }

        juce::String save ()
        {
            juce::MemoryBlock block;
            processor->getStateInformation (block);
            return block.toString();
        }

        void restore (PluginContainerAudioProcessor& into, const juce::String& text)
        {
            into.setStateInformation (text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        std::unique_ptr<ConsoleLines> console;
    };
}

// LV2 presets and VST3 program lists are the slot's programs, and the chosen
// one is saved and restored.
TEST_F (InProcess, PresetsAndProgramListsAreTheSlotsPrograms)
{
    const struct
    {
        juce::String identifier;
        int atLeast;
        int pick;
        const char* pickedName;
    } cases[] = { { jx10, 50, 3, nullptr }, { vst3Synth, 3, 2, "Loud" } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.identifier);
        ASSERT_TRUE (processor->loadPlugin (0, c.identifier, {}));
        auto* instance = processor->getAudioPluginInstance (0);
        ASSERT_GE (instance->getNumPrograms(), c.atLeast);
        EXPECT_TRUE (instance->getProgramName (c.pick).isNotEmpty());
        if (c.pickedName != nullptr)
        {
            EXPECT_EQ (instance->getProgramName (c.pick), c.pickedName);
        }
        instance->setCurrentProgram (c.pick);
        const auto pickedName = instance->getProgramName (c.pick);
        const auto text = save();

        PluginContainerAudioProcessor other;
        other.setRateAndBufferSizeDetails (kRate, kBlock);
        other.prepareToPlay (kRate, kBlock);
        restore (other, text);
        auto* restored = other.getAudioPluginInstance (0);
        ASSERT_NE (restored, nullptr);
        // The same program by name, wherever this instance lists it.
        EXPECT_EQ (restored->getProgramName (restored->getCurrentProgram()), pickedName);
        processor->unloadPlugin (0, false, true);
    }
}

// "Load new" with nothing named: the list of installed plug-ins (scanned by this
// build's scanner), searched, and the chosen LV2 synth goes into the slot.
TEST_F (InProcess, LoadNewPutsTheChosenInstalledPluginIntoTheSlot)
{
    ASSERT_TRUE (cacheIsolated);
    DialogScript script;
    bool listed = false;
    script.then (windowNamed ("Load a plugin"),
                 [&listed] (juce::Component& dialog)
                 {
                     auto* window = dynamic_cast<juce::DialogWindow*> (&dialog);
                     auto* chooser = window != nullptr ? dynamic_cast<PluginChooserComponent*> (window->getContentComponent()) : nullptr;
                     if (chooser == nullptr)
                         return;
                     chooser->setSearchText ("mda jx10");
                     listed = chooser->getNumShownPlugins() == 1;
                     chooser->selectRow (0);
                     chooser->load.triggerClick();
                 });
    script.start (60000);

    ASSERT_TRUE (processor->loadPlugin (1, {}, {}));
    EXPECT_TRUE (script.allStepsDone());
    EXPECT_TRUE (listed);
    auto* instance = processor->getAudioPluginInstance (1);
    ASSERT_NE (instance, nullptr);
    EXPECT_EQ (instance->getName(), "MDA JX10");
    EXPECT_EQ (processor->getPluginFilePath (1), jx10);
}

// A host saves from a thread of its own. A VST3 plug-in's state is asked of the
// message thread: while that thread runs, the save carries the plug-in's
// current state; while it is busy, the save returns at once with the newest
// snapshot that thread took instead of waiting for it.
TEST_F (InProcess, SavesOnAHostThreadNeverWaitLongForTheMessageThread)
{
    ASSERT_TRUE (processor->loadPlugin (0, vst3Synth, {}));
    processor->getAudioPluginInstance (0)->setCurrentProgram (0);
    const auto first = savedSlot (toBytes (save()), 0); // the last good state: "Soft"
    ASSERT_TRUE (first.has_value());
    processor->getAudioPluginInstance (0)->setCurrentProgram (2);

    auto saveOnAHostThread = [this] { return std::async (std::launch::async, [this] { return save(); }); };

    // The message thread runs: the state as it is now.
    auto served = saveOnAHostThread();
    ASSERT_TRUE (runLoopUntil ([&] { return served.wait_for (std::chrono::seconds (0)) == std::future_status::ready; }, 5000));
    const auto now = savedSlot (toBytes (served.get()), 0);
    ASSERT_TRUE (now.has_value());
    EXPECT_EQ (now->programName, "Loud");

    // The message thread is busy (this thread sleeps without running it).
    processor->getAudioPluginInstance (0)->setCurrentProgram (1);
    console->clear();
    const auto started = std::chrono::steady_clock::now();
    auto busy = saveOnAHostThread();
    ASSERT_EQ (busy.wait_for (std::chrono::seconds (3)), std::future_status::ready) << "the save waited for the message thread";
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_LT (waited, std::chrono::milliseconds (500));
    const auto last = savedSlot (toBytes (busy.get()), 0);
    ASSERT_TRUE (last.has_value());
    EXPECT_EQ (last->programName, "Loud") << "the newest snapshot is the one taken above";
    runLoopFor (50);
    bool said = false;
    for (const auto& line : console->lines())
        said = said || line.contains ("could not be asked for its state (the message thread is busy), saving its newest snapshot");
    EXPECT_TRUE (said) << console->lines().joinIntoString ("\n");
}

// Ticking "Protected" on and off moves an LV2 plug-in into a bridge worker and
// back with its state: the saved block, program and parameters stay the same
// bytes and values either way.
TEST_F (InProcess, TogglingProtectionCarriesAnLv2PluginsState)
{
    ASSERT_TRUE (cacheIsolated);
    ASSERT_TRUE (processor->loadPlugin (0, jx10, {}));
    auto* instance = processor->getAudioPluginInstance (0);
    instance->setCurrentProgram (7);
    instance->getParameters()[2]->setValue (0.83f);
    const auto before = savedSlot (toBytes (save()), 0);
    ASSERT_TRUE (before.has_value());

    for (const bool isProtected : { true, false })
    {
        SCOPED_TRACE (isProtected ? "protected" : "back in the host's process");
        ASSERT_TRUE (processor->setSlotProtected (0, isProtected));
        EXPECT_EQ (projectBridgeEffect (processor->getAudioPluginInstance (0)) != nullptr, isProtected);
        const auto after = savedSlot (toBytes (save()), 0);
        ASSERT_TRUE (after.has_value());
        EXPECT_EQ (after->isProtected, isProtected);
        EXPECT_TRUE (after->stateBlock == before->stateBlock);
        EXPECT_EQ (after->programName, before->programName);
        EXPECT_EQ (after->parameters, before->parameters);
    }
}

// A project naming a VST3 or LV2 plug-in that is not installed here, or one of
// a format this build does not know, keeps the slot's element and its state
// in the next save, says so, and loads nothing in its place.
TEST_F (InProcess, APluginThatIsNotInstalledKeepsItsElement)
{
    const struct
    {
        juce::String identifier;
        juce::String format;
        const char* line;
    } cases[] = {
        { "urn:tamblit:not-installed", "LV2", "is not installed; the slot keeps its saved state" },
        { "/nowhere/Gone.vst3", "VST3", "is not installed; the slot keeps its saved state" },
        { "/usr/lib/clap/Some.clap", "CLAP", "a format this build cannot load" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.identifier);
        SlotState slot;
        slot.filePath = c.identifier;
        slot.format = c.format;
        slot.displayName = "Gone";
        slot.program = 4;
        slot.stateBlock = juce::MemoryBlock ("\x01\x02saved state", 13);
        slot.parameters = { 0.25f, 0.5f };
        ContainerState state;
        state.settings.options[0] = true; // the console stays open for the lines below
        state.slots[1] = slot;
        console->clear();
        restore (*processor, writeContainerState (state));

        EXPECT_EQ (processor->getAudioPluginInstance (1), nullptr);
        EXPECT_TRUE (processor->keepsUnloadedPlugin (1));
        bool said = false;
        for (const auto& line : console->lines())
            said = said || (line.contains (c.identifier) && line.contains (c.line));
        EXPECT_TRUE (said) << console->lines().joinIntoString ("\n");

        const auto text = save();
        const auto saved = savedSlot (toBytes (text), 1);
        ASSERT_TRUE (saved.has_value()) << text;
        EXPECT_EQ (saved->filePath, c.identifier);
        EXPECT_EQ (saved->format, c.format);
        EXPECT_EQ (saved->displayName, "Gone");
        EXPECT_EQ (saved->program, 4);
        EXPECT_TRUE (saved->stateBlock == slot.stateBlock);
        EXPECT_EQ (saved->parameters, slot.parameters);
        EXPECT_TRUE (saved->notLoaded);
    }

    // A document without the slot, or a plug-in loaded by hand, ends the keeping.
    restore (*processor, writeContainerState (ContainerState {}));
    EXPECT_FALSE (processor->keepsUnloadedPlugin (1));
}

// The fit rule holds for every format and either way a slot runs: an LV2
// effect, with its inputs, is no instrument for the container.
TEST_F (InProcess, EffectsAreRefusedByTheFitRule)
{
    for (const bool isProtected : { false, true })
    {
        SCOPED_TRACE (isProtected ? "protected" : "in the host's process");
        processor->setSlotProtected (0, isProtected);
        console->clear();
        EXPECT_FALSE (processor->loadPlugin (0, detune, {}));
        EXPECT_TRUE (console->contains ("plugin can't be loaded ( this is a synth, plugin appears to be an fx... )"))
            << console->lines().joinIntoString ("\n");
        EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
    }
}

TEST (SlotIdentifiers, NameTheirFormat)
{
    const std::pair<const char*, const char*> cases[] = {
        { "/usr/lib/vst/amsynth_vst.so", "VST" },
        { "/home/u/.vst/odd:name.so", "VST" },
        { "relative/file.so", "VST" },
        { "/usr/lib/vst3/Synth.vst3", "VST3" },
        { "/usr/lib/vst3/Synth.VST3/", "VST3" },
        { "http://drobilla.net/plugins/mda/JX10", "LV2" },
        { "urn:dragonfly:room", "LV2" },
        { "https://x.example/plugins/a.vst3", "VST3" }, // a bundle path rule wins; no such URI loads
        { "", "VST" },
    };
    for (const auto& [identifier, format] : cases)
        EXPECT_EQ (pluginFormats::formatOf (identifier), format) << identifier;
}

namespace
{
    // The window's pixels as the X server shows them, child windows (embedded
    // plug-in views) included.
    juce::Image grabScreenArea (juce::Rectangle<int> area)
    {
        Display* display = XOpenDisplay (nullptr);
        if (display == nullptr)
            return {};
        juce::Image image;
        if (XImage* x = XGetImage (display, DefaultRootWindow (display), area.getX(), area.getY(), (unsigned) area.getWidth(),
                                   (unsigned) area.getHeight(), AllPlanes, ZPixmap))
        {
            image = juce::Image (juce::Image::RGB, area.getWidth(), area.getHeight(), true);
            for (int y = 0; y < area.getHeight(); ++y)
                for (int xx = 0; xx < area.getWidth(); ++xx)
                    image.setPixelAt (xx, y, juce::Colour ((juce::uint32) (XGetPixel (x, xx, y) | 0xff000000u)));
            XDestroyImage (x);
        }
        XCloseDisplay (display);
        return image;
    }

    int distinctColours (const juce::Image& image)
    {
        std::set<juce::uint32> seen;
        for (int y = 0; y < image.getHeight(); y += 2)
            for (int x = 0; x < image.getWidth(); x += 2)
                seen.insert (image.getPixelAt (x, y).getARGB());
        return (int) seen.size();
    }
}

// The plug-ins' own editors (an LV2 X11 UI, a VST3 view) open in their own
// windows; the screenshots are kept in the build folder for a look.
TEST_F (InProcess, EditorsOpenInTheirOwnWindows)
{
    // Nekobi's view is 636 x 108 and drawn with OpenGL, which Xvfb here leaves
    // black: its window must take the view's size. The fixture's view is a
    // plain component that must show its colour.
    const struct
    {
        juce::String identifier;
        const char* shot;
        juce::Rectangle<int> viewSize;
        std::optional<juce::Colour> mustShow;
    } cases[] = { { nekobi, "editor-nekobi-lv2.png", { 636, 108 }, std::nullopt },
                  { vst3Synth, "editor-fixture-vst3.png", { 320, 200 }, juce::Colour (0xff2060c0) } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.identifier);
        ASSERT_TRUE (processor->loadPlugin (0, c.identifier, {}));
        processor->editPlugin (0);
        auto* holder = processor->getHostedEditor (0);
        ASSERT_NE (holder, nullptr);
        ASSERT_TRUE (runLoopUntil ([holder] { return holder->editorWindow != nullptr && holder->editorWindow->isShowing(); }, 5000));
        runLoopFor (1500); // the plug-in's view draws itself

        auto* content = holder->editorWindow->getContentComponent();
        ASSERT_NE (content, nullptr);
        EXPECT_EQ (content->getWidth(), c.viewSize.getWidth());
        EXPECT_EQ (content->getHeight(), c.viewSize.getHeight());

        const auto area = content->getScreenBounds();
        const auto image = grabScreenArea (area);
        ASSERT_TRUE (image.isValid());
        const auto file = juce::File (TAMBLIT_BINARY_DIR).getChildFile ("test-artifacts").getChildFile (c.shot);
        file.getParentDirectory().createDirectory();
        file.deleteFile();
        juce::FileOutputStream out (file);
        ASSERT_TRUE (juce::PNGImageFormat().writeImageToStream (image, out));

        if (c.mustShow)
        {
            int matching = 0;
            for (int y = 0; y < image.getHeight(); ++y)
                for (int x = 0; x < image.getWidth(); ++x)
                    matching += image.getPixelAt (x, y) == *c.mustShow ? 1 : 0;
            EXPECT_GT (matching, image.getWidth() * image.getHeight() / 2) << file.getFullPathName();
            EXPECT_GT (distinctColours (image), 2) << "no caption drawn: " << file.getFullPathName();
        }

        holder->closeTheEditor();
        runLoopFor (100);
        processor->unloadPlugin (0, false, true);
    }
}

// A protected VST3 plug-in's editor: the worker embeds the plug-in's view in
// the native window the container opens for the bridge, as for VST 2.x.
TEST_F (InProcess, AProtectedVst3EditorShowsInTheNativeWindow)
{
    ASSERT_TRUE (cacheIsolated);
    processor->setSlotProtected (0, true);
    ASSERT_TRUE (processor->loadPlugin (0, vst3Synth, {}));
    ASSERT_NE (projectBridgeEffect (processor->getAudioPluginInstance (0)), nullptr);
    processor->editPlugin (0);
    auto* holder = processor->getHostedEditor (0);
    ASSERT_NE (holder, nullptr);
    ASSERT_TRUE (
        runLoopUntil ([holder] { return holder->nativeEditorWindow != nullptr && holder->nativeEditorWindow->window != nullptr; }, 5000));
    runLoopFor (1500); // the worker draws the view

    Display* display = XOpenDisplay (nullptr);
    ASSERT_NE (display, nullptr);
    const auto view = (::Window) holder->nativeEditorWindow->window->getContentView();
    XWindowAttributes attributes {};
    ASSERT_NE (XGetWindowAttributes (display, view, &attributes), 0);
    EXPECT_EQ (attributes.width, 320);
    EXPECT_EQ (attributes.height, 200);
    int blue = 0;
    juce::Image image (juce::Image::RGB, attributes.width, attributes.height, true);
    if (XImage* x = XGetImage (display, view, 0, 0, (unsigned) attributes.width, (unsigned) attributes.height, AllPlanes, ZPixmap))
    {
        for (int y = 0; y < attributes.height; ++y)
            for (int xx = 0; xx < attributes.width; ++xx)
            {
                const juce::Colour colour ((juce::uint32) (XGetPixel (x, xx, y) | 0xff000000u));
                image.setPixelAt (xx, y, colour);
                blue += colour == juce::Colour (0xff2060c0) ? 1 : 0;
            }
        XDestroyImage (x);
    }
    XCloseDisplay (display);
    const auto file = juce::File (TAMBLIT_BINARY_DIR).getChildFile ("test-artifacts/editor-fixture-vst3-protected.png");
    file.getParentDirectory().createDirectory();
    file.deleteFile();
    juce::FileOutputStream out (file);
    EXPECT_TRUE (juce::PNGImageFormat().writeImageToStream (image, out));
    EXPECT_GT (blue, 320 * 200 / 2) << file.getFullPathName();

    holder->closeTheEditor();
    runLoopFor (100);
}
