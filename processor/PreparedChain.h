#pragma once

#include <JuceHeader.h>

#include <vector>

#include "GreyFrame.h"
#include "LayerSnapshot.h"

// A picture chain built aside (off the audio thread) so that the audio thread's
// adoption only swaps handles and vectors: no decoding, scaling or copying.
struct PreparedChain
{
    juce::Image sourceImage, drawLayer, compositeImage, workImage, blurImage,
                transformImage, outputImage, loadedDrawImage;
    std::vector<LayerSnapshot> undoImages;
    GreyFrame frame;
    juce::uint64 generation = 0; // the pending picture it was built for
    bool keepParams = false;
};
