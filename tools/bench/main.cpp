// tamblit-bench: the container's cost to a host.
//
//   tamblit-bench                      CPU time of (b) container-hosted against (a)
//                                      directly hosted, per synth and block size
//   tamblit-bench --only direct|container --plugin PATH --block-size N --blocks N
//                                      renders one way only, inside tamblit_bench_render
//                                      (for callgrind --toggle-collect=tamblit_bench_render)
//   tamblit-bench --switch             silence of slot switches and of a crash hand-over
//   tamblit-bench --saves              save latency on a host thread while the main thread is busy
//   tamblit-bench --switch-fade        steps and CPU of a faded slot switch
#include "CommandLine.h"
#include "Hosts.h"
#include "Saves.h"
#include "SwitchFade.h"
#include "Switching.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <type_traits>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

namespace
{
    long long threadCpuNs ()
    {
        timespec now {};
        clock_gettime (CLOCK_THREAD_CPUTIME_ID, &now);
        return (long long) now.tv_sec * 1000000000LL + now.tv_nsec;
    }

    double median (std::vector<double> values)
    {
        std::sort (values.begin(), values.end());
        const size_t n = values.size();
        return n == 0 ? 0.0 : (n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]));
    }

    struct Options
    {
        std::vector<std::string> plugins;
        std::vector<int> sizes { 32, 64, 512 };
        std::string only;
        std::string container = TAMBLIT_BENCH_CONTAINER;
        int blockSize = 64;
        long blocks = 20000;
        int reps = 9;
        double seconds = 0.5;
        bool switching = false;
        bool saves = false;
        bool switchFade = false;
        bool verbose = false;
    };

    const char* usage = "usage: tamblit-bench [--plugin PATH]... [--container PATH] [--block-size N] [--reps N] [--seconds S] [--verbose]\n"
                        "       tamblit-bench --only direct|container --plugin PATH --block-size N --blocks N\n"
                        "       tamblit-bench --switch\n"
                        "       tamblit-bench --saves\n"
                        "       tamblit-bench --switch-fade\n";

    bool parse (int argc, char** argv, Options& o, bool& help)
    {
        cli::CommandLine line (argc, argv);
        auto text = [] (std::string& field)
        {
            return [&field] (const std::string& value, std::string&)
            {
                field = value;
                return true;
            };
        };
        auto number = [] (auto& field)
        {
            return [&field] (const std::string& value, std::string&)
            {
                field = (std::decay_t<decltype (field)>) std::atof (value.c_str());
                return true;
            };
        };
        line.unknownArgument ([] (const std::string& arg) { return "unknown argument " + arg; });
        line.flag ("--help|-h", [&] { help = true; });
        line.flag ("--switch", [&] { o.switching = true; });
        line.flag ("--saves", [&] { o.saves = true; });
        line.flag ("--switch-fade", [&] { o.switchFade = true; });
        line.flag ("--verbose", [&] { o.verbose = true; });
        line.option ("--only", text (o.only));
        line.option ("--container", text (o.container));
        line.option ("--plugin",
                     [&] (const std::string& value, std::string&)
                     {
                         o.plugins.push_back (value);
                         return true;
                     });
        line.option ("--block-size",
                     [&] (const std::string& value, std::string&)
                     {
                         o.blockSize = std::atoi (value.c_str());
                         o.sizes = { o.blockSize };
                         return true;
                     });
        line.option ("--blocks", number (o.blocks));
        line.option ("--reps", number (o.reps));
        line.option ("--seconds", number (o.seconds));
        std::string error;
        if (! line.parse (error))
        {
            std::fprintf (stderr, "%s\n", error.c_str());
            return false;
        }
        if (o.plugins.empty())
            o.plugins = { std::string (TAMBLIT_BENCH_FIXTURES) + "/fixture-synth.so", "/usr/lib/vst/amsynth_vst.so" };
        return (o.only.empty() || o.only == "direct" || o.only == "container") && o.blockSize > 0 && o.reps > 0;
    }

    std::unique_ptr<bench::Host> makeHost (bool container, const Options& o, const std::string& plugin, int blockSize)
    {
        std::string error;
        if (! container)
        {
            auto host = bench::makeDirectHost (plugin, blockSize, error);
            if (host == nullptr)
                std::fprintf (stderr, "cannot host %s: %s\n", plugin.c_str(), error.c_str());
            return host;
        }
        auto host = std::make_unique<bench::ContainerHost> (blockSize);
        if (! host->load (o.container, error))
        {
            std::fprintf (stderr, "cannot load the container %s: %s\n", o.container.c_str(), error.c_str());
            return {};
        }
        host->setState (bench::stateDocument (0, plugin, ""));
        return host;
    }
}

// The rendering callgrind counts; kept out of line so --toggle-collect finds it.
extern "C" __attribute__ ((noinline)) void tamblit_bench_render (bench::Host* host, long long* position, long blocks, int length)
{
    for (long b = 0; b < blocks; ++b, *position += length)
        host->render (*position, length);
}

int main (int argc, char** argv)
{
    Options o;
    bool help = false;
    if (! parse (argc, argv, o, help))
        return 2;
    if (help)
    {
        std::fputs (usage, stdout);
        return 0;
    }

    // Results go to the standard output the caller sees; what the container and
    // the hosted plug-ins print on theirs goes away unless --verbose.
    FILE* results = fdopen (dup (STDOUT_FILENO), "w");
    if (! o.verbose)
    {
        const int null = open ("/dev/null", O_WRONLY);
        dup2 (null, STDOUT_FILENO);
        close (null);
    }
    setvbuf (results, nullptr, _IOLBF, 0);
    bench::results = results;

    juce::ScopedJuceInitialiser_GUI juce;

    if (o.switching)
        return bench::runSwitching (o.container, TAMBLIT_BENCH_FIXTURES);
    if (o.saves)
        return bench::runSaveLatency (o.container, TAMBLIT_BENCH_FIXTURES);
    if (o.switchFade)
        return bench::runSwitchFade (TAMBLIT_BENCH_FIXTURES);

    if (! o.only.empty())
    {
        auto host = makeHost (o.only == "container", o, o.plugins[0], o.blockSize);
        if (host == nullptr)
            return 1;
        long long position = 0;
        for (int b = 0; b < 64; ++b, position += o.blockSize)
            host->render (position, o.blockSize);
        tamblit_bench_render (host.get(), &position, o.blocks, o.blockSize);
        std::fprintf (results, "%s %s %d samples: %ld blocks rendered\n", o.only.c_str(), o.plugins[0].c_str(), o.blockSize, o.blocks);
        return 0;
    }

    std::fprintf (results, "%-34s %6s %14s %14s %8s\n", "synth", "block", "(a) ns/block", "(b) ns/block", "(b)/(a)");
    for (auto& plugin : o.plugins)
    {
        for (int size : o.sizes)
        {
            auto direct = makeHost (false, o, plugin, size);
            auto contained = makeHost (true, o, plugin, size);
            if (direct == nullptr || contained == nullptr)
                return 1;

            const long blocks = std::max (1L, (long) (o.seconds * bench::sampleRate / size));
            long long positions[2] = { 0, 0 };
            bench::Host* hosts[2] = { direct.get(), contained.get() };
            for (int h = 0; h < 2; ++h)
                tamblit_bench_render (hosts[h], &positions[h], 64, size);

            // Interleaved repetitions, alternating which way goes first.
            std::vector<double> perBlock[2], ratios;
            for (int r = 0; r < o.reps; ++r)
            {
                double ns[2] = { 0, 0 };
                for (int k = 0; k < 2; ++k)
                {
                    const int h = (r + k) % 2;
                    const long long start = threadCpuNs();
                    tamblit_bench_render (hosts[h], &positions[h], blocks, size);
                    ns[h] = (double) (threadCpuNs() - start) / (double) blocks;
                }
                perBlock[0].push_back (ns[0]);
                perBlock[1].push_back (ns[1]);
                ratios.push_back (ns[1] / ns[0]);
            }
            // Both ways stand at the same sample position: they must play the same.
            float peak[2] = { 0, 0 };
            bool same = true;
            for (long b = 0; b < blocks; ++b)
            {
                for (int h = 0; h < 2; ++h)
                {
                    tamblit_bench_render (hosts[h], &positions[h], 1, size);
                    peak[h] = std::max (peak[h], std::abs (hosts[h]->firstSample()));
                }
                same = same && hosts[0]->firstSample() == hosts[1]->firstSample();
            }
            const auto name = juce::File (plugin).getFileName().toStdString();
            std::fprintf (results, "%-34s %6d %14.0f %14.0f %8.3f   %s\n", name.c_str(), size, median (perBlock[0]), median (perBlock[1]),
                          median (ratios),
                          peak[0] == 0.0f || peak[1] == 0.0f ? "SILENT"
                          : same                             ? "same output"
                                                             : "outputs differ");
        }
    }
    return 0;
}
