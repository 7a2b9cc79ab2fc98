// The container's saved state: a pluginData XML document stored as UTF-8 text.
//
// Hosts save and restore from threads of their own, and some hosts drive the
// container's message loop from their main thread while another of their
// threads holds a lock that main thread waits for. So:
// - a save never needs the message thread: it reads the slots on the calling
//   thread under slot_lock, which the message thread holds only briefly and
//   never while it calls into the host;
// - a restore (which loads plug-ins and may ask the user) runs on the message
//   thread. A host thread hands it over and waits only a bounded time; until it
//   has been applied, saves answer with the document handed over.
#include "PluginContainerAudioProcessor.h"
#include "../console/KTDebugConsole.h"
#include "../console/KTDebugConsoleWindow.h"
#include "../crash/AudioProcessorState.h"
#include "../loading/GenericAudioPluginLoader.h"
#include "StateXmlParser.h"
#include <cmath>
#include <cstdlib>

namespace
{
    // How long a host thread waits: for the message thread to take up a restore,
    // for it to finish one, and for the slots to be free for a save.
    constexpr int restoreStartTimeoutMs = 1000;
    constexpr int restoreFinishTimeoutMs = 30000;
    constexpr int saveLockTimeoutMs = 3000;

    // Console bounds beyond these are damage: no screen shows them.
    constexpr int maximumConsoleCoordinate = 16384;
    constexpr int maximumConsoleSize = 16384;

    bool onMessageThread()
    {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();
        return mm == nullptr || mm->isThisTheMessageThread();
    }

    juce::String tagPrefix (const StateXmlElement& element)
    {
        return element.tag.upToFirstOccurrenceOf (":", false, false);
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

    // Takes `lock` within `timeoutMs`; false if it stayed held.
    bool enterWithin (juce::CriticalSection& lock, int timeoutMs)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
        for (;;)
        {
            if (lock.tryEnter())
                return true;
            if (juce::Time::getMillisecondCounter() >= deadline)
                return false;
            juce::Thread::sleep (1);
        }
    }

    struct ConsoleLook
    {
        juce::String productName;
        int x, y, w, h;
    };
}

void PluginContainerAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    {
        const juce::ScopedLock pl (pending_lock);
        if (restore_pending)
        {
            log (getInstanceName() + ":getStateInformation");
            log (getInstanceName() + ":a restore is under way, answering with its document");
            destData.insert (pending_document.getData(), pending_document.getSize(), 0);
            return;
        }
    }

    writeStateDocument (destData);
}

void PluginContainerAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 0)
    {
        log (getInstanceName() + ":setStateInformation");
        log (getInstanceName() + ":no state data, nothing restored");
        return;
    }

    juce::uint64 generation = 0;
    {
        const juce::ScopedLock pl (pending_lock);
        pending_document = juce::MemoryBlock (data, (size_t) sizeInBytes);
        restore_pending = true;
        generation = ++pending_generation;
    }

    if (onMessageThread())
    {
        applyPendingRestore();
        return;
    }

    // Handed to the message thread. The host thread waits for it, but never
    // without bound: the thread that runs the container's messages may itself be
    // waiting for this host thread.
    pending_restore.triggerAsyncUpdate();
    const auto started = juce::Time::getMillisecondCounter();
    for (;;)
    {
        if (applied_generation.load() >= generation)
            return;
        const auto waited = juce::Time::getMillisecondCounter() - started;
        if ((waited > (juce::uint32) restoreStartTimeoutMs && started_generation.load() < generation)
            || waited > (juce::uint32) restoreFinishTimeoutMs)
            break;
        juce::Thread::sleep (1);
    }
    log (getInstanceName() + ":setStateInformation: the message thread has not taken the state yet; it is restored when it does");
}

void PluginContainerAudioProcessor::applyPendingRestore()
{
    // A restore may run dialogs whose nested loops come back here: the outer
    // call picks up whatever arrives meanwhile.
    if (applying_restore)
        return;
    const juce::ScopedValueSetter<bool> applying (applying_restore, true);

    for (;;)
    {
        juce::MemoryBlock document;
        juce::uint64 generation = 0;
        {
            const juce::ScopedLock pl (pending_lock);
            if (! restore_pending)
                return;
            document = pending_document;
            generation = pending_generation;
        }

        started_generation = generation;
        readStateDocument (document.getData(), (int) document.getSize());

        const juce::ScopedLock pl (pending_lock);
        applied_generation = generation;
        if (generation == pending_generation)
        {
            restore_pending = false;
            pending_document.reset();
            return;
        }
    }
}

bool PluginContainerAudioProcessor::isSlotHealthy (int index)
{
    if (plugin_crashed[(size_t) index] || slot_recovering[(size_t) index])
        return false;

    // A bridged plug-in may have died since the watchdog last asked.
    if (probeBridge (index))
    {
        plugin_crashed[(size_t) index] = true;
        return false;
    }
    return true;
}

void PluginContainerAudioProcessor::writeStateDocument (juce::MemoryBlock& destData)
{
    const auto name = getInstanceName();
    log (name + ":getStateInformation");

    if (! enterWithin (slot_lock, saveLockTimeoutMs))
    {
        // Never an empty answer while slots are loaded: the host would store it
        // and a later restore would empty both slots.
        const juce::ScopedLock pl (pending_lock);
        if (last_document.getSize() > 0)
        {
            log (name + ":the slots are busy, answering with the state saved last");
            destData.insert (last_document.getData(), last_document.getSize(), 0);
        }
        else
        {
            log (name + ":the slots are busy and nothing was saved before, no state given");
        }
        return;
    }
    struct Leave { juce::CriticalSection& lock; ~Leave() { lock.exit(); } } leave { slot_lock };

    juce::XmlElement root ("pluginData");
    auto* main = new juce::XmlElement ("main_plugin");
    main->setAttribute ("activePlugin", active_plugin);

    for (int option = 0; option < 4; ++option)
        main->setAttribute ("optionB" + juce::String (option), getOption (option) ? 1 : 0);

    main->setAttribute ("instanceName", name);

    ktdebugconsolesizeset = false;

    if (auto* theConsole = ktdebugconsole())
    {
        main->setAttribute ("windowName", theConsole->getProductName());

        // Only the message thread may ask the window; elsewhere the bounds the
        // window last reported stand.
        if (onMessageThread())
            if (auto* window = theConsole->getWindow())
                theConsole->rememberBounds (window->getBounds());

        const auto bounds = theConsole->getRememberedBounds();
        main->setAttribute ("x", bounds.getX());
        main->setAttribute ("y", bounds.getY());
        main->setAttribute ("w", bounds.getWidth());
        main->setAttribute ("h", bounds.getHeight());
    }

    root.addChildElement (main);

    for (int index = 0; index < 2; ++index)
        if (auto* element = createSlotElement (index))
            root.addChildElement (element);

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    const auto text = root.createDocument ({}, false, true, "UTF-8", 60);
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE

    const auto bytes = text.getNumBytesAsUTF8();
    log (name + ":bytes: " + juce::String ((int) bytes));
    log (name + ":ChildElements: " + juce::String (root.getNumChildElements()));

    destData.insert (text.toRawUTF8(), bytes, 0);
    {
        const juce::ScopedLock pl (pending_lock);
        last_document = juce::MemoryBlock (text.toRawUTF8(), bytes);
    }
    log (name + ":destData bytes: " + juce::String ((int) destData.getSize()));
}

// The slot's element, with slot_lock held. A healthy plug-in is asked for its
// state, which becomes the slot's snapshot; an unhealthy one (crashed, being
// reloaded, or gone after a failed reload) is written from its last good
// snapshot, which stays as it is.
juce::XmlElement* PluginContainerAudioProcessor::createSlotElement (int index)
{
    auto* loader = plugin_loaders[(size_t) index].get();

    if (loader == nullptr)
    {
        if (plugin_states[(size_t) index] == nullptr || slot_origins[(size_t) index].filePath.isEmpty())
            return nullptr;
        log (getInstanceName() + ":index " + juce::String (index) + " is empty after a failed reload, saving its last good state");
        return createSlotElementFromSnapshot (index);
    }

    if (! isSlotHealthy (index))
    {
        log (getInstanceName() + ":index " + juce::String (index) + " has crashed or is being reloaded, saving its last good state");
        return createSlotElementFromSnapshot (index);
    }

    auto snapshot = std::make_unique<AudioProcessorState>();
    snapshot->storeAudioProcessorState (loader->plugin_instance.get());

    // Died while it was asked: what it answered is not its state.
    if (! isSlotHealthy (index))
        log (getInstanceName() + ":index " + juce::String (index) + " crashed while saving, saving its last good state");
    else
        plugin_states[(size_t) index] = std::move (snapshot);

    return createSlotElementFromSnapshot (index);
}

// Every slot is written from what it was loaded from and its snapshot, so a
// healthy plug-in and one that no longer answers are saved alike.
juce::XmlElement* PluginContainerAudioProcessor::createSlotElementFromSnapshot (int index)
{
    const auto& origin = slot_origins[(size_t) index];
    auto* snapshot = plugin_states[(size_t) index].get();

    auto* element = new juce::XmlElement ("plugin");
    element->setAttribute ("index", index);
    element->setAttribute ("filePath", origin.filePath);
    element->setAttribute ("numInputs", origin.numInputs);
    element->setAttribute ("numOutputs", origin.numOutputs);
    element->setAttribute ("name", origin.displayName);

    if (snapshot == nullptr)
    {
        // Crashed before any save or restore: only the plug-in itself is known.
        log (getInstanceName() + ":index " + juce::String (index) + " has no good state to save, saving the plugin only");
        element->setAttribute ("numParams", 0);
        element->setAttribute ("loadedPluginName", origin.pluginName);
        element->setAttribute ("binDataSize", 0);
        element->setAttribute ("binData", juce::MemoryBlock().toBase64Encoding());
        log ("binary data size: 0");
        return element;
    }

    element->setAttribute ("numParams", snapshot->parameters.size());
    if (snapshot->current_program != -1)
        element->setAttribute ("currentProgram", snapshot->current_program);
    element->setAttribute ("loadedPluginName", origin.pluginName);

    element->setAttribute ("binDataSize", (int) snapshot->state_data.getSize());
    element->setAttribute ("binData", snapshot->state_data.toBase64Encoding());
    log ("binary data size: " + juce::String ((int) snapshot->state_data.getSize()));

    if (snapshot->parameters.size() > 0)
    {
        auto* values = new juce::XmlElement ("f_parameters");
        element->addChildElement (values);
        for (int i = 0; i < snapshot->parameters.size(); ++i)
            values->setAttribute ("param" + juce::String (i), (double) snapshot->parameters.getUnchecked (i));
    }
    return element;
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

    StateXmlResult parsed;
    auto root = parseStateXml (text.toRawUTF8(), text.getNumBytesAsUTF8(), &parsed);

    // A blob that does not parse restores nothing: the slots keep what they hold.
    if (parsed == StateXmlResult::tooLarge)
    {
        log (instance_name + ":state data has more than " + juce::String (state_xml_limits::maximumElements) + " elements, "
             + juce::String (state_xml_limits::maximumAttributesPerElement) + " attributes in one element, "
             + juce::String (state_xml_limits::maximumAttributes) + " attributes in all or "
             + juce::String (state_xml_limits::maximumDepth) + " levels, nothing restored");
        return;
    }

    if (root == nullptr)
    {
        log (instance_name + ":state data is not a well-formed XML document, nothing restored");
        return;
    }

    if (root->tag != "pluginData")
    {
        log (instance_name + ":state data is not a pluginData document, nothing restored");
        return;
    }

    log (instance_name + ":Analyzing " + juce::String (root->getNumChildElements()) + " child elements.");

    bool claimed[2] = { false, false };
    bool named[2] = { false, false };

    for (auto& child : root->children)
    {
        const auto prefix = tagPrefix (*child);
        log (instance_name + ":sub_element->getNamespace(): " + prefix);
        log ("NumAttributes(): " + juce::String (child->getNumAttributes()));

        if (prefix == "main_plugin")
            applyMainPluginElement (*child);
        else if (prefix == "plugin")
            restoreSlotFromElement (*child, claimed, named);
    }

    log (instance_name + ":active_plugin index: " + juce::String (active_plugin));

    for (int index = 0; index < 2; ++index)
        if (! claimed[index] && plugin_loaders[(size_t) index] != nullptr)
            unloadPlugin (index, false, false);

    refreshEditor();
}

void PluginContainerAudioProcessor::applyMainPluginElement (const StateXmlElement& element)
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
        setInstanceName (valueAt (5));

    if (ktdebugconsole() != nullptr && count > 10 && ! ktdebugconsolesizeset)
    {
        ktdebugconsole()->setProductName (valueAt (6));
        int x = atoiOf (valueAt (7));
        int y = atoiOf (valueAt (8));
        int w = atoiOf (valueAt (9));
        int h = atoiOf (valueAt (10));

        if (x != -1 && y != -1 && w != -1 && h != -1)
        {
            const auto clamped = juce::Rectangle<int> (juce::jlimit (-maximumConsoleCoordinate, maximumConsoleCoordinate, x),
                                                       juce::jlimit (-maximumConsoleCoordinate, maximumConsoleCoordinate, y),
                                                       juce::jlimit (1, maximumConsoleSize, w),
                                                       juce::jlimit (1, maximumConsoleSize, h));
            if (clamped != juce::Rectangle<int> (x, y, w, h))
                log (instance_name + ":console bounds " + juce::String (x) + ", " + juce::String (y) + ", " + juce::String (w) + ", "
                     + juce::String (h) + " are off any screen, clamped");

            ktdebugconsole()->rememberBounds (clamped);
            if (auto* window = ktdebugconsole()->getWindow())
                window->setBounds (clamped);
            ktdebugconsolesizeset = true;
        }
    }
}

void PluginContainerAudioProcessor::restoreSlotFromElement (const StateXmlElement& element, bool (&claimed)[2], bool (&named)[2])
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
        const auto& name = element.getAttributeName (i);
        const auto& value = element.getAttributeValue (i);

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

    // One plug-in per slot: a later element for the same slot is damage.
    if (named[target])
    {
        log (instance_name + ":ignoring a second plugin element for index " + juce::String (target));
        return;
    }
    named[target] = true;

    claimed[target] = true;
    unloadPlugin (target, false, false);
    log ("loading in index: " + juce::String (target) + " " + filePath + " " + pluginName);

    if (! loadPlugin (target, filePath, pluginName))
    {
        claimed[target] = false;
        return;
    }

    auto* instance = getAudioPluginInstance (target);

    // The slot's snapshot is what the document says, whatever the plug-in makes
    // of it: one that crashes or drops its state while taking it must not turn
    // the saved state into an empty snapshot.
    auto snapshot = std::make_unique<AudioProcessorState>();
    snapshot->current_program = instance->getNumPrograms() == 0 ? -1 : program;
    if (blob.getSize() > 0) // JUCE copies even an empty block's null data
        snapshot->state_data = blob;

    if (program != -1)
    {
        instance->setCurrentProgram (program);
        log ("Setting currentProgram to index " + juce::String (program));
    }

    if (blob.getSize() > 0)
    {
        if (! setHostedState (*instance, blob))
            log (instance_name + ":the saved state block of index " + juce::String (target) + " is damaged, not applied");
        else if (probeBridge (target))
            log (instance_name + ":index " + juce::String (target) + " crashed while taking its saved state block");
    }

    if (values != nullptr)
    {
        log (instance_name + ": Setting parameters( " + juce::String (values->getNumAttributes()) + ")");
        const auto& parameters = instance->getParameters();
        for (int i = 0; i < values->getNumAttributes(); ++i)
        {
            const auto value = (float) std::atof (values->getAttributeValue (i).toRawUTF8());
            // Indices beyond the plug-in's own count are ignored, and so are
            // values that are not numbers a parameter can take.
            if (i >= parameters.size())
                break;
            if (! std::isfinite (value))
            {
                log (instance_name + ":parameter " + juce::String (i) + " of index " + juce::String (target) + " is not a number, ignored");
                snapshot->parameters.add (parameters.getUnchecked (i)->getValue());
                continue;
            }
            parameters.getUnchecked (i)->setValue (value);
            snapshot->parameters.add (value);
        }
    }
    else
    {
        log ("parameter_sub_sub_element == NULL");
    }

    const juce::ScopedLock sl (slot_lock);
    plugin_states[(size_t) target] = std::move (snapshot);
}
