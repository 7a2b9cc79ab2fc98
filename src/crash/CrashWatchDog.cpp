#include "CrashWatchDog.h"
#include "../processor/PluginContainerAudioProcessor.h"

CrashWatchDog::CrashWatchDog() = default;

CrashWatchDog::~CrashWatchDog()
{
    stopTimer();
}

void CrashWatchDog::addPluginToWatch (PluginContainerAudioProcessor* processor)
{
    watched_plugins.add (processor);
}

void CrashWatchDog::removePluginToWatch (PluginContainerAudioProcessor* processor)
{
    watched_plugins.removeFirstMatchingValue (processor);
}

int CrashWatchDog::getNumberOfPluginsBeingWatched() const
{
    return watched_plugins.size();
}

void CrashWatchDog::timerCallback()
{
    // The size is read anew after each processor: recovery may run dialogs whose
    // nested loops let instances come and go.
    for (int i = 0; i < watched_plugins.size(); ++i)
    {
        auto* processor = watched_plugins.getUnchecked (i);

        const bool held0 = processor->getAudioPluginInstance (0) != nullptr;
        const bool held1 = processor->getAudioPluginInstance (1) != nullptr;

        const bool crashed0 = processor->checkIfPluginCrashed (0);
        const bool crashed1 = processor->checkIfPluginCrashed (1);

        if (processor->getOption (2))
        {
            const int active = processor->getActivePlugin();

            if (held0 && active == 0)
            {
                if (processor->isPluginCrashed (0) && held1 && ! processor->isPluginCrashed (1))
                    processor->changeActivePlugin (1);
            }
            else if (held1 && active == 1)
            {
                if (processor->isPluginCrashed (1) && held0 && ! processor->isPluginCrashed (0))
                    processor->changeActivePlugin (0);
            }
        }

        if (processor->getOption (1))
        {
            if (crashed0)
                processor->recoverPluginUnattended (0);
            if (crashed1)
                processor->recoverPluginUnattended (1);
        }
    }
}
