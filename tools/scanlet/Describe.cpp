#include "Describe.h"
#include <juce_audio_processors/juce_audio_processors.h>
#include <lilv/lilv.h>
#include <cstdio>
#include <unistd.h>

namespace
{
    int fail (const juce::String& message)
    {
        std::fprintf (stderr, "Scanlet64: %s\n", message.toRawUTF8());
        return 1;
    }

    juce::String textOf (const LilvNode* node)
    {
        return node != nullptr ? juce::String::fromUTF8 (lilv_node_as_string (node)) : juce::String();
    }

    // An LV2 bundle's plug-ins, read from its own metadata only: nothing of the
    // plug-in is loaded, and other bundles play no part.
    void describeLv2Bundle (const juce::File& bundle, juce::OwnedArray<juce::PluginDescription>& out)
    {
        LilvWorld* world = lilv_world_new();
        const auto folder = bundle.getFullPathName() + "/";
        LilvNode* bundleUri = lilv_new_file_uri (world, nullptr, folder.toRawUTF8());
        lilv_world_load_bundle (world, bundleUri);

        LilvNode* rdfType = lilv_new_uri (world, "http://www.w3.org/1999/02/22-rdf-syntax-ns#type");
        LilvNode* instrument = lilv_new_uri (world, "http://lv2plug.in/ns/lv2core#InstrumentPlugin");
        LilvNode* audioPort = lilv_new_uri (world, "http://lv2plug.in/ns/lv2core#AudioPort");
        LilvNode* inputPort = lilv_new_uri (world, "http://lv2plug.in/ns/lv2core#InputPort");
        LilvNode* outputPort = lilv_new_uri (world, "http://lv2plug.in/ns/lv2core#OutputPort");

        const LilvPlugins* plugins = lilv_world_get_all_plugins (world);
        LILV_FOREACH (plugins, i, plugins)
        {
            const LilvPlugin* plugin = lilv_plugins_get (plugins, i);
            if (! lilv_node_equals (lilv_plugin_get_bundle_uri (plugin), bundleUri))
                continue;

            auto description = std::make_unique<juce::PluginDescription>();
            description->pluginFormatName = "LV2";
            description->fileOrIdentifier = textOf (lilv_plugin_get_uri (plugin));
            LilvNode* name = lilv_plugin_get_name (plugin);
            description->name = description->descriptiveName = textOf (name);
            lilv_node_free (name);
            LilvNode* maker = lilv_plugin_get_author_name (plugin);
            description->manufacturerName = textOf (maker);
            lilv_node_free (maker);
            LilvNodes* types = lilv_plugin_get_value (plugin, rdfType);
            description->isInstrument = types != nullptr && lilv_nodes_contains (types, instrument);
            lilv_nodes_free (types);
            description->category = description->isInstrument ? "Instrument" : "Effect";
            description->numInputChannels = (int) lilv_plugin_get_num_ports_of_class (plugin, audioPort, inputPort, nullptr);
            description->numOutputChannels = (int) lilv_plugin_get_num_ports_of_class (plugin, audioPort, outputPort, nullptr);
            description->uniqueId = description->deprecatedUid = description->fileOrIdentifier.hashCode();
            if (description->name.isNotEmpty() && description->fileOrIdentifier.isNotEmpty())
                out.add (description.release());
        }

        for (auto* node : { rdfType, instrument, audioPort, inputPort, outputPort, bundleUri })
            lilv_node_free (node);
        lilv_world_free (world);
    }

    bool writeInPlace (const juce::XmlElement& xml, const juce::File& result)
    {
        const auto partial = result.getSiblingFile ("." + result.getFileName() + "." + juce::String (getpid()) + ".partial");
        partial.deleteFile();
        if (! xml.writeTo (partial))
        {
            partial.deleteFile();
            return false;
        }
        if (std::rename (partial.getFullPathName().toRawUTF8(), result.getFullPathName().toRawUTF8()) != 0)
        {
            partial.deleteFile();
            return false;
        }
        return true;
    }
}

int describeCandidate (const juce::String& format, const juce::String& candidate, const juce::File& result)
{
    juce::OwnedArray<juce::PluginDescription> found;
    if (format == "LV2")
    {
        describeLv2Bundle (juce::File (candidate), found);
    }
    else if (format == "VST3")
    {
        juce::VST3PluginFormat vst3;
        vst3.findAllTypesForFile (found, candidate);
    }
    else if (format == "VST")
    {
        juce::VSTPluginFormat vst;
        vst.findAllTypesForFile (found, candidate);
    }
    else
    {
        return fail ("unknown format " + format);
    }

    if (found.isEmpty())
        return fail ("no " + format + " plug-in described in " + candidate);

    juce::XmlElement list ("PLUGINS");
    for (auto* description : found)
        if (auto xml = description->createXml())
            list.addChildElement (xml.release());
    if (! writeInPlace (list, result))
        return fail ("cannot write " + result.getFullPathName());
    return 0;
}
