#include "StorablePixels.h"

#include <array>

namespace kestrune::pictures
{
    namespace
    {
        // For each alpha and premultiplied channel value: the nearest value a
        // PNG file gives back exactly, and what to hand the encoder so that
        // it does. Worked out from JUCE's own premultiply and unpremultiply,
        // which both the encoder and our decoder use.
        struct Tables
        {
            std::array<std::array<juce::uint8, 256>, 256> nearest {}, source {};

            Tables()
            {
                auto premultiplied = [] (int value, int alpha)
                {
                    juce::PixelARGB p;
                    p.setARGB ((juce::uint8) alpha, (juce::uint8) value, (juce::uint8) value, (juce::uint8) value);
                    p.premultiply();
                    return (int) p.getRed();
                };

                auto unpremultiplied = [] (int value, int alpha)
                {
                    juce::PixelARGB p ((juce::uint8) alpha, (juce::uint8) value, (juce::uint8) value, (juce::uint8) value);
                    p.unpremultiply();
                    return (int) p.getRed();
                };

                for (int alpha = 0; alpha < 256; ++alpha)
                {
                    // What comes back of each value handed to the encoder;
                    // the value itself is preferred where it comes back.
                    std::array<int, 256> from;
                    from.fill (-1);

                    for (int value = 0; value < 256; ++value)
                    {
                        const auto back = premultiplied (unpremultiplied (value, alpha), alpha);

                        if (from[(size_t) back] < 0 || back == value)
                            from[(size_t) back] = value;
                    }

                    for (int value = 0; value < 256; ++value)
                    {
                        int best = -1;

                        for (int d = 0; best < 0 && d < 256; ++d)
                        {
                            if (value - d >= 0 && from[(size_t) (value - d)] >= 0)
                                best = value - d;
                            else if (value + d < 256 && from[(size_t) (value + d)] >= 0)
                                best = value + d;
                        }

                        nearest[(size_t) alpha][(size_t) value] = (juce::uint8) best;
                        source[(size_t) alpha][(size_t) value] = (juce::uint8) from[(size_t) best];
                    }
                }
            }
        };

        const Tables& tables()
        {
            static const Tables t;
            return t;
        }

        bool translucent (const juce::PixelARGB& p) noexcept
        {
            return p.getAlpha() != 0 && p.getAlpha() != 255;
        }

        // Runs `f` on every pixel of an ARGB image.
        template <typename Function>
        void forEachPixel (const juce::Image& image, juce::Image::BitmapData::ReadWriteMode mode, Function&& f)
        {
            juce::Image::BitmapData data (image, mode);

            for (int y = 0; y < data.height; ++y)
            {
                auto* p = data.getLinePointer (y);

                for (int x = 0; x < data.width; ++x, p += data.pixelStride)
                    f (*reinterpret_cast<juce::PixelARGB*> (p));
            }
        }
    }

    void makeStorable (juce::Image& image)
    {
        if (! image.isValid() || image.getFormat() != juce::Image::ARGB)
            return;

        const auto& t = tables();

        forEachPixel (image, juce::Image::BitmapData::readWrite, [&t] (juce::PixelARGB& p)
        {
            if (translucent (p))
            {
                const auto& row = t.nearest[p.getAlpha()];
                p = juce::PixelARGB (p.getAlpha(), row[p.getRed()], row[p.getGreen()], row[p.getBlue()]);
            }
        });
    }

    bool isStorable (const juce::Image& image)
    {
        if (! image.isValid() || image.getFormat() != juce::Image::ARGB)
            return true;

        const auto& t = tables();
        bool storable = true;

        forEachPixel (image, juce::Image::BitmapData::readOnly, [&] (const juce::PixelARGB& p)
        {
            if (translucent (p))
            {
                const auto& row = t.nearest[p.getAlpha()];
                storable = storable && row[p.getRed()] == p.getRed() && row[p.getGreen()] == p.getGreen()
                                    && row[p.getBlue()] == p.getBlue();
            }
        });

        return storable;
    }

    bool encodePng (const juce::Image& image, juce::MemoryBlock& png)
    {
        png.reset();

        if (! image.isValid())
            return false;

        auto toWrite = image;

        if (image.getFormat() == juce::Image::ARGB)
        {
            // The encoder unpremultiplies what it is given: give it values
            // that come back as the picture's own.
            toWrite = image.createCopy();
            const auto& t = tables();

            forEachPixel (toWrite, juce::Image::BitmapData::readWrite, [&t] (juce::PixelARGB& p)
            {
                if (translucent (p))
                {
                    const auto& source = t.source[p.getAlpha()];
                    p = juce::PixelARGB (p.getAlpha(), source[p.getRed()], source[p.getGreen()], source[p.getBlue()]);
                }
            });
        }

        juce::MemoryOutputStream out (png, false);

        if (! juce::PNGImageFormat().writeImageToStream (toWrite, out))
            return false;

        out.flush();
        return png.getSize() > 0;
    }
}
