#pragma once

#include <JuceHeader.h>

// How the plug-in window meets the sizes a host gives it. A host may ask
// first whether a size will do (VST3 checkSizeConstraint, which JUCE's client
// answers from the editor's constrainer), or set a size without asking. The
// window lays itself out only at sizes within its limits at its aspect ratio;
// at any other size it shows itself as at the size it answers, at the top
// left, over its own background.
namespace kestrune::windowfit
{
    // What a host asking about `size` is answered: JUCE's VST3 client's
    // computation from the constrainer's limits and aspect ratio (the
    // dimension off the ratio is brought to it, the result kept inside the
    // limits and rounded up to whole pixels).
    juce::Rectangle<int> answerFor (const juce::ComponentBoundsConstrainer&, juce::Rectangle<int> size);

    // True when `size` is within the limits and differs from its answer by
    // rounding only (a pixel at most each way): laid out as it is.
    bool isAllowed (const juce::ComponentBoundsConstrainer&, juce::Rectangle<int> size);

    // Where the window lays itself out at a size.
    struct Fit
    {
        int width = 0, height = 0;  // the size the layout is made for, at the top left
        float scale = 1.0f;         // drawn smaller by this when even that does not fit
    };

    // At an allowed size, that size; otherwise the answer, which fits unless
    // the size is below the limits, where it is drawn scaled down to fit. An
    // answer at most a pixel larger than the size each way is laid out cut
    // to the size, never scaled.
    Fit fitFor (const juce::ComponentBoundsConstrainer&, juce::Rectangle<int> size);
}
