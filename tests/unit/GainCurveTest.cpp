#include "GainCurve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace
{
    float byPow (float g) { return 1.0f - std::pow (1.0f - g, 0.2f); }

    // Largest |gainCurve - 1 + (1 - g)^0.2| over the levels.
    float worstDifference (const std::vector<float>& greys)
    {
        std::vector<float> gains (greys.size());
        kestrune::gainCurve (greys.data(), gains.data(), (int) greys.size());

        float worst = 0.0f;
        for (size_t i = 0; i < greys.size(); ++i)
            worst = std::max (worst, std::abs (gains[i] - byPow (greys[i])));
        return worst;
    }
}

TEST (GainCurve, StaysWithinOneFloatStepOfPow)
{
    std::vector<float> greys;

    // Every grey a picture pixel can have, and levels between two of them.
    for (int sum = 0; sum <= 765; ++sum)
        greys.push_back ((float) sum / 765.0f);
    for (int a = 0; a < 256; ++a)
        greys.push_back (((float) a / 255.0f + (float) (a / 2) / 255.0f + (float) (255 - a) / 255.0f) / 3.0f);

    std::mt19937 rng (17);
    std::uniform_real_distribution<float> unit (0.0f, 1.0f);
    for (int i = 0; i < 200000; ++i)
        greys.push_back (unit (rng));

    // Near white the curve is steepest: 1 - 2^-k and its neighbours.
    for (int k = 1; k <= 24; ++k)
        for (int j = 0; j < 64; ++j)
            greys.push_back (1.0f - std::ldexp (1.0f + (float) j / 64.0f, -k));

    EXPECT_LE (worstDifference (greys), 1.2e-7f);
}

TEST (GainCurve, BlackIsZeroAndWhiteIsOneExactly)
{
    // Odd counts and every position in a vector: the loop's tail too.
    for (int count = 1; count < 40; ++count)
    {
        std::vector<float> greys ((size_t) count, 0.0f), gains ((size_t) count, -1.0f);
        for (int i = 0; i < count; i += 2)
            greys[(size_t) i] = 1.0f;

        kestrune::gainCurve (greys.data(), gains.data(), count);

        for (int i = 0; i < count; ++i)
            ASSERT_EQ (gains[(size_t) i], i % 2 == 0 ? 1.0f : 0.0f) << count << " " << i;
    }

    // Mid grey gives about 0.129.
    const float mid = 0.5f;
    float gain = 0.0f;
    kestrune::gainCurve (&mid, &gain, 1);
    EXPECT_NEAR (gain, 0.129f, 0.001f);
}

TEST (GainCurve, GreysContrastAndBinScalingFollowTheirFormulas)
{
    std::mt19937 rng (5);
    std::uniform_real_distribution<float> unit (0.0f, 1.0f);

    const int rows = 330, count = 1000;
    std::vector<float> column (rows), fraction (count), grey (count);
    std::vector<int> lower (count), upper (count);
    for (auto& v : column) v = unit (rng);
    for (int k = 0; k < count; ++k)
    {
        lower[(size_t) k] = (int) (unit (rng) * (rows - 1));
        upper[(size_t) k] = std::max (0, lower[(size_t) k] - 1);
        fraction[(size_t) k] = unit (rng);
    }

    kestrune::greysBetweenRows (column.data(), lower.data(), upper.data(), fraction.data(), grey.data(), count);
    for (int k = 0; k < count; ++k)
    {
        const auto f = fraction[(size_t) k];
        ASSERT_EQ (grey[(size_t) k], f * column[(size_t) upper[(size_t) k]] + (1.0f - f) * column[(size_t) lower[(size_t) k]]) << k;
    }

    // Contrast: differences from the mid times the contrast, limited to
    // +-0.5, plus the offset.
    std::vector<float> shaped (count);
    for (const float contrast : { 0.1f, 1.0f, 10.0f })
    {
        kestrune::contrastAroundMid (grey.data(), shaped.data(), count, 0.3f, contrast, 0.45f);
        for (int k = 0; k < count; ++k)
            ASSERT_EQ (shaped[(size_t) k], std::max (-0.5f, std::min (0.5f, (grey[(size_t) k] - 0.3f) * contrast)) + 0.45f) << k;
    }

    // Both parts of each complex bin scaled by its gain times the factor.
    std::vector<float> bins (2 * count), scaled;
    for (auto& v : bins) v = unit (rng) - 0.5f;
    scaled = bins;
    kestrune::scaleBins (scaled.data(), grey.data(), 0.33f / 2048.0f, count);
    for (int k = 0; k < count; ++k)
    {
        const auto scale = grey[(size_t) k] * (0.33f / 2048.0f);
        ASSERT_EQ (scaled[(size_t) (2 * k)], bins[(size_t) (2 * k)] * scale) << k;
        ASSERT_EQ (scaled[(size_t) (2 * k + 1)], bins[(size_t) (2 * k + 1)] * scale) << k;
    }
}
