// Test programs run with JUCE initialised and the main thread as the message thread.
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    const int result = RUN_ALL_TESTS();
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    return result;
}
