#include "ProtectedLoad.h"
#include "ExternalScanner.h"
#include "PluginFormatNames.h"
#include "PrivateCacheFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace protectedLoad
{
    namespace
    {
        const char* const bridgePluginName = "tamblit-bridge-plugin";
        const char* const bridgeWorkerName = "tamblit-bridge-worker";

        // What the bridge reads beside its copy (see docs/bridge.md).
        juce::String sideFileText (const juce::String& target, const juce::File& worker)
        {
            return "target=" + target + "\nworker=" + worker.getFullPathName() + "\n";
        }

        // Writes `data` beside `destination` under a name no other writer uses,
        // flushed to disk, then renames it into place: two containers making the
        // same stand-in at once each put a complete file there, and a host that has
        // the old copy loaded keeps it.
        bool writeInPlace (const juce::File& destination, const void* data, size_t size, int mode)
        {
            const auto temporary = destination.getSiblingFile (destination.getFileName() + ".tmp-" + juce::String (getpid()) + "-"
                                                               + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()));
            const int fd = open (temporary.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd < 0)
                return false;
            auto* at = static_cast<const char*> (data);
            size_t left = size;
            bool ok = true;
            while (ok && left > 0)
            {
                const ssize_t written = write (fd, at, left);
                if (written < 0 && errno == EINTR)
                    continue;
                ok = written > 0;
                if (ok)
                {
                    at += written;
                    left -= (size_t) written;
                }
            }
            ok = ok && fchmod (fd, (mode_t) mode) == 0 && fsync (fd) == 0;
            ok = close (fd) == 0 && ok;
            ok = ok && std::rename (temporary.getFullPathName().toRawUTF8(), destination.getFullPathName().toRawUTF8()) == 0;
            if (! ok)
                temporary.deleteFile();
            return ok;
        }

        bool holds (const juce::File& file, const juce::MemoryBlock& wanted)
        {
            if (file.getSize() != (juce::int64) wanted.getSize())
                return false;
            juce::MemoryBlock present;
            return file.loadFileAsData (present) && present == wanted;
        }
    }

    BridgeFiles findBridgeFiles ()
    {
        const auto overridden = juce::SystemStats::getEnvironmentVariable ("TAMBLIT_BRIDGE_RESOURCES", {});
        if (overridden.isNotEmpty())
            return { juce::File (overridden).getChildFile (bridgePluginName), juce::File (overridden).getChildFile (bridgeWorkerName) };
        return { expectedScannerLocation (bridgePluginName), expectedScannerLocation (bridgeWorkerName) };
    }

    juce::File cacheFolder ()
    {
        return privateCache::baseFolder().getChildFile ("protected");
    }

    namespace
    {
        // Makes or refreshes the stand-in for `target` (a file path or an LV2
        // URI), named `copyName` in a cache folder of its own.
        juce::File writeStandIn (const juce::String& target, const juce::String& copyName, juce::String& error)
        {
            const auto bridge = findBridgeFiles();
            if (! bridge.plugin.existsAsFile() || access (bridge.worker.getFullPathName().toRawUTF8(), X_OK) != 0)
            {
                error = "the bridge is not installed beside the container (" + bridge.plugin.getFullPathName() + ", "
                        + bridge.worker.getFullPathName() + ")";
                return {};
            }

            // The side file holds one value a line: a path or URI with a line
            // break in it would add lines of its own choosing.
            if (! privateCache::isSideFileValue (target) || ! privateCache::isSideFileValue (bridge.worker.getFullPathName()))
            {
                error = "its path holds a line break or another control character";
                return {};
            }

            // One folder per plug-in, so plug-ins of the same file name from
            // different folders get copies of their own; named by the SHA-256 of
            // the plug-in's real path, which nobody can aim at another plug-in's.
            // Each folder on the way is private to this user, or refused.
            const auto folder = cacheFolder().getChildFile (privateCache::folderNameFor (target));
            if (! privateCache::makePrivate (folder, error))
                return {};
            const auto copy = folder.getChildFile (copyName);
            const auto side = copy.getSiblingFile (copy.getFileName() + ".target");

            juce::MemoryBlock image;
            if (! bridge.plugin.loadFileAsData (image))
            {
                error = "cannot read " + bridge.plugin.getFullPathName();
                return {};
            }
            const auto sideText = sideFileText (target, bridge.worker);
            const juce::MemoryBlock sideBytes (sideText.toRawUTF8(), sideText.getNumBytesAsUTF8());

            // The copy first, then its side file: the bridge reads the side file only
            // when the copy is loaded, and both are complete whenever they are seen.
            if ((! holds (copy, image) && ! writeInPlace (copy, image.getData(), image.getSize(), 0755))
                || (! holds (side, sideBytes) && ! writeInPlace (side, sideBytes.getData(), sideBytes.getSize(), 0644)))
            {
                error = "cannot write " + copy.getFullPathName() + ": " + juce::String (std::strerror (errno));
                return {};
            }
            return copy;
        }
    }

    juce::File standInFor (const juce::File& plugin, juce::String& error)
    {
        const auto target = plugin.getLinkedTarget();
        if (! target.existsAsFile())
        {
            error = plugin.getFullPathName() + " does not exist";
            return {};
        }
        if (target.getSiblingFile (target.getFileName() + ".target").existsAsFile())
        {
            // Already a bridged copy: it protects itself.
            return target;
        }
        return writeStandIn (target.getFullPathName(), target.getFileName(), error);
    }

    juce::File standInFor (const juce::String& identifier, juce::String& error)
    {
        const auto format = pluginFormats::formatOf (identifier);
        if (format == pluginFormats::vst2)
            return standInFor (juce::File (identifier), error);

        if (format == pluginFormats::vst3)
        {
            const juce::File bundle (identifier);
            if (! juce::File::isAbsolutePath (identifier) || ! bundle.isDirectory())
            {
                error = identifier + " is no VST3 bundle";
                return {};
            }
            return writeStandIn (bundle.getFullPathName(), bundle.getFileNameWithoutExtension() + ".so", error);
        }

        // An LV2 URI: its last word names the copy, for the console and ps.
        auto name = identifier.trimCharactersAtEnd ("/#").fromLastOccurrenceOf ("/", false, false).fromLastOccurrenceOf (":", false, false);
        name = name.retainCharacters ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.");
        return writeStandIn (identifier, (name.isEmpty() ? juce::String ("lv2-plugin") : name) + ".so", error);
    }

    juce::String targetBehind (const juce::File& file)
    {
        if (! file.isAChildOf (cacheFolder()))
            return file.getFullPathName();
        // A side file with a line that does not read as a clean key=value (a
        // control character, no '=') is not trusted at all.
        const auto text = file.getSiblingFile (file.getFileName() + ".target").loadFileAsString();
        juce::String target;
        for (const auto& line : juce::StringArray::fromTokens (text, "\n", {}))
        {
            if (line.isEmpty() || line.startsWithChar ('#'))
                continue;
            if (! line.containsChar ('=') || ! privateCache::isSideFileValue (line))
                return file.getFullPathName();
            if (line.startsWith ("target="))
                target = line.fromFirstOccurrenceOf ("target=", false, false);
        }
        return target.isNotEmpty() ? target : file.getFullPathName();
    }

    juce::File pluginBehind (const juce::File& file)
    {
        const auto target = targetBehind (file);
        return juce::File::isAbsolutePath (target) ? juce::File (target) : file;
    }
}
