#pragma once

// The filter's gain curve, gain = 1 - (1 - g)^0.2 for grey levels g in 0..1,
// over many levels at once.
//
// The filter evaluates it for every bin of every column it reads: with a
// library pow per bin that is most of the filter's own work on a picture
// whose greys vary from bin to bin. This version runs on the vector unit and
// stays within 1.2e-7 (one step of a float near 1) of 1 - powf (1 - g, 0.2f).
// Black (g = 0) gives exactly 0 and white (g = 1) exactly 1.
namespace kestrune
{
    void gainCurve (const float* grey, float* gains, int count) noexcept;

    // grey[k] = fraction[k] * column[upper[k]] + (1 - fraction[k]) * column[lower[k]]
    // for k below count: the grey between two rows of a column. Every index
    // must lie inside the column.
    void greysBetweenRows (const float* column, const int* lower, const int* upper,
                           const float* fraction, float* grey, int count) noexcept;

    // out[k] = max (-0.5, min (0.5, (raw[k] - mid) * contrast)) + offset: the
    // contrast around the mid value.
    void contrastAroundMid (const float* raw, float* out, int count,
                            float mid, float contrast, float offset) noexcept;

    // Both parts of complex bin k (bins[2k], bins[2k + 1]) times gains[k] * factor.
    void scaleBins (float* bins, const float* gains, float factor, int count) noexcept;
}
