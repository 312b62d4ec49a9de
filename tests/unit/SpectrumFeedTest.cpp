#include "AudioTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::audio;

// The test plays the spectrum view: it takes a frame while the flag is
// raised and lowers the flag afterwards, and it scribbles over the upper half
// as the view's in-place transform would.
namespace
{
    std::vector<float> takeFrame (KestruneAudioProcessor& p)
    {
        EXPECT_TRUE (p.nextFFTBlockReady.load (std::memory_order_acquire));
        std::vector<float> frame (p.fftData, p.fftData + 4096);
        std::fill (p.fftData + 2048, p.fftData + 4096, 7.0f);
        p.nextFFTBlockReady.store (false, std::memory_order_release);
        return frame;
    }

    // The first 2048 values of a frame against samples [from, from + 2048) of
    // `expected` (channel 0), and the upper half zero.
    void expectFrame (const std::vector<float>& frame, const juce::AudioBuffer<float>& expected, int from,
                      float tolerance = 0.0f)
    {
        for (int i = 0; i < 2048; ++i)
            ASSERT_NEAR (frame[(size_t) i], expected.getSample (0, from + i), tolerance) << i;
        for (int i = 2048; i < 4096; ++i)
            ASSERT_EQ (frame[(size_t) i], 0.0f) << i;
    }

    juce::AudioBuffer<float> monoMix (const juce::AudioBuffer<float>& in)
    {
        juce::AudioBuffer<float> mix (1, in.getNumSamples());
        for (int i = 0; i < in.getNumSamples(); ++i)
            mix.setSample (0, i, (float) (((double) in.getSample (0, i) + (double) in.getSample (1, i)) / 2.0));
        return mix;
    }
}

TEST (SpectrumFeed, InputModeHandsOverTheMonoMixAndCancellingStereoGivesZeros)
{
    Rig rig;
    rig.publishEmpty(); // the feed runs before the picture matters

    const auto input = noise (2, 2048, 5);
    auto cancelling = noise (2, 2049, 9);
    cancelling.copyFrom (1, 0, cancelling, 0, 0, 2049);
    cancelling.applyGain (1, 0, 2049, -1.0f);

    // The full FIFO goes over with the next sample, whatever that is.
    rig.run (input, { 700 });
    EXPECT_FALSE (rig.p().nextFFTBlockReady.load());
    rig.run (juce::AudioBuffer<float> (cancelling.getArrayOfWritePointers(), 2, 0, 1), { 1 });
    expectFrame (takeFrame (rig.p()), monoMix (input), 0);

    // Channels that cancel.
    rig.run (juce::AudioBuffer<float> (cancelling.getArrayOfWritePointers(), 2, 1, 2048), { 512 });
    const auto frame = takeFrame (rig.p());
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ (frame[(size_t) i], 0.0f) << i;
}

TEST (SpectrumFeed, ViewOffGivesFramesOfZeros)
{
    Rig rig;
    rig.publishUniform (1.0f);
    rig.p().spectrumMode = 2;
    rig.run (noise (2, 2049), { 512 });

    const auto frame = takeFrame (rig.p());
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ (frame[(size_t) i], 0.0f) << i;
}

TEST (SpectrumFeed, BlockOf4096HandsOverOneFrameAndTheSecondWaits)
{
    Rig rig;
    rig.publishEmpty();
    auto input = noise (2, 4097, 11);
    const auto mix = monoMix (input);

    rig.run (juce::AudioBuffer<float> (input.getArrayOfWritePointers(), 2, 0, 4096), { 4096 });
    expectFrame (takeFrame (rig.p()), mix, 0);

    // The second full FIFO goes over with the next block's first sample.
    rig.run (juce::AudioBuffer<float> (input.getArrayOfWritePointers(), 2, 4096, 1), { 1 });
    expectFrame (takeFrame (rig.p()), mix, 2048);
}

TEST (SpectrumFeed, SlowViewLosesFramesButNeverSeesOneOverwritten)
{
    Rig rig;
    rig.publishEmpty();
    auto input = noise (2, 5 * 2048 + 1, 13);
    const auto mix = monoMix (input);

    rig.run (juce::AudioBuffer<float> (input.getArrayOfWritePointers(), 2, 0, 2049), { 2049 });
    ASSERT_TRUE (rig.p().nextFFTBlockReady.load());

    // Three more frames complete while the view sleeps: the first stays.
    rig.run (juce::AudioBuffer<float> (input.getArrayOfWritePointers(), 2, 2049, 3 * 2048), { 512 });
    expectFrame (takeFrame (rig.p()), mix, 0);

    // Collection started over at each full FIFO: the next frame is the one
    // completed next, not one kept from the sleep.
    rig.run (juce::AudioBuffer<float> (input.getArrayOfWritePointers(), 2, 2049 + 3 * 2048, 2048), { 512 });
    expectFrame (takeFrame (rig.p()), mix, 4 * 2048);
}

TEST (SpectrumFeed, OutputModeShowsTheFilteredSignalBeforeTheMix)
{
    // Through a white picture the filtered signal is what an all-wet
    // processor puts out. With "drywet" 0 the output is the dry signal, and
    // with the transport stopped it is silent, but the view still gets the
    // filtered signal.
    const auto input = noise (2, 5 * 2048 + 1, 17);

    const auto filtered = [&input]
    {
        Rig wet; // one rig at a time: each holds the pipeline lock
        wet.publishUniform (1.0f);
        return wet.run (input, { 512 });
    }();
    ASSERT_GT (peak (filtered, 0, 2048, 5 * 2048), 0.3f);
    const auto filteredMix = monoMix (filtered);

    for (const bool playing : { true, false })
    {
        Rig rig;
        rig.publishUniform (1.0f);
        rig.set ("drywet", 0.0f);
        rig.p().spectrumMode = 1;
        rig.head.playing = playing;

        juce::AudioBuffer<float> output (input);

        for (int f = 0; f < 5; ++f)
        {
            juce::AudioBuffer<float> block (output.getArrayOfWritePointers(), 2, f * 2048, f == 4 ? 2049 : 2048);
            rig.processBlock (block);

            if (f >= 1)
            {
                // Frame f - 1, handed over with this block's first sample.
                expectFrame (takeFrame (rig.p()), filteredMix, (f - 1) * 2048, 1.0e-6f);
            }
        }

        if (playing)
        {
            for (int n = 4800; n < output.getNumSamples(); ++n)
                ASSERT_EQ (output.getSample (0, n), input.getSample (0, n - 2048)) << n;
        }
        else
        {
            EXPECT_EQ (peak (output, 0, 0, output.getNumSamples()), 0.0f);
        }
    }
}
