// Helpers for the bridge tests: bridged copies made by the real wrap command
// in a temporary folder, and the crash probe.
#pragma once

#include "FixtureSignal.h"
#include "crash/CrashProbe.h"
#include "processor/StateCodec.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "RawVstHost.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <algorithm>
#include <cmath>

namespace bridge_test
{
    // The VST3 fixture plays sines, the same on both channels, around zero.
    inline bool isVst3Fixture (const std::vector<std::vector<float>>& block)
    {
        float peak = 0.0f;
        for (size_t i = 0; i < block[0].size(); ++i)
        {
            if (block[0][i] != block[1][i])
                return false;
            peak = std::max (peak, std::abs (block[0][i]));
        }
        return peak > 0.01f;
    }

    // Runs a shell command, standard error with standard output; returns its exit code.
    inline int runCommand (const std::string& command, std::string* output = nullptr)
    {
        FILE* pipe = popen ((command + " 2>&1").c_str(), "r");
        if (pipe == nullptr)
            return -1;
        char buffer[512];
        std::string text;
        while (fgets (buffer, sizeof (buffer), pipe) != nullptr)
            text += buffer;
        const int status = pclose (pipe);
        if (output != nullptr)
            *output = text;
        return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
    }

    // Runs `tamblit-bridge wrap <target> --into <folder>`; returns its exit code.
    inline int runWrap (const std::string& target, const std::string& folder, std::string* output = nullptr)
    {
        return runCommand (std::string ("'") + TAMBLIT_BRIDGE_COMMAND + "' wrap '" + target + "' --into '" + folder + "'", output);
    }

    // An environment variable set while alive; workers started meanwhile inherit it.
    struct ScopedEnvironment
    {
        ScopedEnvironment (const char* name, const std::string& value)
            : name (name)
        {
            setenv (name, value.c_str(), 1);
        }
        ~ScopedEnvironment() { unsetenv (name); }
        const char* name;
    };

    // A folder that lives as long as the test program.
    inline const std::string& folder ()
    {
        static const std::string path = []
        {
            char name[] = "/tmp/tamblit-bridge-test-XXXXXX";
            const char* made = mkdtemp (name);
            return std::string (made != nullptr ? made : "/tmp");
        }();
        return path;
    }

    // The bridged copy of `target` (made once per target).
    inline std::string bridged (const std::string& target)
    {
        const std::string copy = folder() + "/" + target.substr (target.find_last_of ('/') + 1);
        if (access ((copy + ".target").c_str(), R_OK) != 0)
        {
            std::string output;
            EXPECT_EQ (runWrap (target, folder(), &output), 0) << output;
        }
        return copy;
    }

    inline VstIntPtr probe (RawVstHost& host)
    {
        return host.dispatch (crashProbe::opcode, crashProbe::index, crashProbe::value, nullptr, crashProbe::option);
    }

    inline pid_t workerPid (RawVstHost& host)
    {
        return (pid_t) host.dispatch (effVendorSpecific, 0x54427770, 0, nullptr, 0.0f);
    }

    // The worker process behind a bridged plug-in the container hosts (-1 if none).
    inline pid_t workerOf (juce::AudioPluginInstance* instance)
    {
        JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
        auto* effect = instance != nullptr ? static_cast<AEffect*> (instance->getPlatformSpecificData()) : nullptr;
        JUCE_END_IGNORE_WARNINGS_GCC_LIKE
        return effect != nullptr ? (pid_t) effect->dispatcher (effect, effVendorSpecific, 0x54427770, 0, nullptr, 0.0f) : -1;
    }

    // One 256-sample block through the container as the wrapper renders it,
    // with a note-on of `note` at its start (none when negative).
    inline void renderWithNote (PluginContainerAudioProcessor& processor, int note)
    {
        juce::AudioBuffer<float> buffer (2, 256);
        juce::MidiBuffer midi;
        if (note >= 0)
            midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), 0);
        buffer.clear();
        testing_support::renderLikeWrapper (processor, buffer, midi);
    }

    inline bool processAlive (pid_t pid)
    {
        return pid > 0 && kill (pid, 0) == 0;
    }

    inline bool silent (const std::vector<std::vector<float>>& block)
    {
        for (auto& channel : block)
            for (float sample : channel)
                if (sample != 0.0f)
                    return false;
        return true;
    }

    // A cache folder of its own for each test, as on a machine that never ran the container.
    struct FreshCache
    {
        FreshCache()
            : environment ("XDG_CACHE_HOME", folder.getFullPathName().toStdString())
        {
        }
        ~FreshCache() { folder.deleteRecursively(); }
        juce::File folder { []
                            {
                                auto made = juce::File::createTempFile ("cache");
                                made.createDirectory();
                                return made;
                            }() };
        ScopedEnvironment environment;
    };

    inline std::string readProc (pid_t pid, const char* name)
    {
        std::ifstream in ("/proc/" + std::to_string (pid) + "/" + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Live bridge workers of this process that have `target` loaded.
    inline std::set<pid_t> workersRunning (const std::string& target)
    {
        std::set<pid_t> found;
        DIR* proc = opendir ("/proc");
        while (proc != nullptr)
        {
            const dirent* entry = readdir (proc);
            if (entry == nullptr)
                break;
            const pid_t pid = (pid_t) std::atoi (entry->d_name);
            if (pid <= 0)
                continue;
            const auto stat = readProc (pid, "stat");
            const auto close = stat.rfind (')');
            if (close == std::string::npos)
                continue;
            std::istringstream fields (stat.substr (close + 1));
            char state = '?';
            long parent = 0;
            fields >> state >> parent;
            const auto cmdline = readProc (pid, "cmdline");
            if (parent != getpid() || state == 'Z' || cmdline.find ("tamblit-bridge-worker") == std::string::npos)
                continue;
            if (readProc (pid, "maps").find (" " + target + "\n") != std::string::npos)
                found.insert (pid);
        }
        if (proc != nullptr)
            closedir (proc);
        return found;
    }

    inline std::vector<char> toBytes (const juce::String& text)
    {
        return std::vector<char> (text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    }

    inline juce::String fromBytes (const std::vector<char>& bytes)
    {
        return juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
    }

    struct SlotRequest
    {
        juce::String file, pluginName;
        bool isProtected = false;
        std::vector<float> parameters {};
    };

    inline juce::String document (const std::vector<std::pair<int, SlotRequest>>& slots, int active = 0,
                                  std::array<bool, 4> options = { { false, false, false, false } })
    {
        ContainerState state;
        state.settings.activeSlot = active;
        state.settings.options = options;
        state.settings.instanceName = "protect";
        for (auto& [index, request] : slots)
        {
            auto& slot = state.slots[(size_t) index].emplace();
            slot.filePath = request.file;
            slot.pluginName = request.pluginName;
            slot.isProtected = request.isProtected;
            for (float value : request.parameters)
                slot.parameters.add (value);
        }
        return writeContainerState (state);
    }

    inline VstMidiEvent noteOn (int note, int offset = 0)
    {
        VstMidiEvent event {};
        event.type = kVstMidiType;
        event.byteSize = sizeof (VstMidiEvent);
        event.deltaFrames = offset;
        event.midiData[0] = (char) 0x90;
        event.midiData[1] = (char) note;
        event.midiData[2] = 100;
        return event;
    }

    // True once a worker (a child of this process) has ended as its bridge sees
    // it: every thread of it gone, which is when the bridge's pidfd fires. Its
    // main thread shows as a zombie earlier while other threads still exit (a
    // sanitized worker hosting JUCE has several). Nothing is reaped here.
    inline bool hasEnded (pid_t pid)
    {
        siginfo_t info {};
        if (waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return errno == ECHILD; // not ours, or reaped already: gone all the same
        return info.si_pid == pid;
    }

    // The active slot a container's saved project names, -1 if none.
    inline int activeSlotSaved (RawVstHost& host)
    {
        const auto saved = juce::XmlDocument::parse (fromBytes (host.getChunk()));
        const auto* settings = saved != nullptr ? saved->getChildByName ("main_plugin") : nullptr;
        return settings != nullptr ? settings->getIntAttribute ("activePlugin", -1) : -1;
    }

    // What channel 1 minus channel 0 of a fixture's block is (see FixtureSignal.h).
    inline float identityOf (const std::vector<std::vector<float>>& block, float level)
    {
        return (block[1][0] - block[0][0]) / level;
    }

    // A block the fixture synth with its first program plays.
    inline bool isSynth (const std::vector<std::vector<float>>& block)
    {
        namespace fx = tamblit::fixtures;
        return std::abs (identityOf (block, fx::presetValue (0, fx::kParamLevel)) - fx::kIdentitySynth) < 1e-4f;
    }

}
