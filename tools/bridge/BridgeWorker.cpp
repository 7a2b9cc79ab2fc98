// tamblit-bridge-worker: runs one VST 2.x plug-in on behalf of a bridge
// plug-in in another process. The bridge starts it as
//   tamblit-bridge-worker --serve <shared memory fd> <control socket fd>
// Audio and MIDI arrive through the shared memory block, one block per
// futex wake-up, on the worker's audio thread; every other call arrives over
// the control socket and runs on the worker's main thread, which is also the
// plug-in's editor thread. When the plug-in crashes, this process dies and
// the bridge notices; the host lives on.
//
//   tamblit-bridge-worker --probe <plug-in.so>
// loads the plug-in in this process and prints what it is (used by wrap).
#include "BridgeIo.h"
#include "BridgeProtocol.h"
#include "JuceTarget.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace tamblit::bridge;

namespace
{

    using EntryPoint = AEffect* (*) (audioMasterCallback);

    struct Worker
    {
        Shared* shared = nullptr;
        int sock = -1;
        AEffect* effect = nullptr;
        VstIntPtr currentId = 0;
        float sampleRate = 44100.0f;
        VstIntPtr blockSize = 512;
        VstTimeInfo time {};
        int numParams = 0;
        int refreshCursor = 0;
        std::uint32_t sequence = 0; // of the request being answered
        // Held by the audio thread for a whole block, and by the main thread for
        // the calls that must not overlap one (sample rate, block size, resume).
        std::mutex blockLock;
    };

    Worker gWorker;
    thread_local bool tIsAudioThread = false;

    VstIntPtr VSTCALLBACK hostCallback (AEffect*, int opcode, int index, VstIntPtr value, void* ptr, float opt)
    {
        Worker& w = gWorker;
        switch (opcode)
        {
            case op::HostVersion: return 2400;
            case op::HostCurrentId: return w.currentId;
            case op::HostWantMidi: return 1;
            case op::HostGetTime: return (w.shared != nullptr && w.shared->haveTime != 0) ? reinterpret_cast<VstIntPtr> (&w.time) : 0;
            case op::HostGetSampleRate: return static_cast<VstIntPtr> (w.sampleRate);
            case op::HostGetBlockSize: return w.blockSize;
            case op::HostGetProcessLevel: return tIsAudioThread ? 2 : 1;
            case op::HostAutomate:
                // The plug-in's own editor moved a parameter: the bridge tells its host.
                if (w.shared != nullptr && index >= 0 && index < kMaxParams && index < w.numParams)
                {
                    w.shared->value[index].store (opt, std::memory_order_relaxed);
                    w.shared->automated[index].store (1, std::memory_order_release);
                    w.shared->notices.fetch_or (NoticeAutomate);
                }
                return 0;
            case op::HostBeginEdit:
            case op::HostEndEdit:
                // A gesture in the plug-in's own editor: the bridge tells its host, in order.
                if (w.shared != nullptr && index >= 0 && index < kMaxParams && index < w.numParams)
                {
                    auto& flag = opcode == op::HostBeginEdit ? w.shared->editBegun[index] : w.shared->editEnded[index];
                    flag.store (1, std::memory_order_release);
                    w.shared->notices.fetch_or (NoticeEdit);
                }
                return 1;
            case op::HostIOChanged:
                if (w.shared != nullptr && w.effect != nullptr)
                {
                    w.shared->latency.store (w.effect->initialDelay);
                    w.shared->notices.fetch_or (NoticeIOChanged);
                }
                return 1;
            case op::HostUpdateDisplay:
                if (w.shared != nullptr)
                    w.shared->notices.fetch_or (NoticeUpdateDisplay);
                return 1;
            case op::HostGetVendorString:
                if (ptr != nullptr)
                    std::snprintf (static_cast<char*> (ptr), kVstMaxVendorStrLen, "Tamblit");
                return 1;
            case op::HostGetProductString:
                if (ptr != nullptr)
                    std::snprintf (static_cast<char*> (ptr), kVstMaxProductStrLen, "tamblit-bridge");
                return 1;
            case op::HostGetVendorVersion: return 1;
            case op::HostCanDo:
            {
                const char* what = static_cast<const char*> (ptr);
                if (what == nullptr)
                    return 0;
                for (const char* yes : { "sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo", "supplyIdle" })
                    if (std::strcmp (what, yes) == 0)
                        return 1;
                return 0;
            }
            default: (void) value; return 0;
        }
    }

    // A bridged copy as a target would start a bridge inside this worker, which
    // would start another worker, and so on.
    bool isBridgedCopy (const std::string& path)
    {
        char resolved[PATH_MAX] = {};
        const std::string real = realpath (path.c_str(), resolved) != nullptr ? resolved : path;
        for (const std::string& candidate : { path, real })
            if (access (sideFilePathFor (candidate).c_str(), F_OK) == 0)
                return true;
        return false;
    }

    AEffect* loadTarget (const std::string& path, std::string& error)
    {
        if (isBridgedCopy (path))
        {
            error = "the target is itself a bridged copy (a side file loop)";
            return nullptr;
        }
        void* library = dlopen (path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
        {
            const char* why = dlerror();
            error = why != nullptr ? why : "cannot load";
            return nullptr;
        }
        auto entry = reinterpret_cast<EntryPoint> (dlsym (library, "VSTPluginMain"));
        if (entry == nullptr)
            entry = reinterpret_cast<EntryPoint> (dlsym (library, "main"));
        if (entry == nullptr)
        {
            error = "no VST 2.x entry point";
            return nullptr;
        }
        AEffect* effect = entry (hostCallback);
        if (effect == nullptr || effect->magic != kEffectMagic)
        {
            error = "the entry point returned no effect";
            return nullptr;
        }
        if (effect->numInputs < 0 || effect->numOutputs < 0 || effect->numInputs > kMaxChannels || effect->numOutputs > kMaxChannels)
        {
            error = "too many channels for the bridge";
            return nullptr;
        }
        return effect;
    }

    void applyPendingParameters ()
    {
        Worker& w = gWorker;
        if (w.shared->pendingParams.exchange (0, std::memory_order_acq_rel) == 0)
            return;
        for (int i = 0; i < w.numParams; ++i)
        {
            if (w.shared->pending[i].exchange (0, std::memory_order_acq_rel) == 0)
                continue;
            const float v = w.shared->pendingValue[i].load (std::memory_order_relaxed);
            w.effect->setParameter (w.effect, i, v);
            w.shared->value[i].store (w.effect->getParameter (w.effect, i), std::memory_order_relaxed);
        }
    }

    void refreshValues (int first, int count)
    {
        Worker& w = gWorker;
        for (int n = 0; n < count && n < w.numParams; ++n)
        {
            const int i = (first + n) % w.numParams;
            if (w.shared->pending[i].load (std::memory_order_relaxed) == 0)
                w.shared->value[i].store (w.effect->getParameter (w.effect, i), std::memory_order_relaxed);
        }
    }

    // The audio thread: one block per request.
    void audioLoop ()
    {
        tIsAudioThread = true;
        Worker& w = gWorker;
        Shared& s = *w.shared;
        std::vector<char> eventStorage (sizeof (VstEvents) + kMaxEvents * sizeof (VstEvent*));
        std::vector<VstMidiEvent> midi (kMaxEvents);
        auto* events = reinterpret_cast<VstEvents*> (eventStorage.data());
        float* in[kMaxChannels];
        float* out[kMaxChannels];
        for (int c = 0; c < kMaxChannels; ++c)
        {
            in[c] = inputChannel (s, c);
            out[c] = outputChannel (s, c);
        }
        const pid_t parent = getppid();
        int appliedPolicy = SCHED_OTHER, appliedPriority = 0;
        std::uint32_t seen = 0; // the first request is 1, whether or not it came before this thread
        while (s.quit.load (std::memory_order_acquire) == 0)
        {
            // No spinning: the next block is a whole block period away.
            if (! waitForChange (s.request, seen, nowNs() + 200000000LL, 0))
            {
                if (getppid() != parent)
                    _exit (0); // the host is gone
                continue;
            }
            seen = s.request.load (std::memory_order_acquire);
            if (s.quit.load (std::memory_order_acquire) != 0)
                break;
            // Run as the host thread that asked for this block runs (real-time
            // class and priority included), where the system allows it.
            const int policy = s.hostPolicy.load (std::memory_order_acquire);
            const int priority = s.hostPriority.load (std::memory_order_relaxed);
            if (policy != appliedPolicy || priority != appliedPriority)
            {
                appliedPolicy = policy;
                appliedPriority = priority;
                const bool realTime = policy == SCHED_FIFO || policy == SCHED_RR;
                sched_param parameter {};
                parameter.sched_priority = realTime ? priority : 0;
                const int result = pthread_setschedparam (pthread_self(), realTime ? policy : SCHED_OTHER, &parameter);
                s.schedulingRefused.store (result, std::memory_order_relaxed);
                if (result != 0)
                {
                    // Refused (no permission for that class): keep the normal one.
                    sched_param normal {};
                    pthread_setschedparam (pthread_self(), SCHED_OTHER, &normal);
                }
            }
            // And with its floating-point mode: flush-to-zero and
            // denormals-are-zero as the host thread has them, set before the
            // target runs (it may have changed them in its last block).
            followFloatMode (s.hostFloatMode.load (std::memory_order_relaxed));
            std::lock_guard<std::mutex> inBlock (w.blockLock);
            applyPendingParameters();
            const int frames = s.frames < 0 ? 0 : (s.frames > kMaxFrames ? kMaxFrames : s.frames);
            if (s.haveTime != 0)
                w.time = s.time;
            const int count = s.numEvents < 0 ? 0 : (s.numEvents > kMaxEvents ? kMaxEvents : s.numEvents);
            if (count > 0)
            {
                events->numEvents = count;
                for (int e = 0; e < count; ++e)
                {
                    VstMidiEvent& m = midi[e];
                    std::memset (&m, 0, sizeof (m));
                    m.type = kVstMidiType;
                    m.byteSize = sizeof (VstMidiEvent);
                    m.deltaFrames = s.events[e].deltaFrames;
                    m.flags = s.events[e].flags;
                    m.noteLength = s.events[e].noteLength;
                    m.noteOffset = s.events[e].noteOffset;
                    std::memcpy (m.midiData, s.events[e].data, 4);
                    m.detune = s.events[e].detune;
                    m.noteOffVelocity = s.events[e].noteOffVelocity;
                    events->events[e] = reinterpret_cast<VstEvent*> (&m);
                }
                w.effect->dispatcher (w.effect, op::ProcessEvents, 0, 0, events, 0.0f);
            }
            if ((w.effect->flags & effFlagsCanReplacing) != 0 && w.effect->processReplacing != nullptr)
            {
                w.effect->processReplacing (w.effect, in, out, frames);
            }
            else
            {
                for (int c = 0; c < w.effect->numOutputs; ++c)
                    std::memset (out[c], 0, sizeof (float) * static_cast<std::size_t> (frames));
                w.effect->process (w.effect, in, out, frames);
            }
            // A slice of the parameter values per block keeps getParameter fresh
            // at a bounded cost.
            if (w.numParams > 0)
            {
                refreshValues (w.refreshCursor, 32);
                w.refreshCursor = (w.refreshCursor + 32) % w.numParams;
            }
            s.reply.store (seen, std::memory_order_release);
            futexWake (&s.reply);
        }
    }

    bool sendReply (VstIntPtr result, const void* payload, std::uint32_t size)
    {
        Reply reply { kMagic, gWorker.sequence, static_cast<std::int64_t> (result), size };
        return sendAll (gWorker.sock, &reply, sizeof (reply)) && (size == 0 || sendAll (gWorker.sock, payload, size));
    }

    // Runs one control request against the plug-in and answers it.
    bool serveRequest (const Request& request, std::vector<char>& payload)
    {
        Worker& w = gWorker;
        AEffect* fx = w.effect;
        applyPendingParameters();
        if (request.opcode == kSetParameter)
        {
            if (request.index >= 0 && request.index < w.numParams)
            {
                fx->setParameter (fx, request.index, request.opt);
                w.shared->value[request.index].store (fx->getParameter (fx, request.index));
            }
            return sendReply (0, nullptr, 0);
        }
        if (request.opcode == kGetParameter)
        {
            const float v = (request.index >= 0 && request.index < w.numParams) ? fx->getParameter (fx, request.index) : 0.0f;
            return sendReply (0, &v, sizeof (v));
        }

        const int opcode = request.opcode;
        const auto index = request.index;
        const auto value = static_cast<VstIntPtr> (request.value);
        VstIntPtr result = 0;
        if (opcode == op::SetSampleRate && request.opt > 0.0f)
            w.sampleRate = request.opt;
        if (opcode == op::SetBlockSize)
            w.blockSize = value;
        // These reconfigure the plug-in: never while its audio thread is inside a
        // block (a late block may still be running).
        std::unique_lock<std::mutex> notInBlock (w.blockLock, std::defer_lock);
        if (excludesProcessing (opcode))
            notInBlock.lock();

        switch (ptrKind (opcode))
        {
            case PtrKind::StringIn:
                payload.push_back ('\0');
                result = fx->dispatcher (fx, opcode, index, value, payload.data(), request.opt);
                break;
            case PtrKind::StringOut:
            {
                char text[4096] = {}; // room for plug-ins that overrun the documented lengths
                result = fx->dispatcher (fx, opcode, index, value, text, request.opt);
                const auto length = static_cast<std::uint32_t> (strnlen (text, kMaxString - 1));
                text[length] = '\0';
                return sendReply (result, text, length + 1);
            }
            case PtrKind::ChunkIn:
                result = fx->dispatcher (fx, opcode, index, static_cast<VstIntPtr> (payload.size()), payload.data(), request.opt);
                break;
            case PtrKind::ChunkOut:
            {
                void* data = nullptr;
                result = fx->dispatcher (fx, opcode, index, value, &data, request.opt);
                if (result > static_cast<VstIntPtr> (kMaxChunk))
                {
                    std::fprintf (stderr, "tamblit-bridge-worker: a chunk of %ld bytes is more than the bridge carries\n",
                                  static_cast<long> (result));
                    result = 0;
                }
                const std::uint32_t size = (result > 0 && data != nullptr) ? static_cast<std::uint32_t> (result) : 0;
                refreshValues (0, w.numParams);
                return sendReply (size > 0 ? result : 0, data, size);
            }
            case PtrKind::RectOut:
            {
                ERect* rect = nullptr;
                result = fx->dispatcher (fx, opcode, index, value, &rect, request.opt);
                return sendReply (result, rect, rect != nullptr ? sizeof (ERect) : 0);
            }
            case PtrKind::PinOut:
            {
                VstPinProperties pin {};
                result = fx->dispatcher (fx, opcode, index, value, &pin, request.opt);
                pin.label[sizeof (pin.label) - 1] = '\0';
                pin.shortLabel[sizeof (pin.shortLabel) - 1] = '\0';
                return sendReply (result, &pin, sizeof (pin));
            }
            case PtrKind::WindowId:
            {
                std::uint64_t window = 0;
                if (payload.size() == sizeof (window))
                    std::memcpy (&window, payload.data(), sizeof (window));
                result = fx->dispatcher (fx, opcode, index, value, reinterpret_cast<void*> (static_cast<std::uintptr_t> (window)),
                                         request.opt);
                break;
            }
            case PtrKind::Unsupported: break; // the bridge never sends these; never forwarded with a null pointer
            case PtrKind::None: result = fx->dispatcher (fx, opcode, index, value, nullptr, request.opt); break;
        }
        // Programs, chunks and the editor change values behind the host's back.
        refreshValues (0, w.numParams);
        w.shared->latency.store (fx->initialDelay);
        return sendReply (result, nullptr, 0);
    }

    // Answers a bridge of the first protocol, which sends no hello, with a
    // refusal it can show.
    void refuseFirstProtocol (int sock)
    {
        ReplyV1 reply { kMagicV1, 0, sizeof (EffectInfoV1) };
        EffectInfoV1 info {};
        std::snprintf (info.error, sizeof (info.error), "this worker speaks bridge protocol %u; re-run tamblit-bridge wrap",
                       kProtocolVersion);
        if (sendAll (sock, &reply, sizeof (reply)))
            sendAll (sock, &info, sizeof (info));
    }

    int serve (int shmFd, int sock)
    {
        Worker& w = gWorker;
        w.sock = sock;
        // Hello first: nothing else is read or mapped before both sides agree.
        Hello theirs {};
        if (! recvAll (sock, &theirs, sizeof (theirs), 10000))
            return 2;
        if (theirs.magic == kMagicV1)
        {
            refuseFirstProtocol (sock);
            return 2;
        }
        const Hello mine { kHelloMagic, kProtocolVersion, sizeof (Shared), sizeof (EffectInfo), sizeof (Request), 0 };
        if (! sendAll (sock, &mine, sizeof (mine)) || theirs.magic != kHelloMagic || theirs.protocol != mine.protocol
            || theirs.sharedSize != mine.sharedSize || theirs.infoSize != mine.infoSize || theirs.requestSize != mine.requestSize)
            return 2;

        struct stat shm
        {
        };
        if (fstat (shmFd, &shm) != 0 || static_cast<std::uint64_t> (shm.st_size) != sizeof (Shared))
            return 2;
        void* mapped = mmap (nullptr, sizeof (Shared), PROT_READ | PROT_WRITE, MAP_SHARED, shmFd, 0);
        close (shmFd);
        if (mapped == MAP_FAILED)
            return 2;
        w.shared = static_cast<Shared*> (mapped);
        if (w.shared->magic != kMagic || w.shared->protocol != kProtocolVersion || w.shared->size != sizeof (Shared))
            return 2;

        Request open {};
        if (! recvAll (sock, &open, sizeof (open), 10000) || open.magic != kMagic || open.opcode != kOpenTarget
            || open.payload > kMaxPathLength)
            return 2;
        std::string path (open.payload, '\0');
        if (! recvAll (sock, path.data(), path.size(), 10000))
            return 2;
        w.currentId = static_cast<VstIntPtr> (open.value);
        w.sequence = open.sequence;

        EffectInfo info {};
        std::string error;
        w.effect = isJuceTarget (path) ? loadJuceTarget (path, hostCallback, error) : loadTarget (path, error);
        if (w.effect == nullptr)
        {
            std::snprintf (info.error, sizeof (info.error), "%s", error.c_str());
            sendReply (0, &info, sizeof (info));
            return 1;
        }
        AEffect* fx = w.effect;
        w.numParams = fx->numParams < 0 ? 0 : (fx->numParams > kMaxParams ? kMaxParams : fx->numParams);
        info.ok = 1;
        info.numInputs = fx->numInputs;
        info.numOutputs = fx->numOutputs;
        info.numParams = w.numParams;
        info.numPrograms = fx->numPrograms;
        info.flags = fx->flags;
        info.uniqueID = fx->uniqueID;
        info.version = fx->version;
        info.initialDelay = fx->initialDelay;
        refreshValues (0, w.numParams);
        w.shared->latency.store (fx->initialDelay);
        if (! sendReply (1, &info, sizeof (info)))
            return 1;

        std::thread audio (audioLoop);
        std::vector<char> payload;
        for (;;)
        {
            pollfd p { sock, POLLIN, 0 };
            const int ready = poll (&p, 1, 20);
            if (ready < 0 && errno == EINTR)
                continue; // a signal the plug-in handles is no reason to leave
            dispatchJuceMessages(); // a VST3 or LV2 target's editor and timers
            if (ready == 0)
            {
                applyPendingParameters(); // values the host set while no audio runs
                continue;
            }
            Request request {};
            if (ready < 0 || ! recvAll (sock, &request, sizeof (request), 10000) || request.magic != kMagic || request.payload > kMaxChunk)
                break;
            w.sequence = request.sequence;
            payload.assign (request.payload, '\0');
            if (request.payload > 0 && ! recvAll (sock, payload.data(), payload.size(), 10000))
                break;
            if (request.opcode == op::Close)
            {
                w.shared->quit.store (1);
                w.shared->request.fetch_add (1);
                futexWake (&w.shared->request);
                audio.join();
                fx->dispatcher (fx, op::Close, 0, 0, nullptr, 0.0f);
                sendReply (0, nullptr, 0);
                _exit (0);
            }
            if (! serveRequest (request, payload))
                break;
        }
        // The bridge went away without closing: leave at once, without running
        // the plug-in's teardown against a host that no longer exists.
        _exit (0);
    }

    int probe (const char* path)
    {
        std::string error;
        AEffect* fx = loadTarget (path, error);
        if (fx == nullptr)
        {
            std::fprintf (stderr, "%s: %s\n", path, error.c_str());
            return 1;
        }
        fx->dispatcher (fx, op::Open, 0, 0, nullptr, 0.0f);
        char name[256] = {};
        fx->dispatcher (fx, op::GetEffectName, 0, 0, name, 0.0f);
        const VstIntPtr category = fx->dispatcher (fx, 35, 0, 0, nullptr, 0.0f);
        std::printf ("name=%s\nid=%d\ncategory=%ld\ninputs=%d\noutputs=%d\n", name, fx->uniqueID, static_cast<long> (category),
                     fx->numInputs, fx->numOutputs);
        if (category == kPlugCategShell)
        {
            for (int i = 0; i < 1000; ++i)
            {
                char sub[256] = {};
                const VstIntPtr id = fx->dispatcher (fx, op::ShellGetNextPlugin, 0, 0, sub, 0.0f);
                if (id == 0)
                    break;
                std::printf ("sub=%ld %s\n", static_cast<long> (id), sub);
            }
        }
        std::fflush (stdout);
        _exit (0); // some plug-ins misbehave on unload; the answer is out
    }

} // namespace

int main (int argc, char** argv)
{
    // A crashing plug-in should die quickly, not write a core file.
    rlimit noCore { 0, 0 };
    setrlimit (RLIMIT_CORE, &noCore);
    std::signal (SIGPIPE, SIG_IGN);

    if (argc == 3 && std::strcmp (argv[1], "--probe") == 0)
        return probe (argv[2]);
    if (argc == 4 && std::strcmp (argv[1], "--serve") == 0)
    {
        const int shmFd = std::atoi (argv[2]);
        const int sock = std::atoi (argv[3]);
        if (shmFd < 3 || sock < 3 || shmFd == sock)
            return 2;
        // Whatever the host left open is not ours, and nothing the plug-in
        // starts inherits the bridge's descriptors.
        closeDescriptorsFrom ((shmFd > sock ? shmFd : sock) + 1);
        for (int fd : { shmFd, sock })
            if (fcntl (fd, F_SETFD, FD_CLOEXEC) != 0)
                return 2;
        // A bridge loaded in here refuses to start (see the bridge).
        setenv ("TAMBLIT_BRIDGE_WORKER_PID", std::to_string (getpid()).c_str(), 1);
        // Terminal signals are the host's business: the worker runs in a
        // process group of its own, which a terminal may also see as a
        // background job (a stop on output or input would freeze the plug-in).
        for (int terminalSignal : { SIGINT, SIGQUIT, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU })
            std::signal (terminalSignal, SIG_IGN);
        return serve (shmFd, sock);
    }
    std::fprintf (stderr, "usage: tamblit-bridge-worker --probe <plug-in.so>\n"
                          "       (the bridge starts it with --serve)\n");
    return 2;
}
