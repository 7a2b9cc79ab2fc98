#include "BridgeIo.h"
#include <cctype>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>
#include <poll.h>
#include <sys/socket.h>

namespace tamblit::bridge
{

    bool sendAll (int fd, const void* data, std::size_t size)
    {
        const auto* at = static_cast<const char*> (data);
        while (size > 0)
        {
            const ssize_t sent = ::send (fd, at, size, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            at += sent;
            size -= static_cast<std::size_t> (sent);
        }
        return true;
    }

    bool recvAll (int fd, void* data, std::size_t size, int timeoutMs)
    {
        // One deadline for the whole message: a peer that trickles bytes or a
        // storm of signals cannot stretch the wait.
        timespec start {};
        clock_gettime (CLOCK_MONOTONIC, &start);
        const std::int64_t deadline = static_cast<std::int64_t> (start.tv_sec) * 1000 + start.tv_nsec / 1000000 + timeoutMs;
        auto* at = static_cast<char*> (data);
        while (size > 0)
        {
            int wait = -1;
            if (timeoutMs >= 0)
            {
                timespec now {};
                clock_gettime (CLOCK_MONOTONIC, &now);
                const std::int64_t left = deadline - (static_cast<std::int64_t> (now.tv_sec) * 1000 + now.tv_nsec / 1000000);
                if (left <= 0)
                    return false;
                wait = static_cast<int> (left);
            }
            pollfd p { fd, POLLIN, 0 };
            const int ready = ::poll (&p, 1, wait);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
            const ssize_t got = ::recv (fd, at, size, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            at += got;
            size -= static_cast<std::size_t> (got);
        }
        return true;
    }

    bool readSideFile (const std::string& path, SideFile& out, std::string* why)
    {
        auto fail = [why] (const std::string& reason)
        {
            if (why != nullptr)
                *why = reason;
            return false;
        };
        std::ifstream in (path);
        if (! in)
            return fail ("no side file " + path);
        std::string line;
        while (std::getline (in, line))
        {
            // One clean key=value a line: a value with a control character in
            // it, or a line that is neither that, a comment nor empty, means the
            // file was made from a path with a line break, or by hand wrongly.
            if (line.empty() || line.front() == '#')
                continue;
            const auto equals = line.find ('=');
            if (equals == std::string::npos || ! isSideFileValue (line))
                return fail (path + ": a line does not read as key=value without control characters");
            const std::string key = line.substr (0, equals);
            const std::string value = line.substr (equals + 1);
            if (key == "target")
                out.target = value;
            else if (key == "worker")
                out.worker = value;
        }
        if (out.target.empty())
            return fail (path + " names no target");
        // Relative paths would depend on the host's working folder. An LV2
        // plug-in is named by its URI ("scheme:..."), which names no file.
        const auto colon = out.target.find (':');
        const bool uri = colon != std::string::npos && colon > 0 && std::isalpha (static_cast<unsigned char> (out.target.front()))
                         && out.target.find_first_not_of ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon;
        if ((out.target.front() != '/' && ! uri) || out.target.size() > kMaxPathLength)
            return fail (path + ": the target must be an absolute path or an LV2 plug-in URI");
        if (! out.worker.empty() && (out.worker.front() != '/' || out.worker.size() > kMaxPathLength))
            return fail (path + ": the worker must be an absolute path");
        return true;
    }

    bool isSideFileValue (const std::string& value)
    {
        for (const char c : value)
            if (static_cast<unsigned char> (c) < 0x20 || c == 0x7f)
                return false;
        return true;
    }

    std::string formatSideFile (const SideFile& in)
    {
        std::string text = "# Written by tamblit-bridge wrap: the plug-in this bridged copy stands for.\n";
        text += "target=" + in.target + "\n";
        if (! in.worker.empty())
            text += "worker=" + in.worker + "\n";
        return text;
    }

    std::string sideFilePathFor (const std::string& bridgedCopy)
    {
        return bridgedCopy + ".target";
    }

    std::string directoryOf (const std::string& path)
    {
        const auto slash = path.find_last_of ('/');
        if (slash == std::string::npos)
            return ".";
        return slash == 0 ? "/" : path.substr (0, slash);
    }

    void closeDescriptorsFrom (int first)
    {
#ifdef SYS_close_range
        if (syscall (SYS_close_range, static_cast<unsigned> (first), ~0u, 0u) == 0)
            return;
#endif
        // Older kernels: whatever /proc says is open, however high its number.
        std::vector<int> open;
        if (DIR* folder = opendir ("/proc/self/fd"))
        {
            while (const dirent* entry = readdir (folder))
            {
                char* end = nullptr;
                const long fd = std::strtol (entry->d_name, &end, 10);
                if (end != entry->d_name && *end == '\0' && fd >= first && fd != dirfd (folder))
                    open.push_back (static_cast<int> (fd));
            }
            closedir (folder);
            for (int fd : open)
                close (fd);
            return;
        }
        const long limit = sysconf (_SC_OPEN_MAX);
        for (long fd = first; fd < (limit > 0 ? limit : 65536); ++fd)
            close (static_cast<int> (fd));
    }

} // namespace tamblit::bridge
