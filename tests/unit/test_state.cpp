// The container's saved state: the document it writes, and what restoring
// hand-written and damaged documents does to the slots.
#include "FixtureSignal.h"
#include "console/LogLines.h"
#include "console/KTDebugConsole.h"
#include "crash/AudioProcessorState.h"
#include "loading/FxbImageCheck.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "support/TestHelpers.h"
#include "test_loading_support.h"
#include <gtest/gtest.h>
#include <cmath>
#include <future>
#include <iostream>

using namespace testing_support;
namespace fx = tamblit::fixtures;

namespace
{
    struct State : ::testing::Test
    {
        void SetUp () override
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setPlayConfigDetails (0, 2, 48000.0, 256);
            lines = std::make_unique<ConsoleLines> (*processor);
        }

        void TearDown () override
        {
            lines.reset();
            processor.reset();
            console = false;
        }

        juce::String save ()
        {
            juce::MemoryBlock block;
            processor->getStateInformation (block);
            return juce::String::fromUTF8 (static_cast<const char*> (block.getData()), (int) block.getSize());
        }

        void restore (const juce::String& text) { processor->setStateInformation (text.toRawUTF8(), (int) text.getNumBytesAsUTF8()); }

        // A document with a main_plugin that keeps the console open (the tests read its lines).
        static juce::String
        doc (const juce::String& body,
             const juce::String& main =
                 "activePlugin=\"0\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"restored\"")
        {
            return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<pluginData>\n<main_plugin " + main + "/>\n" + body + "</pluginData>\n";
        }

        static juce::String pluginElement (int index, const juce::String& path, const juce::String& extra = {})
        {
            return "<plugin index=\"" + juce::String (index) + "\" filePath=\"" + path + "\" " + extra + "/>\n";
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        std::unique_ptr<ConsoleLines> lines;
    };
}

TEST_F (State, EmptyContainerWritesOnlyTheMainElementWithAttributesInTheirPositions)
{
    processor->setInstanceName ("empty one");
    const auto text = save();

    EXPECT_TRUE (text.startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    auto root = juce::XmlDocument::parse (text);
    ASSERT_NE (root, nullptr);
    EXPECT_EQ (root->getTagName(), "pluginData");
    EXPECT_EQ (root->getNumAttributes(), 0);
    ASSERT_EQ (root->getNumChildElements(), 1);
    EXPECT_TRUE (lines->contains ("empty one:" + logLines::childElements (1)));

    auto* main = root->getChildElement (0);
    const char* expectedNames[] = { "activePlugin", "optionB0", "optionB1", "optionB2", "optionB3", "instanceName",
                                    "windowName",   "x",        "y",        "w",        "h" };
    // The switch settings follow the positional attributes, read by name.
    ASSERT_EQ (main->getNumAttributes(), 13);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ (main->getAttributeName (i), expectedNames[i]) << i;
    EXPECT_EQ (main->getStringAttribute ("switchFadeMs"), "20");
    EXPECT_EQ (main->getStringAttribute ("letNotesRing"), "0");
    EXPECT_EQ (main->getStringAttribute ("optionB0"), "1") << "the console is open while lines are read";
    EXPECT_EQ (main->getStringAttribute ("optionB1"), "0");
    EXPECT_EQ (main->getStringAttribute ("optionB2"), "1");
    EXPECT_EQ (main->getStringAttribute ("windowName"), "PluginTamblit console");
    EXPECT_FALSE (ktdebugconsolesizeset);
}

// The switch settings travel with the project; a project saved before they
// existed switches with a cut, as it did then.
TEST_F (State, SwitchSettingsComeBackAndOlderProjectsCut)
{
    EXPECT_EQ (processor->getSwitchFadeMs(), switchSettings::defaultFadeMs);
    EXPECT_FALSE (processor->getLetNotesRing());
    processor->setSwitchFadeMs (35);
    processor->setLetNotesRing (true);
    const auto saved = save();

    auto other = std::make_unique<PluginContainerAudioProcessor>();
    other->setStateInformation (saved.toRawUTF8(), (int) saved.getNumBytesAsUTF8());
    EXPECT_EQ (other->getSwitchFadeMs(), 35);
    EXPECT_TRUE (other->getLetNotesRing());

    other->setStateInformation (doc ({}).toRawUTF8(), (int) doc ({}).getNumBytesAsUTF8());
    EXPECT_EQ (other->getSwitchFadeMs(), 0);
    EXPECT_FALSE (other->getLetNotesRing());
    other.reset();

    processor->setSwitchFadeMs (5000);
    EXPECT_EQ (processor->getSwitchFadeMs(), switchSettings::maximumFadeMs);
    processor->setSwitchFadeMs (-1);
    EXPECT_EQ (processor->getSwitchFadeMs(), 0);
}

TEST_F (State, SavedSlotCarriesFileProgramChunkAndEveryParameter)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    auto* instance = processor->getAudioPluginInstance (0);
    instance->setCurrentProgram (3);
    instance->getParameters()[5]->setValue (0.3f);

    auto root = juce::XmlDocument::parse (save());
    ASSERT_NE (root, nullptr);
    ASSERT_EQ (root->getNumChildElements(), 2);
    auto* plugin = root->getChildElement (1);
    const char* order[] = { "index",     "filePath",       "numInputs",        "numOutputs",  "name",
                            "numParams", "currentProgram", "loadedPluginName", "binDataSize", "binData" };
    ASSERT_EQ (plugin->getNumAttributes(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ (plugin->getAttributeName (i), order[i]) << i;
    EXPECT_EQ (plugin->getStringAttribute ("filePath"), TAMBLIT_FIXTURE_SYNTH);
    EXPECT_EQ (plugin->getIntAttribute ("currentProgram"), 3);
    EXPECT_EQ (plugin->getIntAttribute ("numParams"), fx::kNumParams);

    juce::MemoryBlock blob;
    ASSERT_TRUE (blob.fromBase64Encoding (plugin->getStringAttribute ("binData")));
    EXPECT_EQ ((int) blob.getSize(), plugin->getIntAttribute ("binDataSize"));
    EXPECT_TRUE (lines->contains (logLines::binaryDataSize ((int) blob.getSize())));

    auto* values = plugin->getChildByName ("f_parameters");
    ASSERT_NE (values, nullptr);
    ASSERT_EQ (values->getNumAttributes(), fx::kNumParams);
    EXPECT_EQ (values->getAttributeName (0), "param0");
    EXPECT_EQ ((float) values->getDoubleAttribute ("param5"), 0.3f);

    // Saving refreshed the recovery snapshot.
    ASSERT_NE (processor->getPluginState (0), nullptr);
    EXPECT_EQ (processor->getPluginState (0)->current_program, 3);
}

TEST_F (State, DocumentsFillEmptyAndKeepSlotsAsTheyName)
{
    struct Case
    {
        const char* what;
        juce::String body;
        bool slot0;
        bool slot1;
    };
    const Case cases[] = {
        { "no plugin elements empties both slots", "", false, false },
        { "only slot 1 named empties slot 0", pluginElement (1, TAMBLIT_FIXTURE_SYNTH), false, true },
        { "both named", pluginElement (0, TAMBLIT_FIXTURE_SYNTH) + pluginElement (1, TAMBLIT_FIXTURE_SYNTH8), true, true },
        { "an element without index touches nothing", "<plugin filePath=\"" TAMBLIT_FIXTURE_SYNTH "\"/>\n", false, false },
        { "unknown children are skipped", "<other a=\"1\"/>\n" + pluginElement (0, TAMBLIT_FIXTURE_SYNTH), true, false },
    };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH8, ""));
        ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, ""));
        restore (doc (c.body));
        EXPECT_EQ (processor->getAudioPluginInstance (0) != nullptr, c.slot0);
        EXPECT_EQ (processor->getAudioPluginInstance (1) != nullptr, c.slot1);
        EXPECT_EQ (processor->getInstanceName(), "restored");
        EXPECT_TRUE (lines->contains ("restored:" + logLines::activePluginIndex (0)));
    }
}

TEST_F (State, ProgramChunkAndParametersAreAppliedInThatOrderThenSnapshotted)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    auto* instance = processor->getAudioPluginInstance (0);
    instance->setCurrentProgram (1);
    instance->changeProgramName (1, "Kept bass");
    instance->getParameters()[7]->setValue (0.625f);
    const auto saved = save();

    // Parameters saved separately win over what the chunk and program hold.
    auto root = juce::XmlDocument::parse (saved);
    root->getChildElement (1)->getChildByName ("f_parameters")->setAttribute ("param7", 0.875);
    processor->unloadPlugin (0, false, true);
    lines->clear();
    restore (root->toString());

    auto* restored = processor->getAudioPluginInstance (0);
    ASSERT_NE (restored, nullptr);
    EXPECT_EQ (restored->getCurrentProgram(), 1);
    EXPECT_EQ (restored->getProgramName (1), "Kept bass");
    EXPECT_FLOAT_EQ (restored->getParameters()[7]->getValue(), 0.875f);
    EXPECT_TRUE (lines->contains (logLines::settingCurrentProgram (1)));
    EXPECT_TRUE (lines->contains ("default instance: " + logLines::settingParameters (10)));
    ASSERT_NE (processor->getPluginState (0), nullptr);
    EXPECT_FLOAT_EQ (processor->getPluginState (0)->parameters[7], 0.875f);
}

TEST_F (State, PluginWithoutProgramsOrParametersRestoresWithoutThem)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_BARE, ""));
    auto root = juce::XmlDocument::parse (save());
    auto* plugin = root->getChildElement (1);
    EXPECT_FALSE (plugin->hasAttribute ("currentProgram"));
    EXPECT_EQ (plugin->getIntAttribute ("numParams"), 0);
    EXPECT_EQ (plugin->getChildByName ("f_parameters"), nullptr);

    lines->clear();
    restore (root->toString());
    EXPECT_NE (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_TRUE (lines->contains (logLines::noParameterElement));
    EXPECT_FALSE (lines->contains (logLines::settingCurrentProgram (0)));
    EXPECT_EQ (processor->getPluginState (0)->current_program, -1);
}

TEST_F (State, EmptyBinDataLoadsThePluginWithItsDefaults)
{
    restore (doc (pluginElement (0, TAMBLIT_FIXTURE_SYNTH, "binDataSize=\"12\" binData=\"\"")));
    ASSERT_NE (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_TRUE (lines->contains (logLines::binDataSizes (0, 12)));
    EXPECT_TRUE (lines->contains (logLines::dataSizeZero));
    EXPECT_TRUE (lines->contains ("restored:" + logLines::memBlockDataSize (0)));
    EXPECT_EQ (processor->getAudioPluginInstance (0)->getCurrentProgram(), 0);
}

TEST_F (State, NonAsciiPathAndNameRestoreUnchanged)
{
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                            .getChildFile (juce::String::fromUTF8 ("tamblit \xc3\xa9t\xc3\xa9 \xe2\x98\x83"));
    folder.createDirectory();
    const auto copy = folder.getChildFile (juce::String::fromUTF8 ("s\xc3\xbd"
                                                                   "nth.so"));
    ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_SYNTH).copyFileTo (copy));

    ASSERT_TRUE (processor->loadPlugin (1, copy.getFullPathName(), ""));
    processor->setInstanceName (juce::String::fromUTF8 ("B\xc3\xbchne \xe2\x99\xab"));
    const auto saved = save();
    processor->unloadPlugin (1, false, true);
    processor->setInstanceName ("x");

    restore (saved);
    EXPECT_EQ (processor->getPluginFilePath (1), copy.getFullPathName());
    EXPECT_EQ (processor->getInstanceName(), juce::String::fromUTF8 ("B\xc3\xbchne \xe2\x99\xab"));
    processor->unloadPlugin (1, false, true);
    folder.deleteRecursively();
}

TEST_F (State, MissingFileAnsweredNoLeavesTheSlotEmpty)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    loading_test::DialogScript script;
    script.then (loading_test::windowNamed ("Error"), loading_test::press ("No"));
    script.start();
    restore (
        doc (pluginElement (0, "/nonexistent/gone.so"), "activePlugin=\"0\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\""));
    EXPECT_TRUE (script.allStepsDone());
    EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_TRUE (lines->contains (juce::String ("default instance:") + logLines::failedToLoadPlugin));
}

TEST_F (State, ShortMainElementKeepsNameAndConsole)
{
    processor->setInstanceName ("kept");
    processor->setOption (3, true);
    restore (doc ("", "activePlugin=\"1\" optionB0=\"1\" optionB1=\"1\""));
    EXPECT_EQ (processor->getInstanceName(), "kept");
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_TRUE (processor->getOption (1));
    EXPECT_FALSE (processor->getOption (2)) << "missing positions read as 0";
    EXPECT_FALSE (processor->getOption (3));
}

TEST_F (State, ConsoleTitleAndBoundsApplyOnceAndNotWhenUnusable)
{
    const juce::String head = "activePlugin=\"0\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"c\" ";
    save(); // re-arms the one-time restore
    restore (doc ("", head + "windowName=\"Other title\" x=\"-1\" y=\"40\" w=\"500\" h=\"300\""));
    EXPECT_EQ (ktdebugconsole()->productName, "Other title");
    EXPECT_FALSE (ktdebugconsolesizeset);

    restore (doc ("", head + "windowName=\"Placed\" x=\"30\" y=\"40\" w=\"500\" h=\"300\""));
    EXPECT_TRUE (ktdebugconsolesizeset);
    EXPECT_EQ (ktdebugconsole()->windowX, 30);
    EXPECT_EQ (ktdebugconsole()->windowWidth, 500);

    restore (doc ("", head + "windowName=\"Later\" x=\"70\" y=\"80\" w=\"400\" h=\"200\""));
    EXPECT_EQ (ktdebugconsole()->productName, "Placed");
    EXPECT_EQ (ktdebugconsole()->windowX, 30);
}

TEST_F (State, DamagedBlobsChangeNothing)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, ""));
    auto* slot0 = processor->getAudioPluginInstance (0);
    auto* slot1 = processor->getAudioPluginInstance (1);
    const auto good = save();

    const std::string invalidUtf8 =
        "<?xml version=\"1.0\"?><pluginData><main_plugin activePlugin=\"1\" instanceName=\"\xff\xfe\"/></pluginData>";
    const std::vector<std::string> blobs = {
        "", "not xml at all", good.substring (0, good.length() / 2).toStdString(), "<other/>", "\x01\x02\x03", std::string ("\0\0\0\0", 4),
    };
    for (auto& blob : blobs)
    {
        processor->setStateInformation (blob.data(), (int) blob.size());
        EXPECT_EQ (processor->getAudioPluginInstance (0), slot0);
        EXPECT_EQ (processor->getAudioPluginInstance (1), slot1);
        EXPECT_EQ (processor->getActivePlugin(), 0);
    }
    processor->setStateInformation (nullptr, 10);
    EXPECT_EQ (processor->getAudioPluginInstance (0), slot0);

    // Text that is not valid UTF-8 is refused as a whole.
    processor->setStateInformation (invalidUtf8.data(), (int) invalidUtf8.size());
    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_EQ (processor->getAudioPluginInstance (1), slot1);
    EXPECT_TRUE (lines->contains ("default instance:" + logLines::nothingRestored (logLines::stateNotUtf8)));
    EXPECT_TRUE (lines->contains ("default instance:" + logLines::nothingRestored (logLines::stateNotWellFormedXml)));
}

TEST_F (State, OutOfRangeIndicesAreIgnoredWithALogLine)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    for (const char* index : { "2", "-7", "99999999999" })
    {
        SCOPED_TRACE (index);
        restore (doc (pluginElement (0, TAMBLIT_FIXTURE_SYNTH) + "<plugin index=\"" + juce::String (index)
                          + "\" filePath=\"" TAMBLIT_FIXTURE_SYNTH8 "\"/>\n",
                      "activePlugin=\"" + juce::String (index)
                          + "\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"r\""));
        EXPECT_EQ (processor->getActivePlugin(), 0);
        EXPECT_NE (processor->getAudioPluginInstance (0), nullptr);
        EXPECT_EQ (processor->getAudioPluginInstance (1), nullptr);
    }
    EXPECT_TRUE (lines->contains ("default instance:" + logLines::ignoringActivePlugin ("2")));
    EXPECT_TRUE (lines->contains ("r:" + logLines::ignoringPluginElement (2)));
}

TEST_F (State, ActiveIndexIsRestoredEvenWhenThatSlotFails)
{
    loading_test::DialogScript script;
    script.then (loading_test::windowNamed ("Error"), loading_test::press ("Cancel"));
    script.start();
    restore (doc (pluginElement (0, TAMBLIT_FIXTURE_SYNTH) + pluginElement (1, "/missing/x.so"),
                  "activePlugin=\"1\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"r\""));
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_NE (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_EQ (processor->getAudioPluginInstance (1), nullptr);

    // The active empty slot plays silence.
    juce::AudioBuffer<float> buffer = filledBuffer (2, 256, 0.5f);
    juce::MidiBuffer midi;
    renderLikeWrapper (*processor, buffer, midi);
    EXPECT_EQ (buffer.getMagnitude (0, 256), 0.0f);
}

TEST_F (State, RestoreFromAHostThreadRunsOnTheMessageThread)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH8, ""));
    const auto text = doc (pluginElement (1, TAMBLIT_FIXTURE_SYNTH),
                           "activePlugin=\"1\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"from host\"");
    std::atomic<bool> done { false };
    std::thread host (
        [&]
        {
            restore (text);
            done = true;
        });
    ASSERT_TRUE (runLoopUntil ([&] { return done.load(); }, 10000));
    host.join();
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_NE (processor->getAudioPluginInstance (1), nullptr);
    EXPECT_EQ (processor->getInstanceName(), "from host");
}

TEST_F (State, InputsFoundByFuzzingLeaveAConsistentContainer)
{
    // Any question these documents raise is dismissed, as a user closing it would.
    struct Dismisser : juce::Timer
    {
        Dismisser() { startTimer (20); }
        ~Dismisser() override { stopTimer(); }
        void timerCallback () override
        {
            if (auto* modal = loading_test::topModal())
                modal->exitModalState (0);
        }
    } dismisser;

    for (auto& found : juce::File (TAMBLIT_SOURCE_DIR "/tests/fuzz/regressions").findChildFiles (juce::File::findFiles, false))
    {
        SCOPED_TRACE (found.getFileName());
        const auto text = found.loadFileAsString().replace ("@FIXTURES@", TAMBLIT_FIXTURE_DIR);
        processor->setStateInformation (text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
        EXPECT_TRUE (processor->getActivePlugin() == 0 || processor->getActivePlugin() == 1);
        EXPECT_FALSE (save().isEmpty());
    }
}

TEST_F (State, DamagedHostedStateImagesAreRefusedBeforeTheHostReadsThem)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    auto* instance = processor->getAudioPluginInstance (0);
    juce::MemoryBlock good;
    instance->getStateInformation (good);
    ASSERT_GT (good.getSize(), 160u);
    EXPECT_TRUE (isSafeFxbImage (good.getData(), good.getSize(), instance->getCurrentProgram()));

    auto withBigEndian = [&good] (size_t offset, std::uint32_t value)
    {
        juce::MemoryBlock copy (good);
        auto* bytes = static_cast<unsigned char*> (copy.getData());
        bytes[offset] = (unsigned char) (value >> 24);
        bytes[offset + 1] = (unsigned char) (value >> 16);
        bytes[offset + 2] = (unsigned char) (value >> 8);
        bytes[offset + 3] = (unsigned char) value;
        return copy;
    };

    struct Case
    {
        const char* what;
        juce::MemoryBlock image;
    };
    const Case damaged[] = {
        { "truncated chunk", juce::MemoryBlock (good.getData(), good.getSize() - 1) },
        { "chunk size beyond the end", withBigEndian (156, 0x7fffffff) },
        { "negative chunk size", withBigEndian (156, 0xfffffff0) },
        { "header only", juce::MemoryBlock (good.getData(), 100) },
    };
    for (auto& c : damaged)
    {
        SCOPED_TRACE (c.what);
        EXPECT_FALSE (isSafeFxbImage (c.image.getData(), c.image.getSize(), 0));
    }

    // A bank of programs whose parameter count runs past the data.
    juce::MemoryBlock bank (156 + 56 + 4 * 4, true);
    auto* b = static_cast<char*> (bank.getData());
    std::memcpy (b, "CcnK", 4);
    std::memcpy (b + 8, "FxBk", 4);
    b[27] = 1; // one program
    std::memcpy (b + 156, "CcnK", 4);
    std::memcpy (b + 156 + 8, "FxCk", 4);
    b[156 + 27] = 4; // four parameters: fits
    EXPECT_TRUE (isSafeFxbImage (bank.getData(), bank.getSize(), 0));
    EXPECT_FALSE (isSafeFxbImage (bank.getData(), bank.getSize(), 1)) << "the current program lies past the bank";
    b[156 + 27] = 5; // five: one float past the end
    EXPECT_FALSE (isSafeFxbImage (bank.getData(), bank.getSize(), 0));

    // Restoring a document with such a block loads the plug-in but applies no state.
    auto root = juce::XmlDocument::parse (save());
    auto* plugin = root->getChildElement (1);
    plugin->setAttribute ("binData", withBigEndian (156, 0x7fffffff).toBase64Encoding());
    lines->clear();
    restore (root->toString());
    EXPECT_NE (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_TRUE (lines->contains ("default instance:" + logLines::savedStateBlockDamaged (0)));
}

TEST_F (State, DamagedBinDataCountsAreIgnored)
{
    for (const char* encoded : { "-1.abcd", "99999999.abcd", "30000000000000000000000024.ab", "no dot here" })
    {
        SCOPED_TRACE (encoded);
        lines->clear();
        restore (doc (pluginElement (0, TAMBLIT_FIXTURE_SYNTH, "binData=\"" + juce::String (encoded) + "\"")));
        EXPECT_NE (processor->getAudioPluginInstance (0), nullptr);
        EXPECT_TRUE (lines->contains (juce::String ("restored:") + logLines::binDataDamaged));
        EXPECT_TRUE (lines->contains ("restored:" + logLines::memBlockDataSize (0)));
    }
}

TEST_F (State, ControlCharactersInNamesAndPathsComeBack)
{
    const auto dir = juce::File::createTempFile ("control-names");
    ASSERT_TRUE (dir.createDirectory());
    for (int c = 1; c < 32; ++c)
    {
        SCOPED_TRACE (c);
        const auto control = juce::String::charToString ((juce::juce_wchar) c);
        const auto name = "before" + control + "after";
        const auto plugin = dir.getChildFile ("synth" + control + ".so");
        ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_SYNTH).copyFileTo (plugin));

        processor->setInstanceName (name);
        ASSERT_TRUE (processor->loadPlugin (0, plugin.getFullPathName(), ""));
        const auto saved = save();

        auto reopened = std::make_unique<PluginContainerAudioProcessor>();
        reopened->setPlayConfigDetails (0, 2, 48000.0, 256);
        reopened->setStateInformation (saved.toRawUTF8(), (int) saved.getNumBytesAsUTF8());
        EXPECT_EQ (reopened->getInstanceName(), name);
        EXPECT_EQ (reopened->getPluginFilePath (0), plugin.getFullPathName());
        EXPECT_NE (reopened->getAudioPluginInstance (0), nullptr);
        processor->unloadPlugin (0, false, true);
    }
    dir.deleteRecursively();
}

TEST_F (State, HostileDocumentShapesAreRefusedOrTrimmed)
{
    ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, ""));
    // The limits are part of the line: 256 elements, 65536 attributes in one, 132096 in all, 32 levels.
    const auto refused = "default instance:" + logLines::nothingRestored (logLines::stateTooLarge (256, 65536, 132096, 32));

    auto repeat = [] (const juce::String& text, int times)
    {
        juce::MemoryOutputStream out;
        for (int i = 0; i < times; ++i)
            out << text;
        return out.toString();
    };
    auto parameters = [] (int count)
    {
        juce::MemoryOutputStream out;
        out << "<f_parameters";
        for (int i = 0; i < count; ++i)
            out << " param" << i << "=\"0.12345678901234567890\"";
        out << "/>";
        return out.toString();
    };
    juce::String deep;
    for (int i = 0; i < 40; ++i)
        deep = "<x>" + deep + "</x>";

    struct Row
    {
        const char* what;
        juce::String document;
        bool restores;
    };
    const Row rows[] = {
        { "300 elements", doc (pluginElement (0, TAMBLIT_FIXTURE_SYNTH) + repeat ("<extra/>", 300)), false },
        { "70000 attributes in one element",
          doc ("<plugin index=\"0\" filePath=\"" TAMBLIT_FIXTURE_SYNTH "\">" + parameters (70000) + "</plugin>"), false },
        { "40 levels", doc (pluginElement (0, TAMBLIT_FIXTURE_SYNTH) + deep), false },
        { "2 MB of parameter values",
          doc ("<plugin index=\"0\" filePath=\"" TAMBLIT_FIXTURE_SYNTH "\">" + parameters (60000) + "</plugin>"), true },
    };

    for (auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        processor->unloadPlugin (0, false, true);
        lines->clear();
        const auto started = juce::Time::getMillisecondCounterHiRes();
        restore (row.document);
        const auto took = juce::Time::getMillisecondCounterHiRes() - started;
        // A guard against work that grows with the square of the document, not a speed goal.
        EXPECT_LT (took, 10000.0);
        std::cout << row.what << ": " << row.document.getNumBytesAsUTF8() << " bytes in " << took << " ms\n";

        if (row.restores)
        {
            ASSERT_NE (processor->getAudioPluginInstance (0), nullptr);
            EXPECT_FLOAT_EQ (processor->getAudioPluginInstance (0)->getParameters()[3]->getValue(), 0.12345678901234567890f);
            EXPECT_EQ (processor->getAudioPluginInstance (1), nullptr) << "the document names slot 0 only";
            ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, ""));
        }
        else
        {
            EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
            EXPECT_NE (processor->getAudioPluginInstance (1), nullptr) << "a refused document changes nothing";
            EXPECT_EQ (lines->count (refused), 1);
        }
    }
}

TEST_F (State, OneElementPerSlotFiniteValuesAndConsoleBoundsOnAScreen)
{
    ktdebugconsolesizeset = false;
    restore (doc (pluginElement (0, TAMBLIT_FIXTURE_SYNTH, "currentProgram=\"1\"")
                      + "<plugin index=\"0\" filePath=\"" TAMBLIT_FIXTURE_SYNTH8 "\"><f_parameters param0=\"0.5\"/></plugin>\n"
                      + "<plugin index=\"1\" filePath=\"" TAMBLIT_FIXTURE_SYNTH "\">"
                        "<f_parameters param0=\"nan\" param1=\"inf\" param2=\"-inf\" param3=\"1e999\" param4=\"0.375\"/></plugin>\n",
                  "activePlugin=\"0\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"restored\" "
                  "windowName=\"far away\" x=\"99999999\" y=\"-99999999\" w=\"2000000000\" h=\"0\""));

    // The first element for a slot wins.
    ASSERT_NE (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_EQ (processor->getPluginFilePath (0), TAMBLIT_FIXTURE_SYNTH);
    EXPECT_EQ (processor->getAudioPluginInstance (0)->getCurrentProgram(), 1);
    EXPECT_TRUE (lines->contains ("restored:" + logLines::ignoringSecondPluginElement (0)));

    // Values that are not finite leave the parameter as the plug-in had it.
    auto* second = processor->getAudioPluginInstance (1);
    ASSERT_NE (second, nullptr);
    for (int i = 0; i < 4; ++i)
    {
        const float value = second->getParameters()[i]->getValue();
        EXPECT_TRUE (std::isfinite (value)) << i;
        EXPECT_EQ (value, fx::presetValue (0, i)) << i;
        EXPECT_EQ (processor->getPluginState (1)->parameters[i], value) << "the snapshot holds what the plug-in has";
    }
    EXPECT_FLOAT_EQ (second->getParameters()[4]->getValue(), 0.375f);

    ASSERT_NE (ktdebugconsole(), nullptr);
    EXPECT_EQ (ktdebugconsole()->getRememberedBounds(), juce::Rectangle<int> (16384, -16384, 16384, 1));
    ktdebugconsolesizeset = false;
    ktdebugconsole()->rememberBounds ({ -1, -1, -1, -1 });
}

TEST_F (State, HostThreadsSaveAndRestoreWhileTheMessageThreadIsBusy)
{
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    processor->getAudioPluginInstance (0)->getParameters()[5]->setValue (0.6875f);

    // The message thread does not run its loop while the host's thread saves:
    // the save must not need it, and must hold the current values.
    juce::MemoryBlock saved;
    auto saving = std::async (std::launch::async, [&] { processor->getStateInformation (saved); });
    ASSERT_EQ (saving.wait_for (std::chrono::seconds (10)), std::future_status::ready) << "the save waited for the message thread";
    auto root = juce::XmlDocument::parse (juce::String::fromUTF8 (static_cast<const char*> (saved.getData()), (int) saved.getSize()));
    ASSERT_NE (root, nullptr);
    auto* slot0 = root->getChildByName ("plugin");
    ASSERT_NE (slot0, nullptr);
    EXPECT_EQ (slot0->getStringAttribute ("filePath"), TAMBLIT_FIXTURE_SYNTH);
    EXPECT_FLOAT_EQ ((float) slot0->getChildByName ("f_parameters")->getDoubleAttribute ("param5"), 0.6875f);

    // A restore handed over meanwhile answers the host within its bound, and
    // saves answer with it until the message thread has applied it.
    const auto next = doc (pluginElement (1, TAMBLIT_FIXTURE_SYNTH8),
                           "activePlugin=\"1\" optionB0=\"1\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"handed over\"");
    auto restoring = std::async (std::launch::async, [&] { restore (next); });
    ASSERT_EQ (restoring.wait_for (std::chrono::seconds (10)), std::future_status::ready) << "the restore waited without bound";
    juce::MemoryBlock meanwhile;
    std::async (std::launch::async, [&] { processor->getStateInformation (meanwhile); }).get();
    EXPECT_EQ (juce::String::fromUTF8 (static_cast<const char*> (meanwhile.getData()), (int) meanwhile.getSize()), next);
    EXPECT_NE (processor->getAudioPluginInstance (0), nullptr) << "not applied while the message thread is busy";

    ASSERT_TRUE (runLoopUntil ([&] { return processor->getInstanceName() == "handed over"; }, 5000));
    EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_NE (processor->getAudioPluginInstance (1), nullptr);
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_TRUE (save().contains ("instanceName=\"handed over\""));
}
