#pragma once

// Counts the heap traffic of threads that mark themselves as the audio thread,
// and the bytes a thread holds on the heap while it asks for them.
// The test program's operator new and delete (all forms) go through the
// counter; in builds without a sanitizer (which owns malloc itself) the C
// allocation functions do too, since JUCE's buffers use malloc directly.
// With KESTRUNE_HEAP_TRAP set, a counted call stops the program (SIGILL), so
// that a debugger's backtrace shows where it came from.
namespace kestrune::test::heap
{
    // Heap calls made so far inside an AudioThreadScope, by any thread.
    long audioThreadCalls() noexcept;

    // True when malloc, calloc, realloc, free and the aligned forms are
    // counted as well as operator new and delete.
    bool countsMalloc() noexcept;

    // Marks the current thread as the audio thread while it lives.
    struct AudioThreadScope
    {
        AudioThreadScope() noexcept;
        ~AudioThreadScope();

        AudioThreadScope (const AudioThreadScope&) = delete;
        AudioThreadScope& operator= (const AudioThreadScope&) = delete;

    private:
        bool wasMarked;
    };

    // While it lives, adds up the bytes the current thread takes from the
    // heap less those it gives back (a block another thread took counts as
    // given back when this thread frees it).
    struct HeldBytesScope
    {
        HeldBytesScope() noexcept;
        ~HeldBytesScope();

        // Bytes taken less bytes given back since construction.
        long bytes() const noexcept;

        HeldBytesScope (const HeldBytesScope&) = delete;
        HeldBytesScope& operator= (const HeldBytesScope&) = delete;

    private:
        bool wasCounting;
        long start;
    };

    // While one lives, every block that malloc, the aligned forms and
    // operator new hand out, on any thread, comes filled with bytes that
    // differ from block to block, as memory used before would: code that
    // reads memory it never wrote then gives another result each time, not
    // only when the heap happens to reuse a block. Only operator new where
    // malloc is not counted (see countsMalloc); calloc still gives zeros.
    struct DirtyMemoryScope
    {
        DirtyMemoryScope() noexcept;
        ~DirtyMemoryScope();

        DirtyMemoryScope (const DirtyMemoryScope&) = delete;
        DirtyMemoryScope& operator= (const DirtyMemoryScope&) = delete;
    };
}
