// What the bridge plug-in and its worker process share: the layout of the
// shared memory block, the control messages, how each dispatcher opcode's
// pointer is carried across the process boundary, and the futex helpers.
#pragma once

#include <pluginterfaces/vst2.x/aeffectx.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tamblit::bridge {

constexpr int kMaxChannels = 64;      // per direction
constexpr int kMaxFrames = 4096;      // larger host blocks are processed in pieces
constexpr int kMaxEvents = 1024;      // MIDI events per block
constexpr int kMaxParams = 8192;
constexpr int kMaxString = 64;        // longest string copied back into a host buffer
constexpr std::uint32_t kMagic = 0x54426731u;

// The crash probe (see docs/bridge.md).
constexpr int kProbeIndex = 654987;
constexpr VstIntPtr kProbeValue = 998723;
constexpr float kProbeOpt = 0.5f;
// Private question: the worker's process id (for the benchmark and tests).
constexpr int kWorkerPidIndex = 0x54427770; // "TBwp"

// VST 2.x opcode numbers used here, by number: some FST names are placeholders.
namespace op {
constexpr int Open = 0, Close = 1, SetProgram = 2, GetProgram = 3, SetProgramName = 4, GetProgramName = 5,
              GetParamLabel = 6, GetParamDisplay = 7, GetParamName = 8, SetSampleRate = 10, SetBlockSize = 11,
              MainsChanged = 12, EditGetRect = 13, EditOpen = 14, EditClose = 15, EditIdle = 19, EditTop = 20,
              EditSleep = 21, GetChunk = 23, SetChunk = 24, ProcessEvents = 25, CanBeAutomated = 26,
              String2Parameter = 27, GetProgramNameIndexed = 29, GetInputProperties = 33,
              GetOutputProperties = 34, GetEffectName = 45, GetVendorString = 47, GetProductString = 48,
              VendorSpecific = 50, CanDo = 51, GetParameterProperties = 56, ShellGetNextPlugin = 70;
constexpr int HostAutomate = 0, HostVersion = 1, HostCurrentId = 2, HostIdle = 3, HostWantMidi = 6, HostGetTime = 7,
              HostIOChanged = 13, HostGetSampleRate = 16, HostGetBlockSize = 17, HostGetProcessLevel = 23,
              HostGetVendorString = 32, HostGetProductString = 33, HostGetVendorVersion = 34, HostCanDo = 37,
              HostUpdateDisplay = 42, HostBeginEdit = 43, HostEndEdit = 44;
} // namespace op

// How a dispatcher call's pointer travels.
enum class PtrKind {
    None,        // no pointer, or one that is ignored
    StringIn,    // zero-terminated text from the host
    StringOut,   // text written by the plug-in into the host's buffer
    ChunkIn,     // value bytes at ptr (effSetChunk)
    ChunkOut,    // *(void**)ptr = plug-in memory, result = size (effGetChunk)
    RectOut,     // *(ERect**)ptr = plug-in memory
    PinOut,      // VstPinProperties
    WindowId,    // the pointer is an X11 window id, passed through as a number
    Unsupported  // answered 0 by the bridge itself
};

inline PtrKind ptrKind(int opcode)
{
    switch (opcode) {
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
    // Parameter properties, speaker arrangements, MIDI program and key names:
    // structures we do not carry.
    case op::GetParameterProperties:
    case 42: case 64: case 65: case 66: case 69: return PtrKind::Unsupported;
    default: return PtrKind::None;
    }
}

// One MIDI event as it crosses over (VstMidiEvent without the pointer-sized padding games).
struct MidiEvent {
    std::int32_t deltaFrames;
    std::int32_t flags;
    std::int32_t noteLength;
    std::int32_t noteOffset;
    unsigned char data[4];
    std::int8_t detune;
    unsigned char noteOffVelocity;
};

// Worker-to-bridge notices the bridge forwards to its host from a non-audio call.
enum Notice : std::uint32_t { NoticeIOChanged = 1u, NoticeUpdateDisplay = 2u, NoticeAutomate = 4u };

// The shared memory block. Both sides map it at start-up; its size is fixed.
struct Shared {
    std::uint32_t magic;
    // Audio handshake: the bridge bumps `request` and wakes it; the worker
    // answers by storing the same number into `reply`.
    alignas(64) std::atomic<std::uint32_t> request;
    alignas(64) std::atomic<std::uint32_t> reply;
    alignas(64) std::atomic<std::uint32_t> quit;
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
    std::atomic<std::int32_t> latency;

    alignas(64) float audio[2 * kMaxChannels][kMaxFrames]; // inputs, then outputs
};

inline float* inputChannel(Shared& s, int c) { return s.audio[c]; }
inline float* outputChannel(Shared& s, int c) { return s.audio[kMaxChannels + c]; }

// What the worker reports once the target is open.
struct EffectInfo {
    std::int32_t ok;
    std::int32_t numInputs, numOutputs, numParams, numPrograms;
    std::int32_t flags, uniqueID, version, initialDelay;
    char error[256];
};

// Control messages over the socket: a header, then `payload` bytes.
struct Request {
    std::uint32_t magic;
    std::int32_t opcode;
    std::int32_t index;
    std::int64_t value;
    float opt;
    std::uint32_t payload;
};

struct Reply {
    std::uint32_t magic;
    std::int64_t result;
    std::uint32_t payload;
};

// Internal control requests (negative opcodes never reach a plug-in).
constexpr int kOpenTarget = -1;  // payload: target path; value: shell sub-plug-in id
constexpr int kSetParameter = -2; // index, opt: applied at once (message thread)
constexpr int kGetParameter = -3;

inline long futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* relative)
{
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT, expected, relative, nullptr, 0);
}

inline void futexWake(std::atomic<std::uint32_t>* word)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

inline std::int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

inline timespec nsToTimespec(std::int64_t ns)
{
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    t.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return t;
}

// Waits until `word` differs from `seen` or `deadline` (CLOCK_MONOTONIC ns)
// passes, spinning for `spinNs` first. True when the word changed.
inline bool waitForChange(std::atomic<std::uint32_t>& word, std::uint32_t seen, std::int64_t deadline,
                          std::int64_t spinNs)
{
    const std::int64_t spinUntil = nowNs() + spinNs;
    for (int spin = 0;; ++spin) {
        if (word.load(std::memory_order_acquire) != seen)
            return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if ((spin & 63) == 63 && nowNs() > spinUntil)
            break;
    }
    for (;;) {
        if (word.load(std::memory_order_acquire) != seen)
            return true;
        const std::int64_t left = deadline - nowNs();
        if (left <= 0)
            return false;
        const timespec relative = nsToTimespec(left);
        futexWait(&word, seen, &relative);
    }
}

} // namespace tamblit::bridge
