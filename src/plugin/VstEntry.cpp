// The VST 2.x entry points of the container. JUCE's wrapper does the hosting
// work; its own entry functions are renamed here so that this unit owns the two
// exported names and can answer the identity questions the wrapper answers
// differently (vendor version and the canDo table).

#define VSTPluginMain juceWrapperVSTPluginMain
#define main_plugin juceWrapperMainUnused
#define asm(...)
#include <juce_audio_plugin_client/juce_audio_plugin_client_VST2.cpp>
#undef asm
#undef main_plugin
#undef VSTPluginMain

#include "HostRequests.h"
#include "PluginIdentity.h"
#include "../loading/HostProcessState.h"
#include "../processor/PluginContainerAudioProcessor.h"
#include <map>
#include <mutex>

namespace
{
    Vst2::AEffectDispatcherProc juceDispatcher = nullptr;

    // The container behind each effect. JUCE's wrapper keeps the sample rate and
    // block size a host sends to itself until the host resumes; the container
    // needs them earlier, for plug-ins a project restore loads before playback.
    std::mutex containersLock;
    std::map<Vst2::AEffect*, PluginContainerAudioProcessor*> containers;

    PluginContainerAudioProcessor* containerOf (Vst2::AEffect* effect)
    {
        const std::lock_guard<std::mutex> guard (containersLock);
        const auto found = containers.find (effect);
        return found != containers.end() ? found->second : nullptr;
    }

    // Slot switches happen on the message thread; a host thread waits a
    // bounded time for one.
    bool switchActiveSlotFor (Vst2::AEffect* effect, PluginContainerAudioProcessor& container, int slot)
    {
        if (juce::MessageManager::getInstance()->isThisTheMessageThread())
            return container.changeActivePlugin (slot);

        struct Outcome
        {
            juce::WaitableEvent done;
            std::atomic<bool> switched { false };
        };
        auto outcome = std::make_shared<Outcome>();
        const bool posted = juce::MessageManager::callAsync (
            [effect, slot, outcome]
            {
                // The effect may have been closed meanwhile.
                if (auto* still = containerOf (effect))
                    outcome->switched = still->changeActivePlugin (slot);
                outcome->done.signal();
            });
        return posted && outcome->done.wait (tamblit::hostRequests::switchWaitMs) && outcome->switched.load();
    }

    Vst2::VstIntPtr containerDispatcher (Vst2::AEffect* effect, Vst2::VstInt32 opcode, Vst2::VstInt32 index, Vst2::VstIntPtr value,
                                         void* ptr, float opt)
    {
        if (opcode == Vst2::effGetVendorVersion)
            return tamblit::identity::vendorVersion;

        if (opcode == Vst2::effCanDo && ptr != nullptr)
            return tamblit::identity::canDo (static_cast<const char*> (ptr));

        if (opcode == Vst2::effVendorSpecific && index == tamblit::hostRequests::switchActiveSlot)
        {
            auto* container = containerOf (effect);
            return container != nullptr && (value == 0 || value == 1) && switchActiveSlotFor (effect, *container, (int) value) ? 1 : 0;
        }

        if (opcode == Vst2::effSetSampleRate || opcode == Vst2::effSetBlockSize)
            if (auto* container = containerOf (effect))
                container->noteHostRateAndBlockSize (opcode == Vst2::effSetSampleRate ? (double) opt : 0.0,
                                                     opcode == Vst2::effSetBlockSize ? (int) value : 0);

        if (opcode == Vst2::effClose)
        {
            const std::lock_guard<std::mutex> guard (containersLock);
            containers.erase (effect);
        }

        // Opening and closing set up and tear down JUCE and the slots in the
        // host's process, on a host thread that is never the audio thread.
        if (opcode == Vst2::effOpen || opcode == Vst2::effClose)
        {
            const HostProcessStateGuard hostState;
            return juceDispatcher (effect, opcode, index, value, ptr, opt);
        }
        return juceDispatcher (effect, opcode, index, value, ptr, opt);
    }

    Vst2::AEffect* containerEntry (Vst2::audioMasterCallback audioMaster)
    {
        Vst2::AEffect* effect = nullptr;
        {
            const HostProcessStateGuard hostState;
            effect = juceWrapperVSTPluginMain (audioMaster);
        }
        if (effect == nullptr)
            return nullptr;

        juceDispatcher = effect->dispatcher;
        effect->dispatcher = containerDispatcher;

        if (auto* container = PluginContainerAudioProcessor::takeLastConstructedOnThisThread())
        {
            const std::lock_guard<std::mutex> guard (containersLock);
            containers[effect] = container;
        }
        return effect;
    }
}

extern "C" __attribute__ ((visibility ("default"))) Vst2::AEffect* VSTPluginMain (Vst2::audioMasterCallback audioMaster);
extern "C" __attribute__ ((visibility ("default"))) Vst2::AEffect* VSTPluginMain (Vst2::audioMasterCallback audioMaster)
{
    return containerEntry (audioMaster);
}

// The older Linux entry name.
extern "C" __attribute__ ((visibility ("default"))) Vst2::AEffect*
tamblitLegacyMain (Vst2::audioMasterCallback audioMaster) __asm__("main");
extern "C" __attribute__ ((visibility ("default"))) Vst2::AEffect* tamblitLegacyMain (Vst2::audioMasterCallback audioMaster)
{
    return containerEntry (audioMaster);
}
