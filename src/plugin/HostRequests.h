// Requests a host (or the project's own tools) may make of the container
// through the VST 2.x dispatcher, beyond what VST 2.x itself defines.
#pragma once

#include <cstdint>

namespace tamblit::hostRequests
{
    // effVendorSpecific (opcode 50) with this index and the slot (0 or 1) as
    // value: make that slot the active one, exactly as the panel's "Active"
    // toggle does (with the crossfade and let-ring the settings ask for).
    // Answers 1 once the slot plays, 0 when it cannot (no plug-in there, or the
    // container's message thread did not get to it within switchWaitMs).
    constexpr std::int32_t switchActiveSlot = ('T' << 24) | ('S' << 16) | ('w' << 8) | 'i';
    constexpr int switchWaitMs = 2000;
} // namespace tamblit::hostRequests
