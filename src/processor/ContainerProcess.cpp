#include "ContainerProcess.h"

namespace
{
    ContainerProcess* liveProcess = nullptr;
}

ContainerProcess::ContainerProcess()
{
    watchdog.startTimer (1000);
    liveProcess = this;
}

ContainerProcess::~ContainerProcess()
{
    liveProcess = nullptr;
}

ContainerProcess* ContainerProcess::find() noexcept
{
    return liveProcess;
}

CrashWatchDog* watchdog () noexcept
{
    auto* process = ContainerProcess::find();
    return process != nullptr ? &process->watchdog : nullptr;
}

int instances ()
{
    // Asking the shared pointer needs one more holder; it never creates the
    // context here, because one exists.
    if (ContainerProcess::find() == nullptr)
        return 0;
    const juce::SharedResourcePointer<ContainerProcess> process;
    return process.getReferenceCount() - 1;
}
