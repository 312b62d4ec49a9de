#include "PathShadow.h"

#include <gtest/gtest.h>

// The shadow must give exactly JUCE's drop-shadow pixels: the spectrum view
// draws two of them every frame, and its look is fixed.
namespace
{
    bool samePixels (const juce::Image& a, const juce::Image& b)
    {
        if (a.getBounds() != b.getBounds() || a.getFormat() != b.getFormat())
            return false;

        const juce::Image::BitmapData da (a, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData db (b, juce::Image::BitmapData::readOnly);

        for (int y = 0; y < a.getHeight(); ++y)
            if (std::memcmp (da.getLinePointer (y), db.getLinePointer (y), (size_t) (a.getWidth() * da.pixelStride)) != 0)
                return false;

        return true;
    }

    // A background with something on it, so that blending shows.
    juce::Image background (juce::Image::PixelFormat format, int w, int h, juce::Random& random)
    {
        juce::Image image (format, w, h, true);
        juce::Graphics g (image);
        g.fillAll (juce::Colour (0xff000000));
        for (int i = 0; i < 12; ++i)
        {
            g.setColour (juce::Colour ((juce::uint32) random.nextInt()).withAlpha ((juce::uint8) random.nextInt (256)));
            g.fillRect (random.nextInt (w), random.nextInt (h), random.nextInt (w / 2 + 1), random.nextInt (h / 2 + 1));
        }
        return image;
    }

    // A curve from (10, h) across to (w - 10, h), like the view's.
    juce::Path curve (int w, int h, int points, juce::Random& random)
    {
        juce::Path path;
        path.startNewSubPath (10.0f, (float) h);
        for (int j = 1; j < points; ++j)
            path.lineTo ((float) (10 + (j * (w - 20)) / points), (float) h - random.nextFloat() * (float) h * 1.1f);
        path.lineTo ((float) (w - 10), (float) h);
        return path;
    }

    using Clip = std::function<void (juce::Graphics&)>;

    void expectSameAsJuce (const juce::Image& start, const juce::Path& path, juce::Colour colour, int radius, const Clip& clip)
    {
        auto ours = start.createCopy();
        auto theirs = start.createCopy();

        {
            juce::Graphics g (ours);
            clip (g);
            kestrune::drawPathShadow (g, path, colour, radius);
        }
        {
            juce::Graphics g (theirs);
            clip (g);
            juce::DropShadow (colour, radius, {}).drawForPath (g, path);
        }

        EXPECT_TRUE (samePixels (ours, theirs)) << "path bounds " << path.getBounds().toString() << ", radius " << radius;
    }
}

TEST (PathShadow, GivesJucesDropShadowPixels)
{
    juce::Random random (18);
    const Clip none = [] (juce::Graphics&) {};

    for (auto format : { juce::Image::RGB, juce::Image::ARGB })
        for (const auto& [w, h] : { std::pair<int, int> { 300, 120 }, { 673, 139 }, { 841, 175 }, { 25, 5 } })
            for (int radius : { 1, 2, 3 })
            {
                const auto start = background (format, w, h, random);

                expectSameAsJuce (start, curve (w, h, 255, random), juce::Colours::orange.withAlpha ((juce::uint8) 0x80), radius, none);
                expectSameAsJuce (start, curve (w, h, 329, random), juce::Colours::lightgreen.withAlpha ((juce::uint8) 0x33), radius, none);
                expectSameAsJuce (start, curve (w, h, 7, random), juce::Colours::white, radius, none);
            }
}

TEST (PathShadow, FollowsTheClipAndOriginAsJucesDoes)
{
    juce::Random random (7);
    const auto start = background (juce::Image::RGB, 400, 150, random);

    // Part of the view repainted, a view drawn at an offset inside its
    // parent's image, and a clip that is not a rectangle.
    const Clip part = [] (juce::Graphics& g) { g.reduceClipRegion (40, 30, 120, 70); };
    const Clip offset = [] (juce::Graphics& g) { g.setOrigin ({ 13, 9 }); };
    const Clip twoRects = [] (juce::Graphics& g)
    {
        juce::RectangleList<int> list;
        list.add ({ 0, 0, 90, 150 });
        list.add ({ 200, 50, 150, 40 });
        g.reduceClipRegion (list);
    };

    for (const auto& clip : { part, offset, twoRects })
        for (int i = 0; i < 4; ++i)
            expectSameAsJuce (start, curve (400, 150, 255, random), juce::Colours::orange.withAlpha ((juce::uint8) 0x80), 1, clip);
}

TEST (PathShadow, DrawsNothingForAFlatOrEmptyPathOutsideTheClip)
{
    juce::Random random (3);
    const auto start = background (juce::Image::RGB, 200, 100, random);

    // An empty path, one outside the image, and one the clip excludes:
    // JUCE draws nothing there either, or a sliver the clip keeps.
    juce::Path outside;
    outside.addRectangle (500.0f, 500.0f, 40.0f, 40.0f);

    const Clip none = [] (juce::Graphics&) {};
    const Clip corner = [] (juce::Graphics& g) { g.reduceClipRegion (0, 0, 2, 2); };

    expectSameAsJuce (start, juce::Path(), juce::Colours::orange, 1, none);
    expectSameAsJuce (start, outside, juce::Colours::orange, 1, none);
    expectSameAsJuce (start, curve (200, 100, 50, random), juce::Colours::orange, 1, corner);
}

TEST (PathShadow, BlurIsTheRoundedThirdOfEachPixelAndItsNeighbours)
{
    // A single lit pixel in a 3 x 3 mask, one pass each way: the row pass
    // makes its row (0 + 0 + 255 + 1) / 3 = (0 + 255 + 0 + 1) / 3 = 85 all
    // along (a missing neighbour counts as 0), the column pass then gives
    // (85 + 1) / 3 = 28 everywhere, from the values before the pass.
    juce::uint8 mask[3 * 4] = { 0, 0, 0, 9,
                                0, 255, 0, 9,
                                0, 0, 0, 9 };
    kestrune::blurMask (mask, 3, 3, 4, 1);

    const juce::uint8 expected[3 * 4] = { 28, 28, 28, 9,
                                          28, 28, 28, 9,
                                          28, 28, 28, 9 };
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ (mask[i], expected[i]) << "at " << i; // the padding beyond the width is left alone
}
