#pragma once

// How a manual switch between the slots sounds, as the processor, the saved
// document and the panel share it.
namespace switchSettings
{
    // The crossfade's length in milliseconds; 0 cuts at the block boundary.
    constexpr int defaultFadeMs = 20;
    constexpr int maximumFadeMs = 1000;
    // What a document that does not say gets: the cut of older versions.
    constexpr int fadeMsWhenUnsaid = 0;
    // The longest the old slot rings on after a switch, in seconds.
    constexpr double ringBoundSeconds = 10.0;
} // namespace switchSettings
