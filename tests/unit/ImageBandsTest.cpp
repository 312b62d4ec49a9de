#include "BandWorkers.h"
#include "ImageBands.h"
#include "TestSupport.h"

#include <random>

using namespace kestrune::test;

namespace
{
    // A picture with detail everywhere: random levels, some pixels not opaque.
    juce::Image noisyPicture (juce::Image::PixelFormat format, int w, int h, unsigned seed, bool translucent = false)
    {
        juce::Image image (format, w, h, true);
        std::mt19937 rng (seed);
        std::uniform_int_distribution<int> level (0, 255);

        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
            {
                const auto v = (juce::uint8) level (rng);
                const auto alpha = translucent && (x + y) % 5 == 0 ? (juce::uint8) level (rng) : (juce::uint8) 255;
                image.setPixelAt (x, y, juce::Colour (v, (juce::uint8) level (rng), (juce::uint8) (255 - v), alpha));
            }

        return image;
    }

    // Draws the same thing once on one graphics context and once in bands,
    // onto copies of `background`; the two must match byte for byte.
    void expectBandsMatch (BandWorkers& workers, const juce::Image& background, const juce::Image& source,
                           const std::function<void (juce::Graphics&, const juce::Image&)>& draw, const std::string& what)
    {
        auto whole = background.createCopy();
        {
            juce::Graphics g (whole);
            draw (g, source);
        }

        auto banded = background.createCopy();
        kestrune::bands::drawInBands (&workers, banded, source, draw);

        ASSERT_TRUE (sameImage (whole, banded)) << what;
    }
}

TEST (ImageBands, TransformedDrawingsMatchTheWholeDrawing)
{
    BandWorkers workers (3);
    const auto black = [] (juce::Image::PixelFormat format)
    {
        juce::Image image (format, 301, 203, false);
        image.clear (image.getBounds(), juce::Colour (0xff000000));
        return image;
    };

    const juce::AffineTransform transforms[] = {
        juce::AffineTransform::rotation (0.1745f, 150.0f, 101.0f).scaled (1.3f, 1.3f, 150.0f, 101.0f),
        juce::AffineTransform::rotation (1.57f, 150.0f, 101.0f),
        juce::AffineTransform::rotation (4.71f + 0.3f, 150.0f, 101.0f).translated (37.25f, -20.5f),
        juce::AffineTransform::scale (-0.5f, 0.5f, 150.0f, 101.0f),                       // mirrored, halved
        juce::AffineTransform::scale (6.0f, 1.0f, 150.0f, 101.0f),                        // stretched
        juce::AffineTransform::translation (0.4f, 0.7f),                                  // sub-pixel shift
        juce::AffineTransform::translation (150.5f, 0.0f),                                // half off the picture
        juce::AffineTransform::scale (0.0f, 0.0f, 150.0f, 101.0f),                        // nothing drawn
        juce::AffineTransform::scale (120.0f / 301.0f, 1.0f),                             // the resolution shrink
        juce::AffineTransform::shear (0.3f, 0.1f),
    };

    for (const auto sourceFormat : { juce::Image::ARGB, juce::Image::RGB })
    {
        const auto source = noisyPicture (sourceFormat, 301, 203, 7, sourceFormat == juce::Image::ARGB);

        for (const auto destFormat : { juce::Image::ARGB, juce::Image::RGB })
        {
            int index = 0;

            for (const auto& t : transforms)
            {
                for (const auto quality : { juce::Graphics::mediumResamplingQuality, juce::Graphics::lowResamplingQuality,
                                            juce::Graphics::highResamplingQuality })
                {
                    expectBandsMatch (workers, black (destFormat), source, [&] (juce::Graphics& g, const juce::Image& src)
                    {
                        g.setImageResamplingQuality (quality);
                        g.drawImageTransformed (src, t);
                    }, "transform " + std::to_string (index) + " quality " + std::to_string ((int) quality)
                       + " formats " + std::to_string ((int) sourceFormat) + std::to_string ((int) destFormat));
                }

                ++index;
            }
        }
    }
}

TEST (ImageBands, LayersStretchesAndClearsMatch)
{
    BandWorkers workers (3);
    const auto picture = noisyPicture (juce::Image::ARGB, 480, 330, 3);

    // A translucent pen layer over the picture, at its size and at half of it.
    const auto layer = noisyPicture (juce::Image::ARGB, 480, 330, 4, true);
    const auto smallLayer = noisyPicture (juce::Image::ARGB, 240, 165, 5, true);

    for (const auto* l : { &layer, &smallLayer })
        expectBandsMatch (workers, picture, *l, [] (juce::Graphics& g, const juce::Image& src)
        {
            g.setOpacity (1.0f);
            g.drawImage (src, 0, 0, 480, 330, 0, 0, src.getWidth(), src.getHeight());
        }, "layer " + std::to_string (l->getWidth()));

    // A reduced picture stretched back over a cleared one.
    const auto reduced = picture.rescaled (120, 3, juce::Graphics::mediumResamplingQuality);
    const juce::Image cleared (juce::Image::ARGB, 480, 330, true);
    expectBandsMatch (workers, cleared, reduced, [] (juce::Graphics& g, const juce::Image& src)
    {
        g.drawImage (src, 0, 0, 480, 330, 0, 0, 120, 3);
    }, "stretch");

    // Clearing and copying.
    auto whole = picture.createCopy();
    whole.clear (whole.getBounds(), juce::Colour (0xff102030));
    auto banded = picture.createCopy();
    kestrune::bands::clearInBands (&workers, banded, juce::Colour (0xff102030));
    EXPECT_TRUE (sameImage (whole, banded));

    juce::Image copy (juce::Image::ARGB, 480, 330, true);
    EXPECT_TRUE (kestrune::bands::copyInBands (&workers, picture, copy));
    EXPECT_TRUE (sameImage (picture, copy));

    juce::Image otherFormat (juce::Image::RGB, 480, 330, true);
    EXPECT_FALSE (kestrune::bands::copyInBands (&workers, picture, otherFormat));
}

TEST (ImageBands, BandsCoverEveryRowOnce)
{
    BandWorkers workers (3);

    for (const int rows : { 0, 1, 15, 16, 17, 100, 512, 513 })
    {
        std::vector<std::atomic<int>> seen ((size_t) rows);

        kestrune::bands::forEachBand (&workers, rows, [&] (int y0, int y1)
        {
            for (int y = y0; y < y1; ++y)
                seen[(size_t) y].fetch_add (1);
        });

        for (int y = 0; y < rows; ++y)
            ASSERT_EQ (seen[(size_t) y].load(), 1) << rows << " " << y;
    }

    EXPECT_EQ (kestrune::bands::bandsFor (nullptr, 512), 1);
    EXPECT_EQ (kestrune::bands::bandsFor (&workers, 512), 8);
    EXPECT_EQ (kestrune::bands::bandsFor (&workers, 20), 1);
}
