#pragma once

#include <JuceHeader.h>

// Follows the two gains of a juce::dsp::DryWetMixer with the sin6dB law to
// tell when both have settled at their targets, and what those targets are.
//
// While the dry/wet value stays put the mixer does nothing but scale the
// filtered block by a constant wet gain and add the delayed dry block scaled
// by a constant dry gain (1 and 0 at the default, full wet). The processor
// then mixes the block itself, straight from its dry ring and without the
// mixer's copies, with the same arithmetic; whenever a gain ramps it hands the
// blocks to the mixer again. Skipping the mixer while it is settled leaves it
// exactly as running it would: its buffer of dry samples stays balanced and
// its gains stay at their targets.
//
// The follower is conservative: after prepare() and after every change of a
// target it counts a whole ramp (the mixer's 50 ms) of mixed samples before it
// reports the gains settled, never sooner than the mixer itself.
class MixerSettling
{
public:
    // The mixer was prepared at this sample rate: its ramps last
    // floor (0.05 * sampleRate) samples from now on. Until the next
    // proportion and a full ramp after it, nothing counts as settled.
    void prepare (double sampleRate) noexcept;

    // The proportion just passed to the mixer's setWetMixProportion.
    void proportionSet (float proportion) noexcept;

    // The mixer (or the processor in its place) mixed this many samples.
    void mixed (int samples) noexcept;

    bool settled() const noexcept { return rampLeft == 0 && known; }

    // The mixer's gain targets for the last proportion (what it multiplies
    // by once settled).
    float wetGain() const noexcept { return wet; }
    float dryGain() const noexcept { return dry; }

    // The mixer's targets for a proportion, computed as the mixer computes them.
    static void gainsFor (float proportion, float& wetGain, float& dryGain) noexcept;

private:
    int rampLength = 0;
    int rampLeft = 0;
    bool known = false;
    float wet = 1.0f, dry = 0.0f;
};
