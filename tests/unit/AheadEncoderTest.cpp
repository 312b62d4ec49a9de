#include "TestSupport.h"
#include "AheadEncoder.h"
#include "StorablePixels.h"

#include <memory>
#include <vector>

using namespace kestrune::test;

namespace
{
    juce::Image stripes (int w, int h, int seed)
    {
        juce::Image image (juce::Image::ARGB, w, h, true);
        juce::Graphics g (image);
        for (int x = 0; x < w; x += 3)
        {
            g.setColour (juce::Colour::greyLevel ((float) ((x * seed) % 256) / 255.0f));
            g.fillRect (x, 0, 2, h);
        }
        return image;
    }
}

// Pictures handed to the encoder get exactly the PNG a save would make of
// them; one dropped before its turn is not kept alive; an encoder destroyed
// with work waiting returns once the encoding under way is done.
TEST (AheadEncoder, MakesEachPngASaveWouldAndLetsGoOfWhatIsDropped)
{
    std::vector<std::shared_ptr<PictureBytes>> kept;
    std::vector<int> keptSeeds;
    std::weak_ptr<PictureBytes> dropped;
    {
        AheadEncoder encoder;

        for (int i = 1; i <= 4; ++i)
        {
            auto bytes = std::make_shared<PictureBytes> (stripes (300 + i, 200, i));
            encoder.post (bytes);

            if (i == 2)
            {
                dropped = bytes;
            }
            else
            {
                kept.push_back (bytes);
                keptSeeds.push_back (i);
            }
        }

        EXPECT_TRUE (waitFor ([&] { for (auto& b : kept) if (b->get() == nullptr) return false; return true; }));
        EXPECT_TRUE (dropped.expired());

        for (size_t i = 0; i < kept.size(); ++i)
        {
            juce::MemoryBlock png;
            ASSERT_TRUE (kestrune::pictures::encodePng (stripes (300 + keptSeeds[i], 200, keptSeeds[i]), png));
            EXPECT_EQ (*kept[i]->get(), png);
        }

        // Destroyed with more to do.
        for (int i = 0; i < 8; ++i)
        {
            kept.push_back (std::make_shared<PictureBytes> (stripes (2000, 512, i + 5)));
            encoder.post (kept.back());
        }
    }

    // Bytes of a file are there at once and never encoded.
    const auto file = std::make_shared<const juce::MemoryBlock> ("not a picture", 13);
    PictureBytes ofFile (file);
    ofFile.encode();
    EXPECT_EQ (ofFile.get(), file);
}
