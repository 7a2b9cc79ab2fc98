#include "StateDocument.h"
#include "loading/PluginFormatNames.h"

#include "processor/StateCodec.h"

namespace render
{

    std::string buildStateDocument (const Options& options)
    {
        ContainerState state;
        state.settings.activeSlot = options.active;
        for (size_t i = 0; i < 4; ++i)
            state.settings.options[i] = options.options[i];
        state.settings.instanceName = "tamblit-render";
        if (options.fadeMs)
            state.settings.switchFadeMs = *options.fadeMs;
        state.settings.letNotesRing = options.ring;

        for (size_t index = 0; index < 2; ++index)
        {
            const auto& request = options.slots[index];
            if (request.path.empty())
                continue;
            SlotState slot;
            slot.filePath = juce::String::fromUTF8 (request.path.c_str());
            slot.pluginName = juce::String::fromUTF8 (request.name.c_str());
            for (const double value : request.params)
                slot.parameters.add (static_cast<float> (value));
            slot.isProtected = request.protect;
            if (const auto format = pluginFormats::formatOf (slot.filePath); format != pluginFormats::vst2)
                slot.format = format;
            state.slots[index] = std::move (slot);
        }
        return writeContainerState (state).toStdString();
    }

    bool summariseState (const std::string& text, StateSummary& summary, std::string& error)
    {
        const auto reading = readContainerState (text.data(), text.size());
        switch (reading.outcome)
        {
            case StateReading::Outcome::read: break;
            case StateReading::Outcome::notUtf8: error = "not UTF-8 text"; return false;
            case StateReading::Outcome::tooLarge:
                error = "not a document the container reads (" + reading.failure.toStdString() + ")";
                return false;
            case StateReading::Outcome::notWellFormed: error = "not an XML document"; return false;
            case StateReading::Outcome::notPluginData: error = "not a pluginData document"; return false;
        }

        const auto& settings = reading.state.settings;
        summary = StateSummary {};
        summary.activePlugin = settings.activeSlot;
        for (size_t i = 0; i < 4; ++i)
            summary.options[i] = settings.options[i];
        summary.instanceName = settings.instanceName.toStdString();
        for (int index = 0; index < 2; ++index)
            if (const auto& slot = reading.state.slots[static_cast<size_t> (index)])
                summary.slots.push_back ({ index, slot->filePath.toStdString(), slot->displayName.toStdString(),
                                           slot->pluginName.toStdString(), slot->isProtected, slot->notLoaded });
        return true;
    }

} // namespace render
