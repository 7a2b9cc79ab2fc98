// What the bridge plug-in and its worker process share: the layout of the
// shared memory block, the control messages, how each dispatcher opcode's
// pointer is carried across the process boundary, and the futex helpers.
#pragma once

#include "../../src/crash/CrashProbe.h"

#include <pluginterfaces/vst2.x/aeffectx.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace tamblit::bridge
{

// The protocol's version. Both sides compare it, with the size of the shared
// block and of the effect description, before anything else crosses over; a
// bridged copy and a worker built from different sources refuse each other.
#ifndef TAMBLIT_BRIDGE_PROTOCOL_VERSION
#define TAMBLIT_BRIDGE_PROTOCOL_VERSION 3
#endif
    constexpr std::uint32_t kProtocolVersion = TAMBLIT_BRIDGE_PROTOCOL_VERSION;

    // What the protocol carries. The bridge refuses anything from the worker
    // beyond these.
    constexpr int kMaxChannels = 64; // per direction
    constexpr int kMaxFrames = 4096; // larger host blocks are processed in pieces
    constexpr int kMaxEvents = 1024; // MIDI events per block
    constexpr int kMaxParams = 8192;
    constexpr int kMaxPrograms = 65536;
    constexpr int kMaxString = 64; // longest string, terminator included, copied back into a host buffer
    constexpr std::uint32_t kMaxChunk = 128u << 20; // largest state chunk either way
    constexpr int kMaxEditorSize = 16384; // widest and tallest editor rectangle
    constexpr std::int32_t kMaxLatency = 1 << 24;
    constexpr std::uint32_t kMagic = 0x54426732u;
    // The floating-point mode the worker's audio thread follows (x86: MXCSR
    // flush-to-zero, bit 15, and denormals-are-zero, bit 6), and the mark
    // that a bridge sent it.
    constexpr std::uint32_t kFloatModeBits = 0x8040u;
    constexpr std::uint32_t kFloatModeKnown = 0x80000000u;
    // The first protocol's framing magic: a worker answers a bridge of that
    // protocol with a refusal it can read.
    constexpr std::uint32_t kMagicV1 = 0x54426731u;

    // The crash probe and the never-waiting mark (see docs/bridge.md), as the
    // container knows them.
    constexpr int kProbeIndex = crashProbe::index;
    constexpr VstIntPtr kProbeValue = crashProbe::value;
    constexpr float kProbeOpt = crashProbe::option;
    inline constexpr const char (&kParametersNeverWait)[8] = crashProbe::parametersNeverWait;
    // Private question: the worker's process id (for the benchmark and tests).
    constexpr int kWorkerPidIndex = 0x54427770; // "TBwp"
    constexpr int kWorkerEndSignalIndex = crashProbe::workerEndSignalIndex;

    // VST 2.x opcode numbers used here, by number: some FST names are placeholders.
    namespace op
    {
        constexpr int Open = 0, Close = 1, SetProgram = 2, GetProgram = 3, SetProgramName = 4, GetProgramName = 5, GetParamLabel = 6,
                      GetParamDisplay = 7, GetParamName = 8, SetSampleRate = 10, SetBlockSize = 11, MainsChanged = 12, EditGetRect = 13,
                      EditOpen = 14, EditClose = 15, EditIdle = 19, EditTop = 20, EditSleep = 21, GetChunk = 23, SetChunk = 24,
                      ProcessEvents = 25, CanBeAutomated = 26, String2Parameter = 27, GetProgramNameIndexed = 29, GetInputProperties = 33,
                      GetOutputProperties = 34, GetEffectName = 45, GetVendorString = 47, GetProductString = 48, VendorSpecific = 50,
                      CanDo = 51, GetParameterProperties = 56, ShellGetNextPlugin = 70;
        constexpr int GetVu = 9, EditDraw = 16, EditMouse = 17, EditKey = 18, Identify = 22, GetNumProgramCategories = 28, CopyProgram = 30,
                      ConnectInput = 31, ConnectOutput = 32, GetPlugCategory = 35, GetCurrentPosition = 36, GetDestinationBuffer = 37,
                      OfflineNotify = 38, OfflinePrepare = 39, OfflineRun = 40, ProcessVarIo = 41, SetSpeakerArrangement = 42,
                      SetBlockSizeAndSampleRate = 43, SetBypass = 44, GetErrorText = 46, GetVendorVersion = 49, GetTailSize = 52, Idle = 53,
                      GetIcon = 54, SetViewPosition = 55, KeysRequired = 57, GetVstVersion = 58, EditKeyDown = 59, EditKeyUp = 60,
                      SetEditKnobMode = 61, GetMidiProgramName = 62, GetCurrentMidiProgram = 63, GetMidiProgramCategory = 64,
                      HasMidiProgramsChanged = 65, GetMidiKeyName = 66, BeginSetProgram = 67, EndSetProgram = 68,
                      GetSpeakerArrangement = 69, StartProcess = 71, StopProcess = 72, SetTotalSampleToProcess = 73, SetPanLaw = 74,
                      BeginLoadBank = 75, BeginLoadProgram = 76, SetProcessPrecision = 77, GetNumMidiInputChannels = 78,
                      GetNumMidiOutputChannels = 79;
        constexpr int HostAutomate = 0, HostVersion = 1, HostCurrentId = 2, HostIdle = 3, HostWantMidi = 6, HostGetTime = 7,
                      HostIOChanged = 13, HostGetSampleRate = 16, HostGetBlockSize = 17, HostGetProcessLevel = 23, HostGetVendorString = 32,
                      HostGetProductString = 33, HostGetVendorVersion = 34, HostCanDo = 37, HostUpdateDisplay = 42, HostBeginEdit = 43,
                      HostEndEdit = 44;
    } // namespace op

    // How a dispatcher call's pointer travels.
    enum class PtrKind
    {
        None, // no pointer
        StringIn, // zero-terminated text from the host
        StringOut, // text written by the plug-in into the host's buffer
        ChunkIn, // value bytes at ptr (effSetChunk)
        ChunkOut, // *(void**)ptr = plug-in memory, result = size (effGetChunk)
        RectOut, // *(ERect**)ptr = plug-in memory
        PinOut, // VstPinProperties
        WindowId, // the pointer is an X11 window id, passed through as a number
        Unsupported // answered 0 by the bridge itself, never forwarded
    };

    // The opcodes the bridge forwards, and how their pointer travels. This is an
    // allow-list: every other opcode, known or not, is answered 0 on the host
    // side, because forwarding one whose pointer we do not carry would hand the
    // plug-in a null pointer where it expects a structure (MIDI program and key
    // names, bank and program load notices, error text, speaker arrangements,
    // parameter properties, offline processing...).
    inline PtrKind ptrKind (int opcode)
    {
        switch (opcode)
        {
            case op::Open:
            case op::Close:
            case op::SetProgram:
            case op::GetProgram:
            case op::SetSampleRate:
            case op::SetBlockSize:
            case op::MainsChanged:
            case op::EditClose:
            case op::EditIdle:
            case op::EditTop:
            case op::EditSleep:
            case op::CanBeAutomated:
            case op::GetPlugCategory:
            case op::SetBypass:
            case op::GetVendorVersion:
            case op::VendorSpecific: // only with a null pointer; see the bridge's dispatch
            case op::GetTailSize:
            case op::GetVstVersion:
            case op::EditKeyDown:
            case op::EditKeyUp:
            case op::SetEditKnobMode:
            case op::HasMidiProgramsChanged:
            case op::BeginSetProgram:
            case op::EndSetProgram:
            case op::StartProcess:
            case op::StopProcess:
            case op::SetTotalSampleToProcess:
            case op::SetPanLaw:
            case op::SetProcessPrecision:
            case op::GetNumMidiInputChannels:
            case op::GetNumMidiOutputChannels:
            // Pointer-free opcodes of older SDKs some hosts still send (JUCE sends
            // effIdentify and effKeysRequired).
            case op::GetVu:
            case op::EditMouse:
            case op::EditKey:
            case op::Identify:
            case op::GetNumProgramCategories:
            case op::CopyProgram:
            case op::ConnectInput:
            case op::ConnectOutput:
            case op::GetCurrentPosition:
            case op::SetBlockSizeAndSampleRate:
            case op::Idle:
            case op::SetViewPosition:
            case op::KeysRequired: return PtrKind::None;
            case op::SetProgramName:
            case op::CanDo:
            case op::String2Parameter: return PtrKind::StringIn;
            case op::GetProgramName:
            case op::GetParamLabel:
            case op::GetParamDisplay:
            case op::GetParamName:
            case op::GetProgramNameIndexed:
            case op::GetEffectName:
            case op::GetVendorString:
            case op::GetProductString:
            case op::ShellGetNextPlugin: return PtrKind::StringOut;
            case op::SetChunk: return PtrKind::ChunkIn;
            case op::GetChunk: return PtrKind::ChunkOut;
            case op::EditGetRect: return PtrKind::RectOut;
            case op::GetInputProperties:
            case op::GetOutputProperties: return PtrKind::PinOut;
            case op::EditOpen: return PtrKind::WindowId;
            default: return PtrKind::Unsupported;
        }
    }

    // Calls that must not reach the target while its audio thread is inside a block.
    inline bool excludesProcessing (int opcode)
    {
        return opcode == op::SetSampleRate || opcode == op::SetBlockSize || opcode == op::SetBlockSizeAndSampleRate
               || opcode == op::MainsChanged || opcode == op::StartProcess || opcode == op::StopProcess;
    }

    // One MIDI event as it crosses over (VstMidiEvent without the pointer-sized padding games).
    struct MidiEvent
    {
        std::int32_t deltaFrames;
        std::int32_t flags;
        std::int32_t noteLength;
        std::int32_t noteOffset;
        unsigned char data[4];
        std::int8_t detune;
        unsigned char noteOffVelocity;
    };

    // Worker-to-bridge notices the bridge forwards to its host from a non-audio call.
    enum Notice : std::uint32_t
    {
        NoticeIOChanged = 1u,
        NoticeUpdateDisplay = 2u,
        NoticeAutomate = 4u,
        NoticeEdit = 8u // a gesture began or ended (editBegun / editEnded)
    };

    // The shared memory block. Both sides map it at start-up; its size is fixed.
    struct Shared
    {
        std::uint32_t magic;
        std::uint32_t protocol;
        std::uint64_t size; // sizeof(Shared) of the bridge that made it
        // Audio handshake: the bridge bumps `request` and wakes it; the worker
        // answers by storing the same number into `reply`.
        alignas (64) std::atomic<std::uint32_t> request;
        alignas (64) std::atomic<std::uint32_t> reply;
        alignas (64) std::atomic<std::uint32_t> quit;
        std::int32_t frames;
        std::int32_t numEvents;
        std::int32_t haveTime;
        VstTimeInfo time;
        MidiEvent events[kMaxEvents];

        // Parameters: values as the plug-in reports them, and values the host set
        // that the worker has still to apply.
        std::atomic<std::uint32_t> pendingParams; // how many `pending` flags may be set
        std::atomic<std::uint32_t> notices;
        std::atomic<float> value[kMaxParams];
        std::atomic<float> pendingValue[kMaxParams];
        std::atomic<std::uint8_t> pending[kMaxParams];
        std::atomic<std::uint8_t> automated[kMaxParams]; // changed by the plug-in's own editor
        std::atomic<std::uint8_t> editBegun[kMaxParams]; // the editor took hold of it
        std::atomic<std::uint8_t> editEnded[kMaxParams]; // and let it go
        std::atomic<std::int32_t> latency;
        // The scheduling class and priority of the host thread that calls
        // process (set by the bridge), and how the worker's audio thread took
        // them: 0 once it runs so, else the error number of its refusal.
        std::atomic<std::int32_t> hostPolicy;
        std::atomic<std::int32_t> hostPriority;
        std::atomic<std::int32_t> schedulingRefused;
        // The floating-point mode of that thread, as far as the worker's audio
        // thread takes it: kFloatModeKnown with the flush-to-zero and
        // denormals-are-zero bits of its MXCSR (kFloatModeBits), written by the
        // bridge before every block. Zero (a bridge that does not say) leaves
        // the worker's own mode alone. It sits in space the block already had
        // before `audio`, so its size, and protocol 3, are unchanged: an older
        // worker ignores it.
        std::atomic<std::uint32_t> hostFloatMode;

        alignas (64) float audio[2 * kMaxChannels][kMaxFrames]; // inputs, then outputs
    };

    // The floating-point mode a bridge sends for the calling thread, and the
    // one the worker's audio thread takes on: only the bits the protocol
    // carries, whatever else the word holds. No-ops where there is no MXCSR.
    inline std::uint32_t currentFloatMode () noexcept
    {
#if defined(__x86_64__) || defined(__i386__)
        return kFloatModeKnown | (static_cast<std::uint32_t> (_mm_getcsr()) & kFloatModeBits);
#else
        return 0;
#endif
    }

    inline void followFloatMode ([[maybe_unused]] std::uint32_t mode) noexcept
    {
#if defined(__x86_64__) || defined(__i386__)
        if ((mode & kFloatModeKnown) == 0)
            return;
        const unsigned int now = _mm_getcsr();
        const unsigned int wanted = (now & ~kFloatModeBits) | (mode & kFloatModeBits);
        if (wanted != now)
            _mm_setcsr (wanted);
#endif
    }

    inline float* inputChannel (Shared& s, int c)
    {
        return s.audio[c];
    }
    inline float* outputChannel (Shared& s, int c)
    {
        return s.audio[kMaxChannels + c];
    }

    // The first message each way, before anything else. Its layout never
    // changes, so that two sides built from different sources can tell.
    struct Hello
    {
        std::uint32_t magic; // kHelloMagic
        std::uint32_t protocol; // kProtocolVersion
        std::uint64_t sharedSize; // sizeof(Shared)
        std::uint32_t infoSize; // sizeof(EffectInfo)
        std::uint32_t requestSize; // sizeof(Request); sizeof(Reply) follows from the version
        std::uint64_t reserved; // zero; makes the hello as long as the first protocol's request
    };
    // A worker of the first protocol reads a whole request before it looks at
    // the magic: it must get one, see the wrong magic and leave at once.
    static_assert (sizeof (Hello) == 32, "the first protocol's request size");
    static_assert (offsetof (Shared, hostFloatMode) + sizeof (Shared::hostFloatMode) <= offsetof (Shared, audio),
                   "the floating-point mode fits where protocol 3 had room, or the version must change");
    constexpr std::uint32_t kHelloMagic = 0x54424865u; // "TBHe"

    // What the worker reports once the target is open.
    struct EffectInfo
    {
        std::int32_t ok;
        std::int32_t numInputs, numOutputs, numParams, numPrograms;
        std::int32_t flags, uniqueID, version, initialDelay;
        char error[256];
    };

    // Control messages over the socket: a header, then `payload` bytes. Every
    // reply names the request it answers.
    struct Request
    {
        std::uint32_t magic;
        std::int32_t opcode;
        std::int32_t index;
        std::uint32_t sequence;
        std::int64_t value;
        float opt;
        std::uint32_t payload;
    };

    struct Reply
    {
        std::uint32_t magic;
        std::uint32_t sequence;
        std::int64_t result;
        std::uint32_t payload;
    };

    // Internal control requests (negative opcodes never reach a plug-in).
    constexpr int kOpenTarget = -1; // payload: target path; value: shell sub-plug-in id
    constexpr int kSetParameter = -2; // index, opt: applied at once (message thread)
    constexpr int kGetParameter = -3;

    // The first protocol's open reply, for the refusal a newer worker sends to a
    // bridge of that protocol.
    struct ReplyV1
    {
        std::uint32_t magic;
        std::int64_t result;
        std::uint32_t payload;
    };
    struct EffectInfoV1
    {
        std::int32_t ok;
        std::int32_t fields[8];
        char error[256];
    };

    inline long futexWait (std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* relative)
    {
        return syscall (SYS_futex, reinterpret_cast<std::uint32_t*> (word), FUTEX_WAIT, expected, relative, nullptr, 0);
    }

    inline void futexWake (std::atomic<std::uint32_t>* word)
    {
        syscall (SYS_futex, reinterpret_cast<std::uint32_t*> (word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
    }

    inline std::int64_t nowNs ()
    {
        timespec t {};
        clock_gettime (CLOCK_MONOTONIC, &t);
        return static_cast<std::int64_t> (t.tv_sec) * 1000000000LL + t.tv_nsec;
    }

    inline timespec nsToTimespec (std::int64_t ns)
    {
        timespec t {};
        t.tv_sec = static_cast<time_t> (ns / 1000000000LL);
        t.tv_nsec = static_cast<long> (ns % 1000000000LL);
        return t;
    }

    // Waits until `word` differs from `seen` or `deadline` (CLOCK_MONOTONIC ns)
    // passes, spinning for `spinNs` first. True when the word changed.
    inline bool waitForChange (std::atomic<std::uint32_t>& word, std::uint32_t seen, std::int64_t deadline, std::int64_t spinNs)
    {
        const std::int64_t spinUntil = nowNs() + spinNs;
        for (int spin = 0;; ++spin)
        {
            if (word.load (std::memory_order_acquire) != seen)
                return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            if ((spin & 63) == 63 && nowNs() > spinUntil)
                break;
        }
        for (;;)
        {
            if (word.load (std::memory_order_acquire) != seen)
                return true;
            const std::int64_t left = deadline - nowNs();
            if (left <= 0)
                return false;
            const timespec relative = nsToTimespec (left);
            futexWait (&word, seen, &relative);
        }
    }

} // namespace tamblit::bridge
