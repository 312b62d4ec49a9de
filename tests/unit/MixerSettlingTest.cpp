#include "MixerSettling.h"

#include <gtest/gtest.h>

#include <random>

namespace
{
    // A JUCE mixer as the processor sets it up, and the follower beside it.
    struct MixerPair
    {
        static constexpr int maxBlock = 600;
        juce::dsp::DryWetMixer<float> mixer;
        MixerSettling settling;
        juce::AudioBuffer<float> dry { 2, maxBlock }, wet { 2, maxBlock }, expected { 2, maxBlock };
        std::mt19937 rng { 3 };

        explicit MixerPair (double sampleRate)
        {
            mixer.prepare ({ sampleRate, (juce::uint32) maxBlock, 2 });
            mixer.setMixingRule (juce::dsp::DryWetMixingRule::sin6dB);
            settling.prepare (sampleRate);
        }

        void setProportion (float proportion)
        {
            mixer.setWetMixProportion (proportion);
            settling.proportionSet (proportion);
        }

        // Mixes one block through the JUCE mixer. Where the follower says the
        // gains have settled, the block must come out as the processor mixes
        // it: wet times the wet gain plus dry times the dry gain. Returns
        // whether it was settled.
        bool mixBlock (int length)
        {
            std::uniform_real_distribution<float> sample (-1.0f, 1.0f);
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < length; ++i)
                {
                    dry.setSample (c, i, sample (rng));
                    wet.setSample (c, i, sample (rng));
                }

            const auto settled = settling.settled();

            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < length; ++i)
                    expected.setSample (c, i, wet.getSample (c, i) * settling.wetGain()
                                               + dry.getSample (c, i) * settling.dryGain());

            mixer.pushDrySamples (juce::dsp::AudioBlock<const float> (dry).getSubBlock (0, (size_t) length));
            mixer.mixWetSamples (juce::dsp::AudioBlock<float> (wet).getSubBlock (0, (size_t) length));
            settling.mixed (length);

            if (settled)
                for (int c = 0; c < 2; ++c)
                    for (int i = 0; i < length; ++i)
                        EXPECT_EQ (wet.getSample (c, i), expected.getSample (c, i)) << c << " " << i;

            return settled;
        }

        // Mixes `total` samples in blocks the mixer was prepared for; returns
        // whether the first block found the gains settled.
        bool mixSamples (int total)
        {
            const auto first = mixBlock (std::min (total, maxBlock));
            for (int done = std::min (total, maxBlock); done < total; done += maxBlock)
                mixBlock (std::min (maxBlock, total - done));
            return first;
        }
    };
}

TEST (MixerSettling, SettledOnlyWhileTheMixerHoldsItsGains)
{
    MixerPair pair (48000.0);
    std::mt19937 rng (11);
    std::uniform_int_distribution<int> blockLength (1, MixerPair::maxBlock);
    std::uniform_int_distribution<int> hold (0, 300);
    const float proportions[] = { 1.0f, 0.0f, 0.6f, 0.6f, 0.25f, 1.0f, 0.999f, 0.5f };

    int settledBlocks = 0;

    for (int step = 0; step < 60 && ! ::testing::Test::HasFailure(); ++step)
    {
        pair.setProportion (proportions[(size_t) step % std::size (proportions)]);

        // A few blocks of automation now and then: a new value every block.
        const auto blocks = step % 7 == 3 ? 5 : hold (rng);
        for (int b = 0; b < blocks; ++b)
        {
            if (step % 7 == 3)
                pair.setProportion (0.1f * (float) b);

            settledBlocks += pair.mixBlock (blockLength (rng)) ? 1 : 0;
        }
    }

    EXPECT_GT (settledBlocks, 1000);
}

TEST (MixerSettling, SettlesOneRampAfterTheLastChange)
{
    MixerPair pair (44100.0);
    const int ramp = (int) std::floor (0.05 * 44100.0); // 2205 samples

    // After prepare: nothing is known until a value arrives and a ramp passes.
    EXPECT_FALSE (pair.settling.settled());
    pair.setProportion (1.0f);
    int mixed = 0;
    while (mixed + 100 <= ramp)
    {
        EXPECT_FALSE (pair.mixBlock (100));
        mixed += 100;
    }
    pair.mixSamples (ramp - mixed);
    EXPECT_TRUE (pair.settling.settled());
    EXPECT_EQ (pair.settling.wetGain(), 1.0f);
    EXPECT_EQ (pair.settling.dryGain(), 0.0f);

    // The same value again changes nothing; a new one restarts the ramp.
    pair.setProportion (1.0f);
    EXPECT_TRUE (pair.settling.settled());
    pair.setProportion (0.5f);
    EXPECT_FALSE (pair.settling.settled());
    pair.mixSamples (ramp - 1);
    EXPECT_FALSE (pair.settling.settled());
    pair.mixSamples (1);
    EXPECT_TRUE (pair.mixBlock (10));

    // A value that is not a number never settles (the mixer restarts its
    // ramp every time it gets one).
    for (int b = 0; b < 30; ++b)
    {
        pair.settling.proportionSet (std::numeric_limits<float>::quiet_NaN());
        pair.settling.mixed (500);
        ASSERT_FALSE (pair.settling.settled());
    }
}

TEST (MixerSettling, GainsFollowTheSin6dBLaw)
{
    for (const float m : { -0.5f, 0.0f, 0.3f, 0.5f, 1.0f, 2.0f })
    {
        float wet = 0.0f, dry = 0.0f;
        MixerSettling::gainsFor (m, wet, dry);
        const auto limited = juce::jlimit (0.0f, 1.0f, m);
        EXPECT_NEAR (wet, std::pow (std::sin (juce::MathConstants<double>::halfPi * limited), 2.0), 1.0e-7) << m;
        EXPECT_NEAR (dry, std::pow (std::cos (juce::MathConstants<double>::halfPi * limited), 2.0), 1.0e-7) << m;
    }

    float wet = 0.0f, dry = 1.0f;
    MixerSettling::gainsFor (1.0f, wet, dry);
    EXPECT_EQ (wet, 1.0f);
    EXPECT_EQ (dry, 0.0f);
}
