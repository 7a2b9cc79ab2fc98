// The VST 2.x loader on the fixture plug-ins: which sub-plug-in it creates, what
// it writes to standard output, and what it does with files that are no plug-in.
// The shell chooser cases need an X display (Xvfb).
#include "loading/ChoiceDialogs.h"
#include "console/LogLines.h"
#include "loading/VSTP2PluginLoader.h"
#include "support/TestHelpers.h"
#include "test_loading_support.h"
#include <gtest/gtest.h>

using namespace loading_test;
using namespace tamblit::fixtures;
using testing_support::StdoutCapture;

namespace
{
    // Which fixture a created instance is: its constant on output 1.
    float outputOneDc (juce::AudioPluginInstance& instance)
    {
        return renderInstance (instance, 2, 64).getSample (0, 10);
    }

    juce::File textFile ()
    {
        auto f = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("tamblit-not-a-plugin.so");
        f.replaceWithText ("this is not a shared object\n");
        return f;
    }
}

TEST (Loader, StandardOutputTextsFollowTheFormatLifetime)
{
    ASSERT_EQ (vstpluginaudioformat(), nullptr);
    ASSERT_EQ (vst2_plugin_counter(), 0);

    std::string firstCreated, secondCreated, loaded, secondGone, lastGone;
    {
        StdoutCapture capture;
        auto first = std::make_unique<VSTP2PluginLoader>();
        firstCreated = capture.finish();

        StdoutCapture capture2;
        auto second = std::make_unique<VSTP2PluginLoader>();
        secondCreated = capture2.finish();
        EXPECT_EQ (vst2_plugin_counter(), 2);
        EXPECT_EQ (num_plugins_loaded_, 2);

        StdoutCapture capture3;
        ASSERT_NE (first->loadPlugin (TAMBLIT_FIXTURE_SYNTH, "VST", ""), nullptr);
        loaded = capture3.finish();

        StdoutCapture capture4;
        second.reset();
        secondGone = capture4.finish();

        StdoutCapture capture5;
        first.reset();
        lastGone = capture5.finish();
    }

    EXPECT_EQ (firstCreated, logLines::initializingVstFormat);
    EXPECT_EQ (secondCreated, "");
    EXPECT_NE (loaded.find (std::string (logLines::tryingToCreateInstance) + logLines::createdInstance), std::string::npos) << loaded;
    EXPECT_EQ (secondGone, logLines::loaderDestroyed);
    EXPECT_EQ (lastGone, std::string (logLines::loaderDestroyed) + logLines::deallocatingInstance + logLines::deallocatingVstFormat);
    EXPECT_EQ (vstpluginaudioformat(), nullptr);
    EXPECT_EQ (vst2_plugin_counter(), 0);
    EXPECT_EQ (num_plugins_loaded_, 0);
}

TEST (Loader, SinglePluginFileLoadsWithoutAskingAndRemembersItsName)
{
    VSTP2PluginLoader loader;
    DialogScript noDialog;
    noDialog.then ([] (juce::Component&) { return true; }, [] (juce::Component& c) { c.exitModalState (0); });
    noDialog.start();

    auto* instance = loader.loadPlugin (TAMBLIT_FIXTURE_SYNTH8, "VST", "");
    ASSERT_NE (instance, nullptr);
    EXPECT_EQ (instance, loader.plugin_instance.get());
    EXPECT_EQ (noDialog.modalDialogsSeen(), 0);
    EXPECT_EQ (loader.getCurrentlyLoadedPluginName(), "fixture-synth8");
    EXPECT_EQ (loader.plugin_file.getFullPathName(), juce::String (TAMBLIT_FIXTURE_SYNTH8));
    EXPECT_EQ (loader.plugin_descriptions.size(), 1);
    EXPECT_FLOAT_EQ (outputOneDc (*instance), initialDc (kIdentitySynth8, 0));

    loader.unloadPlugin();
    EXPECT_EQ (loader.plugin_instance, nullptr);
    EXPECT_EQ (loader.selected_description, nullptr);
    EXPECT_EQ (loader.plugin_descriptions.size(), 0);
    EXPECT_EQ (loader.getCurrentlyLoadedPluginName(), "");
}

TEST (Loader, ShellSubPluginChosenByName)
{
    struct Case
    {
        const char* name;
        const char* format;
        bool loads;
        float identity;
    };
    const Case cases[] = {
        { "Gamma", "VST", true, kIdentityShellSub[2] },
        { "Alpha", "VST", true, kIdentityShellSub[0] },
        // Two sub-plug-ins share this name: the later one is kept.
        { "Beta", "VST", true, kIdentityShellSub[3] },
        { "Missing", "VST", false, 0.0f },
        { "gamma", "VST", false, 0.0f },
        { "Gamma", "VST3", false, 0.0f },
    };

    for (auto& row : cases)
    {
        SCOPED_TRACE (juce::String (row.name) + " / " + row.format);
        VSTP2PluginLoader loader;
        DialogScript noDialog;
        noDialog.then ([] (juce::Component&) { return true; }, [] (juce::Component& c) { c.exitModalState (0); });
        noDialog.start();

        auto* instance = loader.loadPlugin (TAMBLIT_FIXTURE_SHELL, row.format, row.name);

        EXPECT_EQ (noDialog.modalDialogsSeen(), 0);
        EXPECT_EQ (loader.plugin_descriptions.size(), 5);
        if (! row.loads)
        {
            EXPECT_EQ (instance, nullptr);
            EXPECT_EQ (loader.getCurrentlyLoadedPluginName(), "");
            continue;
        }
        ASSERT_NE (instance, nullptr);
        EXPECT_EQ (loader.getCurrentlyLoadedPluginName(), row.name);
        EXPECT_FLOAT_EQ (outputOneDc (*instance), initialDc (row.identity, 0));
    }
}

TEST (Loader, ShellWithoutNameAsksTheUser)
{
    struct Case
    {
        const char* what;
        int pickId;
        bool close;
        const char* name;
        float identity;
    };
    const Case cases[] = {
        { "closed: the first sub-plug-in", 0, true, "Alpha", kIdentityShellSub[0] },
        { "third picked", 3, false, "Gamma", kIdentityShellSub[2] },
        // The first "Beta" entry picked: the name decides, so the later Beta is created.
        { "duplicate name picked", 2, false, "Beta", kIdentityShellSub[3] },
    };

    for (auto& row : cases)
    {
        SCOPED_TRACE (row.what);
        juce::String title;
        juce::StringArray listed;

        DialogScript script;
        script.then ([] (juce::Component& c) { return dynamic_cast<juce::DialogWindow*> (&c) != nullptr; },
                     [&] (juce::Component& c)
                     {
                         title = c.getName();
                         auto* content = findComponent<comboBoxChooseComponent> (c);
                         if (content == nullptr)
                             return;
                         for (int i = 0; i < content->comboBox->getNumItems(); ++i)
                             listed.add (content->comboBox->getItemText (i));
                         if (row.pickId != 0)
                             content->comboBox->setSelectedId (row.pickId, juce::sendNotificationSync);
                         if (row.close)
                             dynamic_cast<juce::DialogWindow&> (c).getCloseButton()->triggerClick();
                         else
                             content->textButton->triggerClick();
                     });
        script.start();

        VSTP2PluginLoader loader;
        auto* instance = loader.loadPlugin (TAMBLIT_FIXTURE_SHELL, "VST", "");

        ASSERT_TRUE (script.allStepsDone());
        EXPECT_EQ (title, "Please choose a plugin");
        EXPECT_EQ (listed, juce::StringArray ({ "Alpha", "Beta", "Gamma", "Beta", "Delta" }));
        ASSERT_NE (instance, nullptr);
        EXPECT_EQ (loader.getCurrentlyLoadedPluginName(), row.name);
        EXPECT_FLOAT_EQ (outputOneDc (*instance), initialDc (row.identity, 0));
    }
}

TEST (Loader, FilesThatAreNoUsablePluginGiveNull)
{
    const auto text = textFile();
    const juce::String paths[] = {
        text.getFullPathName(),
        TAMBLIT_FIXTURE_NOENTRY,
        TAMBLIT_FIXTURE_NULLENTRY,
        "/nonexistent/tamblit/plugin.so",
    };

    for (auto& path : paths)
    {
        SCOPED_TRACE (path);
        StdoutCapture capture;
        VSTP2PluginLoader loader;
        EXPECT_EQ (loader.loadPlugin (path, "VST", ""), nullptr);
        EXPECT_EQ (loader.loadPlugin (path, "VST", "Anything"), nullptr);
        EXPECT_EQ (loader.plugin_descriptions.size(), 0);
        EXPECT_EQ (loader.getCurrentlyLoadedPluginName(), "");
        EXPECT_EQ (loader.plugin_file.getFullPathName(), juce::File (path).getFullPathName());
        const auto output = capture.finish();
        EXPECT_EQ (output.find (logLines::tryingToCreateInstance), std::string::npos);
    }
    text.deleteFile();
}

TEST (Loader, ASecondLoadOnOneLoaderReplacesTheInstance)
{
    VSTP2PluginLoader loader;
    ASSERT_NE (loader.loadPlugin (TAMBLIT_FIXTURE_SYNTH, "VST", ""), nullptr);

    StdoutCapture capture;
    auto* second = loader.loadPlugin (TAMBLIT_FIXTURE_SYNTH8, "VST", "");
    const auto output = capture.finish();

    EXPECT_EQ (output.rfind (logLines::instanceStillHeld, 0), 0u) << output;
    ASSERT_NE (second, nullptr);
    EXPECT_EQ (loader.plugin_descriptions.size(), 1);
    EXPECT_EQ (loader.getCurrentlyLoadedPluginName(), "fixture-synth8");
}
