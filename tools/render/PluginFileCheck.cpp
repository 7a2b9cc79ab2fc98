#include "PluginFileCheck.h"

#include <pluginterfaces/vst2.x/aeffectx.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace render
{
    namespace
    {

        // Exit codes of the checking child.
        constexpr int kChildOk = 0;
        constexpr int kChildOkWithHook = 1;
        constexpr int kChildNoOpen = 2;
        constexpr int kChildNoEntry = 3;
        constexpr int kChildNoEffect = 4;
        constexpr int kChildShell = 5;

        VstIntPtr VSTCALLBACK checkCallback (AEffect*, int opcode, int, VstIntPtr, void*, float)
        {
            return opcode == audioMasterVersion ? 2400 : 0;
        }

        [[noreturn]] void runCheck (const std::string& path, bool nameGiven, int reportFd)
        {
            // What the plug-in prints while it loads is not the renderer's to show.
            const int sink = open ("/dev/null", O_WRONLY);
            if (sink >= 0)
            {
                dup2 (sink, 1);
                dup2 (sink, 2);
                close (sink);
            }
            void* library = dlopen (path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (library == nullptr)
            {
                const char* why = dlerror();
                if (why != nullptr && write (reportFd, why, std::strlen (why)) < 0)
                {
                    // nothing more to say
                }
                _exit (kChildNoOpen);
            }
            using EntryPoint = AEffect* (*) (audioMasterCallback);
            auto entry = reinterpret_cast<EntryPoint> (dlsym (library, "VSTPluginMain"));
            if (entry == nullptr)
                entry = reinterpret_cast<EntryPoint> (dlsym (library, "main"));
            if (entry == nullptr)
                _exit (kChildNoEntry);
            // The child may run the plug-in's code: whatever it does ends with the child.
            AEffect* effect = entry (&checkCallback);
            if (effect == nullptr || effect->magic != kEffectMagic)
                _exit (kChildNoEffect);
            // A file of several plug-ins makes the container ask the user which one.
            if (! nameGiven && effect->dispatcher (effect, effGetPlugCategory, 0, 0, nullptr, 0.0f) == kPlugCategShell)
                _exit (kChildShell);
            _exit (dlsym (library, "tamblit_fixture_crash_all") != nullptr ? kChildOkWithHook : kChildOk);
        }

    } // namespace

    PluginFileReport checkPluginFile (const std::string& path, bool nameGiven)
    {
        PluginFileReport report;
        struct stat info
        {
        };
        if (stat (path.c_str(), &info) != 0)
        {
            report.error = "plug-in file not found: " + path;
            return report;
        }
        if (! S_ISREG (info.st_mode))
        {
            report.error = "not a plug-in file (not a regular file): " + path;
            return report;
        }

        int pipeFds[2];
        if (pipe (pipeFds) != 0)
        {
            report.error = std::string ("cannot check ") + path + ": " + std::strerror (errno);
            return report;
        }

        const pid_t child = fork();
        if (child < 0)
        {
            close (pipeFds[0]);
            close (pipeFds[1]);
            report.error = std::string ("cannot check ") + path + ": " + std::strerror (errno);
            return report;
        }
        if (child == 0)
        {
            close (pipeFds[0]);
            runCheck (path, nameGiven, pipeFds[1]);
        }
        close (pipeFds[1]);

        // A library whose constructors hang is as unusable as one that crashes.
        int status = 0;
        bool exited = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (20);
        while (std::chrono::steady_clock::now() < deadline)
        {
            const pid_t done = waitpid (child, &status, WNOHANG);
            if (done == child)
            {
                exited = true;
                break;
            }
            if (done < 0 && errno != EINTR)
                break;
            std::this_thread::sleep_for (std::chrono::milliseconds (10));
        }
        if (! exited)
        {
            kill (child, SIGKILL);
            waitpid (child, &status, 0);
            close (pipeFds[0]);
            report.error = "not a plug-in file (loading it does not finish): " + path;
            return report;
        }

        std::string why;
        char buffer[512];
        ssize_t got = 0;
        while ((got = read (pipeFds[0], buffer, sizeof (buffer))) > 0 && why.size() < 4096)
            why.append (buffer, static_cast<size_t> (got));
        close (pipeFds[0]);

        if (WIFSIGNALED (status))
        {
            report.error = "not a plug-in file (loading it crashes with signal " + std::to_string (WTERMSIG (status)) + "): " + path;
            return report;
        }
        switch (WEXITSTATUS (status))
        {
            case kChildOk:
            case kChildOkWithHook:
                report.ok = true;
                report.hasCrashHook = WEXITSTATUS (status) == kChildOkWithHook;
                break;
            case kChildNoOpen: report.error = "not a plug-in file (it does not load as a shared library: " + why + "): " + path; break;
            case kChildNoEntry: report.error = "not a plug-in file (no VSTPluginMain or main entry point): " + path; break;
            case kChildNoEffect: report.error = "not a plug-in file (its entry point creates no VST 2.x effect): " + path; break;
            case kChildShell: report.error = path + " holds several plug-ins: name one with --slotN-name"; break;
            default:
                report.error = "not a plug-in file (checking it ended with code " + std::to_string (WEXITSTATUS (status)) + "): " + path;
        }
        return report;
    }

} // namespace render
