#include "AudioTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

// Counts heap traffic made by the thread that has marked itself as the audio
// thread. Every operator new and delete of the test program goes through
// here; in builds without a sanitizer (which owns malloc itself) the C
// allocation functions do too, since JUCE's buffers use malloc directly.
namespace
{
    thread_local bool onAudioThread = false;
    std::atomic<long> audioHeapCalls { 0 };

    inline void noteCall() noexcept
    {
        if (onAudioThread)
            audioHeapCalls.fetch_add (1, std::memory_order_relaxed);
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

    void* malloc (std::size_t n)                  { noteCall(); return __libc_malloc (n); }
    void* calloc (std::size_t n, std::size_t s)   { noteCall(); return __libc_calloc (n, s); }
    void* realloc (void* p, std::size_t n)        { noteCall(); return __libc_realloc (p, n); }
    void* memalign (std::size_t a, std::size_t n) { noteCall(); return __libc_memalign (a, n); }
    void* aligned_alloc (std::size_t a, std::size_t n) { noteCall(); return __libc_memalign (a, n); }
    void free (void* p)                           { if (p != nullptr) noteCall(); __libc_free (p); }

    int posix_memalign (void** out, std::size_t a, std::size_t n)
    {
        noteCall();
        *out = __libc_memalign (a, n);
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
            return p;
        throw std::bad_alloc();
    }

    void* allocateAligned (std::size_t size, std::align_val_t align)
    {
        noteCall();
        const auto alignment = std::max (sizeof (void*), static_cast<std::size_t> (align));
        void* p = nullptr;
        if (rawAlignedAllocate (&p, alignment, size == 0 ? 1 : size) == 0)
            return p;
        throw std::bad_alloc();
    }

    void release (void* p) noexcept
    {
        if (p != nullptr)
            noteCall();
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


using namespace kestrune::test;
using namespace kestrune::test::audio;

namespace
{
    struct AudioThreadScope
    {
        AudioThreadScope()  { onAudioThread = true; }
        ~AudioThreadScope() { onAudioThread = false; }
    };
}

TEST (AudioAllocation, CounterSeesTheAudioThreadOnly)
{
    // The counter must see a heap call made by the marked thread (else the
    // test below could not fail), and nothing from unmarked threads.
    const auto before = audioHeapCalls.load();
    {
        AudioThreadScope scope;
        // Called directly: a new-expression paired with its delete may be elided.
        ::operator delete (::operator new (16));
       #if KESTRUNE_COUNTS_MALLOC
        std::free (std::malloc (16));
       #endif
    }
   #if KESTRUNE_COUNTS_MALLOC
    EXPECT_EQ (audioHeapCalls.load() - before, 4);
   #else
    EXPECT_EQ (audioHeapCalls.load() - before, 2);
   #endif

    std::thread other ([] { ::operator delete (::operator new (16)); });
    other.join();
   #if KESTRUNE_COUNTS_MALLOC
    EXPECT_EQ (audioHeapCalls.load() - before, 4);
   #else
    EXPECT_EQ (audioHeapCalls.load() - before, 2);
   #endif
}

TEST (AudioAllocation, SteadyStateBlocksTouchNoHeap)
{
    Rig rig;
    rig.publish (480, 330, [] (int x, int y) { return (float) ((x * 7 + y * 3) % 255) / 255.0f; });
    rig.set ("drywet", 0.6f);
    rig.set ("smootheforYAxis", 0.5f);
    rig.set ("effectapply", 2.0f);

    auto input = noise (2, 6000);
    juce::AudioBuffer<float> block (2, 6000);
    auto runBlock = [&] (int length)
    {
        block.copyFrom (0, 0, input, 0, 0, length);
        block.copyFrom (1, 0, input, 1, 0, length);
        juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 2, 0, length);
        AudioThreadScope scope;
        rig.processBlock (view);
    };

    // Warm up: a first block of each kind, then a picture of another height.
    runBlock (512);
    runBlock (5000);

    const auto before = audioHeapCalls.load();

    for (int i = 0; i < 200; ++i)
    {
        rig.head.playing = (i % 50) < 40;          // stopping and starting
        rig.p().nextColumnReady = (i % 3) == 0;    // the view takes columns now and then
        runBlock (i % 25 == 0 ? 5000 : (i % 7 == 0 ? 1 : 512));

        if (i == 100)
        {
            rig.setDirection (2);
            rig.p().spectrumMode = 1;
            rig.publishUniform (0.3f, 200, 512);
        }
    }

    EXPECT_EQ (audioHeapCalls.load() - before, 0);
}

TEST (AudioAllocation, RandomModeSpectrumFeedAndCaptureTouchNoHeap)
{
    Rig rig;
    rig.publishUniform (1.0f);
    rig.setDirection (3);
    rig.set ("randomizespeed", 22.0f); // a jump every 750 samples
    rig.set ("barduratiom", 1.0f);
    rig.head.bpm = 480.0;              // a bar every 6000 samples

    auto& p = rig.p();
    juce::AudioBuffer<float> block (2, 5000);
    auto runBlock = [&] (int length)
    {
        for (int c = 0; c < 2; ++c)
            juce::FloatVectorOperations::fill (block.getWritePointer (c), 0.5f, length);
        juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 2, 0, length);
        AudioThreadScope scope;
        rig.processBlock (view);
    };

    runBlock (512);
    runBlock (5000);

    const auto before = audioHeapCalls.load();
    int spectra = 0, captures = 0;
    size_t frames = 0;
    float loudest = 0.0f;

    for (int i = 0; i < 400; ++i)
    {
        // Between blocks, on this (unmarked) thread: the view takes spectra,
        // the Record button arms and takes captures.
        if (p.nextFFTBlockReady.load() && i % 2 == 0)
        {
            p.nextFFTBlockReady = false;
            ++spectra;
        }

        if (i == 60 || i == 200)
            p.armRecord();

        if (i == 150 || i == 320)
        {
            captures += ! p.recordArmed.load();
            p.recordArmed = false;
            frames += p.takeRecordedFrames().size();
            p.recordCapturing = false;
        }

        p.spectrumMode = i < 250 ? 0 : 1;
        rig.head.playing = (i % 100) < 90;
        runBlock (i % 25 == 0 ? 5000 : (i % 7 == 0 ? 1 : 512));
        loudest = std::max (loudest, p.envelopeGain);
    }

    EXPECT_EQ (audioHeapCalls.load() - before, 0);

    // The paths ran: notes sounded, spectra went over, captures completed.
    EXPECT_GT (loudest, 0.3f);
    EXPECT_GT (spectra, 10);
    EXPECT_EQ (captures, 2);
    EXPECT_GT (frames, 4u);
}
