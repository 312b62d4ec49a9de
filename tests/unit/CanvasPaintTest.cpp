#include "CanvasTestSupport.h"

#include <atomic>
#include <thread>

using namespace kestrune::test;
using namespace kestrune::test::canvas;

namespace
{
    const juce::Colour black { 0xff000000 };
    const juce::Colour lightGreen { 0xff90ee90 };
    const juce::Colour yellow { 0xffffff00 };
    const juce::Colour fill = juce::Colour (0xff008000).withAlpha ((juce::uint8) 0x33);

    // Colour of a half-covered pixel: `c` at half its alpha over `under`.
    juce::Colour halfOver (juce::Colour under, juce::Colour c)
    {
        return under.overlaidWith (c.withMultipliedAlpha (0.5f));
    }

    bool isTeal (juce::Colour c)
    {
        return c.getGreen() > 60 && c.getBlue() > 60 && c.getRed() < c.getGreen() / 2;
    }

    int countWhere (const juce::Image& image, juce::Rectangle<int> area, std::function<bool (juce::Colour)> test)
    {
        int n = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                n += test (image.getPixelAt (x, y)) ? 1 : 0;
        return n;
    }

    // Pixels in `area` where the two images differ.
    int differingPixels (const juce::Image& a, const juce::Image& b, juce::Rectangle<int> area)
    {
        int differing = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                differing += a.getPixelAt (x, y) != b.getPixelAt (x, y) ? 1 : 0;
        return differing;
    }

    // No help text, and the scan lines off the canvas.
    void hideHelpTextAndScanLines (KestruneAudioProcessor& p)
    {
        p.showHelpText.store (false);
        p.scanColumnLeft.store (-100.0f);
        p.scanColumnRight.store (-100.0f);
    }

    // Nothing over the picture: no help text, no scan lines, no band.
    void showOnlyThePicture (KestruneAudioProcessor& p)
    {
        hideHelpTextAndScanLines (p);
        setPlain (p, "a_interval", 0.0f);
        setPlain (p, "b_interval", 0.0f);
    }

    void loadAndAdopt (KestruneAudioProcessor& p, const juce::String& name, const juce::MemoryBlock& bytes)
    {
        p.loadFile (writeBytes (name, bytes).getFullPathName(), true);
        ASSERT_TRUE (adoptPending (p));
        ASSERT_TRUE (settle (p));
    }
}

//==============================================================================
TEST (CanvasPaint, LinesBandEdgesAndHelpTextOverThePicture)
{
    Rig rig (480, 330); // the default black picture at its own size
    auto& p = rig.p();
    p.scanColumnLeft.store (40.0f);
    p.scanColumnRight.store (120.0f);
    p.showHelpText.store (false);

    auto image = paintOf (rig.canvas());
    auto at = [&image] (int x, int y) { return image.getPixelAt (x, y); };

    EXPECT_TRUE (near (at (300, 200), black)) << "the opaque picture covers the fill";

    // Scan lines 3 wide at 40 and 120, the dashed line at 80: dashes of 5
    // pixels from the top, every other one.
    EXPECT_TRUE (near (at (40, 200), lightGreen));
    EXPECT_TRUE (near (at (39, 200), lightGreen));
    EXPECT_TRUE (near (at (37, 200), black));
    EXPECT_TRUE (near (at (120, 200), yellow));
    EXPECT_TRUE (near (at (80, 2), halfOver (black, yellow), 3));
    EXPECT_TRUE (near (at (79, 12), halfOver (black, yellow), 3));
    EXPECT_TRUE (near (at (80, 7), black));
    EXPECT_TRUE (near (at (80, 17), black));

    // The band of 0.4 .. 0.6: columns 192 to 287 in translucent red, with
    // 1-pixel edges at 192 and 288 in light green at alpha 0xe6.
    const auto band = black.overlaidWith (juce::Colour (0xffff0000).withAlpha ((juce::uint8) 0x33));
    const auto edge = lightGreen.withAlpha ((juce::uint8) 0xe6);
    EXPECT_TRUE (near (at (240, 300), band));
    EXPECT_TRUE (near (at (194, 300), band));
    EXPECT_TRUE (near (at (286, 300), band));
    EXPECT_TRUE (near (at (191, 300), halfOver (black, edge), 3));
    EXPECT_TRUE (near (at (192, 300), halfOver (band, edge), 3));
    EXPECT_TRUE (near (at (289, 300), black));
    EXPECT_EQ (p.intervalStart.load(), (double) 0.4f);
    EXPECT_EQ (p.intervalEnd.load(), (double) 0.6f);

    // The help text sits top left in the main colour while it is asked for.
    const juce::Rectangle<int> textArea (0, 0, 240, 45);
    EXPECT_EQ (countWhere (image, textArea, isTeal), 0);

    p.showHelpText.store (true);
    image = paintOf (rig.canvas());
    EXPECT_GT (countWhere (image, textArea, isTeal), 50);
    EXPECT_EQ (countWhere (image, { 0, 60, 480, 270 }, isTeal), 0);
}

TEST (CanvasPaint, GridLinesAndBandEdgesInYellow)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    p.showHelpText.store (false);
    p.scanColumnLeft.store (0.0f);
    p.scanColumnRight.store (0.0f);
    setPlain (p, "refline3", 1.0f); // 8 cells of 60 pixels

    const auto image = paintOf (rig.canvas());
    const auto band = black.overlaidWith (juce::Colour (0xffff0000).withAlpha ((juce::uint8) 0x33));

    for (int i = 1; i < 8; ++i)
    {
        const int x = 60 * i;
        if (x >= 192 && x <= 288)
            continue; // inside the band, checked below
        EXPECT_TRUE (near (image.getPixelAt (x - 1, 100), halfOver (black, yellow), 3)) << x;
        EXPECT_TRUE (near (image.getPixelAt (x, 100), halfOver (black, yellow), 3)) << x;
        EXPECT_TRUE (near (image.getPixelAt (x + 3, 100), black)) << x;
    }

    EXPECT_TRUE (near (image.getPixelAt (191, 100), halfOver (black, yellow), 3));
    EXPECT_TRUE (near (image.getPixelAt (192, 100), halfOver (band, yellow), 3));
    EXPECT_TRUE (near (image.getPixelAt (240, 100), halfOver (band, yellow), 3));
    EXPECT_TRUE (near (image.getPixelAt (250, 100), band));
}

TEST (CanvasPaint, ThePictureIsStretchedOverTheWholeCanvas)
{
    Rig rig (240, 300);
    auto& p = rig.p();
    showOnlyThePicture (p);

    // 480 x 330 with the bottom-right quarter white; the canvas halves the
    // width and stretches the height by 300 / 330.
    juce::Image picture (juce::Image::RGB, 480, 330, true);
    picture.clear (picture.getBounds(), black);
    picture.clear ({ 240, 165, 240, 165 }, juce::Colours::white);
    loadAndAdopt (p, "quarter.png", encodePng (picture));

    // The first paint scales the picture itself; once the worker has made a
    // copy at the canvas size, that copy is laid on instead, to the same effect.
    const auto direct = paintOf (rig.canvas());
    ASSERT_TRUE (settle (p));
    ASSERT_TRUE (shownAt (p.finishedPicture, 240, 300).scaled);
    const auto viaCopy = paintOf (rig.canvas());

    for (const auto* image : { &direct, &viaCopy })
    {
        auto bright = [image] (int x, int y) { return image->getPixelAt (x, y).getBrightness() > 0.9f; };

        EXPECT_TRUE (bright (180, 250));
        EXPECT_TRUE (bright (125, 160));
        EXPECT_FALSE (bright (100, 250));
        EXPECT_FALSE (bright (180, 140));
        EXPECT_FALSE (bright (115, 160));
        EXPECT_TRUE (bright (239, 299));
    }

    EXPECT_EQ (differingPixels (direct, viaCopy, { 0, 0, 240, 300 }), 0);
}

// Laid on from the worker's copy, where the fill under the opaque part is left
// out, the canvas shows what it shows scaling the picture itself: for a small
// picture enlarged (edges soft over several pixels, the fill showing through
// them) and for one whose file has transparency of its own; at one pixel per
// point and at 1.5, where the opaque part's edges fall inside points.
TEST (CanvasPaint, TheCopyGivesTheSamePixelsAsScalingThePicture)
{
    for (const bool seeThrough : { false, true })
        for (const auto scale : { 1.0f, 1.5f })
        {
            SCOPED_TRACE (juce::String (seeThrough ? "with transparency" : "opaque") + " at " + juce::String (scale));
            Rig rig (400, 270);
            auto& p = rig.p();
            showOnlyThePicture (p);

            juce::Image picture (seeThrough ? juce::Image::ARGB : juce::Image::RGB, 48, 30, true);
            juce::Random random (11);
            for (int y = 0; y < 30; ++y)
                for (int x = 0; x < 48; ++x)
                    picture.setPixelAt (x, y, juce::Colour::greyLevel (random.nextFloat())
                                                  .withAlpha (seeThrough && (x + y) % 5 == 0 ? 0.3f : 1.0f));
            loadAndAdopt (p, seeThrough ? "small-alpha.png" : "small.png", encodePng (picture));

            const auto direct = paintOf (rig.canvas(), scale);
            ASSERT_TRUE (settle (p));
            const auto shown = shownAt (p.finishedPicture, direct.getWidth(), direct.getHeight());
            ASSERT_TRUE (shown.scaled);
            if (! seeThrough)
                EXPECT_FALSE (shown.opaqueArea.isEmpty());
            const auto viaCopy = paintOf (rig.canvas(), scale);

            EXPECT_EQ (differingPixels (direct, viaCopy, direct.getBounds()), 0);
        }

    // The fill is left out only under points whose pixels are all opaque:
    // at 1.5 pixels per point, a copy with a see-through margin of a pixel
    // on every side (the worker's copies are opaque at the left and the top,
    // but the canvas draws whatever it is given) keeps the fill under the
    // points the margin reaches into.
    EXPECT_EQ (TargetArea::pointsWithin ({ 1, 1, 598, 403 }, 1.5f).toString(),
               juce::Rectangle<int> (1, 1, 398, 268).toString());
    EXPECT_EQ (TargetArea::pointsWithin ({ 0, 0, 600, 405 }, 1.5f), juce::Rectangle<int> (0, 0, 400, 270));
}

// On a screen of several pixels per point the worker's copy has the screen's
// pixels: a picture of 1-pixel stripes, one per screen pixel across, stays
// as sharp as when the canvas draws the picture itself.
TEST (CanvasPaint, TheCopyHasThePixelsOfTheScreen)
{
    Rig rig (200, 120);
    auto& p = rig.p();
    showOnlyThePicture (p);

    for (const auto scale : { 2.0f, 1.5f })
    {
        SCOPED_TRACE ("scale " + juce::String (scale));
        const auto across = juce::roundToInt (200.0f * scale);
        juce::Image stripes (juce::Image::RGB, across, 120, true);
        for (int x = 0; x < across; x += 2)
            stripes.clear ({ x, 0, 1, 120 }, juce::Colours::white);
        loadAndAdopt (p, "stripes" + juce::String (across) + ".png", encodePng (stripes));

        const auto direct = paintOf (rig.canvas(), scale);
        ASSERT_TRUE (settle (p));
        const auto viaCopy = paintOf (rig.canvas(), scale);
        EXPECT_EQ (differingPixels (direct, viaCopy, direct.getBounds()), 0);

        // Neighbouring screen pixels across the middle row are black and white.
        int sharpEdges = 0;
        const auto y = viaCopy.getHeight() / 2;
        for (int x = 1; x < across; ++x)
            sharpEdges += std::abs (viaCopy.getPixelAt (x, y).getBrightness()
                                     - viaCopy.getPixelAt (x - 1, y).getBrightness()) > 0.9f ? 1 : 0;
        EXPECT_GE (sharpEdges, across - 3);

        const auto shown = shownAt (p.finishedPicture, across, viaCopy.getHeight());
        EXPECT_TRUE (shown.scaled);
        EXPECT_FALSE (shown.opaqueArea.isEmpty());
    }
}

TEST (CanvasPaint, WithoutAPictureOnlyTheTranslucentFill)
{
    Rig rig (200, 120);
    auto& p = rig.p();
    ASSERT_TRUE (p.showHelpText.load());
    p.scanColumnLeft.store (50.0f);

    // A file that does not decode leaves no picture after its adoption.
    const char text[] = "not a picture";
    p.loadFile (writeBytes ("notes.png", text, sizeof (text)).getFullPathName(), true);
    ASSERT_TRUE (adoptPending (p));
    ASSERT_TRUE (waitFor ([&p] { return ! p.finishedPicture.latest().isValid(); }));

    const auto image = paintOf (rig.canvas());
    const auto first = image.getPixelAt (0, 0);
    EXPECT_TRUE (near (first, fill, 4)) << first.toString(); // premultiplied rounding
    EXPECT_EQ (countWhere (image, image.getBounds(), [first] (juce::Colour c) { return c != first; }), 0);
}

TEST (CanvasPaint, RecordingScreenShowsTheBarOfTheCaptureOnly)
{
    Rig rig (400, 200);
    auto& p = rig.p();
    setPlain (p, "barduratiom", 4.0f);
    p.scanPhase.store (5.0f);
    p.scanColumnLeft.store (100.0f);
    setPlain (p, "refline2", 1.0f);
    p.recordCapturing.store (true);

    const auto image = paintOf (rig.canvas());

    // What the screen holds: black, and the two lines in red at a tenth of the width.
    juce::Image expected (juce::Image::ARGB, 400, 200, true);
    {
        juce::Graphics g (expected);
        g.fillAll (black);
        g.setColour (juce::Colours::red);
        g.setFont (juce::Font (40.0f));
        g.drawFittedText ("Recording...", 0, 0, 400, 100, juce::Justification::centredBottom, 1, 1.0f);
        g.drawFittedText ("Bar: 2 of 4 Bars", 0, 100, 400, 100, juce::Justification::centredTop, 1, 1.0f);
    }

    EXPECT_EQ (differingPixels (image, expected, { 0, 0, 400, 200 }), 0);
    EXPECT_EQ (countWhere (image, image.getBounds(), [] (juce::Colour c) { return c.getGreen() > 0 || c.getBlue() > 0; }), 0);
    EXPECT_GT (countWhere (image, { 0, 0, 400, 100 }, [] (juce::Colour c) { return c.getRed() > 200; }), 100);

    // Bar 1 at the start of the capture.
    p.scanPhase.store (3.9f);
    EXPECT_GT (differingPixels (paintOf (rig.canvas()), image, { 0, 100, 400, 100 }), 0);
}

TEST (CanvasPaint, ShapePreviewWhileDrawing)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    hideHelpTextAndScanLines (p);
    setPlain (p, "penStyle", 4.0f); // FillRect

    Gesture gesture (rig.canvas());
    gesture.press (100, 100, left | shift).drag (150, 130, left | shift);

    auto image = paintOf (rig.canvas());
    EXPECT_TRUE (near (image.getPixelAt (125, 115), yellow));
    EXPECT_TRUE (near (image.getPixelAt (150, 130), yellow)) << "one pixel more than the distance";
    EXPECT_TRUE (near (image.getPixelAt (152, 115), black));

    // Shift let go: the stroke has ended and its preview goes.
    gesture.drag (150, 131, left);
    image = paintOf (rig.canvas());
    EXPECT_TRUE (near (image.getPixelAt (125, 115), black));
    gesture.release (150, 131, left);

    // Spray: each dot as one pixel at its truncated position.
    setPlain (p, "penStyle", 6.0f);
    setPlain (p, "penTickness", 30.0f);
    gesture.press (390, 200, left | shift).drag (400, 210, left | shift);
    image = paintOf (rig.canvas());
    ASSERT_EQ (rig.canvas().sprayPoints.size(), 12u);
    for (const auto& dot : rig.canvas().sprayPoints)
        EXPECT_TRUE (near (image.getPixelAt ((int) dot.x, (int) dot.y), yellow)) << dot.toString();
    gesture.release (400, 210, left | shift);
}

TEST (CanvasPaint, BandFollowsASelectionInProgress)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    hideHelpTextAndScanLines (p);

    Gesture gesture (rig.canvas());
    gesture.press (300, 100, left).drag (100, 100, left);

    const auto image = paintOf (rig.canvas());
    const auto band = black.overlaidWith (juce::Colour (0xffff0000).withAlpha ((juce::uint8) 0x33));
    EXPECT_TRUE (near (image.getPixelAt (102, 50), band));
    EXPECT_TRUE (near (image.getPixelAt (298, 50), band));
    EXPECT_TRUE (near (image.getPixelAt (97, 50), black));
    EXPECT_TRUE (near (image.getPixelAt (303, 50), black));
    gesture.release (100, 100, left);
}

//==============================================================================
TEST (CanvasPaint, NeverWaitsForAPassInProgress)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    p.showHelpText.store (false);
    setPlain (p, "penStyle", 4.0f);
    Gesture (rig.canvas()).press (100, 100, left | shift).drag (200, 200, left | shift).release (200, 200, left | shift);
    ASSERT_TRUE (settle (p));

    // Another thread holds the pipeline lock, as the worker does for a whole pass.
    std::atomic<bool> locked { false }, holding { true }, letGo { false };
    std::thread holder ([&]
    {
        const juce::ScopedLock sl (criticalSection);
        locked = true;
        for (int i = 0; i < 4000 && ! letGo.load(); ++i)
            juce::Thread::sleep (1);
        holding = false;
    });

    while (! locked.load())
        juce::Thread::yield();

    juce::Image image;
    for (int i = 0; i < 3; ++i)
        image = paintOf (rig.canvas());

    EXPECT_TRUE (holding.load()) << "painting waited for the lock";
    letGo = true;
    holder.join();

    EXPECT_TRUE (near (image.getPixelAt (150, 150), juce::Colours::white));
    EXPECT_TRUE (near (image.getPixelAt (300, 150), black));
}

TEST (CanvasPaint, WhilePassesRunAndAudioPlays)
{
    // The canvas paints and takes strokes while the worker renders and the
    // audio thread filters (this is what the ThreadSanitizer build checks).
    Rig rig (480, 330);
    auto& p = rig.p();
    p.prepareToPlay (48000.0, 512);

    std::atomic<bool> stop { false };
    std::thread audio ([&]
    {
        juce::AudioBuffer<float> block (2, 512);
        juce::MidiBuffer midi;
        while (! stop.load())
        {
            block.clear();
            block.setSample (0, 0, 0.5f);
            p.processBlock (block, midi);
        }
    });

    setPlain (p, "penStyle", 4.0f);
    const auto end = juce::Time::getMillisecondCounterHiRes() + 400.0;
    for (int i = 0; juce::Time::getMillisecondCounterHiRes() < end; ++i)
    {
        setPlain (p, "brightness", (float) (i % 10) * 0.01f);
        paintOf (*rig.frame);
        paintOf (rig.canvas());
        Gesture (rig.canvas()).press (10 + i % 400, 10, left | shift).drag (20 + i % 400, 40, left | shift)
                              .release (20 + i % 400, 40, left | shift);
        wheel (rig.canvas(), i % 2 == 0 ? 0.01f : -0.01f);
    }

    stop = true;
    audio.join();
    ASSERT_TRUE (settle (p));
    EXPECT_TRUE (p.finishedPicture.latest().isValid());
}
