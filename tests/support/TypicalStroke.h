#pragma once

#include <JuceHeader.h>

namespace kestrune::test
{
    // A hand-drawn squiggle as a user makes it: 40 points inside a 250 x 150
    // patch of the layer, 10 px wide, in a random grey. Shared by the pen
    // history's tests and its benchmark.
    inline void drawTypicalStroke (juce::Image& layer, juce::Random& rng)
    {
        const auto x0 = (float) rng.nextInt (juce::jmax (1, layer.getWidth() - 250));
        const auto y0 = (float) rng.nextInt (juce::jmax (1, layer.getHeight() - 150));

        juce::Path path;
        path.startNewSubPath (x0, y0);
        for (int i = 0; i < 40; ++i)
            path.lineTo (x0 + rng.nextFloat() * 250.0f, y0 + rng.nextFloat() * 150.0f);

        juce::Graphics g (layer);
        g.setColour (juce::Colour::greyLevel (rng.nextFloat()));
        g.strokePath (path, juce::PathStrokeType (10.0f, juce::PathStrokeType::beveled, juce::PathStrokeType::butt));
    }
}
