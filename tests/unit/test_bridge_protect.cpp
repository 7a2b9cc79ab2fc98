// Protected slots: one click (or one attribute in the project) runs a slot's
// plug-in in a worker process of its own, through a stand-in the container
// makes in its cache folder. Driven through the built container as a host
// drives it, and through the panel.
#include "FixtureCrasher.h"
#include "crash/AudioProcessorState.h"
#include "loading/ProtectedLoad.h"
#include "processor/StateCodec.h"
#include "support/TestHelpers.h"
#include "test_bridge_support.h"
#include "ui/GUI.h"
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

using namespace testing_support;
using namespace bridge_test;
namespace fx = tamblit::fixtures;

namespace
{
    constexpr int blockSize = 256;

    void startContainer (RawVstHost& host)
    {
        std::string error;
        ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
        host.start (48000.0f, blockSize);
    }

    // Blocks with a chord starting in the second one: notes and constant parts.
    std::vector<std::vector<float>> play (RawVstHost& host, int blocks)
    {
        std::vector<std::vector<float>> all;
        for (int b = 0; b < blocks; ++b)
        {
            std::vector<VstMidiEvent> events;
            if (b == 1)
                events = { noteOn (60, 17), noteOn (64, 100) };
            for (auto& channel : host.process (blockSize, events))
                all.push_back (channel);
        }
        return all;
    }

    const juce::XmlElement* pluginElement (const juce::XmlElement& root, int index)
    {
        return root.getChildByAttribute ("index", juce::String (index));
    }

    juce::File bridgeResources ()
    {
        return juce::File (TAMBLIT_PLUGIN_PATH).getSiblingFile ("Contents/Resources");
    }

    std::vector<juce::String> filesIn (const juce::File& dir)
    {
        std::vector<juce::String> names;
        for (auto& entry : juce::RangedDirectoryIterator (dir, true, "*", juce::File::findFiles))
            names.push_back (entry.getFile().getFullPathName());
        std::sort (names.begin(), names.end());
        return names;
    }
}

// The same plug-in, the same notes, the same parameters: protected or not, the
// host hears the same samples; protected, it runs in a worker of its own and
// nothing is written where hosts look for plug-ins.
TEST (ProtectedSlot, PlaysBitIdenticalToTheSamePluginUnprotected)
{
    FreshCache cache;
    const auto pluginsBefore = filesIn (juce::File (TAMBLIT_FIXTURE_DIR));
    std::vector<std::vector<float>> heard[2];
    for (int isProtected = 0; isProtected < 2; ++isProtected)
    {
        SCOPED_TRACE (isProtected ? "protected" : "in the host's process");
        const auto workersBefore = workersRunning (TAMBLIT_FIXTURE_SYNTH);
        RawVstHost host;
        startContainer (host);
        host.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_SYNTH, "", isProtected == 1, { 0.7f, 0.2f, 0.9f } } } })));
        heard[isProtected] = play (host, 40);
        EXPECT_EQ (workersRunning (TAMBLIT_FIXTURE_SYNTH).size() - workersBefore.size(), (size_t) isProtected);
        host.close();
    }
    ASSERT_EQ (heard[0].size(), heard[1].size());
    EXPECT_NE (heard[0][2][0], 0.0f); // it played
    EXPECT_TRUE (heard[0] == heard[1]);

    // The stand-in and its side file live in the cache; the plug-in folder is untouched.
    EXPECT_EQ (filesIn (juce::File (TAMBLIT_FIXTURE_DIR)), pluginsBefore);
    const auto cached = filesIn (cache.folder);
    ASSERT_EQ (cached.size(), 2u);
    EXPECT_TRUE (cached[0].endsWith ("/fixture-synth.so"));
    EXPECT_TRUE (cached[1].endsWith ("/fixture-synth.so.target"));
}

// The project names the plug-in, not its stand-in, and says the slot is
// protected; another machine (a fresh cache) opens it protected with its state.
TEST (ProtectedSlot, ProjectRestoresProtectedInAFreshInstanceWithAFreshCache)
{
    std::vector<char> saved;
    {
        FreshCache cache;
        RawVstHost first;
        startContainer (first);
        first.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_SYNTH, "", true } } })));
        first.dispatch (effSetProgram, 0, 2);
        first.effect()->setParameter (first.effect(), fx::kParamLevel, 0.625f);
        first.effect()->setParameter (first.effect(), fx::kParamTone, 0.375f);
        saved = first.getChunk();
        first.close();
    }
    auto root = juce::XmlDocument::parse (fromBytes (saved));
    ASSERT_NE (root, nullptr);
    auto* element = pluginElement (*root, 0);
    ASSERT_NE (element, nullptr);
    EXPECT_EQ (element->getStringAttribute ("filePath"), juce::String (TAMBLIT_FIXTURE_SYNTH));
    EXPECT_EQ (element->getStringAttribute ("protected"), "1");

    FreshCache otherMachine;
    const auto workersBefore = workersRunning (TAMBLIT_FIXTURE_SYNTH);
    RawVstHost second;
    startContainer (second);
    second.setChunk (saved);
    EXPECT_EQ (workersRunning (TAMBLIT_FIXTURE_SYNTH).size(), workersBefore.size() + 1);
    EXPECT_EQ (filesIn (otherMachine.folder).size(), 2u);
    EXPECT_EQ (second.effect()->getParameter (second.effect(), fx::kParamLevel), 0.625f);

    auto restored = juce::XmlDocument::parse (fromBytes (second.getChunk()));
    ASSERT_NE (restored, nullptr);
    ASSERT_NE (pluginElement (*restored, 0), nullptr);
    EXPECT_TRUE (pluginElement (*restored, 0)->isEquivalentTo (element, false)) << pluginElement (*restored, 0)->toString() << "\n---\n"
                                                                                << element->toString();
    second.close();
}

// What a reader that does not know the attribute sees: the saved element less
// `protected` is a plain slot of the real plug-in with the same state, and a
// document without the attribute loads in the host's process as always.
TEST (ProtectedSlot, DocumentsWithoutTheAttributeLoadTheRealPluginInTheHostsProcess)
{
    FreshCache cache;
    std::vector<char> saved;
    {
        RawVstHost first;
        startContainer (first);
        first.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_SYNTH, "", true, { 0.3f, 0.1f, 0.8f } } } })));
        saved = first.getChunk();
        first.close();
    }
    auto protectedRoot = juce::XmlDocument::parse (fromBytes (saved));
    ASSERT_NE (protectedRoot, nullptr);
    auto stripped = std::make_unique<juce::XmlElement> (*protectedRoot);
    stripped->getChildByAttribute ("index", "0")->removeAttribute ("protected");

    const struct
    {
        const char* what;
        juce::String text;
    } rows[] = {
        { "saved protected, attribute removed", stripped->toString() },
        { "written without the attribute", document ({ { 0, { TAMBLIT_FIXTURE_SYNTH, "", false, { 0.3f, 0.1f, 0.8f } } } }) },
    };
    for (auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        const auto workersBefore = workersRunning (TAMBLIT_FIXTURE_SYNTH);
        RawVstHost host;
        startContainer (host);
        host.setChunk (toBytes (row.text));
        EXPECT_EQ (workersRunning (TAMBLIT_FIXTURE_SYNTH), workersBefore);
        auto root = juce::XmlDocument::parse (fromBytes (host.getChunk()));
        ASSERT_NE (root, nullptr);
        auto* element = pluginElement (*root, 0);
        ASSERT_NE (element, nullptr);
        EXPECT_FALSE (element->hasAttribute ("protected"));
        EXPECT_EQ (element->getStringAttribute ("filePath"), juce::String (TAMBLIT_FIXTURE_SYNTH));
        EXPECT_EQ (element->getStringAttribute ("binData"), pluginElement (*protectedRoot, 0)->getStringAttribute ("binData"));
        EXPECT_TRUE (element->getChildByName ("f_parameters")
                         ->isEquivalentTo (pluginElement (*protectedRoot, 0)->getChildByName ("f_parameters"), false));
        host.close();
    }
}

// A shell file's sub-plug-in runs protected: the stand-in of the shell serves
// the chosen one.
TEST (ProtectedSlot, ShellSubPluginRunsProtected)
{
    FreshCache cache;
    const auto workersBefore = workersRunning (TAMBLIT_FIXTURE_SHELL);
    RawVstHost host;
    startContainer (host);
    host.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_SHELL, "Delta", true } } })));
    EXPECT_EQ (workersRunning (TAMBLIT_FIXTURE_SHELL).size(), workersBefore.size() + 1);
    const auto block = host.process (blockSize);
    EXPECT_NEAR (identityOf (block, fx::presetValue (0, fx::kParamLevel)), fx::kIdentityShellSub[4], 1e-4f);
    auto root = juce::XmlDocument::parse (fromBytes (host.getChunk()));
    ASSERT_NE (root, nullptr);
    EXPECT_EQ (pluginElement (*root, 0)->getStringAttribute ("loadedPluginName"), "Delta");
    EXPECT_EQ (pluginElement (*root, 0)->getStringAttribute ("protected"), "1");
    host.close();
}

// Two hosts protecting the same plug-in at the same moment, on a machine that
// never made its stand-in: both play, and the cache holds one complete stand-in.
TEST (ProtectedSlot, TwoHostsProtectTheSameFileAtOnce)
{
    const std::string render = TAMBLIT_BINARY_DIR "/tools/render/tamblit-render";
    for (int round = 0; round < 3; ++round)
    {
        SCOPED_TRACE (round);
        FreshCache cache;
        std::vector<std::thread> hosts;
        std::vector<int> codes (4, -1);
        std::vector<std::string> outputs (4);
        for (int h = 0; h < 4; ++h)
            hosts.emplace_back (
                [&, h]
                {
                    codes[(size_t) h] = runCommand ("'" + render
                                                        + "' --fast --quiet --seconds 1 --slot0 '" TAMBLIT_FIXTURE_SYNTH
                                                          "' --protect-slot0 --out '"
                                                        + cache.folder.getFullPathName().toStdString() + "/out" + std::to_string (h)
                                                        + ".wav'",
                                                    &outputs[(size_t) h]);
                });
        for (auto& thread : hosts)
            thread.join();
        for (int h = 0; h < 4; ++h)
            EXPECT_EQ (codes[(size_t) h], 0) << outputs[(size_t) h];

        const auto standIns = filesIn (cache.folder.getChildFile ("tamblit"));
        ASSERT_EQ (standIns.size(), 2u) << juce::StringArray (standIns.data(), (int) standIns.size()).joinIntoString ("\n");
        juce::MemoryBlock copy, original;
        ASSERT_TRUE (juce::File (standIns[0]).loadFileAsData (copy));
        ASSERT_TRUE (bridgeResources().getChildFile ("tamblit-bridge-plugin").loadFileAsData (original));
        EXPECT_TRUE (copy == original);
        EXPECT_TRUE (juce::File (standIns[1]).loadFileAsString().startsWith ("target=" TAMBLIT_FIXTURE_SYNTH "\n"));
    }
}

// A real segfault in a protected, active slot: the host lives, the other slot
// plays after the watchdog's tick, and the slot comes back protected in a
// fresh worker with the state it had.
TEST (ProtectedSlot, SegfaultHandsOverAndTheSlotComesBackProtectedWithItsState)
{
    FreshCache cache;
    RawVstHost host;
    startContainer (host);
    host.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_CRASHER, "", true } }, { 1, { TAMBLIT_FIXTURE_SYNTH, "", false } } }, 0,
                                      { { false, true, true, true } })));
    host.effect()->setParameter (host.effect(), fx::kParamLevel, 0.75f);
    host.effect()->setParameter (host.effect(), fx::kParamTone, 0.25f);
    const auto before = juce::XmlDocument::parse (fromBytes (host.getChunk()));
    ASSERT_NE (before, nullptr);
    const auto workers = workersRunning (TAMBLIT_FIXTURE_CRASHER);
    ASSERT_EQ (workers.size(), 1u);
    EXPECT_NEAR (identityOf (host.process (blockSize), 0.75f), fx::kIdentityCrasher, 1e-4f);

    host.process (blockSize, { noteOn (fx::kCrasherNoteSegfault) });
    bool otherSlotHeard = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds (5);
    while (! otherSlotHeard && std::chrono::steady_clock::now() < end)
    {
        const auto block = host.process (blockSize);
        otherSlotHeard = std::abs (identityOf (block, fx::presetValue (0, fx::kParamLevel)) - fx::kIdentitySynth) < 1e-4f;
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
    EXPECT_TRUE (otherSlotHeard);

    // Recovery starts a fresh worker for the same plug-in.
    std::set<pid_t> now;
    const auto recovered = std::chrono::steady_clock::now() + std::chrono::seconds (10);
    while (std::chrono::steady_clock::now() < recovered)
    {
        now = workersRunning (TAMBLIT_FIXTURE_CRASHER);
        if (now.size() == 1 && *now.begin() != *workers.begin())
            break;
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
    }
    ASSERT_EQ (now.size(), 1u);
    EXPECT_NE (*now.begin(), *workers.begin());

    auto after = juce::XmlDocument::parse (fromBytes (host.getChunk()));
    ASSERT_NE (after, nullptr);
    EXPECT_EQ (after->getChildByName ("main_plugin")->getIntAttribute ("activePlugin"), 1);
    ASSERT_NE (pluginElement (*after, 0), nullptr);
    EXPECT_TRUE (pluginElement (*after, 0)->isEquivalentTo (pluginElement (*before, 0), false))
        << pluginElement (*after, 0)->toString() << "\n---\n"
        << pluginElement (*before, 0)->toString();
    host.close();
}

namespace
{
    struct PluginState
    {
        juce::MemoryBlock chunk;
        int program = -1;
        juce::Array<float> parameters;

        bool operator== (const PluginState& other) const
        {
            return chunk == other.chunk && program == other.program && parameters == other.parameters;
        }
    };

    PluginState stateOf (juce::AudioPluginInstance* instance)
    {
        PluginState state;
        if (instance == nullptr)
            return state;
        instance->getStateInformation (state.chunk);
        state.program = instance->getCurrentProgram();
        for (auto* parameter : instance->getParameters())
            state.parameters.add (parameter->getValue());
        return state;
    }

    // Slot 0's status line once the panel has painted (it follows the processor at every paint).
    juce::String statusAfterPaint (GUI& panel)
    {
        juce::Image image (juce::Image::ARGB, panel.getWidth(), panel.getHeight(), true);
        juce::Graphics g (image);
        panel.paintEntireComponent (g, false);
        return panel.loadedPlugin1->getText();
    }

    // The container's panel inside its editor, as the user sees it.
    GUI* panelOf (juce::AudioProcessorEditor& editor)
    {
        for (auto* child : editor.getChildren())
            if (auto* gui = dynamic_cast<GUI*> (child))
                return gui;
        return nullptr;
    }
}

// The user ticks "Protected" on a loaded slot and unticks it again: each time
// the plug-in is reloaded the other way with its chunk, program and parameters;
// a crash in the worker shows on the panel with its signal, and "Recover"
// brings it back protected.
TEST (ProtectedSlot, PanelToggleKeepsTheStateAndShowsACrashWithItsSignal)
{
    FreshCache cache;
    ScopedEnvironment resources ("TAMBLIT_BRIDGE_RESOURCES", bridgeResources().getFullPathName().toStdString());
    auto processor = std::make_unique<PluginContainerAudioProcessor>();
    processor->setPlayConfigDetails (0, 2, 48000.0, blockSize);
    processor->prepareToPlay (48000.0, blockSize);
    processor->setOption (ContainerOption::reloadCrashedPluginData, true);
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_CRASHER, ""));
    auto* instance = processor->getAudioPluginInstance (0);
    instance->setCurrentProgram (3);
    instance->getParameters()[fx::kParamLevel]->setValue (0.8125f);
    instance->getParameters()[fx::kParamTone]->setValue (0.1875f);
    const auto state = stateOf (instance);

    std::unique_ptr<juce::AudioProcessorEditor> editor (processor->createEditor());
    ASSERT_NE (editor, nullptr);
    auto* panel = panelOf (*editor);
    ASSERT_NE (panel, nullptr);
    EXPECT_FALSE (panel->protectPlugin0->getToggleState());

    for (bool protect : { true, false, true })
    {
        SCOPED_TRACE (protect);
        panel->protectPlugin0->setToggleState (protect, juce::sendNotificationSync);
        EXPECT_EQ (processor->isSlotProtected (0), protect);
        EXPECT_EQ (workerOf (processor->getAudioPluginInstance (0)) > 0, protect);
        EXPECT_TRUE (stateOf (processor->getAudioPluginInstance (0)) == state);
        EXPECT_EQ (statusAfterPaint (*panel), protect ? "Status: OK, protected" : "Status: OK");
    }

    // A real segfault in the worker.
    renderWithNote (*processor, fx::kCrasherNoteSegfault);
    ASSERT_TRUE (runLoopUntil ([&] { return processor->checkIfPluginCrashed (0); }, 3000));
    EXPECT_EQ (processor->getCrashSignal (0), SIGSEGV);
    EXPECT_EQ (statusAfterPaint (*panel), "Status: CRASHED (SIGSEGV)");
    EXPECT_EQ (panel->plugin1Edit->getButtonText(), "Recover");

    processor->recoverPlugin (0);
    EXPECT_TRUE (processor->isSlotProtected (0));
    EXPECT_GT (workerOf (processor->getAudioPluginInstance (0)), 0);
    EXPECT_TRUE (stateOf (processor->getAudioPluginInstance (0)) == state);

    // As a host's wrapper does: the processor lets go of its editor first.
    processor->editorBeingDeleted (editor.get());
    editor.reset();
    processor->unloadPlugin (0, false, true);
}

// A slot asked to run protected when the bridge is not installed says so and
// keeps running its plug-in as before.
TEST (ProtectedSlot, WithoutTheBridgeTheSlotKeepsRunningAsBefore)
{
    FreshCache cache;
    ScopedEnvironment resources ("TAMBLIT_BRIDGE_RESOURCES", cache.folder.getFullPathName().toStdString());
    auto processor = std::make_unique<PluginContainerAudioProcessor>();
    processor->setPlayConfigDetails (0, 2, 48000.0, blockSize);
    processor->prepareToPlay (48000.0, blockSize);
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    processor->getAudioPluginInstance (0)->getParameters()[fx::kParamLevel]->setValue (0.4375f);
    const auto state = stateOf (processor->getAudioPluginInstance (0));

    EXPECT_FALSE (processor->setSlotProtected (0, true));
    EXPECT_FALSE (processor->isSlotProtected (0));
    EXPECT_TRUE (stateOf (processor->getAudioPluginInstance (0)) == state);
    processor->unloadPlugin (0, false, true);
}
