#pragma once

// What the container and the project's bridge (tools/bridge) agree on. Free of
// JUCE: the bridge includes it too.

// The vendor-specific dispatcher query a crash-protecting bridge answers with 1
// once the plug-in behind it has crashed (0 otherwise).
namespace crashProbe
{
    constexpr int opcode = 50; // effVendorSpecific
    constexpr int index = 654987;
    constexpr long value = 998723;
    constexpr float option = 0.5f;

    // The project's bridge carries these 8 bytes in the two deprecated, unused
    // plug-in fields after initialDelay (realQualities and offQualities; FST's
    // _pad2): its setParameter and getParameter never wait, so a host may call
    // them outside its own locks. Not resvd1/resvd2: those belong to the host
    // (JUCE keeps its instance there).
    constexpr char parametersNeverWait[8] = { 'T', 'B', 'n', 'o', 'W', 'a', 'i', 't' };

    // Asked only of the project's bridge (an effect with the mark above), with
    // opcode 50 and no other argument: the signal that ended its worker, 0
    // while it runs or when it ended without one. A worker the bridge killed
    // itself (a hang, a broken reply) reports SIGKILL.
    constexpr int workerEndSignalIndex = 0x54427773; // "TBws"
}
