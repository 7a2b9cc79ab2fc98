// Real crashes for bridged copies (tamblit-bridge wrap): the plug-in behind such
// a copy runs in a tamblit-bridge-worker process the container's bridge started,
// a child of this process. Crashing the plug-in means ending that worker with
// SIGSEGV, exactly as a faulting plug-in would end it.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace render
{

    // The plug-in a bridged copy stands for (the `target=` line of PATH.target),
    // resolved; empty when `path` is not a bridged copy.
    std::string bridgedTargetOf (const std::string& path);

    // Live workers, children of this process, that have `target` loaded. The
    // worker's command line only holds its descriptors (--serve 3 4), so the
    // target is recognised by its mapping in /proc/PID/maps.
    std::vector<pid_t> bridgeWorkersOf (const std::string& target);

    // Sends SIGSEGV to the one worker that has `target` loaded and waits (at most
    // two seconds) until it has died. The bridge reaps it, not this process.
    bool crashBridgeWorker (const std::string& target, pid_t& crashed, std::string& error);

} // namespace render
