#include "TransformedFill.h"

#include <atomic>
#include <cstring>
#include <vector>

#if defined (__x86_64__) && (defined (__GNUC__) || defined (__clang__))
 #include <immintrin.h>
 #define KESTRUNE_FILL_VECTOR 1
#else
 #define KESTRUNE_FILL_VECTOR 0
#endif

// Everything below that touches floating point (the span ends through the
// inverse transform) must round as JUCE's renderer does: this file is compiled
// without contracting multiply-adds (see CMakeLists.txt), and the vector loop
// only ever sees integers.

namespace
{
    using juce::uint8;
    using juce::uint32;

    std::atomic<int> loopSetting { (int) kestrune::fill::Loop::vector };

    bool machineHasVectorLoop() noexcept
    {
       #if KESTRUNE_FILL_VECTOR
        static const bool has = __builtin_cpu_supports ("avx2");
        return has;
       #else
        return false;
       #endif
    }

    // The renderer's stepper along one axis of a span: from n1 to n2 (8-bit
    // fixed point) in `steps` even steps, the remainder spread Bresenham-like.
    // Integer for integer JUCE's; the sums wrap as the renderer's do on this
    // machine, without the undefined behaviour of a signed overflow.
    struct Stepper
    {
        void set (int n1, int n2, int steps, int offsetInt) noexcept
        {
            const auto difference = (int) ((juce::int64) n2 - (juce::int64) n1);
            numSteps = steps;
            step = difference / numSteps;
            remainder = modulo = difference % numSteps;
            n = wrap ((juce::int64) n1 + offsetInt);

            if (modulo <= 0)
            {
                modulo += numSteps;
                remainder += numSteps;
                --step;
            }

            modulo -= numSteps;
        }

        forcedinline void next() noexcept
        {
            modulo += remainder;
            n = wrap ((juce::int64) n + step);

            if (modulo > 0)
            {
                modulo -= numSteps;
                n = wrap ((juce::int64) n + 1);
            }
        }

        static forcedinline int wrap (juce::int64 v) noexcept { return (int) (uint32) (juce::uint64) v; }

        // The same step on loose values, without a branch (where the
        // remainder spills over is as good as random).
        static forcedinline void advance (int& v, int& m, int stepValue, int rem, int num) noexcept
        {
            m += rem;
            const int carry = m > 0 ? 1 : 0;
            m -= num & -carry;
            v = (int) ((uint32) v + (uint32) stepValue + (uint32) carry);
        }

        int n = 0, numSteps = 1, step = 0, modulo = 0, remainder = 0;
    };

    struct Source
    {
        const uint8* data;
        int lineStride, pixelStride, maxX, maxY;
        bool bilinear;

        forcedinline const uint8* pixel (int x, int y) const noexcept
        {
            return data + (std::ptrdiff_t) y * lineStride + (std::ptrdiff_t) x * pixelStride;
        }
    };

    //==========================================================================
    // The plain loop: the renderer's own arithmetic, byte by byte (every
    // channel is averaged alike, so the order of the bytes does not matter).
    template <int C>
    forcedinline void average4 (uint8* out, const uint8* p, int pixelStride, int lineStride, uint32 fx, uint32 fy) noexcept
    {
        const uint32 w00 = (256 - fx) * (256 - fy), w01 = fx * (256 - fy);
        const uint32 w11 = fx * fy,                 w10 = (256 - fx) * fy;

        for (int c = 0; c < C; ++c)
            out[c] = (uint8) ((256 * 128 + w00 * p[c] + w01 * p[pixelStride + c]
                                 + w11 * p[pixelStride + lineStride + c] + w10 * p[lineStride + c]) >> 16);
    }

    template <int C>
    forcedinline void average2 (uint8* out, const uint8* p, int stride, uint32 f) noexcept
    {
        for (int c = 0; c < C; ++c)
            out[c] = (uint8) ((128 + (256 - f) * p[c] + f * p[stride + c]) >> 8);
    }

    // The pixels of the picture's edges and beyond, as the renderer takes
    // them; returns false for a pixel inside (4-pixel average), left to the
    // caller.
    template <int C>
    forcedinline bool sampleOutside (const Source& s, uint8* out, int hx, int hy) noexcept
    {
        int x = hx >> 8, y = hy >> 8;

        if (s.bilinear)
        {
            if ((unsigned) x < (unsigned) s.maxX)
            {
                if ((unsigned) y < (unsigned) s.maxY)
                    return false;

                // Along the top or the bottom edge.
                average2<C> (out, s.pixel (x, y < 0 ? 0 : s.maxY), s.pixelStride, (uint32) (hx & 255));
                return true;
            }

            if ((unsigned) y < (unsigned) s.maxY)
            {
                // Along the left or the right edge.
                average2<C> (out, s.pixel (x < 0 ? 0 : s.maxX, y), s.lineStride, (uint32) (hy & 255));
                return true;
            }
        }

        // The nearest pixel, clamped to the picture.
        x = juce::jlimit (0, s.maxX, x);
        y = juce::jlimit (0, s.maxY, y);
        std::memcpy (out, s.pixel (x, y), C);
        return true;
    }

    template <int C>
    void sampleSpanPlain (const Source& s, uint8* out, Stepper sx, Stepper sy, int n) noexcept
    {
        do
        {
            const int hx = sx.n, hy = sy.n;
            sx.next();
            sy.next();

            if (! sampleOutside<C> (s, out, hx, hy))
                average4<C> (out, s.pixel (hx >> 8, hy >> 8), s.pixelStride, s.lineStride,
                             (uint32) (hx & 255), (uint32) (hy & 255));

            out += C;
        } while (--n > 0);
    }

    //==========================================================================
    // The vector loop: the inside of the picture on the vector unit, one
    // pixel's channels in the four lanes. The sum is the renderer's, regrouped
    // (exact in integers): each row's pair of pixels weighted across
    // (256 - fx, fx), then the two rows down (256 - fy, fy), plus the half,
    // shifted by 16.
   #if KESTRUNE_FILL_VECTOR
    template <int C>
    __attribute__ ((target ("avx2"))) forcedinline __m128i loadPair (const uint8* p) noexcept
    {
        if constexpr (C == 4)
        {
            return _mm_loadl_epi64 (reinterpret_cast<const __m128i*> (p));
        }
        else
        {
            // Bytes 0-3 from p, 4-7 from p + 2: six bytes read, none beyond
            // the second pixel.
            int a, b;
            std::memcpy (&a, p, 4);
            std::memcpy (&b, p + 2, 4);
            return _mm_insert_epi32 (_mm_cvtsi32_si128 (a), b, 1);
        }
    }

    #define KESTRUNE_FILL_AVX2 __attribute__ ((target ("avx2"))) forcedinline

    struct SpanConstants
    {
        __m256i spread, narrow, half;
    };

    template <int C>
    KESTRUNE_FILL_AVX2 SpanConstants spanConstants() noexcept
    {
        // Channel c of the left and right pixel side by side, as 16-bit lanes;
        // then each 32-bit sum's low byte, four in a row.
        const __m128i spread = C == 4 ? _mm_setr_epi8 (0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1)
                                      : _mm_setr_epi8 (0, -1, 5, -1, 1, -1, 6, -1, 2, -1, 7, -1, -1, -1, -1, -1);
        const __m128i narrow = _mm_setr_epi8 (0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        return { _mm256_broadcastsi128_si256 (spread), _mm256_broadcastsi128_si256 (narrow), _mm256_set1_epi32 (256 * 128) };
    }

    // Two pixels inside the picture, a in the low lanes and b in the high:
    // each row's pair weighted (256 - fx, fx) side by side in 16-bit lanes,
    // then the rows (256 - fy, fy). p is the top left pixel of each. Four bytes
    // are stored also for a 3-byte pixel: the fourth is the next pixel's
    // first, written after this (the buffers have room).
    template <int C>
    KESTRUNE_FILL_AVX2 void averagePair (const SpanConstants& k, uint8* out, std::ptrdiff_t lineStride,
                                         const uint8* pa, int ax, int ay, const uint8* pb, int bx, int by) noexcept
    {
        const __m256i f = _mm256_castsi128_si256 (_mm_setr_epi32 (ax & 255, ay & 255, bx & 255, by & 255));
        const __m256i fx = _mm256_permutevar8x32_epi32 (f, _mm256_setr_epi32 (0, 0, 0, 0, 2, 2, 2, 2));
        const __m256i fy = _mm256_permutevar8x32_epi32 (f, _mm256_setr_epi32 (1, 1, 1, 1, 3, 3, 3, 3));
        const __m256i full = _mm256_set1_epi32 (256);
        const __m256i across = _mm256_or_si256 (_mm256_slli_epi32 (fx, 16), _mm256_sub_epi32 (full, fx));

        const __m256i topRows = _mm256_inserti128_si256 (_mm256_castsi128_si256 (loadPair<C> (pa)), loadPair<C> (pb), 1);
        const __m256i bottomRows = _mm256_inserti128_si256 (_mm256_castsi128_si256 (loadPair<C> (pa + lineStride)),
                                                            loadPair<C> (pb + lineStride), 1);
        const __m256i top = _mm256_madd_epi16 (_mm256_shuffle_epi8 (topRows, k.spread), across);
        const __m256i bottom = _mm256_madd_epi16 (_mm256_shuffle_epi8 (bottomRows, k.spread), across);
        __m256i sum = _mm256_add_epi32 (_mm256_mullo_epi32 (top, _mm256_sub_epi32 (full, fy)), _mm256_mullo_epi32 (bottom, fy));
        sum = _mm256_shuffle_epi8 (_mm256_srli_epi32 (_mm256_add_epi32 (sum, k.half), 16), k.narrow);
        const int a = _mm_cvtsi128_si32 (_mm256_castsi256_si128 (sum));
        const int b = _mm_cvtsi128_si32 (_mm256_extracti128_si256 (sum, 1));
        std::memcpy (out, &a, 4);
        std::memcpy (out + C, &b, 4);
    }

    template <int C>
    KESTRUNE_FILL_AVX2 void sampleOne (const SpanConstants& k, const Source& s, uint8* out, int hx, int hy) noexcept
    {
        if (sampleOutside<C> (s, out, hx, hy))
            return;

        // Inside: the pair's arithmetic with the pixel twice; C bytes kept.
        uint8 both[8];
        const auto* p = s.pixel (hx >> 8, hy >> 8);
        averagePair<C> (k, both, s.lineStride, p, hx, hy, p, hx, hy);
        std::memcpy (out, both, 4);
    }

    // Eight pixels at a time, lane j holding pixel i + j. Eight steps at once
    // are 8 * step plus the carries of 8 * remainder: q whole ones, and one
    // more in each lane whose modulo spills over. Returns the pixels left
    // (fewer than eight); `out` and the steppers' states are moved on past the
    // ones done.
    template <int C>
    __attribute__ ((target ("avx2"))) int sampleEights (const SpanConstants& k, const Source& src, uint8*& out,
                                                         int& nx, int& mx, int stepX, int remX, int numX,
                                                         int& ny, int& my, int stepY, int remY, int numY, int n) noexcept
    {
        alignas (32) int lanes[4][8];

        for (int j = 0; j < 8; ++j)
        {
            lanes[0][j] = nx; lanes[1][j] = mx; lanes[2][j] = ny; lanes[3][j] = my;
            Stepper::advance (nx, mx, stepX, remX, numX);
            Stepper::advance (ny, my, stepY, remY, numY);
        }

        __m256i vnx = _mm256_load_si256 (reinterpret_cast<const __m256i*> (lanes[0]));
        __m256i vmx = _mm256_load_si256 (reinterpret_cast<const __m256i*> (lanes[1]));
        __m256i vny = _mm256_load_si256 (reinterpret_cast<const __m256i*> (lanes[2]));
        __m256i vmy = _mm256_load_si256 (reinterpret_cast<const __m256i*> (lanes[3]));

        const auto eightSteps = [] (int stepValue, int rem, int num, __m256i& jump, __m256i& rest) __attribute__ ((target ("avx2")))
        {
            const auto eightRem = 8 * (juce::int64) rem;
            jump = _mm256_set1_epi32 ((int) ((uint32) stepValue * 8u + (uint32) (eightRem / num)));
            rest = _mm256_set1_epi32 ((int) (eightRem % num));
        };

        __m256i jumpX, restX, jumpY, restY;
        eightSteps (stepX, remX, numX, jumpX, restX);
        eightSteps (stepY, remY, numY, jumpY, restY);
        const __m256i numXv = _mm256_set1_epi32 (numX), numYv = _mm256_set1_epi32 (numY);

        const __m256i zero = _mm256_setzero_si256();
        const __m256i lastX = _mm256_set1_epi32 (src.maxX - 1), lastY = _mm256_set1_epi32 (src.maxY - 1);
        const __m256i byte = _mm256_set1_epi32 (255), full = _mm256_set1_epi32 (256);
        const __m256i strideV = _mm256_set1_epi32 (src.lineStride), pixelBytes = _mm256_set1_epi32 (C);
        const __m256i pack12 = _mm256_broadcastsi128_si256 (_mm_setr_epi8 (0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
        const std::ptrdiff_t lineStride = src.lineStride;

        for (; n >= 8; n -= 8, out += 8 * C)
        {
            const __m256i lx = _mm256_srai_epi32 (vnx, 8), ly = _mm256_srai_epi32 (vny, 8);
            const __m256i inside = _mm256_and_si256 (_mm256_cmpeq_epi32 (_mm256_max_epu32 (lx, lastX), lastX),
                                                     _mm256_cmpeq_epi32 (_mm256_max_epu32 (ly, lastY), lastY));

            if (_mm256_movemask_ps (_mm256_castsi256_ps (inside)) == 0xff)
            {
                alignas (32) int offsets[8];
                _mm256_store_si256 (reinterpret_cast<__m256i*> (offsets),
                                    _mm256_add_epi32 (_mm256_mullo_epi32 (ly, strideV), _mm256_mullo_epi32 (lx, pixelBytes)));

                const __m256i fx = _mm256_and_si256 (vnx, byte), fy = _mm256_and_si256 (vny, byte);
                const __m256i across = _mm256_or_si256 (_mm256_slli_epi32 (fx, 16), _mm256_sub_epi32 (full, fx));
                const __m256i down = _mm256_sub_epi32 (full, fy);
                __m256i r[4];

                // Pixels j and j + 4 side by side, as in averagePair.
                for (int j = 0; j < 4; ++j)
                {
                    const __m256i pick = _mm256_setr_epi32 (j, j, j, j, j + 4, j + 4, j + 4, j + 4);
                    const auto* pa = src.data + offsets[j];
                    const auto* pb = src.data + offsets[j + 4];
                    const __m256i topRows = _mm256_inserti128_si256 (_mm256_castsi128_si256 (loadPair<C> (pa)), loadPair<C> (pb), 1);
                    const __m256i bottomRows = _mm256_inserti128_si256 (_mm256_castsi128_si256 (loadPair<C> (pa + lineStride)),
                                                                        loadPair<C> (pb + lineStride), 1);
                    const __m256i a = _mm256_permutevar8x32_epi32 (across, pick);
                    const __m256i top = _mm256_madd_epi16 (_mm256_shuffle_epi8 (topRows, k.spread), a);
                    const __m256i bottom = _mm256_madd_epi16 (_mm256_shuffle_epi8 (bottomRows, k.spread), a);
                    const __m256i sum = _mm256_add_epi32 (_mm256_mullo_epi32 (top, _mm256_permutevar8x32_epi32 (down, pick)),
                                                          _mm256_mullo_epi32 (bottom, _mm256_permutevar8x32_epi32 (fy, pick)));
                    r[j] = _mm256_shuffle_epi8 (_mm256_srli_epi32 (_mm256_add_epi32 (sum, k.half), 16), k.narrow);
                }

                // Low lanes: pixels 0-3, high lanes: 4-7.
                const __m256i pixels = _mm256_unpacklo_epi64 (_mm256_unpacklo_epi32 (r[0], r[1]),
                                                              _mm256_unpacklo_epi32 (r[2], r[3]));

                if constexpr (C == 4)
                {
                    _mm256_storeu_si256 (reinterpret_cast<__m256i*> (out), pixels);
                }
                else
                {
                    // 12 bytes from each half; the second store overwrites the
                    // first's four spare bytes, and leaves four of its own
                    // past the eighth pixel (the buffers have room).
                    const __m256i packed = _mm256_shuffle_epi8 (pixels, pack12);
                    _mm_storeu_si128 (reinterpret_cast<__m128i*> (out), _mm256_castsi256_si128 (packed));
                    _mm_storeu_si128 (reinterpret_cast<__m128i*> (out + 12), _mm256_extracti128_si256 (packed, 1));
                }
            }
            else
            {
                alignas (32) int hx[8], hy[8];
                _mm256_store_si256 (reinterpret_cast<__m256i*> (hx), vnx);
                _mm256_store_si256 (reinterpret_cast<__m256i*> (hy), vny);

                for (int j = 0; j < 8; ++j)
                    sampleOne<C> (k, src, out + j * C, hx[j], hy[j]);
            }

            const __m256i spillX = _mm256_cmpgt_epi32 (vmx = _mm256_add_epi32 (vmx, restX), zero);
            vnx = _mm256_sub_epi32 (_mm256_add_epi32 (vnx, jumpX), spillX);
            vmx = _mm256_sub_epi32 (vmx, _mm256_and_si256 (numXv, spillX));
            const __m256i spillY = _mm256_cmpgt_epi32 (vmy = _mm256_add_epi32 (vmy, restY), zero);
            vny = _mm256_sub_epi32 (_mm256_add_epi32 (vny, jumpY), spillY);
            vmy = _mm256_sub_epi32 (vmy, _mm256_and_si256 (numYv, spillY));
        }

        // Back to one pixel at a time from lane 0.
        nx = _mm_cvtsi128_si32 (_mm256_castsi256_si128 (vnx));
        mx = _mm_cvtsi128_si32 (_mm256_castsi256_si128 (vmx));
        ny = _mm_cvtsi128_si32 (_mm256_castsi256_si128 (vny));
        my = _mm_cvtsi128_si32 (_mm256_castsi256_si128 (vmy));
        return n;
    }

    template <int C>
    __attribute__ ((target ("avx2"))) void sampleSpanVector (const Source& s, uint8* out, Stepper sx, Stepper sy, int n) noexcept
    {
        const Source src = s; // kept in registers: the stores below may alias anything
        const auto* data = src.data;
        const std::ptrdiff_t lineStride = src.lineStride;
        const auto maxX = (unsigned) src.maxX, maxY = (unsigned) src.maxY;
        const auto k = spanConstants<C>();

        // The steppers, without a branch per pixel (where the remainder
        // spills over is as good as random).
        int nx = sx.n, mx = sx.modulo, ny = sy.n, my = sy.modulo;
        const int stepX = sx.step, remX = sx.remainder, numX = sx.numSteps;
        const int stepY = sy.step, remY = sy.remainder, numY = sy.numSteps;

        // Eight pixels at a time while the span is long enough.
        if (n >= 16 && maxX > 0 && maxY > 0
             && (juce::int64) (maxY + 1) * lineStride + (juce::int64) (maxX + 1) * C < (juce::int64) 0x7fffffff)
            n = sampleEights<C> (k, src, out, nx, mx, stepX, remX, numX, ny, my, stepY, remY, numY, n);

        for (; n >= 2; n -= 2, out += 2 * C)
        {
            const int ax = nx, ay = ny;
            Stepper::advance (nx, mx, stepX, remX, numX);
            Stepper::advance (ny, my, stepY, remY, numY);
            const int bx = nx, by = ny;
            Stepper::advance (nx, mx, stepX, remX, numX);
            Stepper::advance (ny, my, stepY, remY, numY);

            if ((unsigned) (ax >> 8) < maxX && (unsigned) (ay >> 8) < maxY
                 && (unsigned) (bx >> 8) < maxX && (unsigned) (by >> 8) < maxY)
            {
                averagePair<C> (k, out, lineStride,
                                data + (std::ptrdiff_t) (ay >> 8) * lineStride + (std::ptrdiff_t) (ax >> 8) * C, ax, ay,
                                data + (std::ptrdiff_t) (by >> 8) * lineStride + (std::ptrdiff_t) (bx >> 8) * C, bx, by);
            }
            else
            {
                sampleOne<C> (k, src, out, ax, ay);
                sampleOne<C> (k, src, out + C, bx, by);
            }
        }

        if (n == 1)
            sampleOne<C> (k, src, out, nx, ny);
    }
   #endif

    //==========================================================================
    struct Sampler
    {
        juce::AffineTransform inverse;
        float pixelOffset;
        int pixelOffsetInt;
        Source source;
        bool vector;

        // The renderer's span: its two ends through the inverse transform, in
        // floating point, then stepped in 8-bit fixed point. `out` has room
        // for n pixels and 32 bytes.
        template <int C>
        void span (uint8* out, int x, int y, int n) const noexcept
        {
            auto sx = (float) x, sy = (float) y;
            sx += pixelOffset;
            sy += pixelOffset;
            auto x1 = sx, y1 = sy;
            sx += (float) n;
            inverse.transformPoints (x1, y1, sx, sy);

            Stepper stepX, stepY;
            stepX.set ((int) (x1 * 256.0f), (int) (sx * 256.0f), n, pixelOffsetInt);
            stepY.set ((int) (y1 * 256.0f), (int) (sy * 256.0f), n, pixelOffsetInt);

           #if KESTRUNE_FILL_VECTOR
            if (vector && source.bilinear)
            {
                sampleSpanVector<C> (source, out, stepX, stepY, n);
                return;
            }
           #endif

            sampleSpanPlain<C> (source, out, stepX, stepY, n);
        }
    };

    //==========================================================================
    // A span blended at full level into a row of the destination: JUCE's own
    // pixel code, in loops the compiler can put on the vector unit (an AVX2
    // copy chosen at load time; not under the sanitizers, whose runtimes are
    // not up yet when the loader picks the copy).
   #if KESTRUNE_FILL_VECTOR && ! defined (__clang__) && ! defined (__SANITIZE_ADDRESS__) && ! defined (__SANITIZE_THREAD__)
    #define KESTRUNE_FILL_CLONES __attribute__ ((target_clones ("avx2", "default")))
   #else
    #define KESTRUNE_FILL_CLONES
   #endif

   #if KESTRUNE_FILL_VECTOR
    // PixelARGB::blend (PixelARGB) on eight pixels at once: the same 32-bit
    // integer steps in each lane.
    __attribute__ ((target ("avx2"))) int blendEightsArgb (juce::PixelARGB* d, const juce::PixelARGB* s, int n) noexcept
    {
        const __m256i mask = _mm256_set1_epi32 (0x00ff00ff);
        const __m256i full = _mm256_set1_epi32 (0x100);
        const __m256i ones = _mm256_set1_epi32 (0x01000100);

        const auto maskComponents = [&] (__m256i x) __attribute__ ((target ("avx2"))) { return _mm256_and_si256 (_mm256_srli_epi32 (x, 8), mask); };
        const auto clampComponents = [&] (__m256i x) __attribute__ ((target ("avx2")))
        {
            return _mm256_and_si256 (_mm256_or_si256 (x, _mm256_sub_epi32 (ones, maskComponents (x))), mask);
        };

        int i = 0;

        for (; i + 8 <= n; i += 8)
        {
            const __m256i src = _mm256_loadu_si256 (reinterpret_cast<const __m256i*> (s + i));
            const __m256i dst = _mm256_loadu_si256 (reinterpret_cast<const __m256i*> (d + i));
            __m256i rb = _mm256_and_si256 (src, mask);
            __m256i ag = maskComponents (src);
            const __m256i alpha = _mm256_sub_epi32 (full, _mm256_srli_epi32 (ag, 16));
            rb = _mm256_add_epi32 (rb, maskComponents (_mm256_mullo_epi32 (_mm256_and_si256 (dst, mask), alpha)));
            ag = _mm256_add_epi32 (ag, maskComponents (_mm256_mullo_epi32 (maskComponents (dst), alpha)));
            const __m256i result = _mm256_or_si256 (clampComponents (rb), _mm256_slli_epi32 (clampComponents (ag), 8));
            _mm256_storeu_si256 (reinterpret_cast<__m256i*> (d + i), result);
        }

        return i;
    }
   #endif

    void blendRunArgb (juce::PixelARGB* d, const juce::PixelARGB* s, int n) noexcept
    {
        int i = 0;

       #if KESTRUNE_FILL_VECTOR
        if (machineHasVectorLoop())
            i = blendEightsArgb (d, s, n);
       #endif

        for (; i < n; ++i)
            d[i].blend (s[i]);
    }

    KESTRUNE_FILL_CLONES void blendRunArgb (juce::PixelRGB* __restrict d, const juce::PixelARGB* __restrict s, int n) noexcept
    {
        for (int i = 0; i < n; ++i)
            d[i].blend (s[i]);
    }

    KESTRUNE_FILL_CLONES void blendRunRgb (juce::PixelARGB* __restrict d, const juce::PixelRGB* __restrict s, int n) noexcept
    {
        for (int i = 0; i < n; ++i)
            d[i].blend (s[i]); // an opaque pixel: set
    }

    forcedinline void blendRun (juce::PixelARGB* d, const juce::PixelARGB* s, int n) noexcept { blendRunArgb (d, s, n); }
    forcedinline void blendRun (juce::PixelRGB* d, const juce::PixelARGB* s, int n) noexcept  { blendRunArgb (d, s, n); }
    forcedinline void blendRun (juce::PixelARGB* d, const juce::PixelRGB* s, int n) noexcept  { blendRunRgb (d, s, n); }

    forcedinline void blendRun (juce::PixelRGB* d, const juce::PixelRGB* s, int n) noexcept
    {
        std::memcpy (static_cast<void*> (d), s, (size_t) n * sizeof (juce::PixelRGB)); // blend of an opaque pixel: set
    }

    // The edge table's callbacks, as the renderer's TransformedImageFill
    // answers them at full opacity.
    template <class DestPixel, class SrcPixel>
    struct SpanFill
    {
        static constexpr int srcBytes = (int) sizeof (SrcPixel);
        static constexpr int extraAlpha = 256; // opacity 255, plus one

        SpanFill (const juce::Image::BitmapData& d, const Sampler& s) : dest (d), sampler (s) {}

        forcedinline void setEdgeTableYPos (int y) noexcept
        {
            currentY = y;
            line = dest.getLinePointer (y);
        }

        forcedinline void handleEdgeTablePixel (int x, int alphaLevel) noexcept
        {
            destPixel (x)->blend (onePixel (x), (uint32) (alphaLevel * extraAlpha) >> 8);
        }

        forcedinline void handleEdgeTablePixelFull (int x) noexcept
        {
            destPixel (x)->blend (onePixel (x), (uint32) extraAlpha);
        }

        void handleEdgeTableLine (int x, int width, int alphaLevel) noexcept
        {
            // Room for the vector loop's spare bytes past the span.
            if (scratch.size() < (size_t) width * srcBytes + 32)
                scratch.resize ((size_t) width * srcBytes + 32);

            sampler.span<srcBytes> (scratch.data(), x, currentY, width);

            const auto* span = reinterpret_cast<const SrcPixel*> (scratch.data());
            auto* d = destPixel (x);
            const int stride = dest.pixelStride;
            alphaLevel = (alphaLevel * extraAlpha) >> 8;

            if (alphaLevel < 0xfe)
            {
                do { d->blend (*span++, (uint32) alphaLevel); d = juce::addBytesToPointer (d, stride); } while (--width > 0);
            }
            else if (stride == (int) sizeof (DestPixel))
            {
                blendRun (d, span, width);
            }
            else
            {
                do { d->blend (*span++); d = juce::addBytesToPointer (d, stride); } while (--width > 0);
            }
        }

        void handleEdgeTableLineFull (int x, int width) noexcept
        {
            handleEdgeTableLine (x, width, 255);
        }

    private:
        forcedinline DestPixel* destPixel (int x) const noexcept
        {
            return juce::addBytesToPointer (reinterpret_cast<DestPixel*> (line), x * dest.pixelStride);
        }

        forcedinline SrcPixel onePixel (int x) const noexcept
        {
            uint8 bytes[8] {};
            sampler.span<srcBytes> (bytes, x, currentY, 1);
            SrcPixel p;
            std::memcpy (static_cast<void*> (&p), bytes, sizeof (SrcPixel));
            return p;
        }

        const juce::Image::BitmapData& dest;
        const Sampler& sampler;
        int currentY = 0;
        uint8* line = nullptr;
        std::vector<uint8> scratch;
    };

    bool handledFormat (juce::Image::PixelFormat f) noexcept
    {
        return f == juce::Image::ARGB || f == juce::Image::RGB;
    }

    // The renderer's test for drawing by a plain copy.
    bool isOnlyTranslationAllowingError (const juce::AffineTransform& t, float tolerance) noexcept
    {
        return std::abs (t.mat01) < tolerance
            && std::abs (t.mat10) < tolerance
            && std::abs (t.mat00 - 1.0f) < tolerance
            && std::abs (t.mat11 - 1.0f) < tolerance;
    }

    template <class DestPixel, class SrcPixel>
    void fillEdges (const juce::EdgeTable& edges, const juce::Image::BitmapData& dest, const Sampler& sampler)
    {
        SpanFill<DestPixel, SrcPixel> fill (dest, sampler);
        edges.iterate (fill);
    }
}

namespace kestrune::fill
{
    void useLoop (Loop loop) noexcept           { loopSetting.store ((int) loop, std::memory_order_relaxed); }
    Loop loopInUse() noexcept                   { return (Loop) loopSetting.load (std::memory_order_relaxed); }
    bool hasVectorLoop() noexcept               { return machineHasVectorLoop(); }

    bool handles (juce::Image::PixelFormat destFormat, juce::Image::PixelFormat sourceFormat,
                  const juce::AffineTransform& transform, juce::Graphics::ResamplingQuality quality) noexcept
    {
        if (loopInUse() == Loop::juce || ! handledFormat (destFormat) || ! handledFormat (sourceFormat))
            return false;

        // A context on an image has no transform of its own: the renderer
        // draws through the picture's transform moved by (0, 0).
        const auto t = transform.translated (0.0f, 0.0f);

        if (isOnlyTranslationAllowingError (t, 0.002f))
        {
            const auto tx = (int) (t.getTranslationX() * 256.0f);
            const auto ty = (int) (t.getTranslationY() * 256.0f);

            if (quality == juce::Graphics::lowResamplingQuality || ((tx | ty) & 224) == 0)
                return false;
        }

        return true;
    }

    bool drawTransformed (const juce::Image::BitmapData& dest, juce::Rectangle<int> clip,
                          const juce::Image::BitmapData& source, const juce::AffineTransform& transform,
                          juce::Graphics::ResamplingQuality quality)
    {
        if (! handles (dest.pixelFormat, source.pixelFormat, transform, quality))
            return false;

        const auto t = transform.translated (0.0f, 0.0f);
        const auto area = clip.getIntersection ({ 0, 0, dest.width, dest.height });

        if (t.isSingularity() || area.isEmpty() || source.width <= 0 || source.height <= 0)
            return true;

        // The clip as the renderer holds it (a list of one rectangle), cut to
        // the outline of the transformed picture.
        juce::EdgeTable edges { juce::RectangleList<int> (area) };
        juce::Path outline;
        outline.addRectangle (juce::Rectangle<int> (0, 0, source.width, source.height));
        edges.clipToEdgeTable (juce::EdgeTable (edges.getMaximumBounds(), outline, t));

        if (edges.isEmpty())
            return true;

        const bool bilinear = quality != juce::Graphics::lowResamplingQuality;
        const Sampler sampler { t.inverted(),
                                bilinear ? 0.5f : 0.0f,
                                bilinear ? -128 : 0,
                                Source { source.data, source.lineStride, source.pixelStride,
                                         source.width - 1, source.height - 1, bilinear },
                                loopInUse() == Loop::vector && machineHasVectorLoop()
                                    && source.pixelStride == (source.pixelFormat == juce::Image::ARGB ? 4 : 3) };

        const bool destArgb = dest.pixelFormat == juce::Image::ARGB;
        const bool sourceArgb = source.pixelFormat == juce::Image::ARGB;

        if (destArgb && sourceArgb)    fillEdges<juce::PixelARGB, juce::PixelARGB> (edges, dest, sampler);
        else if (destArgb)             fillEdges<juce::PixelARGB, juce::PixelRGB>  (edges, dest, sampler);
        else if (sourceArgb)           fillEdges<juce::PixelRGB,  juce::PixelARGB> (edges, dest, sampler);
        else                           fillEdges<juce::PixelRGB,  juce::PixelRGB>  (edges, dest, sampler);

        return true;
    }
}
