#pragma once

#include "PluginCatalogue.h"
#include <juce_gui_basics/juce_gui_basics.h>

// "Load new": the installed plug-ins by name, maker, format and kind, with a
// search field, the candidates that failed to scan below them, and a way to
// pick a VST 2.x file by path instead.
struct PluginChoice
{
    enum class Kind
    {
        cancelled,
        plugin, // identifier and pluginName name it
        browse // the user asked to pick a VST 2.x file
    };
    Kind kind = Kind::cancelled;
    juce::String identifier, pluginName;
};

class PluginChooserComponent : public juce::Component, private juce::ListBoxModel
{
public:
    explicit PluginChooserComponent (pluginCatalogue::Catalogue catalogue);

    void setSearchText (const juce::String& text);
    int getNumShownPlugins () const { return (int) shown.size(); }
    int getNumFailedShown () const { return (int) catalogue.failed.size(); }
    // The row's text as the list draws it.
    juce::String describeRow (int row) const;
    void selectRow (int row);
    PluginChoice choice () const;

    // Set when a button ends the choice; the window closes then.
    std::function<void (PluginChoice)> onDone;

    juce::TextEditor search;
    juce::ListBox list;
    juce::TextButton load { "Load" }, browse { "Browse for a VST 2.x file..." }, cancel { "Cancel" };

    void resized () override;

private:
    int getNumRows () override;
    void paintListBoxItem (int row, juce::Graphics& g, int width, int height, bool selected) override;
    void listBoxItemDoubleClicked (int row, const juce::MouseEvent&) override;
    void selectedRowsChanged (int row) override;
    void refilter ();

    pluginCatalogue::Catalogue catalogue;
    std::vector<size_t> shown; // indices of the plug-ins that match the search
};

// Scans (with a progress window when anything needs describing) and asks.
// Runs modal loops on the message thread.
PluginChoice choosePluginToLoad ();
