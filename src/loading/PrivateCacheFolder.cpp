#include "PrivateCacheFolder.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace privateCache
{
    namespace
    {
        bool checkOne (const juce::File& folder, juce::String& error)
        {
            const auto path = folder.getFullPathName();
            struct stat info
            {
            };
            if (lstat (path.toRawUTF8(), &info) != 0)
            {
                if (errno != ENOENT)
                {
                    error = "cannot look at " + path + " (" + juce::String (std::strerror (errno)) + ")";
                    return false;
                }
                // Made private at once: the mode is the mkdir's, not the umask's leftover.
                if (mkdir (path.toRawUTF8(), 0700) != 0 && errno != EEXIST)
                {
                    error = "cannot make " + path + " (" + juce::String (std::strerror (errno)) + ")";
                    return false;
                }
                if (lstat (path.toRawUTF8(), &info) != 0)
                {
                    error = "cannot make " + path + " (" + juce::String (std::strerror (errno)) + ")";
                    return false;
                }
            }
            const juce::String refusal = "refusing the cache folder " + path + ": ";
            if (S_ISLNK (info.st_mode))
            {
                error = refusal + "it is a symbolic link";
                return false;
            }
            if (! S_ISDIR (info.st_mode))
            {
                error = refusal + "it is no folder";
                return false;
            }
            if (info.st_uid != geteuid())
            {
                error = refusal + "it belongs to user " + juce::String ((int) info.st_uid) + ", not to this user ("
                        + juce::String ((int) geteuid()) + ")";
                return false;
            }
            if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            {
                char mode[8];
                std::snprintf (mode, sizeof (mode), "%04o", (unsigned) (info.st_mode & 07777));
                error = refusal + "its group or other users may write to it (mode " + juce::String (mode) + ")";
                return false;
            }
            if ((info.st_mode & 07777) != 0700 && chmod (path.toRawUTF8(), 0700) != 0)
            {
                error = refusal + "cannot make it private (" + juce::String (std::strerror (errno)) + ")";
                return false;
            }
            return true;
        }
    }

    juce::File baseFolder ()
    {
        auto base = juce::SystemStats::getEnvironmentVariable ("XDG_CACHE_HOME", {});
        if (! juce::File::isAbsolutePath (base))
            base = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".cache").getFullPathName();
        return juce::File (base).getChildFile ("tamblit");
    }

    bool makePrivate (const juce::File& folder, juce::String& error)
    {
        const auto base = baseFolder();
        if (folder != base && ! folder.isAChildOf (base))
        {
            error = folder.getFullPathName() + " is not below " + base.getFullPathName();
            return false;
        }
        // The folder holding the base is the user's own (~/.cache): made if
        // missing, as private as the XDG rules ask, and otherwise left alone.
        const auto holder = base.getParentDirectory();
        if (! holder.isDirectory() && mkdir (holder.getFullPathName().toRawUTF8(), 0700) != 0 && errno != EEXIST)
            holder.createDirectory();

        juce::Array<juce::File> chain;
        for (auto at = folder; at != base; at = at.getParentDirectory())
            chain.insert (0, at);
        chain.insert (0, base);
        for (const auto& step : chain)
            if (! checkOne (step, error))
                return false;
        return true;
    }

    juce::File makeTemporaryFile (const juce::String& prefix, juce::String& error)
    {
        const auto folder = baseFolder().getChildFile ("tmp");
        if (! makePrivate (folder, error))
            return {};
        auto pattern = folder.getChildFile (prefix.retainCharacters ("abcdefghijklmnopqrstuvwxyz0123456789-") + "-XXXXXX")
                           .getFullPathName()
                           .toStdString();
        const int fd = mkstemp (pattern.data());
        if (fd < 0)
        {
            error = "cannot make a file in " + folder.getFullPathName() + " (" + juce::String (std::strerror (errno)) + ")";
            return {};
        }
        close (fd);
        return juce::File (juce::String::fromUTF8 (pattern.c_str()));
    }

    juce::String folderNameFor (const juce::String& identifier)
    {
        juce::String key = identifier;
        if (juce::File::isAbsolutePath (identifier))
        {
            char resolved[PATH_MAX];
            if (realpath (identifier.toRawUTF8(), resolved) != nullptr)
                key = juce::String::fromUTF8 (resolved);
        }
        return juce::SHA256 (key.toUTF8()).toHexString();
    }

    bool isSideFileValue (const juce::String& value)
    {
        for (auto c = value.getCharPointer(); ! c.isEmpty(); ++c)
        {
            const auto character = *c;
            if (character < 0x20 || character == 0x7f || (character >= 0x80 && character < 0xa0))
                return false;
        }
        return true;
    }
}
