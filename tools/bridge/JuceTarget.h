// VST3 and LV2 plug-ins in the bridge's worker. JUCE hosts the plug-in here, in
// the worker process, and a small effect record gives the worker the same
// VST 2.x face it serves for every target: the bridge, its protocol and the
// container stay as they are for all three formats.
#pragma once

#include <pluginterfaces/vst2.x/aeffectx.h>
#include <string>

namespace tamblit::bridge
{
    // A VST3 bundle (ends in ".vst3") or an LV2 plug-in URI (has a scheme).
    bool isJuceTarget (const std::string& target);

    // Loads the plug-in on the calling thread, which becomes JUCE's message
    // thread for the rest of the process. Null, with `error` set, when it
    // cannot be loaded.
    AEffect* loadJuceTarget (const std::string& target, audioMasterCallback host, std::string& error);

    // Runs what JUCE has queued for its message thread (editor drawing, timers,
    // a plug-in UI's idle); returns at once when nothing is. The thread that
    // loaded the target calls it between requests.
    void dispatchJuceMessages ();
}
