#include "AudioTestSupport.h"

#include <cmath>
#include <memory>

using namespace kestrune::test;
using namespace kestrune::test::audio;

namespace
{
    // The audio path written out plainly, one sample at a time, the way the
    // processor computed it before its hot path was vectorised: a dry ring,
    // the per-sample filter step with its hop (pow per bin, shifted input
    // history), and juce::dsp::DryWetMixer given the proportion every block.
    // It uses the processor's own transform plans, so the comparison below
    // measures the rest of the path. (Non-Random directions only; the scan
    // columns of each block are taken from the processor.)
    class ReferencePath
    {
    public:
        static constexpr int fftSize = 2048, hop = 512, bins = 1024;

        ReferencePath (double sampleRate, int maximumBlock)
            : chunkSize (std::min (fftSize, maximumBlock))
        {
            std::fill (std::begin (window), std::end (window), 1.0f);
            juce::dsp::WindowingFunction<float> (fftSize, juce::dsp::WindowingFunction<float>::hann, true)
                .multiplyWithWindowingTable (window, fftSize);

            mixer.prepare ({ sampleRate, (juce::uint32) maximumBlock, 2 });
            mixer.setMixingRule (juce::dsp::DryWetMixingRule::sin6dB);
            dryScratch.setSize (2, fftSize);
        }

        void processBlock (juce::AudioBuffer<float>& buffer, const GreyFrame& frame, float columnLeft, float columnRight,
                           float effectapply, float smoothing, float drywet)
        {
            columns[0] = columnLeft;
            columns[1] = columnRight;
            mixer.setWetMixProportion (drywet);

            for (int start = 0; start < buffer.getNumSamples(); start += chunkSize)
            {
                const auto length = std::min (chunkSize, buffer.getNumSamples() - start);

                for (int i = 0; i < length; ++i)
                {
                    for (int c = 0; c < 2; ++c)
                        dryRing[c][dryWrite] = buffer.getSample (c, start + i);
                    dryWrite = (dryWrite + 1) % 4096;
                }

                for (int i = 0; i < length; ++i)
                {
                    for (int c = 0; c < 2; ++c)
                        dryScratch.setSample (c, i, dryRing[c][dryRead]);
                    dryRead = (dryRead + 1) % 4096;
                }

                mixer.pushDrySamples (juce::dsp::AudioBlock<const float> (dryScratch).getSubBlock (0, (size_t) length));

                for (int i = 0; i < length; ++i)
                {
                    for (int c = 0; c < 2; ++c)
                        hopFrames[c][hopFill] = buffer.getSample (c, start + i);

                    if (++hopFill == hop)
                    {
                        runHop (frame, effectapply, smoothing);
                        ringWrite = (ringWrite + hop) % 4096;
                        hopFill = 0;
                    }

                    for (int c = 0; c < 2; ++c)
                    {
                        buffer.setSample (c, start + i, ring[c][ringRead]);
                        ring[c][ringRead] = 0.0f;
                    }

                    ringRead = (ringRead + 1) % 4096;
                }

                mixer.mixWetSamples (juce::dsp::AudioBlock<float> (buffer).getSubBlock ((size_t) start, (size_t) length));
            }
        }

    private:
        void runHop (const GreyFrame& frame, float e, float p)
        {
            const auto H = frame.height;

            for (int c = 0; c < 2; ++c)
            {
                const auto x = (int) columns[c];
                float gain[bins];

                for (int k = 0; k < bins; ++k)
                {
                    const auto y = (float) ((1.0 - std::pow (1.0 - (double) k / 1024.0, 5.0)) * (double) H);
                    const auto yi = (int) y;
                    const auto g1 = frame.pixel (x, H - 1 - yi);
                    const auto g2 = yi < H - 1 ? frame.pixel (x, H - 2 - yi) : g1;
                    const auto f = y - (float) yi;
                    gain[k] = 1.0f - std::pow (1.0f - (f * g2 + (1.0f - f) * g1), 0.2f);
                }

                const auto [lowest, highest] = std::minmax_element (gain, gain + bins);
                const auto mid = (*lowest + *highest) * 0.5f;
                const auto off = std::min (e < 1.0f ? mid : e * mid, 0.5f);

                for (auto& g : gain)
                    g = std::max (-0.5f, std::min (0.5f, (g - mid) * e)) + off;

                for (auto& g : gain)
                {
                    smoothState = smoothState * p + g * (1.0f - p);
                    g = smoothState;
                }

                std::memmove (history[c], history[c] + hop, (size_t) (fftSize - hop) * sizeof (float));
                std::memcpy (history[c] + fftSize - hop, hopFrames[c], (size_t) hop * sizeof (float));

                for (int i = 0; i < fftSize; ++i)
                    samples[i] = history[c][i] * window[i];

                transforms.forward (samples, spectrum);

                constexpr auto factor = 0.33f / (float) fftSize;
                for (int k = 0; k < bins; ++k)
                {
                    spectrum[2 * k] *= gain[k] * factor;
                    spectrum[2 * k + 1] *= gain[k] * factor;
                }
                spectrum[2 * bins] *= gain[bins - 1] * factor;
                spectrum[2 * bins + 1] = 0.0f;

                transforms.inverse (spectrum, samples);

                for (int i = 0; i < fftSize; ++i)
                    filtered[c][i] = samples[i] * window[i];
            }

            for (int j = 0; j < fftSize; ++j)
                for (int c = 0; c < 2; ++c)
                    ring[c][(ringWrite + j) % 4096] += filtered[c][j];
        }

        const int chunkSize;
        float window[fftSize] {};
        float dryRing[2][4096] {};
        int dryWrite = 0, dryRead = 2048;
        juce::AudioBuffer<float> dryScratch;
        juce::dsp::DryWetMixer<float> mixer;
        float hopFrames[2][hop] {};
        int hopFill = 0;
        float history[2][fftSize] {};
        float filtered[2][fftSize] {};
        float ring[2][4096] {};
        int ringRead = 3584, ringWrite = 0;
        float smoothState = 0.0f;
        float columns[2] {};
        alignas (32) float samples[fftSize] {};
        alignas (32) float spectrum[fftSize + 8] {};
        RealTransformPair transforms { samples, spectrum, fftSize };
    };
}

TEST (AudioReference, TenSecondsOfNoiseStayWithinAMillionthOfThePlainPath)
{
    constexpr int maximumBlock = 4096;
    Rig rig (2, maximumBlock);
    auto reference = std::make_unique<ReferencePath> (sampleRate, maximumBlock);

    // Every pixel a different grey, the scan crossing most of the picture,
    // the channels on different columns, contrast and smoothing on.
    juce::Random random (23);
    rig.publish (480, 330, [&] (int, int) { return (float) random.nextInt (766) / 765.0f; });
    rig.set ("a_interval", 0.05f);
    rig.set ("b_interval", 0.95f);
    rig.set ("wider", 6.0f);
    rig.set ("effectapply", 1.7f);
    rig.set ("smootheforYAxis", 0.3f);

    const int total = (int) sampleRate * 10;
    const auto input = noise (2, total, 31);
    juce::AudioBuffer<float> expected (input), output (input);

    // Block lengths of every kind, and the dry/wet value held, ramped and
    // automated with every block.
    const int lengths[] = { 512, 480, 1024, 64, 3000, 2048, 17, 4096, 333 };
    size_t next = 0;
    float worst = 0.0f;

    for (int start = 0, block = 0; start < total; ++block)
    {
        const auto length = std::min (lengths[next++ % std::size (lengths)], total - start);
        const auto second = start / (int) sampleRate;
        const auto drywet = second < 2 ? 1.0f
                          : second < 4 ? 0.7f
                          : second < 6 ? 0.5f + 0.5f * std::sin (0.3f * (float) block)
                          : second < 8 ? 0.0f
                                       : 1.0f;
        rig.set ("drywet", drywet);

        juce::AudioBuffer<float> actualBlock (output.getArrayOfWritePointers(), 2, start, length);
        rig.processBlock (actualBlock);

        // The frame the block filtered with (picked up at its start).
        const auto& frame = rig.p().outputFrames.current();
        juce::AudioBuffer<float> expectedBlock (expected.getArrayOfWritePointers(), 2, start, length);
        reference->processBlock (expectedBlock, frame, rig.p().scanColumnLeft.load(), rig.p().scanColumnRight.load(),
                                 rig.p().effectapplyValue->load(), rig.p().smootheforYAxisValue->load(),
                                 rig.p().drywetValue->load());

        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < length; ++i)
            {
                const auto d = std::abs (actualBlock.getSample (c, i) - expectedBlock.getSample (c, i));
                if (d > 1.0e-6f && worst <= 1.0e-6f)
                    std::printf ("first difference at %d (block %d, length %d, channel %d): %g vs %g\n", start + i, block, length, c,
                                 (double) actualBlock.getSample (c, i), (double) expectedBlock.getSample (c, i));
                worst = std::max (worst, d);
            }

        start += length;
    }

    // The signal is loud (noise of +-0.5 through gains near 1).
    EXPECT_GT (peak (output, 0, 4096, total), 0.3f);
    EXPECT_LE (worst, 1.0e-6f);
    std::printf ("largest difference from the plain path: %g\n", (double) worst);
}
