#include "Options.h"
#include <algorithm>

#include "CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#ifndef TAMBLIT_RENDER_DEFAULT_PLUGIN
#define TAMBLIT_RENDER_DEFAULT_PLUGIN ""
#endif

namespace render
{
    namespace
    {

        bool toDouble (const std::string& text, double& value)
        {
            if (text.empty())
                return false;
            char* end = nullptr;
            errno = 0;
            value = std::strtod (text.c_str(), &end);
            return errno == 0 && end != nullptr && *end == '\0';
        }

        bool toInt (const std::string& text, int& value)
        {
            if (text.empty())
                return false;
            char* end = nullptr;
            errno = 0;
            const long parsed = std::strtol (text.c_str(), &end, 10);
            if (errno != 0 || end == nullptr || *end != '\0' || parsed < -1000000000L || parsed > 1000000000L)
                return false;
            value = static_cast<int> (parsed);
            return true;
        }

        bool parseParams (const std::string& text, std::vector<double>& values)
        {
            values.clear();
            std::stringstream stream (text);
            std::string item;
            while (std::getline (stream, item, ','))
            {
                double value = 0.0;
                if (! toDouble (item, value) || value < 0.0 || value > 1.0)
                    return false;
                values.push_back (value);
            }
            return ! values.empty();
        }

    } // namespace

    const char* usageText ()
    {
        return "usage: tamblit-render [options] --out FILE.wav\n"
               "  --plugin PATH          the container .so (default: the one this build made)\n"
               "  --slot0 PATH|URI       plug-in for slot 0 (--slot1 for slot 1): a VST 2.x file, a VST3\n"
               "                         bundle (.vst3 folder) or an LV2 plug-in URI\n"
               "  --slot0-name NAME      sub-plug-in to pick from a file holding several\n"
               "  --slot0-params V,V,..  normalised parameter values from parameter 0 on\n"
               "  --protect-slot0        run slot 0's plug-in protected, in a worker process of its own\n"
               "                         (--protect-slot1 for slot 1)\n"
               "  --active N             active slot (0 or 1, default 0)\n"
               "  --option N=0|1         container option N (0..3; defaults 0,0,1,1), repeatable\n"
               "  --state FILE           a state document to send instead of building one\n"
               "  --midi FILE            standard MIDI file (default: a built-in phrase)\n"
               "  --out FILE.wav         output (32-bit float WAV)\n"
               "  --seconds N            length (default: the MIDI's length plus one second)\n"
               "  --block N              block size (default 256)\n"
               "  --rate N               sample rate (default 48000)\n"
               "  --fast                 render as fast as possible (default: real time)\n"
               "  --crash-slot0-at S     make slot 0's plug-in crash at S seconds (--crash-slot1-at): a bridged\n"
               "                         copy's worker gets SIGSEGV; a crash-probe fixture is told to crash\n"
               "  --switch-at S          make the other slot active at S seconds, as the panel's \"Active\" toggle\n"
               "                         does (repeatable)\n"
               "  --fade MS              crossfade length of those switches (0 to 1000, default 20; 0 cuts)\n"
               "  --ring                 the old slot plays on the notes held at a switch until they end\n"
               "  --quiet                no progress lines\n"
               "  --plugin-log FILE      keep what the container and its plug-ins print (default: dropped)\n";
    }

    bool parseOptions (int argc, char** argv, Options& options, std::string& error)
    {
        options.plugin = TAMBLIT_RENDER_DEFAULT_PLUGIN;

        cli::CommandLine line (argc, argv);
        auto into = [] (std::string& field)
        {
            return [&field] (const std::string& value, std::string&)
            {
                field = value;
                return true;
            };
        };
        line.flag ("--help|-h", [&] { options.help = true; });
        line.flag ("--fast", [&] { options.fast = true; });
        line.flag ("--quiet", [&] { options.quiet = true; });
        line.option ("--plugin", into (options.plugin));
        line.option ("--plugin-log", into (options.pluginLog));
        line.option ("--state", into (options.stateFile));
        line.option ("--midi", into (options.midiFile));
        line.option ("--out", into (options.outFile));
        for (int slot = 0; slot < 2; ++slot)
        {
            auto& request = options.slots[static_cast<size_t> (slot)];
            const std::string prefix = "--slot" + std::to_string (slot);
            line.option (prefix, into (request.path));
            line.option (prefix + "-name", into (request.name));
            line.flag ("--protect-slot" + std::to_string (slot), [&request] { request.protect = true; });
            line.option (prefix + "-params",
                         [&request, prefix] (const std::string& text, std::string& why)
                         {
                             if (parseParams (text, request.params))
                                 return true;
                             why = prefix + "-params wants comma-separated values between 0 and 1, got '" + text + "'";
                             return false;
                         });
            const std::string crash = "--crash-slot" + std::to_string (slot) + "-at";
            line.option (crash,
                         [&request, crash] (const std::string& text, std::string& why)
                         {
                             double at = 0.0;
                             if (toDouble (text, at) && at >= 0.0)
                             {
                                 request.crashAt = at;
                                 return true;
                             }
                             why = crash + " wants a time in seconds, got '" + text + "'";
                             return false;
                         });
        }
        line.option ("--active",
                     [&] (const std::string& text, std::string& why)
                     {
                         if (toInt (text, options.active) && (options.active == 0 || options.active == 1))
                             return true;
                         why = "--active wants 0 or 1, got '" + text + "'";
                         return false;
                     });
        line.option ("--option",
                     [&] (const std::string& text, std::string& why)
                     {
                         const auto eq = text.find ('=');
                         int index = -1;
                         int flag = -1;
                         if (eq == std::string::npos || ! toInt (text.substr (0, eq), index) || ! toInt (text.substr (eq + 1), flag)
                             || index < 0 || index > 3 || (flag != 0 && flag != 1))
                         {
                             why = "--option wants N=0 or N=1 with N from 0 to 3, got '" + text + "'";
                             return false;
                         }
                         options.options[static_cast<size_t> (index)] = flag == 1;
                         return true;
                     });
        line.option ("--switch-at",
                     [&] (const std::string& text, std::string& why)
                     {
                         double at = 0.0;
                         if (! toDouble (text, at) || at < 0.0 || at > 3600.0)
                         {
                             why = "--switch-at wants a time in seconds from 0 to 3600, got '" + text + "'";
                             return false;
                         }
                         options.switchAt.push_back (at);
                         return true;
                     });
        line.option ("--fade",
                     [&] (const std::string& text, std::string& why)
                     {
                         int ms = -1;
                         if (! toInt (text, ms) || ms < 0 || ms > 1000)
                         {
                             why = "--fade wants milliseconds from 0 to 1000, got '" + text + "'";
                             return false;
                         }
                         options.fadeMs = ms;
                         return true;
                     });
        line.flag ("--ring", [&] { options.ring = true; });
        line.option ("--seconds",
                     [&] (const std::string& text, std::string& why)
                     {
                         double seconds = 0.0;
                         if (toDouble (text, seconds) && seconds > 0.0 && seconds <= 3600.0)
                         {
                             options.seconds = seconds;
                             return true;
                         }
                         why = "--seconds wants a length between 0 and 3600, got '" + text + "'";
                         return false;
                     });
        line.option ("--block",
                     [&] (const std::string& text, std::string& why)
                     {
                         if (toInt (text, options.block) && options.block >= 16 && options.block <= 8192)
                             return true;
                         why = "--block wants a size from 16 to 8192, got '" + text + "'";
                         return false;
                     });
        line.option ("--rate",
                     [&] (const std::string& text, std::string& why)
                     {
                         if (toInt (text, options.rate) && options.rate >= 8000 && options.rate <= 384000)
                             return true;
                         why = "--rate wants a sample rate from 8000 to 384000, got '" + text + "'";
                         return false;
                     });
        if (! line.parse (error))
            return false;

        if (options.help)
            return true;
        if (options.outFile.empty())
        {
            error = "--out FILE.wav is required";
            return false;
        }
        std::sort (options.switchAt.begin(), options.switchAt.end());
        if (! options.stateFile.empty())
        {
            if (options.fadeMs || options.ring)
            {
                error = "--state gives the switch settings itself: leave out --fade and --ring";
                return false;
            }
            for (const auto& slot : options.slots)
            {
                if (! slot.path.empty() || ! slot.name.empty() || ! slot.params.empty() || slot.protect)
                {
                    error = "--state gives the slots itself: leave out --slot0/--slot1 and their settings";
                    return false;
                }
            }
        }
        return true;
    }

} // namespace render
