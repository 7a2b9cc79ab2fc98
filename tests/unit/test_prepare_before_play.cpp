// A host announces its sample rate and block size, restores a project (which
// loads plug-ins into the slots) and only then resumes the container. Plug-ins
// loaded in between must be prepared at the announced rate, never at 0: some
// only complain on the console, others end the whole host process. Each case
// runs in a child process so that such a death is seen, not suffered.
#include "FixtureSignal.h"
#include "RawVstHost.h"
#include <gtest/gtest.h>
#include <juce_core/juce_core.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
    namespace fx = tamblit::fixtures;

    constexpr float announcedRate = 96000.0f;
    constexpr int announcedBlock = 128;
    constexpr int note = 69;
    constexpr int blocksPlayed = 750; // one second at the announced rate
    constexpr auto childBound = std::chrono::seconds (120);

    // What DPF plug-ins print when they are prepared at rate 0.
    const std::string zeroRateAssertion = "sampleRate > 0.0";

    struct Case
    {
        const char* what;
        std::string path;
        bool instrument; // plays a held note; an effect fed silence may stay silent
        bool fixture; // its output is known sample by sample (FixtureSignal.h)
    };

    struct Outcome
    {
        bool exited = false;
        int exitCode = -1;
        int signal = 0;
        bool timedOut = false;
        std::string console;
        std::map<std::string, std::string> report;

        bool has (const std::string& key) const { return report.count (key) != 0; }
        double number (const std::string& key) const { return has (key) ? std::atof (report.at (key).c_str()) : -1.0; }
    };

    std::string readText (const std::string& path)
    {
        std::ifstream in (path, std::ios::binary);
        return std::string ((std::istreambuf_iterator<char> (in)), std::istreambuf_iterator<char>());
    }

    std::vector<char> toBytes (const juce::String& text)
    {
        return std::vector<char> (text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    }

    juce::String document (const std::string& slot0)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<pluginData>\n"
               "  <main_plugin activePlugin=\"0\" optionB0=\"0\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\"early\"/>\n"
               "  <plugin index=\"0\" filePath=\""
               + juce::String (slot0)
               + "\" loadedPluginName=\"\"/>\n"
                 "</pluginData>\n";
    }

    bool slot0Loaded (const std::vector<char>& chunk, const std::string& path)
    {
        auto root = juce::XmlDocument::parse (juce::String::fromUTF8 (chunk.data(), (int) chunk.size()));
        if (root == nullptr)
            return false;
        auto* slot = root->getChildByAttribute ("index", "0");
        // "name" is written only for a plug-in that is loaded.
        return slot != nullptr && slot->getStringAttribute ("filePath") == juce::String (path) && slot->hasAttribute ("name");
    }

    // The host part, in the child. Writes key=value lines to `report` as it
    // goes, so a death part way shows how far it got.
    [[noreturn]] void hostInChild (const Case& c, FILE* report)
    {
        auto say = [report] (const std::string& key, const std::string& value)
        {
            std::fprintf (report, "%s=%s\n", key.c_str(), value.c_str());
            std::fflush (report);
        };

        RawVstHost host;
        std::string error;
        if (! host.load (TAMBLIT_PLUGIN_PATH, error))
        {
            say ("error", error);
            std::fflush (nullptr);
            _exit (2);
        }

        say ("container", "1");

        // Announced, not resumed: the container is not prepared yet.
        host.dispatch (effSetSampleRate, 0, 0, nullptr, announcedRate);
        host.dispatch (effSetBlockSize, 0, announcedBlock, nullptr, 0.0f);
        host.setChunk (toBytes (document (c.path)));
        say ("restored", "1");
        say ("loaded", slot0Loaded (host.getChunk(), c.path) ? "1" : "0");

        host.dispatch (effMainsChanged, 0, 1, nullptr, 0.0f);
        host.dispatch (effStartProcess);
        say ("resumed", "1");

        const float tone = host.effect()->getParameter (host.effect(), fx::kParamTone);
        bool finite = true;
        auto checkFinite = [&finite] (const std::vector<std::vector<float>>& block)
        {
            for (auto& channel : block)
                for (float sample : channel)
                    finite = finite && std::isfinite (sample);
        };

        // A block before the note: what the plug-in plays without one (the fixture's constant part).
        const auto before = host.process (announcedBlock);
        checkFinite (before);
        say ("channels", std::to_string (before.size()));
        std::vector<float> rest;
        for (auto& channel : before)
            rest.push_back (channel.empty() ? 0.0f : channel.back());

        double peak = 0.0, toneError = 0.0;
        long long n = 0;
        for (int b = 0; b < blocksPlayed; ++b)
        {
            std::vector<VstMidiEvent> events;
            if (b == 0)
                events.push_back (makeNoteOn (note, 100, 0));
            const auto block = host.process (announcedBlock, events);
            checkFinite (block);
            for (size_t ch = 0; ch < block.size(); ++ch)
                for (size_t i = 0; i < block[ch].size(); ++i)
                {
                    const double played = (double) block[ch][i] - (double) rest[ch];
                    peak = std::max (peak, std::abs (played));
                    if (c.fixture)
                    {
                        const double expected = fx::fixtureTone (note, n + (long long) i, announcedRate, tone);
                        toneError = std::max (toneError, std::abs (played - expected));
                    }
                }
            n += (long long) announcedBlock;
        }

        say ("finite", finite ? "1" : "0");
        say ("peak", std::to_string (peak));
        say ("toneError", std::to_string (toneError));

        host.stop();
        host.close();
        say ("closed", "1");
        std::fflush (nullptr);
        _exit (0);
    }

    // Runs one case in a child whose standard output and error are kept.
    Outcome runInChild (const Case& c)
    {
        const std::string dir = TAMBLIT_BINARY_DIR "/test_prepare_before_play_files";
        mkdir (dir.c_str(), 0755);
        const auto name = juce::File (c.path).getFileNameWithoutExtension().toStdString();
        const std::string consolePath = dir + "/" + name + "-console.txt";
        const std::string reportPath = dir + "/" + name + "-report.txt";
        std::remove (consolePath.c_str());
        std::remove (reportPath.c_str());

        std::fflush (nullptr);
        const pid_t child = fork();
        if (child == 0)
        {
            const int console = open (consolePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2 (console, STDOUT_FILENO);
            dup2 (console, STDERR_FILENO);
            close (console);
            FILE* report = std::fopen (reportPath.c_str(), "w");
            if (report == nullptr)
                _exit (3);
            hostInChild (c, report);
        }

        Outcome outcome;
        if (child < 0)
            return outcome;

        int status = 0;
        const auto end = std::chrono::steady_clock::now() + childBound;
        for (;;)
        {
            if (waitpid (child, &status, WNOHANG) == child)
                break;
            if (std::chrono::steady_clock::now() > end)
            {
                outcome.timedOut = true;
                kill (child, SIGKILL);
                waitpid (child, &status, 0);
                break;
            }
            std::this_thread::sleep_for (std::chrono::milliseconds (20));
        }

        outcome.exited = WIFEXITED (status);
        outcome.exitCode = outcome.exited ? WEXITSTATUS (status) : -1;
        outcome.signal = WIFSIGNALED (status) ? WTERMSIG (status) : 0;
        outcome.console = readText (consolePath);

        std::istringstream lines (readText (reportPath));
        for (std::string line; std::getline (lines, line);)
        {
            const auto eq = line.find ('=');
            if (eq != std::string::npos)
                outcome.report[line.substr (0, eq)] = line.substr (eq + 1);
        }
        return outcome;
    }

    void check (const Case& c)
    {
        SCOPED_TRACE (c.what);
        const auto outcome = runInChild (c);
        const auto tail = outcome.console.size() > 4000 ? outcome.console.substr (outcome.console.size() - 4000) : outcome.console;

        EXPECT_FALSE (outcome.timedOut) << "the host did not finish";
        EXPECT_TRUE (outcome.exited && outcome.exitCode == 0)
            << "the host process ended with "
            << (outcome.exited ? "exit code " + std::to_string (outcome.exitCode) : "signal " + std::to_string (outcome.signal))
            << "; it got as far as: "
            << (outcome.has ("closed")      ? "closing the container"
                : outcome.has ("resumed")   ? "playing"
                : outcome.has ("restored")  ? "resuming"
                : outcome.has ("container") ? "the restore that loads the plug-in"
                                            : "loading the container")
            << "\n"
            << tail;
        EXPECT_EQ (outcome.console.find (zeroRateAssertion), std::string::npos) << "prepared at sample rate 0:\n" << tail;

        ASSERT_TRUE (outcome.has ("closed")) << (outcome.has ("error") ? outcome.report.at ("error") : std::string());
        EXPECT_EQ (outcome.report.at ("finite"), "1") << "output with NaN or infinity";
        EXPECT_EQ (outcome.number ("channels"), 2.0);
        EXPECT_EQ (outcome.report.at ("loaded"), "1") << "slot 0 holds the plug-in after the restore";

        if (c.instrument)
        {
            EXPECT_GT (outcome.number ("peak"), 1.0e-3) << "no sound for a held note";
        }
        if (c.fixture)
        {
            EXPECT_LT (outcome.number ("toneError"), 1.0e-4) << "the note's pitch says another sample rate than " << announcedRate;
        }
    }

    bool present (const std::string& path)
    {
        struct stat info
        {
        };
        return stat (path.c_str(), &info) == 0;
    }
}

TEST (PrepareBeforePlay, PluginsRestoredBeforeTheHostResumesPlayAtTheAnnouncedRate)
{
    const Case cases[] = {
        { "the fixture synth", TAMBLIT_FIXTURE_SYNTH, true, true },
        { "a DPF synth (dpf-plugins-vst)", "/usr/lib/vst/Kars-vst.so", true, false },
        { "another DPF synth (dpf-plugins-vst)", "/usr/lib/vst/Nekobi-vst.so", true, false },
    };
    for (auto& c : cases)
    {
        if (! present (c.path))
        {
            ADD_FAILURE() << "missing " << c.path;
            continue;
        }
        check (c);
    }
}

TEST (PrepareBeforePlay, AnEffectThatAbortsAtRateZeroLeavesTheHostRunning)
{
    const Case c { "ZynDynamicFilter (zynaddsubfx-vst)", "/usr/lib/vst/ZynDynamicFilter.so", false, false };
    if (! present (c.path))
        GTEST_SKIP() << c.path << " is not installed (Debian package zynaddsubfx-vst)";
    check (c);
}
