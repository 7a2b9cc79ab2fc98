#pragma once

// The fixed lines the container writes to its console and to stdout.
// People read them and the tests search for them, so they are an interface:
// change a text here only on purpose, never in passing. Lines that belong to
// one instance are written as "<instance name>:<line>" by the caller; the
// texts here leave the name and that colon out.
#include <juce_core/juce_core.h>

namespace logLines
{
    // The processor's life.
    inline constexpr const char* constructed = "PluginContainerAudioProcessor::PluginContainerAudioProcessor()";

    inline juce::String pluginsBeingWatched (int count)
    {
        return "watchdog->getNumberOfPluginsBeingWatched():" + juce::String (count);
    }

    // Loading, unloading and switching slots.
    inline juce::String loadingPluginInIndex (int index)
    {
        return "loading plugin in index " + juce::String (index) + ".";
    }
    inline juce::String unloadingPluginInIndex (int index)
    {
        return "unloading plugin in index " + juce::String (index) + ".";
    }
    inline constexpr const char* failedToLoadPlugin = "failed to load plugin...";

    inline juce::String pathInIndex (const juce::String& path, int index)
    {
        return path + ", in index " + juce::String (index);
    }

    inline juce::String missingWithoutDisplay (const juce::String& path)
    {
        return path + " does not exist and there is no display to ask where it went";
    }

    inline juce::String notInstalled (int index, const juce::String& format, const juce::String& identifier)
    {
        return "index " + juce::String (index) + ": the " + format + " plugin " + identifier
               + " is not installed; the slot keeps its saved state";
    }

    inline juce::String unknownFormat (int index, const juce::String& format, const juce::String& identifier)
    {
        return "index " + juce::String (index) + ": " + identifier + " is a " + format
               + " plugin, a format this build cannot load; the slot keeps its saved state";
    }

    inline juce::String keptUnloaded (int index, const juce::String& identifier)
    {
        return "index " + juce::String (index) + " keeps " + identifier
               + " as saved, without loading it: the next save writes it back, Recover tries it again";
    }

    inline juce::String noLongerHoldsPlugin (const juce::String& path, const juce::String& pluginName)
    {
        return path + " no longer holds the plugin " + pluginName;
    }

    inline constexpr const char* startPlaying = "temp->startPlaying( getSampleRate(), getBlockSize() );";

    inline juce::String channelMode (int containerInputs, int containerOutputs, int pluginInputs, int pluginOutputs)
    {
        return "mode: " + juce::String (containerInputs) + "/" + juce::String (containerOutputs) + "; "
               + "Plugin: " + juce::String (pluginInputs) + "/" + juce::String (pluginOutputs);
    }

    inline constexpr const char* synthMode = "(Synth mode)";
    inline constexpr const char* effectInSynth = "plugin can't be loaded ( this is a synth, plugin appears to be an fx... )";
    inline constexpr const char* allocatingAuxBuffer = "allocating aux buffer ( plugin has more outputs )";

    inline juce::String activePlugin (int index)
    {
        return "active_plugin: " + juce::String (index);
    }
    inline juce::String changingActivePluginToIndex (int index)
    {
        return "changing active plugin to index " + juce::String (index);
    }
    inline juce::String noPluginAvailableAtIndex (int index)
    {
        return "no plugin available at index " + juce::String (index);
    }

    inline juce::String successfullyChangedActivePluginToIndex (int index)
    {
        return "successfully changed active plugin to index " + juce::String (index);
    }

    inline juce::String openEditor (int index)
    {
        return "openEditor: " + juce::String (index);
    }

    // Protected slots: the plug-in runs in a worker process, through its stand-in.
    inline juce::String slotProtected (int index, bool isProtected)
    {
        return "index " + juce::String (index)
               + (isProtected ? " is protected: its plugin runs in a worker process of its own"
                              : " is no longer protected: its plugin runs in the host's process");
    }

    inline juce::String runsProtected (int index, const juce::String& path, const juce::String& standIn)
    {
        return "index " + juce::String (index) + " runs " + path + " protected, through " + standIn;
    }

    inline juce::String cannotProtect (const juce::String& path, const juce::String& why)
    {
        return "cannot protect " + path + ": " + why;
    }

    inline juce::String runsAsBefore (int index, bool wasToBeProtected)
    {
        return "index " + juce::String (index) + " could not be reloaded " + (wasToBeProtected ? "protected" : "in the host's process")
               + ", it runs as before";
    }

    // Crashes, the watchdog's recovery and the state put back afterwards.
    inline juce::String seemsToHaveCrashed (int index, const juce::String& instanceName)
    {
        return "Warning: plugin at index " + juce::String (index) + " in instance with name " + instanceName + " seems to have crashed";
    }

    inline juce::String recoveringPlugin (int index, const juce::String& instanceName)
    {
        return "Recovering plugin at index " + juce::String (index) + " in instance with name " + instanceName + ".";
    }

    inline constexpr const char* recoveringPluginState = "Recovering plugin state...";

    inline juce::String couldNotBeReloaded (int index)
    {
        return "index " + juce::String (index) + " could not be reloaded, it stays empty and keeps its last good state";
    }

    inline juce::String stateBlockRefused (int index)
    {
        return "the state block of index " + juce::String (index) + " was refused, only its program and parameters were put back";
    }

    inline juce::String crashedWhileTakingStateBack (int index)
    {
        return "index " + juce::String (index) + " crashed while taking its state back";
    }

    // Saving the container's state.
    inline constexpr const char* getStateInformation = "getStateInformation";
    inline constexpr const char* setStateInformation = "setStateInformation";
    inline juce::String childElements (int count)
    {
        return "ChildElements: " + juce::String (count);
    }
    inline juce::String binaryDataSize (int bytes)
    {
        return "binary data size: " + juce::String (bytes);
    }

    // Restoring it.
    inline constexpr const char* nothingToRestore = "no state data, nothing restored";
    inline juce::String activePluginIndex (int index)
    {
        return "active_plugin index: " + juce::String (index);
    }
    inline juce::String settingCurrentProgram (int program)
    {
        return "Setting currentProgram to index " + juce::String (program);
    }

    // Written after "<instance name>: ", with a space.
    inline juce::String settingParameters (int count)
    {
        return "Setting parameters( " + juce::String (count) + ")";
    }

    inline constexpr const char* noParameterElement = "parameter_sub_sub_element == NULL";

    inline juce::String savedStateBlockDamaged (int index)
    {
        return "the saved state block of index " + juce::String (index) + " is damaged, not applied";
    }

    // Reading a saved document. A refused document is logged as its reason
    // followed by ", nothing restored".
    inline constexpr const char* stateNotUtf8 = "state data is not UTF-8 text";
    inline constexpr const char* stateNotWellFormedXml = "state data is not a well-formed XML document";
    inline constexpr const char* stateNotPluginData = "state data is not a pluginData document";

    inline juce::String stateTooLarge (int elements, int attributesPerElement, int attributes, int depth)
    {
        return "state data has more than " + juce::String (elements) + " elements, " + juce::String (attributesPerElement)
               + " attributes in one element, " + juce::String (attributes) + " attributes in all or " + juce::String (depth) + " levels";
    }

    inline juce::String nothingRestored (const juce::String& reason)
    {
        return reason + ", nothing restored";
    }

    inline juce::String binDataSizes (int available, int declared)
    {
        return "binData, av size: " + juce::String (available) + ", data_size: " + juce::String (declared);
    }

    inline constexpr const char* dataSizeZero = "data_size == 0";
    inline constexpr const char* binDataDamaged = "binData is damaged, ignored";
    inline juce::String memBlockDataSize (int bytes)
    {
        return "data_size ( mem block ): " + juce::String (bytes);
    }

    inline juce::String ignoringPluginElement (int index)
    {
        return "ignoring plugin element for index " + juce::String (index) + " ( only 0 and 1 exist )";
    }

    inline juce::String ignoringSecondPluginElement (int index)
    {
        return "ignoring a second plugin element for index " + juce::String (index);
    }

    inline juce::String ignoringActivePlugin (const juce::String& value)
    {
        return "ignoring activePlugin " + value + " ( only 0 and 1 exist )";
    }

    // The loader's stdout. Each line starts with its own newline.
    inline constexpr const char* initializingVstFormat = "\nInitializing VSTPluginFormat";
    inline constexpr const char* deallocatingVstFormat = "\ndeallocating VSTPluginFormat";
    inline constexpr const char* loaderDestroyed = "\n~VSTP2PluginLoader()";
    inline constexpr const char* deallocatingInstance = "\ndeallocating plugin_instance";
    inline constexpr const char* tryingToCreateInstance = "\nTrying to create instance...";
    inline constexpr const char* createdInstance = "OK";
    inline constexpr const char* instanceStillHeld = "\nWarning! plugin_instance != NULL";

    inline juce::String checkingScanCache (const juce::String& path)
    {
        return "\nChecking is file/id was scanned already: " + path;
    }
    inline juce::String addingFromScanCache (const juce::String& path)
    {
        return "\nAdding " + path;
    }

    inline juce::String scanCacheHit (int count)
    {
        return "\nFile was already loaded before, PluginDescriptions previously stored: " + juce::String (count);
    }

    inline juce::String scanning (const juce::String& path)
    {
        return "\nFile was not loaded before, finding VST plugins types for:" + path;
    }
    inline juce::String foundDescriptions (int count)
    {
        return "\n->found PluginDescriptions for: " + juce::String (count);
    }

    // The hosted editor's window, on stdout.
    inline constexpr const char* editorAlreadyOpen = "\neditor is already open!";
    inline constexpr const char* noWindowForEditor = "\ncould not create a window for the editor!";
    inline constexpr const char* closingEditor = "\nClosing editor...";
    inline constexpr const char* editorAlreadyClosed = "\neditor is already closed!";
}
