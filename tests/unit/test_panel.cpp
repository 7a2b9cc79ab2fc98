// The container's editor and main panel, driven as a user drives them, with
// real hosted fixture plug-ins and the real message loop (run under Xvfb).
#include "loading/PluginChooser.h"
#include "support/TestHelpers.h"
#include "FixtureSignal.h"
#include "console/KTDebugConsole.h"
#include "hosted_editor/MyHostAudioProcessorEditor.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "ui/GUI.h"
#include "ui/PluginContainerAudioProcessorEditor.h"
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <cstdlib>

using testing_support::runLoopFor;
using testing_support::runLoopUntil;

namespace
{
    // The control functions a fixture .so exports; the handle keeps it resident.
    struct FixtureLibrary
    {
        explicit FixtureLibrary (const char* path)
            : handle (dlopen (path, RTLD_NOW | RTLD_LOCAL))
        {
        }
        ~FixtureLibrary()
        {
            if (handle != nullptr)
                dlclose (handle);
        }

        template <typename Fn>
        Fn get (const char* name) const
        {
            return reinterpret_cast<Fn> (dlsym (handle, name));
        }

        int call (const char* name) const { return get<int (*)()> (name)(); }
        void run (const char* name) const { get<void (*)()> (name)(); }

        void* handle;
    };

    template <typename T>
    T* findByName (juce::Component& root, const juce::String& name)
    {
        for (auto* child : root.getChildren())
        {
            if (auto* match = dynamic_cast<T*> (child); match != nullptr && child->getName() == name)
                return match;
            if (auto* deeper = findByName<T> (*child, name))
                return deeper;
        }
        return nullptr;
    }

    template <typename T>
    T* findFirst (juce::Component& root, const std::function<bool (T&)>& accept)
    {
        for (auto* child : root.getChildren())
        {
            if (auto* match = dynamic_cast<T*> (child); match != nullptr && accept (*match))
                return match;
            if (auto* deeper = findFirst<T> (*child, accept))
                return deeper;
        }
        return nullptr;
    }

    // Clicks as the user does (posted to the message loop) and waits until the
    // click has been handled, including any modal loop it ran.
    void click (juce::Button& button)
    {
        ASSERT_TRUE (button.isEnabled()) << button.getName();
        bool handled = false;
        button.onClick = [&handled] { handled = true; };
        button.triggerClick();
        EXPECT_TRUE (runLoopUntil ([&] { return handled; }, 20000)) << button.getName();
        button.onClick = nullptr;
    }

    // Answers the next modal file chooser from inside its modal loop: with a
    // file (typed into the file name box, then "Open") or with "Cancel".
    class FileDialogAnswer : private juce::Timer
    {
    public:
        explicit FileDialogAnswer (juce::String fileToOpen)
            : file (std::move (fileToOpen))
        {
            startTimer (50);
        }
        ~FileDialogAnswer() override { stopTimer(); }

        bool answered = false;
        bool sawPluginList = false;
        juce::String dialogTitle;

    private:
        void timerCallback () override
        {
            // "Load new" first lists the installed plug-ins: pick a file by path.
            if (auto* window = dynamic_cast<juce::DialogWindow*> (juce::Component::getCurrentlyModalComponent()))
                if (auto* chooser = dynamic_cast<PluginChooserComponent*> (window->getContentComponent()))
                {
                    sawPluginList = true;
                    chooser->browse.triggerClick();
                    return;
                }

            auto* box = dynamic_cast<juce::FileChooserDialogBox*> (juce::Component::getCurrentlyModalComponent());
            if (box == nullptr || answered)
                return;

            dialogTitle = box->getName();
            answered = true;
            stopTimer();

            if (file.isNotEmpty())
            {
                auto* nameBox = findFirst<juce::TextEditor> (*box, [] (juce::TextEditor& e) { return ! e.isReadOnly(); });
                if (nameBox != nullptr)
                    nameBox->setText (file, true);
            }

            const juce::String caption = file.isNotEmpty() ? "Open" : "Cancel";
            if (auto* button = findFirst<juce::TextButton> (*box, [&] (juce::TextButton& b) { return b.getButtonText() == caption; }))
                button->triggerClick();
        }

        juce::String file;
    };

    struct PanelWindow
    {
        explicit PanelWindow (PluginContainerAudioProcessor& p)
        {
            editor = dynamic_cast<PluginContainerAudioProcessorEditor*> (p.createEditorIfNeeded());
            if (editor == nullptr)
                return;
            editor->setTopLeftPosition (40, 40);
            editor->addToDesktop (juce::ComponentPeer::windowHasTitleBar);
            editor->setVisible (true);
            gui = editor->getPanel();
        }

        ~PanelWindow() { close(); }

        // As a host's wrapper does: the processor lets go of its editor first.
        void close ()
        {
            if (editor == nullptr)
                return;
            editor->processor.editorBeingDeleted (editor);
            delete editor;
            editor = nullptr;
        }

        // Renders the editor as the host window would show it; runs the panel's paint.
        juce::Image paint () const { return editor->createComponentSnapshot (editor->getLocalBounds()); }

        PluginContainerAudioProcessorEditor* editor = nullptr;
        GUI* gui = nullptr;
    };

    struct Panel : ::testing::Test
    {
        void SetUp () override
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setPlayConfigDetails (0, 2, 44100.0, 512);
            processor->prepareToPlay (44100.0, 512);
            window = std::make_unique<PanelWindow> (*processor);
            ASSERT_NE (window->editor, nullptr);
            ASSERT_NE (window->gui, nullptr);
            gui = window->gui;
        }

        void TearDown () override
        {
            window.reset();
            processor.reset();
            runLoopFor (20);
        }

        void load (int index, const char* path, const char* subPlugin = "")
        {
            ASSERT_TRUE (processor->loadPlugin (index, path, subPlugin)) << path;
        }

        juce::Label& status (int index) const { return index == 0 ? *gui->loadedPlugin1 : *gui->loadedPlugin2; }
        juce::TextButton& edit (int index) const { return index == 0 ? *gui->plugin1Edit : *gui->plugin1Edit2; }
        juce::TextButton& unload (int index) const { return index == 0 ? *gui->pluginUnload0 : *gui->pluginUnload1; }
        juce::ToggleButton& active (int index) const { return index == 0 ? *gui->activatePlugin1 : *gui->activatePlugin2; }
        juce::GroupComponent& frame (int index) const { return index == 0 ? *gui->pluginGroup1 : *gui->pluginGroup2; }
        AudioPluginInstanceProgramComboBox& chooser (int index) const
        {
            return index == 0 ? *gui->programComboBox1 : *gui->programComboBox2;
        }

        void expectEmptySlot (int index) const
        {
            SCOPED_TRACE ("slot " + std::to_string (index));
            EXPECT_EQ (status (index).getText(), "Status: empty");
            EXPECT_EQ (status (index).findColour (juce::Label::textColourId), juce::Colours::white);
            EXPECT_EQ (edit (index).getButtonText(), "Edit");
            EXPECT_EQ (frame (index).getText(), "<none>");
            EXPECT_FALSE (edit (index).isEnabled());
            EXPECT_FALSE (active (index).isEnabled());
            EXPECT_FALSE (unload (index).isEnabled());
            EXPECT_FALSE (chooser (index).isEnabled());
            EXPECT_EQ (chooser (index).getNumItems(), 0);
            EXPECT_EQ (chooser (index).getTextWhenNoChoicesAvailable(), "(no programs)");
        }

        void expectHealthySlot (int index, const juce::String& name) const
        {
            SCOPED_TRACE ("slot " + std::to_string (index));
            EXPECT_EQ (status (index).getText(), "Status: OK");
            EXPECT_EQ (status (index).findColour (juce::Label::textColourId), juce::Colours::green);
            EXPECT_EQ (edit (index).getButtonText(), "Edit");
            EXPECT_EQ (frame (index).getText(), name);
            EXPECT_TRUE (edit (index).isEnabled());
            EXPECT_TRUE (active (index).isEnabled());
            EXPECT_TRUE (unload (index).isEnabled());
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        std::unique_ptr<PanelWindow> window;
        GUI* gui = nullptr;
    };

    int countColour (const juce::Image& image, juce::Rectangle<int> area, juce::Colour colour)
    {
        int n = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (image.getPixelAt (x, y).withAlpha (1.0f) == colour)
                    ++n;
        return n;
    }
}

TEST_F (Panel, ShellShowsTheFixedPanelWithItsControlsInOrder)
{
    EXPECT_EQ (window->editor->getWidth(), 368);
    EXPECT_EQ (window->editor->getHeight(), 384);
    EXPECT_EQ (gui->getBounds(), juce::Rectangle<int> (0, 0, 384, 600));
    EXPECT_EQ (window->editor->getNumChildComponents(), 1);

    struct Expected
    {
        const char* name;
        juce::Rectangle<int> bounds;
    };
    const Expected table[] = {
        { "new group", { 184, 64, 184, 200 } },
        { "new group", { 0, 64, 184, 200 } },
        { "plugin1LoadUnload", { 16, 112, 150, 24 } },
        { "loadedPlugin1", { 16, 80, 150, 24 } },
        { "plugin1Edit", { 16, 160, 150, 24 } },
        { "activatePlugin1", { 16, 232, 64, 24 } },
        { "plugin1LoadUnload2", { 200, 112, 150, 24 } },
        { "loadedPlugin1", { 210, 80, 150, 24 } },
        { "plugin1Edit2", { 200, 160, 150, 24 } },
        { "activatePlugin2", { 200, 232, 64, 24 } },
        { "new group", { 0, 264, 368, 120 } },
        { "consoleB", { 16, 280, 136, 24 } },
        { "autoSwitchB", { 16, 328, 160, 24 } },
        { "autoCrashRecoveryB", { 16, 304, 160, 24 } },
        { "reloadCrashedPluginDataB", { 16, 352, 192, 24 } },
        { "new group", { 0, 0, 368, 61 } },
        { "new combo box", { 16, 200, 150, 24 } },
        { "new combo box", { 200, 200, 150, 24 } },
        { "new label", { 208, 280, 136, 24 } },
        { "new label", { 184, 304, 190, 24 } },
        { "instanceName", { 16, 24, 336, 24 } },
        { "pluginUnload0", { 96, 232, 72, 24 } },
        { "pluginUnload1", { 280, 232, 72, 24 } },
        // Added after the classic controls, in each frame's free row.
        { "protectPlugin0", { 16, 136, 150, 24 } },
        { "protectPlugin1", { 200, 136, 150, 24 } },
        // The switch settings, in the options frame's free right-hand rows.
        { "switchFade", { 200, 328, 152, 24 } },
        { "letNotesRing", { 208, 352, 144, 24 } },
    };
    ASSERT_EQ (gui->getNumChildComponents(), 27);
    for (int i = 0; i < 27; ++i)
    {
        SCOPED_TRACE (i);
        EXPECT_EQ (gui->getChildComponent (i)->getName(), table[i].name);
        EXPECT_EQ (gui->getChildComponent (i)->getBounds(), table[i].bounds);
    }

    const juce::ToggleButton* options[] = { gui->consoleB.get(), gui->autoCrashRecoveryB.get(), gui->autoSwitchB.get(),
                                            gui->reloadCrashedPluginDataB.get() };
    ASSERT_EQ (gui->optionButtons.size(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ (gui->optionButtons[i], options[i]);

    EXPECT_EQ (gui->versionLabel->getText(), "Plugin Tamblit v1.0.2");
    EXPECT_EQ (gui->webLabel->getText(), "https://tamblit.example.org\n");
    EXPECT_EQ (gui->instanceName->getText(), "default instance");
    // Options as the processor holds them by default: off, off, on, on.
    EXPECT_FALSE (gui->consoleB->getToggleState());
    EXPECT_FALSE (gui->autoCrashRecoveryB->getToggleState());
    EXPECT_TRUE (gui->autoSwitchB->getToggleState());
    EXPECT_TRUE (gui->reloadCrashedPluginDataB->getToggleState());
}

TEST_F (Panel, EmptySlotsAreDisabledAndReadEmptyAfterPaint)
{
    // Before the first paint the construction texts are still there.
    EXPECT_EQ (gui->loadedPlugin1->getText(), "Plugin1: <none>");
    window->paint();
    expectEmptySlot (0);
    expectEmptySlot (1);
    EXPECT_TRUE (gui->plugin1LoadUnload->isEnabled());
    EXPECT_TRUE (gui->plugin1LoadUnload2->isEnabled());
    // The active index rests on empty slot 0: its tick shows, disabled.
    EXPECT_TRUE (gui->activatePlugin1->getToggleState());
    EXPECT_FALSE (gui->activatePlugin2->getToggleState());
}

TEST_F (Panel, LoadedSlotListsItsProgramsAndShowsOk)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    window->editor->updateGUI();
    window->paint();

    auto* plugin = processor->getAudioPluginInstance (0);
    ASSERT_NE (plugin, nullptr);
    expectHealthySlot (0, processor->getName (0));
    EXPECT_NE (processor->getName (0), "<none>");
    expectEmptySlot (1);

    auto& box = chooser (0);
    EXPECT_TRUE (box.isEnabled());
    ASSERT_EQ (box.getNumItems(), tamblit::fixtures::kNumPrograms);
    for (int i = 0; i < box.getNumItems(); ++i)
    {
        EXPECT_EQ (box.getItemId (i), i + 1);
        EXPECT_EQ (box.getItemText (i), juce::String (i) + ":" + tamblit::fixtures::kProgramNames[i]);
    }
    EXPECT_EQ (box.getSelectedId(), 1);
    EXPECT_EQ (box.getText(), "0:Init");
}

TEST_F (Panel, PluginWithoutProgramsLeavesItsChooserDisabledAndEmpty)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    window->editor->updateGUI();
    ASSERT_TRUE (chooser (0).isEnabled());

    // Replacing it by a plug-in without programs empties and disables the chooser.
    load (0, TAMBLIT_FIXTURE_BARE);
    window->editor->updateGUI();
    window->paint();
    expectHealthySlot (0, processor->getName (0));
    EXPECT_FALSE (chooser (0).isEnabled());
    EXPECT_EQ (chooser (0).getNumItems(), 0);
    EXPECT_EQ (chooser (0).getTextWhenNoChoicesAvailable(), "(no programs)");
}

TEST_F (Panel, ChooserFollowsTheCurrentProgramAndRenamesOnlyOnSelectionChange)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    window->editor->updateGUI();
    auto* plugin = processor->getAudioPluginInstance (0);
    auto& box = chooser (0);

    plugin->setCurrentProgram (1);
    plugin->changeProgramName (1, "Wobble");
    ASSERT_EQ (plugin->getProgramName (1), "Wobble");

    // Selection changes to program 1: its entry takes the current name.
    window->editor->updateGUI();
    EXPECT_EQ (box.getSelectedId(), 2);
    EXPECT_EQ (box.getItemText (1), "1:Wobble");
    EXPECT_EQ (box.getText(), "1:Wobble");

    // Selection already matches: a later rename stays unseen.
    plugin->changeProgramName (1, "Growl");
    window->editor->updateGUI();
    EXPECT_EQ (box.getItemText (1), "1:Wobble");
}

TEST_F (Panel, RebuildingTheListNeverResetsThePluginsProgram)
{
    FixtureLibrary synth (TAMBLIT_FIXTURE_SYNTH);
    load (0, TAMBLIT_FIXTURE_SYNTH);
    window->editor->updateGUI();
    ASSERT_EQ (chooser (0).getSelectedId(), 1);

    auto* plugin = processor->getAudioPluginInstance (0);
    plugin->setCurrentProgram (2);
    synth.run ("tamblit_fixture_reset_counters");

    // The rebuilt list has no selection until the next refresh; the
    // asynchronous report of that empty selection must not reach the plug-in.
    window->editor->reloadComboBoxPrograms (0);
    EXPECT_EQ (chooser (0).getSelectedItemIndex(), -1);
    runLoopFor (200);

    EXPECT_EQ (plugin->getCurrentProgram(), 2);
    EXPECT_EQ (synth.call ("tamblit_fixture_set_program_calls"), 0);
    EXPECT_EQ (synth.call ("tamblit_fixture_negative_set_program_calls"), 0);

    window->editor->updateGUI();
    EXPECT_EQ (chooser (0).getText(), "2:Lead");
}

TEST_F (Panel, ProgramPickedInTheInactiveSlotChangesOnlyThatPlugin)
{
    FixtureLibrary synth (TAMBLIT_FIXTURE_SYNTH);
    FixtureLibrary bridge (TAMBLIT_FIXTURE_BRIDGE);
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_BRIDGE);
    window->editor->updateGUI();
    ASSERT_EQ (processor->getActivePlugin(), 0);
    synth.run ("tamblit_fixture_reset_counters");
    bridge.run ("tamblit_fixture_reset_counters");

    // What the chooser's menu does when the user picks "2:Lead".
    chooser (1).setSelectedId (3, juce::sendNotificationAsync);
    ASSERT_TRUE (runLoopUntil ([&] { return processor->getAudioPluginInstance (1)->getCurrentProgram() == 2; }, 2000));
    runLoopFor (100); // the second report (selected-id Value) finds nothing to do

    EXPECT_EQ (bridge.call ("tamblit_fixture_set_program_calls"), 1);
    EXPECT_EQ (bridge.call ("tamblit_fixture_last_set_program"), 2);
    EXPECT_EQ (processor->getAudioPluginInstance (0)->getCurrentProgram(), 0);
    EXPECT_EQ (synth.call ("tamblit_fixture_set_program_calls"), 0);
    EXPECT_EQ (processor->getActivePlugin(), 0);
}

TEST_F (Panel, ActiveTogglesMoveTheActiveSlotAndRefuseToTurnOff)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_SYNTH8);
    window->editor->updateGUI();
    ASSERT_TRUE (active (0).getToggleState());

    // The already active slot: flips off for a moment, the refresh puts it back.
    click (active (0));
    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_TRUE (active (0).getToggleState());
    EXPECT_FALSE (active (1).getToggleState());

    auto* first = processor->getAudioPluginInstance (0);
    click (active (1));
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_FALSE (active (0).getToggleState());
    EXPECT_TRUE (active (1).getToggleState());
    // The other slot keeps its plug-in and its controls.
    window->paint();
    EXPECT_EQ (processor->getAudioPluginInstance (0), first);
    expectHealthySlot (0, processor->getName (0));
    expectHealthySlot (1, processor->getName (1));
}

TEST_F (Panel, CrashFoundByTheWatchdogShowsRecoverAndRecoverBringsItBack)
{
    FixtureLibrary bridge (TAMBLIT_FIXTURE_BRIDGE);
    load (0, TAMBLIT_FIXTURE_BRIDGE);
    window->editor->updateGUI();
    window->paint();
    expectHealthySlot (0, processor->getName (0));

    bridge.run ("tamblit_fixture_crash_all");
    ASSERT_TRUE (runLoopUntil ([&] { return processor->isPluginCrashed (0); }, 3000));

    window->paint();
    EXPECT_EQ (status (0).getText(), "Status: CRASHED");
    EXPECT_EQ (status (0).findColour (juce::Label::textColourId), juce::Colours::red);
    EXPECT_EQ (edit (0).getButtonText(), "Recover");
    expectEmptySlot (1);

    click (edit (0));
    EXPECT_FALSE (processor->isPluginCrashed (0));
    auto* recovered = processor->getAudioPluginInstance (0);
    ASSERT_NE (recovered, nullptr);
    // A fresh instance from the same file: the probe finds it healthy again.
    EXPECT_FALSE (processor->checkIfPluginCrashed (0));
    EXPECT_EQ (processor->getPluginFilePath (0), TAMBLIT_FIXTURE_BRIDGE);
    EXPECT_EQ (processor->getHostedEditor (0), nullptr); // recovered, not opened for editing

    window->paint();
    expectHealthySlot (0, processor->getName (0));
}

TEST_F (Panel, EditOnAHealthySlotOpensItsEditorNotARecovery)
{
    load (0, TAMBLIT_FIXTURE_EDITOR);
    window->editor->updateGUI();
    auto* plugin = processor->getAudioPluginInstance (0);

    click (edit (0));
    ASSERT_NE (processor->getHostedEditor (0), nullptr);
    EXPECT_EQ (processor->getHostedEditor (0)->plugin, plugin);
    EXPECT_EQ (processor->getAudioPluginInstance (0), plugin);
    processor->getHostedEditor (0)->closeTheEditor();
}

TEST_F (Panel, StateRestoreRefreshesTheOpenPanel)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_BRIDGE);
    processor->getAudioPluginInstance (1)->setCurrentProgram (3);
    processor->setInstanceName ("Saved");
    processor->setOption (1, true);
    ASSERT_TRUE (processor->changeActivePlugin (1));
    juce::MemoryBlock saved;
    processor->getStateInformation (saved);

    auto restored = std::make_unique<PluginContainerAudioProcessor>();
    restored->setPlayConfigDetails (0, 2, 44100.0, 512);
    {
        PanelWindow restoredWindow (*restored);
        ASSERT_NE (restoredWindow.gui, nullptr);
        auto& panel = *restoredWindow.gui;
        ASSERT_FALSE (panel.programComboBox2->isEnabled());

        restored->setStateInformation (saved.getData(), (int) saved.getSize());
        restoredWindow.paint();

        EXPECT_EQ (panel.instanceName->getText(), "Saved");
        EXPECT_EQ (panel.pluginGroup1->getText(), processor->getName (0));
        EXPECT_EQ (panel.pluginGroup2->getText(), processor->getName (1));
        EXPECT_FALSE (panel.activatePlugin1->getToggleState());
        EXPECT_TRUE (panel.activatePlugin2->getToggleState());
        EXPECT_TRUE (panel.autoCrashRecoveryB->getToggleState());
        EXPECT_EQ (panel.loadedPlugin2->getText(), "Status: OK");
        EXPECT_TRUE (panel.programComboBox2->isEnabled());
        EXPECT_EQ (panel.programComboBox2->getText(), "3:Pad");
        EXPECT_TRUE (panel.pluginUnload0->isEnabled());
    }
    restored.reset();
}

TEST_F (Panel, ConsoleToggleReachesEveryInstanceAtItsNextRefresh)
{
    auto other = std::make_unique<PluginContainerAudioProcessor>();
    PanelWindow otherWindow (*other);
    ASSERT_NE (otherWindow.gui, nullptr);
    ASSERT_FALSE (otherWindow.gui->consoleB->getToggleState());

    click (*gui->consoleB);
    EXPECT_TRUE (processor->getOption (0));
    EXPECT_TRUE (other->getOption (0));
    ASSERT_NE (ktdebugconsole(), nullptr);
    EXPECT_TRUE (ktdebugconsole()->hasWindow());

    EXPECT_FALSE (otherWindow.gui->consoleB->getToggleState()); // no polling
    otherWindow.editor->updateGUI();
    EXPECT_TRUE (otherWindow.gui->consoleB->getToggleState());

    click (*otherWindow.gui->consoleB);
    EXPECT_FALSE (processor->getOption (0));
    EXPECT_FALSE (ktdebugconsole()->hasWindow());

    otherWindow.close();
    other.reset();
}

TEST_F (Panel, OptionTogglesWriteTheirOwnIndex)
{
    // Creation order differs from option order; each toggle must hit its own option.
    const std::pair<juce::ToggleButton*, int> table[] = {
        { gui->autoCrashRecoveryB.get(), 1 },
        { gui->autoSwitchB.get(), 2 },
        { gui->reloadCrashedPluginDataB.get(), 3 },
    };
    for (auto& [toggle, option] : table)
    {
        SCOPED_TRACE (option);
        const bool before = processor->getOption (option);
        click (*toggle);
        EXPECT_EQ (processor->getOption (option), ! before);
        EXPECT_EQ (toggle->getToggleState(), ! before);
        for (int other = 1; other < 4; ++other)
        {
            if (other != option)
            {
                EXPECT_EQ (gui->optionButtons[other]->getToggleState(), processor->getOption (other));
            }
        }
    }
}

// The switch settings are shown as the processor holds them (after a restore
// too, with a length the chooser does not offer) and reach it when changed.
TEST_F (Panel, SwitchSettingsShowAndReachTheProcessor)
{
    window->editor->updateGUI();
    EXPECT_EQ (gui->switchFade->getText(), "Switch fade: 20 ms");
    EXPECT_FALSE (gui->letNotesRing->getToggleState());

    gui->switchFade->setSelectedId (5 + 1, juce::sendNotificationSync);
    EXPECT_EQ (processor->getSwitchFadeMs(), 5);
    gui->switchFade->setSelectedId (0 + 1, juce::sendNotificationSync);
    EXPECT_EQ (processor->getSwitchFadeMs(), 0);
    EXPECT_EQ (gui->switchFade->getText(), "Switch: cut");
    click (*gui->letNotesRing);
    EXPECT_TRUE (processor->getLetNotesRing());

    const juce::String document = "<pluginData><main_plugin activePlugin=\"0\" switchFadeMs=\"35\" letNotesRing=\"0\"/></pluginData>";
    processor->setStateInformation (document.toRawUTF8(), (int) document.getNumBytesAsUTF8());
    ASSERT_TRUE (runLoopUntil ([&] { return processor->getSwitchFadeMs() == 35; }, 3000));
    window->editor->updateGUI();
    EXPECT_EQ (gui->switchFade->getText(), "Switch fade: 35 ms");
    EXPECT_FALSE (gui->letNotesRing->getToggleState());
}

TEST_F (Panel, InstanceNameTypedAndCommittedReachesTheProcessor)
{
    auto& label = *gui->instanceName;

    // Return commits.
    label.showEditor();
    auto* field = label.getCurrentTextEditor();
    ASSERT_NE (field, nullptr);
    field->setText ("Studio A", true);
    field->keyPressed (juce::KeyPress (juce::KeyPress::returnKey));
    EXPECT_TRUE (runLoopUntil ([&] { return ! label.isBeingEdited(); }, 2000));
    EXPECT_EQ (processor->getInstanceName(), "Studio A");

    // Escape discards.
    label.showEditor();
    label.getCurrentTextEditor()->setText ("Discarded", true);
    label.getCurrentTextEditor()->keyPressed (juce::KeyPress (juce::KeyPress::escapeKey));
    EXPECT_TRUE (runLoopUntil ([&] { return ! label.isBeingEdited(); }, 2000));
    EXPECT_EQ (label.getText(), "Studio A");
    EXPECT_EQ (processor->getInstanceName(), "Studio A");

    // A refresh shows the processor's name without writing it back.
    processor->setInstanceName ("From host");
    window->editor->updateGUI();
    EXPECT_EQ (label.getText(), "From host");
    EXPECT_EQ (processor->getInstanceName(), "From host");
}

TEST_F (Panel, PointerEnteringThePanelRefreshesIt)
{
    processor->setInstanceName ("Changed elsewhere");
    ASSERT_NE (gui->instanceName->getText(), "Changed elsewhere");

    // Pointer motion as the window's peer reports it: from outside the panel's
    // controls to the gap between the two columns, where only group frames lie.
    auto* peer = window->editor->getPeer();
    ASSERT_NE (peer, nullptr);
    const auto move = [peer] (float x, float y)
    {
        peer->handleMouseEvent (juce::MouseInputSource::InputSourceType::mouse, { x, y }, juce::ModifierKeys(),
                                juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                                juce::Time::currentTimeMillis());
    };
    move (60.0f, 36.0f); // over the instance name label
    runLoopFor (50);
    ASSERT_NE (gui->instanceName->getText(), "Changed elsewhere");
    move (184.0f, 150.0f);
    EXPECT_TRUE (runLoopUntil ([&] { return gui->instanceName->getText() == "Changed elsewhere"; }, 3000));
}

TEST_F (Panel, LoadNewAsksForAFileAndCancelLeavesTheSlotEmpty)
{
    FileDialogAnswer cancel ({});
    click (*gui->plugin1LoadUnload2);
    EXPECT_TRUE (cancel.sawPluginList);
    EXPECT_TRUE (cancel.answered);
    EXPECT_EQ (cancel.dialogTitle, "Please select a VST2.x plugin...");
    EXPECT_EQ (processor->getAudioPluginInstance (1), nullptr);
    window->paint();
    expectEmptySlot (1);
}

TEST_F (Panel, LoadNewLoadsTheChosenFileAndUnloadEmptiesTheSlot)
{
    {
        FileDialogAnswer open (TAMBLIT_FIXTURE_SYNTH);
        click (*gui->plugin1LoadUnload2);
        EXPECT_TRUE (open.answered);
    }
    auto* plugin = processor->getAudioPluginInstance (1);
    ASSERT_NE (plugin, nullptr);
    EXPECT_EQ (processor->getPluginFilePath (1), TAMBLIT_FIXTURE_SYNTH);

    // The click's refresh already selected the new plug-in's current program.
    window->paint();
    expectHealthySlot (1, processor->getName (1));
    expectEmptySlot (0);
    EXPECT_EQ (chooser (1).getNumItems(), tamblit::fixtures::kNumPrograms);
    EXPECT_EQ (chooser (1).getText(), "0:Init");
    EXPECT_EQ (processor->getActivePlugin(), 0);

    click (unload (1));
    EXPECT_EQ (processor->getAudioPluginInstance (1), nullptr);
    window->paint();
    expectEmptySlot (1);
}

TEST_F (Panel, RendersOneHealthyAndOneCrashedSlot)
{
    FixtureLibrary bridge (TAMBLIT_FIXTURE_BRIDGE);
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_BRIDGE);
    processor->setInstanceName ("Studio A");
    window->editor->updateGUI();

    bridge.run ("tamblit_fixture_crash_all");
    ASSERT_TRUE (runLoopUntil ([&] { return processor->isPluginCrashed (1); }, 3000));
    ASSERT_EQ (processor->getActivePlugin(), 0); // the healthy slot stays active

    window->paint();
    const auto image = window->paint(); // second pass shows the texts the first one set
    ASSERT_EQ (image.getWidth(), 368);
    ASSERT_EQ (image.getHeight(), 384);

    // Panel background between the columns; green and red status texts in their lines.
    EXPECT_EQ (image.getPixelAt (176, 270).withAlpha (1.0f), juce::Colour (0xff333333));
    EXPECT_GT (countColour (image, gui->loadedPlugin1->getBounds(), juce::Colours::green), 20);
    EXPECT_EQ (countColour (image, gui->loadedPlugin1->getBounds(), juce::Colours::red), 0);
    EXPECT_GT (countColour (image, gui->loadedPlugin2->getBounds(), juce::Colours::red), 20);
    EXPECT_EQ (edit (1).getButtonText(), "Recover");

    if (const char* write = std::getenv ("TAMBLIT_WRITE_PANEL_PNG"); write != nullptr && *write != 0)
    {
        const juce::File target (juce::String (TAMBLIT_SOURCE_DIR) + "/docs/panel.png");
        target.getParentDirectory().createDirectory();
        target.deleteFile();
        juce::FileOutputStream out (target);
        ASSERT_TRUE (out.openedOk());
        ASSERT_TRUE (juce::PNGImageFormat().writeImageToStream (image, out));
    }
}
