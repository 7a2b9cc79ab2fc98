#pragma once
#include <string>

namespace bench
{
    // Manual switches between two steady tones in the container (in this
    // process): the largest sample-to-sample step around the switch against
    // the tones' own, for fades of 0, 5 and 20 ms; then what a block costs
    // while a switch fades, against a block of one slot.
    int runSwitchFade (const std::string& fixtureDir);
}
