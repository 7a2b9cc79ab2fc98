// tamblit-bridge-bench [plug-in.so] [seconds per block size]
//
// Plays one synth hosted directly and the same synth through a bridged copy,
// side by side in one paced run (one block of each per block period, as a
// host's audio thread would), at 32, 64 and 512 samples per block, and prints
// per block: CPU time direct, CPU time bridged (host thread + worker process),
// their ratio, and the wall time of one process call each way (the bridged
// call's extra wall time is the round trip to the worker).
#include "BridgeIo.h"
#include "BridgeProtocol.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <vector>

using namespace tamblit::bridge;

namespace
{

    constexpr float kRate = 48000.0f;

    VstIntPtr VSTCALLBACK hostCallback (AEffect*, int opcode, int, VstIntPtr, void*, float)
    {
        return opcode == op::HostVersion ? 2400 : 0;
    }

    AEffect* open (const std::string& path)
    {
        void* library = dlopen (path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
        {
            std::fprintf (stderr, "%s\n", dlerror());
            return nullptr;
        }
        auto entry = reinterpret_cast<AEffect* (*) (audioMasterCallback)> (dlsym (library, "VSTPluginMain"));
        AEffect* fx = entry != nullptr ? entry (hostCallback) : nullptr;
        if (fx != nullptr)
            fx->dispatcher (fx, op::Open, 0, 0, nullptr, 0.0f);
        return fx;
    }

    void start (AEffect* fx, int block)
    {
        fx->dispatcher (fx, op::SetSampleRate, 0, 0, nullptr, kRate);
        fx->dispatcher (fx, op::SetBlockSize, 0, block, nullptr, 0.0f);
        fx->dispatcher (fx, op::MainsChanged, 0, 1, nullptr, 0.0f);
        fx->dispatcher (fx, 71, 0, 0, nullptr, 0.0f);
    }

    std::int64_t cpuNs (clockid_t clock)
    {
        timespec t {};
        clock_gettime (clock, &t);
        return static_cast<std::int64_t> (t.tv_sec) * 1000000000LL + t.tv_nsec;
    }

    struct Side
    {
        AEffect* fx;
        std::vector<std::vector<float>> buffers;
        std::vector<float*> out;
        std::int64_t threadCpu = 0;
        std::vector<std::int64_t> wall;
    };

    void notes (AEffect* fx, bool on)
    {
        VstMidiEvent events[3] {};
        VstEvents* list = static_cast<VstEvents*> (std::calloc (1, sizeof (VstEvents) + 3 * sizeof (VstEvent*)));
        list->numEvents = 3;
        const int pitches[3] = { 48, 55, 64 };
        for (int i = 0; i < 3; ++i)
        {
            events[i].type = kVstMidiType;
            events[i].byteSize = sizeof (VstMidiEvent);
            events[i].midiData[0] = static_cast<char> (on ? 0x90 : 0x80);
            events[i].midiData[1] = static_cast<char> (pitches[i]);
            events[i].midiData[2] = static_cast<char> (on ? 100 : 0);
            list->events[i] = reinterpret_cast<VstEvent*> (&events[i]);
        }
        fx->dispatcher (fx, op::ProcessEvents, 0, 0, list, 0.0f);
        std::free (list);
    }

    void processOne (Side& side, int block)
    {
        const std::int64_t cpu0 = cpuNs (CLOCK_THREAD_CPUTIME_ID);
        const std::int64_t wall0 = nowNs();
        side.fx->processReplacing (side.fx, nullptr, side.out.data(), block);
        side.wall.push_back (nowNs() - wall0);
        side.threadCpu += cpuNs (CLOCK_THREAD_CPUTIME_ID) - cpu0;
    }

    double median (std::vector<std::int64_t> v)
    {
        std::sort (v.begin(), v.end());
        return v.empty() ? 0.0 : static_cast<double> (v[v.size() / 2]);
    }

    double percentile99 (std::vector<std::int64_t> v)
    {
        std::sort (v.begin(), v.end());
        return v.empty() ? 0.0 : static_cast<double> (v[v.size() * 99 / 100]);
    }

} // namespace

int main (int argc, char** argv)
{
    const std::string target = argc > 1 ? argv[1] : "/usr/lib/vst/amsynth_vst.so";
    const double seconds = argc > 2 ? std::atof (argv[2]) : 3.0;

    // A bridged copy in a scratch folder, as `tamblit-bridge wrap` makes it.
    char exe[PATH_MAX] = {};
    const ssize_t length = readlink ("/proc/self/exe", exe, sizeof (exe) - 1);
    const std::string tools = directoryOf (std::string (exe, length > 0 ? static_cast<std::size_t> (length) : 0));
    char scratch[] = "/tmp/tamblit-bridge-bench-XXXXXX";
    if (mkdtemp (scratch) == nullptr)
        return 1;
    const std::string copy = std::string (scratch) + "/bridged.so";
    {
        std::ifstream in (tools + "/tamblit-bridge.so", std::ios::binary);
        std::ofstream out (copy, std::ios::binary);
        out << in.rdbuf();
    }
    char resolved[PATH_MAX] = {};
    bool written = false;
    if (realpath (target.c_str(), resolved) != nullptr)
    {
        std::ofstream side (sideFilePathFor (copy), std::ios::trunc);
        side << formatSideFile (SideFile { resolved, tools + "/tamblit-bridge-worker" });
        written = static_cast<bool> (side.flush());
    }
    if (! written)
    {
        std::fprintf (stderr, "cannot bridge %s\n", target.c_str());
        return 1;
    }

    std::printf ("target: %s, %.0f Hz, %.1f s of audio per block size, paced in real time\n", target.c_str(), static_cast<double> (kRate),
                 seconds);
    std::printf ("%6s %12s %12s %7s %12s %12s %12s %12s\n", "block", "cpu direct", "cpu bridged", "ratio", "wall direct", "wall bridged",
                 "round trip", "p99 bridged");
    std::printf ("%6s %12s %12s %7s %12s %12s %12s %12s\n", "", "us/block", "us/block", "", "us (median)", "us (median)", "us (median)",
                 "us");
    for (int block : { 32, 64, 512 })
    {
        Side direct { open (target), {}, {}, 0, {} };
        Side bridged { open (copy), {}, {}, 0, {} };
        if (direct.fx == nullptr || bridged.fx == nullptr)
        {
            std::fprintf (stderr, "cannot open the plug-in\n");
            return 1;
        }
        for (Side* side : { &direct, &bridged })
        {
            side->buffers.assign (static_cast<std::size_t> (side->fx->numOutputs), std::vector<float> (block));
            for (auto& b : side->buffers)
                side->out.push_back (b.data());
            start (side->fx, block);
            notes (side->fx, true);
        }
        const auto worker = static_cast<pid_t> (bridged.fx->dispatcher (bridged.fx, op::VendorSpecific, kWorkerPidIndex, 0, nullptr, 0.0f));
        clockid_t workerClock {};
        if (clock_getcpuclockid (worker, &workerClock) != 0)
        {
            std::fprintf (stderr, "cannot read the worker's CPU clock\n");
            return 1;
        }
        const auto period = static_cast<std::int64_t> (1e9 * block / kRate);
        const int blocks = static_cast<int> (seconds * kRate / block);
        // Warm-up, then the measured run.
        for (int i = 0; i < 50; ++i)
        {
            processOne (direct, block);
            processOne (bridged, block);
        }
        direct.threadCpu = bridged.threadCpu = 0;
        direct.wall.clear();
        bridged.wall.clear();
        const std::int64_t worker0 = cpuNs (workerClock);
        std::int64_t next = nowNs();
        for (int i = 0; i < blocks; ++i)
        {
            processOne (direct, block);
            processOne (bridged, block);
            next += period;
            const timespec at = nsToTimespec (next);
            clock_nanosleep (CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        }
        const std::int64_t workerCpu = cpuNs (workerClock) - worker0;
        const double cpuDirect = static_cast<double> (direct.threadCpu) / blocks / 1000.0;
        const double cpuBridged = static_cast<double> (bridged.threadCpu + workerCpu) / blocks / 1000.0;
        const double wallDirect = median (direct.wall) / 1000.0;
        const double wallBridged = median (bridged.wall) / 1000.0;
        std::printf ("%6d %12.2f %12.2f %7.2f %12.2f %12.2f %12.2f %12.2f\n", block, cpuDirect, cpuBridged, cpuBridged / cpuDirect,
                     wallDirect, wallBridged, wallBridged - wallDirect, percentile99 (bridged.wall) / 1000.0);
        std::printf ("       (bridged cpu: host thread %.2f us, worker %.2f us per block)\n",
                     static_cast<double> (bridged.threadCpu) / blocks / 1000.0, static_cast<double> (workerCpu) / blocks / 1000.0);
        std::fflush (stdout);
        for (Side* side : { &direct, &bridged })
            side->fx->dispatcher (side->fx, op::Close, 0, 0, nullptr, 0.0f);
    }
    std::remove (sideFilePathFor (copy).c_str());
    std::remove (copy.c_str());
    rmdir (scratch);
    return 0;
}
