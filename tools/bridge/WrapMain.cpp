// tamblit-bridge wrap <plug-in.so> [--into DIR] [--replace] [--probe-timeout SECONDS]
//
// Makes a bridged copy: DIR/<name>.so, a copy of tamblit-bridge.so, plus
// DIR/<name>.so.target naming the plug-in it stands for and the worker.
// Hosts then load DIR/<name>.so like any plug-in; the real one runs in a
// worker process of its own. The copy is a real file, not a link: the
// dynamic loader shares one image between paths to the same file, and each
// bridged copy must find its own side file.
//
// Every write is checked, files are written beside their final name and
// renamed into place, so a full disk never leaves a truncated copy where
// hosts look.
#include "BridgeIo.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tamblit::bridge;

namespace
{

    int usage ()
    {
        std::fprintf (stderr, "usage: tamblit-bridge wrap <plug-in.so> [--into DIR] [--replace] [--probe-timeout SECONDS]\n"
                              "  Makes DIR/<plug-in>.so, a crash-protecting stand-in that runs the plug-in\n"
                              "  in a process of its own. DIR defaults to ~/.vst/tamblit-bridged.\n"
                              "  --replace        re-point an existing copy of the same name that stands for another plug-in\n"
                              "  --probe-timeout  how long the plug-in may take to load for the check (default 30 s)\n");
        return 2;
    }

    std::string ownDirectory ()
    {
        char exe[PATH_MAX] = {};
        const ssize_t length = readlink ("/proc/self/exe", exe, sizeof (exe) - 1);
        return length > 0 ? directoryOf (std::string (exe, static_cast<std::size_t> (length))) : ".";
    }

    bool makeDirectories (const std::string& path)
    {
        std::string partial;
        std::size_t at = 0;
        while (at != std::string::npos)
        {
            at = path.find ('/', at + 1);
            partial = path.substr (0, at);
            if (! partial.empty() && mkdir (partial.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
        struct stat info
        {
        };
        return stat (path.c_str(), &info) == 0 && S_ISDIR (info.st_mode);
    }

    // Runs the worker's probe on the plug-in: loads it in a throw-away process,
    // which gets `timeoutMs` to answer.
    bool probe (const std::string& worker, const std::string& plugin, int timeoutMs, std::string& report)
    {
        int out[2];
        if (pipe2 (out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_adddup2 (&actions, out[1], 1);
        std::string argv0 = worker;
        char probeArg[] = "--probe";
        std::string pluginArg = plugin;
        char* argv[] = { argv0.data(), probeArg, pluginArg.data(), nullptr };
        pid_t pid = -1;
        const int spawned = posix_spawn (&pid, worker.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy (&actions);
        close (out[1]);
        if (spawned != 0)
        {
            close (out[0]);
            return false;
        }
        bool timedOut = false;
        timespec start {};
        clock_gettime (CLOCK_MONOTONIC, &start);
        for (;;)
        {
            timespec now {};
            clock_gettime (CLOCK_MONOTONIC, &now);
            const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (elapsed >= timeoutMs)
            {
                timedOut = true;
                break;
            }
            pollfd p { out[0], POLLIN, 0 };
            const int ready = poll (&p, 1, static_cast<int> (timeoutMs - elapsed));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
            {
                timedOut = ready == 0;
                break;
            }
            char buffer[4096];
            const ssize_t got = read (out[0], buffer, sizeof (buffer));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            if (report.size() < 65536) // a chatty plug-in does not fill memory
                report.append (buffer, static_cast<std::size_t> (got));
        }
        close (out[0]);
        if (timedOut)
        {
            // The probe may have written its answer and then hung on the way out.
            kill (pid, SIGKILL);
            std::fprintf (stderr, "tamblit-bridge: %s did not load within %d s\n", plugin.c_str(), timeoutMs / 1000);
        }
        int status = 0;
        while (waitpid (pid, &status, 0) < 0 && errno == EINTR)
        {
        }
        return ! timedOut && WIFEXITED (status) && WEXITSTATUS (status) == 0;
    }

    bool readWhole (const std::string& path, std::string& data)
    {
        const int fd = open (path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        char buffer[65536];
        for (;;)
        {
            const ssize_t got = read (fd, buffer, sizeof (buffer));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
            {
                close (fd);
                return false;
            }
            if (got == 0)
                break;
            data.append (buffer, static_cast<std::size_t> (got));
        }
        return close (fd) == 0;
    }

    // Writes `data` to `path` and makes sure it reached the disk: every write,
    // the flush and the close are checked. A failed file is removed.
    bool writeWhole (const std::string& path, const std::string& data, mode_t mode)
    {
        const int fd = open (path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        if (fd < 0)
            return false;
        const char* at = data.data();
        std::size_t left = data.size();
        bool ok = true;
        while (ok && left > 0)
        {
            const ssize_t written = write (fd, at, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
            {
                ok = false;
                break;
            }
            at += written;
            left -= static_cast<std::size_t> (written);
        }
        ok = ok && fchmod (fd, mode) == 0 && fsync (fd) == 0;
        ok = close (fd) == 0 && ok;
        if (! ok)
        {
            const int saved = errno;
            unlink (path.c_str());
            errno = saved;
        }
        return ok;
    }

    int wrap (const std::string& plugin, std::string into, bool replace, int probeTimeoutMs)
    {
        char resolved[PATH_MAX] = {};
        if (realpath (plugin.c_str(), resolved) == nullptr)
        {
            std::fprintf (stderr, "tamblit-bridge: %s: %s\n", plugin.c_str(), std::strerror (errno));
            return 1;
        }
        const std::string target = resolved;
        SideFile existing;
        if (access (sideFilePathFor (target).c_str(), F_OK) == 0)
        {
            readSideFile (sideFilePathFor (target), existing);
            std::fprintf (stderr, "tamblit-bridge: %s is itself a bridged copy (of %s)\n", target.c_str(),
                          existing.target.empty() ? "?" : existing.target.c_str());
            return 1;
        }
        const std::string tools = ownDirectory();
        const std::string bridge = tools + "/tamblit-bridge.so";
        const std::string worker = tools + "/tamblit-bridge-worker";
        if (access (bridge.c_str(), R_OK) != 0 || access (worker.c_str(), X_OK) != 0 || worker.front() != '/')
        {
            std::fprintf (stderr, "tamblit-bridge: %s and tamblit-bridge-worker must lie beside this command\n", bridge.c_str());
            return 1;
        }
        std::string report;
        if (! probe (worker, target, probeTimeoutMs, report))
        {
            std::fprintf (stderr, "tamblit-bridge: %s is not a VST 2.x plug-in the worker can load\n", target.c_str());
            return 1;
        }

        if (into.empty())
        {
            const char* home = std::getenv ("HOME");
            if (home == nullptr)
            {
                std::fprintf (stderr, "tamblit-bridge: HOME is not set; give --into DIR\n");
                return 1;
            }
            into = std::string (home) + "/.vst/tamblit-bridged";
        }
        if (! makeDirectories (into))
        {
            std::fprintf (stderr, "tamblit-bridge: cannot make %s\n", into.c_str());
            return 1;
        }
        char intoResolved[PATH_MAX] = {};
        if (realpath (into.c_str(), intoResolved) == nullptr)
        {
            std::fprintf (stderr, "tamblit-bridge: %s: %s\n", into.c_str(), std::strerror (errno));
            return 1;
        }
        into = intoResolved;
        const auto slash = target.find_last_of ('/');
        const std::string copy = into + "/" + target.substr (slash + 1);
        char copyResolved[PATH_MAX] = {};
        if (realpath (copy.c_str(), copyResolved) != nullptr && target == copyResolved)
        {
            std::fprintf (stderr, "tamblit-bridge: the copy would replace the plug-in itself; choose another --into\n");
            return 1;
        }
        // Two plug-ins of the same file name: one copy cannot stand for both. And
        // a file of that name that is no bridged copy is someone else's.
        SideFile previous;
        const bool hadSide = access (sideFilePathFor (copy).c_str(), F_OK) == 0;
        const bool hadCopy = hadSide && readSideFile (sideFilePathFor (copy), previous);
        if (hadSide && (! hadCopy || previous.target != target) && ! replace)
        {
            std::fprintf (stderr,
                          "tamblit-bridge: %s already stands for %s; give --replace to re-point it to %s, or choose "
                          "another --into\n",
                          copy.c_str(), hadCopy ? previous.target.c_str() : "something else (unreadable side file)", target.c_str());
            return 1;
        }
        if (! hadSide && access (copy.c_str(), F_OK) == 0 && ! replace)
        {
            std::fprintf (stderr, "tamblit-bridge: %s exists and is not a bridged copy; give --replace to overwrite it\n", copy.c_str());
            return 1;
        }
        if (! isSideFileValue (target) || ! isSideFileValue (worker))
        {
            std::fprintf (stderr, "tamblit-bridge: the path of the plug-in or the worker holds a line break or another control "
                                  "character; a side file cannot name it\n");
            return 1;
        }
        std::string image;
        if (! readWhole (bridge, image))
        {
            std::fprintf (stderr, "tamblit-bridge: cannot read %s: %s\n", bridge.c_str(), std::strerror (errno));
            return 1;
        }
        // Both files complete beside their final names first; then renamed, so a
        // host that has the old copy loaded keeps it.
        const std::string copyTemporary = copy + ".tmp";
        const std::string side = sideFilePathFor (copy);
        const std::string sideTemporary = side + ".tmp";
        if (! writeWhole (copyTemporary, image, 0755) || ! writeWhole (sideTemporary, formatSideFile (SideFile { target, worker }), 0644)
            || std::rename (copyTemporary.c_str(), copy.c_str()) != 0 || std::rename (sideTemporary.c_str(), side.c_str()) != 0)
        {
            std::fprintf (stderr, "tamblit-bridge: cannot write %s: %s\n", copy.c_str(), std::strerror (errno));
            unlink (copyTemporary.c_str());
            unlink (sideTemporary.c_str());
            return 1;
        }
        if (hadSide && (! hadCopy || previous.target != target))
            std::printf ("re-pointed %s from %s\n", copy.c_str(), hadCopy ? previous.target.c_str() : "an unreadable side file");
        std::printf ("%s\nbridged: %s -> %s\n", report.c_str(), copy.c_str(), target.c_str());
        if (std::fflush (stdout) != 0 || std::ferror (stdout) != 0)
            return 1;
        return 0;
    }

} // namespace

int main (int argc, char** argv)
{
    std::signal (SIGPIPE, SIG_IGN);
    if (argc < 3 || std::strcmp (argv[1], "wrap") != 0)
        return usage();
    std::string plugin = argv[2];
    std::string into;
    bool replace = false;
    int probeTimeoutMs = 30000;
    for (int i = 3; i < argc; ++i)
    {
        if (std::strcmp (argv[i], "--into") == 0 && i + 1 < argc)
        {
            into = argv[++i];
        }
        else if (std::strcmp (argv[i], "--replace") == 0)
        {
            replace = true;
        }
        else if (std::strcmp (argv[i], "--probe-timeout") == 0 && i + 1 < argc)
        {
            const int seconds = std::atoi (argv[++i]);
            if (seconds <= 0 || seconds > 3600)
                return usage();
            probeTimeoutMs = seconds * 1000;
        }
        else
        {
            return usage();
        }
    }
    return wrap (plugin, into, replace, probeTimeoutMs);
}
