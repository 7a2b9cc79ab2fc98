#include "StateCodec.h"
#include "StateXmlParser.h"
#include "../console/LogLines.h"
#include <cstdlib>
#include <limits>

const char* const mainPluginAttributeNames[11] = { "activePlugin", "optionB0", "optionB1", "optionB2", "optionB3", "instanceName",
                                                   "windowName",   "x",        "y",        "w",        "h" };

namespace
{
    // Read by name, written after the positional attributes.
    const char* const switchFadeAttribute = "switchFadeMs";
    const char* const letNotesRingAttribute = "letNotesRing";

    // Console bounds beyond these are damage: no screen shows them.
    constexpr int maximumConsoleCoordinate = 16384;
    constexpr int maximumConsoleSize = 16384;

    int atoiOf (const juce::String& text)
    {
        return std::atoi (text.toRawUTF8());
    }

    StateLine named (const juce::String& text)
    {
        return { text, true };
    }
    StateLine plain (const juce::String& text)
    {
        return { text, false };
    }

    juce::String tagPrefix (const StateXmlElement& element)
    {
        return element.tag.upToFirstOccurrenceOf (":", false, false);
    }

    // JUCE's base-64 form is "<byte count>.<characters>", and its decoder sizes the
    // block from the count alone. A damaged count (negative, or far beyond what the
    // characters can hold) would ask for gigabytes: refuse it instead.
    bool decodeHostedBlob (const juce::String& encoded, juce::MemoryBlock& blob)
    {
        const int dot = encoded.indexOfChar ('.');
        if (dot < 0)
            return false;

        const auto count = (juce::int64) encoded.substring (0, dot).getIntValue();
        const auto characters = (juce::int64) (encoded.length() - dot - 1);
        if (count < 0 || count > characters * 6 / 8 + 1)
            return false;

        return blob.fromBase64Encoding (encoded);
    }

    juce::XmlElement* createSettingsElement (const ContainerSettings& settings)
    {
        auto* main = new juce::XmlElement ("main_plugin");
        main->setAttribute (mainPluginAttributeNames[0], settings.activeSlot);
        for (int option = 0; option < 4; ++option)
            main->setAttribute (mainPluginAttributeNames[1 + option], settings.options[(size_t) option] ? 1 : 0);
        main->setAttribute (mainPluginAttributeNames[5], settings.instanceName);

        if (const auto& console = settings.console)
        {
            main->setAttribute (mainPluginAttributeNames[6], console->title);
            main->setAttribute (mainPluginAttributeNames[7], console->x);
            main->setAttribute (mainPluginAttributeNames[8], console->y);
            main->setAttribute (mainPluginAttributeNames[9], console->w);
            main->setAttribute (mainPluginAttributeNames[10], console->h);
        }
        main->setAttribute (switchFadeAttribute, settings.switchFadeMs);
        main->setAttribute (letNotesRingAttribute, settings.letNotesRing ? 1 : 0);
        return main;
    }

    juce::XmlElement* createSlotElement (int index, const SlotState& slot)
    {
        auto* element = new juce::XmlElement ("plugin");
        element->setAttribute ("index", index);
        element->setAttribute ("filePath", slot.filePath);
        if (slot.format.isNotEmpty())
        {
            element->setAttribute ("format", slot.format);
            element->setAttribute ("identifier", slot.filePath);
        }
        element->setAttribute ("numInputs", slot.numInputs);
        element->setAttribute ("numOutputs", slot.numOutputs);
        element->setAttribute ("name", slot.displayName);
        element->setAttribute ("numParams", slot.parameters.size());
        if (slot.program != -1)
            element->setAttribute ("currentProgram", slot.program);
        if (slot.program != -1 && slot.format.isNotEmpty() && slot.programName.isNotEmpty())
            element->setAttribute ("currentProgramName", slot.programName);
        element->setAttribute ("loadedPluginName", slot.pluginName);
        if (slot.isProtected)
            element->setAttribute ("protected", 1);
        if (slot.notLoaded)
            element->setAttribute ("notLoaded", 1);
        element->setAttribute ("binDataSize", (int) slot.stateBlock.getSize());
        element->setAttribute ("binData", slot.stateBlock.toBase64Encoding());

        if (slot.parameters.size() > 0)
        {
            auto* values = new juce::XmlElement ("f_parameters");
            element->addChildElement (values);
            for (int i = 0; i < slot.parameters.size(); ++i)
                values->setAttribute ("param" + juce::String (i), (double) slot.parameters.getUnchecked (i));
        }
        return element;
    }

    void readSlotElement (const StateXmlElement& element, bool (&named_)[2], StateDocumentPart& part)
    {
        part.lines.push_back (plain (tagPrefix (element) + " : "));

        auto& slot = part.slotState;
        int target = -1;
        int declaredSize = 0;
        bool hasIdentifier = false; // names the plug-in wherever it stands

        for (int i = 0; i < element.getNumAttributes(); ++i)
        {
            const auto& name = element.getAttributeName (i);
            const auto& value = element.getAttributeValue (i);

            if (name == "binData")
            {
                part.lines.push_back (plain (logLines::binDataSizes ((int) value.getNumBytesAsUTF8(), declaredSize)));
                if (value.getNumBytesAsUTF8() < 1)
                    part.lines.push_back (plain (logLines::dataSizeZero));
                else if (! decodeHostedBlob (value, slot.stateBlock))
                    part.lines.push_back (named (juce::String (":") + logLines::binDataDamaged));
                continue;
            }

            if (name == "index")
                target = atoiOf (value);
            else if (name == "filePath" && ! hasIdentifier)
                slot.filePath = value;
            else if (name == "identifier")
            {
                slot.filePath = value;
                hasIdentifier = true;
            }
            else if (name == "format")
                slot.format = value == "VST" ? juce::String() : value;
            else if (name == "binDataSize")
                declaredSize = atoiOf (value);
            else if (name == "currentProgram")
                slot.program = atoiOf (value);
            else if (name == "currentProgramName")
                slot.programName = value;
            else if (name == "loadedPluginName")
                slot.pluginName = value;
            else if (name == "name")
                slot.displayName = value;
            else if (name == "numInputs")
                slot.numInputs = atoiOf (value);
            else if (name == "numOutputs")
                slot.numOutputs = atoiOf (value);
            else if (name == "protected")
                slot.isProtected = atoiOf (value) != 0;
            else if (name == "notLoaded")
                slot.notLoaded = atoiOf (value) != 0;

            part.lines.push_back (plain (name + " : " + value));
        }

        if (auto* values = element.getChildByName ("f_parameters"))
        {
            part.hasParameterList = true;
            slot.parameters.ensureStorageAllocated (values->getNumAttributes());
            for (int i = 0; i < values->getNumAttributes(); ++i)
                slot.parameters.add ((float) std::atof (values->getAttributeValue (i).toRawUTF8()));
        }

        part.lines.push_back (named (":path: " + slot.filePath));
        part.lines.push_back (named (":loadedPluginName: " + slot.pluginName));
        part.lines.push_back (named (":target_index: " + juce::String (target)));
        part.lines.push_back (named (":data_size: " + juce::String (declaredSize)));
        part.lines.push_back (named (":" + logLines::memBlockDataSize ((int) slot.stateBlock.getSize())));

        if (target == -1)
            return;

        if (target != 0 && target != 1)
        {
            part.lines.push_back (named (":" + logLines::ignoringPluginElement (target)));
            return;
        }

        // One plug-in per slot: a later element for the same slot is damage.
        if (named_[target])
        {
            part.lines.push_back (named (":" + logLines::ignoringSecondPluginElement (target)));
            return;
        }
        named_[target] = true;
        part.slot = target;
    }

    void mergeSettings (const StateDocumentPart& part, ContainerSettings& into)
    {
        if (part.activeSlotGiven)
            into.activeSlot = part.settings.activeSlot;
        into.options = part.settings.options;
        if (part.instanceNameGiven)
            into.instanceName = part.settings.instanceName;
        if (part.settings.console)
            into.console = part.settings.console;
        into.switchFadeMs = part.switchFadeGiven ? part.settings.switchFadeMs : switchSettings::fadeMsWhenUnsaid;
        into.letNotesRing = part.letNotesRingGiven && part.settings.letNotesRing;
    }

    // The switch settings, by name wherever they stand. A fade that is no
    // number counts as unsaid; one out of range is brought into it.
    void readSwitchSettings (const StateXmlElement& element, StateDocumentPart& part)
    {
        for (int i = 0; i < element.getNumAttributes(); ++i)
        {
            const auto& name = element.getAttributeName (i);
            const auto& value = element.getAttributeValue (i).trim();
            if (name == switchFadeAttribute && value.containsOnly ("0123456789") && value.isNotEmpty())
            {
                part.switchFadeGiven = true;
                part.settings.switchFadeMs = value.length() > 9 ? switchSettings::maximumFadeMs
                                                                : juce::jlimit (0, switchSettings::maximumFadeMs, atoiOf (value));
            }
            else if (name == letNotesRingAttribute)
            {
                part.letNotesRingGiven = true;
                part.settings.letNotesRing = atoiOf (value) != 0;
            }
        }
        if (! part.switchFadeGiven)
            part.settings.switchFadeMs = switchSettings::fadeMsWhenUnsaid;
        if (! part.letNotesRingGiven)
            part.settings.letNotesRing = false;
    }
}

void readMainPluginPositions (const juce::StringArray& values, StateDocumentPart& part)
{
    const int count = values.size();
    auto valueAt = [&values, count] (int position) { return position < count ? values[position] : juce::String(); };
    auto& settings = part.settings;

    settings.activeSlot = atoiOf (valueAt (0));
    part.activeSlotGiven = settings.activeSlot == 0 || settings.activeSlot == 1;
    if (! part.activeSlotGiven)
        part.lines.push_back (named (":" + logLines::ignoringActivePlugin (valueAt (0))));

    for (int option = 0; option < 4; ++option)
        settings.options[(size_t) option] = atoiOf (valueAt (option + 1)) != 0;

    part.instanceNameGiven = count > 5;
    if (part.instanceNameGiven)
        settings.instanceName = valueAt (5);

    if (count <= 10)
        return;

    ConsoleState console;
    console.title = valueAt (6);
    console.x = atoiOf (valueAt (7));
    console.y = atoiOf (valueAt (8));
    console.w = atoiOf (valueAt (9));
    console.h = atoiOf (valueAt (10));

    if (console.hasBounds())
    {
        const int x = console.x, y = console.y, w = console.w, h = console.h;
        console.x = juce::jlimit (-maximumConsoleCoordinate, maximumConsoleCoordinate, x);
        console.y = juce::jlimit (-maximumConsoleCoordinate, maximumConsoleCoordinate, y);
        console.w = juce::jlimit (1, maximumConsoleSize, w);
        console.h = juce::jlimit (1, maximumConsoleSize, h);
        if (console.x != x || console.y != y || console.w != w || console.h != h)
            part.consoleClampedLine = named (":console bounds " + juce::String (x) + ", " + juce::String (y) + ", " + juce::String (w)
                                             + ", " + juce::String (h) + " are off any screen, clamped");
    }
    settings.console = console;
}

juce::String writeContainerState (const ContainerState& state)
{
    juce::XmlElement root ("pluginData");
    root.addChildElement (createSettingsElement (state.settings));

    for (int index = 0; index < 2; ++index)
        if (const auto& slot = state.slots[(size_t) index])
            root.addChildElement (createSlotElement (index, *slot));

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    return root.createDocument ({}, false, true, "UTF-8", 60);
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE
}

juce::MemoryBlock writeContainerStateBytes (const ContainerState& state)
{
    const auto text = writeContainerState (state);
    return juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

StateReading readContainerState (const void* data, std::size_t size)
{
    StateReading reading;
    const auto* chars = static_cast<const char*> (data);

    if (chars == nullptr || size == 0 || size > (std::size_t) std::numeric_limits<int>::max()
        || ! juce::CharPointer_UTF8::isValidString (chars, (int) size))
    {
        reading.outcome = StateReading::Outcome::notUtf8;
        reading.failure = logLines::stateNotUtf8;
        reading.lines.push_back (named (":" + logLines::nothingRestored (reading.failure)));
        return reading;
    }

    const auto text = juce::String::fromUTF8 (chars, (int) size);
    reading.lines.push_back (named (":bytes: " + juce::String ((int) text.getNumBytesAsUTF8())));

    StateXmlResult parsed;
    auto root = parseStateXml (text.toRawUTF8(), text.getNumBytesAsUTF8(), &parsed);

    // A blob that does not parse restores nothing.
    if (parsed == StateXmlResult::tooLarge)
    {
        reading.outcome = StateReading::Outcome::tooLarge;
        reading.failure = logLines::stateTooLarge (state_xml_limits::maximumElements, state_xml_limits::maximumAttributesPerElement,
                                                   state_xml_limits::maximumAttributes, state_xml_limits::maximumDepth);
        reading.lines.push_back (named (":" + logLines::nothingRestored (reading.failure)));
        return reading;
    }

    if (root == nullptr)
    {
        reading.outcome = StateReading::Outcome::notWellFormed;
        reading.failure = logLines::stateNotWellFormedXml;
        reading.lines.push_back (named (":" + logLines::nothingRestored (reading.failure)));
        return reading;
    }

    if (root->tag != "pluginData")
    {
        reading.outcome = StateReading::Outcome::notPluginData;
        reading.failure = logLines::stateNotPluginData;
        reading.lines.push_back (named (":" + logLines::nothingRestored (reading.failure)));
        return reading;
    }

    reading.outcome = StateReading::Outcome::read;
    reading.lines.push_back (named (":Analyzing " + juce::String (root->getNumChildElements()) + " child elements."));

    bool slotNamed[2] = { false, false };

    for (auto& child : root->children)
    {
        StateDocumentPart part;
        const auto prefix = tagPrefix (*child);
        part.lines.push_back (named (":sub_element->getNamespace(): " + prefix));
        part.lines.push_back (plain ("NumAttributes(): " + juce::String (child->getNumAttributes())));

        if (prefix == "main_plugin")
        {
            part.kind = StateDocumentPart::Kind::settings;
            juce::StringArray values;
            values.ensureStorageAllocated (child->getNumAttributes());
            for (int i = 0; i < child->getNumAttributes(); ++i)
                values.add (child->getAttributeValue (i));
            readMainPluginPositions (values, part);
            readSwitchSettings (*child, part);
            mergeSettings (part, reading.state.settings);
        }
        else if (prefix == "plugin")
        {
            part.kind = StateDocumentPart::Kind::slot;
            readSlotElement (*child, slotNamed, part);
            if (part.slot != -1)
                reading.state.slots[(size_t) part.slot].emplace (part.slotState);
        }

        reading.parts.push_back (std::move (part));
    }

    return reading;
}
