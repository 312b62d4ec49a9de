#include "TestSupport.h"
#include "RecordedSpectrogram.h"

#include <cmath>
#include <limits>

// The capture drawn as a spectrogram: which bin each row shows, the level of
// each magnitude, and where each frame and bin lands in the picture.
using namespace kestrune::recording;

namespace
{
    using Frame = RecordedFrameStore::Frame;

    Frame uniformFrame (float magnitude)
    {
        Frame frame;
        frame.fill (magnitude);
        return frame;
    }

    int greyAt (const juce::Image& image, int x, int y)
    {
        const auto c = image.getPixelAt (x, y);
        EXPECT_EQ (c.getAlpha(), 255);
        EXPECT_EQ (c.getRed(), c.getGreen());
        EXPECT_EQ (c.getRed(), c.getBlue());
        return c.getRed();
    }

    constexpr float minDb = -100.0f, maxDb = 0.0f;
}

TEST (RecordedSpectrogram, RowsReadTheBinsOfTheFilterCurve)
{
    const struct { int row, bin; } cases[] {
        { 0, 0 }, { 4, 0 }, { 5, 1 }, { 512, 132 }, { 1022, 729 }, { 1023, 768 },
    };

    for (const auto& c : cases)
        EXPECT_EQ (binForRow (c.row), c.bin) << "row " << c.row;

    // Never falling, never past bin 768.
    for (int k = 1; k < spectrogramRows; ++k)
    {
        ASSERT_GE (binForRow (k), binForRow (k - 1)) << k;
        ASSERT_LE (binForRow (k), 768) << k;
    }
}

TEST (RecordedSpectrogram, LevelsFromSilenceToFullScale)
{
    const auto nan = std::numeric_limits<float>::quiet_NaN();
    const auto infinity = std::numeric_limits<float>::infinity();

    // Silence, and what is no magnitude at all, read -100 dB before the
    // full-scale offset: black.
    for (const auto v : { 0.0f, -1.0f, -2048.0f, nan, -infinity, 1.0e-30f })
        EXPECT_EQ (greyLevel (v, minDb, maxDb), 0) << v;

    // A full-scale sine (2048) is 0 dB: white; louder stays white.
    EXPECT_EQ (greyLevel (2048.0f, minDb, maxDb), 255);
    EXPECT_EQ (greyLevel (1.0e6f, minDb, maxDb), 255);
    EXPECT_EQ (greyLevel (infinity, minDb, maxDb), 255);

    // -50 dB: 127.5, truncated.
    EXPECT_EQ (greyLevel (2048.0f * std::pow (10.0f, -50.0f / 20.0f), minDb, maxDb), 127);

    // One in 2048 is -66.2 dB: 33.77 % of the range, 86.
    EXPECT_EQ (greyLevel (1.0f, minDb, maxDb), 86);
}

TEST (RecordedSpectrogram, OneColumnPerFrameOldestLeftHighestBinAtTheTop)
{
    std::vector<Frame> frames { uniformFrame (0.0f), uniformFrame (2048.0f), uniformFrame (0.0f) };
    frames[0][132] = 2048.0f; // bin 132: the middle row and a few around it
    frames[2][768] = 2048.0f; // the top row only

    const auto image = drawSpectrogram (frames, minDb, maxDb);
    ASSERT_TRUE (image.isValid());
    EXPECT_EQ (image.getFormat(), juce::Image::ARGB);
    EXPECT_EQ (image.getBounds(), juce::Rectangle<int> (3, 1024));

    for (int k = 0; k < spectrogramRows; ++k)
    {
        const auto y = 1023 - k;
        ASSERT_EQ (greyAt (image, 0, y), binForRow (k) == 132 ? 255 : 0) << k;
        ASSERT_EQ (greyAt (image, 1, y), 255) << k;
        ASSERT_EQ (greyAt (image, 2, y), k == 1023 ? 255 : 0) << k;
    }

    // Bins above 768 (and the upper half of a frame) never show.
    Frame high = uniformFrame (0.0f);
    std::fill (high.begin() + 769, high.end(), 2048.0f);
    const auto none = drawSpectrogram ({ high }, minDb, maxDb);
    for (int y = 0; y < spectrogramRows; ++y)
        ASSERT_EQ (greyAt (none, 0, y), 0) << y;
}

TEST (RecordedSpectrogram, NoFrameNoPicture)
{
    EXPECT_FALSE (drawSpectrogram ({}, minDb, maxDb).isValid());
}
