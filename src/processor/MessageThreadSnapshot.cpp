#include "MessageThreadSnapshot.h"
#include <utility>

MessageThreadSnapshot::MessageThreadSnapshot (std::function<void (int)> refreshSlot)
    : refresh (std::move (refreshSlot))
{
}

MessageThreadSnapshot::~MessageThreadSnapshot()
{
    cancelPendingUpdate();
}

bool MessageThreadSnapshot::refreshWithin (int slot, int timeoutMs)
{
    if (slot < 0 || slot > 1)
        return false;
    const auto ticket = ++asked[(size_t) slot];
    triggerAsyncUpdate();
    const auto started = juce::Time::getMillisecondCounter();
    while (served[(size_t) slot].load() < ticket)
    {
        if (juce::Time::getMillisecondCounter() - started >= (juce::uint32) timeoutMs)
            return false;
        juce::Thread::sleep (1);
    }
    return true;
}

void MessageThreadSnapshot::handleAsyncUpdate()
{
    for (size_t slot = 0; slot < 2; ++slot)
    {
        // Every ticket up to the one read here is answered by this refresh; a
        // later one triggers another update.
        const auto ticket = asked[slot].load();
        if (ticket <= served[slot].load())
            continue;
        refresh ((int) slot);
        served[slot] = ticket;
    }
}
