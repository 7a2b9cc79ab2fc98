// The crash-protecting bridge (tools/bridge) loaded the way a host loads it:
// bridged copies made by the wrap command, driven through RawVstHost, compared
// with the same plug-ins hosted directly, and killed in every way a plug-in dies.
#include "FixtureCrasher.h"
#include "test_bridge_support.h"
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>
#include <algorithm>
#include <pthread.h>
#include <sched.h>

using namespace bridge_test;
namespace fx = tamblit::fixtures;

namespace
{
    void load (RawVstHost& host, const std::string& path)
    {
        std::string error;
        ASSERT_TRUE (host.load (path, error)) << path << ": " << error;
    }

    // One run of blocks with notes at various places, the same for both hosts.
    struct Block
    {
        int frames;
        std::vector<VstMidiEvent> events;
    };
    std::vector<Block> script ()
    {
        return {
            { 64, { makeNoteOn (60, 100, 0) } },
            { 64, {} },
            { 32, { makeNoteOn (67, 90, 5), makeNoteOn (72, 80, 31) } },
            { 512, { makeNoteOff (60, 100) } },
            { 5000, { makeNoteOn (48, 70, 4500) } }, // longer than one shared-memory block
            { 1, {} },
            { 256, { makeNoteOff (67, 0), makeNoteOff (72, 255) } },
        };
    }

    std::vector<std::vector<float>> render (RawVstHost& host, const Block& block)
    {
        return host.process (block.frames, block.events);
    }
}

TEST (Bridge, LooksLikeItsTarget)
{
    for (const char* target : { TAMBLIT_FIXTURE_SYNTH, TAMBLIT_FIXTURE_SYNTH8, TAMBLIT_FIXTURE_EFFECT, "/usr/lib/vst/amsynth_vst.so" })
    {
        SCOPED_TRACE (target);
        RawVstHost direct, bridge;
        load (direct, target);
        load (bridge, bridged (target));
        AEffect* d = direct.effect();
        AEffect* b = bridge.effect();
        ASSERT_TRUE (d != nullptr && b != nullptr);
        EXPECT_EQ (b->numInputs, d->numInputs);
        EXPECT_EQ (b->numOutputs, d->numOutputs);
        EXPECT_EQ (b->numParams, d->numParams);
        EXPECT_EQ (b->numPrograms, d->numPrograms);
        EXPECT_EQ (b->uniqueID, d->uniqueID);
        EXPECT_EQ (b->version, d->version);
        EXPECT_EQ (b->initialDelay, d->initialDelay);
        EXPECT_EQ (b->flags & ~effFlagsCanDoubleReplacing, d->flags & ~effFlagsCanDoubleReplacing);
        for (int opcode : { effGetEffectName, effGetVendorString, effGetProductString })
            EXPECT_EQ (bridge.getString (opcode), direct.getString (opcode)) << opcode;
        EXPECT_EQ (bridge.dispatch (effGetPlugCategory), direct.dispatch (effGetPlugCategory));
        EXPECT_EQ (bridge.dispatch (effGetVendorVersion), direct.dispatch (effGetVendorVersion));
        EXPECT_EQ (bridge.canDo ("receiveVstMidiEvent"), direct.canDo ("receiveVstMidiEvent"));
        for (int i = 0; i < d->numParams; ++i)
        {
            EXPECT_EQ (bridge.getString (effGetParamName, i), direct.getString (effGetParamName, i)) << i;
            EXPECT_EQ (bridge.getString (effGetParamLabel, i), direct.getString (effGetParamLabel, i)) << i;
            EXPECT_EQ (bridge.getString (effGetParamDisplay, i), direct.getString (effGetParamDisplay, i)) << i;
            EXPECT_EQ (b->getParameter (b, i), d->getParameter (d, i)) << i;
        }
        for (int p = 0; p < std::min (d->numPrograms, 8); ++p)
            EXPECT_EQ (bridge.getString (effGetProgramNameIndexed, p), direct.getString (effGetProgramNameIndexed, p)) << p;
        for (int pin = 0; pin < d->numOutputs; ++pin)
        {
            VstPinProperties fromBridge {}, fromTarget {};
            EXPECT_EQ (bridge.dispatch (effGetOutputProperties, pin, 0, &fromBridge),
                       direct.dispatch (effGetOutputProperties, pin, 0, &fromTarget));
            EXPECT_STREQ (fromBridge.label, fromTarget.label);
            EXPECT_EQ (fromBridge.flags, fromTarget.flags);
        }
        EXPECT_EQ (probe (bridge), 0);
    }
}

TEST (Bridge, PlaysBitIdenticalToTheTargetHostedDirectly)
{
    for (const char* target : { TAMBLIT_FIXTURE_SYNTH, TAMBLIT_FIXTURE_SYNTH8, TAMBLIT_FIXTURE_CRASHER })
    {
        SCOPED_TRACE (target);
        RawVstHost direct, bridge;
        load (direct, target);
        load (bridge, bridged (target));
        direct.start (48000.0f, 512);
        bridge.start (48000.0f, 512);
        // A parameter set from the host reaches the worker before the next block.
        direct.effect()->setParameter (direct.effect(), fx::kParamTone, 0.9f);
        bridge.effect()->setParameter (bridge.effect(), fx::kParamTone, 0.9f);
        int n = 0;
        for (auto& block : script())
        {
            const auto expected = render (direct, block);
            const auto got = render (bridge, block);
            ASSERT_EQ (got.size(), expected.size());
            for (size_t c = 0; c < got.size(); ++c)
                ASSERT_EQ (got[c], expected[c]) << "block " << n << " channel " << c;
            ++n;
        }
        EXPECT_EQ (probe (bridge), 0);
    }
}

TEST (Bridge, EffectHearsTheHostsInput)
{
    RawVstHost bridge;
    load (bridge, bridged (TAMBLIT_FIXTURE_EFFECT));
    bridge.start (44100.0f, 128);
    AEffect* fx1 = bridge.effect();
    std::vector<float> left (128), right (128), outL (128, 9.0f), outR (128, 9.0f);
    for (int i = 0; i < 128; ++i)
    {
        left[(size_t) i] = 0.001f * (float) i;
        right[(size_t) i] = -0.002f * (float) i;
    }
    float* in[] = { left.data(), right.data() };
    float* out[] = { outL.data(), outR.data() };
    fx1->processReplacing (fx1, in, out, 128);
    const float level = fx::presetValue (0, fx::kParamLevel);
    for (int i = 0; i < 128; ++i)
    {
        ASSERT_EQ (outL[(size_t) i], left[(size_t) i] + fx::fixtureDc (fx::kIdentityEffect, 0, level, 0.0f)) << i;
        ASSERT_EQ (outR[(size_t) i], right[(size_t) i] + fx::fixtureDc (fx::kIdentityEffect, 1, level, 0.0f)) << i;
    }
    // The accumulating entry adds to what is there.
    fx1->process (fx1, in, out, 128);
    EXPECT_EQ (outL[10], 2.0f * (left[10] + fx::fixtureDc (fx::kIdentityEffect, 0, level, 0.0f)));
}

TEST (Bridge, ChunksParametersAndProgramsPassBothWays)
{
    RawVstHost direct, bridge;
    load (direct, TAMBLIT_FIXTURE_SYNTH);
    load (bridge, bridged (TAMBLIT_FIXTURE_SYNTH));
    AEffect* b = bridge.effect();
    AEffect* d = direct.effect();

    // Host -> bridge -> target: program, program name, parameters; then out as a chunk.
    bridge.dispatch (effSetProgram, 0, 2);
    EXPECT_EQ (bridge.dispatch (effGetProgram), 2);
    EXPECT_FLOAT_EQ (b->getParameter (b, fx::kParamLevel), fx::presetValue (2, fx::kParamLevel)) << "program values come back";
    char name[] = "Bridged lead";
    bridge.dispatch (effSetProgramName, 0, 0, name);
    EXPECT_EQ (bridge.getString (effGetProgramName), "Bridged lead");
    b->setParameter (b, 4, 0.8125f);
    EXPECT_EQ (b->getParameter (b, 4), 0.8125f);
    const auto chunk = bridge.getChunk();
    ASSERT_FALSE (chunk.empty());
    direct.setChunk (chunk);
    EXPECT_EQ (direct.dispatch (effGetProgram), 2);
    EXPECT_EQ (d->getParameter (d, 4), 0.8125f) << "the parameter reached the target before its chunk was taken";
    EXPECT_EQ (direct.getString (effGetProgramNameIndexed, 2), "Bridged lead");

    // Target -> bridge: a chunk made by the directly hosted plug-in.
    d->setParameter (d, fx::kParamOffset, 0.375f);
    direct.dispatch (effSetProgram, 0, 3);
    d->setParameter (d, 6, 0.0625f);
    const auto other = direct.getChunk();
    bridge.setChunk (other);
    EXPECT_EQ (bridge.dispatch (effGetProgram), 3);
    EXPECT_EQ (b->getParameter (b, 6), 0.0625f) << "values the target took from a chunk show on the bridge";
    EXPECT_EQ (bridge.getChunk(), direct.getChunk());

    // A refused chunk stays refused.
    std::vector<char> junk (40, 'x');
    EXPECT_EQ (bridge.dispatch (effSetChunk, 0, (VstIntPtr) junk.size(), junk.data()),
               direct.dispatch (effSetChunk, 0, (VstIntPtr) junk.size(), junk.data()));
    EXPECT_EQ (probe (bridge), 0);
}

namespace
{
    enum class Kill
    {
        Note,
        Parameter,
        Signal
    };
    struct CrashCase
    {
        const char* what;
        Kill how;
        int note;
    };

    void trigger (RawVstHost& bridge, const CrashCase& c)
    {
        AEffect* fx1 = bridge.effect();
        switch (c.how)
        {
            case Kill::Note: bridge.process (64, { makeNoteOn (c.note, 100, 3) }); break;
            case Kill::Parameter: fx1->setParameter (fx1, fx::kCrasherParamSegfault, 1.0f); break;
            case Kill::Signal: kill (workerPid (bridge), SIGKILL); break;
        }
    }
}

TEST (Bridge, HostOutlivesEveryKindOfCrashAndANewInstanceStartsAFreshWorker)
{
    const CrashCase cases[] = {
        { "segmentation fault on a note", Kill::Note, fx::kCrasherNoteSegfault },
        { "abort on a note", Kill::Note, fx::kCrasherNoteAbort },
        { "endless loop on a note", Kill::Note, fx::kCrasherNoteHang },
        { "exit on a note", Kill::Note, fx::kCrasherNoteExit },
        { "segmentation fault on a parameter", Kill::Parameter, 0 },
        { "killed from outside", Kill::Signal, 0 },
    };
    const std::string copy = bridged (TAMBLIT_FIXTURE_CRASHER);
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        RawVstHost bridge;
        load (bridge, copy);
        bridge.start (48000.0f, 64);
        const pid_t worker = workerPid (bridge);
        ASSERT_TRUE (processAlive (worker));
        ASSERT_FALSE (silent (bridge.process (64, { makeNoteOn (60, 100, 0) })));
        ASSERT_EQ (probe (bridge), 0);

        trigger (bridge, c);
        // Blocks go on at the host's pace; the probe turns to 1 once the worker
        // is found dead or hung (a hang takes half a second).
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds (5);
        while (probe (bridge) != 1 && std::chrono::steady_clock::now() < until)
        {
            bridge.process (64);
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        }
        ASSERT_EQ (probe (bridge), 1);
        EXPECT_TRUE (silent (bridge.process (64, { makeNoteOn (64, 100, 0) })));
        EXPECT_TRUE (silent (bridge.process (4096)));

        // Every other call answers at once without the worker.
        char text[64] = "unchanged";
        EXPECT_EQ (bridge.dispatch (effGetParamName, 0, 0, text), 0);
        EXPECT_STREQ (text, "");
        EXPECT_TRUE (bridge.getChunk().empty());
        ERect* rect = reinterpret_cast<ERect*> (1);
        EXPECT_EQ (bridge.dispatch (effEditGetRect, 0, 0, &rect), 0);
        EXPECT_EQ (rect, nullptr);
        bridge.effect()->setParameter (bridge.effect(), 0, 0.25f);
        EXPECT_EQ (bridge.dispatch (effSetProgram, 0, 1), 0);
        EXPECT_EQ (bridge.dispatch (effCanDo, 0, 0, const_cast<char*> ("receiveVstMidiEvent")), 0);
        EXPECT_EQ (probe (bridge), 1) << "stays crashed";

        bridge.close();
        EXPECT_FALSE (processAlive (worker)) << "the dead or hung worker is gone";

        // The container's reload: a new instance, a new worker, healthy.
        RawVstHost again;
        load (again, copy);
        again.start (48000.0f, 64);
        EXPECT_NE (workerPid (again), worker);
        EXPECT_EQ (probe (again), 0);
        EXPECT_FALSE (silent (again.process (64, { makeNoteOn (60, 100, 0) })));
        const pid_t second = workerPid (again);
        again.close();
        EXPECT_FALSE (processAlive (second)) << "a closed instance takes its worker with it";
    }
}

TEST (Bridge, ASecondInstanceKeepsPlayingWhenTheFirstCrashes)
{
    const std::string copy = bridged (TAMBLIT_FIXTURE_CRASHER);
    RawVstHost first, second;
    load (first, copy);
    load (second, copy);
    first.start (48000.0f, 64);
    second.start (48000.0f, 64);
    EXPECT_NE (workerPid (first), workerPid (second));
    first.process (64, { makeNoteOn (fx::kCrasherNoteAbort, 100, 0) });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds (5);
    while (probe (first) != 1 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    EXPECT_EQ (probe (first), 1);
    EXPECT_EQ (probe (second), 0);
    EXPECT_FALSE (silent (second.process (64, { makeNoteOn (60, 100, 0) })));
}

TEST (Bridge, RealDebianSynthsPlayBridged)
{
    for (const char* target : { "/usr/lib/vst/amsynth_vst.so", "/usr/lib/vst/Kars-vst.so", "/usr/lib/vst/Nekobi-vst.so" })
    {
        SCOPED_TRACE (target);
        if (access (target, R_OK) != 0)
        {
            ADD_FAILURE() << "missing " << target;
            continue;
        }
        RawVstHost bridge;
        load (bridge, bridged (target));
        bridge.start (48000.0f, 256);
        bool heard = false;
        for (int block = 0; block < 40 && ! heard; ++block)
            heard = ! silent (
                bridge.process (256, block == 0 ? std::vector<VstMidiEvent> { makeNoteOn (57, 110, 0) } : std::vector<VstMidiEvent> {}));
        EXPECT_TRUE (heard) << "no sound after a note-on";
        EXPECT_EQ (probe (bridge), 0);
    }
}

TEST (Bridge, WrapRefusesWhatItCannotBridge)
{
    const std::string scratch = folder() + "/refused";
    const std::string text = folder() + "/not-a-plugin.so";
    std::ofstream (text) << "not a plug-in";
    struct Case
    {
        const char* what;
        std::string target;
    };
    const Case cases[] = {
        { "missing file", folder() + "/nowhere.so" },
        { "not a shared library", text },
        { "library without an entry point", TAMBLIT_FIXTURE_NOENTRY },
        { "entry point that makes nothing", TAMBLIT_FIXTURE_NULLENTRY },
        { "a bridged copy", bridged (TAMBLIT_FIXTURE_SYNTH) },
    };
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        std::string output;
        EXPECT_NE (runWrap (c.target, scratch, &output), 0) << output;
        const std::string name = c.target.substr (c.target.find_last_of ('/') + 1);
        EXPECT_NE (access ((scratch + "/" + name).c_str(), F_OK), 0) << "no copy is left behind";
    }
}

TEST (Bridge, TheBridgeWithoutATargetIsNoPlugin)
{
    RawVstHost host;
    std::string error;
    EXPECT_FALSE (host.load (TAMBLIT_BRIDGE_PLUGIN, error));
    EXPECT_NE (error.find ("null"), std::string::npos) << error;
}

namespace
{
    // Scheduling class and real-time priority of every thread of `pid`
    // (fields 41 and 40 of /proc/PID/task/TID/stat).
    std::vector<std::pair<int, int>> threadScheduling (pid_t pid)
    {
        std::vector<std::pair<int, int>> found;
        const auto folder = juce::File ("/proc/" + juce::String (pid) + "/task");
        for (const auto& task : juce::RangedDirectoryIterator (folder, false, "*", juce::File::findDirectories))
        {
            const auto stat = task.getFile().getChildFile ("stat").loadFileAsString();
            const auto fields = juce::StringArray::fromTokens (stat.fromLastOccurrenceOf (")", false, false).trim(), " ", "");
            // Fields after the name start at 3 (state): 40 and 41 are at 37 and 38.
            if (fields.size() > 38)
                found.push_back ({ fields[38].getIntValue(), fields[37].getIntValue() });
        }
        return found;
    }
}

// The worker's audio thread runs in the class and at the priority of the host
// thread that drives the bridge: real-time when the host's audio thread is.
TEST (Bridge, WorkerAudioThreadTakesTheHostThreadsSchedulingClass)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "setting a real-time class needs root here";
    RawVstHost bridge;
    load (bridge, bridged (TAMBLIT_FIXTURE_SYNTH));
    bridge.start (48000.0f, 64);
    const pid_t worker = workerPid (bridge);
    ASSERT_GT (worker, 0);
    const auto realTime = std::make_pair ((int) SCHED_FIFO, 12);
    auto count = [&]
    {
        const auto threads = threadScheduling (worker);
        return std::count (threads.begin(), threads.end(), realTime);
    };
    EXPECT_EQ (count(), 0);

    std::thread host (
        [&]
        {
            sched_param parameter {};
            parameter.sched_priority = 12;
            ASSERT_EQ (pthread_setschedparam (pthread_self(), SCHED_FIFO, &parameter), 0);
            for (int block = 0; block < 4; ++block)
                bridge.process (64);
        });
    host.join();
    EXPECT_EQ (count(), 1) << "exactly the worker's audio thread";

    // And back to the normal class with the host thread.
    std::thread normal (
        [&]
        {
            for (int block = 0; block < 300; ++block) // the bridge looks every 256 blocks
                bridge.process (64);
        });
    normal.join();
    EXPECT_EQ (count(), 0);
    bridge.close();
}
