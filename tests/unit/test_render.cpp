// tamblit-render, run as a user runs it: the built container hosts real plug-in
// files, the WAV it writes is read back and checked sample by sample.
#include "../../tools/render/SignalAnalysis.h"
#include "FixtureCrasher.h"
#include "FixtureSignal.h"
#include "processor/StateCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
    namespace fx = tamblit::fixtures;

    const std::string renderer = TAMBLIT_BINARY_DIR "/tools/render/tamblit-render";
    const std::string plotter = TAMBLIT_BINARY_DIR "/tools/render/tamblit-wavplot";
    const std::string bridgeCommand = TAMBLIT_BINARY_DIR "/tools/bridge/tamblit-bridge";
    constexpr int rate = 48000;
    constexpr int block = 256;
    constexpr float level = 0.5f;

    struct Run
    {
        int exitCode = -1;
        std::string out;
        std::string err;
    };

    std::string readText (const std::string& path)
    {
        std::ifstream in (path, std::ios::binary);
        return std::string ((std::istreambuf_iterator<char> (in)), std::istreambuf_iterator<char>());
    }

    bool exists (const std::string& path)
    {
        struct stat info
        {
        };
        return stat (path.c_str(), &info) == 0;
    }

    std::string scratch (const std::string& name)
    {
        const std::string dir = TAMBLIT_BINARY_DIR "/test_render_files";
        mkdir (dir.c_str(), 0755);
        const auto path = dir + "/" + name;
        std::remove (path.c_str());
        return path;
    }

    Run runProgram (const std::string& program, const std::vector<std::string>& args)
    {
        const auto outPath = scratch ("stdout.txt");
        const auto errPath = scratch ("stderr.txt");
        const pid_t child = fork();
        if (child == 0)
        {
            const int outFd = open (outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int errFd = open (errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2 (outFd, 1);
            dup2 (errFd, 2);
            std::vector<char*> argv { const_cast<char*> (program.c_str()) };
            for (const auto& a : args)
                argv.push_back (const_cast<char*> (a.c_str()));
            argv.push_back (nullptr);
            execv (program.c_str(), argv.data());
            _exit (127);
        }
        Run run;
        int status = 0;
        waitpid (child, &status, 0);
        run.exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
        run.out = readText (outPath);
        run.err = readText (errPath);
        return run;
    }

    Run renderWith (const std::vector<std::string>& args)
    {
        return runProgram (renderer, args);
    }

    // The renderer writes 32-bit float WAV; read it without the library that wrote it.
    struct Wav
    {
        int channels = 0;
        int sampleRate = 0;
        std::vector<std::vector<float>> data;
        size_t frames () const { return data.empty() ? 0 : data[0].size(); }
    };

    bool readWav (const std::string& path, Wav& wav)
    {
        const auto bytes = readText (path);
        auto u32 = [&bytes] (size_t at)
        {
            std::uint32_t v = 0;
            for (int i = 3; i >= 0; --i)
                v = (v << 8) | static_cast<unsigned char> (bytes[at + (size_t) i]);
            return v;
        };
        if (bytes.size() < 12 || bytes.compare (0, 4, "RIFF") != 0 || bytes.compare (8, 4, "WAVE") != 0)
            return false;
        int bits = 0;
        for (size_t pos = 12; pos + 8 <= bytes.size();)
        {
            const auto id = bytes.substr (pos, 4);
            const size_t size = u32 (pos + 4);
            const size_t body = pos + 8;
            if (body + size > bytes.size())
                return false;
            if (id == "fmt ")
            {
                wav.channels = static_cast<int> (u32 (body + 2) & 0xFFFF);
                wav.sampleRate = static_cast<int> (u32 (body + 4));
                bits = static_cast<int> (u32 (body + 14) & 0xFFFF);
            }
            else if (id == "data")
            {
                if (bits != 32 || wav.channels < 1)
                    return false;
                const size_t frames = size / (4 * (size_t) wav.channels);
                wav.data.assign ((size_t) wav.channels, std::vector<float> (frames));
                for (size_t f = 0; f < frames; ++f)
                    for (int c = 0; c < wav.channels; ++c)
                    {
                        const std::uint32_t raw = u32 (body + (f * (size_t) wav.channels + (size_t) c) * 4);
                        float value;
                        std::memcpy (&value, &raw, 4);
                        wav.data[(size_t) c][f] = value;
                    }
                return true;
            }
            pos = body + size + (size & 1);
        }
        return false;
    }

    // The fingerprint of each fixture at the level these tests give it.
    const std::vector<render::SignalSource> fixtureSources {
        { "synth", fx::kIdentitySynth* level },      { "bridge", fx::kIdentityBridge* level },
        { "bridge-b", fx::kIdentityBridgeB* level }, { "shell Gamma", fx::kIdentityShellSub[2] * level },
        { "crasher", fx::kIdentityCrasher* level },
    };
    constexpr int kSynth = 0, kBridge = 1, kBridgeB = 2, kShellGamma = 3, kCrasher = 4;

    std::vector<int> labelsOf (const Wav& wav)
    {
        return render::classifyBlocks (wav.data[0], wav.data[1], block, fixtureSources);
    }

    std::string params (float tone)
    {
        return "0.5,0," + std::to_string (tone);
    }

    bool contains (const std::string& text, const std::string& part)
    {
        return text.find (part) != std::string::npos;
    }

    // A bridged copy of `plugin` in the scratch folder `into` (made again over an old one).
    std::string bridged (const std::string& plugin, const std::string& into)
    {
        const std::string dir = TAMBLIT_BINARY_DIR "/test_render_files/" + into;
        const auto run = runProgram (bridgeCommand, { "wrap", plugin, "--into", dir });
        EXPECT_EQ (run.exitCode, 0) << run.err;
        return dir + plugin.substr (plugin.find_last_of ('/'));
    }
}

// Which plug-in the output came from, whichever way the slots were given.
TEST (Render, OutputComesFromTheActiveSlotsPlugin)
{
    const auto stateFile = scratch ("state.xml");
    {
        ContainerState saved;
        saved.settings.activeSlot = 1;
        const char* files[2] = { TAMBLIT_FIXTURE_BRIDGE, TAMBLIT_FIXTURE_BRIDGE_B };
        for (size_t slot = 0; slot < 2; ++slot)
        {
            auto& plugin = saved.slots[slot].emplace();
            plugin.filePath = files[slot];
            plugin.parameters.addArray ({ 0.5f, 0.0f });
        }
        std::ofstream state (stateFile);
        state << writeContainerState (saved).toStdString();
    }

    struct Case
    {
        const char* what;
        std::vector<std::string> args;
        int expected;
        const char* summaryLine;
    };
    const std::vector<Case> cases {
        { "fixture synth alone", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--slot0-params", params (0.5f) }, kSynth, "active slot: 0" },
        { "slot 0 active of two",
          { "--slot0", TAMBLIT_FIXTURE_BRIDGE, "--slot0-params", params (0.5f), "--slot1", TAMBLIT_FIXTURE_BRIDGE_B, "--slot1-params",
            params (1.0f) },
          kBridge,
          "active slot: 0" },
        { "slot 1 active of two",
          { "--slot0", TAMBLIT_FIXTURE_BRIDGE, "--slot0-params", params (0.5f), "--slot1", TAMBLIT_FIXTURE_BRIDGE_B, "--slot1-params",
            params (1.0f), "--active", "1" },
          kBridgeB,
          "active slot: 1" },
        { "state document from a file", { "--state", stateFile }, kBridgeB, "active slot: 1" },
        { "named sub-plug-in of a shell",
          { "--slot0", TAMBLIT_FIXTURE_SHELL, "--slot0-name", "Gamma", "--slot0-params", params (0.5f) },
          kShellGamma,
          "active slot: 0" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto wavPath = scratch ("source.wav");
        auto args = c.args;
        args.insert (args.end(), { "--fast", "--seconds", "2", "--out", wavPath });
        const auto run = renderWith (args);
        ASSERT_EQ (run.exitCode, 0) << run.err << run.out;
        EXPECT_TRUE (run.err.empty()) << run.err;
        EXPECT_TRUE (contains (run.out, c.summaryLine)) << run.out;

        Wav wav;
        ASSERT_TRUE (readWav (wavPath, wav));
        EXPECT_EQ (wav.sampleRate, rate);
        ASSERT_EQ (wav.channels, 2);
        EXPECT_EQ (wav.frames(), (size_t) (2 * rate));

        const auto labels = labelsOf (wav);
        for (size_t b = 0; b < labels.size(); ++b)
            ASSERT_EQ (labels[b], c.expected) << "block " << b;

        float peak = 0.0f;
        for (float v : wav.data[0])
            peak = std::max (peak, std::fabs (v));
        EXPECT_GT (peak, 0.05f) << "the built-in phrase plays notes, not only the constant part";
    }
}

// --switch-at switches between two blocks as the panel does: with --fade 0 the
// next block is the other slot's; with a fade only the blocks of the fade mix
// the two.
TEST (Render, SwitchAtMovesTheOutputToTheOtherSlot)
{
    const double switches[] = { 0.5, 1.5 };
    for (const int fadeMs : { 0, 20 })
    {
        SCOPED_TRACE (fadeMs);
        const auto wavPath = scratch ("switched.wav");
        const auto run = renderWith ({ "--fast", "--seconds", "2", "--slot0", TAMBLIT_FIXTURE_BRIDGE, "--slot0-params", params (0.5f),
                                       "--slot1", TAMBLIT_FIXTURE_BRIDGE_B, "--slot1-params", params (1.0f), "--switch-at", "1.5",
                                       "--switch-at", "0.5", "--fade", std::to_string (fadeMs), "--out", wavPath });
        ASSERT_EQ (run.exitCode, 0) << run.err << run.out;
        EXPECT_TRUE (contains (run.out, "switched to slot 1")) << run.out;
        EXPECT_TRUE (contains (run.out, "switched to slot 0")) << run.out;
        EXPECT_TRUE (contains (run.out, "active slot: 0")) << run.out;

        Wav wav;
        ASSERT_TRUE (readWav (wavPath, wav));
        const auto labels = labelsOf (wav);
        const long long fadeBlocks = fadeMs == 0 ? 0 : (long long) std::ceil (fadeMs / 1000.0 * rate / block);
        // A switch lands at the first block starting at or after its time.
        const long long first = (long long) std::ceil (switches[0] * rate / block);
        const long long second = (long long) std::ceil (switches[1] * rate / block);
        for (long long b = 0; b < (long long) labels.size(); ++b)
        {
            const int expected = b < first || b >= second ? kBridge : kBridgeB;
            const long long sinceSwitch = b >= second ? b - second : b - first;
            if (sinceSwitch >= 0 && sinceSwitch < fadeBlocks)
                continue; // the two slots mixed
            ASSERT_EQ (labels[(size_t) b], expected) << "block " << b;
        }
    }
}

// The state read back at the end names what the container holds.
TEST (Render, SummaryReadsTheContainersOwnState)
{
    const auto wavPath = scratch ("summary.wav");
    const auto run = renderWith ({ "--fast", "--seconds", "1", "--slot1", TAMBLIT_FIXTURE_BRIDGE_B, "--active", "1", "--option", "1=1",
                                   "--option", "3=0", "--out", wavPath });
    ASSERT_EQ (run.exitCode, 0) << run.err;
    EXPECT_TRUE (contains (run.out, "active slot: 1")) << run.out;
    EXPECT_TRUE (contains (run.out, "slot 0: empty")) << run.out;
    EXPECT_TRUE (contains (run.out, std::string ("(") + TAMBLIT_FIXTURE_BRIDGE_B + ")")) << run.out;
    EXPECT_TRUE (contains (run.out, "0 console=off, 1 auto crash recovery=on, 2 auto-switch plugin=on, 3 reload crashed plugin data=off"))
        << run.out;
}

// A MIDI file's notes sound at the times its tempo gives them.
TEST (Render, MidiFileNotesStartOnTheirSample)
{
    // Format 0, 480 ticks a quarter, 60 bpm: the note at tick 480 starts at 1 s
    // (at the default 120 bpm it would start at 0.5 s).
    const std::vector<unsigned char> smf {
        'M',  'T',  'h',  'd', 0,   0, 0,  6,    0,    0,    0,    1,    0x01, 0xE0, 'M',
        'T',  'r',  'k',  0,   0,   0, 20, 0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40, // tempo 1,000,000 us a quarter
        0x83, 0x60, 0x90, 69,  100, // delta 480: note-on A4
        0x83, 0x60, 69,   0, // delta 480, running status: note-off
        0x00, 0xFF, 0x2F, 0x00
    };
    const auto midiPath = scratch ("tempo.mid");
    {
        std::ofstream midi (midiPath, std::ios::binary);
        midi.write (reinterpret_cast<const char*> (smf.data()), (std::streamsize) smf.size());
    }
    const auto wavPath = scratch ("midi.wav");
    const auto run = renderWith (
        { "--fast", "--slot0", TAMBLIT_FIXTURE_SYNTH, "--slot0-params", params (0.5f), "--midi", midiPath, "--out", wavPath });
    ASSERT_EQ (run.exitCode, 0) << run.err;

    Wav wav;
    ASSERT_TRUE (readWav (wavPath, wav));
    EXPECT_EQ (wav.frames(), (size_t) (3 * rate)) << "the file's length (2 s) plus one second";

    const float dc = fx::fixtureDc (fx::kIdentitySynth, 0, level, 0.0f);
    size_t firstTone = 0, lastTone = 0;
    for (size_t i = 0; i < wav.frames(); ++i)
        if (std::fabs (wav.data[0][i] - dc) > 1e-6f)
        {
            if (firstTone == 0)
                firstTone = i;
            lastTone = i;
        }
    // The sine starts at 0, so its first audible sample is the one after the note-on.
    EXPECT_GE (firstTone, (size_t) rate);
    EXPECT_LE (firstTone, (size_t) rate + 1);
    EXPECT_LT (lastTone, (size_t) (2 * rate));
    EXPECT_GT (lastTone, (size_t) (2 * rate) - 10);
}

// Slot 0 crashes half-way: the watchdog switches to slot 1 within one tick.
TEST (Render, CrashOfTheActiveSlotHandsOverToTheOtherSlot)
{
    constexpr double crashAt = 2.3;
    const auto wavPath = scratch ("crash.wav");
    const auto run = renderWith ({ "--seconds", "4", "--slot0", TAMBLIT_FIXTURE_BRIDGE, "--slot0-params", params (0.5f), "--slot1",
                                   TAMBLIT_FIXTURE_BRIDGE_B, "--slot1-params", params (1.0f), "--option", "1=1", "--option", "2=1",
                                   "--crash-slot0-at", "2.3", "--out", wavPath });
    ASSERT_EQ (run.exitCode, 0) << run.err;
    EXPECT_TRUE (contains (run.out, "slot 0's plug-in crashes now")) << run.out;
    EXPECT_TRUE (contains (run.out, "active slot: 1")) << run.out;

    Wav wav;
    ASSERT_TRUE (readWav (wavPath, wav));
    const auto labels = labelsOf (wav);
    const auto crashBlock = (long long) std::ceil (crashAt * rate / block);

    for (long long b = 0; b < crashBlock; ++b)
        ASSERT_EQ (labels[(size_t) b], kBridge) << "block " << b << " is before the crash";

    const long long takeover = render::firstBlockOf (labels, kBridgeB, crashBlock);
    ASSERT_GE (takeover, 0) << "slot 1 is never heard";
    for (long long b = crashBlock; b < takeover; ++b)
        ASSERT_EQ (labels[(size_t) b], render::kSilent) << "block " << b << ": the crashed plug-in is silent until the switch";
    for (size_t b = (size_t) takeover; b < labels.size(); ++b)
        ASSERT_EQ (labels[b], kBridgeB) << "block " << b << ": no way back to the crashed slot";

    const double gap = (double) (takeover - crashBlock) * block / rate;
    std::printf ("crash at %.3f s, slot 1 heard from %.3f s: %.0f ms\n", (double) crashBlock * block / rate,
                 (double) takeover * block / rate, gap * 1000.0);
    RecordProperty ("crash_to_switch_ms", (int) std::lround (gap * 1000.0));
    EXPECT_LE (gap, 1.1 + (double) block / rate) << "one watchdog tick";

    // The picture tool reads the same file and finds the same takeover.
    const auto png = scratch ("crash.png");
    const auto plot = runProgram (plotter, { wavPath, png, "--source", "slot0=0.0095", "--source", "slot1=0.0115", "--crash", "2.3",
                                             "--takeover", "slot1" });
    ASSERT_EQ (plot.exitCode, 0) << plot.err;
    EXPECT_TRUE (exists (png));
    char expected[64];
    std::snprintf (expected, sizeof (expected), "first heard in the block at %.3f s", (double) takeover * block / rate);
    EXPECT_TRUE (contains (plot.out, expected)) << plot.out;
}

// The same hand-over with a real crash: slot 0's bridged plug-in dies of SIGSEGV
// in its worker process; the renderer, which hosts the container, lives on.
TEST (Render, RealCrashInABridgedWorkerHandsOverToTheOtherSlot)
{
    const auto crasher = bridged (TAMBLIT_FIXTURE_CRASHER, "bridged");
    const auto synth = bridged (TAMBLIT_FIXTURE_SYNTH, "bridged");
    constexpr double crashAt = 2.0;
    const auto wavPath = scratch ("real-crash.wav");
    const auto run = renderWith ({ "--seconds", "4", "--slot0", crasher, "--slot0-params", params (0.5f), "--slot1", synth,
                                   "--slot1-params", params (1.0f), "--option", "1=1", "--option", "2=1", "--crash-slot0-at", "2", "--out",
                                   wavPath });
    ASSERT_EQ (run.exitCode, 0) << "the renderer survives the crash\n" << run.err << run.out;
    EXPECT_TRUE (contains (run.out, "slot 0's plug-in crashes now (its bridge worker, pid")) << run.out;
    EXPECT_TRUE (contains (run.out, "slot 0's plug-in runs in a fresh bridge worker now")) << run.out;
    EXPECT_TRUE (contains (run.out, "active slot: 1")) << run.out;
    EXPECT_TRUE (contains (run.out, "slot 0: Tamblit fixture [fixture-crasher] (" + crasher + ")")) << "reloaded\n" << run.out;

    Wav wav;
    ASSERT_TRUE (readWav (wavPath, wav));
    const auto labels = labelsOf (wav);
    // A worker that answers late costs its block (silence) on a loaded machine;
    // any sound heard is the right slot's.
    const auto crashBlock = (long long) std::ceil (crashAt * rate / block);
    long long crasherBlocks = 0;
    for (long long b = 0; b < crashBlock; ++b)
    {
        ASSERT_TRUE (labels[(size_t) b] == kCrasher || labels[(size_t) b] == render::kSilent) << "block " << b << " is before the crash";
        crasherBlocks += labels[(size_t) b] == kCrasher ? 1 : 0;
    }
    EXPECT_GT (crasherBlocks, crashBlock * 9 / 10) << "slot 0 plays until the crash";

    const long long takeover = render::firstBlockOf (labels, kSynth, crashBlock);
    ASSERT_GE (takeover, 0) << "slot 1 is never heard";
    for (long long b = crashBlock; b < takeover; ++b)
        ASSERT_EQ (labels[(size_t) b], render::kSilent) << "block " << b << ": the dead worker plays nothing until the switch";
    for (size_t b = (size_t) takeover; b < labels.size(); ++b)
        ASSERT_TRUE (labels[b] == kSynth || labels[b] == render::kSilent) << "block " << b << ": no way back to the crashed slot";

    const double gap = (double) (takeover - crashBlock) * block / rate;
    std::printf ("worker killed at %.3f s, slot 1 heard from %.3f s: %.0f ms\n", crashAt, (double) takeover * block / rate, gap * 1000.0);
    RecordProperty ("crash_to_switch_ms", (int) std::lround (gap * 1000.0));
    // The container hands a bridged slot over within the block: the worker dies
    // between two blocks here, so the next block is the other slot's, or at the
    // latest the one after (a death noticed after the block's wait).
    EXPECT_LE (takeover - crashBlock, 1) << "blocks before the other slot";

    // Without fingerprints, as for real synths, the picture tool finds the same
    // hand-over from the sound alone, and agrees with the renderer's own measure.
    const auto png = scratch ("real-crash.png");
    const auto plot = runProgram (plotter, { wavPath, png, "--crash", "2", "--until-crash", "crasher", "--after-crash", "synth" });
    ASSERT_EQ (plot.exitCode, 0) << plot.err;
    EXPECT_TRUE (exists (png));
    char expected[128];
    if (takeover == crashBlock)
        std::snprintf (expected, sizeof (expected), "after the crash at %.3f s the output never went silent",
                       (double) crashBlock * block / rate);
    else
        std::snprintf (expected, sizeof (expected), "silent from %.3f s, sound again from %.3f s", (double) crashBlock * block / rate,
                       (double) takeover * block / rate);
    EXPECT_TRUE (contains (plot.out, expected)) << plot.out;
    EXPECT_TRUE (contains (run.out, expected)) << run.out;
    std::snprintf (expected, sizeof (expected), "synth is heard from %.3f s", (double) takeover * block / rate);
    EXPECT_TRUE (contains (plot.out, expected)) << plot.out;
    std::snprintf (expected, sizeof (expected), "%8.3f - %8.3f s  synth", (double) takeover * block / rate, 4.0);
    EXPECT_TRUE (contains (plot.out, expected)) << plot.out;
}

// A synth Debian ships, through the same path.
TEST (Render, RealDebianSynthSoundsInSlot0)
{
    const std::string amsynth = "/usr/lib/vst/amsynth_vst.so";
    if (! exists (amsynth))
        GTEST_SKIP() << amsynth << " is not installed";
    const auto wavPath = scratch ("amsynth.wav");
    const auto run = renderWith ({ "--fast", "--seconds", "2", "--slot0", amsynth, "--out", wavPath });
    ASSERT_EQ (run.exitCode, 0) << run.err << run.out;
    Wav wav;
    ASSERT_TRUE (readWav (wavPath, wav));
    float peak = 0.0f;
    for (const auto& channel : wav.data)
        for (float v : channel)
            peak = std::max (peak, std::fabs (v));
    EXPECT_GT (peak, 0.01f);
}

// Every bad input: one clear line on stderr, a non-zero exit, no output file.
TEST (Render, BadInputsFailWithOneClearLine)
{
    const auto notAPlugin = scratch ("not-a-plugin.so");
    std::ofstream (notAPlugin) << "just text\n";
    const auto badMidi = scratch ("bad.mid");
    std::ofstream (badMidi) << "MThd\0\0";
    const auto truncatedMidi = scratch ("truncated.mid");
    // A track whose last note-on lacks its velocity byte.
    std::ofstream (truncatedMidi, std::ios::binary).write ("MThd\0\0\0\6\0\0\0\1\1\xe0MTrk\0\0\0\3\0\x90\x45", 25);
    const auto badState = scratch ("bad-state.xml");
    std::ofstream (badState) << "<pluginData><main_plugin></pluginData>";
    const auto missingInState = scratch ("missing-state.xml");
    std::ofstream (missingInState) << "<pluginData><main_plugin activePlugin=\"0\"/>"
                                      "<plugin index=\"0\" filePath=\"" TAMBLIT_BINARY_DIR "/no/such/plugin.so\"/></pluginData>";

    struct Case
    {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    };
    const std::string missing = TAMBLIT_BINARY_DIR "/no/such/plugin.so";
    const auto sameTargetA = bridged (TAMBLIT_FIXTURE_SYNTH, "bridged-a");
    const auto sameTargetB = bridged (TAMBLIT_FIXTURE_SYNTH, "bridged-b");
    const std::vector<Case> cases {
        { "missing slot file", { "--slot0", missing }, "slot 0: plug-in file not found" },
        { "missing file in a state document", { "--state", missingInState }, "slot 0: plug-in file not found" },
        { "state document that does not parse", { "--state", badState }, "is not an XML document" },
        { "text file as plug-in", { "--slot1", notAPlugin }, "slot 1: not a plug-in file (it does not load as a shared library" },
        { "library without an entry point", { "--slot0", TAMBLIT_FIXTURE_NOENTRY }, "no VSTPluginMain or main entry point" },
        { "entry point that creates nothing", { "--slot0", TAMBLIT_FIXTURE_NULLENTRY }, "creates no VST 2.x effect" },
        { "shell without a sub-plug-in name", { "--slot0", TAMBLIT_FIXTURE_SHELL }, "holds several plug-ins" },
        { "effect the synth container refuses", { "--slot0", TAMBLIT_FIXTURE_EFFECT }, "the container did not load" },
        { "MIDI file that is not one", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--midi", badMidi }, "does not parse" },
        { "truncated MIDI track", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--midi", truncatedMidi }, "does not parse" },
        { "missing MIDI file", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--midi", missing }, "cannot open MIDI file" },
        { "crash asked of a plug-in that cannot",
          { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--crash-slot0-at", "0.5" },
          "cannot crash on demand" },
        { "crash asked of one of two copies bridging the same plug-in",
          { "--slot0", sameTargetA, "--slot1", sameTargetB, "--crash-slot0-at", "0.5" },
          "its workers cannot be told apart" },
        { "crash asked of an empty slot", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--crash-slot1-at", "0.5" }, "needs a plug-in in slot 1" },
        { "silent output", { "--seconds", "0.5" }, "entirely silent" },
        { "missing container", { "--plugin", missing, "--slot0", TAMBLIT_FIXTURE_SYNTH }, "plug-in file not found" },
        { "unknown argument", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--bogus" }, "unknown argument '--bogus'" },
        { "bad option", { "--option", "4=1" }, "--option wants N=0 or N=1" },
        { "fade out of range", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--fade", "2000" }, "--fade wants milliseconds from 0 to 1000" },
        { "switch after the end", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--seconds", "1", "--switch-at", "3" }, "is not inside the" },
        { "switch to an empty slot", { "--slot0", TAMBLIT_FIXTURE_SYNTH, "--switch-at", "0.5" }, "did not switch to slot 1" },
        { "switch settings beside a state document", { "--state", missingInState, "--ring" }, "gives the switch settings itself" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto wavPath = scratch ("bad.wav");
        auto args = c.args;
        args.insert (args.end(), { "--fast", "--out", wavPath });
        const auto run = renderWith (args);
        EXPECT_NE (run.exitCode, 0);
        EXPECT_LT (run.exitCode, 128) << "ended by a signal";
        EXPECT_EQ (std::count (run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ (run.err.rfind ("tamblit-render: error: ", 0), 0u) << run.err;
        EXPECT_TRUE (contains (run.err, c.message)) << run.err;
        EXPECT_FALSE (exists (wavPath)) << "no output file is left behind";
    }

    // An output that cannot be written.
    const auto run = renderWith ({ "--fast", "--slot0", TAMBLIT_FIXTURE_SYNTH, "--out", TAMBLIT_BINARY_DIR "/no/such/dir/out.wav" });
    EXPECT_EQ (run.exitCode, 1);
    EXPECT_TRUE (contains (run.err, "cannot write")) << run.err;
    EXPECT_EQ (std::count (run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}
