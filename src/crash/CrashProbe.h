#pragma once

// The vendor-specific dispatcher query a crash-protecting bridge answers with 1
// once the plug-in behind it has crashed (0 otherwise).
namespace crashProbe
{
    constexpr int opcode = 50; // effVendorSpecific
    constexpr int index = 654987;
    constexpr long value = 998723;
    constexpr float option = 0.5f;
}
