#pragma once

#include <JuceHeader.h>

namespace kestrune
{
    // Draws the soft shadow of `path` in `colour`, blurred by `radius`
    // pixels, with no offset: the same pixels as
    // juce::DropShadow (colour, radius, {}).drawForPath (g, path), at a
    // fraction of its cost. JUCE blurs its mask column by column, striding
    // through memory for every pixel; here each pass runs along whole rows,
    // which the compiler turns into vector code. Each blurred value is the
    // rounded third of a pixel and its two neighbours as they were before
    // the pass (missing neighbours count as 0), exactly as JUCE computes it.
    void drawPathShadow (juce::Graphics& g, const juce::Path& path, juce::Colour colour, int radius);

    // One blur pass over a single-channel mask of width x height (both above
    // 2), `repetitions` times along the rows and then along the columns: the
    // blur of drawPathShadow, on its own for tests.
    void blurMask (juce::uint8* data, int width, int height, int lineStride, int repetitions);
}
