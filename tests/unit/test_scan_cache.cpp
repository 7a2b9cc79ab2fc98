// The process-wide scan cache, the external scanner route and the Scanlet64
// program, on real VST 2.x files. The cache is never emptied, so every test
// works on copies of the fixtures in a folder of its own.
#include "loading/ExternalScanner.h"
#include "loading/PrivateCacheFolder.h"
#include "console/LogLines.h"
#include "loading/PluginScanCache.h"
#include "loading/VSTP2PluginLoader.h"
#include "support/TestHelpers.h"
#include "FixtureSignal.h"
#include <pluginterfaces/vst2.x/aeffectx.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
    using testing_support::StdoutCapture;

    juce::File builtScanner ()
    {
        return juce::File (TAMBLIT_PLUGIN_PATH).getSiblingFile ("Contents/Resources/Scanlet64");
    }

    // A fresh folder below the temporary folder, removed with everything in it.
    // Its path is never reused in this process, since the cache outlives it.
    struct TempFolder
    {
        explicit TempFolder (const juce::String& name = "tamblit scan")
            : folder (juce::File::getSpecialLocation (juce::File::tempDirectory)
                          .getNonexistentChildFile (name + " " + juce::String (getpid()) + "-" + juce::String (++created), "", false))
        {
            folder.createDirectory();
        }
        ~TempFolder() { folder.deleteRecursively(); }

        juce::File copyOf (const char* source, const juce::String& name) const
        {
            const auto target = folder.getChildFile (name);
            EXPECT_TRUE (juce::File (source).copyFileTo (target)) << target.getFullPathName();
            return target;
        }

        juce::File script (const juce::String& name, const juce::String& body) const
        {
            const auto target = folder.getChildFile (name);
            target.replaceWithText ("#!/bin/sh\n" + body + "\n", false, false, "\n");
            target.setExecutePermission (true);
            return target;
        }

        juce::File folder;
        static inline int created = 0;
    };

    int countOf (const std::string& text, const std::string& needle)
    {
        int count = 0;
        for (auto at = text.find (needle); at != std::string::npos; at = text.find (needle, at + needle.size()))
            ++count;
        return count;
    }

    std::string checkLine (const juce::File& file)
    {
        return logLines::checkingScanCache (file.getFullPathName()).toStdString();
    }

    std::string scanLine (const juce::File& file)
    {
        return logLines::scanning (file.getFullPathName()).toStdString();
    }

    std::string foundLine (int count)
    {
        return logLines::foundDescriptions (count).toStdString();
    }

    // What a cached load writes: the check, one line per description, the count.
    std::string cachedLines (const juce::File& file, int count)
    {
        auto text = checkLine (file);
        for (int i = 0; i < count; ++i)
            text += logLines::addingFromScanCache (file.getFullPathName()).toStdString();
        return text + logLines::scanCacheHit (count).toStdString();
    }

    struct ScannerRoute
    {
        bool external = false;
        juce::String scanner;
    };

    // One loader's load of `file`, with everything it wrote to standard output.
    struct Load
    {
        Load (const juce::File& file, const juce::String& pluginName = {}, ScannerRoute route = {})
        {
            StdoutCapture capture;
            loader = std::make_unique<VSTP2PluginLoader>();
            loader->scan_with_external_process = route.external;
            loader->external_scanner_path = route.scanner;
            const auto started = std::chrono::steady_clock::now();
            instance = loader->loadPlugin (file.getFullPathName(), "VST", pluginName);
            seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - started).count();
            output = capture.finish();
        }

        std::unique_ptr<VSTP2PluginLoader> loader;
        juce::AudioPluginInstance* instance = nullptr;
        std::string output;
        double seconds = 0;
    };

    // The unique id the hosted plug-in's effect record reports.
    std::int32_t effectId (juce::AudioPluginInstance& instance)
    {
        return static_cast<AEffect*> (instance.getPlatformSpecificData())->uniqueID;
    }

    int cacheEntriesFor (const juce::File& file)
    {
        int count = 0;
        for (auto* entry : global_plugin_descriptions)
            if (entry->fileOrIdentifier == file.getFullPathName())
                ++count;
        return count;
    }

    // Result files the external route left in the temporary folder for `file`.
    // Answer files the scanner was given (in the private cache's tmp folder)
    // and left behind, or any named after `file` in /tmp.
    juce::Array<juce::File> leftoverResults (const juce::File& file)
    {
        auto left = juce::File::getSpecialLocation (juce::File::tempDirectory)
                        .findChildFiles (juce::File::findFiles, false, file.getFileNameWithoutExtension() + "*.txt");
        left.addArray (privateCache::baseFolder().getChildFile ("tmp").findChildFiles (juce::File::findFiles, false, "scan-*"));
        return left;
    }

    struct ProcessResult
    {
        bool exited = false;
        int exitCode = -1;
        int signal = 0;
        std::string errors;
    };

    // Runs a program directly (no shell), collecting its standard error.
    ProcessResult runProgram (const std::vector<std::string>& arguments)
    {
        char errorsPath[] = "/tmp/tamblit-stderr-XXXXXX";
        const int errorsFd = mkstemp (errorsPath);
        ProcessResult result;

        const pid_t child = fork();
        if (child == 0)
        {
            dup2 (errorsFd, STDERR_FILENO);
            const int devNull = open ("/dev/null", O_WRONLY);
            dup2 (devNull, STDOUT_FILENO);
            std::vector<char*> argv;
            for (auto& argument : arguments)
                argv.push_back (const_cast<char*> (argument.c_str()));
            argv.push_back (nullptr);
            execv (argv[0], argv.data());
            _exit (127);
        }

        int status = 0;
        waitpid (child, &status, 0);
        close (errorsFd);
        result.exited = WIFEXITED (status);
        result.exitCode = result.exited ? WEXITSTATUS (status) : -1;
        result.signal = WIFSIGNALED (status) ? WTERMSIG (status) : 0;

        std::ifstream in (errorsPath);
        std::stringstream text;
        text << in.rdbuf();
        result.errors = text.str();
        std::remove (errorsPath);
        return result;
    }
}

//==============================================================================
// The cache, with in-process scans.

TEST (ScanCache, SecondLoadOfAFileCopiesItsDescriptionsInsteadOfScanning)
{
    using namespace tamblit::fixtures;
    struct Case
    {
        const char* fixture;
        const char* pluginName;
        int descriptions;
        std::int32_t loadedId;
    };
    const Case cases[] = {
        { TAMBLIT_FIXTURE_SYNTH, "", 1, kIdSynth },
        { TAMBLIT_FIXTURE_SHELL, "Gamma", 5, kIdShellSub[2] },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fixture);
        TempFolder temp;
        const auto file = temp.copyOf (c.fixture, "Plugin.so");

        Load first (file, c.pluginName);
        ASSERT_NE (first.instance, nullptr) << first.output;
        EXPECT_NE (first.output.find (checkLine (file) + scanLine (file) + foundLine (c.descriptions)), std::string::npos) << first.output;
        EXPECT_EQ (countOf (first.output, "\nAdding "), 0);
        EXPECT_EQ (cacheEntriesFor (file), c.descriptions);

        Load second (file, c.pluginName);
        ASSERT_NE (second.instance, nullptr) << second.output;
        EXPECT_EQ (effectId (*second.instance), c.loadedId);
        EXPECT_EQ (second.loader->getCurrentlyLoadedPluginName(), first.loader->getCurrentlyLoadedPluginName());
        EXPECT_NE (second.output.find (cachedLines (file, c.descriptions)), std::string::npos) << second.output;
        EXPECT_EQ (second.output.find ("File was not loaded before"), std::string::npos) << second.output;
        EXPECT_EQ (second.loader->plugin_descriptions.size(), c.descriptions);
        EXPECT_EQ (cacheEntriesFor (file), c.descriptions) << "a cached load adds nothing to the cache";
    }
}

TEST (ScanCache, APluginReplacedOnDiskKeepsItsFirstDescriptions)
{
    TempFolder temp;
    const auto file = temp.copyOf (TAMBLIT_FIXTURE_SYNTH, "Replaced.so");
    ASSERT_NE (Load (file).instance, nullptr);

    // A scan of the file now would find nothing.
    ASSERT_TRUE (file.deleteFile());
    ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_NULLENTRY).copyFileTo (file));

    StdoutCapture capture;
    VSTP2PluginLoader loader;
    auto* descriptions = loader.getPluginDescription (file.getFullPathName());
    const auto output = capture.finish();

    ASSERT_EQ (descriptions->size(), 1) << output;
    EXPECT_EQ ((*descriptions)[0]->descriptiveName, "Fixture Synth");
    EXPECT_NE (output.find (cachedLines (file, 1)), std::string::npos) << output;
}

TEST (ScanCache, PathsDifferingOnlyInCaseAreScannedOnceEach)
{
    TempFolder temp;
    const auto upper = temp.copyOf (TAMBLIT_FIXTURE_SYNTH, "CaseSynth.so");
    const auto lower = temp.folder.getChildFile ("casesynth.so");
    ASSERT_TRUE (upper.createSymbolicLink (lower, false));

    for (const auto& file : { upper, lower })
    {
        SCOPED_TRACE (file.getFullPathName());
        Load first (file);
        EXPECT_NE (first.output.find (scanLine (file) + foundLine (1)), std::string::npos) << first.output;
        EXPECT_EQ (cacheEntriesFor (file), 1);
    }

    for (const auto& file : { upper, lower })
    {
        SCOPED_TRACE (file.getFullPathName());
        Load again (file);
        EXPECT_NE (again.instance, nullptr);
        EXPECT_NE (again.output.find (cachedLines (file, 1)), std::string::npos) << again.output;
        EXPECT_EQ (again.output.find ("File was not loaded before"), std::string::npos) << again.output;
    }
}

TEST (ScanCache, AFileWhoseScanFoundNothingIsScannedOnEveryLoad)
{
    TempFolder temp;
    const juce::File files[] = {
        temp.copyOf (TAMBLIT_FIXTURE_NULLENTRY, "NullEntry.so"),
        temp.copyOf (TAMBLIT_FIXTURE_NOENTRY, "NoEntry.so"),
        temp.folder.getChildFile ("Missing.so"),
        [&]
        {
            auto text = temp.folder.getChildFile ("Text.so");
            text.replaceWithText ("not a library");
            return text;
        }(),
    };

    for (const auto& file : files)
    {
        SCOPED_TRACE (file.getFullPathName());
        const auto cacheSize = global_plugin_descriptions.size();
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            Load load (file);
            EXPECT_EQ (load.instance, nullptr);
            EXPECT_NE (load.output.find (checkLine (file) + scanLine (file) + foundLine (0)), std::string::npos) << load.output;
        }
        EXPECT_EQ (global_plugin_descriptions.size(), cacheSize);
    }
}

//==============================================================================
// Where the scanner is looked for.

TEST (ScannerLocation, EachFormatsLayoutHasItsPlace)
{
    const struct
    {
        const char* binary;
        const char* scanner;
    } table[] = {
        { "/home/u/.vst/PluginTamblitSynth.so", "/home/u/.vst/Contents/Resources/Scanlet64" },
        { "/home/u/.lv2/PluginTamblitSynth.lv2/PluginTamblitSynth.so", "/home/u/.lv2/PluginTamblitSynth.lv2/Contents/Resources/Scanlet64" },
        { "/home/u/.vst3/PluginTamblitSynth.vst3/Contents/x86_64-linux/PluginTamblitSynth.so",
          "/home/u/.vst3/PluginTamblitSynth.vst3/Contents/Resources/Scanlet64" },
        { "/usr/lib/vst3/PluginTamblitSynth.vst3/Contents/aarch64-linux/PluginTamblitSynth.so",
          "/usr/lib/vst3/PluginTamblitSynth.vst3/Contents/Resources/Scanlet64" },
        { "/opt/Contents/Resources/tool", "/opt/Contents/Resources/Contents/Resources/Scanlet64" },
    };
    for (auto& row : table)
        EXPECT_EQ (scannerLocationFor (juce::File (row.binary), "Scanlet64").getFullPathName(), juce::String (row.scanner)) << row.binary;
}

TEST (ScannerLocation, IsContentsResourcesBesideTheBinaryHoldingTheCode)
{
    // In the test program the loader's code is linked into the executable itself.
    const auto self = juce::File ("/proc/self/exe").getLinkedTarget();
    EXPECT_EQ (expectedScannerLocation ("Scanlet64"), self.getSiblingFile ("Contents/Resources/Scanlet64"));
    EXPECT_EQ (expectedScannerLocation ("/elsewhere/Scanlet64"), self.getSiblingFile ("Contents/Resources/Scanlet64"));

    // In a host it is linked into the container's .so: the binary holding an
    // address of that .so is the .so, also when it was opened through a link.
    TempFolder temp;
    const auto link = temp.folder.getChildFile ("Linked.so");
    ASSERT_TRUE (juce::File (TAMBLIT_PLUGIN_PATH).createSymbolicLink (link, false));
    auto* handle = dlopen (link.getFullPathName().toRawUTF8(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE (handle, nullptr) << dlerror();
    auto* entry = dlsym (handle, "VSTPluginMain");
    ASSERT_NE (entry, nullptr);
    EXPECT_EQ (binaryHoldingAddress (entry), juce::File (TAMBLIT_PLUGIN_PATH));
    // The container stays loaded: its JUCE copy is not made to be unloaded mid-process.

    // The build tree puts the scanner where the built container looks for it.
    EXPECT_TRUE (isRunnableScanner (juce::File (TAMBLIT_PLUGIN_PATH).getSiblingFile ("Contents/Resources/Scanlet64")));
}

TEST (ScannerLocation, EnablingFindsTheScannerBesideTheBinary)
{
    const auto expected = expectedScannerLocation ("Scanlet64");
    ASSERT_FALSE (expected.exists()) << "left over from an earlier run: " << expected.getFullPathName();
    struct RemoveAfterwards
    {
        juce::File folder;
        ~RemoveAfterwards() { folder.deleteRecursively(); }
    } contents { expected.getParentDirectory().getParentDirectory() };
    ASSERT_FALSE (contents.folder.exists());
    ASSERT_TRUE (expected.getParentDirectory().createDirectory());
    ASSERT_TRUE (builtScanner().createSymbolicLink (expected, false));

    VSTP2PluginLoader loader;
    loader.setScanWithExternalProcess (true, "Scanlet64");
    EXPECT_TRUE (loader.scan_with_external_process);
    EXPECT_EQ (loader.external_scanner_path, expected.getFullPathName());

    VSTP2PluginLoader disabled;
    disabled.setScanWithExternalProcess (false, "Scanlet64");
    EXPECT_FALSE (disabled.scan_with_external_process);
    EXPECT_EQ (disabled.external_scanner_path, "Scanlet64");

    TempFolder temp;
    const auto file = temp.copyOf (TAMBLIT_FIXTURE_SYNTH, "ViaLocatedScanner.so");
    {
        StdoutCapture capture;
        EXPECT_NE (loader.loadPlugin (file.getFullPathName(), "VST", ""), nullptr);
        const auto output = capture.finish();
        EXPECT_NE (output.find (scanLine (file) + foundLine (1)), std::string::npos) << output;
    }
}

//==============================================================================
// The external route.

TEST (ExternalScan, RealScannerDescribesThePluginWhateverItsPathHoldsAndTheResultIsCached)
{
    ASSERT_TRUE (isRunnableScanner (builtScanner()));
    // Both the plug-in path and the result path (named after the plug-in) carry these.
    const char* names[] = { "plain", "with blanks", "quotes ' and \" and `echo x` $HOME $(false) \\ ;|&" };

    for (auto* name : names)
    {
        SCOPED_TRACE (name);
        TempFolder temp (name);
        const auto file = temp.copyOf (TAMBLIT_FIXTURE_SYNTH,
                                       "Ext" + juce::String (juce::Random::getSystemRandom().nextInt (1000000)) + " " + name + ".so");

        Load external (file, {}, { true, builtScanner().getFullPathName() });
        ASSERT_NE (external.instance, nullptr) << external.output;
        EXPECT_NE (external.output.find (scanLine (file) + foundLine (1)), std::string::npos) << external.output;
        ASSERT_EQ (external.loader->plugin_descriptions.size(), 1);
        EXPECT_EQ (external.loader->plugin_descriptions[0]->fileOrIdentifier, file.getFullPathName());
        EXPECT_EQ (external.loader->plugin_descriptions[0]->descriptiveName, "Fixture Synth");
        EXPECT_TRUE (leftoverResults (file).isEmpty()) << "the result file is deleted after reading";

        // Cached under the exact path: an in-process loader does not scan again.
        Load cached (file);
        EXPECT_NE (cached.instance, nullptr);
        EXPECT_NE (cached.output.find (cachedLines (file, 1)), std::string::npos) << cached.output;
    }
}

TEST (ExternalScan, AShellComesBackAsItsFirstSubPluginAndLoadsWithoutAsking)
{
    TempFolder temp;
    const auto file = temp.copyOf (TAMBLIT_FIXTURE_SHELL, "ExtShell.so");

    Load load (file, {}, { true, builtScanner().getFullPathName() });
    ASSERT_NE (load.instance, nullptr) << load.output;
    EXPECT_EQ (effectId (*load.instance), tamblit::fixtures::kIdShellSub[0]);
    EXPECT_NE (load.output.find (foundLine (1)), std::string::npos) << load.output;
    EXPECT_EQ (load.loader->getCurrentlyLoadedPluginName(), "Alpha");
}

TEST (ExternalScan, APluginThatCrashesTheScannerCostsOnlyTheScanner)
{
    TempFolder temp;
    const auto file = temp.copyOf (TAMBLIT_FIXTURE_SCANCRASH, "ScanCrash.so");

    // Run by hand, the scanner dies of the plug-in's crash and writes nothing.
    const auto result = temp.folder.getChildFile ("direct.txt");
    const auto direct = runProgram (
        { builtScanner().getFullPathName().toStdString(), file.getFullPathName().toStdString(), result.getFullPathName().toStdString() });
    EXPECT_EQ (direct.signal, SIGSEGV);
    EXPECT_FALSE (result.exists());

    // Through the loader: this process goes on, the load fails cleanly.
    Load load (file, {}, { true, builtScanner().getFullPathName() });
    EXPECT_EQ (load.instance, nullptr);
    EXPECT_NE (load.output.find (scanLine (file) + foundLine (0)), std::string::npos) << load.output;
    EXPECT_EQ (load.loader->plugin_descriptions.size(), 0);
    EXPECT_EQ (cacheEntriesFor (file), 0);
}

TEST (ExternalScan, ScannersThatGiveNoUsableResultLeaveTheLoadEmpty)
{
    TempFolder temp;

    struct Case
    {
        const char* name;
        const char* body;
        bool executable;
    };
    const Case cases[] = {
        { "never writes", "exit 0", true },
        { "writes text", "printf 'not xml at all' > \"$2\"", true },
        { "writes another root", "printf '<?xml version=\"1.0\"?>\\n<NOTPLUGIN name=\"x\"/>' > \"$2\"", true },
        { "not executable", "exit 0", false },
        // Killed when its five seconds are up.
        { "never finishes", "exec sleep 60", true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        // Every fake scanner leaves a mark when it runs.
        const auto ranMarker = temp.folder.getChildFile (juce::String (c.name) + ".ran");
        auto scanner = temp.script (juce::String (c.name).replace (" ", "-") + ".sh",
                                    "touch '" + ranMarker.getFullPathName() + "'\n" + c.body);
        if (! c.executable)
            scanner.setExecutePermission (false);
        const auto file = temp.copyOf (TAMBLIT_FIXTURE_SYNTH,
                                       "Fake" + juce::String (juce::Random::getSystemRandom().nextInt (1000000)) + ".so");

        Load load (file, {}, { true, scanner.getFullPathName() });
        EXPECT_EQ (load.instance, nullptr);
        EXPECT_NE (load.output.find (scanLine (file) + foundLine (0)), std::string::npos) << load.output;
        EXPECT_TRUE (leftoverResults (file).isEmpty());
        EXPECT_EQ (ranMarker.exists(), c.executable) << "only an executable scanner is started";
    }
}

//==============================================================================
// Scanlet64 on its own.

TEST (Scanlet64, WritesThePluginXmlOrFailsWithAMessage)
{
    TempFolder temp ("scanlet out");
    const auto scanner = builtScanner().getFullPathName().toStdString();
    const auto result = temp.folder.getChildFile ("result file.txt");
    const auto resultPath = result.getFullPathName().toStdString();

    struct Case
    {
        std::vector<std::string> arguments;
        int exitCode;
        const char* error;
        const char* name;
    };
    const Case cases[] = {
        { { scanner, TAMBLIT_FIXTURE_SYNTH, resultPath }, 0, "", "Fixture Synth" },
        { { scanner, TAMBLIT_FIXTURE_SHELL, resultPath }, 0, "", "Alpha" },
        { { scanner, TAMBLIT_FIXTURE_NULLENTRY, resultPath }, 1, "no VST 2.x plug-in found in", nullptr },
        { { scanner, "/no/such/plugin.so", resultPath }, 1, "no VST 2.x plug-in found in /no/such/plugin.so", nullptr },
        { { scanner, TAMBLIT_FIXTURE_SYNTH }, 1, "usage: Scanlet64 <plug-in path> <result path>", nullptr },
        { { scanner, TAMBLIT_FIXTURE_SYNTH, "relative.txt" }, 1, "the result path must be absolute", nullptr },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.arguments.size() > 1 ? c.arguments[1] : "");
        result.deleteFile();
        const auto run = runProgram (c.arguments);
        ASSERT_TRUE (run.exited) << "signal " << run.signal;
        EXPECT_EQ (run.exitCode, c.exitCode);
        EXPECT_NE (run.errors.find (c.error), std::string::npos) << run.errors;

        if (c.name == nullptr)
        {
            EXPECT_FALSE (result.exists());
            continue;
        }
        auto xml = juce::XmlDocument::parse (result);
        ASSERT_NE (xml, nullptr);
        juce::PluginDescription description;
        ASSERT_TRUE (description.loadFromXml (*xml));
        EXPECT_EQ (description.descriptiveName.isNotEmpty() ? description.descriptiveName : description.name, c.name);
        EXPECT_EQ (description.fileOrIdentifier, juce::String (c.arguments[1]));
    }

    // Nothing but the result was left in the result's folder.
    result.deleteFile();
    EXPECT_EQ (temp.folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*"), 0);
}

//==============================================================================
// No scanner where one is expected: the "Info" box, then in-process scanning.

namespace
{
    // Presses the button of every alert window that opens while it lives.
    struct AlertAnswerer : juce::Timer
    {
        AlertAnswerer() { startTimer (20); }
        ~AlertAnswerer() override { stopTimer(); }

        void timerCallback () override
        {
            for (int i = 0; i < juce::Desktop::getInstance().getNumComponents(); ++i)
            {
                auto* alert = dynamic_cast<juce::AlertWindow*> (juce::Desktop::getInstance().getComponent (i));
                if (alert == nullptr || ! alert->isShowing() || answered.contains (alert))
                    continue;
                for (auto* child : alert->getChildren())
                {
                    if (auto* button = dynamic_cast<juce::TextButton*> (child))
                    {
                        answered.add (alert);
                        titles.add (alert->getName());
                        // The description is the title, ". " and the message.
                        messages.add (alert->getDescription());
                        button->triggerClick();
                        break;
                    }
                }
            }
        }

        juce::Array<juce::Component*> answered;
        juce::StringArray titles, messages;
    };
}

TEST (MissingScanner, ShowsInfoOnceAndTheLoaderScansInProcess)
{
    if (std::getenv ("DISPLAY") == nullptr)
        GTEST_SKIP() << "needs an X display (xvfb-run)";

    const auto expected = expectedScannerLocation ("NoSuchScanlet");
    ASSERT_FALSE (expected.exists());

    AlertAnswerer answerer;
    VSTP2PluginLoader loader;
    loader.setScanWithExternalProcess (true, "NoSuchScanlet");

    ASSERT_EQ (answerer.titles.size(), 1);
    EXPECT_EQ (answerer.titles[0], "Info");
    EXPECT_EQ (answerer.messages[0], "Info. Unable to find " + expected.getFullPathName());
    EXPECT_FALSE (loader.scan_with_external_process);
    EXPECT_EQ (loader.external_scanner_path, "NoSuchScanlet");

    TempFolder temp;
    const auto file = temp.copyOf (TAMBLIT_FIXTURE_SYNTH, "AfterInfo.so");
    StdoutCapture capture;
    EXPECT_NE (loader.loadPlugin (file.getFullPathName(), "VST", ""), nullptr);
    const auto output = capture.finish();
    EXPECT_NE (output.find (scanLine (file) + foundLine (1)), std::string::npos) << output;

    // Disabled, nothing is asked.
    VSTP2PluginLoader quiet;
    quiet.setScanWithExternalProcess (false, "NoSuchScanlet");
    testing_support::runLoopFor (100);
    EXPECT_EQ (answerer.titles.size(), 1);
}

//==============================================================================
// A real Debian plug-in: what the cache saves. Prints the figures; the
// assertions are only about which route each load took.

TEST (ScanCacheFigures, RealPluginFirstScanAgainstCachedReload)
{
    const juce::File amsynth ("/usr/lib/vst/amsynth_vst.so");
    if (! amsynth.existsAsFile())
        GTEST_SKIP() << "amsynth is not installed";

    TempFolder temp;
    const auto file = temp.copyOf (amsynth.getFullPathName().toRawUTF8(), "amsynth_vst.so");

    auto timeDescriptions = [&file] (std::string& output)
    {
        StdoutCapture capture;
        VSTP2PluginLoader loader;
        const auto started = std::chrono::steady_clock::now();
        loader.getPluginDescription (file.getFullPathName());
        const auto seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - started).count();
        output = capture.finish();
        return seconds;
    };

    std::string firstOutput, cachedOutput;
    const auto scan = timeDescriptions (firstOutput);
    const auto cached = timeDescriptions (cachedOutput);
    EXPECT_NE (firstOutput.find (scanLine (file) + foundLine (1)), std::string::npos) << firstOutput;
    EXPECT_NE (cachedOutput.find (cachedLines (file, 1)), std::string::npos) << cachedOutput;

    Load fullCached (file);
    ASSERT_NE (fullCached.instance, nullptr) << fullCached.output;

    std::printf ("\n[figures] amsynth descriptions: first scan %.3f ms, cached %.3f ms, ratio %.0f:1;"
                 " full cached load (with instance) %.3f ms\n",
                 scan * 1000.0, cached * 1000.0, cached > 0 ? scan / cached : 0.0, fullCached.seconds * 1000.0);
    RecordProperty ("first_scan_ms", std::to_string (scan * 1000.0));
    RecordProperty ("cached_ms", std::to_string (cached * 1000.0));
}
