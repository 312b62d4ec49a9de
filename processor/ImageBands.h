#pragma once

#include <JuceHeader.h>

#include <functional>

class BandWorkers;

// Picture work split into bands of rows, run on the band workers, with the
// same pixels as doing it in one go.
//
// JUCE's software renderer works out every destination pixel on its own (edge
// tables line by line, each span's interpolation from the transform), so a
// drawing clipped to a band of rows writes exactly the pixels the whole
// drawing writes there. What is not safe is several threads making graphics
// contexts on one image at once (the image notifies its listeners on every
// write access, without a lock). So each band draws into a view of the image:
// an image object of its own over the same pixel memory.
namespace kestrune::bands
{
    // An image over the pixels `data` describes, without a copy. Valid only
    // while the image the data came from lives and keeps its pixels; writes
    // through it notify nobody.
    juce::Image viewOf (const juce::Image::BitmapData& data);

    // How many bands to cut `rows` rows into for these workers (1 without).
    int bandsFor (const BandWorkers* workers, int rows) noexcept;

    // Calls fn (firstRow, endRow) for consecutive bands covering 0..rows.
    void forEachBand (BandWorkers* workers, int rows, const std::function<void (int, int)>& fn);

    // Draws into `dest` band by band: draw (g, sourceView) gets a graphics
    // context on a view of `dest` clipped to its band and a view of `source`
    // (which may be null, then so is the view). `dest` must not be `source`.
    void drawInBands (BandWorkers* workers, const juce::Image& dest, const juce::Image& source,
                      const std::function<void (juce::Graphics&, const juce::Image&)>& draw);

    // Draws `source` through `transform` into `dest` band by band, as
    // juce::Graphics::drawImageTransformed does on a context with this
    // resampling quality; through kestrune::fill where it reproduces JUCE's
    // renderer, through JUCE otherwise. `dest` must not be `source`.
    void drawTransformedInBands (BandWorkers* workers, const juce::Image& dest, const juce::Image& source,
                                 const juce::AffineTransform& transform, juce::Graphics::ResamplingQuality quality);

    // Fills every pixel of `image` with `colour`, replacing what was there
    // (what juce::Image::clear does).
    void clearInBands (BandWorkers* workers, const juce::Image& image, juce::Colour colour);

    // Copies the pixels of `source` into `dest`: same size and format, else
    // nothing is copied and false is returned.
    bool copyInBands (BandWorkers* workers, const juce::Image& source, const juce::Image& dest);
}
