#include "TestSupport.h"
#include "AheadEncoder.h"

#include <memory>
#include <vector>

using namespace kestrune::test;

// A picture dropped while it waits for its turn is not kept alive; the
// others are made in turn; an encoder destroyed with work waiting returns
// once the encoding under way is done.
TEST (AheadEncoder, MakesWhatIsStillWantedAndLetsGoOfTheRest)
{
    auto picture = [] (int w, int h) { juce::Image image (juce::Image::ARGB, w, h, true); image.clear ({ w / 2, h }, juce::Colours::white); return image; };
    std::vector<std::shared_ptr<PictureBytes>> wanted { std::make_shared<PictureBytes> (picture (4000, 2000)) };
    AheadEncoder encoder;
    encoder.post (wanted[0]); // keeps the thread busy a while

    std::weak_ptr<PictureBytes> dropped;
    {
        const auto bytes = std::make_shared<PictureBytes> (picture (300, 200));
        encoder.post (bytes);
        dropped = bytes;
    }
    EXPECT_TRUE (dropped.expired());

    encoder.post (wanted.emplace_back (std::make_shared<PictureBytes> (picture (301, 200))));
    EXPECT_TRUE (waitFor ([&] { return wanted[0]->get() != nullptr && wanted[1]->get() != nullptr; }));

    for (int i = 0; i < 8; ++i)
        encoder.post (wanted.emplace_back (std::make_shared<PictureBytes> (picture (2000, 512))));
}
