#include "TestSupport.h"
#include "TypicalStroke.h"

#include <map>

using namespace kestrune::test;

TEST (LayerSnapshot, RestoresExactPixelsOfAnyLayer)
{
    juce::Random rng (1234);

    // A busy ARGB layer of odd size, a plain RGB one and a one-channel one.
    juce::Image argb (juce::Image::ARGB, 333, 77, true);
    {
        juce::Graphics g (argb);
        for (int i = 0; i < 40; ++i)
        {
            g.setColour (juce::Colour ((juce::uint32) rng.nextInt()).withAlpha ((juce::uint8) rng.nextInt (256)));
            g.fillEllipse ((float) rng.nextInt (333), (float) rng.nextInt (77), 30.5f, 12.25f);
        }
    }
    juce::Image rgb (juce::Image::RGB, 7, 3, false);
    juce::Image single (juce::Image::SingleChannel, 5, 1, false);
    for (auto* img : { &rgb, &single })
        for (int y = 0; y < img->getHeight(); ++y)
            for (int x = 0; x < img->getWidth(); ++x)
                img->setPixelAt (x, y, juce::Colour ((juce::uint32) rng.nextInt()));

    for (auto* img : { &argb, &rgb, &single })
    {
        const LayerSnapshot snap (*img);
        auto back = snap.restore();
        EXPECT_TRUE (sameImage (back, *img)) << img->getWidth() << " x " << img->getHeight();
        EXPECT_FALSE (back == *img) << "a restore is a copy of its own";

        // Drawing into a restored layer leaves the snapshot as it was.
        back.clear (back.getBounds(), juce::Colours::red);
        EXPECT_TRUE (sameImage (snap.restore(), *img));

        // Copies share the packed pixels and restore the same layer.
        const LayerSnapshot copy = snap;
        EXPECT_TRUE (sameImage (copy.restore(), *img));
    }

    const LayerSnapshot empty { juce::Image() };
    EXPECT_FALSE (empty.restore().isValid());
    EXPECT_EQ (empty.bytes(), 0u);
    EXPECT_FALSE (LayerSnapshot().restore().isValid());
}

TEST (LayerSnapshot, StepsRestoreExactlyAlongTheirChain)
{
    // Small changes anywhere, corners included, over more steps than lie
    // between two whole layers; also steps that change nothing.
    juce::Random rng (5);
    juce::Image layer (juce::Image::ARGB, 37, 23, true);
    std::vector<juce::Image> layers { layer.createCopy() };
    std::vector<LayerSnapshot> steps { LayerSnapshot (layer) };

    const juce::Point<int> corners[] = { { 0, 0 }, { 36, 0 }, { 0, 22 }, { 36, 22 } };

    for (int i = 0; i < 75; ++i)
    {
        if (i % 7 != 3)
        {
            const auto at = i < 4 ? corners[i] : juce::Point<int> (rng.nextInt (37), rng.nextInt (23));
            const auto w = 1 + rng.nextInt (3), h = 1 + rng.nextInt (3);
            layer.clear ({ at.x, at.y, w, h }, juce::Colour ((juce::uint32) rng.nextInt()));
        }

        steps.emplace_back (layer, steps.back());
        layers.push_back (layer.createCopy());
        ASSERT_TRUE (sameImage (steps.back().restore(), layer)) << "step " << i;
    }

    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_TRUE (sameImage (steps[i].restore(), layers[i])) << "step " << i;

    // A step after nothing, or after a layer of another size, stands on its own.
    const LayerSnapshot afterNothing (layer, LayerSnapshot());
    EXPECT_TRUE (sameImage (afterNothing.restore(), layer));
    const LayerSnapshot afterOtherSize (layer, LayerSnapshot (juce::Image (juce::Image::ARGB, 10, 10, true)));
    EXPECT_TRUE (sameImage (afterOtherSize.restore(), layer));
    EXPECT_FALSE (LayerSnapshot (juce::Image(), steps.back()).restore().isValid());
}

TEST (LayerSnapshot, TypicalStrokesOnWidePictureCostLittle)
{
    // Hand-drawn squiggles on a 1500 x 512 layer (3 MB of pixels), each kept
    // as drawShape keeps it.
    juce::Image layer (juce::Image::ARGB, 1500, 512, true);
    juce::Random rng (99);
    std::vector<LayerSnapshot> history { LayerSnapshot (layer) };
    std::map<size_t, juce::Image> kept;
    size_t total = 0;

    for (size_t s = 1; s <= 34; ++s)
    {
        kestrune::test::drawTypicalStroke (layer, rng);

        history.emplace_back (layer, history.back());
        total += history.back().bytes();

        if (s == 1 || s == 31 || s == 32 || s == 33)
            kept[s] = layer.createCopy();
    }

    ASSERT_TRUE (sameImage (history.back().restore(), layer));
    for (const auto& [step, image] : kept)
        EXPECT_TRUE (sameImage (history[step].restore(), image)) << "step " << step;

    EXPECT_LT (total / 34, (size_t) 64 * 1024) << "bytes per stroke: " << total / 34;
}
