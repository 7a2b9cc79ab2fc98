// Command line of tamblit-render.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace render
{

    struct SlotRequest
    {
        std::string path; // empty: the slot stays empty
        std::string name; // sub-plug-in name ("" lets a single-plug-in file pick itself)
        std::vector<double> params; // normalised values from parameter 0 on, applied by position
        std::optional<double> crashAt; // seconds of audio
        bool protect = false; // run it in a worker process of its own, through the bridge
    };

    struct Options
    {
        std::string plugin; // the container .so
        std::array<SlotRequest, 2> slots;
        int active = 0;
        std::array<bool, 4> options { { false, false, true, true } };
        std::string stateFile;
        std::string midiFile;
        std::string outFile;
        std::optional<double> seconds;
        int block = 256;
        int rate = 48000;
        bool fast = false;
        bool quiet = false;
        std::string pluginLog; // where the plug-ins' own output goes (default: discarded)
        std::vector<double> switchAt; // seconds of audio at which the other slot is made active, ascending
        std::optional<int> fadeMs; // the container's switch crossfade (default: the container's own)
        bool ring = false; // let held notes ring in the old slot after a switch
        bool help = false;
    };

    // Parses argv; returns false with `error` set on a bad command line.
    bool parseOptions (int argc, char** argv, Options& options, std::string& error);
    const char* usageText ();

} // namespace render
