// The bridge stands between its host and code that misbehaves: a worker that
// breaks the protocol, signals and late blocks that are no crash, opcodes
// whose pointer the bridge cannot carry, side files that lead in circles,
// workers of another protocol version, and wrap's refusals. Real processes
// throughout: the bridged copies run the real worker, or the hostile
// stand-in that a side file names (fixture-hostile-worker).
#include "FixtureCrasher.h"
#include "test_bridge_support.h"
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace bridge_test;
namespace fx = tamblit::fixtures;

namespace
{
    const std::string toolsDir = std::string (TAMBLIT_BRIDGE_PLUGIN).substr (0, std::string (TAMBLIT_BRIDGE_PLUGIN).find_last_of ('/'));
    const std::string realWorker = toolsDir + "/tamblit-bridge-worker";

    long residentKiB ()
    {
        std::ifstream status ("/proc/self/status");
        std::string line;
        while (std::getline (status, line))
            if (line.rfind ("VmRSS:", 0) == 0)
                return std::stol (line.substr (6));
        return -1;
    }

    // Processes whose parent is this test program.
    std::vector<pid_t> children ()
    {
        std::vector<pid_t> found;
        DIR* proc = opendir ("/proc");
        if (proc == nullptr)
            return found;
        while (const dirent* entry = readdir (proc))
        {
            const pid_t pid = (pid_t) std::atoi (entry->d_name);
            if (pid <= 0)
                continue;
            std::ifstream stat ("/proc/" + std::string (entry->d_name) + "/stat");
            std::string text;
            std::getline (stat, text);
            const auto close = text.rfind (')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest (text.substr (close + 2));
            char state = 0;
            long parent = 0;
            rest >> state >> parent;
            if (parent == (long) getpid())
                found.push_back (pid);
        }
        closedir (proc);
        return found;
    }

    // What the bridge writes to stderr while `body` runs.
    std::string captureStderr (const std::function<void()>& body)
    {
        std::fflush (stderr);
        FILE* file = std::tmpfile();
        const int saved = dup (2);
        dup2 (fileno (file), 2);
        body();
        std::fflush (stderr);
        dup2 (saved, 2);
        close (saved);
        std::string text;
        std::rewind (file);
        char buffer[512];
        size_t got = 0;
        while ((got = std::fread (buffer, 1, sizeof (buffer), file)) > 0)
            text.append (buffer, got);
        std::fclose (file);
        std::fputs (text.c_str(), stderr); // still shown in the test's output
        return text;
    }

    bool copyFile (const std::string& from, const std::string& to, mode_t mode)
    {
        std::ifstream in (from, std::ios::binary);
        const std::string temporary = to + ".part";
        {
            std::ofstream out (temporary, std::ios::binary | std::ios::trunc);
            out << in.rdbuf();
            if (! in || ! out)
                return false;
        }
        chmod (temporary.c_str(), mode);
        return std::rename (temporary.c_str(), to.c_str()) == 0;
    }

    // A bridged copy made by hand: the bridge plug-in and a side file.
    std::string handMadeCopy (const std::string& name, const std::string& sideText)
    {
        const std::string copy = folder() + "/" + name + ".so";
        EXPECT_TRUE (copyFile (TAMBLIT_BRIDGE_PLUGIN, copy, 0755));
        std::ofstream (copy + ".target") << sideText;
        return copy;
    }

    std::string readText (const std::string& path)
    {
        std::ifstream in (path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    bool waitForProbe (RawVstHost& host, VstIntPtr answer, int seconds)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds (seconds);
        while (probe (host) != answer && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for (std::chrono::milliseconds (5));
        return probe (host) == answer;
    }
}

// ---------------------------------------------------------------------------
// A worker that breaks the protocol.

namespace
{
    enum class Expect
    {
        Works,
        Refused,
        Crashed
    };
    enum class Call
    {
        Nothing,
        Chunk,
        EffectName,
        Rect,
        OutputPin,
        Program
    };
    struct HostileCase
    {
        const char* mode;
        Call call;
        Expect expect;
        const char* logged;
    };

    // Makes the call with host buffers full of a marker, and checks that the
    // bridge wrote nothing beyond what the host gave it room for.
    void makeCall (RawVstHost& host, Call call)
    {
        switch (call)
        {
            case Call::Nothing: break;
            case Call::Chunk:
            {
                void* data = reinterpret_cast<void*> (1);
                const VstIntPtr size = host.dispatch (effGetChunk, 0, 0, &data);
                EXPECT_LE (size, (VstIntPtr) (128 << 20));
                if (size <= 0)
                {
                    EXPECT_EQ (data, nullptr);
                }
                break;
            }
            case Call::EffectName:
            {
                char text[256];
                std::memset (text, 'Z', sizeof (text));
                host.dispatch (effGetEffectName, 0, 0, text);
                EXPECT_LT (strnlen (text, sizeof (text)), (size_t) 64) << "the name is terminated within its field";
                for (size_t i = 64; i < sizeof (text); ++i)
                    ASSERT_EQ (text[i], 'Z') << "written past the field at " << i;
                break;
            }
            case Call::Rect:
            {
                ERect* rect = reinterpret_cast<ERect*> (1);
                host.dispatch (effEditGetRect, 0, 0, &rect);
                EXPECT_EQ (rect, nullptr);
                break;
            }
            case Call::OutputPin:
            {
                VstPinProperties pin {};
                host.dispatch (effGetOutputProperties, 0, 0, &pin);
                EXPECT_LT (strnlen (pin.label, sizeof (pin.label)), sizeof (pin.label));
                break;
            }
            case Call::Program: EXPECT_EQ (host.dispatch (effGetProgram), 0); break;
        }
    }
}

TEST (BridgeTrust, AHostileWorkerNeverHarmsTheHost)
{
    const HostileCase cases[] = {
        { "none", Call::EffectName, Expect::Works, "runs" },
        { "chunk", Call::Chunk, Expect::Crashed, "larger than the protocol carries" },
        { "string", Call::EffectName, Expect::Crashed, "larger than the protocol carries" },
        { "params", Call::Nothing, Expect::Refused, "too many parameters" },
        { "outputs", Call::Nothing, Expect::Refused, "too many outputs" },
        { "version", Call::Nothing, Expect::Refused, "protocol mismatch" },
        { "shared", Call::Nothing, Expect::Refused, "protocol mismatch" },
        { "truncated", Call::Chunk, Expect::Crashed, "" },
        { "big-chunk", Call::Chunk, Expect::Crashed, "" },
        { "wrong-request", Call::EffectName, Expect::Crashed, "a reply to another request" },
        { "rect", Call::Rect, Expect::Crashed, "a rectangle of the wrong size" },
        { "pin", Call::OutputPin, Expect::Crashed, "a pin label without a terminator" },
        { "payload", Call::Program, Expect::Crashed, "larger than the protocol carries" },
    };
    const std::string copy = handMadeCopy ("hostile", std::string ("target=") + TAMBLIT_FIXTURE_SYNTH
                                                          + "\nworker=" + TAMBLIT_FIXTURE_HOSTILE_WORKER + "\n");
    const auto before = children();
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.mode);
        ScopedEnvironment mode ("TAMBLIT_HOSTILE_REPLY", c.mode);
        const long residentBefore = residentKiB();
        RawVstHost host;
        std::string error;
        bool loaded = false;
        pid_t worker = -1;
        const std::string log = captureStderr (
            [&]
            {
                loaded = host.load (copy, error);
                if (! loaded)
                    return;
                worker = workerPid (host);
                EXPECT_EQ (probe (host), 0);
                makeCall (host, c.call);
                EXPECT_LT (residentKiB() - residentBefore, 64 * 1024) << "memory stays bounded while the bridge lives";
            });
        EXPECT_NE (log.find (c.logged), std::string::npos) << log;
        switch (c.expect)
        {
            case Expect::Works:
                ASSERT_TRUE (loaded) << error;
                EXPECT_EQ (host.getString (effGetEffectName), "Hostile");
                EXPECT_EQ (probe (host), 0);
                break;
            case Expect::Refused: EXPECT_FALSE (loaded); break;
            case Expect::Crashed:
                ASSERT_TRUE (loaded) << error;
                EXPECT_EQ (probe (host), 1) << "a worker that breaks the protocol is taken for crashed";
                EXPECT_TRUE (silent (host.process (64)));
                break;
        }
        host.close();
        EXPECT_FALSE (processAlive (worker));
        EXPECT_EQ (children(), before) << "no worker is left behind";
        EXPECT_LT (residentKiB() - residentBefore, 64 * 1024) << "memory stays bounded";
    }
}

// ---------------------------------------------------------------------------
// What is no crash.

TEST (BridgeTrust, ALateBlockIsNoHangOnceAnswered)
{
    struct Case
    {
        const char* what;
        bool reconfigure;
    };
    const Case cases[] = {
        { "a late block, then no process call for 2 s", false },
        { "a late block, then the host reconfigures while the worker is still in it", true },
    };
    const std::string copy = bridged (TAMBLIT_FIXTURE_CRASHER);
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        RawVstHost bridge;
        std::string error;
        ASSERT_TRUE (bridge.load (copy, error)) << error;
        bridge.start (48000.0f, 64);
        const pid_t worker = workerPid (bridge);
        ASSERT_FALSE (silent (bridge.process (64, { makeNoteOn (60, 100, 0) })));
        // The worker takes 150 ms over this block; the bridge waits 20 ms.
        EXPECT_TRUE (silent (bridge.process (64, { makeNoteOn (fx::kCrasherNoteSlowBlock, 100, 0) })));
        if (c.reconfigure)
        {
            bridge.dispatch (effMainsChanged, 0, 0);
            bridge.dispatch (effSetSampleRate, 0, 0, nullptr, 44100.0f);
            bridge.dispatch (effSetBlockSize, 0, 128);
            bridge.dispatch (effMainsChanged, 0, 1);
        }
        // The host stops calling process (another slot is active); the
        // watchdog keeps probing.
        for (int tick = 0; tick < 20; ++tick)
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (100));
            ASSERT_EQ (probe (bridge), 0) << "after " << (tick + 1) * 100 << " ms";
        }
        EXPECT_TRUE (processAlive (worker));
        bool heard = false;
        for (int block = 0; block < 4 && ! heard; ++block)
            heard = ! silent (
                bridge.process (64, block == 0 ? std::vector<VstMidiEvent> { makeNoteOn (64, 100, 0) } : std::vector<VstMidiEvent> {}));
        EXPECT_TRUE (heard) << "the same worker plays on";
        EXPECT_EQ (workerPid (bridge), worker);
        EXPECT_EQ (probe (bridge), 0);
    }
}

TEST (BridgeTrust, SignalsThePlugInHandlesDoNotEndTheWorker)
{
    RawVstHost bridge;
    std::string error;
    ASSERT_TRUE (bridge.load (bridged (TAMBLIT_FIXTURE_CRASHER), error)) << error;
    bridge.start (48000.0f, 64);
    const pid_t worker = workerPid (bridge);
    std::atomic<bool> storming { true };
    std::thread storm (
        [&]
        {
            for (int i = 0; i < 4000 && storming.load(); ++i)
            {
                kill (worker, SIGUSR1);
                std::this_thread::sleep_for (std::chrono::microseconds (200));
            }
            storming.store (false);
        });
    AEffect* effect = bridge.effect();
    int calls = 0;
    while (storming.load())
    {
        bridge.process (64);
        effect->setParameter (effect, 1, (float) (calls % 10) / 10.0f);
        EXPECT_FALSE (bridge.getString (effGetParamName, 1).empty());
        if (probe (bridge) != 0)
            break;
        ++calls;
        std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }
    storming.store (false);
    storm.join();
    // The worker's idle poll wakes every 20 ms: give it time to meet signals there too.
    std::this_thread::sleep_for (std::chrono::milliseconds (200));
    EXPECT_EQ (probe (bridge), 0) << "after " << calls << " rounds of calls";
    EXPECT_TRUE (processAlive (worker));
    EXPECT_FALSE (bridge.getString (effGetEffectName).empty());
}

TEST (BridgeTrust, OpcodesWhosePointerIsNotCarriedNeverReachThePlugIn)
{
    std::vector<int> opcodes (std::begin (fx::kCrasherPointerOpcodes), std::end (fx::kCrasherPointerOpcodes));
    for (int unknown : { 80, 81, 100, 4096 })
        opcodes.push_back (unknown);
    RawVstHost bridge;
    std::string error;
    ASSERT_TRUE (bridge.load (bridged (TAMBLIT_FIXTURE_CRASHER), error)) << error;
    bridge.start (48000.0f, 64);
    const pid_t worker = workerPid (bridge);
    for (int opcode : opcodes)
    {
        SCOPED_TRACE (opcode);
        std::vector<unsigned char> buffer (1024, 0x5a);
        EXPECT_EQ (bridge.dispatch (opcode, 0, 0, buffer.data()), 0);
        EXPECT_EQ (std::count (buffer.begin(), buffer.end(), 0x5a), (long) buffer.size()) << "the host's buffer is untouched";
        EXPECT_EQ (probe (bridge), 0);
    }
    std::this_thread::sleep_for (std::chrono::milliseconds (100));
    EXPECT_TRUE (processAlive (worker));
    EXPECT_EQ (probe (bridge), 0);
    EXPECT_FALSE (silent (bridge.process (64, { makeNoteOn (60, 100, 0) })));
}

// ---------------------------------------------------------------------------
// Side files, descriptors, pidfd-less kernels.

TEST (BridgeTrust, SideFilesThatLoopOrAreRelativeAreRefusedAtOnce)
{
    const std::string a = folder() + "/loop-a.so";
    const std::string b = folder() + "/loop-b.so";
    const std::string self = folder() + "/loop-self.so";
    struct Case
    {
        const char* what;
        std::string copy;
        std::string side;
        const char* logged;
    };
    const Case cases[] = {
        { "a copy that names itself", self, "target=" + self + "\nworker=" + realWorker + "\n", "bridged copy" },
        { "two copies that name each other", a, "target=" + b + "\nworker=" + realWorker + "\n", "bridged copy" },
        { "a relative target", folder() + "/relative.so", "target=fixtures/fixture-synth.so\n", "absolute" },
        { "a relative worker", folder() + "/relative-worker.so",
          std::string ("target=") + TAMBLIT_FIXTURE_SYNTH + "\nworker=tamblit-bridge-worker\n", "absolute" },
    };
    handMadeCopy ("loop-b", "target=" + a + "\nworker=" + realWorker + "\n");
    const auto before = children();
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const std::string name = c.copy.substr (c.copy.find_last_of ('/') + 1);
        handMadeCopy (name.substr (0, name.size() - 3), c.side);
        RawVstHost host;
        std::string error;
        bool loaded = true;
        const auto started = std::chrono::steady_clock::now();
        const std::string log = captureStderr ([&] { loaded = host.load (c.copy, error); });
        EXPECT_FALSE (loaded);
        EXPECT_NE (log.find (c.logged), std::string::npos) << log;
        EXPECT_LT (std::chrono::steady_clock::now() - started, std::chrono::seconds (10)) << "not after a chain of workers timed out";
        EXPECT_EQ (children(), before) << "no worker is left behind";
    }
}

TEST (BridgeTrust, ABridgeRefusesToStartInsideAWorker)
{
    const std::string copy = bridged (TAMBLIT_FIXTURE_SYNTH);
    {
        ScopedEnvironment inside ("TAMBLIT_BRIDGE_WORKER_PID", std::to_string (getpid()));
        RawVstHost host;
        std::string error;
        const std::string log = captureStderr ([&] { EXPECT_FALSE (host.load (copy, error)); });
        EXPECT_NE (log.find ("inside a bridge worker"), std::string::npos) << log;
    }
    // Another process's worker id (inherited by something a plug-in started) is no refusal.
    ScopedEnvironment other ("TAMBLIT_BRIDGE_WORKER_PID", std::to_string (getppid()));
    RawVstHost host;
    std::string error;
    EXPECT_TRUE (host.load (copy, error)) << error;
}

TEST (BridgeTrust, TheWorkerInheritsNoneOfTheHostsDescriptorsAndPassesNoneOn)
{
    // A descriptor of the host, above 1024 and without close-on-exec.
    const int devNull = open ("/dev/null", O_RDONLY);
    ASSERT_GE (devNull, 0);
    const int high = fcntl (devNull, F_DUPFD, 1500);
    close (devNull);
    ASSERT_GE (high, 1500);
    RawVstHost bridge;
    std::string error;
    ASSERT_TRUE (bridge.load (bridged (TAMBLIT_FIXTURE_CRASHER), error)) << error;
    close (high);
    const pid_t worker = workerPid (bridge);
    const std::string fds = "/proc/" + std::to_string (worker) + "/fd";
    DIR* folder = opendir (fds.c_str());
    ASSERT_NE (folder, nullptr);
    int checked = 0;
    while (const dirent* entry = readdir (folder))
    {
        const int fd = std::atoi (entry->d_name);
        if (entry->d_name[0] == '.' || fd <= 2)
            continue;
        EXPECT_LT (fd, 1500) << "the host's descriptor reached the worker";
        const std::string info = readText ("/proc/" + std::to_string (worker) + "/fdinfo/" + entry->d_name);
        const auto at = info.find ("flags:");
        ASSERT_NE (at, std::string::npos);
        const long flags = std::strtol (info.c_str() + at + 6, nullptr, 8);
        EXPECT_NE (flags & O_CLOEXEC, 0) << "descriptor " << fd << " would pass to what the plug-in starts";
        ++checked;
    }
    closedir (folder);
    EXPECT_GE (checked, 1) << "the control socket at least";
}

TEST (BridgeTrust, WithoutPidfdCrashesAreFoundAndClosingNeverWaitsForever)
{
    ScopedEnvironment noPidfd ("TAMBLIT_BRIDGE_NO_PIDFD", "1");
    struct Case
    {
        const char* what;
        int note;
        bool wedgedClose;
    };
    const Case cases[] = {
        { "segmentation fault", fx::kCrasherNoteSegfault, false },
        { "endless loop", fx::kCrasherNoteHang, false },
        { "healthy", 60, false },
        { "healthy, but its close never returns", 60, true },
    };
    const std::string copy = bridged (TAMBLIT_FIXTURE_CRASHER);
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        RawVstHost bridge;
        std::string error;
        ASSERT_TRUE (bridge.load (copy, error)) << error;
        bridge.start (48000.0f, 64);
        const pid_t worker = workerPid (bridge);
        if (c.wedgedClose)
            bridge.effect()->setParameter (bridge.effect(), fx::kCrasherParamHangOnClose, 1.0f);
        bridge.process (64, { makeNoteOn (c.note, 100, 0) });
        const VstIntPtr expected = c.note == 60 ? 0 : 1;
        EXPECT_TRUE (waitForProbe (bridge, expected, 5));
        const auto closing = std::chrono::steady_clock::now();
        bridge.close(); // the worker is made to leave after 2 s at most
        EXPECT_LT (std::chrono::steady_clock::now() - closing, std::chrono::seconds (30));
        EXPECT_FALSE (processAlive (worker));
    }
}

// ---------------------------------------------------------------------------
// Protocol versions and wrap.

TEST (BridgeTrust, ACopyWorksWithARebuiltWorkerOnlyAfterWrapRunsAgain)
{
    // A tools folder of its own: the command, the plug-in and the worker.
    const std::string tools = folder() + "/tools-rebuilt";
    const std::string into = folder() + "/rebuilt";
    mkdir (tools.c_str(), 0755);
    ASSERT_TRUE (copyFile (TAMBLIT_BRIDGE_COMMAND, tools + "/tamblit-bridge", 0755));
    ASSERT_TRUE (copyFile (TAMBLIT_BRIDGE_PLUGIN, tools + "/tamblit-bridge.so", 0755));
    ASSERT_TRUE (copyFile (realWorker, tools + "/tamblit-bridge-worker", 0755));
    const std::string wrap = "'" + tools + "/tamblit-bridge' wrap '" + TAMBLIT_FIXTURE_SYNTH + "' --into '" + into + "'";
    std::string output;
    ASSERT_EQ (runCommand (wrap, &output), 0) << output;
    const std::string copy = into + "/fixture-synth.so";

    // Each load in a process of its own, as after a host restarts: a host
    // that has a copy loaded keeps that image.
    auto plays = [&] (std::string& log)
    {
        int out[2];
        if (pipe (out) != 0)
            return false;
        std::fflush (stderr);
        const pid_t child = fork();
        if (child == 0)
        {
            dup2 (out[1], 2);
            ::close (out[0]);
            RawVstHost host;
            std::string error;
            if (! host.load (copy, error))
                _exit (1);
            host.start (48000.0f, 64);
            const bool played = ! silent (host.process (64, { makeNoteOn (60, 100, 0) })) && probe (host) == 0;
            host.close();
            _exit (played ? 0 : 2);
        }
        ::close (out[1]);
        log.clear();
        char buffer[512];
        ssize_t got = 0;
        while ((got = read (out[0], buffer, sizeof (buffer))) > 0)
            log.append (buffer, (size_t) got);
        ::close (out[0]);
        int status = 0;
        waitpid (child, &status, 0);
        return WIFEXITED (status) && WEXITSTATUS (status) == 0;
    };
    std::string log;
    EXPECT_TRUE (plays (log)) << log;

    // The worker is rebuilt from sources of a later protocol.
    ASSERT_TRUE (
        copyFile (std::string (TAMBLIT_FIXTURE_BRIDGE_NEXT_DIR) + "/tamblit-bridge-worker", tools + "/tamblit-bridge-worker", 0755));
    EXPECT_FALSE (plays (log));
    EXPECT_NE (log.find ("protocol mismatch"), std::string::npos) << log;
    EXPECT_NE (log.find ("re-run tamblit-bridge wrap"), std::string::npos) << log;

    // So is the plug-in; wrap runs again.
    ASSERT_TRUE (copyFile (std::string (TAMBLIT_FIXTURE_BRIDGE_NEXT_DIR) + "/tamblit-bridge.so", tools + "/tamblit-bridge.so", 0755));
    ASSERT_EQ (runCommand (wrap, &output), 0) << output;
    EXPECT_TRUE (plays (log)) << log;
}

TEST (BridgeTrust, WrapNeverRepointsACopySilently)
{
    // Another plug-in with the same file name as the fixture synth.
    const std::string elsewhere = folder() + "/elsewhere";
    mkdir (elsewhere.c_str(), 0755);
    const std::string other = elsewhere + "/fixture-synth.so";
    ASSERT_TRUE (copyFile (TAMBLIT_FIXTURE_EFFECT, other, 0755));
    const std::string into = folder() + "/repoint";
    const std::string side = into + "/fixture-synth.so.target";
    std::string output;
    ASSERT_EQ (runWrap (TAMBLIT_FIXTURE_SYNTH, into, &output), 0) << output;
    EXPECT_EQ (runWrap (TAMBLIT_FIXTURE_SYNTH, into, &output), 0) << "the same target again is fine: " << output;

    EXPECT_NE (runWrap (other, into, &output), 0);
    EXPECT_NE (output.find ("already stands for"), std::string::npos) << output;
    EXPECT_NE (readText (side).find (std::string ("target=") + TAMBLIT_FIXTURE_SYNTH + "\n"), std::string::npos);

    const std::string command = std::string ("'") + TAMBLIT_BRIDGE_COMMAND + "' wrap '" + other + "' --into '" + into + "' --replace";
    EXPECT_EQ (runCommand (command, &output), 0) << output;
    EXPECT_NE (output.find ("re-pointed"), std::string::npos) << output;
    EXPECT_NE (readText (side).find ("target=" + other + "\n"), std::string::npos);

    // A file of the name that is no bridged copy is left alone.
    const std::string foreign = folder() + "/foreign";
    mkdir (foreign.c_str(), 0755);
    std::ofstream (foreign + "/fixture-synth.so") << "someone else's";
    EXPECT_NE (runWrap (TAMBLIT_FIXTURE_SYNTH, foreign, &output), 0);
    EXPECT_NE (output.find ("is not a bridged copy"), std::string::npos) << output;
    EXPECT_EQ (readText (foreign + "/fixture-synth.so"), "someone else's");
}

TEST (BridgeTrust, WrapLeavesNoTruncatedCopyWhenTheDiskIsFull)
{
    // A file-size limit stands in for a full disk: writes past it fail.
    const std::string into = folder() + "/full";
    const std::string command = std::string ("trap '' XFSZ; ulimit -f 16; exec '") + TAMBLIT_BRIDGE_COMMAND + "' wrap '"
                                + TAMBLIT_FIXTURE_SYNTH + "' --into '" + into + "'";
    std::string output;
    EXPECT_NE (runCommand (command, &output), 0) << output;
    EXPECT_NE (output.find ("cannot write"), std::string::npos) << output;
    DIR* folderHandle = opendir (into.c_str());
    ASSERT_NE (folderHandle, nullptr);
    std::vector<std::string> left;
    while (const dirent* entry = readdir (folderHandle))
        if (entry->d_name[0] != '.')
            left.push_back (entry->d_name);
    closedir (folderHandle);
    EXPECT_TRUE (left.empty()) << "left behind: " << (left.empty() ? "" : left.front());
}

TEST (BridgeTrust, WrapGivesUpOnAPlugInThatNeverLoads)
{
    ScopedEnvironment hang ("TAMBLIT_CRASHER_HANG_ON_LOAD", "1");
    const std::string into = folder() + "/never-loads";
    const auto before = children();
    std::string output;
    const std::string command = std::string ("'") + TAMBLIT_BRIDGE_COMMAND + "' wrap '" + TAMBLIT_FIXTURE_CRASHER + "' --into '" + into
                                + "' --probe-timeout 1";
    EXPECT_NE (runCommand (command, &output), 0);
    EXPECT_NE (output.find ("did not load within 1 s"), std::string::npos) << output;
    EXPECT_NE (access ((into + "/fixture-crasher.so").c_str(), F_OK), 0) << "no copy is made";
    EXPECT_EQ (children(), before) << "the probe does not linger";
}
