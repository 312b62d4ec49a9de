#pragma once

#include <JuceHeader.h>

// A picture drawn through an affine transform, pixel for pixel as JUCE's
// software renderer draws it (juce::Graphics::drawImageTransformed, and
// drawImage with a source and a destination rectangle, on a software image at
// full opacity), in a faster loop.
//
// The renderer works out which destination pixels the transformed picture
// covers, and how much of each edge pixel, with an edge table; that part is
// JUCE's own here too (the same edge table, built the same way, walked by
// EdgeTable::iterate), so the spans and their coverage are JUCE's. What is
// redone is the fill of each span: the renderer steps through the source in
// 8-bit fixed point (a Bresenham stepper per axis from the span's two ends),
// takes a 4-pixel weighted average inside the picture, a 2-pixel one along
// its edges and the nearest pixel beyond, and blends the span into the
// destination. The same integer steps, weights, rounding and edge rules run
// here, the inside of the picture on the vector unit; the blending is JUCE's
// own pixel code.
namespace kestrune::fill
{
    // Whether drawTransformed draws this case itself. It does not for a
    // single-channel image on either side, nor where the renderer would copy
    // the picture without resampling (a transform that is a whole-pixel shift
    // within the renderer's tolerance): those go through JUCE.
    bool handles (juce::Image::PixelFormat destFormat, juce::Image::PixelFormat sourceFormat,
                  const juce::AffineTransform& transform, juce::Graphics::ResamplingQuality quality) noexcept;

    // Draws `source` through `transform` into `dest`, limited to `clip` (in
    // destination pixels; a band of rows, say), as a graphics context on the
    // destination clipped to that rectangle would draw it at full opacity with
    // this resampling quality. Returns false, drawing nothing, for a case that
    // `handles` turns down. Several threads may draw into disjoint clips of one
    // destination at once.
    bool drawTransformed (const juce::Image::BitmapData& dest, juce::Rectangle<int> clip,
                          const juce::Image::BitmapData& source, const juce::AffineTransform& transform,
                          juce::Graphics::ResamplingQuality quality);

    // Which loop fills the spans. `vector` (the default) uses the vector unit
    // where the machine has AVX2 and the plain loop elsewhere; `plain` always
    // the plain loop; `juce` turns every case down, so that callers draw
    // through JUCE as before (for the benchmarks' side-by-side runs and the
    // tests). Process-wide.
    enum class Loop { vector, plain, juce };
    void useLoop (Loop) noexcept;
    Loop loopInUse() noexcept;

    // Whether this machine runs the vector loop (else `vector` means `plain`).
    bool hasVectorLoop() noexcept;
}
