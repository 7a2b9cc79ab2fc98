#pragma once
#include <string>

namespace bench
{
    // Paced blocks of 64 samples through the container while the message side
    // switches slots by state documents, then while the watchdog hands over from
    // a crashed bridge fixture; prints the silence each costs.
    int runSwitching (const std::string& containerPath, const std::string& fixtureDir);
}
