#include "TestSupport.h"
#include "AheadEncoder.h"

#include <memory>
#include <vector>

using namespace kestrune::test;

// A picture dropped before its turn is neither encoded nor kept alive, the
// others are made; an encoder destroyed with work waiting returns once the
// encoding under way is done.
TEST (AheadEncoder, MakesWhatIsStillWantedAndLetsGoOfTheRest)
{
    auto picture = [] (int w, int h) { juce::Image image (juce::Image::ARGB, w, h, true); image.clear ({ w / 2, h }, juce::Colours::white); return image; };
    std::vector<std::shared_ptr<PictureBytes>> kept;
    std::weak_ptr<PictureBytes> dropped;
    {
        AheadEncoder encoder;

        for (int i = 0; i < 4; ++i)
        {
            auto bytes = std::make_shared<PictureBytes> (picture (300 + i, 200));
            encoder.post (bytes);
            (i == 1 ? dropped = bytes : kept.emplace_back (bytes));
        }

        EXPECT_TRUE (waitFor ([&] { for (auto& b : kept) if (b->get() == nullptr) return false; return true; }));
        EXPECT_TRUE (dropped.expired());

        for (int i = 0; i < 8; ++i)
            encoder.post (kept.emplace_back (std::make_shared<PictureBytes> (picture (2000, 512))));
    }
}
