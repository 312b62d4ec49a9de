#include "GainCurve.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// This file is compiled without floating-point trap assumptions (see
// CMakeLists.txt), which lets the compiler vectorise the loop below; the
// arithmetic itself is plain IEEE single precision either way. On x86-64 an
// AVX2 copy of the loop is chosen at load time where the processor has it;
// it performs the same operations (no fused multiply-adds), so both copies
// give the same results.
#if defined(__x86_64__) && defined(__GNUC__) && ! defined(__clang__) && ! defined(__SANITIZE_ADDRESS__) && ! defined(__SANITIZE_THREAD__)
 #define KESTRUNE_CURVE_CLONES __attribute__((target_clones ("avx2", "default")))
#else
 #define KESTRUNE_CURVE_CLONES
#endif

namespace kestrune
{
    namespace
    {
        inline float inverseRootStep (float r, float x) noexcept
        {
            const float r2 = r * r;
            return r * (1.2f - 0.2f * x * (r2 * r2 * r));
        }
    }

    KESTRUNE_CURVE_CLONES
    void gainCurve (const float* __restrict grey, float* __restrict gains, int count) noexcept
    {
        for (int i = 0; i < count; ++i)
        {
            const float x = 1.0f - grey[i];

            // Kept away from 0 for the arithmetic; x = 0 is chosen below.
            const float xs = x > 1.0e-30f ? x : 1.0e-30f;

            // x^-0.2 from the bit pattern (a log-linear first guess, within a
            // few per cent), then three Newton steps for r^-5 = x, which need
            // no division: r <- r (1.2 - 0.2 x r^5).
            std::int32_t bits;
            std::memcpy (&bits, &xs, sizeof (bits));
            bits = 1278000000 - (std::int32_t) ((float) bits * 0.2f);
            float r;
            std::memcpy (&r, &bits, sizeof (r));

            r = inverseRootStep (r, xs);
            r = inverseRootStep (r, xs);
            r = inverseRootStep (r, xs);

            // x^0.2 = x r^4, then one Newton step on the root itself,
            // y <- 0.8 y + 0.2 x / y^4, which rounds better than the product.
            const float r2 = r * r;
            const float y0 = xs * (r2 * r2);
            const float y02 = y0 * y0;
            const float y = 0.8f * y0 + 0.2f * (xs / (y02 * y02));

            gains[i] = x >= 1.0f ? 0.0f : (x > 0.0f ? 1.0f - y : 1.0f);
        }
    }

    KESTRUNE_CURVE_CLONES
    void greysBetweenRows (const float* __restrict column, const int* __restrict lower, const int* __restrict upper,
                           const float* __restrict fraction, float* __restrict grey, int count) noexcept
    {
        for (int k = 0; k < count; ++k)
        {
            const auto f = fraction[k];
            grey[k] = f * column[upper[k]] + (1.0f - f) * column[lower[k]];
        }
    }

    KESTRUNE_CURVE_CLONES
    void contrastAroundMid (const float* __restrict raw, float* __restrict out, int count,
                            float mid, float contrast, float offset) noexcept
    {
        for (int k = 0; k < count; ++k)
            out[k] = std::max (-0.5f, std::min (0.5f, (raw[k] - mid) * contrast)) + offset;
    }

    KESTRUNE_CURVE_CLONES
    void scaleBins (float* __restrict bins, const float* __restrict gains, float factor, int count) noexcept
    {
        for (int k = 0; k < count; ++k)
        {
            const auto scale = gains[k] * factor;
            bins[2 * k] *= scale;
            bins[2 * k + 1] *= scale;
        }
    }
}
