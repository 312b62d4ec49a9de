#include "ColumnGains.h"
#include "GainCurve.h"

#include <cmath>
#include <cstring>

ColumnGains::ColumnGains()
{
    setHeight (0);
}

void ColumnGains::setHeight (int newHeight) noexcept
{
    if (newHeight == height)
        return;

    height = juce::jmax (0, newHeight);

    for (auto& slot : cache)
        slot.valid = false;

    for (int k = 0; k < numBins; ++k)
    {
        const auto y = (float) ((1.0 - std::pow (1.0 - (double) k / 1024.0, 5.0)) * (double) height);
        const auto yi = (int) y;
        const auto low = height - 1 - yi;
        const auto high = yi < height - 1 ? height - 2 - yi : low;

        binRowLow[k] = low >= 0 && low < height ? low : -1;
        binRowHigh[k] = high >= 0 && high < height ? high : -1;
        binFraction[k] = y - (float) yi;
    }

    // The row rises with the bin, so the bins reading outside are the top ones.
    binsReadingRows = numBins;
    while (binsReadingRows > 0 && binRowLow[binsReadingRows - 1] < 0 && binRowHigh[binsReadingRows - 1] < 0)
        --binsReadingRows;

    for (int k = 0; k < binsReadingRows; ++k)
        if (binRowLow[k] < 0 || binRowHigh[k] < 0)
            binsReadingRows = k; // not expected; keeps the fast loop's reads inside the column
}

ColumnGains::Result ColumnGains::compute (int slotIndex, const float* column) noexcept
{
    auto& slot = cache[juce::jlimit (0, slots - 1, slotIndex)];
    const auto cacheable = height <= maxCachedRows;

    if (column == nullptr || height == 0)
    {
        // Every bin reads grey 0, and 1 - 1^0.2 is 0.
        if (! (slot.valid && slot.blank))
        {
            std::fill (std::begin (slot.gains), std::end (slot.gains), 0.0f);
            slot.lowest = slot.highest = 0.0f;
            slot.valid = true;
            slot.blank = true;
        }

        return { slot.gains, slot.lowest, slot.highest };
    }

    const auto columnBytes = (size_t) height * sizeof (float);

    if (cacheable && slot.valid && ! slot.blank && std::memcmp (slot.column, column, columnBytes) == 0)
        return { slot.gains, slot.lowest, slot.highest };

    ++evaluated;

    // The grey under each bin's row curve.
    const auto end = binsReadingRows;

    kestrune::greysBetweenRows (column, binRowLow, binRowHigh, binFraction, greys, end);

    for (int k = end; k < numBins; ++k)
    {
        const auto low = binRowLow[k], high = binRowHigh[k];
        const auto g1 = low >= 0 ? column[low] : 0.0f;
        const auto g2 = high >= 0 ? column[high] : 0.0f;
        const auto f = binFraction[k];
        greys[k] = f * g2 + (1.0f - f) * g1;
    }

    kestrune::gainCurve (greys, slot.gains, numBins);

    const auto range = juce::FloatVectorOperations::findMinAndMax (slot.gains, numBins);
    slot.lowest = range.getStart();
    slot.highest = range.getEnd();
    slot.blank = false;
    slot.valid = cacheable;

    if (cacheable)
        std::memcpy (slot.column, column, columnBytes);

    return { slot.gains, slot.lowest, slot.highest };
}
