#include "PluginProcessor.h"

#include <cstring>

//==============================================================================
void GreyFrame::buildFrom (const juce::Image& image)
{
    if (! image.isValid())
    {
        width = height = 0;
        grey.clear();
        return;
    }

    width = image.getWidth();
    height = image.getHeight();
    grey.resize ((size_t) width * (size_t) height);

    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);

    for (int y = 0; y < height; ++y)
    {
        for (int x = 0; x < width; ++x)
        {
            const auto c = data.getPixelColour (x, y);
            grey[(size_t) x * (size_t) height + (size_t) y]
                = ((float) c.getRed() / 255.0f + (float) c.getGreen() / 255.0f + (float) c.getBlue() / 255.0f) / 3.0f;
        }
    }
}

//==============================================================================
void GreyFrameExchange::publish() noexcept
{
    back = middle.exchange (back | freshBit, std::memory_order_acq_rel) & ~freshBit;
}

const GreyFrame& GreyFrameExchange::acquire() noexcept
{
    if ((middle.load (std::memory_order_acquire) & freshBit) != 0)
        front = middle.exchange (front, std::memory_order_acq_rel) & ~freshBit;

    return slots[(size_t) front];
}

void GreyFrameExchange::replaceFront (GreyFrame& replacement) noexcept
{
    acquire(); // discard anything published for the picture being replaced
    std::swap (slots[(size_t) front], replacement);
}

//==============================================================================
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

//==============================================================================
// Picture adoption, the colour pipeline, pen drawing and the picture files are
// filled in below as they are built.

void KestruneAudioProcessor::prepareAdoption() {}
void KestruneAudioProcessor::checkAndLoadFile() {}
void KestruneAudioProcessor::iniImages() {}
void KestruneAudioProcessor::changeColourFunction() {}
void KestruneAudioProcessor::applyTransform() {}


juce::String KestruneAudioProcessor::getFilePath (juce::String fileName)
{
    return juce::File::getSpecialLocation (juce::File::userDocumentsDirectory)
               .getChildFile (imagesFolderName)
               .getChildFile (fileName)
               .getFullPathName();
}

void KestruneAudioProcessor::createImageDrawPath() {}
void KestruneAudioProcessor::setImageDrawPathToValueState() {}
void KestruneAudioProcessor::setImagePathToValueState() {}
void KestruneAudioProcessor::saveImageToDisk (juce::Image&, juce::String) {}
void KestruneAudioProcessor::loadFile (const juce::String&, bool) {}
juce::String KestruneAudioProcessor::backWardCompatibilityFileSearch (juce::String& path) { return path; }

void KestruneAudioProcessor::showIncomingAudioSPectrum (juce::AudioBuffer<float>&) {}

//==============================================================================
// Interval selection, pen strokes and the pen layer's undo history.
//
// All of these run on the message thread. The pen layer and its history are
// shared with the worker, which composites under criticalSection, and with the
// audio thread's picture adoption, which only try-locks criticalSection and
// swaps a whole new chain in. So every change to drawLayer, undoImages and
// undoIndex is made under the lock, and the slow part (packing or unpacking a
// snapshot) runs outside it. An adoption that happens meanwhile is recognised
// by drawLayer no longer being the layer the operation started from; the
// operation then leaves the new chain alone.

void KestruneAudioProcessor::setRange (juce::Point<float> a, juce::Point<float> b)
{
    const auto lo = juce::jmin (a.x, b.x);
    auto hi = juce::jmax (a.x, b.x);

    intervalStart.store ((double) lo);
    intervalEnd.store ((double) hi);

    // Never hand the scan an empty interval.
    if (lo == hi)
        hi = (float) ((double) lo + 0.00001);

    setParameterNotifyingHost ("a_interval", lo);
    setParameterNotifyingHost ("b_interval", hi);
}

namespace
{
    enum PenStyle { penLine = 0, penEllipse, penRectangle, penFillEllipse, penFillRect, penFree, penSpray };

    struct PenSettings
    {
        float style = 0.0f;
        float thickness = 10.0f;
        float zoom = 0.0f;
        juce::Colour colour;
    };

    // Draws one stroke onto `layer`. Points are fractions of the output picture;
    // `pictureSize` is the source picture's size; `outputToPicture` is the
    // inverse of the view transform.
    void drawPenStroke (juce::Image& layer, const std::vector<juce::Point<float>>& points,
                        juce::Point<int> pictureSize, const PenSettings& pen,
                        const juce::AffineTransform& outputToPicture)
    {
        const auto w = (float) pictureSize.x;
        const auto h = (float) pictureSize.y;
        const auto scaled = [w, h] (juce::Point<float> p) { return juce::Point<float> (p.x * w, p.y * h); };

        const auto p0 = scaled (points.front());
        const auto p1 = scaled (points.back());

        // One pixel more than the distance, so a click still covers a pixel.
        const juce::Rectangle<float> box (juce::jmin (p0.x, p1.x), juce::jmin (p0.y, p1.y),
                                          std::abs (p1.x - p0.x) + 1.0f, std::abs (p1.y - p0.y) + 1.0f);

        juce::Graphics g (layer);
        g.setColour (pen.colour);

        if (pen.style == (float) penLine)
        {
            g.drawLine ({ p0.transformedBy (outputToPicture), p1.transformedBy (outputToPicture) }, pen.thickness);
            return;
        }

        if (pen.style == (float) penSpray)
        {
            // Dots go straight into picture coordinates, as whole-pixel squares.
            const auto side = (int) (1.0f + pen.zoom);

            if (side <= 0)
                return;

            const auto toPixel = [] (float v) { return (int) juce::jlimit (-1.0e6f, 1.0e6f, v); };

            for (const auto& p : points)
                g.drawRect (toPixel (p.x * w), toPixel (p.y * h), side, side, 1);

            return;
        }

        g.addTransform (outputToPicture);

        if (pen.style == (float) penEllipse)
            g.drawEllipse (box, pen.thickness);
        else if (pen.style == (float) penRectangle)
            g.drawRect (box, pen.thickness);
        else if (pen.style == (float) penFillEllipse)
            g.fillEllipse (box);
        else if (pen.style == (float) penFillRect)
            g.fillRect (box);
        else if (pen.style == (float) penFree)
        {
            juce::Path path;
            path.startNewSubPath (p0);

            for (const auto& p : points)
                path.lineTo (scaled (p));

            g.strokePath (path,
                          juce::PathStrokeType ((1.0f + pen.zoom) * pen.thickness,
                                                juce::PathStrokeType::beveled, juce::PathStrokeType::butt),
                          juce::AffineTransform());
        }
    }
}

void KestruneAudioProcessor::drawShape (std::vector<juce::Point<float>>& points)
{
    if (points.empty())
        return;

    PenSettings pen;
    pen.style = penStyleValue->load();
    pen.thickness = penTicknessValue->load();
    pen.zoom = zoomValue->load();
    const auto grey = (juce::uint8) ((int) (penColourValue->load() * 255.0f) & 0xff);
    pen.colour = juce::Colour (grey, grey, grey, (juce::uint8) 255);

    juce::Image strokeLayer; // the layer drawn into; keeps its identity checkable below
    juce::Image layerCopy;
    LayerSnapshot currentStep;

    {
        const juce::ScopedLock sl (criticalSection);

        if (! sourceImage.isValid() || ! drawLayer.isValid())
            return;

        drawPenStroke (drawLayer, points, { sourceImage.getWidth(), sourceImage.getHeight() },
                       pen, inverseViewTransform);

        strokeLayer = drawLayer;
        layerCopy = drawLayer.createCopy();

        if (undoIndex >= 1 && undoIndex <= (int) undoImages.size())
            currentStep = undoImages[(size_t) undoIndex - 1];
    }

    const LayerSnapshot snapshot (layerCopy, currentStep);
    layerCopy = {};

    bool needsDrawPath = false;

    {
        const juce::ScopedLock sl (criticalSection);

        // A picture was adopted while the snapshot was packed: the stroke went
        // with the replaced layer, and the new chain's history stands as it is.
        if (drawLayer != strokeLayer)
            return;

        // Drop the redo tail, then the new layer becomes the current step.
        const auto keep = (size_t) juce::jlimit (0, (int) undoImages.size(), undoIndex);
        undoImages.erase (undoImages.begin() + (std::ptrdiff_t) keep, undoImages.end());
        undoImages.push_back (snapshot);
        undoIndex = (int) keep + 1;

        needsDrawPath = drawImagePath.isEmpty();
    }

    if (needsDrawPath)
        createImageDrawPath();

    needColourUpdate.store (true, std::memory_order_release);
}

bool KestruneAudioProcessor::undoStroke()
{
    LayerSnapshot target;
    juce::Image layerBefore;
    int newIndex = 0;

    {
        const juce::ScopedLock sl (criticalSection);

        newIndex = undoIndex - 1;

        if (undoIndex <= 1 || newIndex > (int) undoImages.size())
            return false;

        target = undoImages[(size_t) (newIndex - 1)];
        layerBefore = drawLayer;
    }

    auto restored = target.restore();

    {
        const juce::ScopedLock sl (criticalSection);

        if (drawLayer != layerBefore || undoIndex != newIndex + 1)
            return false; // a picture was adopted meanwhile; its history starts at one step

        std::swap (drawLayer, restored);
        undoIndex = newIndex;
    }

    needColourUpdate.store (true, std::memory_order_release);
    return true;
}

bool KestruneAudioProcessor::redoStroke()
{
    LayerSnapshot target;
    juce::Image layerBefore;
    int oldIndex = 0;

    {
        const juce::ScopedLock sl (criticalSection);

        oldIndex = undoIndex;

        if (undoIndex < 0 || undoIndex >= (int) undoImages.size())
            return false;

        target = undoImages[(size_t) undoIndex];
        layerBefore = drawLayer;
    }

    auto restored = target.restore();

    {
        const juce::ScopedLock sl (criticalSection);

        if (drawLayer != layerBefore || undoIndex != oldIndex)
            return false; // a picture was adopted meanwhile; nothing lies ahead of its only step

        std::swap (drawLayer, restored);
        undoIndex = oldIndex + 1;
    }

    needColourUpdate.store (true, std::memory_order_release);
    return true;
}
