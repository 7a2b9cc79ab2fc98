// The watchdog's decision for one container and one tick, case by case: which
// slots it marks, whether it switches, which slots it reloads.
#include "crash/CrashWatchDog.h"
#include "crash/WatchedContainer.h"
#include "crash/WatchdogDecision.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
    struct Case
    {
        const char* what;
        SlotHealth slot0, slot1;
        int active;
        WatchPolicy policy;
        std::array<bool, 2> mark;
        int switchTo;
        std::array<bool, 2> recover;
    };

    // held, marked, probe answered crashed
    constexpr SlotHealth empty { false, false, false };
    constexpr SlotHealth healthy { true, false, false };
    constexpr SlotHealth crashesNow { true, false, true };
    constexpr SlotHealth markedBefore { true, true, false };
    constexpr SlotHealth stillCrashed { true, true, true };
    constexpr SlotHealth emptyButFlagged { false, true, false }; // a failed reload left it so

    constexpr WatchPolicy none { false, false };
    constexpr WatchPolicy switchOnly { true, false };
    constexpr WatchPolicy recoverOnly { false, true };
    constexpr WatchPolicy both { true, true };

    const Case cases[] = {
        { "two healthy slots", healthy, healthy, 0, both, { false, false }, -1, { false, false } },
        { "both empty", empty, empty, 0, both, { false, false }, -1, { false, false } },
        { "active crashes, options off: marked only", crashesNow, healthy, 0, none, { true, false }, -1, { false, false } },
        { "active crashes, other healthy: switch", crashesNow, healthy, 0, switchOnly, { true, false }, 1, { false, false } },
        { "active slot 1 crashes, slot 0 healthy: switch back to 0",
          healthy,
          crashesNow,
          1,
          switchOnly,
          { false, true },
          0,
          { false, false } },
        { "active crashes, other empty: no switch", crashesNow, empty, 0, switchOnly, { true, false }, -1, { false, false } },
        { "active crashes, other crashed too: no switch", crashesNow, markedBefore, 0, switchOnly, { true, false }, -1, { false, false } },
        { "both crash in one tick: no switch", crashesNow, crashesNow, 0, switchOnly, { true, true }, -1, { false, false } },
        { "inactive crashes: no switch, recovered", healthy, crashesNow, 0, both, { false, true }, -1, { false, true } },
        { "both options: switch, then reload the crashed one", crashesNow, healthy, 0, both, { true, false }, 1, { true, false } },
        { "still answering crashed: marked again", stillCrashed, healthy, 1, none, { true, false }, -1, { false, false } },
        { "marked earlier, quiet now: still crashed for switch and recovery",
          markedBefore,
          healthy,
          0,
          both,
          { false, false },
          1,
          { true, false } },
        { "empty active slot: no switch", empty, healthy, 0, both, { false, false }, -1, { false, false } },
        { "empty slot flagged by a failed reload is not retried", emptyButFlagged, healthy, 1, both, { false, false }, -1, { false, false } },
        { "probe of an empty slot is ignored", { false, false, true }, healthy, 0, both, { false, false }, -1, { false, false } },
        { "recovery only: crashed active stays active", crashesNow, healthy, 0, recoverOnly, { true, false }, -1, { true, false } },
        { "active index outside the slots: no switch", crashesNow, healthy, 2, both, { true, false }, -1, { true, false } },
    };
}

TEST (WatchdogDecision, EachCase)
{
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto verdict = decideWatchdogTick ({ c.slot0, c.slot1 }, c.active, c.policy);
        EXPECT_EQ (verdict.mark, c.mark);
        EXPECT_EQ (verdict.switchTo, c.switchTo);
        EXPECT_EQ (verdict.recover, c.recover);
    }
}

namespace
{
    // A container that answers from fixed slots and records what the watchdog asks and does.
    struct RecordingContainer : WatchedContainer
    {
        std::array<bool, 2> held {}, marked {}, answers {};
        int active = 0;
        WatchPolicy policy;
        std::vector<std::string> calls;

        bool holdsPlugin (int slot) const override { return held[(size_t) slot]; }
        bool isPluginCrashed (int slot) const override { return marked[(size_t) slot]; }
        int getActivePlugin () const override { return active; }
        WatchPolicy getWatchPolicy () const override { return policy; }
        bool probePlugin (int slot) override
        {
            calls.push_back ("probe " + std::to_string (slot));
            return answers[(size_t) slot];
        }
        void markPluginCrashed (int slot) override
        {
            calls.push_back ("mark " + std::to_string (slot));
            marked[(size_t) slot] = true;
        }
        bool handOverTo (int slot) override
        {
            calls.push_back ("switch " + std::to_string (slot));
            active = slot;
            return true;
        }
        void completeHandOver () override { calls.push_back ("catch up"); }
        void recoverPluginUnattended (int slot) override { calls.push_back ("recover " + std::to_string (slot)); }
    };
}

// One tick first catches up with a hand-over the audio thread made, probes both
// held slots before acting, then marks, switches and recovers in that order; an
// empty slot is not probed.
TEST (WatchdogTick, ProbesFirstThenMarksSwitchesAndRecovers)
{
    RecordingContainer container;
    container.held = { true, true };
    container.answers = { true, false };
    container.policy = { true, true };

    CrashWatchDog::watch (container);

    EXPECT_EQ (container.calls, (std::vector<std::string> { "catch up", "probe 0", "probe 1", "mark 0", "switch 1", "recover 0" }));
}

TEST (WatchdogTick, EmptySlotIsNotProbed)
{
    RecordingContainer container;
    container.held = { false, true };
    container.policy = { true, true };

    CrashWatchDog::watch (container);

    EXPECT_EQ (container.calls, (std::vector<std::string> { "catch up", "probe 1" }));
}
