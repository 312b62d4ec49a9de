#pragma once

#include <JuceHeader.h>

namespace kestrune::test
{
    // True when both pictures are valid, of one size and alike in every
    // pixel's colour, whatever their pixel formats.
    inline bool samePixels (const juce::Image& a, const juce::Image& b)
    {
        if (! a.isValid() || a.getBounds() != b.getBounds())
            return false;
        for (int y = 0; y < a.getHeight(); ++y)
            for (int x = 0; x < a.getWidth(); ++x)
                if (a.getPixelAt (x, y) != b.getPixelAt (x, y))
                    return false;
        return true;
    }
}
