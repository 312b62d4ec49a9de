#include "EditorTestSupport.h"

using namespace kestrune::test;

namespace
{
    const juce::Colour background { 0xff141414 };
    const juce::Colour accent { 0xff20b2aa };
    const juce::Colour grey { 0xff808080 };

    // A one-pixel line on a whole coordinate covers half of each pixel beside it.
    const juce::Colour halfLine = background.interpolatedWith (accent, 0.5f);

    ::testing::AssertionResult pixelIs (const juce::Image& image, int x, int y, juce::Colour expected, int tolerance = 2)
    {
        const auto actual = image.getPixelAt (x, y);
        if (coloursNear (actual, expected, tolerance))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << describe (actual)
                                             << ", expected " << describe (expected);
    }

    // The brightest pixel of an area, by the sum of its channels.
    juce::Colour brightestIn (const juce::Image& image, juce::Rectangle<int> area)
    {
        juce::Colour best = juce::Colours::black;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
            {
                const auto c = image.getPixelAt (x, y);
                if (c.getRed() + c.getGreen() + c.getBlue() > best.getRed() + best.getGreen() + best.getBlue())
                    best = c;
            }
        return best;
    }

    // Whether any pixel of an area is within `tolerance` of `colour`.
    bool contains (const juce::Image& image, juce::Rectangle<int> area, juce::Colour colour, int tolerance)
    {
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (coloursNear (image.getPixelAt (x, y), colour, tolerance))
                    return true;
        return false;
    }

    int pixelsOtherThan (const juce::Image& image, juce::Rectangle<int> area, juce::Colour colour)
    {
        int count = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (! coloursNear (image.getPixelAt (x, y), colour, 1))
                    ++count;
        return count;
    }
}

TEST (EditorPaint, BackgroundArrowsAndVersionAtTheDefaultSize)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);
    ASSERT_EQ (editor->getLocalBounds(), juce::Rectangle<int> (950, 534));

    const auto image = paintOwn (*editor, juce::Colours::red);

    // The fill covers the whole window.
    EXPECT_TRUE (pixelIs (image, 0, 0, background, 0));
    EXPECT_TRUE (pixelIs (image, 949, 533, background, 0));
    EXPECT_TRUE (pixelIs (image, 700, 200, background, 0));

    // Canvas frame (20, 0, 514, 380): the vertical axis runs up x = 16 from
    // y 385 to its head at the top, the horizontal one along y = 384 to its
    // head at x 534.
    EXPECT_TRUE (pixelIs (image, 15, 200, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 16, 200, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 14, 200, background, 0));
    EXPECT_TRUE (pixelIs (image, 17, 200, background, 0));
    EXPECT_TRUE (pixelIs (image, 16, 5, accent, 1));          // inside the head
    EXPECT_TRUE (pixelIs (image, 10, 5, background, 0));      // beside it
    EXPECT_TRUE (pixelIs (image, 200, 383, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 200, 384, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 200, 382, background, 0));
    EXPECT_TRUE (pixelIs (image, 200, 385, background, 0));
    EXPECT_TRUE (pixelIs (image, 529, 383, accent, 1));       // inside the head
    EXPECT_TRUE (pixelIs (image, 536, 384, background, 0));   // past the tip
    EXPECT_TRUE (pixelIs (image, 15, 386, background, 0));    // below the start

    // Spectrum view (20, 400, 514, 114): from (16, 519) up to (16, 400) and
    // from (16, 518) to (534, 518).
    EXPECT_TRUE (pixelIs (image, 16, 470, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 16, 405, accent, 1));
    EXPECT_TRUE (pixelIs (image, 16, 395, background, 0));    // between the two arrows
    EXPECT_TRUE (pixelIs (image, 300, 517, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 300, 518, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 529, 517, accent, 1));

    // The version text, grey, inside (0, 519, 70, 15) and nowhere else below
    // the spectrum arrow.
    const juce::Rectangle<int> versionArea (0, 519, 70, 15);
    EXPECT_TRUE (coloursNear (brightestIn (image, versionArea), grey, 12)) << describe (brightestIn (image, versionArea));
    EXPECT_GT (pixelsOtherThan (image, versionArea, background), 40);
    EXPECT_EQ (pixelsOtherThan (image, { 70, 519, 440, 15 }, background), 0);
}

TEST (EditorPaint, ArrowsFollowTheLayoutAtTheLimits)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);

    // 760 x 427: canvas frame (20, 0, 407, 300), spectrum view (20, 320, 407, 87).
    editor->setSize (760, 427);
    auto small = paintOwn (*editor);
    EXPECT_TRUE (pixelIs (small, 16, 150, halfLine, 3));
    EXPECT_TRUE (pixelIs (small, 200, 304, halfLine, 3));
    EXPECT_TRUE (pixelIs (small, 422, 303, accent, 1));
    EXPECT_TRUE (pixelIs (small, 200, 411, halfLine, 3));
    EXPECT_TRUE (pixelIs (small, 200, 406, background, 0));
    EXPECT_GT (pixelsOtherThan (small, { 0, 412, 70, 15 }, background), 40);

    // 1187 x 667: canvas frame (20, 0, 647, 480), spectrum view (20, 500, 647, 147).
    editor->setSize (1187, 667);
    auto large = paintOwn (*editor);
    EXPECT_TRUE (pixelIs (large, 16, 250, halfLine, 3));
    EXPECT_TRUE (pixelIs (large, 300, 484, halfLine, 3));
    EXPECT_TRUE (pixelIs (large, 662, 483, accent, 1));
    EXPECT_TRUE (pixelIs (large, 300, 651, halfLine, 3));
    EXPECT_GT (pixelsOtherThan (large, { 0, 652, 70, 15 }, background), 40);
}

TEST (EditorPaint, WholeWindowShowsTheArrowsCaptionsAndButtons)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);
    const auto image = snapshot (*editor);

    // No child covers the arrows or the version text.
    EXPECT_TRUE (pixelIs (image, 15, 30, halfLine, 3));
    EXPECT_TRUE (pixelIs (image, 300, 518, halfLine, 3));
    EXPECT_TRUE (coloursNear (brightestIn (image, { 0, 519, 20, 15 }), grey, 12));

    // Captions in the accent colour: under the canvas frame, under the
    // spectrum view, and upright in the strip at the left.
    EXPECT_TRUE (contains (image, { 20, 385, 514, 15 }, accent, 8));
    EXPECT_TRUE (contains (image, { 20, 519, 514, 15 }, accent, 8));
    EXPECT_TRUE (contains (image, { 0, 150, 14, 100 }, accent, 8));
    EXPECT_TRUE (contains (image, { 0, 420, 14, 80 }, accent, 8));

    // Button texts in the accent colour on a see-through button.
    for (auto* button : { &editor->resetAllButton, &editor->resetDrawingButton, &editor->openImageButton })
    {
        const auto b = button->getBounds();
        EXPECT_TRUE (contains (image, b.reduced (4), accent, 8)) << button->getButtonText();
        EXPECT_TRUE (pixelIs (image, b.getCentreX(), b.getY() + 4, background, 2)) << button->getButtonText();
    }
}

// The window and the spectrum view declare themselves opaque, so JUCE paints
// nothing behind them: their own paints must cover every pixel with an
// opaque colour, at every size, or whatever was there before would show.
TEST (EditorPaint, OpaqueComponentsCoverEveryPixelTheyOwn)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);
    ASSERT_TRUE (editor->isOpaque());
    ASSERT_TRUE (editor->spectrumView.isOpaque());

    auto firstSeeThrough = [] (juce::Component& c, std::function<void (juce::Graphics&)> paint) -> juce::String
    {
        juce::Image image (juce::Image::ARGB, c.getWidth(), c.getHeight(), true); // transparent
        {
            juce::Graphics g (image);
            paint (g);
        }
        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
                if (image.getPixelAt (x, y).getAlpha() != 255)
                    return juce::String (x) + ", " + juce::String (y);
        return {};
    };

    for (const auto& size : { juce::Point<int> (760, 428), juce::Point<int> (950, 534), juce::Point<int> (1187, 667) })
    {
        editor->setSize (size.x, size.y);
        auto& view = editor->spectrumView;
        view.timerCallback();

        EXPECT_EQ (firstSeeThrough (*editor, [&] (juce::Graphics& g) { editor->paint (g); }), juce::String())
            << "window at " << size.x << " x " << size.y;
        EXPECT_EQ (firstSeeThrough (view, [&] (juce::Graphics& g) { view.paint (g); }), juce::String())
            << "spectrum view at " << size.x << " x " << size.y;
    }
}
