#include "BandWorkers.h"
#include "FinishedPicture.h"
#include "ImageBands.h"
#include "TransformedFill.h"
#include "TestSupport.h"

#include <random>

using namespace kestrune::test;

namespace
{
    using Quality = juce::Graphics::ResamplingQuality;
    constexpr Quality qualities[] = { juce::Graphics::lowResamplingQuality, juce::Graphics::mediumResamplingQuality,
                                      juce::Graphics::highResamplingQuality };

    // Every pixel a random level (in ARGB some not opaque, some transparent),
    // with hard-edged blocks of black and white over it.
    juce::Image testPicture (juce::Image::PixelFormat format, int w, int h, unsigned seed)
    {
        juce::Image image (format, w, h, true);
        std::mt19937 rng (seed);
        std::uniform_int_distribution<int> level (0, 255);

        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
            {
                const int block = ((x / 7) + (y / 5)) % 4;
                auto a = (juce::uint8) 255;

                if (format == juce::Image::ARGB && (x * 3 + y) % 7 == 0)
                    a = (juce::uint8) ((x + y) % 2 == 0 ? 0 : level (rng));

                const auto c = block == 0 ? juce::Colour ((juce::uint8) 0, (juce::uint8) 0, (juce::uint8) 0, a)
                             : block == 1 ? juce::Colour ((juce::uint8) 255, (juce::uint8) 255, (juce::uint8) 255, a)
                                          : juce::Colour ((juce::uint8) level (rng), (juce::uint8) level (rng),
                                                          (juce::uint8) level (rng), a);
                image.setPixelAt (x, y, c);
            }

        return image;
    }

    // The views the pipeline sets up: rotation about the work picture's centre
    // (quarter turns as 1.57, 3.14, 4.71, plus a fine angle), a shift by a
    // share of its size, then zoom and skew about the centre.
    juce::AffineTransform viewOf (int w, int h, float angle, float shiftX, float shiftY, float zoom, float skewX, float skewY)
    {
        const auto cx = (float) (w / 2), cy = (float) (h / 2);
        return juce::AffineTransform::rotation (angle, cx, cy)
                   .translated (shiftX * (float) w, shiftY * (float) h)
                   .scaled (1.0f + zoom + skewX, 1.0f + zoom + skewY, cx, cy);
    }

    std::vector<juce::AffineTransform> transformsFor (int w, int h, int destW, int destH)
    {
        const auto cx = (float) (w / 2), cy = (float) (h / 2);
        const float fine = 10.0f * 1.57f / 90.0f;
        std::vector<juce::AffineTransform> list;

        for (const double quarter : { 0.0, 1.57, 3.14, 4.71 })
        {
            list.push_back (viewOf (w, h, (float) quarter, 0, 0, 0, 0, 0));
            list.push_back (viewOf (w, h, (float) ((double) fine + quarter), 0, 0, 0.3f, 0, 0));
            list.push_back (viewOf (w, h, (float) ((double) -fine + quarter), 0.13f, -0.07f, -0.4f, 0.2f, 0));
        }

        // Zoom, shifts, skews alone and together.
        list.push_back (viewOf (w, h, 0, 0, 0, 0.3f, 0, 0));
        list.push_back (viewOf (w, h, 0, 0, 0, 2.5f, 0, 0));
        list.push_back (viewOf (w, h, 0, 0, 0, -0.75f, 0, 0));
        list.push_back (viewOf (w, h, 0, 0.21f, 0.34f, 0, 0, 0));
        list.push_back (viewOf (w, h, 0, -0.5f, 0, 0, 0, 0));
        list.push_back (viewOf (w, h, 0, 0, 0, 0, 0.6f, -0.3f));
        list.push_back (viewOf (w, h, 0.02f, 0.01f, 0, 0.01f, 0, 0.02f));
        list.push_back (juce::AffineTransform::shear (0.3f, 0.1f).translated (-3.5f, 2.25f));
        list.push_back (juce::AffineTransform::scale (-1.0f, 1.0f, cx, cy));            // mirrored
        list.push_back (juce::AffineTransform::scale (1.0f, -0.5f, cx, cy));

        // Sub-pixel shifts: drawn by resampling, except within the renderer's
        // tolerance of a whole pixel (a copy, which JUCE draws itself).
        list.push_back (juce::AffineTransform::translation (0.4f, 0.7f));
        list.push_back (juce::AffineTransform::translation (-2.25f, 3.5f));
        list.push_back (juce::AffineTransform::translation (3.0f, 5.0f));
        list.push_back (juce::AffineTransform::translation (0.1f, 0.0f));

        // Near-degenerate views: almost nothing of the picture, or a sliver of
        // it stretched over everything; a singular one draws nothing.
        list.push_back (viewOf (w, h, 0, 0, 0, -0.999f, 0, 0));
        list.push_back (viewOf (w, h, 0.7f, 0, 0, 0, -0.9999f, 0));
        list.push_back (viewOf (w, h, 0, 0, 0, 0, 0, 60.0f));
        list.push_back (juce::AffineTransform::scale (1000.0f, 0.001f, cx, cy));
        list.push_back (juce::AffineTransform::shear (40.0f, 0.0f));
        list.push_back (juce::AffineTransform::scale (0.0f, 1.0f));

        // The reduction's shrink and stretch, and the window's copy.
        const int rw = juce::jmax (1, w / 2), rh = juce::jmax (1, h / 3);
        list.push_back (juce::AffineTransform::scale ((float) rw / (float) w, (float) rh / (float) h));
        list.push_back (juce::AffineTransform::scale ((float) w / (float) rw, (float) h / (float) rh));
        list.push_back (juce::AffineTransform::scale ((float) destW / (float) w, (float) destH / (float) h));

        // And many more at random.
        std::mt19937 rng (99);
        std::uniform_real_distribution<float> u (-1.0f, 1.0f);

        for (int i = 0; i < 40; ++i)
            list.push_back (viewOf (w, h, 3.2f * u (rng) + 3.2f, 0.3f * u (rng), 0.3f * u (rng),
                                    1.2f * u (rng), 0.4f * u (rng), 0.4f * u (rng)));

        return list;
    }

    juce::Image backgroundFor (juce::Image::PixelFormat format, int w, int h, int kind)
    {
        if (kind == 0)
        {
            juce::Image image (format, w, h, false);
            image.clear (image.getBounds(), format == juce::Image::ARGB ? juce::Colour() : juce::Colour (0xff000000));
            return image;
        }

        return testPicture (format, w, h, 5); // the blend shows over detail
    }

    struct Counts { int drawn = 0, handedBack = 0; };

    // JUCE's drawing and ours, of `source` through `t` onto copies of
    // `background`, clipped to `clip`; they must match byte for byte.
    void expectSameAsJuce (const juce::Image& background, const juce::Image& source, const juce::AffineTransform& t,
                           Quality quality, juce::Rectangle<int> clip, Counts& counts, const std::string& what)
    {
        auto expected = background.createCopy();
        {
            juce::Graphics g (expected);
            g.reduceClipRegion (clip);
            g.setImageResamplingQuality (quality);
            g.drawImageTransformed (source, t, false);
        }

        auto actual = background.createCopy();
        bool drawn = false;
        {
            const juce::Image::BitmapData d (actual, juce::Image::BitmapData::readWrite);
            const juce::Image::BitmapData s (source, juce::Image::BitmapData::readOnly);
            drawn = kestrune::fill::drawTransformed (d, clip, s, t, quality);
        }

        EXPECT_EQ (drawn, kestrune::fill::handles (actual.getFormat(), source.getFormat(), t, quality)) << what;

        if (! drawn)
        {
            ++counts.handedBack;
            EXPECT_TRUE (sameImage (background, actual)) << what << ": turned down, yet drawn";
            return;
        }

        ++counts.drawn;
        ASSERT_TRUE (sameImage (expected, actual)) << what;
    }

    struct LoopScope
    {
        explicit LoopScope (kestrune::fill::Loop l) { kestrune::fill::useLoop (l); }
        ~LoopScope() { kestrune::fill::useLoop (kestrune::fill::Loop::vector); }
    };
}

// Both loops against JUCE's renderer: every picture shape and format pair,
// every quality, cleared and busy destinations, whole and clipped to a band.
TEST (TransformedFill, MatchesJuceRendererPixelForPixel)
{
    using Loop = kestrune::fill::Loop;

    for (const auto loop : { Loop::vector, Loop::plain })
    {
        const LoopScope scope (loop);
        Counts counts;

        for (const auto size : { juce::Point<int> (61, 47), juce::Point<int> (2, 2), juce::Point<int> (1, 9),
                                 juce::Point<int> (13, 1), juce::Point<int> (1, 1) })
        {
            const int destW = 97, destH = 71;
            const auto transforms = transformsFor (size.x, size.y, destW, destH);

            for (const auto sourceFormat : { juce::Image::ARGB, juce::Image::RGB })
            {
                const auto source = testPicture (sourceFormat, size.x, size.y, 11);

                for (const auto destFormat : { juce::Image::ARGB, juce::Image::RGB })
                    for (const int backgroundKind : { 0, 1 })
                    {
                        const auto background = backgroundFor (destFormat, destW, destH, backgroundKind);

                        for (size_t i = 0; i < transforms.size(); ++i)
                            for (const auto quality : qualities)
                                for (const auto clip : { juce::Rectangle<int> (0, 0, destW, destH),
                                                         juce::Rectangle<int> (0, 23, destW, 17) })
                                {
                                    // The busy background only for the whole-image clip: halves the run.
                                    if (backgroundKind == 1 && clip.getY() != 0)
                                        continue;

                                    expectSameAsJuce (background, source, transforms[i], quality, clip, counts,
                                                      "loop " + std::to_string ((int) loop) + " size "
                                                      + std::to_string (size.x) + "x" + std::to_string (size.y)
                                                      + " formats " + std::to_string ((int) sourceFormat) + "->"
                                                      + std::to_string ((int) destFormat) + " background "
                                                      + std::to_string (backgroundKind) + " transform "
                                                      + std::to_string (i) + " quality " + std::to_string ((int) quality)
                                                      + " clip y " + std::to_string (clip.getY()));

                                    if (::testing::Test::HasFatalFailure())
                                        return;
                                }
                    }
            }
        }

        // Nearly all drawn here: only the whole-pixel shifts go back to JUCE.
        EXPECT_GT (counts.drawn, 10 * counts.handedBack) << "loop " << (int) loop;
    }
}

// The pipeline's drawImage with a source and a destination rectangle (the
// reduction's stretch) is the transform it is drawn with here.
TEST (TransformedFill, StretchMatchesDrawImageOfRectangles)
{
    const auto picture = testPicture (juce::Image::ARGB, 301, 203, 3);

    for (const auto size : { juce::Point<int> (150, 101), juce::Point<int> (100, 67), juce::Point<int> (1, 1),
                             juce::Point<int> (301, 1), juce::Point<int> (7, 203) })
    {
        for (const auto format : { juce::Image::ARGB, juce::Image::RGB })
        {
            auto small = picture.rescaled (size.x, size.y, juce::Graphics::mediumResamplingQuality).convertedToFormat (format);

            juce::Image expected (format, 301, 203, true);
            {
                juce::Graphics g (expected);
                g.drawImage (small, 0, 0, 301, 203, 0, 0, size.x, size.y);
            }

            juce::Image actual (format, 301, 203, true);
            const auto stretch = juce::AffineTransform::scale (301.0f / (float) size.x, 203.0f / (float) size.y)
                                     .translated (0.0f, 0.0f);
            kestrune::bands::drawTransformedInBands (nullptr, actual, small, stretch, juce::Graphics::mediumResamplingQuality);

            EXPECT_TRUE (sameImage (expected, actual)) << size.x << "x" << size.y << " format " << (int) format;
        }
    }
}

// Drawn in bands on the helpers, the result is JUCE's whole drawing; with the
// fill switched to JUCE every case is turned down, and the bands draw through
// JUCE to the same bytes.
TEST (TransformedFill, BandsOnHelpersMatchJuceAndTheSwitchWorks)
{
    BandWorkers workers (3);
    const auto source = testPicture (juce::Image::RGB, 300, 128, 8);
    const auto t = viewOf (300, 128, (float) (0.17 + 1.57), 0.05f, 0.0f, 0.3f, 0.0f, 0.1f);

    juce::Image expected (juce::Image::ARGB, 300, 128, true);
    {
        juce::Graphics g (expected);
        g.drawImageTransformed (source, t);
    }

    for (const auto loop : { kestrune::fill::Loop::vector, kestrune::fill::Loop::plain, kestrune::fill::Loop::juce })
    {
        const LoopScope scope (loop);
        EXPECT_EQ (kestrune::fill::handles (juce::Image::ARGB, juce::Image::RGB, t, juce::Graphics::mediumResamplingQuality),
                   loop != kestrune::fill::Loop::juce);

        juce::Image actual (juce::Image::ARGB, 300, 128, true);
        kestrune::bands::drawTransformedInBands (&workers, actual, source, t, juce::Graphics::mediumResamplingQuality);
        EXPECT_TRUE (sameImage (expected, actual)) << "loop " << (int) loop;
    }

    // Single-channel pictures are JUCE's to draw.
    EXPECT_FALSE (kestrune::fill::handles (juce::Image::SingleChannel, juce::Image::ARGB, t, juce::Graphics::mediumResamplingQuality));
    EXPECT_FALSE (kestrune::fill::handles (juce::Image::ARGB, juce::Image::SingleChannel, t, juce::Graphics::mediumResamplingQuality));
}

// Whole passes of the pipeline on the largest picture we expect, drawn
// through JUCE's renderer and then through the fill: the reduction's shrink
// and stretch, the view (quarter turns, fine angles, zoom, skew, shifts, a
// view that leaves most of the output black) and the window's display copy
// all come out byte for byte the same, in bands on the helpers as the
// worker draws them.
TEST (TransformedFill, PipelinePassesMatchJuceAtFullSize)
{
    constexpr int width = 1500, height = 512;
    auto p = makeProcessor();
    const juce::ScopedLock lock (criticalSection); // the worker stays out

    const auto picture = testPicture (juce::Image::ARGB, width, height, 21);
    juce::Image layer (juce::Image::ARGB, width, height, true);
    {
        juce::Graphics g (layer);
        g.setColour (juce::Colours::white);
        g.drawLine (10.0f, 10.0f, 1490.0f, 500.0f, 8.0f);
    }

    installPicture (*p, picture, layer);
    setPlain (*p, "contrast", 1.3f);

    struct View { float horrescale, verrescale, fine, zoom, horskew, verskew, leftright, updown; const char* quarter; };
    const View views[] = {
        { 1.0f, 1.0f,   0.0f,  0.0f,  0.0f,  0.0f,  0.0f,  0.0f,  nullptr },   // the view as it is
        { 2.0f, 1.0f,  10.0f,  0.3f,  0.0f,  0.0f,  0.0f,  0.0f,  "rotate0" },
        { 3.0f, 2.0f, -33.3f, -0.4f,  0.2f, -0.1f,  0.13f, -0.07f, "rotate1" },
        { 1.0f, 7.5f,  47.0f,  1.7f,  0.0f,  0.5f, -0.3f,  0.2f,  "rotate2" },
        { 1.5f, 1.0f,   0.0f,  0.0f,  0.0f,  0.0f,  0.0f,  0.0f,  "rotate3" },
        { 128.0f, 128.0f, 0.0f, -0.95f, 0.0f, 0.0f, 0.6f,  0.0f,  nullptr },
    };

    BandWorkers workers (3);

    for (size_t v = 0; v < std::size (views); ++v)
    {
        const auto& view = views[v];
        setPlain (*p, "horrescale", view.horrescale);
        setPlain (*p, "verrescale", view.verrescale);
        setPlain (*p, "fineRotate", view.fine);
        setPlain (*p, "zoom", view.zoom);
        setPlain (*p, "horskew", view.horskew);
        setPlain (*p, "verskew", view.verskew);
        setPlain (*p, "leftright", view.leftright);
        setPlain (*p, "updown", view.updown);

        for (const auto* id : { "rotate0", "rotate1", "rotate2", "rotate3" })
            setPlain (*p, id, view.quarter != nullptr && juce::String (id) == view.quarter ? 1.0f : 0.0f);

        juce::Image work[2], output[2], shown[2];

        for (const auto loop : { kestrune::fill::Loop::juce, kestrune::fill::Loop::vector })
        {
            const LoopScope scope (loop);
            const int i = loop == kestrune::fill::Loop::juce ? 0 : 1;

            p->pipelineStages = PipelineStages(); // a full pass
            p->reloadImage = true;
            p->changeColourFunction();

            // The window's copy, made as the worker makes it after a pass (on
            // a FinishedPicture of the test's own: the processor's is the
            // worker thread's to render).
            FinishedPicture finished;
            finished.publish (p->outputImage);
            FinishedPicture::ForDisplay display;
            ASSERT_TRUE (finished.tryForDisplay (647, 470, display));
            finished.renderDisplayCopies (&workers);
            ASSERT_TRUE (finished.tryForDisplay (647, 470, display));
            ASSERT_TRUE (display.scaled);

            work[i] = p->workImage.createCopy();
            output[i] = p->outputImage.createCopy();
            shown[i] = display.image.createCopy();
        }

        EXPECT_TRUE (sameImage (work[0], work[1])) << "view " << v << ": reduction";
        EXPECT_TRUE (sameImage (output[0], output[1])) << "view " << v << ": output";
        EXPECT_TRUE (sameImage (shown[0], shown[1])) << "view " << v << ": display copy";
    }
}
