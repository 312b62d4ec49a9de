#include "GreyFrame.h"
#include "ImageBands.h"

namespace
{
    // c / 255 for every channel value, so that a pixel costs one division.
    const std::array<float, 256>& channelShares()
    {
        static const auto shares = []
        {
            std::array<float, 256> result {};
            for (size_t c = 0; c < result.size(); ++c)
                result[c] = (float) c / 255.0f;
            return result;
        }();

        return shares;
    }

    inline float greyOfLevels (const std::array<float, 256>& share, int r, int g, int b) noexcept
    {
        return (share[(size_t) r] + share[(size_t) g] + share[(size_t) b]) / 3.0f;
    }

    // The grey of a pixel whose three channels are equal (every pixel of a
    // picture the pipeline made from a greyscaled one), worked out once per level.
    const std::array<float, 256>& levelGreys()
    {
        static const auto greys = []
        {
            std::array<float, 256> result {};
            for (int v = 0; v < 256; ++v)
                result[(size_t) v] = greyOfLevels (channelShares(), v, v, v);
            return result;
        }();

        return greys;
    }

    inline float greyOf (const std::array<float, 256>& share, const std::array<float, 256>& level,
                         int r, int g, int b) noexcept
    {
        return r == g && g == b ? level[(size_t) r] : greyOfLevels (share, r, g, b);
    }

    // Columns x0 .. x1 of the picture into the frame, in tiles of 16 x 16
    // pixels: each tile writes 16 runs of 16 floats (a cache line each) down
    // its columns. (Walking whole columns at once would write with a stride
    // of the picture's height, which at 512 rows keeps hitting the same few
    // cache sets.) Opaque ARGB and RGB pixels (the usual case) are read
    // straight from memory; anything else goes through the colour accessor.
    template <typename GreyOfPixel>
    void fillTiles (const juce::Image::BitmapData& data, float* grey, int height, int x0, int x1, GreyOfPixel&& greyOfPixel)
    {
        constexpr int tile = 16;

        for (int tx = x0; tx < x1; tx += tile)
        {
            const int tx1 = juce::jmin (x1, tx + tile);

            for (int ty = 0; ty < height; ty += tile)
            {
                const int ty1 = juce::jmin (height, ty + tile);

                for (int x = tx; x < tx1; ++x)
                {
                    auto* out = grey + (size_t) x * (size_t) height;
                    const auto* p = data.getPixelPointer (x, ty);

                    for (int y = ty; y < ty1; ++y, p += data.lineStride)
                        out[y] = greyOfPixel (p, x, y);
                }
            }
        }
    }

    void fillColumns (const juce::Image::BitmapData& data, float* grey, int height, int x0, int x1)
    {
        const auto& share = channelShares();
        const auto& level = levelGreys();

        if (data.pixelFormat == juce::Image::ARGB)
        {
            fillTiles (data, grey, height, x0, x1, [&] (const juce::uint8* p, int x, int y)
            {
                const auto& px = *reinterpret_cast<const juce::PixelARGB*> (p);

                if (px.getAlpha() == 255)
                    return greyOf (share, level, px.getRed(), px.getGreen(), px.getBlue());

                const auto c = data.getPixelColour (x, y);
                return greyOfLevels (share, c.getRed(), c.getGreen(), c.getBlue());
            });
        }
        else if (data.pixelFormat == juce::Image::RGB)
        {
            fillTiles (data, grey, height, x0, x1, [&] (const juce::uint8* p, int, int)
            {
                const auto& px = *reinterpret_cast<const juce::PixelRGB*> (p);
                return greyOf (share, level, px.getRed(), px.getGreen(), px.getBlue());
            });
        }
        else
        {
            fillTiles (data, grey, height, x0, x1, [&] (const juce::uint8*, int x, int y)
            {
                const auto c = data.getPixelColour (x, y);
                return greyOfLevels (share, c.getRed(), c.getGreen(), c.getBlue());
            });
        }
    }
}

void GreyFrame::buildFrom (const juce::Image& image, BandWorkers* workers)
{
    if (! image.isValid())
    {
        width = height = 0;
        grey.clear();
        return;
    }

    width = image.getWidth();
    height = image.getHeight();
    grey.resize ((size_t) width * (size_t) height);

    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
    auto* out = grey.data();
    const auto rows = height;

    // Bands of columns: each writes a contiguous part of the frame.
    kestrune::bands::forEachBand (workers, width, [&] (int x0, int x1) { fillColumns (data, out, rows, x0, x1); });
}

//==============================================================================
void GreyFrameExchange::publish() noexcept
{
    back = middle.exchange (back | freshBit, std::memory_order_acq_rel) & ~freshBit;
}

const GreyFrame& GreyFrameExchange::acquire() noexcept
{
    if ((middle.load (std::memory_order_acquire) & freshBit) != 0)
        front = middle.exchange (front, std::memory_order_acq_rel) & ~freshBit;

    return slots[(size_t) front];
}

void GreyFrameExchange::replaceFront (GreyFrame& replacement) noexcept
{
    acquire(); // discard anything published for the picture being replaced
    std::swap (slots[(size_t) front], replacement);
}
