// Counters of what the host's audio thread must never do: touch the heap and
// wait for a lock. Only the thread inside a CountAudioThreadTraffic scope is
// counted, so the message thread, JUCE's own threads and GoogleTest are free.
//
// Defines the malloc family, operator new/delete and pthread_mutex_lock for
// the whole test program (the hosted plug-ins resolve to them as well), so
// include it in exactly one source file of a test program. Sanitizer builds
// bring their own allocator and lock interceptors: there heap traffic rides on
// the sanitizer's allocation hooks and lock waits are not counted
// (`lockWaitsCounted` says so).
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <pthread.h>

namespace
{
    thread_local bool countingHeapTraffic __attribute__ ((tls_model ("initial-exec"))) = false;
    std::atomic<long> heapAllocations { 0 };
    std::atomic<long> heapFrees { 0 };
    // Locks the counted thread found held by another thread and waited for.
    std::atomic<long> lockWaits { 0 };

    inline void noteAllocation () noexcept
    {
        if (countingHeapTraffic)
            heapAllocations.fetch_add (1, std::memory_order_relaxed);
    }

    inline void noteFree (const volatile void* pointer) noexcept
    {
        if (countingHeapTraffic && pointer != nullptr)
            heapFrees.fetch_add (1, std::memory_order_relaxed);
    }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool lockWaitsCounted = false;

// From the sanitizer runtime's allocator interface (the header is not always installed).
extern "C" int __sanitizer_install_malloc_and_free_hooks (void (*mallocHook) (const volatile void*, size_t),
                                                          void (*freeHook) (const volatile void*));

namespace
{
    void onSanitizerMalloc (const volatile void*, size_t)
    {
        noteAllocation();
    }
    void onSanitizerFree (const volatile void* pointer)
    {
        noteFree (pointer);
    }

    const int sanitizerHooksInstalled = __sanitizer_install_malloc_and_free_hooks (onSanitizerMalloc, onSanitizerFree);
}
#else
constexpr bool lockWaitsCounted = true;

namespace
{
    using MutexLock = int (*) (pthread_mutex_t*);
    MutexLock libcMutexLock = reinterpret_cast<MutexLock> (dlsym (RTLD_NEXT, "pthread_mutex_lock"));
}

extern "C"
{
    // A lock taken on the counted thread is first tried: when another thread
    // holds it, the wait is counted, then waited as usual.
    int pthread_mutex_lock (pthread_mutex_t* mutex)
    {
        if (countingHeapTraffic)
        {
            if (pthread_mutex_trylock (mutex) == 0)
                return 0;
            lockWaits.fetch_add (1, std::memory_order_relaxed);
        }
        if (libcMutexLock == nullptr)
            libcMutexLock = reinterpret_cast<MutexLock> (dlsym (RTLD_NEXT, "pthread_mutex_lock"));
        return libcMutexLock (mutex);
    }

    void* __libc_malloc (size_t);
    void* __libc_calloc (size_t, size_t);
    void* __libc_realloc (void*, size_t);
    void* __libc_memalign (size_t, size_t);
    void* __libc_valloc (size_t);
    void* __libc_pvalloc (size_t);
    void __libc_free (void*);

    void* malloc (size_t size)
    {
        noteAllocation();
        return __libc_malloc (size);
    }
    void* calloc (size_t count, size_t size)
    {
        noteAllocation();
        return __libc_calloc (count, size);
    }
    void* memalign (size_t alignment, size_t size)
    {
        noteAllocation();
        return __libc_memalign (alignment, size);
    }
    void* aligned_alloc (size_t alignment, size_t size)
    {
        noteAllocation();
        return __libc_memalign (alignment, size);
    }
    void* valloc (size_t size)
    {
        noteAllocation();
        return __libc_valloc (size);
    }
    void* pvalloc (size_t size)
    {
        noteAllocation();
        return __libc_pvalloc (size);
    }
    void free (void* pointer)
    {
        noteFree (pointer);
        __libc_free (pointer);
    }

    void* realloc (void* pointer, size_t size)
    {
        // A realloc is a new block and the release of the old one.
        noteAllocation();
        noteFree (pointer);
        return __libc_realloc (pointer, size);
    }

    void* reallocarray (void* pointer, size_t count, size_t size)
    {
        if (size != 0 && count > SIZE_MAX / size)
        {
            errno = ENOMEM;
            return nullptr;
        }
        return realloc (pointer, count * size);
    }

    int posix_memalign (void** result, size_t alignment, size_t size)
    {
        noteAllocation();
        void* pointer = __libc_memalign (alignment, size);
        if (pointer == nullptr)
            return ENOMEM;
        *result = pointer;
        return 0;
    }
}

// operator new/delete go through the counted malloc/free above.
void* operator new (size_t size)
{
    if (void* p = malloc (size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[] (size_t size)
{
    return operator new (size);
}
void* operator new (size_t size, const std::nothrow_t&) noexcept
{
    return malloc (size == 0 ? 1 : size);
}
void* operator new[] (size_t size, const std::nothrow_t&) noexcept
{
    return malloc (size == 0 ? 1 : size);
}
void* operator new (size_t size, std::align_val_t alignment)
{
    if (void* p = aligned_alloc ((size_t) alignment, size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[] (size_t size, std::align_val_t alignment)
{
    return operator new (size, alignment);
}
void operator delete (void* p) noexcept
{
    free (p);
}
void operator delete[] (void* p) noexcept
{
    free (p);
}
void operator delete (void* p, size_t) noexcept
{
    free (p);
}
void operator delete[] (void* p, size_t) noexcept
{
    free (p);
}
void operator delete (void* p, std::align_val_t) noexcept
{
    free (p);
}
void operator delete[] (void* p, std::align_val_t) noexcept
{
    free (p);
}
void operator delete (void* p, size_t, std::align_val_t) noexcept
{
    free (p);
}
void operator delete[] (void* p, size_t, std::align_val_t) noexcept
{
    free (p);
}
#endif

namespace
{
    // Counts heap traffic and lock waits on the calling thread while alive.
    struct CountHeapTraffic
    {
        CountHeapTraffic() { countingHeapTraffic = true; }
        ~CountHeapTraffic() { countingHeapTraffic = false; }
    };
}
