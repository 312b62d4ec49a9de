#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>

class BandWorkers;

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
//
// Scaling a large picture to a window's size costs a few milliseconds, too
// much for every repaint. So a reader also says at which size it draws, in
// the pixels of the screen (twice a window's size each way at 2 pixels per
// point, so that the copy is laid on pixel for pixel), and the worker, after each pass and outside the pipeline lock, renders the
// newest picture at the sizes asked for in the last second (at most two: the
// plug-in window's canvas and the separate window's). A display copy is never
// written after it is published: the image of a copy that was replaced is
// kept aside and drawn into again only once no reader holds it any more
// (its reference count back to one), as with the pool.
class FinishedPicture
{
public:
    FinishedPicture() = default;

    //==========================================================================
    // Writer side.

    // Copies `picture`'s pixels into a pool image and makes it the newest; a
    // null picture publishes "no picture" (and drops the display copies).
    // One call at a time: the processor makes them under the pipeline lock.
    void publish (const juce::Image& picture);

    // Renders the newest picture at every size asked for lately that has no
    // copy of it yet (the worker, after each pass, outside the pipeline lock),
    // in bands on the band workers when given. It touches shared state only
    // under the hand-over's spin lock, so it may run beside publish.
    void renderDisplayCopies (BandWorkers* workers = nullptr);

    //==========================================================================
    // Reader side (any thread). The writer holds the hand-over's spin lock
    // only to swap handles, never while it copies or scales.

    // The newest finished picture (null when there is none). The caller may
    // read it for as long as it holds the handle; it never changes.
    juce::Image latest() const;

    struct ForDisplay
    {
        juce::Image image;          // null: no picture
        bool scaled = false;        // image is already width x height
        int pictureWidth = 0;       // size of the finished picture it shows
        int pictureHeight = 0;

        // Of a scaled copy: an area in which every pixel is opaque (empty
        // when there is none), so that whatever is drawn under it there
        // cannot show. Scaling leaves the edges partly transparent; a picture
        // with transparency of its own has no such area.
        juce::Rectangle<int> opaqueArea;
    };

    // The finished picture for a reader that draws it stretched over
    // width x height screen pixels: the display copy at that size when there is one (of the
    // newest picture, or of the one before while the worker scales the
    // newest), else the newest picture itself; and asks for a copy at that
    // size. Never waits: returns false, leaving `result` alone, while the
    // writer is swapping handles (a reader then draws what it drew last).
    bool tryForDisplay (int width, int height, ForDisplay& result);

    // Pictures published so far (a null one included).
    juce::uint32 publications() const noexcept { return published.load (std::memory_order_acquire); }

    // Display copies rendered so far.
    juce::uint32 displayCopiesRendered() const noexcept { return rendered.load (std::memory_order_acquire); }

    // How long a size stays asked for without a reader asking again.
    static constexpr juce::uint32 displaySizeLifetimeMs = 1000;

private:
    static constexpr size_t poolSize = 3;
    static constexpr size_t displaySlots = 2;

    static juce::uint64 packSize (int w, int h) noexcept
    {
        return ((juce::uint64) (juce::uint32) w << 32) | (juce::uint32) h;
    }

    struct DisplayCopy
    {
        juce::Image image;
        juce::uint64 size = 0;
        juce::uint32 pictureNumber = 0; // publication it was scaled from
        int pictureWidth = 0, pictureHeight = 0;
        juce::Rectangle<int> opaqueArea;
    };

    // Writer only.
    std::array<juce::Image, poolSize> pool;
    int newestSlot = -1;

    // Guarded by `lock`.
    juce::Image newest;
    juce::uint32 newestNumber = 0;
    std::array<DisplayCopy, displaySlots> displays;

    // Writer only: per slot, the image of the copy last replaced, for reuse.
    std::array<juce::Image, displaySlots> spareDisplays;
    mutable juce::SpinLock lock;

    // Sizes readers draw at, and when each was last asked for.
    std::array<std::atomic<juce::uint64>, displaySlots> wantedSizes {};
    std::array<std::atomic<juce::uint32>, displaySlots> wantedAt {};
    std::atomic<juce::uint32> nextWantedSlot { 0 };

    std::atomic<juce::uint32> published { 0 }, rendered { 0 };

    JUCE_DECLARE_NON_COPYABLE (FinishedPicture)
};
