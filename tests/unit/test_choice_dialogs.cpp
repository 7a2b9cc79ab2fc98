// The three modal questions asked while loading, answered from the message loop
// by pressing the dialogs' own buttons. Needs an X display (Xvfb).
#include "loading/ChoiceDialogs.h"
#include "support/TestHelpers.h"
#include "test_loading_support.h"
#include <gtest/gtest.h>

using namespace loading_test;

namespace
{
    juce::DialogWindow* asChooser (juce::Component& c)
    {
        auto* window = dynamic_cast<juce::DialogWindow*> (&c);
        if (window == nullptr || dynamic_cast<comboBoxChooseComponent*> (window->getContentComponent()) == nullptr)
            return nullptr;
        return window;
    }

    comboBoxChooseComponent& chooserContent (juce::Component& c)
    {
        return *dynamic_cast<comboBoxChooseComponent*> (asChooser (c)->getContentComponent());
    }

    struct ChooserCase
    {
        const char* what;
        juce::StringArray options;
        int pickId; // 0: leave the preselection alone
        bool closeWithButton; // otherwise "OK"
        juce::String expected;
    };

    struct Seen
    {
        juce::String title;
        juce::StringArray items;
        int initialId = -1;
        juce::String noChoicesText;
        juce::Rectangle<int> contentBounds, comboBounds, buttonBounds;
        bool stillOpenAfterEscape = false;
        juce::Component::SafePointer<juce::Component> content;
    };
}

TEST (OptionChooser, AnswersAsPressed)
{
    const juce::StringArray five { "Alpha", "Beta", "Gamma", "Beta", "Delta" };
    const ChooserCase cases[] = {
        { "OK at once gives the preselected first option", five, 0, false, "Alpha" },
        { "third of five picked", five, 3, false, "Gamma" },
        { "last picked", five, 5, false, "Delta" },
        { "close button gives the first option", five, 0, true, "Alpha" },
        { "close button after a pick still gives the first option", five, 3, true, "Alpha" },
        { "second of two duplicates", { "Beta", "Beta" }, 2, false, "Beta" },
        { "empty list with OK", {}, 0, false, "" },
        { "empty list closed", {}, 0, true, "" },
    };

    for (auto& row : cases)
    {
        SCOPED_TRACE (row.what);
        Seen seen;
        DialogScript script;
        script.then ([] (juce::Component& c) { return asChooser (c) != nullptr; },
                     [&] (juce::Component& c)
                     {
                         auto& content = chooserContent (c);
                         seen.title = c.getName();
                         seen.content = &content;
                         seen.initialId = content.comboBox->getSelectedId();
                         for (int i = 0; i < content.comboBox->getNumItems(); ++i)
                             seen.items.add (content.comboBox->getItemText (i));
                         seen.noChoicesText = content.comboBox->getTextWhenNoChoicesAvailable();
                         seen.contentBounds = content.getBounds().withPosition (0, 0);
                         seen.comboBounds = content.comboBox->getBounds();
                         seen.buttonBounds = content.textButton->getBounds();

                         // Escape is not a way out of this dialog.
                         if (auto* peer = c.getPeer())
                             peer->handleKeyPress (juce::KeyPress (juce::KeyPress::escapeKey));
                         seen.stillOpenAfterEscape = c.isCurrentlyModal();

                         if (row.pickId != 0)
                             content.comboBox->setSelectedId (row.pickId, juce::sendNotificationSync);

                         if (row.closeWithButton)
                             asChooser (c)->getCloseButton()->triggerClick();
                         else
                             content.textButton->triggerClick();
                     });
        script.start();

        auto options = row.options;
        const auto answer = getOptionFromComboBox ("Please choose a plugin", options);

        EXPECT_FALSE (script.timedOut());
        ASSERT_TRUE (script.allStepsDone());
        EXPECT_EQ (answer, row.expected);
        EXPECT_EQ (seen.title, "Please choose a plugin");
        EXPECT_EQ (seen.items, row.options);
        EXPECT_EQ (seen.initialId, row.options.isEmpty() ? 0 : 1);
        EXPECT_EQ (seen.noChoicesText, "(no choices)");
        EXPECT_EQ (seen.contentBounds, juce::Rectangle<int> (0, 0, 500, 200));
        EXPECT_EQ (seen.comboBounds, juce::Rectangle<int> (16, 48, 464, 24));
        EXPECT_EQ (seen.buttonBounds, juce::Rectangle<int> (168, 112, 150, 24));
        EXPECT_TRUE (seen.stillOpenAfterEscape);
        // Everything the call built is gone when it returns.
        EXPECT_EQ (seen.content.getComponent(), nullptr);
        EXPECT_EQ (topModal(), nullptr);
    }
}

TEST (OptionChooser, ComponentAloneFillsAndConfirmsNothingOutsideADialog)
{
    comboBoxChooseComponent component;
    juce::StringArray options { "One", "Two" };
    component.addList (options);
    EXPECT_EQ (component.comboBox->getNumItems(), 2);
    EXPECT_EQ (component.comboBox->getItemId (1), 2);
    EXPECT_EQ (component.comboBox->getText(), "One");
    EXPECT_EQ (component.textButton->getButtonText(), "OK");
    EXPECT_EQ (component.groupComponent->getText(), "group");
    EXPECT_FALSE (component.comboBox->isTextEditable());
    // No enclosing dialog: pressing OK must simply do nothing.
    component.buttonClicked (component.textButton.get());
    component.comboBoxChanged (component.comboBox.get());
}

namespace
{
    struct TempPluginFolder
    {
        TempPluginFolder()
        {
            folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                         .getChildFile ("tamblit-dialogs-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()));
            folder.createDirectory();
            for (auto name : { "a.so", "b.SO", "c.dll", "notes.txt" })
                folder.getChildFile (name).replaceWithText ("x");
        }
        ~TempPluginFolder() { folder.deleteRecursively(); }
        juce::File folder;
    };

    juce::FileBrowserComponent* browserIn (juce::Component& c)
    {
        return findComponent<juce::FileBrowserComponent> (c);
    }

    juce::FileListComponent* listIn (juce::Component& c)
    {
        return findComponent<juce::FileListComponent> (c);
    }

    // Waits (inside the dialog's modal loop) until the browser's list is filled.
    juce::StringArray listedNames (juce::Component& dialog)
    {
        juce::StringArray names;
        auto* list = listIn (dialog);
        if (list == nullptr)
            return names;
        auto& contents = list->directoryContentsList;
        testing_support::runLoopUntil ([&] { return ! contents.isStillLoading(); }, 5000);
        for (int i = 0; i < contents.getNumFiles(); ++i)
            names.add (contents.getFile (i).getFileName());
        names.sort (false);
        return names;
    }
}

TEST (ManualLocationDialog, CancelGivesNoFile)
{
    TempPluginFolder temp;
    DialogScript script;
    script.then (windowNamed ("Open file"), press ("Cancel"));
    script.start();

    const auto file = getFile (temp.folder.getFullPathName(), "*.so;*.SO", "so files", "Choose a VST 2.x plugin");

    EXPECT_TRUE (script.allStepsDone());
    EXPECT_FALSE (script.timedOut());
    EXPECT_EQ (file.getFullPathName(), juce::String());
    EXPECT_FALSE (file.exists());
}

TEST (ManualLocationDialog, ListsBothCasesOfTheExtensionAndReturnsTheChosenFile)
{
    TempPluginFolder temp;
    juce::StringArray listed;
    juce::File root;

    DialogScript script;
    script.then (windowNamed ("Open file"),
                 [&] (juce::Component& dialog)
                 {
                     listed = listedNames (dialog);
                     if (auto* browser = browserIn (dialog))
                         root = browser->getRoot();
                     if (auto* list = listIn (dialog))
                         list->setSelectedFile (temp.folder.getChildFile ("b.SO"));
                     press ("Open") (dialog);
                 });
    script.start();

    const auto file = getFile (temp.folder.getFullPathName(), "*.so;*.SO", "so files", "Choose a VST 2.x plugin");

    ASSERT_TRUE (script.allStepsDone());
    EXPECT_EQ (root.getFullPathName(), temp.folder.getFullPathName());
    EXPECT_EQ (listed, juce::StringArray ({ "a.so", "b.SO" }));
    EXPECT_EQ (file.getFullPathName(), temp.folder.getChildFile ("b.SO").getFullPathName());
}

TEST (ManualLocationDialog, ReturnsTheFileNameTypedOverAHighlightedOne)
{
    TempPluginFolder temp;
    DialogScript script;
    script.then (windowNamed ("Open file"),
                 [&] (juce::Component& dialog)
                 {
                     listedNames (dialog);
                     if (auto* list = listIn (dialog))
                         list->setSelectedFile (temp.folder.getChildFile ("b.SO"));
                     // The user then types another name into the file name box.
                     if (auto* browser = browserIn (dialog))
                         if (auto* nameBox = findComponent<juce::TextEditor> (*browser))
                             nameBox->setText ("a.so", true);
                     press ("Open") (dialog);
                 });
    script.start();

    const auto file = getFile (temp.folder.getFullPathName(), "*.so;*.SO", "so files", "Choose a VST 2.x plugin");

    ASSERT_TRUE (script.allStepsDone());
    EXPECT_EQ (file.getFullPathName(), temp.folder.getChildFile ("a.so").getFullPathName());
}

TEST (PluginFileDialog, CancelGivesNoFileAndOffersSharedObjects)
{
    // With zenity or kdialog installed JUCE hands the question to another process.
    if (juce::FileChooser::isPlatformDialogAvailable())
        GTEST_SKIP() << "a desktop file dialog program is installed";
    bool offersSo = false, offersDll = true;
    DialogScript script;
    script.then (windowNamed ("Please select a VST2.x plugin..."),
                 [&] (juce::Component& dialog)
                 {
                     if (auto* browser = browserIn (dialog))
                     {
                         offersSo = browser->isFileSuitable (juce::File ("/tmp/x.so"));
                         offersDll = browser->isFileSuitable (juce::File ("/tmp/x.dll"));
                     }
                     press ("Cancel") (dialog);
                 });
    script.start();

    const auto file = getVST2File();

    ASSERT_TRUE (script.allStepsDone());
    EXPECT_FALSE (script.timedOut());
    EXPECT_EQ (file.getFullPathName(), juce::String());
    EXPECT_TRUE (offersSo);
    EXPECT_FALSE (offersDll);
}
