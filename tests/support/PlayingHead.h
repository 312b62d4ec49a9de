#pragma once

#include <JuceHeader.h>

namespace kestrune::test
{
    // A host's transport at `bpm` beats per minute, at `ppq` quarter notes;
    // the caller moves it on after each block.
    struct PlayingHead : juce::AudioPlayHead
    {
        bool playing = true;
        double ppq = 0.0;
        double bpm = 120.0;

        juce::Optional<PositionInfo> getPosition() const override
        {
            PositionInfo info;
            info.setBpm (bpm);
            info.setPpqPosition (ppq);
            info.setIsPlaying (playing);
            return info;
        }
    };
}
