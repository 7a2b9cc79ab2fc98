#include "BridgedCrash.h"

#include "../bridge/BridgeIo.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace render
{
    namespace
    {

        std::string readProcFile (pid_t pid, const char* name)
        {
            std::ifstream in ("/proc/" + std::to_string (pid) + "/" + name, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            return content.str();
        }

        // Parent pid and state letter from /proc/PID/stat; the name field may hold
        // spaces and parentheses, so fields are counted from the last ')'.
        bool parentAndState (pid_t pid, pid_t& parent, char& state)
        {
            const std::string stat = readProcFile (pid, "stat");
            const auto close = stat.rfind (')');
            if (close == std::string::npos)
                return false;
            std::istringstream fields (stat.substr (close + 1));
            long ppid = 0;
            if (! (fields >> state >> ppid))
                return false;
            parent = static_cast<pid_t> (ppid);
            return true;
        }

        bool isWorkerProgram (pid_t pid)
        {
            const std::string cmdline = readProcFile (pid, "cmdline");
            const std::string argv0 = cmdline.substr (0, cmdline.find ('\0'));
            const auto slash = argv0.find_last_of ('/');
            return argv0.substr (slash == std::string::npos ? 0 : slash + 1) == "tamblit-bridge-worker";
        }

        bool mapsFile (pid_t pid, const std::string& path)
        {
            std::ifstream maps ("/proc/" + std::to_string (pid) + "/maps");
            std::string line;
            while (std::getline (maps, line))
            {
                // The path is the last field; check it ends the line exactly.
                if (line.size() >= path.size() && line.compare (line.size() - path.size(), path.size(), path) == 0
                    && line.size() > path.size() && line[line.size() - path.size() - 1] == ' ')
                    return true;
            }
            return false;
        }

    } // namespace

    std::string bridgedTargetOf (const std::string& path)
    {
        tamblit::bridge::SideFile side;
        if (! tamblit::bridge::readSideFile (tamblit::bridge::sideFilePathFor (path), side) || side.target.empty())
            return {};
        char resolved[PATH_MAX] = {};
        return realpath (side.target.c_str(), resolved) != nullptr ? std::string (resolved) : side.target;
    }

    std::vector<pid_t> bridgeWorkersOf (const std::string& target)
    {
        std::vector<pid_t> found;
        DIR* proc = opendir ("/proc");
        if (proc == nullptr)
            return found;
        const pid_t self = getpid();
        while (const dirent* entry = readdir (proc))
        {
            char* end = nullptr;
            const long number = std::strtol (entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0' || number <= 0)
                continue;
            const auto pid = static_cast<pid_t> (number);
            pid_t parent = 0;
            char state = '?';
            if (! parentAndState (pid, parent, state) || parent != self || state == 'Z' || state == 'X')
                continue;
            if (isWorkerProgram (pid) && mapsFile (pid, target))
                found.push_back (pid);
        }
        closedir (proc);
        return found;
    }

    bool crashBridgeWorker (const std::string& target, pid_t& crashed, std::string& error)
    {
        const auto workers = bridgeWorkersOf (target);
        if (workers.size() != 1)
        {
            error = "cannot crash " + target + ": "
                    + (workers.empty() ? std::string ("no bridge worker of this process has it loaded")
                                       : std::to_string (workers.size()) + " bridge workers have it loaded");
            return false;
        }
        crashed = workers.front();
        // A pidfd tells when the worker has died without reaping it: the bridge's
        // own reaper waits for it.
        const int pidFd = static_cast<int> (syscall (SYS_pidfd_open, crashed, 0));
        if (kill (crashed, SIGSEGV) != 0)
        {
            error = "cannot crash " + target + ": kill: " + std::strerror (errno);
            if (pidFd >= 0)
                close (pidFd);
            return false;
        }
        if (pidFd >= 0)
        {
            pollfd wait { pidFd, POLLIN, 0 };
            while (poll (&wait, 1, 2000) < 0 && errno == EINTR)
            {
            }
            close (pidFd);
        }
        return true;
    }

} // namespace render
