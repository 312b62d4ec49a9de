#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>
#include <vector>

// Captured spectra on their way from the audio thread to the message thread.
// The message thread makes room before a capture (reserve) and takes the
// frames afterwards (take); the audio thread appends into that room only and
// reports the store full instead of growing it. Neither side ever holds a lock
// the other waits for: the message thread swaps the storage out and waits
// (never the audio thread) until a writer that may still hold it has let go.
class RecordedFrameStore
{
public:
    using Frame = std::array<float, 4096>;

    RecordedFrameStore() = default;
    ~RecordedFrameStore();

    // Message thread. Room for `frames` more frames, keeping those held.
    void reserve (size_t frames);
    // Message thread. All frames held, oldest first; the store is then empty.
    std::vector<Frame> take();

    // Audio thread: brackets every append.
    class Writer
    {
    public:
        explicit Writer (RecordedFrameStore& s) noexcept;
        ~Writer();
        // A frame appended to the store (zeroed), or nullptr when it is full.
        Frame* append() noexcept;

    private:
        RecordedFrameStore& store;
        std::vector<Frame>* frames;
        JUCE_DECLARE_NON_COPYABLE (Writer)
    };

private:
    std::vector<Frame>* swapOut (std::vector<Frame>* replacement);

    std::atomic<std::vector<Frame>*> storage { nullptr };
    std::atomic<bool> writing { false };

    JUCE_DECLARE_NON_COPYABLE (RecordedFrameStore)
};
