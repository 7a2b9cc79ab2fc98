#pragma once

#include <juce_core/juce_core.h>

// The three plug-in formats a slot can hold, and how a slot's identifier names
// one: a VST 2.x file, a VST3 bundle (a folder ending in ".vst3") or an LV2
// plug-in URI. Saved documents name the format too; the identifier alone
// decides for everything the user types or picks.
namespace pluginFormats
{
    // JUCE's format names, which PluginDescription::pluginFormatName carries.
    inline constexpr const char* vst2 = "VST";
    inline constexpr const char* vst3 = "VST3";
    inline constexpr const char* lv2 = "LV2";

    // The format an identifier names: an LV2 URI has a scheme ("http:",
    // "urn:"), a VST3 bundle ends in ".vst3", everything else is a VST 2.x file.
    inline juce::String formatOf (const juce::String& identifier)
    {
        const auto trimmed = identifier.trim().trimCharactersAtEnd ("/");
        if (trimmed.endsWithIgnoreCase (".vst3"))
            return vst3;

        // A URI scheme: a letter, then letters, digits, "+", "-" or ".", then ":".
        // Absolute paths start with "/", so they never match.
        const auto colon = trimmed.indexOfChar (':');
        if (colon > 0 && juce::CharacterFunctions::isLetter (trimmed[0])
            && trimmed.substring (0, colon).containsOnly ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-."))
            return lv2;

        return vst2;
    }

    inline bool isKnown (const juce::String& format)
    {
        return format == vst2 || format == vst3 || format == lv2;
    }

    // How the console and the panel name a format.
    inline juce::String displayName (const juce::String& format)
    {
        return format == vst2 ? juce::String ("VST 2.x") : format;
    }
}
