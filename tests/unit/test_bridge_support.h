// Helpers for the bridge tests: bridged copies made by the real wrap command
// in a temporary folder, and the crash probe.
#pragma once

#include "support/RawVstHost.h"
#include <gtest/gtest.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace bridge_test
{
    // Runs `tamblit-bridge wrap <target> --into <folder>`; returns its exit code.
    inline int runWrap (const std::string& target, const std::string& folder, std::string* output = nullptr)
    {
        const std::string command = std::string ("'") + TAMBLIT_BRIDGE_COMMAND + "' wrap '" + target + "' --into '" + folder + "' 2>&1";
        FILE* pipe = popen (command.c_str(), "r");
        if (pipe == nullptr)
            return -1;
        char buffer[512];
        std::string text;
        while (fgets (buffer, sizeof (buffer), pipe) != nullptr)
            text += buffer;
        const int status = pclose (pipe);
        if (output != nullptr)
            *output = text;
        return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
    }

    // A folder that lives as long as the test program.
    inline const std::string& folder()
    {
        static const std::string path = []
        {
            char name[] = "/tmp/tamblit-bridge-test-XXXXXX";
            const char* made = mkdtemp (name);
            return std::string (made != nullptr ? made : "/tmp");
        }();
        return path;
    }

    // The bridged copy of `target` (made once per target).
    inline std::string bridged (const std::string& target)
    {
        const std::string copy = folder() + "/" + target.substr (target.find_last_of ('/') + 1);
        if (access ((copy + ".target").c_str(), R_OK) != 0)
        {
            std::string output;
            EXPECT_EQ (runWrap (target, folder(), &output), 0) << output;
        }
        return copy;
    }

    inline VstIntPtr probe (RawVstHost& host)
    {
        return host.dispatch (effVendorSpecific, 654987, 998723, nullptr, 0.5f);
    }

    inline pid_t workerPid (RawVstHost& host)
    {
        return (pid_t) host.dispatch (effVendorSpecific, 0x54427770, 0, nullptr, 0.0f);
    }

    inline bool processAlive (pid_t pid)
    {
        return pid > 0 && kill (pid, 0) == 0;
    }

    inline bool silent (const std::vector<std::vector<float>>& block)
    {
        for (auto& channel : block)
            for (float sample : channel)
                if (sample != 0.0f)
                    return false;
        return true;
    }
}
