#pragma once
#include <string>

namespace bench
{
    // How long a save takes from a host thread while the host's main thread,
    // which runs the container's messages, is busy: per slot format, in the
    // host's process and protected; prints p50 and max and whether each saved
    // document held the value automated just before it.
    int runSaveLatency (const std::string& containerPath, const std::string& fixtureDir);
}
