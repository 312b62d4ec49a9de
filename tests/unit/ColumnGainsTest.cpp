#include "ColumnGains.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace
{
    // Raw gain of bin k for a column of greys (top row first), from the
    // definition: the row curve in double, pow per bin.
    float rawGainByDefinition (const std::vector<float>& column, int k)
    {
        const auto H = (int) column.size();
        const auto y = (float) ((1.0 - std::pow (1.0 - k / 1024.0, 5.0)) * H);
        const auto yi = (int) y;
        auto at = [&] (int row) { return row >= 0 && row < H ? column[(size_t) row] : 0.0f; };
        const auto g1 = at (H - 1 - yi);
        const auto g2 = yi < H - 1 ? at (H - 2 - yi) : g1;
        const auto f = y - (float) yi;
        return 1.0f - std::pow (1.0f - (f * g2 + (1.0f - f) * g1), 0.2f);
    }

    std::vector<float> randomColumn (int height, unsigned seed)
    {
        std::mt19937 rng (seed);
        std::uniform_int_distribution<int> level (0, 765);
        std::vector<float> column ((size_t) height);
        for (auto& v : column)
            v = (float) level (rng) / 765.0f;
        return column;
    }
}

TEST (ColumnGains, RawGainsFollowTheirDefinitionAtManyHeights)
{
    auto gains = std::make_unique<ColumnGains>();

    for (const int height : { 1, 2, 7, 330, 512, 1500, 3000 })
    {
        const auto column = randomColumn (height, (unsigned) height);
        gains->setHeight (height);
        const auto result = gains->compute (0, column.data());

        float lowest = 2.0f, highest = -2.0f;
        for (int k = 0; k < ColumnGains::numBins; ++k)
        {
            const auto expected = rawGainByDefinition (column, k);
            ASSERT_NEAR (result.gains[k], expected, 1.2e-7f) << "height " << height << " bin " << k;
            lowest = std::min (lowest, result.gains[k]);
            highest = std::max (highest, result.gains[k]);
        }

        EXPECT_EQ (result.lowest, lowest) << height;
        EXPECT_EQ (result.highest, highest) << height;

        // From about bin 990 up no row is read: grey 0, gain exactly 0.
        EXPECT_EQ (result.gains[ColumnGains::numBins - 1], 0.0f) << height;
    }
}

TEST (ColumnGains, AColumnWithTheSameGreysIsNotEvaluatedAgain)
{
    auto gains = std::make_unique<ColumnGains>();
    gains->setHeight (330);

    auto left = randomColumn (330, 1);
    const auto right = randomColumn (330, 2);

    const auto first = gains->compute (0, left.data());
    const std::vector<float> firstGains (first.gains, first.gains + ColumnGains::numBins);
    gains->compute (1, right.data());
    EXPECT_EQ (gains->evaluations(), 2u);

    // The same greys at another address (a new frame from the worker) and
    // each slot its own column again: remembered.
    const auto copy = left;
    const auto again = gains->compute (0, copy.data());
    gains->compute (1, right.data());
    EXPECT_EQ (gains->evaluations(), 2u);
    EXPECT_EQ (std::vector<float> (again.gains, again.gains + ColumnGains::numBins), firstGains);
    EXPECT_EQ (again.lowest, first.lowest);

    // One grey changed: evaluated, and the change shows.
    left[200] = left[200] > 0.5f ? 0.0f : 1.0f;
    const auto changed = gains->compute (0, left.data());
    EXPECT_EQ (gains->evaluations(), 3u);
    EXPECT_NE (std::vector<float> (changed.gains, changed.gains + ColumnGains::numBins), firstGains);

    // Another height forgets what was remembered.
    gains->setHeight (331);
    auto taller = left;
    taller.push_back (0.25f);
    gains->compute (0, taller.data());
    EXPECT_EQ (gains->evaluations(), 4u);
}

TEST (ColumnGains, NoColumnReadsBlackAndTallColumnsAreAlwaysEvaluated)
{
    auto gains = std::make_unique<ColumnGains>();
    gains->setHeight (330);

    const auto blank = gains->compute (0, nullptr);
    for (int k = 0; k < ColumnGains::numBins; ++k)
        ASSERT_EQ (blank.gains[k], 0.0f) << k;
    EXPECT_EQ (blank.lowest, 0.0f);
    EXPECT_EQ (blank.highest, 0.0f);

    // After a blank column a real one is evaluated, not taken for the blank.
    const auto column = randomColumn (330, 9);
    const auto real = gains->compute (0, column.data());
    EXPECT_GT (real.highest, 0.0f);

    // Columns taller than the remembered size are evaluated every time, and right.
    const int tall = ColumnGains::maxCachedRows + 5;
    const auto tallColumn = randomColumn (tall, 4);
    gains->setHeight (tall);
    const auto before = gains->evaluations();
    gains->compute (0, tallColumn.data());
    const auto result = gains->compute (0, tallColumn.data());
    EXPECT_EQ (gains->evaluations(), before + 2);
    EXPECT_NEAR (result.gains[100], rawGainByDefinition (tallColumn, 100), 1.2e-7f);
}
