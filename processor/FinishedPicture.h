#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>

// The newest picture the worker has finished, for the windows to draw.
//
// The worker holds the pipeline lock for a whole pass (tens of milliseconds on
// a large picture), so the canvas must not read the output picture under that
// lock. Instead the worker copies each finished output into an image of its
// own pool and publishes that image's handle; a reader takes the handle and
// draws it without any lock the worker holds for long.
//
// A published image is never written again while anyone else holds it: the
// writer only reuses a pool image that is not the published one and that no
// reader holds any more (its reference count is back to the pool's own). A
// reader drops its handle after drawing; the count's atomic decrement orders
// the reader's pixel reads before the writer's next writes.
class FinishedPicture
{
public:
    FinishedPicture() = default;

    // Writer side (one thread at a time: the worker, or the constructor before
    // the worker starts). Copies `picture`'s pixels into a pool image and makes
    // it the newest; a null picture publishes "no picture".
    void publish (const juce::Image& picture);

    // Any thread. The newest finished picture (null when there is none). The
    // caller may read it for as long as it holds the handle; it never changes.
    // Takes only a spin lock that the writer holds for a handle swap.
    juce::Image latest() const;

    // Pictures published so far (a null one included).
    juce::uint32 publications() const noexcept { return published.load (std::memory_order_acquire); }

private:
    static constexpr size_t poolSize = 3;

    // Writer only.
    std::array<juce::Image, poolSize> pool;
    int newestSlot = -1;

    // The newest picture's handle, swapped and copied under `lock`.
    juce::Image newest;
    mutable juce::SpinLock lock;

    std::atomic<juce::uint32> published { 0 };

    JUCE_DECLARE_NON_COPYABLE (FinishedPicture)
};
