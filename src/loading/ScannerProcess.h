#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// One run of the external scanner, in a process group of its own so that it
// and whatever it started end together. Its stderr is read while it runs and
// only the last `keepBytes` of it are kept; the run ends when the scanner has
// exited and its pipe closed (or a short drain time passed, as a process it
// left behind may hold the pipe), when the deadline passes, or when `stop`
// says so. However it ends, the whole group is killed and the scanner reaped
// before run() returns. Not for the audio thread.
class ScannerProcess
{
public:
    enum class Outcome
    {
        exited, // the scanner exited by itself (status in exitStatus)
        timedOut, // the deadline passed; the group was killed
        stopped, // `stop` asked for the end; the group was killed
        notStarted // posix_spawn or the pipe failed
    };

    struct Result
    {
        Outcome outcome = Outcome::notStarted;
        int exitStatus = 0; // as from waitpid, when exited
        std::string said; // the tail of its stderr
        bool saidTruncated = false;
    };

    static constexpr size_t keepBytes = 64 * 1024;
    static constexpr int drainMs = 250;

    // `arguments[0]` is the program; no shell is involved. `stop`, if given,
    // is asked about every few tens of milliseconds.
    static Result run (const std::vector<std::string>& arguments, int timeoutMs, const std::function<bool()>& stop = {});
};
