#include "PluginCatalogue.h"
#include "ExternalScanner.h"
#include "LoaderOutput.h"
#include "PrivateCacheFolder.h"
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

        // VST 2.x files, and VST3 and LV2 bundles, below a folder; a bundle's
        // own insides are never searched.
        void findCandidates (const juce::File& folder, const juce::String& format, std::vector<Candidate>& out, int depth = 0)
        {
            if (depth > 8 || ! folder.isDirectory())
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
                    findCandidates (file, format, out, depth + 1);
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
                candidate.file.findChildFiles (files, juce::File::findFiles, true);
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
        };

        Described describe (const Candidate& candidate, const Options& options)
        {
            Described out;
            // The scanner's answer goes to a file made for it in the private
            // cache folder, not under a name others could plant in /tmp.
            const auto result = privateCache::makeTemporaryFile ("describe", out.failure);
            if (result == juce::File())
                return out;
            juce::ChildProcess child;
            const juce::StringArray command { options.scanner.getFullPathName(), "--describe", candidate.format,
                                              candidate.file.getFullPathName(), result.getFullPathName() };
            if (! child.start (command, juce::ChildProcess::wantStdErr))
            {
                out.failure = "the scanner " + options.scanner.getFullPathName() + " did not start";
                return out;
            }
            const bool finished = child.waitForProcessToFinish (options.timeoutMs);
            if (! finished)
            {
                child.kill();
                result.deleteFile();
                out.failure = "hung while being scanned (no answer in " + juce::String (options.timeoutMs / 1000.0, 1) + " s)";
                return out;
            }
            const auto said = child.readAllProcessOutput().trim();
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
        for (const auto& folder : folders.vst2)
            findCandidates (juce::File (folder), "VST", candidates);
        for (const auto& folder : folders.vst3)
            findCandidates (juce::File (folder), "VST3", candidates);
        for (const auto& folder : folders.lv2)
            findCandidates (juce::File (folder), "LV2", candidates);

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
            else if (! canDescribe)
            {
                catalogue.failed.push_back ({ candidate.format, path, "not scanned: no scanner at " + options.scanner.getFullPathName() });
                continue;
            }
            else
            {
                if (options.progress)
                    options.progress ((double) i / (double) candidates.size(), path);
                const auto described = describe (candidate, options);
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
