#include "MixerSettling.h"

#include <cmath>

void MixerSettling::gainsFor (float proportion, float& wetGain, float& dryGain) noexcept
{
    // As juce::dsp::DryWetMixer: the proportion limited to 0..1 in single
    // precision, the sin6dB gains in double, each stored as float.
    const auto mix = juce::jlimit (0.0f, 1.0f, proportion);
    dryGain = (float) std::pow (std::sin (0.5 * juce::MathConstants<double>::pi * (1.0 - mix)), 2.0);
    wetGain = (float) std::pow (std::sin (0.5 * juce::MathConstants<double>::pi * mix), 2.0);
}

void MixerSettling::prepare (double sampleRate) noexcept
{
    rampLength = sampleRate > 0.0 ? (int) std::floor (0.05 * sampleRate) : 0;
    rampLeft = juce::jmax (0, rampLength);
    known = false;
}

void MixerSettling::proportionSet (float proportion) noexcept
{
    float newWet = 0.0f, newDry = 0.0f;
    gainsFor (proportion, newWet, newDry);

    // The mixer restarts a ramp whenever a target changes (a value that is
    // not a number always counts as changed).
    if (! known || ! (newWet == wet) || ! (newDry == dry))
        rampLeft = juce::jmax (0, rampLength);

    wet = newWet;
    dry = newDry;
    known = true;
}

void MixerSettling::mixed (int samples) noexcept
{
    rampLeft = juce::jmax (0, rampLeft - juce::jmax (0, samples));
}
