#include "PluginCatalogue.h"
#include "ExternalScanner.h"
#include "LoaderOutput.h"
#include "PrivateCacheFolder.h"
#include "ScannerProcess.h"
#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>

namespace pluginCatalogue
{
    namespace
    {
        struct Candidate
        {
            juce::String format;
            juce::File file;
        };

        void addFolders (juce::StringArray& into, std::initializer_list<const char*> standard, const char* variable)
        {
            const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory);
            for (const auto* folder : standard)
                into.addIfNotAlreadyThere (folder[0] == '~' ? home.getChildFile (juce::String (folder + 2)).getFullPathName()
                                                            : juce::String (folder));
            for (const auto& folder : juce::StringArray::fromTokens (juce::SystemStats::getEnvironmentVariable (variable, {}), ":", {}))
                if (juce::File::isAbsolutePath (folder))
                    into.addIfNotAlreadyThere (folder);
        }

        // The folder's path with every symbolic link resolved; empty if it has none.
        std::string realPathOf (const juce::File& folder)
        {
            char resolved[PATH_MAX];
            return realpath (folder.getFullPathName().toRawUTF8(), resolved) != nullptr ? std::string (resolved) : std::string();
        }

        // VST 2.x files, and VST3 and LV2 bundles, below a folder; a bundle's
        // own insides are never searched. A folder reached twice (through a
        // symbolic link, or a link that loops) is searched once.
        void findCandidates (const juce::File& folder, const juce::String& format, std::vector<Candidate>& out,
                             std::set<std::string>& searched, int depth = 0)
        {
            if (depth > 8 || ! folder.isDirectory())
                return;
            const auto real = realPathOf (folder);
            if (real.empty() || ! searched.insert (real).second)
                return;
            for (const auto& entry : juce::RangedDirectoryIterator (folder, false, "*", juce::File::findFilesAndDirectories))
            {
                const auto file = entry.getFile();
                const bool isFolder = entry.isDirectory();
                if (format == "VST3" && isFolder && file.hasFileExtension ("vst3"))
                    out.push_back ({ format, file });
                else if (format == "LV2" && isFolder && file.getChildFile ("manifest.ttl").existsAsFile())
                    out.push_back ({ format, file });
                else if (format == "VST" && ! isFolder && file.hasFileExtension ("so"))
                    out.push_back ({ format, file });
                else if (isFolder && ! file.hasFileExtension ("vst3;lv2"))
                    findCandidates (file, format, out, searched, depth + 1);
            }
        }

        // The files of a bundle, its own and those its links name, without
        // following a symbolic link to a folder: a link back into the bundle
        // would otherwise be walked without end.
        void bundleFiles (const juce::File& folder, juce::Array<juce::File>& out, int depth = 0)
        {
            if (depth > 16)
                return;
            for (const auto& entry : juce::RangedDirectoryIterator (folder, false, "*", juce::File::findFilesAndDirectories))
            {
                const auto file = entry.getFile();
                if (! entry.isDirectory())
                    out.add (file);
                else if (! file.isSymbolicLink())
                    bundleFiles (file, out, depth + 1);
            }
        }

        // Changes whenever a file of the candidate changes, appears or goes.
        juce::String stampOf (const Candidate& candidate)
        {
            juce::uint64 hash = 17; // unsigned: the mixing wraps around
            auto mix = [&hash] (const juce::File& file)
            {
                hash = hash * 31 + (juce::uint64) file.getFullPathName().hashCode64();
                hash = hash * 31 + (juce::uint64) file.getLastModificationTime().toMilliseconds();
                hash = hash * 31 + (juce::uint64) file.getSize();
            };
            if (candidate.file.isDirectory())
            {
                juce::Array<juce::File> files;
                bundleFiles (candidate.file, files);
                files.sort();
                for (const auto& file : files)
                    mix (file);
            }
            else
            {
                mix (candidate.file);
            }
            return juce::String::toHexString ((juce::int64) hash);
        }

        struct Described
        {
            std::vector<juce::PluginDescription> plugins;
            juce::String failure; // empty when described
            bool stopped = false; // the scan was stopped while this one was described
        };

        Described describe (const Candidate& candidate, const Options& options)
        {
            Described out;
            // The scanner's answer goes to a file made for it in the private
            // cache folder, not under a name others could plant in /tmp.
            const auto result = privateCache::makeTemporaryFile ("describe", out.failure);
            if (result == juce::File())
                return out;
            // Run in a process group of its own, its stderr read while it runs
            // and bounded, the whole group ended at the deadline or on a stop.
            const auto ran = ScannerProcess::run ({ options.scanner.getFullPathName().toStdString(), "--describe",
                                                    candidate.format.toStdString(), candidate.file.getFullPathName().toStdString(),
                                                    result.getFullPathName().toStdString() },
                                                  options.timeoutMs, options.shouldStop);
            if (ran.outcome == ScannerProcess::Outcome::notStarted)
            {
                result.deleteFile();
                out.failure = "the scanner " + options.scanner.getFullPathName() + " did not start";
                return out;
            }
            if (ran.outcome == ScannerProcess::Outcome::stopped)
            {
                result.deleteFile();
                out.stopped = true;
                return out;
            }
            if (ran.outcome == ScannerProcess::Outcome::timedOut)
            {
                result.deleteFile();
                out.failure = "hung while being scanned (no answer in " + juce::String (options.timeoutMs / 1000.0, 1) + " s)";
                return out;
            }
            const auto said = juce::String::fromUTF8 (ran.said.data(), (int) ran.said.size()).trim();
            if (auto xml = juce::XmlDocument::parse (result); xml != nullptr && xml->hasTagName ("PLUGINS"))
            {
                for (auto* element : xml->getChildWithTagNameIterator ("PLUGIN"))
                {
                    juce::PluginDescription description;
                    if (description.loadFromXml (*element))
                        out.plugins.push_back (description);
                }
            }
            result.deleteFile();
            if (out.plugins.empty())
                out.failure = said.isNotEmpty() ? said.fromLastOccurrenceOf ("Scanlet64: ", false, false)
                                                : juce::String ("crashed while being scanned");
            // A plug-in that floods stderr without the scanner's own word
            // after it is remembered by its last line only.
            if (out.failure.length() > 1000)
                out.failure = out.failure.fromLastOccurrenceOf ("\n", false, false).trim().substring (0, 1000);
            return out;
        }

        // A file in the container's own cache counts only from a folder
        // private to this user (made so if missing).
        bool inUsableFolder (const juce::File& file)
        {
            const auto folder = file.getParentDirectory();
            const auto base = privateCache::baseFolder();
            juce::String refused;
            if ((folder != base && ! folder.isAChildOf (base)) || privateCache::makePrivate (folder, refused))
                return true;
            writeLoaderText ("Plug-in catalogue: " + refused);
            return false;
        }

        std::unique_ptr<juce::XmlElement> readCache (const juce::File& file)
        {
            if (! inUsableFolder (file))
                return {};
            auto xml = juce::XmlDocument::parse (file);
            if (xml != nullptr && xml->hasTagName ("TAMBLIT_PLUGIN_CATALOGUE") && xml->getIntAttribute ("version") == 1)
                return xml;
            return {};
        }

        void writeCache (const juce::File& file, const juce::XmlElement& xml)
        {
            if (! inUsableFolder (file))
                return;
            file.getParentDirectory().createDirectory();
            // Written beside and renamed into place: another host scanning at the
            // same time leaves a complete file too.
            const auto partial = file.getSiblingFile ("." + file.getFileName() + "." + juce::String (getpid()) + ".partial");
            if (xml.writeTo (partial))
                partial.moveFileTo (file);
            partial.deleteFile();
        }
    }

    Folders Folders::standard()
    {
        Folders folders;
        addFolders (folders.vst2, { "~/.vst", "/usr/lib/vst", "/usr/local/lib/vst" }, "VST_PATH");
        addFolders (folders.vst3, { "~/.vst3", "/usr/lib/vst3", "/usr/local/lib/vst3" }, "VST3_PATH");
        addFolders (folders.lv2, { "~/.lv2", "/usr/lib/lv2", "/usr/local/lib/lv2" }, "LV2_PATH");
        return folders;
    }

    juce::File defaultCacheFile ()
    {
        return privateCache::baseFolder().getChildFile ("plugin-catalogue.xml");
    }

    Catalogue scan (const Folders& folders, const Options& options)
    {
        std::vector<Candidate> candidates;
        std::set<std::string> searchedVst2, searchedVst3, searchedLv2;
        for (const auto& folder : folders.vst2)
            findCandidates (juce::File (folder), "VST", candidates, searchedVst2);
        for (const auto& folder : folders.vst3)
            findCandidates (juce::File (folder), "VST3", candidates, searchedVst3);
        for (const auto& folder : folders.lv2)
            findCandidates (juce::File (folder), "LV2", candidates, searchedLv2);

        // Without a scanner nothing is described, and nothing is written to
        // the cache: a later scan with the scanner in place starts afresh.
        const bool canDescribe = isRunnableScanner (options.scanner);
        const auto cached = readCache (options.cacheFile);
        juce::XmlElement next ("TAMBLIT_PLUGIN_CATALOGUE");
        next.setAttribute ("version", 1);

        Catalogue catalogue;
        for (size_t i = 0; i < candidates.size(); ++i)
        {
            const auto& candidate = candidates[i];
            const auto path = candidate.file.getFullPathName();
            const auto stamp = stampOf (candidate);

            const juce::XmlElement* known = nullptr;
            if (cached != nullptr)
                for (auto* element : cached->getChildWithTagNameIterator ("CANDIDATE"))
                    if (element->getStringAttribute ("path") == path && element->getStringAttribute ("format") == candidate.format
                        && element->getStringAttribute ("stamp") == stamp)
                        known = element;

            std::unique_ptr<juce::XmlElement> entry;
            if (known != nullptr)
            {
                entry = std::make_unique<juce::XmlElement> (*known);
                ++catalogue.fromCache;
            }
            else if (! canDescribe || catalogue.stopped)
            {
                if (! catalogue.stopped)
                    catalogue.failed.push_back (
                        { candidate.format, path, "not scanned: no scanner at " + options.scanner.getFullPathName() });
                continue;
            }
            else
            {
                if (options.progress)
                    options.progress ((double) i / (double) candidates.size(), path);
                const auto described = describe (candidate, options);
                if (described.stopped)
                {
                    // Stopped: the rest is taken from the cache only, and what
                    // was not described is described by the next scan.
                    catalogue.stopped = true;
                    continue;
                }
                entry = std::make_unique<juce::XmlElement> ("CANDIDATE");
                entry->setAttribute ("path", path);
                entry->setAttribute ("format", candidate.format);
                entry->setAttribute ("stamp", stamp);
                if (described.failure.isNotEmpty())
                    entry->setAttribute ("failed", described.failure);
                for (const auto& description : described.plugins)
                    if (auto xml = description.createXml())
                        entry->addChildElement (xml.release());
                ++catalogue.described;
            }

            if (entry->hasAttribute ("failed"))
                catalogue.failed.push_back ({ candidate.format, path, entry->getStringAttribute ("failed") });
            for (auto* element : entry->getChildWithTagNameIterator ("PLUGIN"))
            {
                juce::PluginDescription description;
                if (description.loadFromXml (*element))
                    catalogue.plugins.push_back (description);
            }
            next.addChildElement (entry.release());
        }

        if (options.cacheFile != juce::File())
            writeCache (options.cacheFile, next);
        return catalogue;
    }
}
