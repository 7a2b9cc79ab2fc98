// Checks a plug-in file before the container is asked to load it. The file is
// opened in a child process, so a library whose loading crashes or hangs cannot
// take the renderer down with it.
#pragma once

#include <string>

namespace render
{

    struct PluginFileReport
    {
        bool ok = false;
        bool hasCrashHook = false; // exports tamblit_fixture_crash_all
        std::string error; // why it is not a usable plug-in
    };

    // `nameGiven`: the sub-plug-in to load is named, so a shell file is fine.
    PluginFileReport checkPluginFile (const std::string& path, bool nameGiven = false);

} // namespace render
