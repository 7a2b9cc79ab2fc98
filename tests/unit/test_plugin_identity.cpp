// The built container .so, loaded as a host loads it.
#include "RawVstHost.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <string>

namespace
{
    struct Identity : ::testing::Test
    {
        void SetUp () override
        {
            std::string error;
            ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
        }
        RawVstHost host;
    };

    std::string exportedFunctions ()
    {
        std::string command = std::string ("nm -D --defined-only ") + TAMBLIT_PLUGIN_PATH;
        std::string text;
        if (auto* pipe = popen (command.c_str(), "r"))
        {
            char line[512];
            while (fgets (line, sizeof (line), pipe) != nullptr)
                text += line;
            pclose (pipe);
        }
        return text;
    }
}

TEST_F (Identity, EffectRecordDescribesAStereoInstrumentWithChunksAndEditor)
{
    auto* fx = host.effect();
    EXPECT_EQ (fx->magic, 0x56737450);
    EXPECT_EQ (fx->numInputs, 0);
    EXPECT_EQ (fx->numOutputs, 2);
    EXPECT_EQ (fx->version, 100);
    EXPECT_NE (fx->flags & effFlagsIsSynth, 0);
    EXPECT_NE (fx->flags & effFlagsHasEditor, 0);
    EXPECT_NE (fx->flags & effFlagsProgramChunks, 0);
    EXPECT_NE (fx->flags & effFlagsCanReplacing, 0);

    const auto id = (unsigned) fx->uniqueID;
    const char spelled[5] = { (char) (id >> 24), (char) (id >> 16), (char) (id >> 8), (char) id, 0 };
    EXPECT_STREQ (spelled, "Tmbs");

    EXPECT_EQ (fx->numParams, 1024);
}

TEST_F (Identity, NamesVersionAndCategory)
{
    EXPECT_EQ (host.getString (effGetEffectName), "PluginTamblit(Synth)");
    EXPECT_EQ (host.getString (effGetProductString), "PluginTamblit(Synth)");
    EXPECT_FALSE (host.getString (effGetVendorString).empty());
    EXPECT_LT (host.getString (effGetVendorString).size(), 64u);
    EXPECT_EQ (host.dispatch (effGetVendorVersion), 100);
    EXPECT_EQ (host.dispatch (effGetPlugCategory), 2);
}

TEST_F (Identity, CanDoTableIsExact)
{
    const struct
    {
        const char* query;
        int reply;
    } table[] = {
        { "receiveVstEvents", 1 },
        { "receiveVstMidiEvent", 1 },
        { "receiveVstMidiEvents", 1 },
        { "sendVstEvents", -1 },
        { "sendVstMidiEvent", -1 },
        { "sendVstMidiEvents", -1 },
        { "receiveVstTimeInfo", 1 },
        { "conformsToWindowRules", 1 },
        { "bypass", 1 },
        { "openCloseAnyThread", -1 },
        { "supportsViewDpiScaling", 0 },
        { "hasCockosExtensions", 0 },
        { "MPE", 0 },
        { "somethingUnknown", 0 },
        { "ReceiveVstEvents", 0 },
        { "", 0 },
    };
    for (auto& row : table)
        EXPECT_EQ (host.canDo (row.query), row.reply) << row.query;
}

TEST_F (Identity, ProcessedBlockOfAnEmptyContainerIsSilent)
{
    host.start (48000.0f, 256);
    for (int block = 0; block < 4; ++block)
    {
        auto out = host.process (256, { makeNoteOn (60, 100, 0) });
        ASSERT_EQ (out.size(), 2u);
        for (auto& channel : out)
            for (float sample : channel)
                ASSERT_EQ (sample, 0.0f);
    }
    host.stop();
}

TEST (PluginExports, OnlyTheTwoVstEntryPointsAreExported)
{
    const auto text = exportedFunctions();
    int functions = 0;
    bool sawVstMain = false, sawMain = false;
    size_t start = 0;
    while (start < text.size())
    {
        auto end = text.find ('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const auto line = text.substr (start, end - start);
        start = end + 1;
        if (line.find (" T ") == std::string::npos && line.find (" W ") == std::string::npos)
            continue;
        ++functions;
        sawVstMain |= line.size() >= 14 && line.compare (line.size() - 14, 14, " VSTPluginMain") == 0;
        sawMain |= line.size() >= 5 && line.compare (line.size() - 5, 5, " main") == 0;
    }
    EXPECT_TRUE (sawVstMain);
    EXPECT_TRUE (sawMain);
    EXPECT_EQ (functions, 2) << text;
}
