#pragma once

#include <JuceHeader.h>

#include <memory>

// One step of the pen layer's undo history. Kept in a compact form: a layer
// is mostly transparent, and the history has no length limit.
class LayerSnapshot
{
public:
    LayerSnapshot() = default;
    explicit LayerSnapshot (const juce::Image& layer);

    // The same, stored as the area where `layer` differs from `previous` (the
    // step it follows); restoring it goes through `previous`, which it keeps.
    LayerSnapshot (const juce::Image& layer, const LayerSnapshot& previous);

    // A new image equal to the layer the snapshot was taken of (a null image
    // when that layer was null).
    juce::Image restore() const;

    // Memory the snapshot holds, in bytes (without the earlier steps it
    // shares, which count for themselves).
    size_t bytes() const;

private:
    // Rows of one area of the layer, zlib-compressed, laid over the layer of
    // `base` (or over nothing: then the area is the whole layer). Immutable
    // once made, so copies of a snapshot share it.
    struct Packed
    {
        int width = 0, height = 0;
        juce::Image::PixelFormat format = juce::Image::UnknownFormat;
        std::shared_ptr<const Packed> base;
        juce::Rectangle<int> area;
        int depth = 0; // steps back to a whole layer
        juce::MemoryBlock data;
    };

    std::shared_ptr<const Packed> packed;
};
