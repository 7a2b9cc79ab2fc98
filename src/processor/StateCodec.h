// The container's saved state (the pluginData document) as plain values, with
// its one writer and its one reader. The processor, the tools and the tests all
// go through these, so every document is written and read the same way.
#pragma once

#include "SwitchSettings.h"
#include <juce_core/juce_core.h>
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

// One slot's plug-in as saved.
struct SlotState
{
    juce::String filePath; // the file it was loaded from; an LV2 plug-in's URI
    // "VST3" or "LV2", else empty for VST 2.x. Written, with the identifier
    // again as `identifier`, only for those two, so VST 2.x documents stay as
    // they were; readers that know neither take filePath for a VST 2.x file.
    juce::String format;
    juce::String pluginName; // the sub-plug-in chosen in that file (may be empty)
    juce::String displayName; // the plug-in's own name; informational
    int numInputs = 0, numOutputs = 0; // informational
    int program = -1; // -1: the plug-in has no programs, none is set
    // That program's name, written for VST3 and LV2 slots only: their program
    // lists (LV2 presets) need not keep their order from one instance to the next.
    juce::String programName;
    juce::MemoryBlock stateBlock; // the plug-in's own state, opaque
    // By position. Values read back that are no numbers (NaN, infinities) stay
    // in place: whoever applies them keeps the plug-in's own value there.
    juce::Array<float> parameters;
    // Runs in a worker process of its own. Written only when set, so documents
    // of unprotected slots stay as they were; readers that do not know it load
    // the same plug-in in the host's process.
    bool isProtected = false;
    // The slot keeps this plug-in as a document named it but holds no instance
    // of it (not installed here, or a reload failed). Informational, written
    // only when set; a restore tries to load the plug-in as usual.
    bool notLoaded = false;
};

// The debug console's title and window bounds. A bound of -1 means "not known";
// such bounds are written as they are and never applied.
struct ConsoleState
{
    juce::String title;
    int x = -1, y = -1, w = -1, h = -1;

    bool hasBounds () const noexcept { return x != -1 && y != -1 && w != -1 && h != -1; }
};

// What the main_plugin element holds.
struct ContainerSettings
{
    int activeSlot = 0;
    std::array<bool, 4> options { { false, false, true, true } };
    juce::String instanceName { "default instance" };
    std::optional<ConsoleState> console; // written only when the console exists
    // How a manual switch sounds. Written after every positional attribute and
    // read by name (`switchFadeMs`, `letNotesRing`), so readers that go by
    // position never see them; a document without them switches with a cut.
    int switchFadeMs = switchSettings::defaultFadeMs;
    bool letNotesRing = false;
};

struct ContainerState
{
    ContainerSettings settings;
    std::array<std::optional<SlotState>, 2> slots; // empty slots are not written
};

//==============================================================================
// Writing: the text of the document (UTF-8, JUCE's document form, wrapped at 60).
juce::String writeContainerState (const ContainerState& state);
juce::MemoryBlock writeContainerStateBytes (const ContainerState& state);

//==============================================================================
// Reading. A document is read element by element, and each element is applied
// in document order (a later main_plugin applies again; the instance name in a
// line is the one at the moment the line is written), so the reader hands back
// every child of the root as a part of its own.

// A line for the console. `named` lines begin with the instance name, which the
// one who logs them puts in front.
struct StateLine
{
    juce::String text;
    bool named = false;
};

struct StateDocumentPart
{
    enum class Kind
    {
        settings,
        slot,
        other
    };
    Kind kind = Kind::other;

    // What reading the element found, logged before it is applied.
    std::vector<StateLine> lines;

    // Kind::settings: what the element gave, by the positional rule below.
    ContainerSettings settings;
    bool activeSlotGiven = false; // activeSlot is 0 or 1 (anything else is ignored)
    bool instanceNameGiven = false; // more than 5 attributes
    bool switchFadeGiven = false, letNotesRingGiven = false; // by name
    // settings.console is present with more than 10 attributes; its bounds are
    // clamped to what a screen can show, and then this line says so.
    std::optional<StateLine> consoleClampedLine;

    // Kind::slot: the slot it restores (-1 for none: no index, one out of range,
    // or a slot an earlier element already named) and what it restores.
    int slot = -1;
    SlotState slotState;
    bool hasParameterList = false; // an f_parameters element was given (even an empty one)
};

struct StateReading
{
    enum class Outcome
    {
        read,
        notUtf8,
        tooLarge,
        notWellFormed,
        notPluginData
    };
    Outcome outcome = Outcome::notWellFormed;
    juce::String failure; // why nothing can be restored, when outcome is not read

    // The lines before the parts (byte count, failure or element count).
    std::vector<StateLine> lines;
    std::vector<StateDocumentPart> parts;

    // The whole document as one state: each main_plugin applied in order, each
    // slot from the first element that names it.
    ContainerState state;

    bool ok () const noexcept { return outcome == Outcome::read; }
};

// Reads saved-state bytes (UTF-8 text) with the hardened parser and its limits.
StateReading readContainerState (const void* data, std::size_t size);

// The positional main_plugin rule: the restore reads main_plugin's attributes
// by position, not by name. 0 the active slot, 1 to 4 the options; with more
// than 5, 5 the instance name; with more than 10, 6 the console title and 7 to
// 10 its bounds. Missing positions read as 0. Numbers follow C atoi.
// The writer writes the names below in this order.
void readMainPluginPositions (const juce::StringArray& valuesByPosition, StateDocumentPart& part);
extern const char* const mainPluginAttributeNames[11];
