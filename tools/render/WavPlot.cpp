// tamblit-wavplot: draws a rendered WAV file as a PNG picture and tells which
// plug-in played when (see SignalAnalysis.h): the waveform is coloured by
// source, with the crash time and the takeover marked. Fixtures are told apart
// by their fingerprints (--source); real synths by when they play: the one
// named by --until-crash up to the crash, the one named by --after-crash once
// sound comes back after the silence the crash leaves.
#include "CommandLine.h"
#include "SignalAnalysis.h"

#include <juce_gui_basics/juce_gui_basics.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace
{

    const juce::Colour kWhite { 255, 255, 255 };
    const juce::Colour kInk { 30, 30, 30 };
    const juce::Colour kGrid { 225, 225, 225 };
    const juce::Colour kSilenceColour { 190, 190, 190 };
    const juce::Colour kUnknownColour { 90, 90, 90 };
    const juce::Colour kCrashColour { 210, 30, 30 };
    const juce::Colour kTakeoverColour { 20, 150, 60 };
    const juce::Colour kSourceColours[] = { { 40, 90, 200 }, { 235, 125, 20 }, { 140, 60, 170 }, { 0, 150, 150 } };

    // Text at (x, top) in the given size; returns the width drawn.
    int drawText (juce::Graphics& g, const std::string& text, int x, int top, juce::Colour colour, float size, bool bold = false)
    {
        const juce::Font font (size, bold ? juce::Font::bold : juce::Font::plain);
        const int width = font.getStringWidth (text);
        g.setFont (font);
        g.setColour (colour);
        g.drawText (text, x, top, width + 2, static_cast<int> (std::ceil (font.getHeight())), juce::Justification::centredLeft, false);
        return width;
    }

    int textWidth (const std::string& text, float size, bool bold = false)
    {
        return juce::Font (size, bold ? juce::Font::bold : juce::Font::plain).getStringWidth (text);
    }

    int fail (const std::string& message)
    {
        std::fprintf (stderr, "tamblit-wavplot: error: %s\n", message.c_str());
        return 1;
    }

    std::string seconds (double s)
    {
        char buffer[32];
        std::snprintf (buffer, sizeof (buffer), "%.2f s", s);
        return buffer;
    }

    const char* usage = "usage: tamblit-wavplot IN.wav OUT.png [--block N] [--source NAME=FINGERPRINT]...\n"
                        "                       [--crash SECONDS] [--takeover NAME] [--title TEXT]\n"
                        "       tamblit-wavplot IN.wav OUT.png [--block N] --crash SECONDS\n"
                        "                       [--until-crash NAME] [--after-crash NAME] [--title TEXT]\n";

} // namespace

int main (int argc, char** argv)
{
    // Fonts and the typeface cache live until JUCE shuts down: this deletes them on
    // the way out. No display is needed to draw into an image.
    const juce::ScopedJuceInitialiser_GUI juceLifetime;
    int block = 256;
    std::vector<render::SignalSource> sources;
    std::optional<double> crashAt;
    std::string takeoverName;
    std::string untilCrashName;
    std::string afterCrashName;
    std::string title = "tamblit-render output";
    std::vector<std::string> files;
    bool help = false;

    cli::CommandLine line (argc, argv);
    line.positionals (&files);
    line.unknownArgument ([] (const std::string& arg) { return "unknown argument '" + arg + "'\n" + usage; });
    line.flag ("--help|-h", [&] { help = true; });
    line.option ("--block",
                 [&] (const std::string& value, std::string& error)
                 {
                     block = std::atoi (value.c_str());
                     error = "--block wants a positive size";
                     return block >= 1;
                 });
    line.option ("--source",
                 [&] (const std::string& value, std::string& error)
                 {
                     const auto eq = value.find ('=');
                     if (eq == std::string::npos || eq == 0)
                     {
                         error = "--source wants NAME=FINGERPRINT";
                         return false;
                     }
                     sources.push_back ({ value.substr (0, eq), std::atof (value.c_str() + eq + 1) });
                     return true;
                 });
    line.option ("--crash",
                 [&] (const std::string& value, std::string&)
                 {
                     crashAt = std::atof (value.c_str());
                     return true;
                 });
    line.option ("--takeover",
                 [&] (const std::string& value, std::string&)
                 {
                     takeoverName = value;
                     return true;
                 });
    line.option ("--until-crash",
                 [&] (const std::string& value, std::string& error)
                 {
                     untilCrashName = value;
                     error = "--until-crash wants a name";
                     return ! value.empty();
                 });
    line.option ("--after-crash",
                 [&] (const std::string& value, std::string& error)
                 {
                     afterCrashName = value;
                     error = "--after-crash wants a name";
                     return ! value.empty();
                 });
    line.option ("--title",
                 [&] (const std::string& value, std::string&)
                 {
                     title = value;
                     return true;
                 });
    std::string error;
    if (! line.parse (error))
        return fail (error);
    if (help)
    {
        std::fputs (usage, stdout);
        return 0;
    }
    if (files.size() < 2)
        return fail (std::string ("missing arguments\n") + usage);
    if (files.size() > 2)
        return fail ("unknown argument '" + files[2] + "'\n" + usage);
    const bool byTime = ! untilCrashName.empty() || ! afterCrashName.empty();
    if (byTime && ! crashAt)
        return fail ("--until-crash and --after-crash need --crash");
    if (byTime && (! sources.empty() || ! takeoverName.empty()))
        return fail ("--until-crash and --after-crash name plug-ins without fingerprints: leave out --source and --takeover");
    const std::string inPath = files[0];
    const std::string outPath = files[1];

    SF_INFO info {};
    SNDFILE* file = sf_open (inPath.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return fail ("cannot read " + inPath + ": " + sf_strerror (nullptr));
    if (info.channels < 1 || info.frames < 1)
    {
        sf_close (file);
        return fail (inPath + " holds no audio");
    }
    std::vector<float> interleaved (static_cast<size_t> (info.frames) * static_cast<size_t> (info.channels));
    const sf_count_t got = sf_readf_float (file, interleaved.data(), info.frames);
    sf_close (file);
    const size_t frames = static_cast<size_t> (got);
    std::vector<float> ch0 (frames), ch1 (frames);
    for (size_t i = 0; i < frames; ++i)
    {
        ch0[i] = interleaved[i * static_cast<size_t> (info.channels)];
        ch1[i] = interleaved[i * static_cast<size_t> (info.channels) + (info.channels > 1 ? 1 : 0)];
    }
    const double rate = info.samplerate;
    const double duration = static_cast<double> (frames) / rate;

    auto labels = render::classifyBlocks (ch0, ch1, block, sources);
    auto blockTime = [&] (long long b) { return static_cast<double> (b * block) / rate; };

    // Without fingerprints only silence tells: what sounds before the silence
    // that follows the crash is the crashed plug-in's, what sounds after it is
    // whatever the container played next.
    std::optional<render::Resumption> resumption;
    double crashBlockAt = 0.0;
    if (crashAt && sources.empty())
    {
        // The renderer crashes a plug-in at the first block that starts at or after the time asked.
        const auto crashBlock = static_cast<long long> (std::ceil (*crashAt * rate / block - 1e-9));
        crashBlockAt = blockTime (crashBlock);
        resumption = render::resumptionAfter (labels, crashBlock);
        if (byTime)
        {
            const int before = 0;
            const int after = afterCrashName.empty() ? render::kUnknown : (untilCrashName.empty() ? 0 : 1);
            if (! untilCrashName.empty())
                sources.push_back ({ untilCrashName, 0.0 });
            if (! afterCrashName.empty())
                sources.push_back ({ afterCrashName, 0.0 });
            // No silence: the other slot took over in the crash block.
            const auto silentFrom = resumption->silentFrom < 0 ? crashBlock : resumption->silentFrom;
            const auto soundFrom = resumption->silentFrom < 0       ? crashBlock
                                   : resumption->soundAgainFrom < 0 ? static_cast<long long> (labels.size())
                                                                    : resumption->soundAgainFrom;
            for (long long b = 0; b < static_cast<long long> (labels.size()); ++b)
            {
                int& label = labels[static_cast<size_t> (b)];
                if (label != render::kUnknown)
                    continue;
                if (b < silentFrom && ! untilCrashName.empty())
                    label = before;
                else if (b >= soundFrom)
                    label = after;
            }
        }
    }
    auto nameOf = [&] (int label) -> std::string
    {
        if (label == render::kSilent)
            return "silence";
        if (label == render::kUnknown)
            return "sound";
        return sources[static_cast<size_t> (label)].name;
    };

    std::printf ("%s: %.3f s, %d Hz, %d channels\n", inPath.c_str(), duration, info.samplerate, info.channels);
    for (const auto& segment : render::segmentsOf (labels))
        std::printf ("  %8.3f - %8.3f s  %s\n", blockTime (segment.firstBlock), std::min (duration, blockTime (segment.endBlock)),
                     nameOf (segment.source).c_str());

    std::optional<double> takeoverAt;
    if (crashAt && ! takeoverName.empty())
    {
        int target = render::kUnknown;
        for (size_t s = 0; s < sources.size(); ++s)
            if (sources[s].name == takeoverName)
                target = static_cast<int> (s);
        if (target == render::kUnknown)
            return fail ("--takeover names no --source: " + takeoverName);
        const auto crashBlock = static_cast<long long> (std::floor (*crashAt * rate / block));
        const long long first = render::firstBlockOf (labels, target, crashBlock);
        if (first < 0)
        {
            std::printf ("after the crash at %.3f s, %s is never heard\n", *crashAt, takeoverName.c_str());
        }
        else
        {
            takeoverAt = blockTime (first);
            std::printf ("after the crash at %.3f s, %s is first heard in the block at %.3f s (%.0f ms later)\n", *crashAt,
                         takeoverName.c_str(), *takeoverAt, (*takeoverAt - *crashAt) * 1000.0);
        }
    }

    std::optional<double> silentAt;
    std::optional<double> soundAgainAt;
    if (resumption)
    {
        if (resumption->silentFrom < 0)
        {
            std::printf ("after the crash at %.3f s the output never went silent\n", crashBlockAt);
            if (! afterCrashName.empty())
                std::printf ("%s is heard from %.3f s\n", afterCrashName.c_str(), crashBlockAt);
        }
        else if (resumption->soundAgainFrom < 0)
        {
            silentAt = blockTime (resumption->silentFrom);
            std::printf ("after the crash at %.3f s the output went silent at %.3f s and stayed silent\n", crashBlockAt, *silentAt);
        }
        else
        {
            silentAt = blockTime (resumption->silentFrom);
            soundAgainAt = blockTime (resumption->soundAgainFrom);
            std::printf ("after the crash at %.3f s: silent from %.3f s, sound again from %.3f s (%.0f ms after the crash)\n", crashBlockAt,
                         *silentAt, *soundAgainAt, (*soundAgainAt - crashBlockAt) * 1000.0);
            if (! afterCrashName.empty())
                std::printf ("%s is heard from %.3f s\n", afterCrashName.c_str(), *soundAgainAt);
        }
    }

    // Layout: title, waveform panel, source strip, time axis, legend.
    juce::Image image (juce::Image::RGB, 1400, 560, false);
    juce::Graphics g (image);
    g.fillAll (kWhite);
    const int left = 70, right = image.getWidth() - 30;
    const int waveTop = 100, waveBottom = 400;
    const int stripTop = 415, stripBottom = 440;
    const int plotWidth = right - left;
    auto xOf = [&] (double t) { return left + static_cast<int> (std::lround (t / duration * plotWidth)); };
    auto fill = [&] (int x0, int y0, int x1, int y1, juce::Colour colour)
    {
        g.setColour (colour);
        g.fillRect (juce::Rectangle<int>::leftTopRightBottom (x0, y0, x1, y1));
    };
    auto vline = [&] (int x, int y0, int y1, juce::Colour colour, int thickness = 1)
    { fill (x, std::min (y0, y1), x + thickness, std::max (y0, y1) + 1, colour); };

    drawText (g, title, left, 24, kInk, 26.0f, true);

    float peak = 0.0f;
    for (size_t i = 0; i < frames; ++i)
        peak = std::max ({ peak, std::fabs (ch0[i]), std::fabs (ch1[i]) });
    const float scale = peak > 0.0f ? 1.0f / peak : 1.0f;
    const int mid = (waveTop + waveBottom) / 2;
    const int half = (waveBottom - waveTop) / 2 - 4;

    for (int s = 0; s <= static_cast<int> (duration); ++s)
        vline (xOf (s), waveTop, waveBottom, kGrid);
    fill (left, mid, right, mid + 1, kGrid);

    // Each column shows the signal's range over a window of at least 20 ms,
    // so that low notes draw as a solid envelope rather than as stripes.
    const auto window = static_cast<size_t> (rate * 0.02);
    for (int x = 0; x < plotWidth; ++x)
    {
        const auto from = static_cast<size_t> (static_cast<double> (x) / plotWidth * static_cast<double> (frames));
        const auto to = std::max (from + 1, static_cast<size_t> (static_cast<double> (x + 1) / plotWidth * static_cast<double> (frames)));
        const size_t centre = (from + to) / 2;
        const size_t span = std::max (to - from, window);
        // The window never crosses a block whose source differs from this column's.
        const size_t blockStart = from / static_cast<size_t> (block) * static_cast<size_t> (block);
        const size_t lower = std::max (blockStart, centre > span / 2 ? centre - span / 2 : 0);
        const size_t upper = std::min (frames, std::max (to, centre + span / 2));
        float lo = 0.0f, hi = 0.0f;
        for (size_t i = lower; i < upper; ++i)
        {
            const int here = labels[std::min (labels.size() - 1, i / static_cast<size_t> (block))];
            if (here != labels[std::min (labels.size() - 1, from / static_cast<size_t> (block))])
                break;
            lo = std::min (lo, ch0[i]);
            hi = std::max (hi, ch0[i]);
        }
        const int label = labels[std::min (labels.size() - 1, from / static_cast<size_t> (block))];
        const juce::Colour colour = label >= 0 ? kSourceColours[label % 4] : (label == render::kSilent ? kSilenceColour : kUnknownColour);
        const int y0 = mid - static_cast<int> (std::lround (hi * scale * half));
        const int y1 = mid - static_cast<int> (std::lround (lo * scale * half));
        vline (left + x, y0, y1, colour);
        fill (left + x, stripTop, left + x + 1, stripBottom, colour);
    }
    drawText (g, "PLAYS", 8, stripTop + 4, kInk, 15.0f, true);

    for (int s = 0; s <= static_cast<int> (duration); ++s)
    {
        vline (xOf (s), stripBottom, stripBottom + 6, kInk);
        const std::string label = std::to_string (s) + " s";
        drawText (g, label, xOf (s) - textWidth (label, 15.0f) / 2, stripBottom + 10, kInk, 15.0f);
    }

    if (crashAt)
    {
        const int x = xOf (*crashAt);
        vline (x - 1, waveTop - 10, stripBottom, kCrashColour, 3);
        const std::string label = "CRASH " + seconds (*crashAt);
        drawText (g, label, x - textWidth (label, 16.0f) - 8, waveTop - 28, kCrashColour, 16.0f, true);
    }
    if (takeoverAt)
    {
        const int x = xOf (*takeoverAt);
        vline (x - 1, waveTop - 10, stripBottom, kTakeoverColour, 3);
        drawText (g, takeoverName + " FROM " + seconds (*takeoverAt), x + 8, waveTop - 28, kTakeoverColour, 16.0f, true);
    }
    if (soundAgainAt)
    {
        const int x = xOf (*soundAgainAt);
        vline (x - 1, waveTop - 10, stripBottom, kTakeoverColour, 3);
        const std::string heard = afterCrashName.empty() ? "SOUND" : afterCrashName;
        drawText (g, heard + " FROM " + seconds (*soundAgainAt), x + 8, waveTop - 28, kTakeoverColour, 16.0f, true);
    }
    if (silentAt)
    {
        // Names the gap where it is, over the flat line the silence draws, on
        // two short lines so that it fits a gap of a second.
        const double until = soundAgainAt ? *soundAgainAt : duration;
        char length[32];
        std::snprintf (length, sizeof (length), "%.0f ms", (until - *silentAt) * 1000.0);
        const int centre = (xOf (*silentAt) + xOf (until)) / 2;
        drawText (g, "SILENT", centre - textWidth ("SILENT", 15.0f, true) / 2, mid - 44, kInk, 15.0f, true);
        drawText (g, length, centre - textWidth (length, 15.0f, true) / 2, mid - 26, kInk, 15.0f, true);
    }

    // Legend.
    int lx = left;
    const int ly = image.getHeight() - 40;
    auto legend = [&] (juce::Colour colour, const std::string& name)
    {
        fill (lx, ly, lx + 24, ly + 14, colour);
        lx += 32 + drawText (g, name, lx + 32, ly - 2, kInk, 16.0f) + 30;
    };
    for (size_t s = 0; s < sources.size(); ++s)
        legend (kSourceColours[s % 4], sources[s].name);
    legend (kSilenceColour, "SILENCE");
    if (std::find (labels.begin(), labels.end(), render::kUnknown) != labels.end() || sources.empty())
        legend (kUnknownColour, sources.empty() ? "SOUND" : "OTHER SOUND");

    const juce::File png (juce::File::getCurrentWorkingDirectory().getChildFile (outPath));
    png.deleteFile();
    juce::FileOutputStream stream (png);
    if (! stream.openedOk() || ! juce::PNGImageFormat().writeImageToStream (image, stream))
        return fail ("cannot write " + outPath);
    std::printf ("wrote %s\n", outPath.c_str());
    return 0;
}
