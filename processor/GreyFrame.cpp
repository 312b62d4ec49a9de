#include "GreyFrame.h"

void GreyFrame::buildFrom (const juce::Image& image)
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

    // c / 255 for every channel value, so that a pixel costs one division.
    static const auto channelShare = []
    {
        std::array<float, 256> shares {};
        for (size_t c = 0; c < shares.size(); ++c)
            shares[c] = (float) c / 255.0f;
        return shares;
    }();

    auto greyOfLevels = [] (int r, int g, int b)
    {
        return (channelShare[(size_t) r] + channelShare[(size_t) g] + channelShare[(size_t) b]) / 3.0f;
    };

    auto greyOf = [&] (juce::Colour c) { return greyOfLevels (c.getRed(), c.getGreen(), c.getBlue()); };

    // Opaque ARGB and RGB pixels (the usual case) are read straight from
    // memory; anything else goes through the colour accessor. The picture is
    // walked in bands of columns so that the transposed writes stay in cache.
    constexpr int band = 32;

    for (int x0 = 0; x0 < width; x0 += band)
    {
        const int x1 = juce::jmin (width, x0 + band);

        for (int y = 0; y < height; ++y)
        {
            const auto* p = data.getPixelPointer (x0, y);
            auto* out = grey.data() + (size_t) x0 * (size_t) height + (size_t) y;

            for (int x = x0; x < x1; ++x, p += data.pixelStride, out += height)
            {
                if (data.pixelFormat == juce::Image::ARGB)
                {
                    const auto& px = *reinterpret_cast<const juce::PixelARGB*> (p);
                    *out = px.getAlpha() == 255 ? greyOfLevels (px.getRed(), px.getGreen(), px.getBlue())
                                                : greyOf (data.getPixelColour (x, y));
                }
                else if (data.pixelFormat == juce::Image::RGB)
                {
                    const auto& px = *reinterpret_cast<const juce::PixelRGB*> (p);
                    *out = greyOfLevels (px.getRed(), px.getGreen(), px.getBlue());
                }
                else
                {
                    *out = greyOf (data.getPixelColour (x, y));
                }
            }
        }
    }
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
