// Scanlet64 <plug-in path> <result path>
//
// Scans a VST 2.x file with JUCE's hosting code and writes the first
// description's "PLUGIN" XML to the result path. The loader polls for that
// path, so the document appears there complete or not at all: it is written
// under another name in the same folder and renamed into place.
// Exit code 0 when a description was written, 1 otherwise.
//
// Scanlet64 --describe <VST|VST3|LV2> <candidate> <result path>
// describes everything one candidate of the installed-plug-in scan holds
// (Describe.h).
#include "Describe.h"
#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
    // The loader stops waiting after five seconds; a plug-in that hangs the scan
    // must not keep this process alive for the rest of the host's session.
    constexpr unsigned int lifetimeLimitSeconds = 60;

    int fail (const juce::String& message)
    {
        std::fprintf (stderr, "Scanlet64: %s\n", message.toRawUTF8());
        return 1;
    }

    bool writeInPlace (const juce::XmlElement& xml, const juce::File& result, juce::String& error)
    {
        const auto partial = result.getParentDirectory().getChildFile ("." + result.getFileName() + "." + juce::String (getpid())
                                                                       + ".partial");
        partial.deleteFile();

        if (! xml.writeTo (partial))
        {
            error = "cannot write " + partial.getFullPathName();
            partial.deleteFile();
            return false;
        }
        if (std::rename (partial.getFullPathName().toRawUTF8(), result.getFullPathName().toRawUTF8()) != 0)
        {
            error = "cannot rename " + partial.getFullPathName() + " to " + result.getFullPathName();
            partial.deleteFile();
            return false;
        }
        return true;
    }

    int scan (const juce::String& pluginPath, const juce::String& resultPath)
    {
        juce::VSTPluginFormat format;
        juce::OwnedArray<juce::PluginDescription> found;
        format.findAllTypesForFile (found, pluginPath);

        if (found.isEmpty())
            return fail ("no VST 2.x plug-in found in " + pluginPath);

        const auto xml = found.getFirst()->createXml();
        juce::String error;
        if (xml == nullptr || ! writeInPlace (*xml, juce::File (resultPath), error))
            return fail (error.isNotEmpty() ? error : juce::String ("cannot describe " + pluginPath));

        return 0;
    }
}

int main (int argc, char** argv)
{
    // A plug-in that crashes here leaves no core file behind in the host's folder.
    const rlimit noCore { 0, 0 };
    setrlimit (RLIMIT_CORE, &noCore);
    alarm (lifetimeLimitSeconds);

    if (argc == 5 && juce::String (argv[1]) == "--describe")
    {
        const auto result = juce::String::fromUTF8 (argv[4]);
        if (! juce::File::isAbsolutePath (result))
            return fail ("the result path must be absolute: " + result);
        juce::ScopedJuceInitialiser_GUI juceInitialiser;
        return describeCandidate (juce::String::fromUTF8 (argv[2]), juce::String::fromUTF8 (argv[3]), juce::File (result));
    }

    if (argc != 3)
        return fail ("usage: Scanlet64 <plug-in path> <result path>\n       Scanlet64 --describe <VST|VST3|LV2> <candidate> <result path>");

    const auto pluginPath = juce::String::fromUTF8 (argv[1]);
    const auto resultPath = juce::String::fromUTF8 (argv[2]);

    if (! juce::File::isAbsolutePath (resultPath))
        return fail ("the result path must be absolute: " + resultPath);

    // JUCE's hosting code expects an initialised GUI layer, with this (the main)
    // thread as the message thread.
    juce::ScopedJuceInitialiser_GUI juceInitialiser;
    return scan (pluginPath, resultPath);
}
