// The protected-slot cache holds files the host will load, so it is no door
// for other users: its folders are made private (0700), refused when they are
// a symbolic link, another user's or writable by others; a plug-in's folder is
// named by the SHA-256 of its real path; a side file never holds a line a path
// smuggled in, and one that does is not believed; the scanner's answers go
// through files in the private cache, not /tmp.
#include "loading/ExternalScanner.h"
#include "loading/PluginCatalogue.h"
#include "loading/ProtectedLoad.h"
#include "test_bridge_support.h"
#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace bridge_test;

namespace
{
    struct CacheUnderTest
    {
        FreshCache cache;
        ScopedEnvironment resources { "TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources" };
        juce::File base = cache.folder.getChildFile ("tamblit");
        juce::File protectedFolder = base.getChildFile ("protected");
    };

    int modeOf (const juce::File& file)
    {
        struct stat info
        {
        };
        if (lstat (file.getFullPathName().toRawUTF8(), &info) != 0)
            return -1;
        return (int) (info.st_mode & 07777);
    }

    std::vector<juce::File> filesBelow (const juce::File& folder)
    {
        std::vector<juce::File> files;
        if (! folder.isDirectory())
            return files;
        for (auto& entry : juce::RangedDirectoryIterator (folder, true, "*", juce::File::findFiles))
            files.push_back (entry.getFile());
        return files;
    }

    // Writes `text` as it is (JUCE's replaceWithText would end lines with "\r\n").
    bool writeText (const juce::File& file, const juce::String& text)
    {
        return file.replaceWithData (text.toRawUTF8(), text.getNumBytesAsUTF8());
    }

    // The SHA-256 of `text` as sha256sum computes it, in hex.
    std::string sha256Of (const std::string& text)
    {
        const auto input = juce::File::createTempFile ("sha");
        input.replaceWithData (text.data(), text.size());
        std::string output;
        EXPECT_EQ (runCommand ("sha256sum '" + input.getFullPathName().toStdString() + "'", &output), 0);
        input.deleteFile();
        return output.substr (0, 64);
    }

    std::string realPathOf (const juce::String& path)
    {
        char resolved[PATH_MAX];
        return realpath (path.toRawUTF8(), resolved) != nullptr ? std::string (resolved) : std::string();
    }
}

TEST (ProtectedCache, FoldersArePrivateAndRefusedWhenOthersCouldWriteThem)
{
    struct Case
    {
        const char* what;
        std::function<void (CacheUnderTest&)> prepare;
        bool accepted;
        const char* reason; // part of the refusal
    };
    const Case cases[] = {
        { "a fresh cache", [] (CacheUnderTest&) {}, true, "" },
        { "a folder an older container made (0755)",
          [] (CacheUnderTest& c)
          {
              c.protectedFolder.createDirectory();
              chmod (c.base.getFullPathName().toRawUTF8(), 0755);
              chmod (c.protectedFolder.getFullPathName().toRawUTF8(), 0755);
          },
          true, "" },
        { "a group-writable protected folder",
          [] (CacheUnderTest& c)
          {
              c.protectedFolder.createDirectory();
              chmod (c.protectedFolder.getFullPathName().toRawUTF8(), 0770);
          },
          false, "its group or other users may write to it" },
        { "a world-writable base folder",
          [] (CacheUnderTest& c)
          {
              c.protectedFolder.createDirectory();
              chmod (c.base.getFullPathName().toRawUTF8(), 01777);
          },
          false, "its group or other users may write to it" },
        { "a protected folder that is a symbolic link",
          [] (CacheUnderTest& c)
          {
              c.base.createDirectory();
              const auto elsewhere = c.cache.folder.getChildFile ("elsewhere");
              elsewhere.createDirectory();
              chmod (elsewhere.getFullPathName().toRawUTF8(), 0700);
              ASSERT_EQ (symlink (elsewhere.getFullPathName().toRawUTF8(), c.protectedFolder.getFullPathName().toRawUTF8()), 0);
          },
          false, "it is a symbolic link" },
        { "a file where the folder belongs",
          [] (CacheUnderTest& c)
          {
              c.base.createDirectory();
              c.protectedFolder.replaceWithText ("not a folder");
          },
          false, "it is no folder" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        CacheUnderTest cache;
        c.prepare (cache);
        juce::String error;
        const auto standIn = protectedLoad::standInFor (juce::String (TAMBLIT_FIXTURE_SYNTH), error);
        if (c.accepted)
        {
            ASSERT_TRUE (standIn.existsAsFile()) << error;
            EXPECT_EQ (modeOf (cache.base), 0700);
            EXPECT_EQ (modeOf (cache.protectedFolder), 0700);
            EXPECT_EQ (modeOf (standIn.getParentDirectory()), 0700);
            EXPECT_EQ (standIn.getParentDirectory().getParentDirectory(), cache.protectedFolder);
        }
        else
        {
            EXPECT_EQ (standIn, juce::File());
            EXPECT_TRUE (error.contains ("refusing the cache folder")) << error;
            EXPECT_TRUE (error.contains (c.reason)) << error;
            // Nothing was put where others could have reached it.
            EXPECT_TRUE (filesBelow (cache.cache.folder.getChildFile ("elsewhere")).empty());
            for (const auto& file : filesBelow (cache.base))
                EXPECT_FALSE (file.getFileName().endsWith (".so")) << file.getFullPathName();
        }
    }
}

TEST (ProtectedCache, AFolderOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    CacheUnderTest cache;
    cache.protectedFolder.createDirectory();
    chmod (cache.base.getFullPathName().toRawUTF8(), 0700);
    chmod (cache.protectedFolder.getFullPathName().toRawUTF8(), 0700);
    ASSERT_EQ (chown (cache.protectedFolder.getFullPathName().toRawUTF8(), 65534, 65534), 0);
    juce::String error;
    EXPECT_EQ (protectedLoad::standInFor (juce::String (TAMBLIT_FIXTURE_SYNTH), error), juce::File());
    EXPECT_TRUE (error.contains ("belongs to user 65534")) << error;
    EXPECT_TRUE (filesBelow (cache.protectedFolder).empty());
}

// Through the built container: a protected slot whose cache is refused runs no
// worker and leaves nothing in the folder others could write. The project
// loads slot 0 (protected) before slot 1 (in the host's process, active): once
// slot 1 plays, slot 0 has been tried.
TEST (ProtectedCache, TheContainerRefusesAGroupWritableCache)
{
    namespace fx = tamblit::fixtures;
    CacheUnderTest cache;
    cache.protectedFolder.createDirectory();
    chmod (cache.protectedFolder.getFullPathName().toRawUTF8(), 0770);
    RawVstHost host;
    std::string error;
    ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
    host.start (48000.0f, 64);
    host.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_CRASHER, "", true } }, { 1, { TAMBLIT_FIXTURE_SYNTH8, "", false } } }, 1)));
    bool slot1Plays = false;
    for (int block = 0; block < 2000 && ! slot1Plays; ++block)
    {
        const auto played = host.process (64);
        slot1Plays = std::abs (identityOf (played, fx::presetValue (0, fx::kParamLevel)) - fx::kIdentitySynth8) < 1e-4f;
        if (! slot1Plays)
            std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
    ASSERT_TRUE (slot1Plays);
    EXPECT_TRUE (workersRunning (TAMBLIT_FIXTURE_CRASHER).empty());
    EXPECT_TRUE (filesBelow (cache.protectedFolder).empty());
    host.close();
}

TEST (ProtectedCache, APluginsFolderIsNamedByTheSha256OfItsRealPath)
{
    CacheUnderTest cache;
    const auto links = cache.cache.folder.getChildFile ("links");
    links.createDirectory();
    const auto linked = links.getChildFile ("renamed-synth.so");
    ASSERT_EQ (symlink (TAMBLIT_FIXTURE_SYNTH, linked.getFullPathName().toRawUTF8()), 0);

    struct Case
    {
        const char* what;
        juce::String identifier;
        std::string key; // what the folder name hashes
    };
    const Case cases[] = {
        { "a VST 2.x file", TAMBLIT_FIXTURE_SYNTH, realPathOf (TAMBLIT_FIXTURE_SYNTH) },
        { "a VST 2.x file through a symbolic link", linked.getFullPathName(), realPathOf (TAMBLIT_FIXTURE_SYNTH) },
        { "a VST3 bundle", TAMBLIT_FIXTURE_VST3_SYNTH, realPathOf (TAMBLIT_FIXTURE_VST3_SYNTH) },
        { "an LV2 plug-in's URI", "http://tamblit.test/plugins/cache-name", "http://tamblit.test/plugins/cache-name" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ASSERT_FALSE (c.key.empty());
        juce::String error;
        const auto standIn = protectedLoad::standInFor (c.identifier, error);
        ASSERT_TRUE (standIn.existsAsFile()) << error;
        EXPECT_EQ (standIn.getParentDirectory().getFileName().toStdString(), sha256Of (c.key));
    }
}

// A path with a control character in it would write lines of its choosing
// into the side file the bridge trusts: such a plug-in is refused cleanly.
TEST (ProtectedCache, APathWithALineBreakIsRefusedAndAddsNoLine)
{
    CacheUnderTest cache;
    struct Case
    {
        const char* what;
        const char* folderName;
    };
    const Case cases[] = {
        { "a line break", "plugins\nworker=/tmp/evil" },
        { "a carriage return", "plugins\rtarget=/tmp/evil.so" },
        { "a tab", "plug\tins" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto folder = cache.cache.folder.getChildFile (c.folderName);
        ASSERT_TRUE (folder.createDirectory());
        const auto plugin = folder.getChildFile ("fixture-synth.so");
        ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_SYNTH).copyFileTo (plugin));
        juce::String error;
        EXPECT_EQ (protectedLoad::standInFor (plugin.getFullPathName(), error), juce::File());
        EXPECT_TRUE (error.contains ("line break or another control character")) << error;
    }
    for (const auto& file : filesBelow (cache.protectedFolder))
        ADD_FAILURE() << "written: " << file.getFullPathName();
}

// A side file with a line that does not read as a clean key=value is not
// believed, neither by the container nor by the bridge that loads beside it.
TEST (ProtectedCache, ASideFileWithALineThatDoesNotValidateIsRefused)
{
    CacheUnderTest cache;
    juce::String error;
    const auto standIn = protectedLoad::standInFor (juce::String (TAMBLIT_FIXTURE_SYNTH), error);
    ASSERT_TRUE (standIn.existsAsFile()) << error;
    const auto side = standIn.getSiblingFile (standIn.getFileName() + ".target");
    const auto good = side.loadFileAsString();
    ASSERT_EQ (protectedLoad::targetBehind (standIn), juce::String (TAMBLIT_FIXTURE_SYNTH));

    struct Case
    {
        const char* what;
        juce::String text;
    };
    const Case cases[] = {
        { "a line that is no key=value", good + "/tmp/evil.so\n" },
        { "a carriage return in the target", good.replace ("target=", "target=\r") },
        { "an escape character in the worker", good.replace ("worker=", "worker=\x1b") },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ASSERT_TRUE (writeText (side, c.text));
        EXPECT_EQ (protectedLoad::targetBehind (standIn), standIn.getFullPathName());
        RawVstHost host;
        std::string loadError;
        EXPECT_FALSE (host.load (standIn.getFullPathName().toStdString(), loadError)) << "the bridge believed the side file";
    }
    ASSERT_TRUE (writeText (side, good));
    RawVstHost host;
    std::string loadError;
    EXPECT_TRUE (host.load (standIn.getFullPathName().toStdString(), loadError)) << loadError;
    host.close();
}

// The scanner writes its answer into a file the container made for it in its
// private cache folder: nothing is named in the shared /tmp.
TEST (ProtectedCache, TheScannersAnswersGoThroughThePrivateCache)
{
    CacheUnderTest cache;
    // The real scanner, behind a script that notes the arguments it was given.
    const auto noted = cache.cache.folder.getChildFile ("arguments.txt");
    const auto script = cache.cache.folder.getChildFile ("scanner.sh");
    const auto scanner = juce::File (TAMBLIT_BINARY_DIR "/plugin/Contents/Resources/Scanlet64");
    ASSERT_TRUE (scanner.existsAsFile());
    ASSERT_TRUE (writeText (script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + noted.getFullPathName()
                                        + "'; done\nexec '" + scanner.getFullPathName() + "' \"$@\"\n"));
    ASSERT_EQ (chmod (script.getFullPathName().toRawUTF8(), 0755), 0);

    struct Case
    {
        const char* what;
        std::function<int()> scan; // descriptions found
    };
    const Case cases[] = {
        { "one file through the loader's scanner",
          [&]
          {
              juce::OwnedArray<juce::PluginDescription> found;
              scanWithExternalProcess (script, TAMBLIT_FIXTURE_SYNTH, found);
              return found.size();
          } },
        { "the catalogue describing a folder",
          [&]
          {
              const auto folder = cache.cache.folder.getChildFile ("vst");
              folder.createDirectory();
              juce::File (TAMBLIT_FIXTURE_SYNTH).copyFileTo (folder.getChildFile ("fixture-synth.so"));
              pluginCatalogue::Folders folders;
              folders.vst2.add (folder.getFullPathName());
              pluginCatalogue::Options options;
              options.scanner = script;
              options.cacheFile = cache.base.getChildFile ("catalogue.xml");
              options.timeoutMs = 20000;
              return (int) pluginCatalogue::scan (folders, options).plugins.size();
          } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        noted.deleteFile();
        EXPECT_GT (c.scan(), 0);
        const auto arguments = juce::StringArray::fromLines (noted.loadFileAsString().trim());
        ASSERT_FALSE (arguments.isEmpty());
        const juce::File answer (arguments[arguments.size() - 1]);
        EXPECT_EQ (answer.getParentDirectory(), cache.base.getChildFile ("tmp"));
        EXPECT_EQ (modeOf (answer.getParentDirectory()), 0700);
        EXPECT_FALSE (answer.exists()) << "the answer was left behind";
    }
}
