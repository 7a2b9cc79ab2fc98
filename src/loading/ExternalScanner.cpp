#include "ExternalScanner.h"
#include "LoaderOutput.h"
#include "PrivateCacheFolder.h"
#include "ScannerProcess.h"

#include <dlfcn.h>
#include <link.h>
#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace
{
    // The loader may name a binary relative to the working directory the host had
    // when it loaded us, and the host may change that directory later: resolve it
    // once, while this binary is being loaded.
    std::string resolveBinaryPath (const void* address)
    {
        Dl_info info {};
        link_map* map = nullptr;
        if (dladdr1 (address, &info, reinterpret_cast<void**> (&map), RTLD_DL_LINKMAP) == 0)
            return {};

        // The main program's link map has an empty name; dli_fname is then only argv[0].
        const bool isMainProgram = map == nullptr || map->l_name == nullptr || map->l_name[0] == 0;
        const char* name = isMainProgram ? "/proc/self/exe" : info.dli_fname;
        if (name == nullptr)
            return {};

        char resolved[PATH_MAX];
        if (realpath (name, resolved) == nullptr)
            return {};
        return resolved;
    }

    const std::string ownBinaryPath = resolveBinaryPath (reinterpret_cast<const void*> (&resolveBinaryPath));
}

juce::File binaryHoldingAddress (const void* address)
{
    const auto path = resolveBinaryPath (address);
    return path.empty() ? juce::File() : juce::File (juce::String::fromUTF8 (path.c_str()));
}

juce::File expectedScannerLocation (const juce::String& scannerName)
{
    // JUCE's currentApplicationFile is only the fallback: the scanner belongs to
    // this binary, which inside a host is a shared object, not the host program.
    auto ownBinary = ownBinaryPath.empty() ? juce::File::getSpecialLocation (juce::File::currentApplicationFile)
                                           : juce::File (juce::String::fromUTF8 (ownBinaryPath.c_str()));
    return scannerLocationFor (ownBinary, scannerName);
}

juce::File scannerLocationFor (const juce::File& binary, const juce::String& scannerName)
{
    const auto folder = binary.getParentDirectory();
    const auto contents = folder.getParentDirectory();
    const bool inBundleArchitectureFolder = contents.getFileName() == "Contents" && folder.getFileName() != "Resources";
    const auto base = inBundleArchitectureFolder ? contents.getFullPathName() : folder.getFullPathName() + "/Contents";
    // Only the name counts; a bare name is no path a File could hold.
    return juce::File (base + "/Resources/" + scannerName.fromLastOccurrenceOf ("/", false, false));
}

bool isRunnableScanner (const juce::File& scanner)
{
    return scanner.existsAsFile() && access (scanner.getFullPathName().toRawUTF8(), X_OK) == 0;
}

void scanWithExternalProcess (const juce::File& scanner, const juce::String& path, juce::OwnedArray<juce::PluginDescription>& out)
{
    if (! isRunnableScanner (scanner))
        return;

    // The answer goes to a file made for it in the container's private cache
    // folder, never under a name others could guess or plant in /tmp.
    juce::String error;
    const auto result = privateCache::makeTemporaryFile ("scan", error);
    if (result == juce::File())
    {
        writeLoaderText ("Cannot scan " + path + ": " + error);
        return;
    }

    // Its own process group, killed with whatever it started after 5 s.
    const auto ran = ScannerProcess::run ({ scanner.getFullPathName().toStdString(), path.toStdString(),
                                            result.getFullPathName().toStdString() },
                                          5000);
    if (ran.outcome == ScannerProcess::Outcome::exited)
    {
        if (auto document = juce::XmlDocument::parse (result))
        {
            auto description = std::make_unique<juce::PluginDescription>();
            if (description->loadFromXml (*document))
                out.add (description.release());
        }
    }
    result.deleteFile();
}
