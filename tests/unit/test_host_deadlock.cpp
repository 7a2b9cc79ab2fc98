// The built container in a raw host that behaves like several real ones: its
// main thread drives the container's message loop (effEditIdle with the editor
// open) and sometimes waits for a lock that another of its threads holds while
// that thread saves or restores the container. Saves and restores from that
// thread must return, with the current state, and a restore handed over is
// applied once the main thread drives the loop again.
#include "RawVstHost.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <juce_core/juce_core.h>
#include <X11/Xlib.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace
{
    // Far beyond the ~1 s a restore waits for the message thread: past it the
    // host is deadlocked, and the program ends instead of hanging ctest.
    constexpr auto deadlockBound = std::chrono::seconds (20);

    constexpr float automatedValue = 0.271828f;
    constexpr float restoredValue = 0.625f;

    std::vector<char> toBytes (const juce::String& text)
    {
        return std::vector<char> (text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    }

    juce::String fromBytes (const std::vector<char>& bytes)
    {
        return juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
    }

    juce::String document (const juce::String& slot0, const juce::String& name, const juce::String& parameters = {})
    {
        juce::String text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<pluginData>\n"
                            "  <main_plugin activePlugin=\"0\" optionB0=\"0\" optionB1=\"0\" optionB2=\"1\" optionB3=\"1\" instanceName=\""
                            + name
                            + "\"/>\n"
                              "  <plugin index=\"0\" filePath=\""
                            + slot0 + "\" loadedPluginName=\"\">";
        if (parameters.isNotEmpty())
            text << "<f_parameters " << parameters << "/>";
        return text + "</plugin>\n</pluginData>\n";
    }

    // What a saved document says about slot 0.
    struct Slot0
    {
        bool parsed = false;
        juce::String instanceName, filePath;
        bool live = false; // written from a loaded plug-in, not from a document handed over
        bool hasParam0 = false;
        float param0 = -1.0f;
    };

    Slot0 readSlot0 (const std::vector<char>& chunk)
    {
        Slot0 result;
        auto root = juce::XmlDocument::parse (fromBytes (chunk));
        if (root == nullptr || ! root->hasTagName ("pluginData"))
            return result;
        result.parsed = true;
        if (auto* main = root->getChildByName ("main_plugin"))
            result.instanceName = main->getStringAttribute ("instanceName");
        if (auto* slot = root->getChildByAttribute ("index", "0"))
        {
            result.filePath = slot->getStringAttribute ("filePath");
            result.live = slot->hasAttribute ("name") && slot->hasAttribute ("numOutputs");
            if (auto* values = slot->getChildByName ("f_parameters"))
                if (values->hasAttribute ("param0"))
                {
                    result.hasParam0 = true;
                    result.param0 = (float) values->getDoubleAttribute ("param0");
                }
        }
        return result;
    }

    // The host's window the container's editor opens in.
    struct HostWindow
    {
        Display* display = XOpenDisplay (nullptr);
        Window window = 0;

        HostWindow()
        {
            if (display == nullptr)
                return;
            window = XCreateSimpleWindow (display, DefaultRootWindow (display), 0, 0, 800, 600, 0, 0, 0);
            XMapWindow (display, window);
            XSync (display, False);
        }

        ~HostWindow()
        {
            if (display == nullptr)
                return;
            XDestroyWindow (display, window);
            XCloseDisplay (display);
        }
    };

    void idle (RawVstHost& host, int times)
    {
        for (int i = 0; i < times; ++i)
        {
            host.dispatch (effEditIdle);
            std::this_thread::sleep_for (std::chrono::milliseconds (10));
        }
    }

    // Drives the container's loop, as the host's main thread does, until `condition` holds.
    bool idleUntil (RawVstHost& host, const std::function<bool()>& condition, int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
        while (! condition())
        {
            if (std::chrono::steady_clock::now() > end)
                return false;
            idle (host, 1);
        }
        return true;
    }
}

TEST (HostDeadlock, StateCallsFromAHostThreadReturnWhileTheMainThreadWaitsForThatThread)
{
    HostWindow parent;
    if (parent.display == nullptr)
        GTEST_SKIP() << "needs an X display (run under xvfb-run)";

    const auto changed = document (TAMBLIT_FIXTURE_SYNTH8, "after", "param0=\"" + juce::String (restoredValue, 6) + "\"");

    struct Case
    {
        const char* what;
        bool restores; // effSetChunk with `changed`, then effGetChunk; else effGetChunk alone
    };
    const Case cases[] = {
        { "save from the host thread", false },
        { "restore then save from the host thread", true },
    };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);

        RawVstHost host;
        std::string error;
        ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
        host.start (48000.0f, 256);
        host.setChunk (toBytes (document (TAMBLIT_FIXTURE_SYNTH, "before")));

        const auto loaded = readSlot0 (host.getChunk());
        ASSERT_TRUE (loaded.live) << "the fixture synth is loaded in slot 0";
        ASSERT_EQ (loaded.filePath, juce::String (TAMBLIT_FIXTURE_SYNTH));

        // From here on the host's main thread is the container's message thread.
        ERect* rect = nullptr;
        host.dispatch (effEditGetRect, 0, 0, &rect);
        ASSERT_EQ (host.dispatch (effEditOpen, 0, 0, reinterpret_cast<void*> (parent.window)), 1);
        idle (host, 20);

        host.effect()->setParameter (host.effect(), 0, automatedValue);
        ASSERT_EQ (host.effect()->getParameter (host.effect(), 0), automatedValue);

        std::mutex hostLock;
        std::atomic<bool> mainWaits { false };
        std::promise<void> lockTaken;
        auto lockTakenFuture = lockTaken.get_future();
        std::vector<char> set, answered;

        {
            testing_support::DeadlockGuard watchdog (c.what, deadlockBound);

            std::thread worker (
                [&]
                {
                    const std::lock_guard<std::mutex> held (hostLock);
                    lockTaken.set_value();
                    // Calls into the container only once the main thread is about to block.
                    while (! mainWaits)
                        std::this_thread::yield();
                    std::this_thread::sleep_for (std::chrono::milliseconds (100));

                    if (c.restores)
                    {
                        set = toBytes (changed);
                        host.setChunk (set);
                    }
                    answered = host.getChunk();
                });

            lockTakenFuture.wait();
            mainWaits = true;
            {
                // No effEditIdle while blocked here: the container's messages wait.
                const std::lock_guard<std::mutex> blocked (hostLock);
            }
            worker.join();
            watchdog.disarm();
        }

        const auto during = readSlot0 (answered);
        ASSERT_TRUE (during.parsed) << fromBytes (answered);

        if (c.restores)
        {
            // Not applied yet, but a save answers with what was just set.
            EXPECT_EQ (fromBytes (answered), fromBytes (set));
        }
        else
        {
            EXPECT_TRUE (during.live);
            EXPECT_EQ (during.instanceName, "before");
            EXPECT_EQ (during.filePath, juce::String (TAMBLIT_FIXTURE_SYNTH));
            EXPECT_TRUE (during.hasParam0);
            EXPECT_EQ (during.param0, automatedValue) << "the value automated just before the save";
        }

        // The main thread drives the loop again: a restore handed over is applied.
        const juce::String expectedPath = c.restores ? TAMBLIT_FIXTURE_SYNTH8 : TAMBLIT_FIXTURE_SYNTH;
        const float expectedValue = c.restores ? restoredValue : automatedValue;
        Slot0 after;
        const bool applied = idleUntil (
            host,
            [&]
            {
                after = readSlot0 (host.getChunk());
                return after.live && after.filePath == expectedPath;
            },
            10000);
        EXPECT_TRUE (applied) << "slot 0 holds " << after.filePath << (after.live ? "" : " (not loaded)");
        EXPECT_EQ (after.instanceName, c.restores ? "after" : "before");
        EXPECT_TRUE (after.hasParam0);
        EXPECT_EQ (after.param0, expectedValue);
        EXPECT_EQ (host.effect()->getParameter (host.effect(), 0), expectedValue);

        host.dispatch (effEditClose);
        idle (host, 5);
        host.stop();
        host.close();
    }
}
