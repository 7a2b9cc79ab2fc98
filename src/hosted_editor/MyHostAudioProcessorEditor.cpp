#include "MyHostAudioProcessorEditor.h"
#include "MyHostAudioProcessorEditorWindow.h"
#include "NativeEditorWindow.h"
#include "EditorSwitches.h"
#include "../loading/SharedVstFormat.h"

MyHostAudioProcessorEditor::MyHostAudioProcessorEditor() = default;

MyHostAudioProcessorEditor::~MyHostAudioProcessorEditor()
{
    closeTheEditor();
    nativeEditorWindow.reset();
}

bool MyHostAudioProcessorEditor::usesNativeWindow (juce::AudioPluginInstance* instance)
{
    return useNativeVSTEditor && isVST && (instance == nullptr || isVst2Instance (instance));
}

void MyHostAudioProcessorEditor::openTheEditor (juce::AudioPluginInstance* pluginToShow)
{
    if (! usesNativeWindow (pluginToShow))
    {
        plugin = pluginToShow;
        openComponentEditor();
        return;
    }

    plugin = pluginToShow;
    if (nativeEditorWindow == nullptr)
        nativeEditorWindow = std::make_unique<eee34ty0w9845rgymsiufdgomiugdfi>();

    nativeEditorWindow->SetAlwaysOnTop (false, 0);

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    auto* effect = plugin != nullptr ? static_cast<AEffect*> (plugin->getPlatformSpecificData()) : nullptr;
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE

    // Only a VST 2.x instance has an effect record to talk to.
    if (effect == nullptr)
        return;

    nativeEditorWindow->eee34ty0w9845rgymsiufdgokpiokpiopkik (effect);
    nativeEditorWindow->eee34ty0w9845rgymsiufdgomkiopkuop (plugin->getName().toRawUTF8());
}

void MyHostAudioProcessorEditor::closeTheEditor()
{
    if (! usesNativeWindow (plugin))
    {
        closeComponentEditor();
        return;
    }

    if (nativeEditorWindow != nullptr)
        nativeEditorWindow->eee34ty0w9845rgymsiufdgomiugkiopkuiopk();
}

void MyHostAudioProcessorEditor::openComponentEditor()
{
    if (plugin == nullptr)
        return;

    auto* editor = plugin->getActiveEditor();
    if (editor == nullptr)
        editor = plugin->createEditorIfNeeded();
    if (editor == nullptr)
        return;

    if (editorWindow != nullptr && editorWindow->isOnDesktop())
        return;

    editorWindow = std::make_unique<MyHostAudioProcessorEditorWindow> (plugin->getName(), plugin, this);
    editorWindow->setUsingNativeTitleBar (true);
    editorWindow->setResizable (true, true);
    editorWindow->setAlwaysOnTop (true);
    editorWindow->setContentNonOwned (editor, true);
    editor->toFront (false);
    editorWindow->centreWithSize (editorWindow->getWidth(), editorWindow->getHeight());
    editorWindow->setVisible (true);
}

void MyHostAudioProcessorEditor::closeComponentEditor()
{
    if (plugin != nullptr)
    {
        // The editor component was made here, and it must go before the hosted plug-in does.
        if (auto* editor = plugin->getActiveEditor())
        {
            if (auto* parent = editor->getParentComponent())
                parent->removeChildComponent (editor);
            if (editorWindow != nullptr)
                editorWindow->clearContentComponent();
            delete editor;
        }
        plugin = nullptr;
    }
    editorWindow.reset();
}
