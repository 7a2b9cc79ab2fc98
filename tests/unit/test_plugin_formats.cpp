// The container's VST3 and LV2 builds as hosts load them: the built bundles
// through JUCE's own VST3 and LV2 hosting, beside the VST 2.x build.
#include "FixtureSignal.h"
#include "processor/StateCodec.h"
#include "RawVstHost.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <juce_audio_processors/juce_audio_processors.h>
#include <pluginterfaces/base/ipluginbase.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>

using testing_support::runLoopFor;
using testing_support::runLoopUntil;

namespace
{
    constexpr const char* lv2Uri = "https://tamblit.example.org/plugins/Tmbs";
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 256;

    enum class Format
    {
        vst3,
        lv2
    };

    const char* nameOf (Format format)
    {
        return format == Format::vst3 ? "VST3" : "LV2";
    }

    // LV2 hosting also reads ~/.lv2: an installed copy of the container there
    // must not stand in for the build under test.
    const bool homeIsolated = []
    {
        const auto home = juce::File::createTempFile ("home");
        home.createDirectory();
        return setenv ("HOME", home.getFullPathName().toRawUTF8(), 1) == 0;
    }();

    struct Hosting
    {
        Hosting() { lv2.searchPathsForPlugins (juce::File (TAMBLIT_LV2_BUNDLE).getParentDirectory().getFullPathName(), true, false); }
        juce::VST3PluginFormat vst3;
        juce::LV2PluginFormat lv2;
    };

    Hosting& hosting ()
    {
        static Hosting instance;
        return instance;
    }

    juce::AudioPluginFormat& formatFor (Format format)
    {
        return format == Format::vst3 ? static_cast<juce::AudioPluginFormat&> (hosting().vst3) : hosting().lv2;
    }

    std::unique_ptr<juce::PluginDescription> describe (Format format)
    {
        juce::OwnedArray<juce::PluginDescription> found;
        formatFor (format).findAllTypesForFile (found, format == Format::vst3 ? TAMBLIT_VST3_BUNDLE : lv2Uri);
        if (found.size() != 1)
            return {};
        return std::make_unique<juce::PluginDescription> (*found[0]);
    }

    std::unique_ptr<juce::AudioPluginInstance> load (Format format)
    {
        auto description = describe (format);
        if (description == nullptr)
            return {};
        juce::String error;
        auto instance = formatFor (format).createInstanceFromDescription (*description, sampleRate, blockSize, error);
        EXPECT_TRUE (error.isEmpty()) << error;
        return instance;
    }

    // The container's document inside each format's own saved state, as the
    // framework's hosting hands that state to a host: VST3 keeps the component's
    // stream (the document, then the wrapper's private trailer after a zero
    // byte); LV2 keeps a Turtle state with the document as a base64 string.
    juce::String documentIn (Format format, const juce::MemoryBlock& state)
    {
        juce::MemoryBlock bytes;
        if (format == Format::vst3)
        {
            auto xml = juce::AudioProcessor::getXmlFromBinary (state.getData(), (int) state.getSize());
            if (xml == nullptr || xml->getChildByName ("IComponent") == nullptr
                || ! bytes.fromBase64Encoding (xml->getChildByName ("IComponent")->getAllSubText()))
                return {};
        }
        else
        {
            const auto text = state.toString();
            const auto start = text.indexOf (text.indexOf ("StateString"), "\"") + 1;
            const auto end = text.indexOf (start, "\"");
            if (start <= 0 || end < start || ! bytes.fromBase64Encoding (text.substring (start, end)))
                return {};
        }
        const auto* data = static_cast<const char*> (bytes.getData());
        size_t length = 0;
        while (length < bytes.getSize() && data[length] != 0)
            ++length;
        return juce::String::fromUTF8 (data, (int) length);
    }

    juce::MemoryBlock withDocument (Format format, const juce::MemoryBlock& state, const juce::String& document)
    {
        juce::MemoryBlock bytes (document.toRawUTF8(), document.getNumBytesAsUTF8());
        juce::MemoryBlock result;
        if (format == Format::vst3)
        {
            auto xml = juce::AudioProcessor::getXmlFromBinary (state.getData(), (int) state.getSize());
            if (xml == nullptr || xml->getChildByName ("IComponent") == nullptr)
                return {};
            auto* component = xml->getChildByName ("IComponent");
            component->deleteAllTextElements();
            component->addTextElement (bytes.toBase64Encoding());
            juce::AudioProcessor::copyXmlToBinary (*xml, result);
        }
        else
        {
            const auto text = state.toString();
            const auto start = text.indexOf (text.indexOf ("StateString"), "\"") + 1;
            const auto end = text.indexOf (start, "\"");
            if (start <= 0 || end < start)
                return {};
            const auto replaced = text.substring (0, start) + bytes.toBase64Encoding() + text.substring (end);
            result.append (replaced.toRawUTF8(), replaced.getNumBytesAsUTF8() + 1);
        }
        return result;
    }

    juce::String documentOf (Format format, juce::AudioPluginInstance& instance)
    {
        juce::MemoryBlock state;
        instance.getStateInformation (state);
        return documentIn (format, state);
    }

    void restore (Format format, juce::AudioPluginInstance& instance, const juce::String& document)
    {
        juce::MemoryBlock state;
        instance.getStateInformation (state);
        const auto converted = withDocument (format, state, document);
        ASSERT_GT (converted.getSize(), 0u);
        instance.setStateInformation (converted.getData(), (int) converted.getSize());
    }

    juce::String containerDocument (int active, const juce::String& slot0, const juce::String& slot1, const juce::String& name,
                                    bool console = false)
    {
        ContainerState state;
        state.settings.activeSlot = active;
        state.settings.options = { { console, true, true, true } };
        state.settings.instanceName = name;
        if (slot0.isNotEmpty())
            state.slots[0].emplace().filePath = slot0;
        if (slot1.isNotEmpty())
            state.slots[1].emplace().filePath = slot1;
        return writeContainerState (state);
    }

    // Renders one block with `midi`, running the message loop first so that work
    // the container hands to its message thread can happen.
    juce::AudioBuffer<float> render (juce::AudioPluginInstance& instance, juce::MidiBuffer midi = {})
    {
        juce::AudioBuffer<float> buffer (juce::jmax (2, instance.getTotalNumOutputChannels()), blockSize);
        buffer.clear();
        instance.processBlock (buffer, midi);
        return buffer;
    }

    int activeSlotIn (const juce::String& document)
    {
        auto xml = juce::XmlDocument::parse (document);
        if (xml == nullptr || xml->getChildByName ("main_plugin") == nullptr)
            return -1;
        return xml->getChildByName ("main_plugin")->getIntAttribute ("activePlugin", -1);
    }

    // Top-level X windows whose title contains `word`, whichever library drew them.
    int xWindowsNamed (const char* word)
    {
        auto* display = XOpenDisplay (nullptr);
        if (display == nullptr)
            return -1;
        int count = 0;
        std::function<void (Window)> visit = [&] (Window window)
        {
            // JUCE writes the title as UTF8_STRING, which XFetchName does not return.
            XTextProperty name {};
            if (XGetWMName (display, window, &name) != 0 && name.value != nullptr)
            {
                const juce::String title = juce::String::fromUTF8 (reinterpret_cast<const char*> (name.value), (int) name.nitems);
                count += title.containsIgnoreCase (word) ? 1 : 0;
                XFree (name.value);
            }
            Window root = 0, parent = 0, *children = nullptr;
            unsigned int numChildren = 0;
            if (XQueryTree (display, window, &root, &parent, &children, &numChildren) != 0)
            {
                for (unsigned int i = 0; i < numChildren; ++i)
                    visit (children[i]);
                if (children != nullptr)
                    XFree (children);
            }
        };
        visit (DefaultRootWindow (display));
        XCloseDisplay (display);
        return count;
    }

    std::string run (const std::string& command)
    {
        std::string text;
        if (auto* pipe = popen ((command + " 2>&1").c_str(), "r"))
        {
            char line[4096];
            while (fgets (line, sizeof (line), pipe) != nullptr)
                text += line;
            if (pclose (pipe) != 0)
                text += "\n(exit status not 0)";
        }
        return text;
    }

    struct Formats : ::testing::TestWithParam<Format>
    {
    };
}

TEST (PluginFormats, BundlesHaveTheLinuxLayouts)
{
    const juce::File vst3 (TAMBLIT_VST3_BUNDLE), lv2 (TAMBLIT_LV2_BUNDLE);
    const juce::String arch = juce::String (TAMBLIT_SYSTEM_PROCESSOR) + "-linux";
    const char* files[] = { "Contents/x86_64-linux/PluginTamblitSynth.so", "Contents/Resources/Scanlet64" };
    for (auto* file : files)
        EXPECT_TRUE (vst3.getChildFile (juce::String (file).replace ("x86_64-linux", arch)).existsAsFile()) << file;
    for (auto* file : { "PluginTamblitSynth.so", "manifest.ttl", "dsp.ttl", "ui.ttl", "Contents/Resources/Scanlet64" })
        EXPECT_TRUE (lv2.getChildFile (file).existsAsFile()) << file;
}

// Only the entry points leave each module, so a host loading two builds at once
// can never bind one build's process-wide parts to the other's.
TEST (PluginFormats, EachBuildExportsOnlyItsEntryPoints)
{
    const auto vst3Binary = juce::String (TAMBLIT_VST3_BUNDLE) + "/Contents/" + TAMBLIT_SYSTEM_PROCESSOR + "-linux/PluginTamblitSynth.so";
    const struct
    {
        juce::String binary;
        juce::StringArray exports;
    } table[] = {
        { TAMBLIT_PLUGIN_PATH, { "VSTPluginMain", "main" } },
        { vst3Binary, { "GetPluginFactory", "ModuleEntry", "ModuleExit" } },
        { juce::String (TAMBLIT_LV2_BUNDLE) + "/PluginTamblitSynth.so", { "lv2_descriptor", "lv2ui_descriptor" } },
    };
    for (auto& row : table)
    {
        juce::StringArray defined;
        for (auto& line : juce::StringArray::fromLines (juce::String (run ("nm -D --defined-only '" + row.binary.toStdString() + "'"))))
        {
            const auto fields = juce::StringArray::fromTokens (line, " ", "");
            if (fields.size() == 3)
                defined.add (fields[2]);
        }
        defined.sort (false);
        auto expected = row.exports;
        expected.sort (false);
        EXPECT_EQ (defined.joinIntoString (" "), expected.joinIntoString (" ")) << row.binary;
    }
}

TEST (PluginFormats, Vst3ClassIdComesFromTheMakerAndPluginCodes)
{
    const auto binary = juce::File (TAMBLIT_VST3_BUNDLE)
                            .getChildFile ("Contents")
                            .getChildFile (juce::String (TAMBLIT_SYSTEM_PROCESSOR) + "-linux")
                            .getChildFile ("PluginTamblitSynth.so");
    void* handle = dlopen (binary.getFullPathName().toRawUTF8(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE (handle, nullptr) << dlerror();
    auto entry = reinterpret_cast<bool (*) (void*)> (dlsym (handle, "ModuleEntry"));
    auto exitFn = reinterpret_cast<bool (*)()> (dlsym (handle, "ModuleExit"));
    auto factoryFn = reinterpret_cast<Steinberg::IPluginFactory* (*) ()> (dlsym (handle, "GetPluginFactory"));
    ASSERT_TRUE (entry != nullptr && exitFn != nullptr && factoryFn != nullptr);
    ASSERT_TRUE (entry (handle));

    auto* factory = factoryFn();
    ASSERT_NE (factory, nullptr);
    int audioClasses = 0;
    for (Steinberg::int32 i = 0; i < factory->countClasses(); ++i)
    {
        Steinberg::PClassInfo info {};
        ASSERT_EQ (factory->getClassInfo (i, &info), Steinberg::kResultOk);
        if (juce::String (info.category) != "Audio Module Class")
            continue;
        ++audioClasses;
        // {ABCDEF01-9182FAEB-'Tamb'-'Tmbs'}: fixed by the two codes, not the version.
        const unsigned char expected[16] = { 0xAB, 0xCD, 0xEF, 0x01, 0x91, 0x82, 0xFA, 0xEB, 'T', 'a', 'm', 'b', 'T', 'm', 'b', 's' };
        EXPECT_EQ (std::memcmp (info.cid, expected, 16), 0);
        EXPECT_STREQ (info.name, "PluginTamblit(Synth)");
    }
    EXPECT_EQ (audioClasses, 1);
    factory->release();
    exitFn();
    dlclose (handle);
}

TEST_P (Formats, IdentityMatchesTheVst2Build)
{
    const auto format = GetParam();
    SCOPED_TRACE (nameOf (format));
    auto description = describe (format);
    ASSERT_NE (description, nullptr);
    EXPECT_EQ (description->name, "PluginTamblit(Synth)");
    EXPECT_EQ (description->manufacturerName, "Tamblit Audio");
    EXPECT_TRUE (description->isInstrument);
    EXPECT_EQ (description->numInputChannels, 0);
    EXPECT_EQ (description->numOutputChannels, 2);
    if (format == Format::lv2)
    {
        EXPECT_EQ (description->fileOrIdentifier, lv2Uri);
    }

    auto instance = load (format);
    ASSERT_NE (instance, nullptr);
    EXPECT_EQ (instance->getName(), "PluginTamblit(Synth)");
    EXPECT_TRUE (instance->acceptsMidi());
    EXPECT_FALSE (instance->producesMidi());
    EXPECT_EQ (instance->getTotalNumInputChannels(), 0);
    EXPECT_EQ (instance->getTotalNumOutputChannels(), 2);
    EXPECT_TRUE (instance->hasEditor());

    // The 1024 forwarded parameters, each with its own id; besides them only the
    // wrapper's bypass and, in VST3, the hidden MIDI controller mappings.
    juce::StringArray ids;
    int others = 0;
    for (auto* parameter : instance->getParameters())
    {
        if (parameter == instance->getBypassParameter())
            continue;
        auto* withId = dynamic_cast<juce::HostedAudioProcessorParameter*> (parameter);
        if (parameter->isAutomatable() && withId != nullptr)
            ids.addIfNotAlreadyThere (withId->getParameterID());
        else
            others += parameter->getName (64).startsWith ("MIDI CC ") ? 0 : 1;
    }
    EXPECT_EQ (ids.size(), 1024);
    EXPECT_EQ (others, 0);
}

TEST_P (Formats, HostedSynthInSlotZeroPlays)
{
    const auto format = GetParam();
    SCOPED_TRACE (nameOf (format));
    auto instance = load (format);
    ASSERT_NE (instance, nullptr);
    instance->prepareToPlay (sampleRate, blockSize);
    restore (format, *instance, containerDocument (0, TAMBLIT_FIXTURE_SYNTH, {}, "plays"));

    using namespace tamblit::fixtures;
    const float level = presetValue (0, kParamLevel), offset = presetValue (0, kParamOffset);
    const float tone = presetValue (0, kParamTone);
    auto dcReached = [&]
    {
        auto out = render (*instance);
        return std::abs (out.getSample (1, 0) - fixtureDc (kIdentitySynth, 1, level, offset)) < 1.0e-6f;
    };
    ASSERT_TRUE (runLoopUntil (dcReached, 5000)) << "the fixture synth never reached the output";
    EXPECT_EQ (activeSlotIn (documentOf (format, *instance)), 0);

    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 69, (juce::uint8) 100), 0);
    auto out = render (*instance, midi);
    int mismatches = 0;
    for (int channel = 0; channel < 2; ++channel)
        for (int i = 0; i < blockSize; ++i)
        {
            const float expected = fixtureDc (kIdentitySynth, channel, level, offset) + fixtureTone (69, i, sampleRate, tone);
            mismatches += std::abs (out.getSample (channel, i) - expected) < 1.0e-5f ? 0 : 1;
        }
    EXPECT_EQ (mismatches, 0);
    instance->releaseResources();
}

TEST_P (Formats, EditorOpensWithThePanel)
{
    const auto format = GetParam();
    SCOPED_TRACE (nameOf (format));
    auto instance = load (format);
    ASSERT_NE (instance, nullptr);
    std::unique_ptr<juce::AudioProcessorEditor> editor (instance->createEditorIfNeeded());
    ASSERT_NE (editor, nullptr);
    editor->addToDesktop (juce::ComponentPeer::windowHasTitleBar);
    editor->setVisible (true);
    const bool sized = runLoopUntil ([&] { return editor->getWidth() == 368 && editor->getHeight() == 384; }, 5000);
    EXPECT_TRUE (sized) << editor->getWidth() << "x" << editor->getHeight();
    EXPECT_TRUE (editor->isShowing());
    editor.reset();
    runLoopFor (100);
}

INSTANTIATE_TEST_SUITE_P (Builds, Formats, ::testing::Values (Format::vst3, Format::lv2),
                          [] (const auto& info) { return std::string (nameOf (info.param)); });

TEST (PluginFormats, StateSavedFromVst3RestoresIntoLv2AndVst2)
{
    auto vst3 = load (Format::vst3);
    ASSERT_NE (vst3, nullptr);
    vst3->prepareToPlay (sampleRate, blockSize);
    const auto name = juce::String::fromUTF8 ("Across formats \xe2\x9c\x93");
    restore (Format::vst3, *vst3, containerDocument (1, TAMBLIT_FIXTURE_SYNTH, TAMBLIT_FIXTURE_SYNTH8, name));
    ASSERT_TRUE (runLoopUntil (
        [&]
        {
            render (*vst3);
            return activeSlotIn (documentOf (Format::vst3, *vst3)) == 1;
        },
        5000));

    const auto saved = documentOf (Format::vst3, *vst3);
    auto savedXml = juce::XmlDocument::parse (saved);
    ASSERT_NE (savedXml, nullptr) << saved;
    ASSERT_EQ (savedXml->getNumChildElements(), 3) << saved;

    auto sameContainer = [&] (const juce::String& restored)
    {
        auto xml = juce::XmlDocument::parse (restored);
        ASSERT_NE (xml, nullptr) << restored;
        auto* mainA = savedXml->getChildByName ("main_plugin");
        auto* mainB = xml->getChildByName ("main_plugin");
        ASSERT_TRUE (mainA != nullptr && mainB != nullptr);
        for (auto* attribute : { "activePlugin", "optionB0", "optionB1", "optionB2", "optionB3", "instanceName" })
            EXPECT_EQ (mainA->getStringAttribute (attribute), mainB->getStringAttribute (attribute)) << attribute;
        EXPECT_EQ (mainB->getStringAttribute ("instanceName"), name);
        int slots = 0;
        for (auto* slotA : savedXml->getChildWithTagNameIterator ("plugin"))
        {
            ++slots;
            auto* slotB = xml->getChildByAttribute ("index", slotA->getStringAttribute ("index"));
            ASSERT_NE (slotB, nullptr);
            EXPECT_TRUE (slotA->isEquivalentTo (slotB, false)) << slotA->toString() << "\n---\n" << slotB->toString();
        }
        EXPECT_EQ (slots, 2);
    };

    {
        SCOPED_TRACE ("into the LV2 build");
        auto lv2 = load (Format::lv2);
        ASSERT_NE (lv2, nullptr);
        lv2->prepareToPlay (sampleRate, blockSize);
        restore (Format::lv2, *lv2, saved);
        ASSERT_TRUE (runLoopUntil (
            [&]
            {
                render (*lv2);
                return activeSlotIn (documentOf (Format::lv2, *lv2)) == 1;
            },
            5000));
        sameContainer (documentOf (Format::lv2, *lv2));
        lv2->releaseResources();
    }
    {
        SCOPED_TRACE ("into the VST 2.x build");
        RawVstHost vst2;
        std::string error;
        ASSERT_TRUE (vst2.load (TAMBLIT_PLUGIN_PATH, error)) << error;
        vst2.start ((float) sampleRate, blockSize);
        vst2.setChunk (std::vector<char> (saved.toRawUTF8(), saved.toRawUTF8() + saved.getNumBytesAsUTF8()));
        const auto chunk = vst2.getChunk();
        sameContainer (juce::String::fromUTF8 (chunk.data(), (int) chunk.size()));
        vst2.stop();
    }
    vst3->releaseResources();
}

// Each build keeps its own watchdog, instance count and console: closing the
// last VST3 instance leaves the LV2 instance's console open and its watchdog
// switching away from a crashed slot.
TEST (PluginFormats, TwoBuildsInOneProcessKeepTheirOwnWatchdogAndConsole)
{
    const int consolesBefore = xWindowsNamed ("console");
    auto vst3 = load (Format::vst3);
    auto lv2 = load (Format::lv2);
    ASSERT_TRUE (vst3 != nullptr && lv2 != nullptr);
    vst3->prepareToPlay (sampleRate, blockSize);
    lv2->prepareToPlay (sampleRate, blockSize);
    restore (Format::vst3, *vst3, containerDocument (0, TAMBLIT_FIXTURE_SYNTH, {}, "vst3", true));
    restore (Format::lv2, *lv2, containerDocument (0, TAMBLIT_FIXTURE_BRIDGE, TAMBLIT_FIXTURE_SYNTH8, "lv2", true));
    EXPECT_TRUE (runLoopUntil ([&] { return xWindowsNamed ("console") == consolesBefore + 2; }, 5000))
        << "one console per build, got " << xWindowsNamed ("console") - consolesBefore;

    vst3->releaseResources();
    vst3.reset();
    EXPECT_TRUE (runLoopUntil ([&] { return xWindowsNamed ("console") == consolesBefore + 1; }, 5000))
        << "the LV2 build's console went with the VST3 build's: " << xWindowsNamed ("console") - consolesBefore;

    void* bridge = dlopen (TAMBLIT_FIXTURE_BRIDGE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE (bridge, nullptr);
    auto crash = reinterpret_cast<void (*)()> (dlsym (bridge, "tamblit_fixture_crash_all"));
    ASSERT_NE (crash, nullptr);
    crash();
    dlclose (bridge);
    EXPECT_TRUE (runLoopUntil (
        [&]
        {
            render (*lv2);
            return activeSlotIn (documentOf (Format::lv2, *lv2)) == 1;
        },
        5000))
        << "the LV2 build's watchdog did not switch away from the crashed slot";
    lv2->releaseResources();
}

// LV2 hosts read the bundle through lilv; Debian's lilv tools must accept it.
TEST (PluginFormats, Lv2MetadataIsValidForLilv)
{
    const auto path = juce::File (TAMBLIT_LV2_BUNDLE).getParentDirectory().getFullPathName();
    const std::string env = "LV2_PATH='" + path.toStdString() + "' ";

    const auto listed = run (env + "lv2ls");
    EXPECT_NE (listed.find (lv2Uri), std::string::npos) << listed;
    EXPECT_EQ (listed.find ("error"), std::string::npos) << listed;

    const auto info = juce::String (run (env + "lv2info " + lv2Uri));
    EXPECT_FALSE (info.containsIgnoreCase ("error")) << info;
    EXPECT_FALSE (info.containsIgnoreCase ("warning")) << info;
    EXPECT_FALSE (info.contains ("exit status")) << info;
    EXPECT_EQ (info.upToFirstOccurrenceOf ("\n", false, false), juce::String (lv2Uri));
    for (auto* expected :
         { "Name:              PluginTamblit(Synth)", "Binary:            file://" TAMBLIT_LV2_BUNDLE "/PluginTamblitSynth.so",
           "http://lv2plug.in/ns/ext/urid#map", "http://lv2plug.in/ns/ext/state#interface", "http://lv2plug.in/ns/extensions/ui#X11UI" })
        EXPECT_TRUE (info.contains (expected)) << expected << "\n" << info;

    // Two audio outputs, no audio inputs, one atom input (MIDI and parameter changes).
    // Each port's block lists its classes in no fixed order.
    int audioOut = 0, audioIn = 0, atomIn = 0;
    for (auto block = info.fromFirstOccurrenceOf ("\tPort ", false, false); block.isNotEmpty();
         block = block.fromFirstOccurrenceOf ("\tPort ", false, false))
    {
        const auto port = block.upToFirstOccurrenceOf ("\tPort ", false, false);
        const bool input = port.contains ("lv2core#InputPort");
        audioOut += port.contains ("lv2core#AudioPort") && ! input ? 1 : 0;
        audioIn += port.contains ("lv2core#AudioPort") && input ? 1 : 0;
        atomIn += port.contains ("atom#AtomPort") && input ? 1 : 0;
    }
    EXPECT_EQ (audioOut, 2) << info;
    EXPECT_EQ (audioIn, 0) << info;
    EXPECT_EQ (atomIn, 1) << info;

    // The class and MIDI input as the bundle states them (lilv names classes only
    // when the lv2 package's own vocabulary bundles are installed).
    const auto dsp = juce::File (TAMBLIT_LV2_BUNDLE).getChildFile ("dsp.ttl").loadFileAsString();
    EXPECT_TRUE (dsp.contains ("a lv2:InstrumentPlugin"));
    EXPECT_TRUE (dsp.contains ("midi:MidiEvent"));
}

// `cmake --install` puts the three builds and their scanners where Linux hosts
// look: staged under DESTDIR, with a prefix for a system install.
TEST (PluginInstall, EveryFormatLandsWhereHostsLookWithItsScanner)
{
    const auto stage = juce::File::createTempFile ("install");
    ASSERT_TRUE (stage.createDirectory());
    const auto prefix = stage.getChildFile ("prefix");
    const auto destDir = stage.getChildFile ("dest");
    // Another user's home than the one that configured the build: a user install
    // follows whoever installs.
    const auto home = stage.getChildFile ("home/someone");
    const auto output = run ("HOME='" + home.getFullPathName().toStdString() + "' DESTDIR='" + destDir.getFullPathName().toStdString()
                             + "' '" TAMBLIT_CMAKE_COMMAND "' --install '" TAMBLIT_BINARY_DIR "' --component plugin --prefix '"
                             + prefix.getFullPathName().toStdString() + "'");
    EXPECT_EQ (output.find ("exit status"), std::string::npos) << output;

    // Each destination is ~/.vst, ~/.vst3, ~/.lv2 of the installing user (HOME
    // read at install time) or <prefix>/lib/vst, lib/vst3, lib/lv2.
    const auto dirs = juce::StringArray::fromTokens (TAMBLIT_INSTALL_DIRS, "|", "");
    ASSERT_EQ (dirs.size(), 3);
    const char* expectedEnds[] = { "vst", "vst3", "lv2" };
    auto placed = [&] (int index)
    {
        const auto dir = dirs[index];
        EXPECT_TRUE (dir == juce::String ("~/.") + expectedEnds[index] || dir == juce::String ("lib/") + expectedEnds[index]) << dir;
        const auto full = dir.startsWith ("~/") ? home.getFullPathName() + dir.substring (1) : prefix.getChildFile (dir).getFullPathName();
        return destDir.getFullPathName() + full;
    };
    const auto arch = juce::String (TAMBLIT_SYSTEM_PROCESSOR) + "-linux";
    const struct
    {
        int dir;
        juce::String file;
    } table[] = {
        { 0, "PluginTamblitSynth.so" },
        { 0, "Contents/Resources/Scanlet64" },
        { 1, "PluginTamblitSynth.vst3/Contents/" + arch + "/PluginTamblitSynth.so" },
        { 1, "PluginTamblitSynth.vst3/Contents/Resources/Scanlet64" },
        { 2, "PluginTamblitSynth.lv2/PluginTamblitSynth.so" },
        { 2, "PluginTamblitSynth.lv2/manifest.ttl" },
        { 2, "PluginTamblitSynth.lv2/dsp.ttl" },
        { 2, "PluginTamblitSynth.lv2/Contents/Resources/Scanlet64" },
    };
    for (auto& row : table)
    {
        const juce::File file (placed (row.dir) + "/" + row.file);
        EXPECT_TRUE (file.existsAsFile()) << file.getFullPathName();
        if (row.file.endsWith ("Scanlet64"))
        {
            EXPECT_EQ (access (file.getFullPathName().toRawUTF8(), X_OK), 0) << file.getFullPathName();
        }
    }
    stage.deleteRecursively();
}
