#include "PathShadow.h"

#include <vector>

namespace kestrune
{
    namespace
    {
        // (a + b + c + 1) / 3 for three 8-bit values: at most 766, so 16 bits hold it.
        inline juce::uint8 third (unsigned a, unsigned b, unsigned c) noexcept
        {
            return (juce::uint8) ((a + b + c + 1u) / 3u);
        }

        // One pass along a row, from a copy of it as it was.
        void blurRow (juce::uint8* row, const juce::uint8* before, int width) noexcept
        {
            row[0] = third (0, before[0], before[1]);

            for (int x = 1; x < width - 1; ++x)
                row[x] = third (before[x - 1], before[x], before[x + 1]);

            row[width - 1] = third (before[width - 2], before[width - 1], 0);
        }

        // One pass down every column at once: row y from the rows above and
        // below it as they were.
        void blurAcross (juce::uint8* row, const juce::uint8* above, const juce::uint8* below, int width) noexcept
        {
            for (int x = 0; x < width; ++x)
                row[x] = third (above[x], row[x], below[x]);
        }

        void blurFirst (juce::uint8* row, const juce::uint8* below, int width) noexcept
        {
            for (int x = 0; x < width; ++x)
                row[x] = third (0, row[x], below[x]);
        }

        void blurLast (juce::uint8* row, const juce::uint8* above, int width) noexcept
        {
            for (int x = 0; x < width; ++x)
                row[x] = third (above[x], row[x], 0);
        }
    }

    void blurMask (juce::uint8* data, int width, int height, int lineStride, int repetitions)
    {
        jassert (width > 2 && height > 2);

        std::vector<juce::uint8> before ((size_t) width), previous ((size_t) width);

        for (int y = 0; y < height; ++y)
        {
            auto* row = data + (size_t) lineStride * (size_t) y;

            for (int i = 0; i < repetitions; ++i)
            {
                std::copy (row, row + width, before.begin());
                blurRow (row, before.data(), width);
            }
        }

        // Columns are blurred independently of each other, so running each
        // repetition over all of them in turn gives what running all the
        // repetitions column by column gives.
        for (int i = 0; i < repetitions; ++i)
        {
            // `previous` holds the row above as it was before this pass.
            std::copy (data, data + width, previous.begin());
            blurFirst (data, data + lineStride, width);

            for (int y = 1; y < height - 1; ++y)
            {
                auto* row = data + (size_t) lineStride * (size_t) y;
                std::copy (row, row + width, before.begin());
                blurAcross (row, previous.data(), row + lineStride, width);
                std::swap (previous, before);
            }

            auto* last = data + (size_t) lineStride * (size_t) (height - 1);
            blurLast (last, previous.data(), width);
        }
    }

    void drawPathShadow (juce::Graphics& g, const juce::Path& path, juce::Colour colour, int radius)
    {
        jassert (radius > 0);

        const auto area = path.getBounds().getSmallestIntegerContainer()
                              .expanded (radius + 1)
                              .getIntersection (g.getClipBounds().expanded (radius + 1));

        if (area.getWidth() <= 2 || area.getHeight() <= 2)
            return;

        juce::Image mask (juce::Image::SingleChannel, area.getWidth(), area.getHeight(), true);

        {
            juce::Graphics maskGraphics (mask);
            maskGraphics.setColour (juce::Colours::white);
            maskGraphics.fillPath (path, juce::AffineTransform::translation ((float) -area.getX(), (float) -area.getY()));
        }

        {
            const juce::Image::BitmapData bitmap (mask, juce::Image::BitmapData::readWrite);
            blurMask (bitmap.data, bitmap.width, bitmap.height, bitmap.lineStride, 2 * radius);
        }

        g.setColour (colour);
        g.drawImageAt (mask, area.getX(), area.getY(), true);
    }
}
