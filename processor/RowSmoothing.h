#pragma once

#include <JuceHeader.h>

#include <array>

class BandWorkers;

// The smoothing along the rows: for each of red, green and blue,
// s = trunc (s * a + c * (1 - a)) in single precision, pixel after pixel,
// row by row from the top, the state carried from the end of one row into
// the start of the next. The result (s_red, s_green, s_blue) with alpha 255
// goes to `dest`; `state` comes in as the starting state and leaves as the
// state after the last pixel.
//
// The chain runs through the whole picture, but it forgets: two chains that
// meet at one pixel stay together from then on, and chains started from
// different states usually meet within a few pixels (the state only ever
// holds whole numbers 0 to 255, and each step keeps only the fraction a of
// the difference). So on 8-bit RGB and ARGB pictures the bands of rows run
// in parallel, each started from a guess (a short run-in over the pixels
// before the band), and then, band after band, the true chain is followed
// from the end of the band before until it meets what the band wrote: the
// pixels up to there are rewritten, the rest were right. The result is that
// of the single chain, pixel for pixel, and so is the state it leaves.
namespace kestrune::smoothing
{
    void smoothRows (const juce::Image& source, const juce::Image& dest, float a,
                     std::array<float, 3>& state, BandWorkers* workers);
}
