// tamblit-render: plays MIDI through the container plug-in, as a host does, into a WAV file.
#include "BridgedCrash.h"
#include "MidiInput.h"
#include "Options.h"
#include "PluginFileCheck.h"
#include "RawVstHost.h"
#include "SignalAnalysis.h"
#include "StateDocument.h"
#include "loading/PluginFormatNames.h"
#include "plugin/HostRequests.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace
{

    using render::Options;

    // The renderer's own streams. The container and the plug-ins it hosts write
    // their chatter to the process's stdout and stderr; those are moved aside once
    // the container is about to load, so that these stay readable.
    FILE* out = stdout;
    FILE* err = stderr;

    int fail (const std::string& message)
    {
        std::fprintf (err, "tamblit-render: error: %s\n", message.c_str());
        std::fflush (err);
        return 1;
    }

    // Keeps the renderer's own output on duplicates of fds 1 and 2 and points the
    // originals at `logPath` (/dev/null unless asked otherwise).
    bool divertPluginOutput (const std::string& logPath, std::string& error)
    {
        std::fflush (out);
        std::fflush (stderr);
        const int ownOut = dup (1);
        const int ownErr = dup (2);
        const int sink = open (logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (ownOut < 0 || ownErr < 0 || sink < 0)
        {
            error = "cannot open " + logPath + " for the plug-ins' output";
            return false;
        }
        FILE* newOut = fdopen (ownOut, "w");
        FILE* newErr = fdopen (ownErr, "w");
        if (newOut == nullptr || newErr == nullptr)
        {
            error = "cannot set up the output streams";
            return false;
        }
        dup2 (sink, 1);
        dup2 (sink, 2);
        close (sink);
        out = newOut;
        err = newErr;
        return true;
    }

    bool readFile (const std::string& path, std::string& text)
    {
        std::ifstream in (path, std::ios::binary);
        if (! in)
            return false;
        std::ostringstream content;
        content << in.rdbuf();
        text = content.str();
        return true;
    }

    // The file each slot will hold, from the options or from a given state document.
    std::string resolvedPath (const std::string& path)
    {
        char resolved[PATH_MAX] = {};
        return realpath (path.c_str(), resolved) != nullptr ? std::string (resolved) : path;
    }

    bool slotFiles (const Options& options, const std::string& stateText, std::string (&files)[2], std::string (&names)[2],
                    bool (&protectedSlots)[2], std::string& error)
    {
        if (options.stateFile.empty())
        {
            for (int i = 0; i < 2; ++i)
            {
                files[i] = options.slots[static_cast<size_t> (i)].path;
                names[i] = options.slots[static_cast<size_t> (i)].name;
                protectedSlots[i] = options.slots[static_cast<size_t> (i)].protect;
            }
            return true;
        }
        render::StateSummary summary;
        if (! render::summariseState (stateText, summary, error))
        {
            error = "state file " + options.stateFile + " is " + error;
            return false;
        }
        for (const auto& slot : summary.slots)
        {
            files[slot.index] = slot.filePath;
            names[slot.index] = slot.loadedPluginName;
            protectedSlots[slot.index] = slot.isProtected;
        }
        return true;
    }

    // Calls tamblit_fixture_crash_all of the library the container loaded for a slot.
    bool crashPluginFile (const std::string& path, std::string& error)
    {
        void* library = dlopen (path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (library == nullptr)
        {
            error = "cannot crash " + path + ": the container has not loaded it";
            return false;
        }
        auto crash = reinterpret_cast<void (*)()> (dlsym (library, "tamblit_fixture_crash_all"));
        if (crash == nullptr)
        {
            dlclose (library);
            error = "cannot crash " + path + ": it has no tamblit_fixture_crash_all";
            return false;
        }
        crash();
        dlclose (library);
        return true;
    }

    std::string chunkText (RawVstHost& host)
    {
        const auto bytes = host.getChunk();
        return std::string (bytes.begin(), bytes.end());
    }

    void printSummary (const render::StateSummary& summary)
    {
        static const char* optionNames[4] = { "console", "auto crash recovery", "auto-switch plugin", "reload crashed plugin data" };
        std::fprintf (out, "container state at the end:\n");
        std::fprintf (out, "  active slot: %d\n", summary.activePlugin);
        for (int slot = 0; slot < 2; ++slot)
        {
            const render::SlotSummary* found = nullptr;
            for (const auto& s : summary.slots)
                if (s.index == slot)
                    found = &s;
            if (found == nullptr)
                std::fprintf (out, "  slot %d: empty\n", slot);
            else
                std::fprintf (out, "  slot %d: %s [%s] (%s)%s\n", slot, found->name.c_str(), found->loadedPluginName.c_str(),
                              found->filePath.c_str(), found->isProtected ? ", protected" : "");
        }
        std::fprintf (out, "  options:");
        for (int i = 0; i < 4; ++i)
            std::fprintf (out, " %d %s=%s%s", i, optionNames[i], summary.options[i] ? "on" : "off", i < 3 ? "," : "\n");
    }

    int run (const Options& options)
    {
        // Everything that can be checked without the container is checked first.
        if (options.plugin.empty())
            return fail ("no container plug-in: pass --plugin PATH");
        if (const auto container = render::checkPluginFile (options.plugin); ! container.ok)
            return fail (container.error + " (the container)");

        std::string stateText;
        if (! options.stateFile.empty() && ! readFile (options.stateFile, stateText))
            return fail ("cannot read state file " + options.stateFile);

        std::string files[2];
        std::string names[2];
        bool protectedSlots[2] = { false, false };
        std::string error;
        if (! slotFiles (options, stateText, files, names, protectedSlots, error))
            return fail (error);

        // How each slot's plug-in is crashed on demand: a fixture's crash hook, or
        // for a bridged copy, its worker process (identified by the target it loads).
        std::string bridgedTargets[2];

        for (int slot = 0; slot < 2; ++slot)
        {
            const auto& crashAt = options.slots[static_cast<size_t> (slot)].crashAt;
            if (files[slot].empty())
            {
                if (crashAt)
                    return fail ("--crash-slot" + std::to_string (slot) + "-at needs a plug-in in slot " + std::to_string (slot));
                continue;
            }
            // VST3 bundles and LV2 URIs are loaded by the container through JUCE,
            // which reports what it cannot load; only VST 2.x files are opened here first.
            const auto format = pluginFormats::formatOf (juce::String::fromUTF8 (files[slot].c_str()));
            if (format != pluginFormats::vst2)
            {
                if (format == pluginFormats::vst3 && ! juce::File (juce::String::fromUTF8 (files[slot].c_str())).isDirectory())
                    return fail ("slot " + std::to_string (slot) + ": " + files[slot] + " is no VST3 bundle (no such folder)");
                if (crashAt)
                    return fail ("--crash-slot" + std::to_string (slot) + "-at needs a VST 2.x plug-in in slot " + std::to_string (slot));
                continue;
            }
            const auto report = render::checkPluginFile (files[slot], ! names[slot].empty());
            if (! report.ok)
                return fail ("slot " + std::to_string (slot) + ": " + report.error);
            if (crashAt && protectedSlots[slot])
            {
                // The container runs it in a bridge worker that loads the file itself.
                bridgedTargets[slot] = resolvedPath (files[slot]);
            }
            else if (crashAt && ! report.hasCrashHook)
            {
                bridgedTargets[slot] = render::bridgedTargetOf (files[slot]);
                if (bridgedTargets[slot].empty())
                    return fail ("--crash-slot" + std::to_string (slot) + "-at: " + files[slot]
                                 + " cannot crash on demand (it exports no tamblit_fixture_crash_all and is no bridged copy)");
            }
        }
        for (int slot = 0; slot < 2; ++slot)
        {
            // Two workers of the same target cannot be told apart from outside.
            const int other = 1 - slot;
            if (! bridgedTargets[slot].empty() && ! files[other].empty()
                && (protectedSlots[other] ? resolvedPath (files[other]) : render::bridgedTargetOf (files[other])) == bridgedTargets[slot])
                return fail ("--crash-slot" + std::to_string (slot) + "-at: both slots bridge " + bridgedTargets[slot]
                             + "; its workers cannot be told apart");
        }

        std::vector<render::TimedMidi> midi;
        double seconds = 0.0;
        if (! options.midiFile.empty())
        {
            if (! render::readMidiFile (options.midiFile, midi, error))
                return fail (error);
            seconds = options.seconds ? *options.seconds : render::lastEventTime (midi) + 1.0;
        }
        else
        {
            seconds = options.seconds ? *options.seconds : 8.0;
            midi = render::builtInPhrase (seconds);
        }
        if (! options.switchAt.empty() && options.switchAt.back() >= seconds)
            return fail ("--switch-at " + std::to_string (options.switchAt.back()) + " is not inside the " + std::to_string (seconds)
                         + " s rendered");
        for (int slot = 0; slot < 2; ++slot)
        {
            const auto& crashAt = options.slots[static_cast<size_t> (slot)].crashAt;
            if (crashAt && *crashAt >= seconds)
                return fail ("--crash-slot" + std::to_string (slot) + "-at " + std::to_string (*crashAt) + " is not inside the "
                             + std::to_string (seconds) + " s rendered");
        }

        const std::string document = options.stateFile.empty() ? render::buildStateDocument (options) : stateText;

        if (! divertPluginOutput (options.pluginLog.empty() ? "/dev/null" : options.pluginLog, error))
            return fail (error);

        RawVstHost host ("tamblit-render");
        host.recordOpcodes (false);
        if (! host.load (options.plugin, error))
            return fail ("cannot load the container " + options.plugin + ": " + error);
        AEffect* const effect = host.effect();
        if (effect->magic != kEffectMagic)
            return fail ("the container " + options.plugin + " did not create a VST 2.x effect");
        host.prepare (static_cast<float> (options.rate), options.block);
        if (effect->numOutputs < 1)
            return fail ("the container has no outputs");

        SF_INFO info {};
        info.samplerate = options.rate;
        info.channels = effect->numOutputs;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* wav = sf_open (options.outFile.c_str(), SFM_WRITE, &info);
        if (wav == nullptr)
            return fail ("cannot write " + options.outFile + ": " + sf_strerror (nullptr));
        auto abandon = [&] (const std::string& message)
        {
            sf_close (wav);
            std::remove (options.outFile.c_str());
            return fail (message);
        };

        std::fprintf (out, "container: %s (%s), %d in / %d out, %d Hz, block %d\n", host.getString (effGetEffectName).c_str(),
                      options.plugin.c_str(), effect->numInputs, effect->numOutputs, options.rate, options.block);
        std::fprintf (out, "sending the state document (%zu bytes)...\n", document.size());
        std::fflush (out);
        {
            // Restoring runs on the container's message thread; should it wait for a
            // user (a dialog nobody can see), say so instead of hanging.
            std::atomic<bool> restored { false };
            std::thread guard (
                [&restored, err = err]
                {
                    for (int i = 0; i < 1200 && ! restored.load(); ++i)
                        std::this_thread::sleep_for (std::chrono::milliseconds (100));
                    if (! restored.load())
                    {
                        std::fprintf (err, "tamblit-render: error: the container did not finish loading the state in 120 s\n");
                        std::fflush (err);
                        std::_Exit (1);
                    }
                });
            const bool taken = (effect->flags & effFlagsProgramChunks) != 0;
            if (taken)
                host.setChunk (std::vector<char> (document.begin(), document.end()));
            restored.store (true);
            guard.join();
            if (! taken)
                return abandon ("the container does not take a state chunk");
        }

        // What the container made of it: every requested slot must hold its file now.
        render::StateSummary loaded;
        if (! render::summariseState (chunkText (host), loaded, error))
            return abandon ("the container's state cannot be read back: " + error);
        for (int slot = 0; slot < 2; ++slot)
        {
            if (files[slot].empty())
                continue;
            bool present = false;
            for (const auto& s : loaded.slots)
                if (s.index == slot && ! s.notLoaded)
                {
                    present = true;
                    std::fprintf (out, "slot %d: %s (%s)\n", slot, s.name.c_str(), s.filePath.c_str());
                }
            if (! present)
                return abandon ("the container did not load " + files[slot] + " into slot " + std::to_string (slot)
                                + " (not a synth it can host?)");
        }
        std::fprintf (out, "active slot: %d; rendering %.2f s %s\n", loaded.activePlugin, seconds,
                      options.fast ? "as fast as possible" : "in real time");
        std::fflush (out);

        const auto totalFrames = static_cast<std::int64_t> (std::llround (seconds * options.rate));
        const int channels = effect->numOutputs;
        std::vector<float> interleaved (static_cast<size_t> (options.block) * static_cast<size_t> (channels));
        std::vector<VstMidiEvent> events;
        bool crashed[2] = { false, false };
        int activeSlot = loaded.activePlugin;
        size_t nextSwitch = 0;
        pid_t crashedWorker[2] = { 0, 0 };
        size_t nextEvent = 0;
        double secondPeak = 0.0;
        double totalPeak = 0.0;
        std::int64_t nextReport = options.rate;
        std::int64_t firstSilentAfterCrash = -1;
        std::int64_t soundAgainAfterCrash = -1;
        double firstCrashAt = -1.0;
        std::int64_t firstCrashBlockAt = 0;

        host.resume();
        const auto wallStart = std::chrono::steady_clock::now();

        for (std::int64_t position = 0; position < totalFrames; position += options.block)
        {
            if (! options.fast)
            {
                // The container's watchdog ticks in wall-clock seconds: keep audio time in step.
                const auto due = wallStart + std::chrono::microseconds (position * 1000000 / options.rate);
                std::this_thread::sleep_until (due);
            }

            const double blockStart = static_cast<double> (position) / options.rate;
            while (nextSwitch < options.switchAt.size() && blockStart + 1e-9 >= options.switchAt[nextSwitch])
            {
                // Between two blocks, as a click on the panel lands.
                const int to = 1 - activeSlot;
                if (host.dispatch (effVendorSpecific, tamblit::hostRequests::switchActiveSlot, to) != 1)
                {
                    host.stop();
                    return abandon ("the container did not switch to slot " + std::to_string (to) + " at "
                                    + std::to_string (options.switchAt[nextSwitch]) + " s (is slot " + std::to_string (to) + " empty?)");
                }
                activeSlot = to;
                std::fprintf (out, "%7.3f s  switched to slot %d\n", blockStart, to);
                std::fflush (out);
                ++nextSwitch;
            }
            for (int slot = 0; slot < 2; ++slot)
            {
                const auto& crashAt = options.slots[static_cast<size_t> (slot)].crashAt;
                if (crashAt && ! crashed[slot] && blockStart + 1e-9 >= *crashAt)
                {
                    const bool done = bridgedTargets[slot].empty()
                                          ? crashPluginFile (files[slot], error)
                                          : render::crashBridgeWorker (bridgedTargets[slot], crashedWorker[slot], error);
                    if (! done)
                    {
                        host.stop();
                        return abandon (error);
                    }
                    crashed[slot] = true;
                    if (firstCrashAt < 0.0)
                    {
                        firstCrashAt = blockStart;
                        firstCrashBlockAt = position;
                    }
                    if (crashedWorker[slot] > 0)
                        std::fprintf (out, "%7.3f s  slot %d's plug-in crashes now (its bridge worker, pid %d, got SIGSEGV)\n", blockStart,
                                      slot, static_cast<int> (crashedWorker[slot]));
                    else
                        std::fprintf (out, "%7.3f s  slot %d's plug-in crashes now\n", blockStart, slot);
                    std::fflush (out);
                }
            }

            events.clear();
            const std::int64_t blockEnd = position + options.block;
            while (nextEvent < midi.size())
            {
                const auto frame = static_cast<std::int64_t> (std::llround (midi[nextEvent].seconds * options.rate));
                if (frame >= blockEnd)
                    break;
                const int offset = static_cast<int> (std::max<std::int64_t> (0, frame - position));
                events.push_back (makeMidiEvent (midi[nextEvent].bytes, offset));
                ++nextEvent;
            }

            host.setPosition (position);
            const auto block = host.process (options.block, events);

            const int frames = static_cast<int> (std::min<std::int64_t> (options.block, totalFrames - position));
            double blockPeak = 0.0;
            for (int i = 0; i < frames; ++i)
                for (int c = 0; c < channels; ++c)
                {
                    float v = block[static_cast<size_t> (c)][static_cast<size_t> (i)];
                    if (! std::isfinite (v))
                        v = 0.0f;
                    interleaved[static_cast<size_t> (i * channels + c)] = v;
                    blockPeak = std::max (blockPeak, static_cast<double> (std::fabs (v)));
                }
            if (sf_writef_float (wav, interleaved.data(), frames) != frames)
            {
                host.stop();
                return abandon ("writing " + options.outFile + " failed: " + sf_strerror (wav));
            }

            if (firstCrashAt >= 0.0)
            {
                // Only silence right at the crash is the crash's: a container
                // that hands over within the block leaves none, and a pause
                // between later notes is no part of it.
                const bool atTheCrash = position < firstCrashBlockAt + render::kCrashSilenceWindow * options.block;
                if (firstSilentAfterCrash < 0 && blockPeak == 0.0 && atTheCrash)
                    firstSilentAfterCrash = position;
                else if (firstSilentAfterCrash >= 0 && soundAgainAfterCrash < 0 && blockPeak > 0.0)
                    soundAgainAfterCrash = position;
            }

            secondPeak = std::max (secondPeak, blockPeak);
            totalPeak = std::max (totalPeak, blockPeak);
            if (blockEnd >= nextReport || blockEnd >= totalFrames)
            {
                if (! options.quiet)
                {
                    std::fprintf (out, "%7.3f s  peak %.3f%s\n", static_cast<double> (std::min (blockEnd, totalFrames)) / options.rate,
                                  secondPeak, secondPeak == 0.0 ? "  (silent)" : "");
                    std::fflush (out);
                }
                secondPeak = 0.0;
                nextReport += options.rate;
            }
        }

        host.stop();

        for (int slot = 0; slot < 2; ++slot)
        {
            if (crashedWorker[slot] <= 0)
                continue;
            // A reload makes a new bridge instance, which starts a worker of its own.
            const auto workers = render::bridgeWorkersOf (bridgedTargets[slot]);
            if (workers.empty())
                std::fprintf (out, "slot %d's plug-in runs in no bridge worker now (not reloaded after the crash)\n", slot);
            else
                std::fprintf (out, "slot %d's plug-in runs in a fresh bridge worker now (pid %d; pid %d crashed)\n", slot,
                              static_cast<int> (workers.front()), static_cast<int> (crashedWorker[slot]));
        }

        render::StateSummary summary;
        if (render::summariseState (chunkText (host), summary, error))
            printSummary (summary);
        else
            std::fprintf (out, "container state at the end cannot be read: %s\n", error.c_str());

        if (firstCrashAt >= 0.0)
        {
            if (firstSilentAfterCrash < 0)
                std::fprintf (out, "after the crash at %.3f s the output never went silent\n", firstCrashAt);
            else if (soundAgainAfterCrash < 0)
                std::fprintf (out, "after the crash at %.3f s the output went silent at %.3f s and stayed silent\n", firstCrashAt,
                              static_cast<double> (firstSilentAfterCrash) / options.rate);
            else
                std::fprintf (out, "after the crash at %.3f s: silent from %.3f s, sound again from %.3f s (%.0f ms after the crash)\n",
                              firstCrashAt, static_cast<double> (firstSilentAfterCrash) / options.rate,
                              static_cast<double> (soundAgainAfterCrash) / options.rate,
                              (static_cast<double> (soundAgainAfterCrash) / options.rate - firstCrashAt) * 1000.0);
        }

        if (sf_close (wav) != 0)
            return fail ("closing " + options.outFile + " failed");
        if (totalPeak == 0.0)
        {
            std::remove (options.outFile.c_str());
            return fail ("the rendered output is entirely silent; " + options.outFile + " was not kept");
        }
        std::fprintf (out, "wrote %s (%.2f s, %d channels, peak %.3f)\n", options.outFile.c_str(), seconds, channels, totalPeak);
        return 0;
    }

} // namespace

int main (int argc, char** argv)
{
    Options options;
    std::string error;
    if (! render::parseOptions (argc, argv, options, error))
        return fail (error);
    // The container keeps the path it was given: hand it absolute ones.
    for (auto& slot : options.slots)
        if (! slot.path.empty())
            if (char* resolved = realpath (slot.path.c_str(), nullptr))
            {
                slot.path = resolved;
                std::free (resolved);
            }
    if (options.help)
    {
        std::fputs (render::usageText(), stdout);
        return 0;
    }
    const int code = run (options);
    std::fflush (out);
    std::fflush (err);
    // JUCE's message thread inside the container outlives main's objects; end
    // the process here rather than run static destructors under it.
    std::_Exit (code);
}
