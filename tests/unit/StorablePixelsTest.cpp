#include "PictureTestSupport.h"
#include "PictureFiles.h"
#include "StorablePixels.h"

using namespace kestrune::test;
namespace pictures = kestrune::pictures;

namespace
{
    // Every alpha (rows) with every premultiplied level up to it (columns).
    juce::Image everyTranslucentColour()
    {
        juce::Image image (juce::Image::ARGB, 256, 256, true);
        juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
        for (int alpha = 0; alpha < 256; ++alpha)
            for (int level = 0; level <= alpha; ++level)
                *reinterpret_cast<juce::PixelARGB*> (data.getPixelPointer (level, alpha))
                    = juce::PixelARGB ((juce::uint8) alpha, (juce::uint8) level, (juce::uint8) (alpha - level), (juce::uint8) (level / 2));
        return image;
    }

    juce::Image throughFile (const juce::Image& image)
    {
        juce::MemoryBlock png;
        EXPECT_TRUE (pictures::encodePng (image, png));
        return pictures::decodePicture (png.getData(), png.getSize());
    }

    int largestStep (const juce::Image& a, const juce::Image& b)
    {
        int largest = 0;
        const juce::Image::BitmapData da (a, juce::Image::BitmapData::readOnly), db (b, juce::Image::BitmapData::readOnly);
        for (int y = 0; y < a.getHeight(); ++y)
            for (int x = 0; x < a.getWidth(); ++x)
            {
                // The stored (premultiplied) values, not colours worked out from them.
                const auto& p = *reinterpret_cast<const juce::PixelARGB*> (da.getPixelPointer (x, y));
                const auto& q = *reinterpret_cast<const juce::PixelARGB*> (db.getPixelPointer (x, y));
                for (auto step : { p.getRed() - q.getRed(), p.getGreen() - q.getGreen(), p.getBlue() - q.getBlue(), p.getAlpha() - q.getAlpha() })
                    largest = juce::jmax (largest, std::abs (step));
            }
        return largest;
    }
}

// A plain PNG round trip changes many translucent colours; ours gives every
// storable one back exactly, and storable is never more than a step away.
TEST (StorablePixels, TranslucentColoursComeBackExactly)
{
    const auto all = everyTranslucentColour();
    ASSERT_FALSE (sameImage (pictures::decodePicture (encodePng (all).getData(), encodePng (all).getSize()), all))
        << "JUCE's own round trip is not exact";

    auto storable = all.createCopy();
    pictures::makeStorable (storable);
    EXPECT_LE (largestStep (all, storable), 1);
    EXPECT_FALSE (pictures::isStorable (all));
    EXPECT_TRUE (pictures::isStorable (storable));

    EXPECT_TRUE (sameImage (throughFile (storable), storable));
    EXPECT_TRUE (sameImage (throughFile (all), storable)) << "what is not storable comes back as made storable";
}
