// tamblit-bridge.so: a VST 2.x plug-in that stands in for another one and runs
// it in a worker process (tamblit-bridge-worker). A bridged copy of this file
// finds its target in the side file next to it ("<copy>.target").
//
// Audio thread: process calls hand one block to the worker through shared
// memory and wait for it on a futex, bounded; nothing here allocates or takes
// a lock. Every other call goes over the control socket under `controlLock`,
// which the audio thread never touches. When the worker dies or stops
// answering, the bridge plays silence, answers the crash probe with 1, and
// answers everything else without asking the worker.
//
// Nothing the worker says is believed as is: sizes, counts, strings,
// rectangles and pin descriptions are checked against what the protocol
// carries, and a worker that breaks the protocol is taken for crashed.
#include "BridgeIo.h"
#include "BridgeProtocol.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#define TAMBLIT_BRIDGE_EXPORT extern "C" __attribute__ ((visibility ("default")))

extern char** environ;

using namespace tamblit::bridge;

TAMBLIT_BRIDGE_EXPORT AEffect* VSTPluginMain (audioMasterCallback host);

namespace
{

    // A worker that has not finished a block for this long is taken for hung.
    // Longer than any scheduling or page-fault stall of a healthy worker on a
    // busy machine; shorter than the container's one-second crash probe.
    constexpr std::int64_t kHangNs = 500'000'000LL;
    // The longest one process call waits for the worker before playing silence
    // for that block (at least a few blocks' worth; see waitBoundNs).
    constexpr std::int64_t kMinWaitNs = 20'000'000LL;
    // Control calls (open, chunks, editor) may legitimately take seconds.
    constexpr int kControlTimeoutMs = 10'000;
    constexpr int kStartTimeoutMs = 30'000;
    constexpr int kCloseTimeoutMs = 2'000;

    // Never called on the audio thread.
    void logLine (const char* text, const std::string& detail)
    {
        std::fprintf (stderr, "tamblit-bridge: %s%s\n", text, detail.c_str());
    }

    // The worker puts its own process id here; a bridge loaded inside a worker
    // (a side file that leads back to a bridged copy) would start worker after
    // worker, and refuses.
    constexpr const char* kWorkerEnvironment = "TAMBLIT_BRIDGE_WORKER_PID";

    bool insideAWorker ()
    {
        const char* pid = std::getenv (kWorkerEnvironment);
        return pid != nullptr && std::atol (pid) == static_cast<long> (getpid());
    }

    // Kernels before 5.3 have no pidfd; the bridge then watches the worker with
    // waitid. Setting this variable takes that path on any kernel.
    bool pidfdWanted ()
    {
        return std::getenv ("TAMBLIT_BRIDGE_NO_PIDFD") == nullptr;
    }

    std::string ownPath ()
    {
        Dl_info info {};
        if (dladdr (reinterpret_cast<void*> (&VSTPluginMain), &info) == 0 || info.dli_fname == nullptr)
            return {};
        return info.dli_fname;
    }

    class Bridge
    {
    public:
        static AEffect* create (audioMasterCallback host);
        ~Bridge();

    private:
        Bridge() = default;
        bool start (const SideFile& side, const std::string& workerPath, VstIntPtr currentId);
        bool handshake (const std::string& workerPath);
        bool acceptInfo (const EffectInfo& info);
        void shutDown ();
        void killWorker ();
        bool workerEnded ();

        static Bridge* from (AEffect* e) { return static_cast<Bridge*> (e->object); }
        static VstIntPtr VSTCALLBACK dispatchThunk (AEffect* e, int opcode, int index, VstIntPtr value, void* ptr, float opt);
        static void VSTCALLBACK processReplacingThunk (AEffect* e, float** in, float** out, int frames);
        static void VSTCALLBACK processThunk (AEffect* e, float** in, float** out, int frames);
        static void VSTCALLBACK setParameterThunk (AEffect* e, int index, float value);
        static float VSTCALLBACK getParameterThunk (AEffect* e, int index);

        VstIntPtr dispatch (int opcode, int index, VstIntPtr value, void* ptr, float opt);
        VstIntPtr forward (int opcode, int index, VstIntPtr value, void* ptr, float opt);
        VstIntPtr brokeProtocol (int opcode, void* ptr, const char* what);
        VstIntPtr safeAnswer (int opcode, void* ptr);
        void stageEvents (const VstEvents* events);
        void process (float** in, float** out, int frames, bool accumulate);
        void processPiece (float** in, float** out, int offset, int frames, bool accumulate);
        void silence (float** out, int offset, int frames, bool accumulate);
        bool crashedNow ();
        void markCrashed ();
        void deliverNotices ();
        std::int64_t waitBoundNs (int frames) const;
        void reap ();

        AEffect effect_ {};
        audioMasterCallback host_ = nullptr;
        std::string target_;

        pid_t pid_ = -1;
        int pidFd_ = -1;
        int sock_ = -1;
        int stopFd_ = -1;
        Shared* shared_ = nullptr;
        std::thread reaper_;
        std::atomic<bool> exited_ { false };
        std::atomic<int> endSignal_ { 0 }; // the signal that ended the worker, once it ended
        std::atomic<bool> closing_ { false };
        std::atomic<bool> crashed_ { false };
        std::atomic<float> sampleRate_ { 44100.0f };

        // Control side.
        std::mutex controlLock_;
        std::uint32_t sequence_ = 0;
        // effGetChunk hands out a pointer its caller reads after the call has
        // returned and let go of controlLock_. Two threads may fetch at once (a
        // host saving while the container takes a snapshot): each fetch fills
        // the next of these buffers, so an answer stays intact until several
        // later fetches have come and gone.
        static constexpr std::size_t kChunkBuffers = 4;
        std::vector<char> chunks_[kChunkBuffers];
        std::size_t nextChunk_ = 0;
        ERect rect_ {};

        // Audio side (only the host's audio thread touches these).
        MidiEvent staged_[kMaxEvents];
        int stagedCount_ = 0;
        bool outstanding_ = false;
        std::uint32_t schedulingCheck_ = 0;
        bool toldSchedulingRefused_ = false;
        std::uint32_t sent_ = 0;
        std::atomic<std::int64_t> outstandingSince_ { 0 }; // also read by the probe
    };

    AEffect* Bridge::create (audioMasterCallback host)
    {
        if (insideAWorker())
        {
            logLine ("refusing to start inside a bridge worker: ", "a side file leads back to a bridged copy");
            return nullptr;
        }
        const std::string self = ownPath();
        SideFile side;
        std::string why;
        if (self.empty() || ! readSideFile (sideFilePathFor (self), side, &why))
        {
            logLine ("no usable target beside ", self + " (" + why + "; make bridged copies with: tamblit-bridge wrap <plug-in.so>)");
            return nullptr;
        }
        std::string worker = side.worker;
        if (worker.empty() || access (worker.c_str(), X_OK) != 0)
        {
            char resolved[PATH_MAX] = {};
            const std::string real = realpath (self.c_str(), resolved) != nullptr ? resolved : self;
            worker = directoryOf (real) + "/tamblit-bridge-worker";
        }
        // Once per bridged copy and process: what runs where.
        static std::atomic<bool> told { false };
        if (! told.exchange (true))
            logLine ("", self + " runs " + side.target + " in " + worker);
        // A shell file: the host names the sub-plug-in it wants; the worker asks the same.
        const VstIntPtr currentId = host != nullptr ? host (nullptr, op::HostCurrentId, 0, 0, nullptr, 0.0f) : 0;

        // Owned until it is handed to the host: a failure (or an exception) on the
        // way ends its worker.
        std::unique_ptr<Bridge> bridge (new Bridge());
        bridge->host_ = host;
        if (! bridge->start (side, worker, currentId))
            return nullptr;
        return &bridge.release()->effect_;
    }

    bool Bridge::start (const SideFile& side, const std::string& workerPath, VstIntPtr currentId)
    {
        target_ = side.target;
        const int shmFd = memfd_create ("tamblit-bridge", MFD_CLOEXEC);
        if (shmFd < 0 || ftruncate (shmFd, sizeof (Shared)) != 0)
        {
            if (shmFd >= 0)
                close (shmFd);
            return false;
        }
        void* mapped = mmap (nullptr, sizeof (Shared), PROT_READ | PROT_WRITE, MAP_SHARED, shmFd, 0);
        if (mapped == MAP_FAILED)
        {
            close (shmFd);
            return false;
        }
        shared_ = static_cast<Shared*> (mapped); // a fresh memfd is all zeros
        shared_->magic = kMagic;
        shared_->protocol = kProtocolVersion;
        shared_->size = sizeof (Shared);

        int pair[2];
        if (socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        {
            close (shmFd);
            return false;
        }
        sock_ = pair[0];

        // Spare numbers above the standard ones, so that the dup2 onto 3 and 4
        // below can neither clobber one another nor be a no-op.
        const int shmSpare = fcntl (shmFd, F_DUPFD_CLOEXEC, 10);
        const int sockSpare = fcntl (pair[1], F_DUPFD_CLOEXEC, 10);
        close (shmFd);
        close (pair[1]);
        if (shmSpare < 0 || sockSpare < 0)
        {
            for (int fd : { shmSpare, sockSpare })
                if (fd >= 0)
                    close (fd);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_adddup2 (&actions, shmSpare, 3);
        posix_spawn_file_actions_adddup2 (&actions, sockSpare, 4);
        posix_spawnattr_t attributes;
        posix_spawnattr_init (&attributes);
        sigset_t none, all;
        sigemptyset (&none);
        sigfillset (&all);
        sigdelset (&all, SIGKILL);
        sigdelset (&all, SIGSTOP);
        posix_spawnattr_setsigmask (&attributes, &none);
        posix_spawnattr_setsigdefault (&attributes, &all);
        // A process group of its own: a terminal's Ctrl-C (or any signal sent
        // to the host's group) is the host's to take, not the worker's. The
        // worker still ends with its host (it watches its parent).
        posix_spawnattr_setpgroup (&attributes, 0);
        posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
        std::string argv0 = workerPath;
        char serve[] = "--serve";
        char shmArg[] = "3";
        char sockArg[] = "4";
        char* argv[] = { argv0.data(), serve, shmArg, sockArg, nullptr };
        const int spawned = posix_spawn (&pid_, workerPath.c_str(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy (&actions);
        posix_spawnattr_destroy (&attributes);
        close (shmSpare);
        close (sockSpare);
        if (spawned != 0)
        {
            pid_ = -1;
            logLine ("cannot start ", workerPath);
            return false;
        }
        if (pidfdWanted())
            pidFd_ = static_cast<int> (syscall (SYS_pidfd_open, pid_, 0));
        stopFd_ = eventfd (0, EFD_CLOEXEC);
        reaper_ = std::thread ([this] { reap(); });

        if (! handshake (workerPath))
        {
            killWorker();
            return false;
        }
        const std::uint32_t sequence = ++sequence_;
        Request open {
            kMagic, kOpenTarget, 0, sequence, static_cast<std::int64_t> (currentId), 0.0f, static_cast<std::uint32_t> (target_.size())
        };
        Reply reply {};
        EffectInfo info {};
        if (! sendAll (sock_, &open, sizeof (open)) || ! sendAll (sock_, target_.data(), target_.size())
            || ! recvAll (sock_, &reply, sizeof (reply), kStartTimeoutMs) || reply.magic != kMagic || reply.sequence != sequence
            || reply.payload != sizeof (info) || ! recvAll (sock_, &info, sizeof (info), kStartTimeoutMs))
        {
            logLine ("the worker did not open ", target_);
            killWorker();
            return false;
        }
        if (info.ok == 0)
        {
            info.error[sizeof (info.error) - 1] = '\0';
            logLine ("cannot open the target: ", std::string (target_) + ": " + info.error);
            killWorker();
            return false;
        }
        if (! acceptInfo (info))
        {
            killWorker();
            return false;
        }

        effect_.magic = kEffectMagic;
        effect_.dispatcher = &Bridge::dispatchThunk;
        effect_.process = &Bridge::processThunk;
        effect_.processReplacing = &Bridge::processReplacingThunk;
        effect_.processDoubleReplacing = nullptr;
        effect_.setParameter = &Bridge::setParameterThunk;
        effect_.getParameter = &Bridge::getParameterThunk;
        effect_.numPrograms = info.numPrograms;
        effect_.numParams = info.numParams;
        effect_.numInputs = info.numInputs;
        effect_.numOutputs = info.numOutputs;
        effect_.flags = (info.flags | effFlagsCanReplacing) & ~effFlagsCanDoubleReplacing;
        effect_.initialDelay = info.initialDelay;
        effect_.uniqueID = info.uniqueID;
        effect_.version = info.version;
        static_assert (sizeof (effect_._pad2) == sizeof (kParametersNeverWait), "the two unused quality fields");
        std::memcpy (effect_._pad2, kParametersNeverWait, sizeof (kParametersNeverWait));
        effect_.object = this;
        return true;
    }

    // Both sides say which protocol they speak and how large they make the shared
    // block before anything else crosses over.
    bool Bridge::handshake (const std::string& workerPath)
    {
        const Hello mine { kHelloMagic, kProtocolVersion, sizeof (Shared), sizeof (EffectInfo), sizeof (Request), 0 };
        Hello theirs {};
        if (! sendAll (sock_, &mine, sizeof (mine)) || ! recvAll (sock_, &theirs, sizeof (theirs), kStartTimeoutMs)
            || theirs.magic != kHelloMagic)
        {
            logLine ("no handshake from the worker ", workerPath + " (built from other sources? re-run tamblit-bridge wrap)");
            return false;
        }
        if (theirs.protocol != mine.protocol || theirs.sharedSize != mine.sharedSize || theirs.infoSize != mine.infoSize
            || theirs.requestSize != mine.requestSize)
        {
            char text[256];
            std::snprintf (text, sizeof (text),
                           " speaks protocol %u with a %llu-byte shared block; this bridge speaks protocol %u with %llu "
                           "bytes: re-run tamblit-bridge wrap",
                           theirs.protocol, static_cast<unsigned long long> (theirs.sharedSize), mine.protocol,
                           static_cast<unsigned long long> (mine.sharedSize));
            logLine ("protocol mismatch: the worker ", workerPath + text);
            return false;
        }
        return true;
    }

    // The effect the worker describes must fit what the protocol carries.
    bool Bridge::acceptInfo (const EffectInfo& info)
    {
        const char* wrong = nullptr;
        if (info.numInputs < 0 || info.numInputs > kMaxChannels)
            wrong = "inputs";
        else if (info.numOutputs < 0 || info.numOutputs > kMaxChannels)
            wrong = "outputs";
        else if (info.numParams < 0 || info.numParams > kMaxParams)
            wrong = "parameters";
        else if (info.numPrograms < 0 || info.numPrograms > kMaxPrograms)
            wrong = "programs";
        else if (info.initialDelay < 0 || info.initialDelay > kMaxLatency)
            wrong = "samples of latency";
        if (wrong == nullptr)
            return true;
        char text[160];
        std::snprintf (text, sizeof (text),
                       ": the worker reports %d/%d/%d/%d/%d (inputs/outputs/parameters/programs/latency), "
                       "too many %s for the bridge",
                       info.numInputs, info.numOutputs, info.numParams, info.numPrograms, info.initialDelay, wrong);
        logLine ("refused ", target_ + text);
        return false;
    }

    // Ends a worker the bridge will not use; the destructor reaps it.
    void Bridge::killWorker()
    {
        crashed_.store (true);
        if (! exited_.load())
        {
            if (pidFd_ >= 0)
                syscall (SYS_pidfd_send_signal, pidFd_, SIGKILL, nullptr, 0);
            else if (pid_ > 0)
                kill (pid_, SIGKILL);
        }
    }

    // True once the worker has ended; it stays a zombie (its pid stays ours)
    // until waitpid, so a kill can never reach a process that took its pid.
    bool Bridge::workerEnded()
    {
        siginfo_t info {};
        if (waitid (P_PID, static_cast<id_t> (pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return errno == ECHILD; // reaped by someone else: gone all the same
        return info.si_pid == pid_;
    }

    // Waits for the worker to end, whenever and however it ends.
    void Bridge::reap()
    {
        // Without a pidfd the end of the worker is polled for, so that a bridge
        // being closed never waits on a reaper stuck in waitpid.
        pollfd fds[2] = { { stopFd_, POLLIN, 0 }, { pidFd_, POLLIN, 0 } };
        const nfds_t count = pidFd_ >= 0 ? 2 : 1;
        const int period = pidFd_ >= 0 ? -1 : 20;
        for (;;)
        {
            if (pidFd_ < 0 && workerEnded())
                break;
            const int ready = poll (fds, count, period);
            if (ready < 0 && errno == EINTR)
                continue;
            if ((fds[0].revents & POLLIN) != 0)
                return; // closing: shutDown reaps
            if (ready < 0 || (count == 2 && (fds[1].revents & POLLIN) != 0))
                break;
        }
        // What ended it, read without reaping: the pid stays ours until close.
        siginfo_t ended {};
        if (waitid (P_PID, static_cast<id_t> (pid_), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid_
            && (ended.si_code == CLD_KILLED || ended.si_code == CLD_DUMPED))
            endSignal_.store (ended.si_status);
        exited_.store (true);
        if (! closing_.load())
            markCrashed();
    }

    void Bridge::markCrashed()
    {
        if (crashed_.exchange (true))
            return;
        killWorker();
        if (shared_ != nullptr)
            futexWake (&shared_->reply);
    }

    bool Bridge::crashedNow()
    {
        if (crashed_.load (std::memory_order_acquire))
            return true;
        // A hang is a block the worker has not finished: once it answers, however
        // late, the worker is healthy even if no process call came since.
        const std::int64_t since = outstandingSince_.load (std::memory_order_acquire);
        if (since != 0 && shared_->reply.load (std::memory_order_acquire) != shared_->request.load (std::memory_order_acquire)
            && nowNs() - since > kHangNs)
        {
            markCrashed();
            return true;
        }
        return false;
    }

    void Bridge::shutDown()
    {
        closing_.store (true);
        if (pid_ > 0 && ! crashed_.load() && ! exited_.load())
        {
            std::lock_guard<std::mutex> lock (controlLock_);
            Request close { kMagic, op::Close, 0, ++sequence_, 0, 0.0f, 0 };
            Reply reply {};
            if (sendAll (sock_, &close, sizeof (close)))
                recvAll (sock_, &reply, sizeof (reply), kCloseTimeoutMs);
        }
        if (stopFd_ >= 0)
        {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = write (stopFd_, &one, sizeof (one));
        }
        if (reaper_.joinable())
            reaper_.join();
        if (pid_ <= 0)
            return;
        // Give the worker a moment to leave by itself, then make it.
        for (int waited = 0; waited < kCloseTimeoutMs && ! workerEnded(); waited += 5)
            usleep (5000);
        if (! workerEnded())
        {
            if (pidFd_ >= 0)
                syscall (SYS_pidfd_send_signal, pidFd_, SIGKILL, nullptr, 0);
            else
                kill (pid_, SIGKILL);
        }
        while (waitpid (pid_, nullptr, 0) < 0 && errno == EINTR)
        {
        }
        exited_.store (true);
    }

    Bridge::~Bridge()
    {
        shutDown();
        for (int fd : { sock_, pidFd_, stopFd_ })
            if (fd >= 0)
                close (fd);
        if (shared_ != nullptr)
            munmap (shared_, sizeof (Shared));
    }

    VstIntPtr Bridge::dispatchThunk (AEffect* e, int opcode, int index, VstIntPtr value, void* ptr, float opt)
    {
        Bridge* self = from (e);
        if (opcode == op::Close)
        {
            delete self;
            return 0;
        }
        return self->dispatch (opcode, index, value, ptr, opt);
    }

    void Bridge::processReplacingThunk (AEffect* e, float** in, float** out, int frames)
    {
        from (e)->process (in, out, frames, false);
    }

    void Bridge::processThunk (AEffect* e, float** in, float** out, int frames)
    {
        from (e)->process (in, out, frames, true);
    }

    // Any thread, the audio thread included: no waiting. The worker applies the
    // value before its next block or control call.
    void Bridge::setParameterThunk (AEffect* e, int index, float value)
    {
        Bridge* self = from (e);
        if (index < 0 || index >= e->numParams)
            return;
        Shared& s = *self->shared_;
        s.pendingValue[index].store (value, std::memory_order_relaxed);
        s.value[index].store (value, std::memory_order_relaxed);
        s.pending[index].store (1, std::memory_order_release);
        s.pendingParams.fetch_add (1, std::memory_order_acq_rel);
    }

    float Bridge::getParameterThunk (AEffect* e, int index)
    {
        if (index < 0 || index >= e->numParams)
            return 0.0f;
        const float value = from (e)->shared_->value[index].load (std::memory_order_relaxed);
        return std::isfinite (value) ? value : 0.0f;
    }

    VstIntPtr Bridge::dispatch (int opcode, int index, VstIntPtr value, void* ptr, float opt)
    {
        if (opcode == op::VendorSpecific && index == kProbeIndex && value == kProbeValue && ptr == nullptr && opt == kProbeOpt)
            return crashedNow() ? 1 : 0;
        if (opcode == op::VendorSpecific && index == kWorkerPidIndex)
            return pid_;
        if (opcode == op::VendorSpecific && index == kWorkerEndSignalIndex)
            return exited_.load() ? endSignal_.load() : 0;
        if (opcode == op::ProcessEvents)
        { // audio thread
            stageEvents (static_cast<const VstEvents*> (ptr));
            return 1;
        }
        // Only opcodes whose payload the protocol carries cross over.
        if (ptrKind (opcode) == PtrKind::Unsupported)
            return 0;
        if (opcode == op::VendorSpecific && ptr != nullptr)
            return 0; // pointer meaning unknown: cannot carry it
        if (opcode == op::SetSampleRate && opt > 0.0f)
            sampleRate_.store (opt);
        if (crashedNow())
            return safeAnswer (opcode, ptr);
        try
        {
            const VstIntPtr result = forward (opcode, index, value, ptr, opt);
            deliverNotices();
            return result;
        }
        catch (...)
        {
            // Nothing from the worker may throw into the host.
            markCrashed();
            return safeAnswer (opcode, ptr);
        }
    }

    VstIntPtr Bridge::safeAnswer (int opcode, void* ptr)
    {
        if (ptrKind (opcode) == PtrKind::StringOut && ptr != nullptr)
            static_cast<char*> (ptr)[0] = '\0';
        if (ptrKind (opcode) == PtrKind::ChunkOut && ptr != nullptr)
            *static_cast<void**> (ptr) = nullptr;
        if (ptrKind (opcode) == PtrKind::RectOut && ptr != nullptr)
            *static_cast<ERect**> (ptr) = nullptr;
        return 0;
    }

    // A worker that answers outside the protocol is not trusted again.
    VstIntPtr Bridge::brokeProtocol (int opcode, void* ptr, const char* what)
    {
        char text[96];
        std::snprintf (text, sizeof (text), " (opcode %d: %s); taken for crashed", opcode, what);
        logLine ("the worker broke the protocol", text);
        markCrashed();
        return safeAnswer (opcode, ptr);
    }

    bool terminatedWithin (const char* text, std::size_t size)
    {
        return std::memchr (text, '\0', size) != nullptr;
    }

    VstIntPtr Bridge::forward (int opcode, int index, VstIntPtr value, void* ptr, float opt)
    {
        const PtrKind kind = ptrKind (opcode);
        const void* payload = nullptr;
        std::size_t payloadSize = 0;
        std::uint64_t window = 0;
        switch (kind)
        {
            case PtrKind::StringIn:
                if (ptr == nullptr)
                    return 0;
                payload = ptr;
                payloadSize = strnlen (static_cast<const char*> (ptr), 4096);
                break;
            case PtrKind::ChunkIn:
                if (ptr == nullptr || value <= 0 || static_cast<std::uint64_t> (value) > kMaxChunk)
                    return 0;
                payload = ptr;
                payloadSize = static_cast<std::size_t> (value);
                break;
            case PtrKind::WindowId:
                window = static_cast<std::uint64_t> (reinterpret_cast<std::uintptr_t> (ptr));
                payload = &window;
                payloadSize = sizeof (window);
                break;
            case PtrKind::StringOut:
            case PtrKind::ChunkOut:
            case PtrKind::RectOut:
            case PtrKind::PinOut:
                if (ptr == nullptr)
                    return 0;
                break;
            default: break;
        }

        std::lock_guard<std::mutex> lock (controlLock_);
        const std::uint32_t sequence = ++sequence_;
        Request request {
            kMagic, opcode, index, sequence, static_cast<std::int64_t> (value), opt, static_cast<std::uint32_t> (payloadSize)
        };
        Reply reply {};
        // One bound for the whole answer, header and payload.
        const std::int64_t deadline = nowNs() + static_cast<std::int64_t> (kControlTimeoutMs) * 1000000;
        if (! sendAll (sock_, &request, sizeof (request)) || (payloadSize > 0 && ! sendAll (sock_, payload, payloadSize))
            || ! recvAll (sock_, &reply, sizeof (reply), kControlTimeoutMs))
        {
            markCrashed();
            return safeAnswer (opcode, ptr);
        }
        if (reply.magic != kMagic)
            return brokeProtocol (opcode, ptr, "bad reply header");
        if (reply.sequence != sequence)
            return brokeProtocol (opcode, ptr, "a reply to another request");
        // The largest payload each kind of answer may carry.
        std::size_t most = 0;
        switch (kind)
        {
            case PtrKind::StringOut: most = kMaxString; break;
            case PtrKind::ChunkOut: most = kMaxChunk; break;
            case PtrKind::RectOut: most = sizeof (ERect); break;
            case PtrKind::PinOut: most = sizeof (VstPinProperties); break;
            default: break;
        }
        if (reply.payload > most)
            return brokeProtocol (opcode, ptr, "an answer larger than the protocol carries");
        std::vector<char> received;
        std::vector<char>& chunk = chunks_[nextChunk_];
        if (kind == PtrKind::ChunkOut)
            nextChunk_ = (nextChunk_ + 1) % kChunkBuffers;
        std::vector<char>& into = kind == PtrKind::ChunkOut ? chunk : received;
        // Memory grows with the bytes that really arrive, not with the size the
        // worker announced.
        into.clear();
        while (into.size() < reply.payload)
        {
            const std::size_t have = into.size();
            const std::size_t piece = std::min<std::size_t> (reply.payload - have, 1u << 20);
            const std::int64_t leftMs = (deadline - nowNs()) / 1000000;
            into.resize (have + piece);
            if (leftMs <= 0 || ! recvAll (sock_, into.data() + have, piece, static_cast<int> (leftMs)))
            {
                into.clear();
                markCrashed();
                return safeAnswer (opcode, ptr);
            }
        }
        switch (kind)
        {
            case PtrKind::StringOut:
                if (! received.empty())
                {
                    if (! terminatedWithin (received.data(), received.size()))
                        return brokeProtocol (opcode, ptr, "a string without a terminator");
                    std::memcpy (ptr, received.data(), received.size());
                }
                else
                {
                    static_cast<char*> (ptr)[0] = '\0';
                }
                break;
            case PtrKind::ChunkOut:
                *static_cast<void**> (ptr) = chunk.empty() ? nullptr : chunk.data();
                return chunk.empty() ? 0 : static_cast<VstIntPtr> (chunk.size());
            case PtrKind::RectOut:
            {
                if (! received.empty() && received.size() != sizeof (ERect))
                    return brokeProtocol (opcode, ptr, "a rectangle of the wrong size");
                ERect rect {};
                if (received.size() == sizeof (ERect))
                    std::memcpy (&rect, received.data(), sizeof (ERect));
                const int width = rect.right - rect.left;
                const int height = rect.bottom - rect.top;
                if (received.empty() || width < 0 || height < 0 || width > kMaxEditorSize || height > kMaxEditorSize)
                {
                    *static_cast<ERect**> (ptr) = nullptr; // no editor size the host could use
                    return 0;
                }
                rect_ = rect;
                *static_cast<ERect**> (ptr) = &rect_;
                break;
            }
            case PtrKind::PinOut:
                if (received.size() == sizeof (VstPinProperties))
                {
                    VstPinProperties pin {};
                    std::memcpy (&pin, received.data(), sizeof (pin));
                    if (! terminatedWithin (pin.label, sizeof (pin.label)) || ! terminatedWithin (pin.shortLabel, sizeof (pin.shortLabel)))
                        return brokeProtocol (opcode, ptr, "a pin label without a terminator");
                    std::memcpy (ptr, &pin, sizeof (pin));
                }
                else if (! received.empty())
                {
                    return brokeProtocol (opcode, ptr, "a pin description of the wrong size");
                }
                break;
            default:
                if (! received.empty())
                    return brokeProtocol (opcode, ptr, "a payload where none belongs");
                break;
        }
        return static_cast<VstIntPtr> (reply.result);
    }

    // Tells the host what the plug-in told the worker: parameter moves in its
    // editor, a new latency, a display refresh. Never on the audio thread.
    void Bridge::deliverNotices()
    {
        if (const int refused = shared_->schedulingRefused.load(); refused != 0 && ! toldSchedulingRefused_)
        {
            toldSchedulingRefused_ = true;
            char text[160];
            std::snprintf (text, sizeof (text), "%s priority %d (%s); it runs at the normal class",
                           shared_->hostPolicy.load() == SCHED_FIFO ? "SCHED_FIFO" : "SCHED_RR", shared_->hostPriority.load(),
                           std::strerror (refused));
            logLine ("the worker's audio thread may not take its host thread's scheduling class, ", text);
        }
        const std::uint32_t notices = shared_->notices.exchange (0, std::memory_order_acq_rel);
        if (notices == 0 || host_ == nullptr)
            return;
        // Per parameter in the order a gesture has: begun, moved, ended.
        if ((notices & (NoticeAutomate | NoticeEdit)) != 0)
            for (int i = 0; i < std::min (effect_.numParams, kMaxParams); ++i)
            {
                if ((notices & NoticeEdit) != 0 && shared_->editBegun[i].exchange (0) != 0)
                    host_ (&effect_, op::HostBeginEdit, i, 0, nullptr, 0.0f);
                if ((notices & NoticeAutomate) != 0 && shared_->automated[i].exchange (0) != 0)
                {
                    const float value = shared_->value[i].load();
                    host_ (&effect_, op::HostAutomate, i, 0, nullptr, std::isfinite (value) ? std::clamp (value, 0.0f, 1.0f) : 0.0f);
                }
                if ((notices & NoticeEdit) != 0 && shared_->editEnded[i].exchange (0) != 0)
                    host_ (&effect_, op::HostEndEdit, i, 0, nullptr, 0.0f);
            }
        if ((notices & NoticeIOChanged) != 0)
        {
            effect_.initialDelay = std::clamp (shared_->latency.load(), 0, kMaxLatency);
            host_ (&effect_, op::HostIOChanged, 0, 0, nullptr, 0.0f);
        }
        if ((notices & NoticeUpdateDisplay) != 0)
            host_ (&effect_, op::HostUpdateDisplay, 0, 0, nullptr, 0.0f);
    }

    void Bridge::stageEvents (const VstEvents* events)
    {
        if (events == nullptr)
            return;
        for (int e = 0; e < events->numEvents && stagedCount_ < kMaxEvents; ++e)
        {
            const VstEvent* event = events->events[e];
            if (event == nullptr || event->type != kVstMidiType)
                continue; // SysEx does not cross over
            const auto* midi = reinterpret_cast<const VstMidiEvent*> (event);
            MidiEvent& m = staged_[stagedCount_++];
            m.deltaFrames = std::max (0, midi->deltaFrames);
            m.flags = midi->flags;
            m.noteLength = midi->noteLength;
            m.noteOffset = midi->noteOffset;
            std::memcpy (m.data, midi->midiData, 4);
            m.detune = static_cast<std::int8_t> (midi->detune);
            m.noteOffVelocity = static_cast<unsigned char> (midi->noteOffVelocity);
        }
    }

    std::int64_t Bridge::waitBoundNs (int frames) const
    {
        const float rate = sampleRate_.load();
        const auto block = static_cast<std::int64_t> (1e9 * frames / (rate > 0.0f ? rate : 44100.0f));
        return std::max (kMinWaitNs, 3 * block);
    }

    void Bridge::silence (float** out, int offset, int frames, bool accumulate)
    {
        if (accumulate)
            return;
        for (int c = 0; c < effect_.numOutputs; ++c)
            if (out[c] != nullptr)
                std::memset (out[c] + offset, 0, sizeof (float) * static_cast<std::size_t> (frames));
    }

    void Bridge::process (float** in, float** out, int frames, bool accumulate)
    {
        for (int offset = 0; offset < frames; offset += kMaxFrames)
            processPiece (in, out, offset, std::min (kMaxFrames, frames - offset), accumulate);
        // Events past the end of the block start the next one.
        for (int e = 0; e < stagedCount_; ++e)
            staged_[e].deltaFrames = std::max (0, staged_[e].deltaFrames - frames);
    }

    void Bridge::processPiece (float** in, float** out, int offset, int frames, bool accumulate)
    {
        Shared& s = *shared_;
        if (crashedNow())
        {
            stagedCount_ = 0;
            silence (out, offset, frames, accumulate);
            return;
        }
        if (outstanding_)
        {
            // The worker is still on an earlier block: this one is silence, and its
            // MIDI waits for the next block the worker takes.
            if (s.reply.load (std::memory_order_acquire) != sent_)
            {
                for (int e = 0; e < stagedCount_; ++e)
                    staged_[e].deltaFrames = 0;
                silence (out, offset, frames, accumulate);
                return;
            }
            outstanding_ = false;
            outstandingSince_.store (0, std::memory_order_release);
        }

        for (int c = 0; c < effect_.numInputs; ++c)
        {
            float* to = inputChannel (s, c);
            if (in != nullptr && in[c] != nullptr)
                std::memcpy (to, in[c] + offset, sizeof (float) * static_cast<std::size_t> (frames));
            else
                std::memset (to, 0, sizeof (float) * static_cast<std::size_t> (frames));
        }
        // MIDI of this piece; later events stay staged.
        int sent = 0;
        int kept = 0;
        for (int e = 0; e < stagedCount_; ++e)
        {
            MidiEvent m = staged_[e];
            if (m.deltaFrames < offset + frames)
            {
                m.deltaFrames = std::max (0, m.deltaFrames - offset);
                s.events[sent++] = m;
            }
            else
            {
                staged_[kept++] = m;
            }
        }
        stagedCount_ = kept;
        s.numEvents = sent;
        s.frames = frames;
        s.haveTime = 0;
        if (host_ != nullptr)
        {
            const auto* time = reinterpret_cast<const VstTimeInfo*> (host_ (&effect_, op::HostGetTime, 0, 0xffff, nullptr, 0.0f));
            if (time != nullptr)
            {
                s.time = *time;
                s.haveTime = 1;
            }
        }

        // The worker's audio thread follows the class and priority of the
        // thread that drives it; asked now and then, as hosts may change it.
        if ((schedulingCheck_++ & 255u) == 0)
        {
            int policy = SCHED_OTHER;
            sched_param parameter {};
            if (pthread_getschedparam (pthread_self(), &policy, &parameter) == 0)
            {
                s.hostPriority.store (parameter.sched_priority, std::memory_order_relaxed);
                s.hostPolicy.store (policy, std::memory_order_release);
            }
        }

        // And its floating-point mode (flush-to-zero, denormals-are-zero),
        // every block: reading it costs a few cycles and no system call.
        const std::uint32_t floatMode = currentFloatMode();
        if (s.hostFloatMode.load (std::memory_order_relaxed) != floatMode)
            s.hostFloatMode.store (floatMode, std::memory_order_relaxed);

        const std::int64_t started = nowNs();
        const std::uint32_t previous = s.reply.load (std::memory_order_acquire);
        sent_ = s.request.load (std::memory_order_relaxed) + 1;
        outstandingSince_.store (started, std::memory_order_release);
        s.request.store (sent_, std::memory_order_release);
        futexWake (&s.request);

        const std::int64_t deadline = started + waitBoundNs (frames);
        // Sleep on the reply at once: spinning for the worker's answer cost more
        // CPU than the whole block on this thread, and the futex wake-up arrives
        // within the round trip anyway (docs/bridge.md, "Cost per block").
        bool answered = false;
        for (;;)
        {
            if (s.reply.load (std::memory_order_acquire) == sent_)
            {
                answered = true;
                break;
            }
            if (crashed_.load (std::memory_order_acquire))
                break;
            const std::int64_t left = deadline - nowNs();
            if (left <= 0)
                break;
            const timespec relative = nsToTimespec (left);
            futexWait (&s.reply, previous, &relative);
        }
        if (! answered)
        {
            outstanding_ = ! crashed_.load();
            silence (out, offset, frames, accumulate);
            return;
        }
        outstandingSince_.store (0, std::memory_order_release);
        for (int c = 0; c < effect_.numOutputs; ++c)
        {
            if (out[c] == nullptr)
                continue;
            const float* from = outputChannel (s, c);
            float* to = out[c] + offset;
            if (accumulate)
                for (int i = 0; i < frames; ++i)
                    to[i] += from[i];
            else
                std::memcpy (to, from, sizeof (float) * static_cast<std::size_t> (frames));
        }
    }

    // No exception leaves the bridge into its host.
    AEffect* createGuarded (audioMasterCallback host)
    {
        try
        {
            return Bridge::create (host);
        }
        catch (...)
        {
            return nullptr;
        }
    }

} // namespace

TAMBLIT_BRIDGE_EXPORT AEffect* VSTPluginMain (audioMasterCallback host)
{
    return createGuarded (host);
}

// Older Linux hosts look for "main".
TAMBLIT_BRIDGE_EXPORT AEffect* bridgeMain (audioMasterCallback host) __asm__("main");
TAMBLIT_BRIDGE_EXPORT AEffect* bridgeMain (audioMasterCallback host)
{
    return createGuarded (host);
}
