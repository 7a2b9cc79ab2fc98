// Socket and side-file helpers shared by the bridge plug-in, its worker and
// the wrap command.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>

namespace tamblit::bridge
{

    constexpr std::size_t kMaxPathLength = 4096;

    // Writes or reads exactly `size` bytes. A negative timeout waits forever.
    // False on error, end of stream or timeout. Never raises SIGPIPE.
    bool sendAll (int fd, const void* data, std::size_t size);
    bool recvAll (int fd, void* data, std::size_t size, int timeoutMs);

    // The side file next to a bridged copy: "<copy>.target", lines "key=value".
    struct SideFile
    {
        std::string target; // the plug-in the copy stands for
        std::string worker; // the worker executable (optional)
    };
    // False when the file is missing or unreadable, names no target, names a
    // path that is not absolute, or has a line that is not empty, a comment
    // ("#...") or key=value without control characters (`why` says which).
    bool readSideFile (const std::string& path, SideFile& out, std::string* why = nullptr);
    std::string formatSideFile (const SideFile& in);
    // Whether `value` can stand on a line of a side file: no line break, no
    // other control character.
    bool isSideFileValue (const std::string& value);
    std::string sideFilePathFor (const std::string& bridgedCopy);

    std::string directoryOf (const std::string& path);

    // Closes every descriptor numbered `first` or above.
    void closeDescriptorsFrom (int first);

} // namespace tamblit::bridge
