// Tells, block by block, which plug-in a rendered stereo signal came from.
// The fixture synths play the same tones on every channel plus a constant of
// identity * level * (channel + 1) (tests/fixtures/FixtureSignal.h), so the
// difference between channel 1 and channel 0 is identity * level at every
// sample: a fingerprint that notes do not disturb. A crashed fixture is exactly
// silent. Real synths carry no fingerprint: for them only silence tells, and
// what comes back after the silence that follows a crash is the hand-over.
// Header-only: the wave plotter and the tests share it.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

namespace render
{

    struct SignalSource
    {
        std::string name;
        double fingerprint; // expected channel 1 minus channel 0
    };

    constexpr int kSilent = -1;
    constexpr int kUnknown = -2;

    struct Segment
    {
        int source; // index into the sources, kSilent or kUnknown
        long long firstBlock;
        long long endBlock; // one past the last block
    };

    // Label of every block of `blockSize` frames.
    inline std::vector<int> classifyBlocks (const std::vector<float>& ch0, const std::vector<float>& ch1, int blockSize,
                                            const std::vector<SignalSource>& sources)
    {
        std::vector<int> labels;
        const size_t frames = std::min (ch0.size(), ch1.size());
        for (size_t start = 0; start < frames; start += static_cast<size_t> (blockSize))
        {
            const size_t end = std::min (frames, start + static_cast<size_t> (blockSize));
            bool silent = true;
            double sum = 0.0;
            for (size_t i = start; i < end; ++i)
            {
                if (ch0[i] != 0.0f || ch1[i] != 0.0f)
                    silent = false;
                sum += static_cast<double> (ch1[i]) - static_cast<double> (ch0[i]);
            }
            if (silent)
            {
                labels.push_back (kSilent);
                continue;
            }
            const double difference = sum / static_cast<double> (end - start);
            int best = kUnknown;
            double bestDistance = 0.0;
            for (size_t s = 0; s < sources.size(); ++s)
            {
                const double distance = std::fabs (difference - sources[s].fingerprint);
                // Within 5 % of the fingerprint: the fixtures' identities differ by far more.
                if (distance <= 0.05 * std::fabs (sources[s].fingerprint) && (best == kUnknown || distance < bestDistance))
                {
                    best = static_cast<int> (s);
                    bestDistance = distance;
                }
            }
            labels.push_back (best);
        }
        return labels;
    }

    inline std::vector<Segment> segmentsOf (const std::vector<int>& labels)
    {
        std::vector<Segment> segments;
        for (size_t i = 0; i < labels.size(); ++i)
        {
            if (segments.empty() || segments.back().source != labels[i])
                segments.push_back ({ labels[i], static_cast<long long> (i), static_cast<long long> (i) + 1 });
            else
                segments.back().endBlock = static_cast<long long> (i) + 1;
        }
        return segments;
    }

    // First block at or after `fromBlock` labelled `source`; -1 if none.
    inline long long firstBlockOf (const std::vector<int>& labels, int source, long long fromBlock)
    {
        for (size_t i = static_cast<size_t> (std::max (0LL, fromBlock)); i < labels.size(); ++i)
            if (labels[i] == source)
                return static_cast<long long> (i);
        return -1;
    }

    // After a crash in block `crashBlock`: the silence the crash left, that is
    // the first silent block in the crash block or the one after it, and the
    // first sounding block after that one; -1 where there is none. A container
    // that hands over within the block leaves no silence: the other slot's
    // sound starts in the crash block itself, and a later pause between notes
    // is no part of the crash.
    struct Resumption
    {
        long long silentFrom = -1;
        long long soundAgainFrom = -1;
    };
    constexpr long long kCrashSilenceWindow = 2; // blocks

    inline Resumption resumptionAfter (const std::vector<int>& labels, long long crashBlock)
    {
        Resumption r;
        r.silentFrom = firstBlockOf (labels, kSilent, crashBlock);
        if (r.silentFrom < 0 || r.silentFrom >= crashBlock + kCrashSilenceWindow)
        {
            r.silentFrom = -1;
            return r;
        }
        for (size_t i = static_cast<size_t> (r.silentFrom); i < labels.size(); ++i)
            if (labels[i] != kSilent)
            {
                r.soundAgainFrom = static_cast<long long> (i);
                break;
            }
        return r;
    }

} // namespace render
