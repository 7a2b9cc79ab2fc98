#pragma once

#include <juce_core/juce_core.h>

// The container's cache folders ($XDG_CACHE_HOME/tamblit, else
// ~/.cache/tamblit, and the folders under it) hold files the container loads
// into the host (protected slots' stand-ins and the side files naming what
// they run) and the scanner's answers. Another user who could write there
// could have the host run code of theirs, so every such folder is private:
// made 0700, and before each use checked to be a real folder (no symbolic
// link), owned by this user and writable by nobody else. One that is not is
// refused, with the reason, and never used.
namespace privateCache
{
    // $XDG_CACHE_HOME/tamblit (an absolute XDG_CACHE_HOME), else ~/.cache/tamblit.
    juce::File baseFolder ();

    // Makes `folder` (0700) if it is missing, or tightens one of this user's
    // that others may read to 0700; false, with `error` saying why, when it is a
    // symbolic link, no folder, another user's, or writable by the group or the
    // world. `folder` is `baseFolder()` or a folder below it; the folders
    // between them are checked the same way first.
    bool makePrivate (const juce::File& folder, juce::String& error);

    // A new empty file, made exclusively (mode 0600, a name nobody could guess)
    // in the private folder `baseFolder()/tmp`, for another process of the
    // container's to write into; an empty File, with `error` set, when that
    // folder is refused. The caller deletes it.
    juce::File makeTemporaryFile (const juce::String& prefix, juce::String& error);

    // The name of the cache folder for a plug-in: the SHA-256, in hex, of its
    // real path (symbolic links resolved), or of the identifier itself when it
    // is no path (an LV2 URI).
    juce::String folderNameFor (const juce::String& identifier);

    // Whether `value` can be one line of a side file: no line break and no
    // other control character.
    bool isSideFileValue (const juce::String& value);
}
