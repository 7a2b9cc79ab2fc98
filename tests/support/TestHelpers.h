#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

class PluginContainerAudioProcessor;

namespace testing_support
{
    // Runs the message loop until `condition` holds or `timeoutMs` passes.
    bool runLoopUntil (const std::function<bool()>& condition, int timeoutMs);
    void runLoopFor (int ms);

    // One block as the VST 2.x wrapper renders it: under the callback lock, and
    // silence instead of processBlock while the processor is suspended.
    void renderLikeWrapper (juce::AudioProcessor& processor, juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi);

    // Captures everything written to the process's standard output while alive.
    class StdoutCapture
    {
    public:
        StdoutCapture();
        ~StdoutCapture();
        std::string finish ();

    private:
        int savedFd = -1;
        std::string path;
        bool finished = false;
    };

    // Collects the lines the processors write to the shared console window.
    // Opens the console (option 0) for the lifetime of the object.
    class ConsoleLines
    {
    public:
        explicit ConsoleLines (PluginContainerAudioProcessor& processor);
        ~ConsoleLines();
        juce::StringArray lines () const;
        bool contains (const juce::String& line) const;
        int count (const juce::String& line) const;
        void clear ();

    private:
        PluginContainerAudioProcessor& processor;
    };

    // Console windows anywhere on the desktop, whoever owns them.
    int consoleWindowsOnDesktop ();

    // Ends the program, as a failure naming `what`, unless disarmed (or
    // destroyed) within `bound`: a deadlocked host call fails its test instead
    // of hanging ctest.
    class DeadlockGuard
    {
    public:
        explicit DeadlockGuard (std::string what, std::chrono::seconds bound = std::chrono::seconds (30));
        ~DeadlockGuard();
        void disarm ();

    private:
        std::promise<void> done;
        std::thread thread;
    };

    // A stereo buffer whose every sample is `value`.
    juce::AudioBuffer<float> filledBuffer (int channels, int samples, float value);
}
