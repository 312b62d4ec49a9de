#pragma once

#include <JuceHeader.h>
#include "RecordedFrameStore.h"

#include <vector>

// A finished capture drawn as a greyscale spectrogram, the picture the Record
// button turns a capture into: one column per captured frame (the oldest on
// the left) and 1024 rows, the lowest frequency at the bottom. The rows are
// spread over the bins 0 to 768 the way the image filter spreads a picture's
// rows over its bins, so that playing the picture back lets through what was
// recorded. Levels are referred to a full-scale sine in the 2048-point
// transform and mapped from minDb (black) to maxDb (white).
namespace kestrune::recording
{
    constexpr int spectrogramRows = 1024;

    // The frame element shown by the row k rows up from the bottom (0..1023).
    int binForRow (int k) noexcept;

    // The grey level (0..255) of a magnitude; 0, negative and NaN read as
    // silence.
    int greyLevel (float magnitude, float minDb, float maxDb) noexcept;

    // The spectrogram of `frames` (ARGB, opaque); a null image when there is
    // no frame.
    juce::Image drawSpectrogram (const std::vector<RecordedFrameStore::Frame>& frames, float minDb, float maxDb);
}
