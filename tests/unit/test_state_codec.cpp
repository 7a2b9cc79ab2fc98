// The saved-state codec on its own: what it writes it reads back bit for bit,
// and main_plugin is read by position.
#include "processor/StateCodec.h"
#include <gtest/gtest.h>
#include <cstring>

namespace
{
    // Names and paths a user or a plug-in may well produce: markup characters,
    // control characters (which XML 1.0 cannot hold), text outside ASCII, the
    // private-use character the reader uses internally, and edge spaces.
    juce::String awkward (const char* tail)
    {
        return juce::String::fromUTF8 (" <a & \"b\" 'c'>\x01\x02\t\x1f\r\n\x7f ") + juce::String::charToString (0xE000)
               + juce::String::charToString (0xE001) + juce::String::fromUTF8 ("\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb9 ") + tail;
    }

    juce::MemoryBlock everyByte (int extra)
    {
        juce::MemoryBlock block;
        for (int i = 0; i < 256 + extra; ++i)
        {
            const auto byte = (char) (i < 256 ? i : (i * 7919) & 0xff);
            block.append (&byte, 1);
        }
        return block;
    }

    ContainerState awkwardState ()
    {
        ContainerState state;
        state.settings.activeSlot = 1;
        state.settings.options = { { true, false, true, false } };
        state.settings.instanceName = awkward ("instance");
        state.settings.console = ConsoleState { awkward ("title"), -20, 30, 640, 480 };

        SlotState first;
        first.filePath = awkward ("/first.so");
        first.pluginName = awkward ("sub");
        first.displayName = awkward ("shown");
        first.numInputs = 2;
        first.numOutputs = 8;
        first.program = 5;
        first.stateBlock = everyByte (4099);
        for (float v : { 0.0f, 1.0f, 0.1f, 1.0f / 3.0f, 1.0e-38f, 1.4e-45f, -0.0f, 0.99999994f, 123456.79f })
            first.parameters.add (v);
        state.slots[0] = first;

        SlotState second; // no programs, no parameters, an empty state block
        second.filePath = "/plain.so";
        state.slots[1] = second;
        return state;
    }

    void expectSameBits (float a, float b, int index)
    {
        EXPECT_EQ (std::memcmp (&a, &b, sizeof (float)), 0) << "parameter " << index << ": " << a << " vs " << b;
    }

    void expectSameSlot (const SlotState& a, const SlotState& b)
    {
        EXPECT_EQ (a.filePath, b.filePath);
        EXPECT_EQ (a.pluginName, b.pluginName);
        EXPECT_EQ (a.displayName, b.displayName);
        EXPECT_EQ (a.numInputs, b.numInputs);
        EXPECT_EQ (a.numOutputs, b.numOutputs);
        EXPECT_EQ (a.program, b.program);
        // Not MemoryBlock's ==: JUCE hands an empty block's null data to memcmp.
        ASSERT_EQ (a.stateBlock.getSize(), b.stateBlock.getSize());
        if (a.stateBlock.getSize() > 0)
        {
            EXPECT_EQ (std::memcmp (a.stateBlock.getData(), b.stateBlock.getData(), a.stateBlock.getSize()), 0);
        }
        ASSERT_EQ (a.parameters.size(), b.parameters.size());
        for (int i = 0; i < a.parameters.size(); ++i)
            expectSameBits (a.parameters[i], b.parameters[i], i);
    }

    StateReading read (const juce::String& text)
    {
        return readContainerState (text.toRawUTF8(), text.getNumBytesAsUTF8());
    }
}

TEST (StateCodec, WhatIsWrittenReadsBackExactly)
{
    const auto state = awkwardState();
    const auto text = writeContainerState (state);
    const auto reading = read (text);
    ASSERT_TRUE (reading.ok()) << reading.failure;

    const auto& settings = reading.state.settings;
    EXPECT_EQ (settings.activeSlot, 1);
    EXPECT_EQ (settings.options, state.settings.options);
    EXPECT_EQ (settings.instanceName, state.settings.instanceName);
    ASSERT_TRUE (settings.console.has_value());
    EXPECT_EQ (settings.console->title, state.settings.console->title);
    EXPECT_EQ (settings.console->x, -20);
    EXPECT_EQ (settings.console->y, 30);
    EXPECT_EQ (settings.console->w, 640);
    EXPECT_EQ (settings.console->h, 480);

    for (size_t index = 0; index < 2; ++index)
    {
        SCOPED_TRACE ("slot " + std::to_string (index));
        ASSERT_TRUE (reading.state.slots[index].has_value());
        expectSameSlot (*reading.state.slots[index], *state.slots[index]);
    }

    // One part per element, in document order; the parameter list only where there are values.
    ASSERT_EQ (reading.parts.size(), 3u);
    EXPECT_EQ (reading.parts[0].kind, StateDocumentPart::Kind::settings);
    EXPECT_EQ (reading.parts[1].slot, 0);
    EXPECT_TRUE (reading.parts[1].hasParameterList);
    EXPECT_EQ (reading.parts[2].slot, 1);
    EXPECT_FALSE (reading.parts[2].hasParameterList);

    // Read back and written again, the document is the same to the byte.
    EXPECT_EQ (writeContainerState (reading.state), text);
    const auto bytes = writeContainerStateBytes (state);
    EXPECT_EQ (bytes.getSize(), text.getNumBytesAsUTF8());
    EXPECT_EQ (std::memcmp (bytes.getData(), text.toRawUTF8(), bytes.getSize()), 0);
}

TEST (StateCodec, MainPluginIsReadByPosition)
{
    // Written in the order the reader takes them.
    ContainerState state;
    state.settings.console = ConsoleState { "t", 1, 2, 3, 4 };
    auto written = juce::XmlDocument::parse (writeContainerState (state));
    ASSERT_NE (written, nullptr);
    auto* main = written->getChildByName ("main_plugin");
    ASSERT_NE (main, nullptr);
    // The positional ones first; the switch settings after them, read by name.
    ASSERT_EQ (main->getNumAttributes(), 13);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ (main->getAttributeName (i), mainPluginAttributeNames[i]);
    EXPECT_EQ (main->getAttributeName (11), "switchFadeMs");
    EXPECT_EQ (main->getAttributeName (12), "letNotesRing");

    const juce::StringArray all { "1", "1", "0", "7", "0", "name", "title", "10", "20", "300", "400" };
    struct Row
    {
        int count;
        int activeSlot;
        std::array<bool, 4> options;
        bool name, console;
    };
    const Row table[] = {
        { 0, 0, { { false, false, false, false } }, false, false }, { 1, 1, { { false, false, false, false } }, false, false },
        { 3, 1, { { true, false, false, false } }, false, false },  { 5, 1, { { true, false, true, false } }, false, false },
        { 6, 1, { { true, false, true, false } }, true, false },    { 10, 1, { { true, false, true, false } }, true, false },
        { 11, 1, { { true, false, true, false } }, true, true },
    };
    for (const auto& row : table)
    {
        SCOPED_TRACE ("attributes: " + std::to_string (row.count));
        juce::StringArray values;
        for (int i = 0; i < row.count; ++i)
            values.add (all[i]);
        StateDocumentPart part;
        readMainPluginPositions (values, part);
        EXPECT_TRUE (part.activeSlotGiven);
        EXPECT_EQ (part.settings.activeSlot, row.activeSlot);
        EXPECT_EQ (part.settings.options, row.options);
        EXPECT_EQ (part.instanceNameGiven, row.name);
        if (row.name)
        {
            EXPECT_EQ (part.settings.instanceName, "name");
        }
        ASSERT_EQ (part.settings.console.has_value(), row.console);
        if (row.console)
        {
            EXPECT_EQ (part.settings.console->title, "title");
            EXPECT_EQ (part.settings.console->x, 10);
            EXPECT_EQ (part.settings.console->h, 400);
            EXPECT_FALSE (part.consoleClampedLine.has_value());
        }
        EXPECT_TRUE (part.lines.empty());
    }

    // Names do not matter, only positions; what is out of range is reported.
    {
        StateDocumentPart part;
        readMainPluginPositions ({ "2", "x", "1", "", "0", "n", "t", "-99999", "5", "0", "-1" }, part);
        EXPECT_FALSE (part.activeSlotGiven);
        ASSERT_EQ (part.lines.size(), 1u);
        EXPECT_EQ (part.lines[0].text, ":ignoring activePlugin 2 ( only 0 and 1 exist )");
        EXPECT_EQ (part.settings.options, (std::array<bool, 4> { { false, true, false, false } }));
        ASSERT_TRUE (part.settings.console.has_value());
        EXPECT_FALSE (part.settings.console->hasBounds()); // -1 is "unknown": nothing to apply, nothing clamped
        EXPECT_FALSE (part.consoleClampedLine.has_value());
    }
    {
        StateDocumentPart part;
        readMainPluginPositions ({ "0", "0", "0", "0", "0", "n", "t", "-99999", "5", "0", "70000" }, part);
        ASSERT_TRUE (part.settings.console.has_value());
        EXPECT_EQ (part.settings.console->x, -16384);
        EXPECT_EQ (part.settings.console->y, 5);
        EXPECT_EQ (part.settings.console->w, 1);
        EXPECT_EQ (part.settings.console->h, 16384);
        ASSERT_TRUE (part.consoleClampedLine.has_value());
        EXPECT_EQ (part.consoleClampedLine->text, ":console bounds -99999, 5, 0, 70000 are off any screen, clamped");
    }
}

// The switch settings go by name, wherever they stand; a document that does
// not give them switches with a cut, as documents of older versions did. Readers
// that go by position read the rest of a new document as before.
TEST (StateCodec, SwitchSettingsAreReadByNameAndOlderDocumentsCut)
{
    struct Row
    {
        const char* attributes;
        int fadeMs;
        bool ring;
    };
    const Row table[] = {
        { R"(activePlugin="0" optionB0="0" optionB1="0" optionB2="1" optionB3="1" instanceName="i")", 0, false },
        { R"(activePlugin="0" optionB0="0" optionB1="0" optionB2="1" optionB3="1" instanceName="i" switchFadeMs="35" letNotesRing="1")", 35,
          true },
        { R"(switchFadeMs="5" activePlugin="1" optionB0="0" optionB1="0" optionB2="1" optionB3="1" instanceName="i")", 5, false },
        { R"(activePlugin="0" switchFadeMs="99999999999" letNotesRing="0")", 1000, false },
        { R"(activePlugin="0" switchFadeMs="-5" letNotesRing="yes")", 0, false },
        { R"(activePlugin="0" switchFadeMs="twenty")", 0, false },
    };
    for (const auto& row : table)
    {
        SCOPED_TRACE (row.attributes);
        const auto reading = read (juce::String ("<pluginData><main_plugin ") + row.attributes + "/></pluginData>");
        ASSERT_TRUE (reading.ok()) << reading.failure;
        EXPECT_EQ (reading.state.settings.switchFadeMs, row.fadeMs);
        EXPECT_EQ (reading.state.settings.letNotesRing, row.ring);
        ASSERT_EQ (reading.parts.size(), 1u);
        EXPECT_EQ (reading.parts[0].settings.switchFadeMs, row.fadeMs);
    }

    // Written and read back; read by position, the same settings and console as without them.
    ContainerState state;
    state.settings.activeSlot = 1;
    state.settings.instanceName = "named";
    state.settings.switchFadeMs = 120;
    state.settings.letNotesRing = true;
    for (const bool withConsole : { false, true })
    {
        SCOPED_TRACE (withConsole ? "console" : "no console");
        if (withConsole)
            state.settings.console = ConsoleState { "t", 1, 2, 3, 4 };
        const auto reading = read (writeContainerState (state));
        ASSERT_TRUE (reading.ok());
        EXPECT_EQ (reading.state.settings.switchFadeMs, 120);
        EXPECT_TRUE (reading.state.settings.letNotesRing);

        auto xml = juce::XmlDocument::parse (writeContainerState (state));
        auto* main = xml->getChildByName ("main_plugin");
        juce::StringArray byPosition;
        for (int i = 0; i < main->getNumAttributes(); ++i)
            byPosition.add (main->getAttributeValue (i));
        StateDocumentPart part;
        readMainPluginPositions (byPosition, part);
        EXPECT_EQ (part.settings.activeSlot, 1);
        EXPECT_EQ (part.settings.instanceName, "named");
        ASSERT_EQ (part.settings.console.has_value(), withConsole);
        if (withConsole)
        {
            EXPECT_EQ (part.settings.console->h, 4);
        }
    }
}

TEST (StateCodec, EachSlotComesFromTheFirstElementThatNamesIt)
{
    const juce::String text = "<pluginData><main_plugin activePlugin=\"1\"/>"
                              "<plugin index=\"1\" filePath=\"/first\"><f_parameters param0=\"0.25\" param1=\"nan\"/></plugin>"
                              "<plugin index=\"1\" filePath=\"/second\"/>"
                              "<plugin index=\"2\" filePath=\"/third\"/>"
                              "<other/></pluginData>";
    const auto reading = read (text);
    ASSERT_TRUE (reading.ok());
    ASSERT_EQ (reading.parts.size(), 5u);
    EXPECT_EQ (reading.parts[1].slot, 1);
    EXPECT_EQ (reading.parts[2].slot, -1);
    EXPECT_EQ (reading.parts[3].slot, -1);
    EXPECT_EQ (reading.parts[4].kind, StateDocumentPart::Kind::other);
    EXPECT_FALSE (reading.state.slots[0].has_value());
    ASSERT_TRUE (reading.state.slots[1].has_value());
    EXPECT_EQ (reading.state.slots[1]->filePath, "/first");
    ASSERT_EQ (reading.state.slots[1]->parameters.size(), 2);
    EXPECT_EQ (reading.state.slots[1]->parameters[0], 0.25f);
    EXPECT_TRUE (std::isnan (reading.state.slots[1]->parameters[1]));
    EXPECT_EQ (reading.parts[2].lines.back().text, ":ignoring a second plugin element for index 1");
    EXPECT_EQ (reading.parts[3].lines.back().text, ":ignoring plugin element for index 2 ( only 0 and 1 exist )");

    EXPECT_EQ (read ("<pluginData>").outcome, StateReading::Outcome::notWellFormed);
    EXPECT_EQ (read ("<other/>").outcome, StateReading::Outcome::notPluginData);
    EXPECT_EQ (readContainerState ("\xff\xfe", 2).outcome, StateReading::Outcome::notUtf8);
}
