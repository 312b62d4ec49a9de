#pragma once

#include <JuceHeader.h>

// The filter's raw gains of one picture column (audio thread).
//
// For a picture of height H, bin k reads the grey at y = (1 - (1 - k/1024)^5) H
// rows up from the bottom, interpolated between the row under y and the row
// above it (rows outside the picture read 0), and turns it into a gain with
// 1 - (1 - g)^0.2. The rows and fractions of every bin are tabulated per
// height; the curve runs on the vector unit (GainCurve.h).
//
// Each caller slot (the filter uses one per channel) remembers the last
// column it computed: a column whose greys are the same as last time (the
// scan still inside a flat area, or a picture that has not changed) costs a
// comparison instead of a new evaluation. Nothing here allocates.
class ColumnGains
{
public:
    static constexpr int numBins = 1024;
    static constexpr int slots = 2;
    static constexpr int maxCachedRows = 2048; // taller columns are always evaluated

    struct Result
    {
        const float* gains = nullptr; // numBins values
        float lowest = 0.0f, highest = 0.0f;
    };

    ColumnGains();

    // Tabulates the rows each bin reads at this height (cheap to repeat; it
    // forgets the remembered columns when the height changes).
    void setHeight (int height) noexcept;
    int getHeight() const noexcept { return height; }

    // The raw gains of `column` (height greys, top row first), or of a column
    // that reads grey 0 everywhere when `column` is null. The result stays
    // valid until the slot's next call or setHeight.
    Result compute (int slot, const float* column) noexcept;

    // Evaluations made so far (calls that found their column remembered do
    // not count).
    juce::uint64 evaluations() const noexcept { return evaluated; }

private:
    struct Slot
    {
        bool valid = false;
        bool blank = false;           // computed for a null column
        float column[maxCachedRows] {};
        alignas (32) float gains[numBins] {};
        float lowest = 0.0f, highest = 0.0f;
    };

    int height = -1;
    int binRowLow[numBins] {}, binRowHigh[numBins] {}; // rows from the top, -1 = outside
    float binFraction[numBins] {};
    int binsReadingRows = 0; // bins from here up read at least one row outside

    alignas (32) float greys[numBins] {};
    Slot cache[slots];
    juce::uint64 evaluated = 0;
};
