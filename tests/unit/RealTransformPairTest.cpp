#include "RealTransformPair.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

namespace
{
    constexpr int size = 2048;

    struct Buffers
    {
        alignas (32) float samples[size] {};
        alignas (32) float bins[size + 2] {};
    };

    void fillCosine (float* samples, int bin)
    {
        for (int n = 0; n < size; ++n)
            samples[n] = (float) std::cos (2.0 * juce::MathConstants<double>::pi * bin * n / size);
    }

    // Largest distance of the bins from a single cosine's spectrum at `bin`.
    float offCosineSpectrum (const float* bins, int bin)
    {
        float worst = 0.0f;
        for (int k = 0; k <= size / 2; ++k)
        {
            const float expectRe = k == bin ? size / 2.0f : 0.0f;
            worst = juce::jmax (worst, std::abs (bins[2 * k] - expectRe), std::abs (bins[2 * k + 1]));
        }
        return worst;
    }
}

TEST (RealTransformPair, ForwardGivesTheBinsAndInverseComesBackUnscaled)
{
    auto planned = std::make_unique<Buffers>();
    const RealTransformPair pair (planned->samples, planned->bins, size);

    fillCosine (planned->samples, 37);
    pair.forward (planned->samples, planned->bins);
    EXPECT_LT (offCosineSpectrum (planned->bins, 37), 0.05f);

    // Other buffers aligned the same way work with the same plans.
    auto other = std::make_unique<Buffers>();
    juce::Random random (3);
    std::vector<float> input (size);
    for (int n = 0; n < size; ++n)
        other->samples[n] = input[(size_t) n] = random.nextFloat() * 2.0f - 1.0f;

    pair.forward (other->samples, other->bins);
    pair.inverse (other->bins, other->samples);

    for (int n = 0; n < size; ++n)
        ASSERT_NEAR (other->samples[n], input[(size_t) n] * (float) size, 0.02f) << n;
}

TEST (RealTransformPair, PlansMadeOnSeveralThreadsAtOnceAllWork)
{
    // The planner is not reentrant: instances made on several threads (hosts
    // create plug-ins in parallel), beside the framework's own transforms.
    std::vector<std::thread> threads;
    std::vector<float> worst (6, 0.0f);

    for (size_t t = 0; t < worst.size(); ++t)
    {
        threads.emplace_back ([t, &worst]
        {
            for (int round = 0; round < 20; ++round)
            {
                auto buffers = std::make_unique<Buffers>();
                const RealTransformPair pair (buffers->samples, buffers->bins, size);
                juce::dsp::FFT frameworkTransform (8 + (int) (t % 3));

                const int bin = 1 + (int) t * 50 + round;
                fillCosine (buffers->samples, bin);
                pair.forward (buffers->samples, buffers->bins);
                worst[t] = juce::jmax (worst[t], offCosineSpectrum (buffers->bins, bin));
            }
        });
    }

    for (auto& thread : threads)
        thread.join();

    for (size_t t = 0; t < worst.size(); ++t)
        EXPECT_LT (worst[t], 0.05f) << "thread " << t;
}
