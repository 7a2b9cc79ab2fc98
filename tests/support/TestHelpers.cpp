#include "TestHelpers.h"
#include "console/KTDebugConsole.h"
#include "console/KTDebugConsoleWindow.h"
#include "console/NewComponent.h"
#include "processor/PluginContainerAudioProcessor.h"
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <fcntl.h>

namespace testing_support
{
    bool runLoopUntil (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        while (! condition())
        {
            if (juce::Time::getMillisecondCounterHiRes() > end)
                return condition();
            juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
        }
        return true;
    }

    void runLoopFor (int ms)
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil (ms);
    }

    void renderLikeWrapper (juce::AudioProcessor& processor, juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
    {
        const juce::ScopedLock sl (processor.getCallbackLock());
        if (processor.isSuspended())
            buffer.clear();
        else
            processor.processBlock (buffer, midi);
    }

    StdoutCapture::StdoutCapture()
    {
        std::fflush (stdout);
        char name[] = "/tmp/tamblit-stdout-XXXXXX";
        const int fd = mkstemp (name);
        path = name;
        savedFd = dup (STDOUT_FILENO);
        dup2 (fd, STDOUT_FILENO);
        close (fd);
    }

    StdoutCapture::~StdoutCapture()
    {
        finish();
    }

    std::string StdoutCapture::finish()
    {
        if (finished)
            return {};
        finished = true;
        std::fflush (stdout);
        dup2 (savedFd, STDOUT_FILENO);
        close (savedFd);
        std::ifstream in (path);
        std::stringstream text;
        text << in.rdbuf();
        std::remove (path.c_str());
        return text.str();
    }

    ConsoleLines::ConsoleLines (PluginContainerAudioProcessor& p)
        : processor (p)
    {
        processor.setOption (0, true);
    }

    ConsoleLines::~ConsoleLines()
    {
        processor.setOption (0, false);
    }

    juce::StringArray ConsoleLines::lines() const
    {
        juce::StringArray result;
        if (ktdebugconsole() == nullptr || ktdebugconsole()->getWindow() == nullptr)
            return result;
        const auto text = ktdebugconsole()->getWindow()->getContent()->getTextEditor()->getText();
        result.addLines (text);
        result.removeEmptyStrings (false);
        return result;
    }

    bool ConsoleLines::contains (const juce::String& line) const
    {
        return lines().contains (line);
    }

    int ConsoleLines::count (const juce::String& line) const
    {
        int n = 0;
        for (auto& l : lines())
            if (l == line)
                ++n;
        return n;
    }

    void ConsoleLines::clear()
    {
        if (ktdebugconsole() != nullptr && ktdebugconsole()->getWindow() != nullptr)
            ktdebugconsole()->getWindow()->getContent()->getTextEditor()->clear();
    }

    juce::AudioBuffer<float> filledBuffer (int channels, int samples, float value)
    {
        juce::AudioBuffer<float> buffer (channels, samples);
        for (int c = 0; c < channels; ++c)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (c), value, samples);
        return buffer;
    }

    int consoleWindowsOnDesktop ()
    {
        int count = 0;
        auto& desktop = juce::Desktop::getInstance();
        for (int i = 0; i < desktop.getNumComponents(); ++i)
            if (dynamic_cast<KTDebugConsoleWindow*> (desktop.getComponent (i)) != nullptr)
                ++count;
        return count;
    }
}

namespace testing_support
{
    DeadlockGuard::DeadlockGuard (std::string what, std::chrono::seconds bound)
    {
        thread = std::thread (
            [what = std::move (what), bound, finished = done.get_future()]
            {
                if (finished.wait_for (bound) == std::future_status::timeout)
                {
                    std::fprintf (stderr, "FAILED: %s did not return within %d s: the host and the container are deadlocked\n",
                                  what.c_str(), (int) bound.count());
                    std::fflush (stderr);
                    _exit (1);
                }
            });
    }

    DeadlockGuard::~DeadlockGuard()
    {
        disarm();
    }

    void DeadlockGuard::disarm()
    {
        if (! thread.joinable())
            return;
        done.set_value();
        thread.join();
    }
}
