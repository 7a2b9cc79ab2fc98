#pragma once

#include <cstring>

// Answers the container gives VST 2.x hosts beyond what the settings header fixes.
namespace tamblit::identity
{
    constexpr int vendorVersion = 100;

    inline int canDo (const char* query)
    {
        auto is = [query] (const char* s) { return std::strcmp (query, s) == 0; };

        if (is ("receiveVstEvents") || is ("receiveVstMidiEvent") || is ("receiveVstMidiEvents"))
            return 1;
        if (is ("sendVstEvents") || is ("sendVstMidiEvent") || is ("sendVstMidiEvents"))
            return -1;
        if (is ("receiveVstTimeInfo") || is ("conformsToWindowRules") || is ("bypass"))
            return 1;
        if (is ("openCloseAnyThread"))
            return -1;
        return 0;
    }
}
