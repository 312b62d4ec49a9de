#include "LayerSnapshot.h"

#include <cstring>
#include <vector>

// Snapshots store layer rows deflated. A pen layer is mostly transparent and a
// stroke changes a small part of it, so a step normally keeps only the area
// where it differs from the step before; every so many steps a whole layer is
// kept instead, which bounds the work of a restore.
namespace
{
    constexpr int snapshotCompressionLevel = 1;
    constexpr int maxStepsBetweenWholeLayers = 32;

    void deflateArea (const juce::Image& layer, juce::Rectangle<int> area, juce::MemoryBlock& dest)
    {
        if (area.isEmpty())
            return;

        const juce::Image::BitmapData pixels (layer, juce::Image::BitmapData::readOnly);
        const auto rowBytes = (size_t) area.getWidth() * (size_t) pixels.pixelStride;

        juce::MemoryOutputStream out (dest, false);
        juce::GZIPCompressorOutputStream zipper (out, snapshotCompressionLevel);

        for (int y = area.getY(); y < area.getBottom(); ++y)
            zipper.write (pixels.getPixelPointer (area.getX(), y), rowBytes);

        zipper.flush();
    } // the output stream trims the block to the bytes written

    void inflateArea (const juce::MemoryBlock& source, juce::Rectangle<int> area, juce::Image::BitmapData& pixels)
    {
        if (area.isEmpty())
            return;

        const auto rowBytes = (size_t) area.getWidth() * (size_t) pixels.pixelStride;
        juce::MemoryInputStream in (source, false);
        juce::GZIPDecompressorInputStream unzipper (in);

        for (int y = area.getY(); y < area.getBottom(); ++y)
        {
            auto* row = pixels.getPixelPointer (area.getX(), y);
            const auto got = (size_t) juce::jmax (0, unzipper.read (row, (int) rowBytes));

            // Only a damaged block comes up short; what is missing reads transparent.
            if (got < rowBytes)
                std::memset (row + got, 0, rowBytes - got);
        }
    }

    // The smallest rectangle outside which `a` and `b` (same size and format) agree.
    juce::Rectangle<int> differingArea (const juce::Image& a, const juce::Image& b)
    {
        const juce::Image::BitmapData da (a, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData db (b, juce::Image::BitmapData::readOnly);
        const auto stride = (size_t) da.pixelStride;
        const auto width = a.getWidth();
        const auto rowBytes = (size_t) width * stride;

        int left = width, right = -1, top = -1, bottom = -1;

        for (int y = 0; y < a.getHeight(); ++y)
        {
            const auto* ra = da.getLinePointer (y);
            const auto* rb = db.getLinePointer (y);

            if (std::memcmp (ra, rb, rowBytes) == 0)
                continue;

            if (top < 0)
                top = y;
            bottom = y;

            int x = 0;
            while (x < left && std::memcmp (ra + (size_t) x * stride, rb + (size_t) x * stride, stride) == 0)
                ++x;
            left = juce::jmin (left, x);

            x = width - 1;
            while (x > right && std::memcmp (ra + (size_t) x * stride, rb + (size_t) x * stride, stride) == 0)
                --x;
            right = juce::jmax (right, x);
        }

        if (top < 0)
            return {};

        return { left, top, right - left + 1, bottom - top + 1 };
    }
}

LayerSnapshot::LayerSnapshot (const juce::Image& layer)
{
    if (! layer.isValid())
        return;

    auto p = std::make_shared<Packed>();
    p->width = layer.getWidth();
    p->height = layer.getHeight();
    p->format = layer.getFormat();
    p->area = layer.getBounds();
    deflateArea (layer, p->area, p->data);
    packed = std::move (p);
}

LayerSnapshot::LayerSnapshot (const juce::Image& layer, const LayerSnapshot& previous)
{
    const auto& prev = previous.packed;

    if (! layer.isValid() || prev == nullptr
         || prev->depth + 1 >= maxStepsBetweenWholeLayers
         || prev->width != layer.getWidth() || prev->height != layer.getHeight()
         || prev->format != layer.getFormat())
    {
        *this = LayerSnapshot (layer);
        return;
    }

    auto p = std::make_shared<Packed>();
    p->width = prev->width;
    p->height = prev->height;
    p->format = prev->format;
    p->base = prev;
    p->depth = prev->depth + 1;
    p->area = differingArea (previous.restore(), layer);
    deflateArea (layer, p->area, p->data);
    packed = std::move (p);
}

juce::Image LayerSnapshot::restore() const
{
    if (packed == nullptr)
        return {};

    // Lay the areas down from the whole layer up to this step.
    std::vector<const Packed*> steps;
    for (auto* step = packed.get(); step != nullptr; step = step->base.get())
        steps.push_back (step);

    juce::Image layer (packed->format, packed->width, packed->height, false);
    juce::Image::BitmapData pixels (layer, juce::Image::BitmapData::readWrite);

    for (auto it = steps.rbegin(); it != steps.rend(); ++it)
        inflateArea ((*it)->data, (*it)->area, pixels);

    return layer;
}

size_t LayerSnapshot::bytes() const
{
    return packed == nullptr ? 0 : sizeof (Packed) + packed->data.getSize();
}
