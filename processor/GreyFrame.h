#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>
#include <vector>

class BandWorkers;

// The greyscale picture the audio thread filters with: one float grey level
// (R/255 + G/255 + B/255) / 3 per pixel, stored column by column so that a
// hop reads one contiguous column. Built off the audio thread.
struct GreyFrame
{
    int width = 0;
    int height = 0;
    std::vector<float> grey; // grey[x * height + y], y counted from the top

    bool isEmpty() const noexcept { return width <= 0 || height <= 0; }

    // Grey of pixel (x, y); anything outside the picture reads 0.
    float pixel (int x, int y) const noexcept
    {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return 0.0f;
        return grey[(size_t) x * (size_t) height + (size_t) y];
    }

    // Fills this frame from an image (allocates; never call on the audio
    // thread). With band workers, bands of columns are filled in parallel.
    void buildFrom (const juce::Image& image, BandWorkers* workers = nullptr);
};

//==============================================================================
// Lock-free single-producer / single-consumer triple buffer of grey frames.
// The worker writes into its back slot and publishes it; the audio thread
// picks up the newest published slot at the start of a block. Neither side
// ever waits, and the audio side never allocates or frees.
class GreyFrameExchange
{
public:
    // Writer side (worker thread, holding the pipeline lock).
    GreyFrame& backFrame() noexcept { return slots[(size_t) back]; }
    void publish() noexcept;

    // Reader side (audio thread). Returns the frame to read this block.
    const GreyFrame& acquire() noexcept;
    const GreyFrame& current() const noexcept { return slots[(size_t) front]; }

    // Audio thread, during a picture adoption (pipeline lock held): drop any
    // frame published for the old picture and put `replacement` in front.
    // The old front frame's storage ends up in `replacement`.
    void replaceFront (GreyFrame& replacement) noexcept;

private:
    static constexpr int freshBit = 4;
    std::array<GreyFrame, 3> slots;
    int back = 0, front = 2;
    std::atomic<int> middle { 1 };
};
