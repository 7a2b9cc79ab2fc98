#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <memory>

class MyHostAudioProcessorEditorWindow;
class eee34ty0w9845rgymsiufdgomiugdfi;

// Holder of one slot's hosted-editor window. The native window object lives as
// long as the holder, so a reopened editor comes back where it was left.
class MyHostAudioProcessorEditor
{
public:
    MyHostAudioProcessorEditor();
    virtual ~MyHostAudioProcessorEditor();

    // Shows the plug-in's editor, or brings it to the front when it is shown.
    void openTheEditor (juce::AudioPluginInstance* pluginToShow);
    void closeTheEditor ();

    juce::AudioPluginInstance* plugin = nullptr;
    std::unique_ptr<MyHostAudioProcessorEditorWindow> editorWindow;
    std::unique_ptr<eee34ty0w9845rgymsiufdgomiugdfi> nativeEditorWindow;

private:
    // VST 2.x editors open in the native window; other formats' editors are JUCE components.
    static bool usesNativeWindow (juce::AudioPluginInstance* instance);
    void openComponentEditor ();
    void closeComponentEditor ();

    JUCE_DECLARE_NON_COPYABLE (MyHostAudioProcessorEditor)
};
