#include "RecordedSpectrogram.h"

#include <array>
#include <cmath>

namespace kestrune::recording
{
    namespace
    {
        // 20 log10 (2048): the level of a full-scale sine in the 2048-point
        // transform, as a single-precision constant.
        constexpr float fullScaleDb = 66.22659f;

        // Bins above this never appear in a spectrogram.
        constexpr int highestBin = 768;

        const std::array<int, spectrogramRows>& rowBins()
        {
            static const auto table = []
            {
                std::array<int, spectrogramRows> bins {};

                for (int k = 0; k < spectrogramRows; ++k)
                {
                    // 1024 (1 - (1 - k / 1024)^0.2) in double, then as a float, truncated.
                    const auto fromTop = (double) k * -0.0009765625 + 1.0;
                    bins[(size_t) k] = (int) (float) (1024.0 * (1.0 - std::pow (fromTop, 0.2)));
                }

                return bins;
            }();

            return table;
        }
    }

    int binForRow (int k) noexcept
    {
        return rowBins()[(size_t) juce::jlimit (0, spectrogramRows - 1, k)];
    }

    int greyLevel (float magnitude, float minDb, float maxDb) noexcept
    {
        auto db = -100.0f;

        if (magnitude > 0.0f)
            db = juce::jmax (20.0f * std::log10 (magnitude), -100.0f);

        db = juce::jlimit (minDb, maxDb, db - fullScaleDb);

        if (! (maxDb > minDb))
            return db >= maxDb ? 255 : 0;

        return juce::jlimit (0, 255, (int) ((db - minDb) / (maxDb - minDb) * 255.0f));
    }

    juce::Image drawSpectrogram (const std::vector<RecordedFrameStore::Frame>& frames, float minDb, float maxDb)
    {
        if (frames.empty())
            return {};

        const auto& bins = rowBins();
        juce::Image image (juce::Image::ARGB, (int) frames.size(), spectrogramRows, true);
        juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
        std::array<juce::uint8, highestBin + 1> greys {};

        for (int c = 0; c < data.width; ++c)
        {
            const auto& frame = frames[(size_t) c];

            for (int bin = 0; bin <= highestBin; ++bin)
                greys[(size_t) bin] = (juce::uint8) greyLevel (frame[(size_t) bin], minDb, maxDb);

            for (int k = 0; k < spectrogramRows; ++k)
            {
                const auto g = greys[(size_t) bins[(size_t) k]];
                data.setPixelColour (c, spectrogramRows - 1 - k, juce::Colour (g, g, g, (juce::uint8) 255));
            }
        }

        return image;
    }
}
