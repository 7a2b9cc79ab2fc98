// The container's saved state: a pluginData XML document stored as UTF-8 text.
#include "PluginContainerAudioProcessor.h"
#include "../console/KTDebugConsole.h"
#include "../console/KTDebugConsoleWindow.h"
#include "../crash/AudioProcessorState.h"
#include "../loading/GenericAudioPluginLoader.h"
#include "StateXmlParser.h"
#include <cstdlib>

namespace
{
    // Hosts save and restore from threads of their own. Restoring loads plug-ins,
    // may ask the user and creates windows, and saving reads the same slots, so
    // both run on the message thread while the host's thread waits. Nothing is
    // held while waiting, so the message thread can still take the callback lock.
    template <typename Work>
    void runOnMessageThread (Work&& work)
    {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();
        if (mm == nullptr || mm->isThisTheMessageThread())
        {
            work();
            return;
        }

        auto done = std::make_shared<juce::WaitableEvent>();
        if (! juce::MessageManager::callAsync ([&work, done] { work(); done->signal(); }))
            return;
        done->wait (-1);
    }

    juce::String tagPrefix (const juce::XmlElement& element)
    {
        return element.getTagName().upToFirstOccurrenceOf (":", false, false);
    }

    int atoiOf (const juce::String& text) { return std::atoi (text.toRawUTF8()); }

    // JUCE's base-64 form is "<byte count>.<characters>", and its decoder sizes the
    // block from the count alone. A damaged count (negative, or far beyond what the
    // characters can hold) would ask for gigabytes: refuse it instead.
    bool decodeHostedBlob (const juce::String& encoded, juce::MemoryBlock& blob)
    {
        const int dot = encoded.indexOfChar ('.');
        if (dot < 0)
            return false;

        const auto count = (juce::int64) encoded.substring (0, dot).getIntValue();
        const auto characters = (juce::int64) (encoded.length() - dot - 1);
        if (count < 0 || count > characters * 6 / 8 + 1)
            return false;

        return blob.fromBase64Encoding (encoded);
    }
}

void PluginContainerAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    runOnMessageThread ([this, &destData] { writeStateDocument (destData); });
}

void PluginContainerAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 0)
    {
        log (instance_name + ":setStateInformation");
        log (instance_name + ":no state data, nothing restored");
        return;
    }

    juce::MemoryBlock copy (data, (size_t) sizeInBytes);
    runOnMessageThread ([this, &copy] { readStateDocument (copy.getData(), (int) copy.getSize()); });
}

void PluginContainerAudioProcessor::writeStateDocument (juce::MemoryBlock& destData)
{
    log (instance_name + ":getStateInformation");

    juce::XmlElement root ("pluginData");
    auto* main = new juce::XmlElement ("main_plugin");
    main->setAttribute ("activePlugin", active_plugin);

    for (int option = 0; option < 4; ++option)
        main->setAttribute ("optionB" + juce::String (option), getOption (option) ? 1 : 0);

    main->setAttribute ("instanceName", instance_name);

    ktdebugconsolesizeset = false;

    if (auto* theConsole = ktdebugconsole.get())
    {
        main->setAttribute ("windowName", theConsole->productName);

        if (auto* window = theConsole->getWindow())
        {
            theConsole->windowX = window->getX();
            theConsole->windowY = window->getY();
            theConsole->windowWidth = window->getWidth();
            theConsole->windowHeight = window->getHeight();
        }

        main->setAttribute ("x", theConsole->windowX);
        main->setAttribute ("y", theConsole->windowY);
        main->setAttribute ("w", theConsole->windowWidth);
        main->setAttribute ("h", theConsole->windowHeight);
    }

    root.addChildElement (main);

    for (int index = 0; index < 2; ++index)
    {
        auto* loader = plugin_loaders[(size_t) index].get();
        if (loader == nullptr)
            continue;

        auto* instance = loader->plugin_instance.get();

        auto snapshot = std::make_unique<AudioProcessorState>();
        snapshot->storeAudioProcessorState (instance);
        plugin_states[(size_t) index] = std::move (snapshot);

        const auto& parameters = instance->getParameters();

        auto* element = new juce::XmlElement ("plugin");
        element->setAttribute ("index", index);
        element->setAttribute ("filePath", loader->plugin_file.getFullPathName());
        element->setAttribute ("numInputs", instance->getTotalNumInputChannels());
        element->setAttribute ("numOutputs", instance->getTotalNumOutputChannels());
        element->setAttribute ("name", instance->getName());
        element->setAttribute ("numParams", parameters.size());
        if (instance->getNumPrograms() != 0)
            element->setAttribute ("currentProgram", instance->getCurrentProgram());
        element->setAttribute ("loadedPluginName", loader->getCurrentlyLoadedPluginName());

        juce::MemoryBlock blob;
        instance->getStateInformation (blob);
        element->setAttribute ("binDataSize", (int) blob.getSize());
        element->setAttribute ("binData", blob.toBase64Encoding());
        log ("binary data size: " + juce::String ((int) blob.getSize()));

        if (parameters.size() > 0)
        {
            auto* values = new juce::XmlElement ("f_parameters");
            element->addChildElement (values);
            for (int i = 0; i < parameters.size(); ++i)
                values->setAttribute ("param" + juce::String (i), (double) parameters.getUnchecked (i)->getValue());
        }

        root.addChildElement (element);
    }

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    const auto text = root.createDocument ({}, false, true, "UTF-8", 60);
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE

    const auto bytes = text.getNumBytesAsUTF8();
    log (instance_name + ":bytes: " + juce::String ((int) bytes));
    log (instance_name + ":ChildElements: " + juce::String (root.getNumChildElements()));

    destData.insert (text.toRawUTF8(), bytes, 0);
    log (instance_name + ":destData bytes: " + juce::String ((int) destData.getSize()));
}

void PluginContainerAudioProcessor::readStateDocument (const void* data, int sizeInBytes)
{
    log (instance_name + ":setStateInformation");

    if (! juce::CharPointer_UTF8::isValidString (static_cast<const char*> (data), sizeInBytes))
    {
        log (instance_name + ":state data is not UTF-8 text, nothing restored");
        return;
    }

    const auto text = juce::String::fromUTF8 (static_cast<const char*> (data), sizeInBytes);
    log (instance_name + ":bytes: " + juce::String ((int) text.getNumBytesAsUTF8()));

    auto root = parseStateXml (text.toRawUTF8(), text.getNumBytesAsUTF8());

    // A blob that does not parse restores nothing: the slots keep what they hold.
    if (root == nullptr)
    {
        log (instance_name + ":state data is not a well-formed XML document, nothing restored");
        return;
    }

    if (! root->hasTagName ("pluginData"))
    {
        log (instance_name + ":state data is not a pluginData document, nothing restored");
        return;
    }

    log (instance_name + ":Analyzing " + juce::String (root->getNumChildElements()) + " child elements.");

    bool claimed[2] = { false, false };

    for (auto* child : root->getChildIterator())
    {
        const auto prefix = tagPrefix (*child);
        log (instance_name + ":sub_element->getNamespace(): " + prefix);
        log ("NumAttributes(): " + juce::String (child->getNumAttributes()));

        if (prefix == "main_plugin")
            applyMainPluginElement (*child);
        else if (prefix == "plugin")
            restoreSlotFromElement (*child, claimed);
    }

    log (instance_name + ":active_plugin index: " + juce::String (active_plugin));

    for (int index = 0; index < 2; ++index)
        if (! claimed[index] && plugin_loaders[(size_t) index] != nullptr)
            unloadPlugin (index, false, false);

    refreshEditor();
}

void PluginContainerAudioProcessor::applyMainPluginElement (const juce::XmlElement& element)
{
    const int count = element.getNumAttributes();
    auto valueAt = [&element, count] (int position) { return position < count ? element.getAttributeValue (position) : juce::String(); };

    const int requested = atoiOf (valueAt (0));
    if (isValidSlot (requested))
    {
        // Changed under the callback lock: a block already running finishes on
        // the old slot before any later unload of that slot can delete it.
        {
            const juce::ScopedLock sl (getCallbackLock());
            active_plugin = requested;
        }
        parameter_target.publish (getAudioPluginInstance (requested));
    }
    else
    {
        log (instance_name + ":ignoring activePlugin " + valueAt (0) + " ( only 0 and 1 exist )");
    }

    for (int option = 0; option < 4; ++option)
        setOption (option, atoiOf (valueAt (option + 1)) != 0);

    if (count > 5)
        instance_name = valueAt (5);

    if (ktdebugconsole != nullptr && count > 10 && ! ktdebugconsolesizeset)
    {
        ktdebugconsole->setProductName (valueAt (6));
        const int x = atoiOf (valueAt (7));
        const int y = atoiOf (valueAt (8));
        const int w = atoiOf (valueAt (9));
        const int h = atoiOf (valueAt (10));

        if (x != -1 && y != -1 && w != -1 && h != -1)
        {
            ktdebugconsole->windowX = x;
            ktdebugconsole->windowY = y;
            ktdebugconsole->windowWidth = w;
            ktdebugconsole->windowHeight = h;
            if (auto* window = ktdebugconsole->getWindow())
                window->setBounds (x, y, w, h);
            ktdebugconsolesizeset = true;
        }
    }
}

void PluginContainerAudioProcessor::restoreSlotFromElement (const juce::XmlElement& element, bool (&claimed)[2])
{
    log (tagPrefix (element) + " : ");

    auto* values = element.getChildByName ("f_parameters");

    int target = -1;
    int program = -1;
    int declaredSize = 0;
    juce::String filePath, pluginName;
    juce::MemoryBlock blob;

    for (int i = 0; i < element.getNumAttributes(); ++i)
    {
        const auto name = element.getAttributeName (i);
        const auto value = element.getAttributeValue (i);

        if (name == "binData")
        {
            log ("binData, av size: " + juce::String ((int) value.getNumBytesAsUTF8()) + ", data_size: " + juce::String (declaredSize));
            if (value.getNumBytesAsUTF8() < 1)
                log ("data_size == 0");
            else if (! decodeHostedBlob (value, blob))
                log (instance_name + ":binData is damaged, ignored");
            continue;
        }

        if (name == "index")
            target = atoiOf (value);
        else if (name == "filePath")
            filePath = value;
        else if (name == "binDataSize")
            declaredSize = atoiOf (value);
        else if (name == "currentProgram")
            program = atoiOf (value);
        else if (name == "loadedPluginName")
            pluginName = value;

        log (name + " : " + value);
    }

    log (instance_name + ":path: " + filePath);
    log (instance_name + ":loadedPluginName: " + pluginName);
    log (instance_name + ":target_index: " + juce::String (target));
    log (instance_name + ":data_size: " + juce::String (declaredSize));
    log (instance_name + ":data_size ( mem block ): " + juce::String ((int) blob.getSize()));

    if (target == -1)
        return;

    if (! isValidSlot (target))
    {
        log (instance_name + ":ignoring plugin element for index " + juce::String (target) + " ( only 0 and 1 exist )");
        return;
    }

    claimed[target] = true;
    unloadPlugin (target, false, false);
    log ("loading in index: " + juce::String (target) + " " + filePath + " " + pluginName);

    if (! loadPlugin (target, filePath, pluginName))
    {
        claimed[target] = false;
        return;
    }

    auto* instance = getAudioPluginInstance (target);

    if (program != -1)
    {
        instance->setCurrentProgram (program);
        log ("Setting currentProgram to index " + juce::String (program));
    }

    if (blob.getSize() > 0)
        if (! setHostedState (*instance, blob))
            log (instance_name + ":the saved state block of index " + juce::String (target) + " is damaged, not applied");

    if (values != nullptr)
    {
        log (instance_name + ": Setting parameters( " + juce::String (values->getNumAttributes()) + ")");
        const auto& parameters = instance->getParameters();
        for (int i = 0; i < values->getNumAttributes(); ++i)
        {
            const auto value = (float) std::atof (values->getAttributeValue (i).toRawUTF8());
            // Indices beyond the plug-in's own count are ignored.
            if (i < parameters.size())
                parameters.getUnchecked (i)->setValue (value);
        }
    }
    else
    {
        log ("parameter_sub_sub_element == NULL");
    }

    auto snapshot = std::make_unique<AudioProcessorState>();
    snapshot->storeAudioProcessorState (instance);
    plugin_states[(size_t) target] = std::move (snapshot);
}
