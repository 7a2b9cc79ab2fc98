#include "BridgeIo.h"

#include <cerrno>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>

namespace tamblit::bridge {

bool sendAll(int fd, const void* data, std::size_t size)
{
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, at, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        at += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool recvAll(int fd, void* data, std::size_t size, int timeoutMs)
{
    auto* at = static_cast<char*>(data);
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t got = ::recv(fd, at, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool readSideFile(const std::string& path, SideFile& out)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "target")
            out.target = value;
        else if (key == "worker")
            out.worker = value;
    }
    return !out.target.empty();
}

bool writeSideFile(const std::string& path, const SideFile& in)
{
    std::ofstream out(path, std::ios::trunc);
    out << "# Written by tamblit-bridge wrap: the plug-in this bridged copy stands for.\n";
    out << "target=" << in.target << "\n";
    if (!in.worker.empty())
        out << "worker=" << in.worker << "\n";
    return static_cast<bool>(out);
}

std::string sideFilePathFor(const std::string& bridgedCopy)
{
    return bridgedCopy + ".target";
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace tamblit::bridge
