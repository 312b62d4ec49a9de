#include "HeapCounter.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

// The replaced allocation functions below are linked into any test program
// that uses the counter (see HeapCounter.h).
namespace
{
    thread_local bool onAudioThread = false;
    std::atomic<long> audioHeapCalls { 0 };

    thread_local bool countingHeld = false;
    thread_local long heldBytes = 0;

    inline long usableSize (void* p) noexcept { return p != nullptr ? (long) malloc_usable_size (p) : 0; }
    inline void noteTaken (void* p) noexcept  { if (countingHeld) heldBytes += usableSize (p); }
    inline void noteGiven (void* p) noexcept  { if (countingHeld) heldBytes -= usableSize (p); }
    inline void* taken (void* p) noexcept     { noteTaken (p); return p; }

    std::atomic<int> dirtyScopes { 0 };
    std::atomic<std::uint64_t> dirtyBlocks { 0 };

    // Fills a new block with a pattern of its own while a DirtyMemoryScope lives.
    inline void* dirtied (void* p, std::size_t n) noexcept
    {
        if (p == nullptr || dirtyScopes.load (std::memory_order_relaxed) == 0)
            return p;

        const std::uint64_t word = (dirtyBlocks.fetch_add (1, std::memory_order_relaxed) + 1) * 0x9e3779b97f4a7c15ull;
        auto* bytes = static_cast<unsigned char*> (p);

        std::size_t i = 0;
        for (; i + sizeof word <= n; i += sizeof word)
            std::memcpy (bytes + i, &word, sizeof word);
        for (; i < n; ++i)
            bytes[i] = (unsigned char) (word >> (8 * (i % 8)));

        return p;
    }

    inline void noteCall() noexcept
    {
        if (onAudioThread)
        {
            audioHeapCalls.fetch_add (1, std::memory_order_relaxed);
            // KESTRUNE_HEAP_TRAP stops the program at the call, so that a
            // debugger shows where the audio thread touched the heap.
            static const bool trap = std::getenv ("KESTRUNE_HEAP_TRAP") != nullptr;
            if (trap)
                __builtin_trap();
        }
    }

}

#if ! defined (__SANITIZE_ADDRESS__) && ! defined (__SANITIZE_THREAD__) && defined (__GLIBC__)
 #define KESTRUNE_COUNTS_MALLOC 1

extern "C"
{
    void* __libc_malloc (std::size_t);
    void* __libc_calloc (std::size_t, std::size_t);
    void* __libc_realloc (void*, std::size_t);
    void* __libc_memalign (std::size_t, std::size_t);
    void __libc_free (void*);

    void* malloc (std::size_t n)                  { noteCall(); return taken (dirtied (__libc_malloc (n), n)); }
    void* calloc (std::size_t n, std::size_t s)   { noteCall(); return taken (__libc_calloc (n, s)); }
    void* memalign (std::size_t a, std::size_t n) { noteCall(); return taken (dirtied (__libc_memalign (a, n), n)); }
    void* aligned_alloc (std::size_t a, std::size_t n) { noteCall(); return taken (dirtied (__libc_memalign (a, n), n)); }
    void free (void* p)                           { if (p != nullptr) noteCall(); noteGiven (p); __libc_free (p); }

    void* realloc (void* p, std::size_t n)
    {
        noteCall();
        const auto before = countingHeld ? usableSize (p) : 0;
        void* moved = __libc_realloc (p, n);
        if (moved != nullptr || n == 0) // realloc (p, 0) frees p
            heldBytes += countingHeld ? usableSize (moved) - before : 0;
        return moved;
    }

    int posix_memalign (void** out, std::size_t a, std::size_t n)
    {
        noteCall();
        *out = taken (dirtied (__libc_memalign (a, n), n));
        return *out != nullptr ? 0 : 12; // ENOMEM
    }
}
#endif

namespace
{
   #if KESTRUNE_COUNTS_MALLOC
    void* rawAllocate (std::size_t n) noexcept { return __libc_malloc (n); }
    void rawFree (void* p) noexcept { __libc_free (p); }
    int rawAlignedAllocate (void** out, std::size_t a, std::size_t n) noexcept
    {
        *out = __libc_memalign (a, n);
        return *out != nullptr ? 0 : 12;
    }
   #else
    void* rawAllocate (std::size_t n) noexcept { return std::malloc (n); }
    void rawFree (void* p) noexcept { std::free (p); }
    int rawAlignedAllocate (void** out, std::size_t a, std::size_t n) noexcept { return ::posix_memalign (out, a, n); }
   #endif

    void* allocate (std::size_t size)
    {
        noteCall();
        if (void* p = rawAllocate (size == 0 ? 1 : size))
        {
            noteTaken (p);
            return dirtied (p, size);
        }
        throw std::bad_alloc();
    }

    void* allocateAligned (std::size_t size, std::align_val_t align)
    {
        noteCall();
        const auto alignment = std::max (sizeof (void*), static_cast<std::size_t> (align));
        void* p = nullptr;
        if (rawAlignedAllocate (&p, alignment, size == 0 ? 1 : size) == 0)
        {
            noteTaken (p);
            return dirtied (p, size);
        }
        throw std::bad_alloc();
    }

    void release (void* p) noexcept
    {
        if (p != nullptr)
            noteCall();
        noteGiven (p);
        rawFree (p);
    }
}

void* operator new (std::size_t n)                                           { return allocate (n); }
void* operator new[] (std::size_t n)                                         { return allocate (n); }
void* operator new (std::size_t n, const std::nothrow_t&) noexcept           { try { return allocate (n); } catch (...) { return nullptr; } }
void* operator new[] (std::size_t n, const std::nothrow_t&) noexcept         { try { return allocate (n); } catch (...) { return nullptr; } }
void* operator new (std::size_t n, std::align_val_t a)                       { return allocateAligned (n, a); }
void* operator new[] (std::size_t n, std::align_val_t a)                     { return allocateAligned (n, a); }
void* operator new (std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept   { try { return allocateAligned (n, a); } catch (...) { return nullptr; } }
void* operator new[] (std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { try { return allocateAligned (n, a); } catch (...) { return nullptr; } }
void operator delete (void* p) noexcept                                      { release (p); }
void operator delete[] (void* p) noexcept                                    { release (p); }
void operator delete (void* p, std::size_t) noexcept                         { release (p); }
void operator delete[] (void* p, std::size_t) noexcept                       { release (p); }
void operator delete (void* p, const std::nothrow_t&) noexcept               { release (p); }
void operator delete[] (void* p, const std::nothrow_t&) noexcept             { release (p); }
void operator delete (void* p, std::align_val_t) noexcept                    { release (p); }
void operator delete[] (void* p, std::align_val_t) noexcept                  { release (p); }
void operator delete (void* p, std::size_t, std::align_val_t) noexcept       { release (p); }
void operator delete[] (void* p, std::size_t, std::align_val_t) noexcept     { release (p); }
void operator delete (void* p, std::align_val_t, const std::nothrow_t&) noexcept   { release (p); }
void operator delete[] (void* p, std::align_val_t, const std::nothrow_t&) noexcept { release (p); }

namespace kestrune::test::heap
{
    long audioThreadCalls() noexcept { return audioHeapCalls.load(); }

    bool countsMalloc() noexcept
    {
       #if KESTRUNE_COUNTS_MALLOC
        return true;
       #else
        return false;
       #endif
    }

    AudioThreadScope::AudioThreadScope() noexcept : wasMarked (onAudioThread) { onAudioThread = true; }
    AudioThreadScope::~AudioThreadScope() { onAudioThread = wasMarked; }

    HeldBytesScope::HeldBytesScope() noexcept : wasCounting (countingHeld), start (heldBytes) { countingHeld = true; }
    HeldBytesScope::~HeldBytesScope() { countingHeld = wasCounting; }
    long HeldBytesScope::bytes() const noexcept { return heldBytes - start; }

    DirtyMemoryScope::DirtyMemoryScope() noexcept { dirtyScopes.fetch_add (1); }
    DirtyMemoryScope::~DirtyMemoryScope() { dirtyScopes.fetch_sub (1); }
}
