#include "RowSmoothing.h"
#include "BandWorkers.h"
#include "ImageBands.h"

#include <cmath>
#include <type_traits>
#include <vector>

namespace
{
    struct Levels { float r, g, b; };

    // A pixel's straight (unpremultiplied) red, green and blue.
    struct ReadArgb
    {
        Levels operator() (const juce::uint8* p) const noexcept
        {
            auto px = *reinterpret_cast<const juce::PixelARGB*> (p);
            if (px.getAlpha() != 255)
                px.unpremultiply();
            return { (float) px.getRed(), (float) px.getGreen(), (float) px.getBlue() };
        }
    };

    struct ReadRgb
    {
        Levels operator() (const juce::uint8* p) const noexcept
        {
            const auto& px = *reinterpret_cast<const juce::PixelRGB*> (p);
            return { (float) px.getRed(), (float) px.getGreen(), (float) px.getBlue() };
        }
    };

    // Writers of an opaque pixel, and what such a pixel reads back as.
    struct WriteArgb
    {
        void operator() (juce::uint8* p, const Levels& s) const noexcept
        {
            *reinterpret_cast<juce::PixelARGB*> (p) = juce::PixelARGB (255, (juce::uint8) (int) s.r,
                                                                       (juce::uint8) (int) s.g, (juce::uint8) (int) s.b);
        }

        Levels readBack (const juce::uint8* p) const noexcept { return ReadArgb{} (p); }
    };

    struct WriteRgb
    {
        void operator() (juce::uint8* p, const Levels& s) const noexcept
        {
            reinterpret_cast<juce::PixelRGB*> (p)->setARGB (255, (juce::uint8) (int) s.r,
                                                            (juce::uint8) (int) s.g, (juce::uint8) (int) s.b);
        }

        Levels readBack (const juce::uint8* p) const noexcept { return ReadRgb{} (p); }
    };

    // Here every sum lies in 0 .. 256, where truncating through an int is
    // exactly std::trunc (and much quicker on plain x86-64).
    inline float truncated (float v) noexcept { return (float) (int) v; }

    inline Levels step (const Levels& s, const Levels& c, float a, float rest) noexcept
    {
        // A grey pixel on a grey state (the pipeline's pictures are grey):
        // the three channels compute the same thing.
        if (s.r == s.g && s.g == s.b && c.r == c.g && c.g == c.b)
        {
            const auto v = truncated (s.r * a + c.r * rest);
            return { v, v, v };
        }

        return { truncated (s.r * a + c.r * rest), truncated (s.g * a + c.g * rest), truncated (s.b * a + c.b * rest) };
    }

    inline bool same (const Levels& x, const Levels& y) noexcept
    {
        return x.r == y.r && x.g == y.g && x.b == y.b;
    }

    // The picture as one sequence of pixels, row after row.
    constexpr int lanes = 8;

    template <typename Read, typename Write>
    struct Chain
    {
        const juce::Image::BitmapData& source;
        const juce::Image::BitmapData& dest;
        Read read;
        Write write;
        const float a, rest;

        int width() const noexcept { return source.width; }

        // Runs rows [y0, y1) from state s, writing them; returns the state after.
        Levels run (int y0, int y1, Levels s) const noexcept
        {
            for (int y = y0; y < y1; ++y)
            {
                const auto* in = source.getLinePointer (y);
                auto* out = dest.getLinePointer (y);

                for (int x = 0; x < width(); ++x, in += source.pixelStride, out += dest.pixelStride)
                {
                    s = step (s, read (in), a, rest);
                    write (out, s);
                }
            }

            return s;
        }

        // Several runs at once (lanes), `rows` rows each from the given first
        // rows, pixel by pixel in turn: the chains keep the processor's
        // pipeline full where one would wait on itself.
        void runLanes (const int* firstRow, int rows, Levels* s) const noexcept
        {
            for (int r = 0; r < rows; ++r)
            {
                const juce::uint8* in[lanes];
                juce::uint8* out[lanes];

                for (int k = 0; k < lanes; ++k)
                {
                    in[k] = source.getLinePointer (firstRow[k] + r);
                    out[k] = dest.getLinePointer (firstRow[k] + r);
                }

                if constexpr (std::is_same_v<Read, ReadArgb> && std::is_same_v<Write, WriteArgb>)
                {
                    runGreyRow (in, out, s);
                    continue;
                }

                for (int x = 0; x < width(); ++x)
                {
                    for (int k = 0; k < lanes; ++k)
                    {
                        s[k] = step (s[k], read (in[k]), a, rest);
                        write (out[k], s[k]);
                        in[k] += source.pixelStride;
                        out[k] += dest.pixelStride;
                    }
                }
            }
        }

        // One row of each lane, opaque ARGB to ARGB. While a chain's
        // state and its pixels are grey (the pipeline's pictures are), one
        // channel is computed and written to all three; c (1 - a) comes from
        // a table holding exactly the products the full step computes.
        void runGreyRow (const juce::uint8** in, juce::uint8** out, Levels* s) const noexcept
        {
            float share[256];
            for (int c = 0; c < 256; ++c)
                share[c] = (float) c * rest;

            for (int x = 0; x < width(); ++x)
            {
                for (int k = 0; k < lanes; ++k)
                {
                    const auto pixel = reinterpret_cast<const juce::PixelARGB*> (in[k])->getInARGBMaskOrder();
                    const auto level = pixel & 0xffu;
                    const bool greyPixel = (pixel >> 8) == (0xff0000u | (level << 8) | level);

                    if (greyPixel && s[k].r == s[k].g && s[k].g == s[k].b)
                    {
                        const auto v = (int) (s[k].r * a + share[level]);
                        s[k].r = s[k].g = s[k].b = (float) v;
                        *reinterpret_cast<juce::PixelARGB*> (out[k]) = juce::PixelARGB (255, (juce::uint8) v, (juce::uint8) v, (juce::uint8) v);
                    }
                    else
                    {
                        s[k] = step (s[k], read (in[k]), a, rest);
                        write (out[k], s[k]);
                    }

                    in[k] += 4;
                    out[k] += 4;
                }
            }
        }

        // The state row y most likely starts from: a run-in over up to 64
        // pixels before it, started from the first of them.
        Levels guess (int y) const noexcept
        {
            const auto from = juce::jmax ((juce::int64) 0, (juce::int64) y * width() - 64);
            auto pixel = [this] (juce::int64 i) { return read (source.getPixelPointer ((int) (i % width()), (int) (i / width()))); };
            auto s = pixel (from);

            for (auto i = from; i < (juce::int64) y * width(); ++i)
                s = step (s, pixel (i), a, rest);

            return s;
        }

        // Follows the true chain from state s through rows [y0, y1) until it
        // meets what a run wrote there; returns the state after the rows.
        Levels repair (int y0, int y1, Levels s) const noexcept
        {
            for (int y = y0; y < y1; ++y)
            {
                const auto* in = source.getLinePointer (y);
                auto* out = dest.getLinePointer (y);

                for (int x = 0; x < width(); ++x, in += source.pixelStride, out += dest.pixelStride)
                {
                    s = step (s, read (in), a, rest);

                    if (same (s, write.readBack (out)))
                        return write.readBack (dest.getPixelPointer (width() - 1, y1 - 1));

                    write (out, s);
                }
            }

            return s;
        }
    };

    template <typename Read, typename Write>
    void smoothInSegments (const juce::Image::BitmapData& source, const juce::Image::BitmapData& dest,
                           Read read, Write write, float a, std::array<float, 3>& state, BandWorkers* workers)
    {
        const Chain<Read, Write> chain { source, dest, read, write, a, 1.0f - a };
        const auto rows = source.height;
        const Levels start { state[0], state[1], state[2] };

        // Segments of whole rows, a lane each, a group of lanes per band task;
        // pictures too small for that are one chain.
        const auto groups = juce::jmin (kestrune::bands::bandsFor (workers, rows), rows / lanes);

        if ((juce::int64) source.width * rows < 4096 || groups < 1)
        {
            const auto end = chain.run (0, rows, start);
            state = { end.r, end.g, end.b };
            return;
        }

        const auto segments = lanes * groups;
        const auto rowsPerSegment = rows / segments;

        auto runGroup = [&] (int group)
        {
            int firstRow[lanes];
            Levels s[lanes];

            for (int k = 0; k < lanes; ++k)
            {
                const auto segment = lanes * group + k;
                firstRow[k] = segment * rowsPerSegment;
                s[k] = segment == 0 ? start : chain.guess (firstRow[k]);
            }

            chain.runLanes (firstRow, rowsPerSegment, s);
        };

        if (groups <= 1)
            runGroup (0);
        else
            workers->run (groups, runGroup);

        // Segment 0 started from the true state; each later segment is
        // followed from the true end of the one before it. Then the rows
        // after the last whole segment.
        auto s = write.readBack (dest.getPixelPointer (source.width - 1, rowsPerSegment - 1));

        for (int k = 1; k < segments; ++k)
            s = chain.repair (k * rowsPerSegment, (k + 1) * rowsPerSegment, s);

        s = chain.run (segments * rowsPerSegment, rows, s);
        state = { s.r, s.g, s.b };
    }

    // Any other formats, or a factor outside 0..1: one chain, through the
    // images' own colour accessors.
    void smoothOneChain (const juce::Image::BitmapData& source, const juce::Image::BitmapData& dest,
                         float a, std::array<float, 3>& state)
    {
        const auto rest = 1.0f - a;
        auto s = state;

        for (int y = 0; y < source.height; ++y)
        {
            for (int x = 0; x < source.width; ++x)
            {
                const auto c = source.getPixelColour (x, y);
                s[0] = std::trunc (s[0] * a + (float) c.getRed() * rest);
                s[1] = std::trunc (s[1] * a + (float) c.getGreen() * rest);
                s[2] = std::trunc (s[2] * a + (float) c.getBlue() * rest);
                dest.setPixelColour (x, y, juce::Colour ((juce::uint8) (int) s[0], (juce::uint8) (int) s[1],
                                                         (juce::uint8) (int) s[2], (juce::uint8) 255));
            }
        }

        state = s;
    }

    bool wholeLevels (const std::array<float, 3>& state) noexcept
    {
        for (auto v : state)
            if (! (v >= 0.0f && v <= 255.0f) || v != std::trunc (v))
                return false;
        return true;
    }
}

namespace kestrune::smoothing
{
    void smoothRows (const juce::Image& source, const juce::Image& dest, float a,
                     std::array<float, 3>& state, BandWorkers* workers)
    {
        if (! source.isValid() || ! dest.isValid())
            return;

        const juce::Image::BitmapData in (source, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData out (dest, juce::Image::BitmapData::writeOnly);

        if (in.width != out.width || in.height != out.height)
        {
            // Pictures of different sizes: the overlap, as one chain.
            auto target = dest;
            const juce::Image::BitmapData inPart (source, 0, 0, juce::jmin (in.width, out.width), juce::jmin (in.height, out.height));
            const juce::Image::BitmapData outPart (target, 0, 0, inPart.width, inPart.height, juce::Image::BitmapData::writeOnly);
            smoothOneChain (inPart, outPart, a, state);
            return;
        }

        // The bands rely on the written pixel being the state: whole levels
        // 0 to 255, written opaque into 8-bit colour, and a factor that keeps
        // them there.
        const auto fast = (in.pixelFormat == juce::Image::ARGB || in.pixelFormat == juce::Image::RGB)
                       && (out.pixelFormat == juce::Image::ARGB || out.pixelFormat == juce::Image::RGB)
                       && a >= 0.0f && a <= 1.0f && wholeLevels (state);

        if (! fast)
        {
            smoothOneChain (in, out, a, state);
            return;
        }

        auto withWriter = [&] (auto read)
        {
            if (out.pixelFormat == juce::Image::ARGB)
                smoothInSegments (in, out, read, WriteArgb{}, a, state, workers);
            else
                smoothInSegments (in, out, read, WriteRgb{}, a, state, workers);
        };

        if (in.pixelFormat == juce::Image::ARGB)
            withWriter (ReadArgb{});
        else
            withWriter (ReadRgb{});
    }
}
