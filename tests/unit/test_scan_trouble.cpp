// The installed-plug-in scan cannot hang the host: the scanner's stderr is
// read while it runs and bounded, a plug-in that floods it or leaves a process
// behind holding it is listed as failed in bounded time, a bundle whose
// symbolic links loop is scanned without walking them, and a stop ends the
// running scanner at once. In every case no scanner is left unreaped and no
// process of its group is left alive.
#include "loading/PluginCatalogue.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
    struct ProcessEntry
    {
        int pid = 0, parent = 0;
        char state = '?';
        std::string name;
    };

    std::vector<ProcessEntry> processes ()
    {
        std::vector<ProcessEntry> out;
        for (const auto& entry : juce::RangedDirectoryIterator (juce::File ("/proc"), false, "*", juce::File::findDirectories))
        {
            const auto pid = entry.getFile().getFileName().getIntValue();
            if (pid <= 0)
                continue;
            std::ifstream stat ("/proc/" + std::to_string (pid) + "/stat");
            std::string line;
            if (! std::getline (stat, line))
                continue;
            const auto open = line.find ('('), close = line.rfind (')');
            if (open == std::string::npos || close == std::string::npos)
                continue;
            ProcessEntry process;
            process.pid = pid;
            process.name = line.substr (open + 1, close - open - 1);
            std::istringstream rest (line.substr (close + 2));
            rest >> process.state >> process.parent;
            out.push_back (process);
        }
        return out;
    }

    // Children of this test left as zombies: scanners nobody reaped.
    int zombieChildren ()
    {
        int count = 0;
        for (const auto& process : processes())
            count += process.parent == getpid() && process.state == 'Z' ? 1 : 0;
        return count;
    }

    // Live processes the lingering fixture left behind. A SIGKILLed one may
    // take a moment to go; it is given two seconds.
    int lingerersAlive ()
    {
        int count = 0;
        for (int attempt = 0; attempt < 20; ++attempt)
        {
            count = 0;
            for (const auto& process : processes())
                count += process.name == "tamblit-linger" && process.state != 'Z' ? 1 : 0;
            if (count == 0)
                break;
            std::this_thread::sleep_for (std::chrono::milliseconds (100));
        }
        return count;
    }

    juce::String failure (const pluginCatalogue::Catalogue& catalogue, const juce::String& candidateName)
    {
        for (const auto& failed : catalogue.failed)
            if (failed.candidate.endsWith ("/" + candidateName))
                return failed.reason;
        return {};
    }

    struct ScanTrouble : ::testing::Test
    {
        void SetUp () override
        {
            root = juce::File::createTempFile ("scan-trouble");
            ASSERT_TRUE (root.getChildFile ("vst").createDirectory());
            ASSERT_TRUE (root.getChildFile ("vst3").createDirectory());
            folders.vst2.add (root.getChildFile ("vst").getFullPathName());
            folders.vst3.add (root.getChildFile ("vst3").getFullPathName());
            options.scanner = juce::File (TAMBLIT_BINARY_DIR "/plugin/Contents/Resources/Scanlet64");
            options.cacheFile = root.getChildFile ("cache/catalogue.xml");
            options.timeoutMs = 3000;
        }

        void TearDown () override { root.deleteRecursively(); }

        void link (const juce::String& target, const juce::String& at)
        {
            ASSERT_TRUE (juce::File (target).createSymbolicLink (root.getChildFile (at), true)) << at;
        }

        juce::File root;
        pluginCatalogue::Folders folders;
        pluginCatalogue::Options options;
    };

    using Clock = std::chrono::steady_clock;

    double secondsSince (Clock::time_point start)
    {
        return std::chrono::duration<double> (Clock::now() - start).count();
    }
}

TEST_F (ScanTrouble, EachTroubleIsListedInBoundedTimeAndLeavesNoProcess)
{
    struct Case
    {
        const char* what;
        const char* candidate; // under vst3/
        std::function<void (ScanTrouble&)> install;
        bool hangs; // else it fails by itself, and fast
    };
    const std::vector<Case> cases {
        { "floods stderr with 8 MB", "fixture-scan-flood.vst3",
          [] (ScanTrouble& t) { t.link (TAMBLIT_FIXTURE_SCAN_FLOOD, "vst3/fixture-scan-flood.vst3"); }, false },
        { "leaves a process holding the pipe", "fixture-scan-linger.vst3",
          [] (ScanTrouble& t) { t.link (TAMBLIT_FIXTURE_SCAN_LINGER, "vst3/fixture-scan-linger.vst3"); }, false },
        { "hangs", "fixture-scan-hang.vst3", [] (ScanTrouble& t) { t.link (TAMBLIT_FIXTURE_SCAN_HANG, "vst3/fixture-scan-hang.vst3"); },
          true },
        { "bundle whose links loop back into it", "loop.vst3",
          [] (ScanTrouble& t)
          {
              const auto contents = t.root.getChildFile ("vst3/loop.vst3/Contents");
              ASSERT_TRUE (contents.getChildFile ("x86_64-linux").createDirectory());
              // Two links back to the bundle: walking them doubles the paths at every level.
              for (const char* name : { "a", "b" })
                  ASSERT_EQ (symlink ("..", contents.getChildFile (name).getFullPathName().toRawUTF8()), 0);
              // And a folder of the search path that links to its parent.
              ASSERT_TRUE (t.root.getChildFile ("vst3/more").createDirectory());
              for (const char* name : { "up", "again" })
                  ASSERT_EQ (symlink ("..", t.root.getChildFile ("vst3/more").getChildFile (name).getFullPathName().toRawUTF8()), 0);
          },
          false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        root.getChildFile ("vst3").deleteRecursively();
        ASSERT_TRUE (root.getChildFile ("vst3").createDirectory());
        c.install (*this);
        const auto start = Clock::now();
        const auto catalogue = pluginCatalogue::scan (folders, options);
        EXPECT_LT (secondsSince (start), options.timeoutMs / 1000.0 + 5.0);

        const auto reason = failure (catalogue, c.candidate);
        EXPECT_TRUE (reason.isNotEmpty());
        EXPECT_LE (reason.length(), 1000);
        EXPECT_EQ (reason.startsWith ("hung while being scanned (no answer in 3.0 s)"), c.hangs) << reason;
        // The loop is one candidate, however many paths its links make.
        EXPECT_EQ (catalogue.failed.size() + catalogue.plugins.size(), 1u);
        EXPECT_EQ (zombieChildren(), 0);
        EXPECT_EQ (lingerersAlive(), 0);
    }
}

// The progress window's cancel button signals its thread to exit; the scan
// asks threadShouldExit(). Here a thread does the same: the stop comes while
// the hanging candidate is being scanned, with a timeout long enough that
// only the stop can end it.
TEST_F (ScanTrouble, AStopEndsTheRunningScannerAndKeepsWhatWasScanned)
{
    ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_SYNTH).copyFileTo (root.getChildFile ("vst/fixture-synth.so")));
    link (TAMBLIT_FIXTURE_SCAN_HANG, "vst3/fixture-scan-hang.vst3");
    options.timeoutMs = 120000;

    struct ScanThread : juce::Thread
    {
        ScanThread (ScanTrouble& t)
            : juce::Thread ("scan"),
              test (t)
        {
        }
        void run () override
        {
            auto options = test.options;
            options.progress = [this] (double, const juce::String& candidate)
            {
                if (candidate.endsWith ("/fixture-scan-hang.vst3"))
                    reachedHang = true;
            };
            options.shouldStop = [this] { return threadShouldExit(); };
            result = pluginCatalogue::scan (test.folders, options);
        }
        ScanTrouble& test;
        std::atomic<bool> reachedHang { false };
        pluginCatalogue::Catalogue result;
    };

    ScanThread scanning (*this);
    const auto start = Clock::now();
    scanning.startThread();
    while (! scanning.reachedHang && secondsSince (start) < 30.0)
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
    ASSERT_TRUE (scanning.reachedHang);
    std::this_thread::sleep_for (std::chrono::milliseconds (300));
    scanning.signalThreadShouldExit();
    ASSERT_TRUE (scanning.waitForThreadToExit (10000)) << "the stop did not end the scanner";
    EXPECT_LT (secondsSince (start), 60.0);

    EXPECT_TRUE (scanning.result.stopped);
    EXPECT_EQ (failure (scanning.result, "fixture-scan-hang.vst3"), "");
    ASSERT_EQ (scanning.result.plugins.size(), 1u);
    EXPECT_TRUE (scanning.result.plugins[0].fileOrIdentifier.endsWith ("/fixture-synth.so"));
    EXPECT_EQ (zombieChildren(), 0);

    // The stopped candidate is not remembered: the next scan describes it.
    options.timeoutMs = 2000;
    const auto next = pluginCatalogue::scan (folders, options);
    EXPECT_EQ (next.fromCache, 1);
    EXPECT_EQ (next.described, 1);
    EXPECT_TRUE (failure (next, "fixture-scan-hang.vst3").startsWith ("hung while being scanned"));
}
