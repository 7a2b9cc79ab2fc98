#include "PluginChooser.h"
#include "ExternalScanner.h"

namespace
{
    juce::String kindOf (const juce::PluginDescription& description)
    {
        return description.isInstrument ? "Instrument" : "Effect";
    }

    juce::String formatCaption (const juce::String& format)
    {
        return format == "VST" ? juce::String ("VST 2.x") : format;
    }

    class ScanWindow : public juce::ThreadWithProgressWindow
    {
    public:
        ScanWindow()
            : juce::ThreadWithProgressWindow ("Scanning installed plug-ins", true, true)
        {
        }

        void run () override
        {
            pluginCatalogue::Options options;
            // The scanner ships beside the bridge, which TAMBLIT_BRIDGE_RESOURCES may place elsewhere.
            const auto resources = juce::SystemStats::getEnvironmentVariable ("TAMBLIT_BRIDGE_RESOURCES", {});
            options.scanner = juce::File::isAbsolutePath (resources) ? juce::File (resources).getChildFile ("Scanlet64")
                                                                     : expectedScannerLocation ("Scanlet64");
            options.cacheFile = pluginCatalogue::defaultCacheFile();
            options.progress = [this] (double done, const juce::String& candidate)
            {
                setProgress (done);
                setStatusMessage (candidate);
            };
            // Cancel ends the running scanner and its group at once; the list
            // then holds what was scanned (and what the cache knew).
            options.shouldStop = [this] { return threadShouldExit(); };
            result = pluginCatalogue::scan (pluginCatalogue::Folders::standard(), options);
        }

        pluginCatalogue::Catalogue result;
    };
}

PluginChooserComponent::PluginChooserComponent (pluginCatalogue::Catalogue c)
    : catalogue (std::move (c))
{
    std::sort (catalogue.plugins.begin(), catalogue.plugins.end(),
               [] (const auto& a, const auto& b) { return a.name.compareNatural (b.name, false) < 0; });

    search.setTextToShowWhenEmpty ("Search by name, maker, format or kind", juce::Colours::grey);
    search.onTextChange = [this] { refilter(); };
    list.setModel (this);
    list.setRowHeight (22);
    load.setEnabled (false);
    load.onClick = [this]
    {
        if (onDone)
            onDone (choice());
    };
    browse.onClick = [this]
    {
        if (onDone)
            onDone ({ PluginChoice::Kind::browse, {}, {} });
    };
    cancel.onClick = [this]
    {
        if (onDone)
            onDone ({});
    };
    for (auto* child : std::initializer_list<juce::Component*> { &search, &list, &load, &browse, &cancel })
        addAndMakeVisible (child);
    refilter();
    setSize (620, 440);
}

void PluginChooserComponent::resized()
{
    auto area = getLocalBounds().reduced (8);
    search.setBounds (area.removeFromTop (26));
    area.removeFromTop (6);
    auto buttons = area.removeFromBottom (28);
    area.removeFromBottom (6);
    list.setBounds (area);
    cancel.setBounds (buttons.removeFromRight (90));
    buttons.removeFromRight (6);
    load.setBounds (buttons.removeFromRight (90));
    browse.setBounds (buttons.removeFromLeft (220));
}

void PluginChooserComponent::setSearchText (const juce::String& text)
{
    // Without a change message: that one arrives later and would refilter (and
    // clear the selection) after the caller has chosen.
    search.setText (text, false);
    refilter();
}

void PluginChooserComponent::refilter()
{
    const auto words = juce::StringArray::fromTokens (search.getText(), true);
    shown.clear();
    for (size_t i = 0; i < catalogue.plugins.size(); ++i)
    {
        const auto& d = catalogue.plugins[i];
        const auto haystack = d.name + " " + d.manufacturerName + " " + formatCaption (d.pluginFormatName) + " " + d.pluginFormatName + " "
                              + kindOf (d);
        bool all = true;
        for (const auto& word : words)
            all = all && haystack.containsIgnoreCase (word);
        if (all)
            shown.push_back (i);
    }
    list.updateContent();
    list.deselectAllRows();
    load.setEnabled (false);
    list.repaint();
}

int PluginChooserComponent::getNumRows()
{
    return (int) (shown.size() + catalogue.failed.size());
}

juce::String PluginChooserComponent::describeRow (int row) const
{
    if (row >= 0 && row < (int) shown.size())
    {
        const auto& d = catalogue.plugins[shown[(size_t) row]];
        return d.name + "  -  " + (d.manufacturerName.isNotEmpty() ? d.manufacturerName : juce::String ("unknown maker")) + "  -  "
               + formatCaption (d.pluginFormatName) + "  -  " + kindOf (d);
    }
    const auto index = row - (int) shown.size();
    if (index >= 0 && index < (int) catalogue.failed.size())
    {
        const auto& f = catalogue.failed[(size_t) index];
        return "failed: " + f.candidate + " (" + formatCaption (f.format) + "): " + f.reason;
    }
    return {};
}

void PluginChooserComponent::paintListBoxItem (int row, juce::Graphics& g, int width, int height, bool selected)
{
    const bool failedRow = row >= (int) shown.size();
    if (selected && ! failedRow)
        g.fillAll (juce::Colours::lightblue);
    g.setColour (failedRow ? juce::Colours::grey : juce::Colours::black);
    g.setFont ((float) height * 0.6f);
    g.drawText (describeRow (row), 6, 0, width - 12, height, juce::Justification::centredLeft, true);
}

void PluginChooserComponent::selectedRowsChanged (int row)
{
    // Failed candidates are listed, never chosen.
    if (row >= (int) shown.size())
        list.deselectAllRows();
    load.setEnabled (list.getSelectedRow() >= 0 && list.getSelectedRow() < (int) shown.size());
}

void PluginChooserComponent::listBoxItemDoubleClicked (int row, const juce::MouseEvent&)
{
    if (row < (int) shown.size() && onDone)
        onDone (choice());
}

void PluginChooserComponent::selectRow (int row)
{
    list.selectRow (row);
}

PluginChoice PluginChooserComponent::choice() const
{
    const int row = list.getSelectedRow();
    if (row < 0 || row >= (int) shown.size())
        return {};
    const auto& d = catalogue.plugins[shown[(size_t) row]];
    return { PluginChoice::Kind::plugin, d.fileOrIdentifier, d.name };
}

PluginChoice choosePluginToLoad ()
{
    JUCE_ASSERT_MESSAGE_THREAD
    ScanWindow scanning;
    scanning.runThread();

    PluginChooserComponent chooser (std::move (scanning.result));
    PluginChoice answer;
    juce::DialogWindow::LaunchOptions launch;
    launch.dialogTitle = "Load a plugin";
    launch.content.setNonOwned (&chooser);
    launch.resizable = true;
    launch.useNativeTitleBar = true;
    launch.escapeKeyTriggersCloseButton = true;
    std::unique_ptr<juce::DialogWindow> window (launch.create());
    chooser.onDone = [&answer, &window] (PluginChoice chosen)
    {
        answer = std::move (chosen);
        if (window != nullptr)
            window->exitModalState (0);
    };
    window->runModalLoop();
    return answer;
}
