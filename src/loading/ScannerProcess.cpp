#include "ScannerProcess.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
    using Clock = std::chrono::steady_clock;

    int millisecondsUntil (Clock::time_point when)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (when - Clock::now()).count();
        return left < 0 ? 0 : (int) left;
    }

    // Whether the scanner has exited, leaving it a zombie: its process group
    // id stays taken until it is reaped, so the group can still be killed.
    bool hasExited (pid_t pid)
    {
        siginfo_t info {};
        if (waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return errno != EINTR;
        return info.si_pid == pid;
    }

    void keepTail (std::string& said, bool& truncated, const char* data, size_t size)
    {
        said.append (data, size);
        if (said.size() > 2 * ScannerProcess::keepBytes)
        {
            said.erase (0, said.size() - ScannerProcess::keepBytes);
            truncated = true;
        }
    }
}

ScannerProcess::Result ScannerProcess::run (const std::vector<std::string>& arguments, int timeoutMs, const std::function<bool()>& stop)
{
    Result result;
    if (arguments.empty())
        return result;

    int pipeEnds[2];
    if (pipe2 (pipeEnds, O_CLOEXEC) != 0)
        return result;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init (&actions);
    posix_spawnattr_init (&attributes);
    posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2 (&actions, pipeEnds[1], STDERR_FILENO);
    // A group of its own (id = its pid), with the signals a host may have
    // blocked or ignored back to their defaults.
    sigset_t none, all;
    sigemptyset (&none);
    sigfillset (&all);
    posix_spawnattr_setpgroup (&attributes, 0);
    posix_spawnattr_setsigmask (&attributes, &none);
    posix_spawnattr_setsigdefault (&attributes, &all);
    posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back (const_cast<char*> (argument.c_str()));
    argv.push_back (nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawn (&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy (&actions);
    posix_spawnattr_destroy (&attributes);
    close (pipeEnds[1]);
    if (spawned != 0)
    {
        close (pipeEnds[0]);
        return result;
    }

    const int reading = pipeEnds[0];
    fcntl (reading, F_SETFL, fcntl (reading, F_GETFL) | O_NONBLOCK);

    const auto deadline = Clock::now() + std::chrono::milliseconds (timeoutMs);
    Clock::time_point drainUntil {};
    bool exited = false, pipeOpen = true;
    result.outcome = Outcome::exited;
    for (;;)
    {
        if (! exited && hasExited (pid))
        {
            exited = true;
            drainUntil = Clock::now() + std::chrono::milliseconds (drainMs);
        }
        if (exited && (! pipeOpen || Clock::now() >= drainUntil))
            break;
        if (Clock::now() >= deadline)
        {
            // Even a scanner that exited in time has hung if what it left
            // behind holds its pipe up to here; it is judged by its exit.
            if (! exited)
                result.outcome = Outcome::timedOut;
            break;
        }
        if (stop && stop())
        {
            result.outcome = Outcome::stopped;
            break;
        }

        if (! pipeOpen)
        {
            // Nothing more to read: wait for the exit in short steps.
            usleep (10 * 1000);
            continue;
        }
        pollfd waitFor { reading, POLLIN, 0 };
        const int wait = std::min (50, millisecondsUntil (exited ? std::min (drainUntil, deadline) : deadline));
        if (poll (&waitFor, 1, wait) <= 0)
            continue;
        char buffer[16384];
        for (;;)
        {
            const auto got = read (reading, buffer, sizeof buffer);
            if (got > 0)
            {
                keepTail (result.said, result.saidTruncated, buffer, (size_t) got);
                continue;
            }
            if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
                pipeOpen = false;
            if (got < 0 && errno == EINTR)
                continue;
            break;
        }
    }
    close (reading);

    // The scanner is still unreaped here, so its group id is still its own:
    // end whatever is left of the group, then reap the scanner.
    kill (-pid, SIGKILL);
    int status = 0;
    while (waitpid (pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    result.exitStatus = status;
    if (result.said.size() > keepBytes)
        result.said.erase (0, result.said.size() - keepBytes);
    if (result.saidTruncated)
    {
        // Start at a line: the cut may have fallen inside a character.
        const auto line = result.said.find ('\n');
        result.said.erase (0, line == std::string::npos ? 0 : line + 1);
    }
    return result;
}
