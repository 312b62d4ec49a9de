#include "BandWorkers.h"
#include "RowSmoothing.h"
#include "TestSupport.h"

#include <cmath>
#include <random>

using namespace kestrune::test;

namespace
{
    // The smoothing as one chain, straight from its definition, through the
    // images' colour accessors.
    void smoothByDefinition (const juce::Image& source, juce::Image& dest, float a, std::array<float, 3>& s)
    {
        const auto rest = 1.0f - a;

        for (int y = 0; y < source.getHeight(); ++y)
            for (int x = 0; x < source.getWidth(); ++x)
            {
                const auto c = source.getPixelAt (x, y);
                s[0] = std::trunc (s[0] * a + (float) c.getRed() * rest);
                s[1] = std::trunc (s[1] * a + (float) c.getGreen() * rest);
                s[2] = std::trunc (s[2] * a + (float) c.getBlue() * rest);
                dest.setPixelAt (x, y, juce::Colour ((juce::uint8) (int) s[0], (juce::uint8) (int) s[1],
                                                     (juce::uint8) (int) s[2], (juce::uint8) 255));
            }
    }

    enum class Kind { grey, colour, translucent, blocks, flat };

    juce::Image picture (Kind kind, juce::Image::PixelFormat format, int w, int h, unsigned seed)
    {
        juce::Image image (format, w, h, true);
        std::mt19937 rng (seed);
        std::uniform_int_distribution<int> level (0, 255);

        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
            {
                const auto v = (juce::uint8) level (rng);
                juce::Colour c;

                switch (kind)
                {
                    case Kind::grey:        c = juce::Colour (v, v, v); break;
                    case Kind::colour:      c = juce::Colour (v, (juce::uint8) level (rng), (juce::uint8) level (rng)); break;
                    case Kind::translucent: c = juce::Colour (v, v, v, (juce::uint8) (x % 3 == 0 ? level (rng) : 255)); break;
                    case Kind::blocks:      c = ((x / 37 + y / 11) % 2 == 0) ? juce::Colours::white : juce::Colours::black; break;
                    case Kind::flat:        c = juce::Colour ((juce::uint8) 131, (juce::uint8) 131, (juce::uint8) 131); break;
                }

                image.setPixelAt (x, y, c);
            }

        return image;
    }
}

TEST (RowSmoothing, MatchesTheSingleChainPixelForPixel)
{
    BandWorkers helpers (3);
    int cases = 0;

    for (const auto kind : { Kind::grey, Kind::colour, Kind::translucent, Kind::blocks, Kind::flat })
    {
        for (const auto formats : { std::make_pair (juce::Image::ARGB, juce::Image::ARGB),
                                    std::make_pair (juce::Image::RGB, juce::Image::ARGB),
                                    std::make_pair (juce::Image::ARGB, juce::Image::RGB) })
        {
            // Heights that leave rows after the last whole segment, and a
            // picture too small for segments.
            for (const auto size : { std::make_pair (300, 131), std::make_pair (400, 67), std::make_pair (50, 40) })
            {
                if (formats.first == juce::Image::RGB && kind == Kind::translucent)
                    continue;

                const auto source = picture (kind, formats.first, size.first, size.second, (unsigned) cases);

                for (const float a : { 0.001f, 0.5f, 0.9f, 0.999f, 1.0f })
                {
                    for (auto* workers : { (BandWorkers*) nullptr, &helpers })
                    {
                        const std::array<float, 3> start { 0.0f, 200.0f, (float) (cases % 256) };
                        auto expectedState = start, state = start;
                        juce::Image expected (formats.second, size.first, size.second, true);
                        juce::Image actual (formats.second, size.first, size.second, true);

                        smoothByDefinition (source, expected, a, expectedState);
                        kestrune::smoothing::smoothRows (source, actual, a, state, workers);

                        const auto what = std::to_string ((int) kind) + " formats " + std::to_string ((int) formats.first)
                                          + std::to_string ((int) formats.second) + " size " + std::to_string (size.first)
                                          + " a " + std::to_string (a) + (workers != nullptr ? " bands" : "");
                        ASSERT_TRUE (sameImage (expected, actual)) << what;
                        ASSERT_EQ (state, expectedState) << what;
                        ++cases;
                    }
                }
            }
        }
    }

    EXPECT_GT (cases, 350);
}

TEST (RowSmoothing, CarriesFromPassToPassAndRowToRow)
{
    // A white row after a black one with a = 0.5: 127, 191, 223, ... never 255.
    juce::Image source (juce::Image::ARGB, 8, 2, true);
    for (int x = 0; x < 8; ++x)
    {
        source.setPixelAt (x, 0, juce::Colours::black);
        source.setPixelAt (x, 1, juce::Colours::white);
    }

    juce::Image dest (juce::Image::ARGB, 8, 2, true);
    std::array<float, 3> state { 0.0f, 0.0f, 0.0f };
    kestrune::smoothing::smoothRows (source, dest, 0.5f, state, nullptr);

    const int expected[] = { 127, 191, 223, 239, 247, 251, 253, 254 };
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ (dest.getPixelAt (x, 1).getRed(), expected[x]) << x;
    EXPECT_EQ (state[0], 254.0f);

    // The next pass starts where this one ended: the black row now decays from 254.
    kestrune::smoothing::smoothRows (source, dest, 0.5f, state, nullptr);
    EXPECT_EQ (dest.getPixelAt (0, 0).getRed(), 127);

    // a = 0.999 from 0 over white: every step truncates back to 0.
    state = { 0.0f, 0.0f, 0.0f };
    kestrune::smoothing::smoothRows (source, dest, 0.999f, state, nullptr);
    EXPECT_EQ (dest.getPixelAt (7, 1).getRed(), 0);
}

TEST (RowSmoothing, UnusualStatesAndFactorsTakeTheSingleChain)
{
    BandWorkers helpers (3);
    const auto source = picture (Kind::grey, juce::Image::ARGB, 300, 131, 9);

    // A state holding fractions, and factors outside 0..1: the same as the
    // definition all the same.
    for (const auto& start : { std::array<float, 3> { 10.5f, 3.25f, 0.0f }, std::array<float, 3> { 300.0f, -4.0f, 1.0f } })
    {
        for (const float a : { 0.5f, 1.5f, -0.25f })
        {
            auto expectedState = start, state = start;
            juce::Image expected (juce::Image::ARGB, 300, 131, true), actual (juce::Image::ARGB, 300, 131, true);
            smoothByDefinition (source, expected, a, expectedState);
            kestrune::smoothing::smoothRows (source, actual, a, state, &helpers);
            EXPECT_TRUE (sameImage (expected, actual)) << a;
            EXPECT_EQ (state, expectedState) << a;
        }
    }
}
