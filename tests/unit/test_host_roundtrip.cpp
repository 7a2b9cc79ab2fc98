// The built container driven by a raw VST 2.x host: its chunk carries the whole
// container, and the host learns the active slot's latency.
#include "FixtureSignal.h"
#include "processor/StateCodec.h"
#include "RawVstHost.h"
#include <gtest/gtest.h>
#include <juce_core/juce_core.h>
#include <chrono>
#include <dlfcn.h>
#include <thread>

namespace
{
    std::vector<char> toBytes (const juce::String& text)
    {
        return std::vector<char> (text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    }

    juce::String fromBytes (const std::vector<char>& bytes)
    {
        return juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
    }

    juce::String document (int active, const std::vector<std::pair<int, juce::String>>& slots, const juce::String& name)
    {
        ContainerState state;
        state.settings.activeSlot = active;
        state.settings.options = { { false, true, false, true } };
        state.settings.instanceName = name;
        for (auto& slot : slots)
            state.slots[(size_t) slot.first].emplace().filePath = slot.second;
        return writeContainerState (state);
    }

    std::unique_ptr<juce::XmlElement> parse (const std::vector<char>& chunk)
    {
        return juce::XmlDocument::parse (fromBytes (chunk));
    }

    // Sets up a container through the host's chunk call, and waits until it answers.
    void loadContainer (RawVstHost& host)
    {
        std::string error;
        ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
        host.start (48000.0f, 256);
    }

    bool waitFor (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
        while (! condition())
        {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for (std::chrono::milliseconds (10));
        }
        return true;
    }
}

TEST (HostRoundTrip, ChunkBringsBackBothSlotsBitExactInAFreshInstance)
{
    const juce::String realSynth = "/usr/lib/vst/amsynth_vst.so";
    struct Case
    {
        const char* what;
        juce::String slot0, slot1;
        int active;
    };
    const Case cases[] = {
        { "two fixtures, slot 1 active", TAMBLIT_FIXTURE_SYNTH, TAMBLIT_FIXTURE_SYNTH8, 1 },
        { "a real Debian synth beside a fixture", realSynth, TAMBLIT_FIXTURE_SYNTH, 0 },
    };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        if (! juce::File (c.slot0).existsAsFile())
        {
            ADD_FAILURE() << "missing " << c.slot0;
            continue;
        }

        RawVstHost first;
        loadContainer (first);
        first.setChunk (
            toBytes (document (c.active, { { 0, c.slot0 }, { 1, c.slot1 } }, juce::String::fromUTF8 ("Round trip \xe2\x9c\x93"))));

        // Host automation reaches the active slot; odd values check the float round trip.
        const float values[] = { 0.123456789f, 0.987654321f, 1.0f / 3.0f };
        for (int i = 0; i < 3; ++i)
            first.effect()->setParameter (first.effect(), i, values[i]);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ (first.effect()->getParameter (first.effect(), i), values[i]);

        const auto saved = first.getChunk();
        ASSERT_FALSE (saved.empty());
        EXPECT_TRUE (fromBytes (saved).startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));

        RawVstHost second;
        loadContainer (second);
        second.setChunk (saved);
        const auto restored = second.getChunk();

        auto a = parse (saved);
        auto b = parse (restored);
        ASSERT_NE (a, nullptr);
        ASSERT_NE (b, nullptr);

        auto* mainA = a->getChildByName ("main_plugin");
        auto* mainB = b->getChildByName ("main_plugin");
        ASSERT_NE (mainA, nullptr);
        ASSERT_NE (mainB, nullptr);
        for (auto* name : { "activePlugin", "optionB0", "optionB1", "optionB2", "optionB3", "instanceName" })
            EXPECT_EQ (mainA->getStringAttribute (name), mainB->getStringAttribute (name)) << name;
        EXPECT_EQ (mainB->getIntAttribute ("activePlugin"), c.active);
        EXPECT_EQ (mainB->getStringAttribute ("instanceName"), juce::String::fromUTF8 ("Round trip \xe2\x9c\x93"));

        int slots = 0;
        for (auto* pa : a->getChildWithTagNameIterator ("plugin"))
        {
            ++slots;
            auto* pb = b->getChildByAttribute ("index", pa->getStringAttribute ("index"));
            ASSERT_NE (pb, nullptr);
            EXPECT_TRUE (pa->isEquivalentTo (pb, false)) << pa->toString().toStdString() << "\n---\n" << pb->toString().toStdString();
        }
        EXPECT_EQ (slots, 2);

        // The automated values survived, bit for bit, in the active slot's saved parameters.
        auto* active = b->getChildByAttribute ("index", juce::String (c.active));
        ASSERT_NE (active, nullptr);
        auto* params = active->getChildByName ("f_parameters");
        ASSERT_NE (params, nullptr);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ ((float) params->getDoubleAttribute ("param" + juce::String (i)), values[i]) << i;

        second.stop();
        first.stop();
    }
}

TEST (HostRoundTrip, HostHearsOfTheLatencyOfASlotMadeActiveByTheWatchdog)
{
    RawVstHost host;
    loadContainer (host);
    ContainerState initial;
    initial.settings.instanceName = "latency";
    initial.slots[0].emplace().filePath = TAMBLIT_FIXTURE_BRIDGE;
    initial.slots[1].emplace().filePath = TAMBLIT_FIXTURE_SYNTH8;
    const auto text = writeContainerState (initial);
    host.setChunk (toBytes (text));
    EXPECT_EQ (host.effect()->initialDelay, 0);
    host.clearReceived();

    void* bridge = dlopen (TAMBLIT_FIXTURE_BRIDGE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE (bridge, nullptr);
    auto crash = reinterpret_cast<void (*)()> (dlsym (bridge, "tamblit_fixture_crash_all"));
    ASSERT_NE (crash, nullptr);
    crash();
    dlclose (bridge);

    auto ioChanged = [&host]
    {
        for (int opcode : host.receivedOpcodes())
            if (opcode == 13)
                return true;
        return false;
    };
    ASSERT_TRUE (waitFor (ioChanged, 3000)) << "audioMasterIOChanged (13) after the switch";
    EXPECT_EQ (host.effect()->initialDelay, tamblit::fixtures::kSynth8Latency);

    const auto state = parse (host.getChunk());
    ASSERT_NE (state, nullptr);
    EXPECT_EQ (state->getChildByName ("main_plugin")->getIntAttribute ("activePlugin"), 1);
    host.stop();
}
