#pragma once

// The container's four options. The values are the option indices the panel's
// toggles, getOption(int)/setOption(int, bool) and the saved "optionB<n>"
// attributes use.
enum class ContainerOption : int
{
    console = 0, // "Console ( global )": the process-wide console window, shared by all instances
    autoCrashRecovery = 1, // "Auto crash recovery": the watchdog reloads crashed plug-ins
    autoSwitchPlugin = 2, // "Auto-switch plugin": the watchdog leaves a crashed active slot for a healthy one
    reloadCrashedPluginData = 3, // "Reload crashed plugin data": recovery puts the last snapshot back
};

constexpr int numContainerOptions = 4;
