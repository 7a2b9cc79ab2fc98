#include "Switching.h"
#include "BridgedCrash.h"
#include "FixtureCrasher.h"
#include "Hosts.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <dlfcn.h>
#include <random>
#include <thread>
#include <vector>

namespace bench
{
    namespace
    {
        using Clock = std::chrono::steady_clock;
        constexpr int blockSize = 64;

        // Which fixture a block came from, by the constant it plays on channel 0
        // with its first program (no MIDI is sent here); 0 is silence, -1 anything else.
        int sourceOf (float sample, const std::vector<float>& identities)
        {
            if (sample == 0.0f)
                return 0;
            for (size_t i = 0; i < identities.size(); ++i)
                if (std::abs (sample - tamblit::fixtures::fixtureDc (identities[i], 0, 0.5f, 0.0f)) < 1.0e-6f)
                    return (int) i + 1;
            return -1;
        }

        struct Block
        {
            Clock::time_point at;
            int source;
        };

        // Renders paced blocks on its own thread, as a host's audio thread does.
        class PacedRenderer
        {
        public:
            PacedRenderer (ContainerHost& h, std::vector<float> ids)
                : host (h),
                  identities (std::move (ids))
            {
                log.resize (200000);
                thread = std::thread ([this] { run(); });
            }
            ~PacedRenderer() { finish(); }

            void finish ()
            {
                stop = true;
                if (thread.joinable())
                    thread.join();
            }

            std::vector<Block> blocks () const { return { log.begin(), log.begin() + count.load() }; }

        private:
            void run ()
            {
                const auto period = std::chrono::nanoseconds ((long long) (1.0e9 * blockSize / sampleRate));
                auto next = Clock::now();
                long long position = 0;
                while (! stop.load() && count.load() < (int) log.size())
                {
                    host.render (position, blockSize);
                    position += blockSize;
                    log[(size_t) count.load()] = { Clock::now(), sourceOf (host.firstSample(), identities) };
                    ++count;
                    next += period;
                    std::this_thread::sleep_until (next);
                }
            }

            ContainerHost& host;
            std::vector<float> identities;
            std::vector<Block> log;
            std::atomic<int> count { 0 };
            std::atomic<bool> stop { false };
            std::thread thread;
        };

        // Silent or foreign blocks between the last block of `from` and the first of `to` after `since`.
        bool gapAfter (const std::vector<Block>& blocks, Clock::time_point since, int from, int to, int& gap, double& msFromSince)
        {
            size_t first = 0;
            while (first < blocks.size() && blocks[first].at < since)
                ++first;
            size_t lastFrom = first;
            for (size_t i = first; i < blocks.size(); ++i)
            {
                if (blocks[i].source == from)
                    lastFrom = i;
                if (blocks[i].source == to)
                {
                    gap = (int) (i - std::max (lastFrom, first)) - (blocks[lastFrom].source == from ? 1 : 0);
                    msFromSince = std::chrono::duration<double, std::milli> (blocks[i].at - since).count();
                    return true;
                }
            }
            return false;
        }

        // The silence of each event of one kind, for its summary line.
        struct Gaps
        {
            std::vector<int> blocks;
            std::vector<double> ms;

            void measure (const std::vector<Block>& log, Clock::time_point since, int from, int to)
            {
                int gap = 0;
                double delay = 0;
                if (gapAfter (log, since, from, to, gap, delay))
                {
                    blocks.push_back (gap);
                    ms.push_back (delay);
                }
            }
        };

        // The built container in a host that sends no MIDI: the fixtures are told apart by their constants.
        bool loadContainer (ContainerHost& host, const std::string& containerPath)
        {
            host.sendMidi = false;
            std::string error;
            if (host.load (containerPath, error))
                return true;
            std::fprintf (stderr, "%s\n", error.c_str());
            return false;
        }

        void printSummary (const char* what, const Gaps& measured)
        {
            auto gaps = measured.blocks;
            auto ms = measured.ms;
            if (gaps.empty())
            {
                std::fprintf (results, "%s: no hand-over observed\n", what);
                return;
            }
            std::sort (gaps.begin(), gaps.end());
            std::sort (ms.begin(), ms.end());
            std::fprintf (results, "%-44s n=%zu  silent blocks of %d: min %d median %d max %d   ms to new sound: median %.1f max %.1f\n",
                          what, gaps.size(), blockSize, gaps.front(), gaps[gaps.size() / 2], gaps.back(), ms[ms.size() / 2], ms.back());
        }
    }

    int runSwitching (const std::string& containerPath, const std::string& fixtureDir)
    {
        using namespace tamblit::fixtures;
        const std::string synth = fixtureDir + "/fixture-synth.so", synth8 = fixtureDir + "/fixture-synth8.so";
        const std::string bridge = fixtureDir + "/fixture-bridge.so", bridgeB = fixtureDir + "/fixture-bridge-b.so";
        std::string error;

        {
            // State documents that swap which slot is active (both slots named again each time).
            ContainerHost host (blockSize);
            if (! loadContainer (host, containerPath))
                return 1;
            host.setState (stateDocument (0, synth, synth8));
            PacedRenderer audio (host, { kIdentitySynth, kIdentitySynth8 });
            std::vector<Clock::time_point> sent;
            for (int k = 1; k <= 10; ++k)
            {
                std::this_thread::sleep_for (std::chrono::milliseconds (300));
                sent.push_back (Clock::now());
                host.setState (stateDocument (k % 2, synth, synth8));
            }
            std::this_thread::sleep_for (std::chrono::milliseconds (300));
            audio.finish();
            const auto blocks = audio.blocks();
            Gaps gaps;
            for (size_t k = 0; k < sent.size(); ++k)
                gaps.measure (blocks, sent[k], k % 2 == 0 ? 1 : 2, k % 2 == 0 ? 2 : 1);
            printSummary ("switch by state document (slots reloaded)", gaps);
        }

        {
            // A crashed bridge in the active slot: the watchdog switches to the other slot.
            Gaps gaps;
            for (int k = 0; k < 5; ++k)
            {
                ContainerHost host (blockSize);
                if (! loadContainer (host, containerPath))
                    return 1;
                host.setState (stateDocument (0, bridge, bridgeB));
                PacedRenderer audio (host, { kIdentityBridge, kIdentityBridgeB });
                // Crash at a different point of the watchdog's 1 s period each time.
                std::this_thread::sleep_for (std::chrono::milliseconds (400 + 190 * k));
                void* library = dlopen (bridge.c_str(), RTLD_NOW | RTLD_NOLOAD);
                auto crashAll = library != nullptr ? reinterpret_cast<void (*)()> (dlsym (library, "tamblit_fixture_crash_all")) : nullptr;
                if (crashAll == nullptr)
                {
                    std::fprintf (stderr, "the bridge fixture is not loaded\n");
                    return 1;
                }
                const auto crashedAt = Clock::now();
                crashAll();
                dlclose (library);
                const auto deadline = crashedAt + std::chrono::seconds (5);
                bool heard = false;
                while (! heard && Clock::now() < deadline)
                {
                    std::this_thread::sleep_for (std::chrono::milliseconds (50));
                    const auto blocks = audio.blocks();
                    heard = std::any_of (blocks.begin(), blocks.end(), [&] (const Block& b) { return b.at > crashedAt && b.source == 2; });
                }
                std::this_thread::sleep_for (std::chrono::milliseconds (50));
                audio.finish();
                gaps.measure (audio.blocks(), crashedAt, 1, 2);
            }
            printSummary ("crash of the active bridge, watchdog hand-over", gaps);
        }

        {
            // A real segfault of the protected active slot's worker at a random
            // moment: the container's audio thread hands over by itself.
            const std::string crasher = fixtureDir + "/fixture-crasher.so";
            auto cache = juce::File::createTempFile ("tamblit-bench-cache");
            cache.createDirectory();
            setenv ("XDG_CACHE_HOME", cache.getFullPathName().toRawUTF8(), 1);
            std::mt19937 random (20261210u);
            Gaps gaps;
            for (int k = 0; k < 24; ++k)
            {
                ContainerHost host (blockSize);
                if (! loadContainer (host, containerPath))
                    return 1;
                host.setState (stateDocument (0, crasher, synth, { true, false }));
                PacedRenderer audio (host, { kIdentityCrasher, kIdentitySynth });
                const auto started = Clock::now();
                while (Clock::now() - started < std::chrono::seconds (10))
                {
                    const auto blocks = audio.blocks();
                    if (! blocks.empty() && blocks.back().source == 1)
                        break;
                    std::this_thread::sleep_for (std::chrono::milliseconds (5));
                }
                // Anywhere in a block period, and anywhere in the watchdog's second.
                std::this_thread::sleep_for (std::chrono::microseconds (std::uniform_int_distribution<int> (50000, 1050000) (random)));
                pid_t worker = -1;
                const auto crashedAt = Clock::now();
                if (! render::crashBridgeWorker (crasher, worker, error))
                {
                    std::fprintf (stderr, "%s\n", error.c_str());
                    return 1;
                }
                std::this_thread::sleep_for (std::chrono::milliseconds (100));
                audio.finish();
                gaps.measure (audio.blocks(), crashedAt, 1, 2);
            }
            unsetenv ("XDG_CACHE_HOME");
            cache.deleteRecursively();
            printSummary ("segfault of the protected active slot, audio-thread hand-over", gaps);
        }
        return 0;
    }
}
