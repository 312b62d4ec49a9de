#include "TestSupport.h"

#include <chrono>
#include <thread>

using namespace kestrune::test;

namespace
{
    using Points = std::vector<juce::Point<float>>;

    enum { line = 0, ellipse, rectangle, fillEllipse, fillRect, freehand, spray };

    int countPainted (const juce::Image& img)
    {
        int n = 0;
        for (int y = 0; y < img.getHeight(); ++y)
            for (int x = 0; x < img.getWidth(); ++x)
                n += img.getPixelAt (x, y).getAlpha() != 0 ? 1 : 0;
        return n;
    }

    // The view transform as the pipeline builds it from the parameters.
    juce::AffineTransform viewFromParameters (KestruneAudioProcessor& p, int w, int h)
    {
        const auto on = [&p] (const juce::String& id) { return plainValue (p, id) == 1.0f; };
        const float fine = plainValue (p, "fineRotate") * 1.57f / 90.0f;

        float angle = 0.0f;
        if (on ("rotate3"))      angle = (float) (fine + 4.71);
        else if (on ("rotate2")) angle = (float) (fine + 3.14);
        else if (on ("rotate1")) angle = (float) (fine + 1.57);
        else if (on ("rotate0")) angle = fine;

        const auto cx = (float) (w / 2), cy = (float) (h / 2);
        const auto zoom = plainValue (p, "zoom");

        return juce::AffineTransform::rotation (angle, cx, cy)
                   .translated (plainValue (p, "leftright") * (float) w, plainValue (p, "updown") * (float) h)
                   .scaled (1.0f + zoom + plainValue (p, "horskew"), 1.0f + zoom + plainValue (p, "verskew"), cx, cy);
    }

    // What the output shows of a pen layer: the layer drawn through the view.
    juce::Image throughView (const juce::Image& layer, const juce::AffineTransform& view)
    {
        juce::Image out (juce::Image::ARGB, layer.getWidth(), layer.getHeight(), true);
        juce::Graphics g (out);
        g.drawImageTransformed (layer, view);
        return out;
    }

    juce::Image makeSource (int w, int h)
    {
        juce::Image source (juce::Image::ARGB, w, h, false);
        source.clear (source.getBounds(), juce::Colour (0xff404040));
        return source;
    }
}

//==============================================================================
// A processor with a 480 x 330 picture adopted: opaque source, transparent pen
// layer, a history of one snapshot.
class PenDrawing : public ::testing::Test
{
protected:
    void SetUp() override
    {
        p = makeProcessor();
        installPicture (480, 330);
    }

    void installPicture (int w, int h)
    {
        const auto source = makeSource (w, h);
        const juce::ScopedLock sl (criticalSection);
        p->sourceImage = source;
        p->drawLayer = juce::Image (juce::Image::ARGB, w, h, true);
        p->compositeImage = source.createCopy();
        p->workImage = source.createCopy();
        p->blurImage = source.createCopy();
        p->outputImage = source.createCopy();
        p->transformImage = source.createCopy();
        p->undoImages.clear();
        p->undoImages.emplace_back (p->drawLayer);
        p->undoIndex = 1;
        p->viewTransform = p->inverseViewTransform = juce::AffineTransform();
        p->sourceImagePresent.store (true);
    }

    // Sets the stored view from the current parameters, as the pipeline would.
    void applyViewFromParameters()
    {
        const juce::ScopedLock sl (criticalSection);
        p->viewTransform = viewFromParameters (*p, p->sourceImage.getWidth(), p->sourceImage.getHeight());
        p->inverseViewTransform = p->viewTransform.inverted();
    }

    void stroke (int style, Points points)
    {
        setPlain (*p, "penStyle", (float) style);
        p->drawShape (points);
    }

    juce::Image layer()
    {
        const juce::ScopedLock sl (criticalSection);
        return p->drawLayer.createCopy();
    }

    juce::AffineTransform view()
    {
        const juce::ScopedLock sl (criticalSection);
        return p->viewTransform;
    }

    std::pair<int, int> history() // { undoIndex, number of snapshots }
    {
        const juce::ScopedLock sl (criticalSection);
        return { p->undoIndex, (int) p->undoImages.size() };
    }

    std::unique_ptr<KestruneAudioProcessor> p;
};

//==============================================================================
TEST_F (PenDrawing, SetRangeOrdersAndWidensTheInterval)
{
    p->setRange ({ 0.5f, 0.1f }, { 0.5f, 0.9f });
    EXPECT_FLOAT_EQ (plainValue (*p, "a_interval"), 0.5f);
    EXPECT_EQ (plainValue (*p, "b_interval"), (float) (0.5 + 0.00001)); // 0.50001
    EXPECT_NE (plainValue (*p, "b_interval"), plainValue (*p, "a_interval"));
    EXPECT_EQ (p->intervalStart.load(), 0.5);

    p->setRange ({ 0.7f, 0.0f }, { 0.2f, 0.0f });
    EXPECT_FLOAT_EQ (plainValue (*p, "a_interval"), 0.2f);
    EXPECT_FLOAT_EQ (plainValue (*p, "b_interval"), 0.7f);
    EXPECT_EQ (p->intervalStart.load(), (double) 0.2f);
    EXPECT_EQ (p->intervalEnd.load(), (double) 0.7f);

    p->setRange ({ 0.2f, 0.0f }, { 1.3f, 0.0f });
    EXPECT_FLOAT_EQ (plainValue (*p, "a_interval"), 0.2f);
    EXPECT_EQ (plainValue (*p, "b_interval"), 1.0f);

    // The widened 1.00001 is limited to the range: the interval is empty.
    p->setRange ({ 1.0f, 0.0f }, { 1.0f, 0.0f });
    EXPECT_EQ (plainValue (*p, "a_interval"), 1.0f);
    EXPECT_EQ (plainValue (*p, "b_interval"), 1.0f);
}

TEST_F (PenDrawing, SetRangeMovesStartPositionThroughTheCoupling)
{
    // Relies on parameter routing coupling "startposition" to "a_interval".
    setPlain (*p, "a_interval", 0.3f);
    if (plainValue (*p, "startposition") != 0.3f)
        GTEST_SKIP() << "interval coupling not present in this build";

    p->setRange ({ 0.7f, 0.0f }, { 0.2f, 0.0f });
    EXPECT_FLOAT_EQ (plainValue (*p, "startposition"), 0.2f);
    EXPECT_FLOAT_EQ (plainValue (*p, "a_interval"), 0.2f);
    EXPECT_FLOAT_EQ (plainValue (*p, "b_interval"), 0.7f);

    p->setRange ({ 1.0f, 0.0f }, { 1.0f, 0.0f });
    EXPECT_EQ (plainValue (*p, "a_interval"), 1.0f);
    EXPECT_EQ (plainValue (*p, "b_interval"), 1.0f);
    EXPECT_EQ (plainValue (*p, "startposition"), 1.0f);
}

//==============================================================================
TEST_F (PenDrawing, RectangleOutlinesABoxOnePixelLargerThanTheDistance)
{
    // From (240, 165) to (120, 82.5): the box (120, 82.5) of 121 x 83.5, outline 10 thick.
    stroke (rectangle, { { 0.5f, 0.5f }, { 0.3f, 0.4f }, { 0.25f, 0.25f } });
    const auto img = layer();
    const auto alpha = [&img] (int x, int y) { return (int) img.getPixelAt (x, y).getAlpha(); };

    EXPECT_EQ (img.getPixelAt (125, 120), juce::Colours::white);
    EXPECT_EQ (alpha (120, 120), 255);   // left edge
    EXPECT_EQ (alpha (119, 120), 0);
    EXPECT_EQ (alpha (129, 120), 255);
    EXPECT_EQ (alpha (130, 120), 0);     // inside the outline
    EXPECT_EQ (alpha (240, 120), 255);   // right edge at 120 + 121
    EXPECT_EQ (alpha (241, 120), 0);
    EXPECT_EQ (alpha (231, 120), 255);
    EXPECT_EQ (alpha (230, 120), 0);

    EXPECT_EQ (alpha (180, 81), 0);      // top edge at 82.5: half a pixel
    EXPECT_NEAR (alpha (180, 82), 128, 2);
    EXPECT_EQ (alpha (180, 83), 255);
    EXPECT_EQ (alpha (180, 91), 255);
    EXPECT_NEAR (alpha (180, 92), 128, 2);
    EXPECT_EQ (alpha (180, 93), 0);

    EXPECT_EQ (alpha (180, 156), 255);   // bottom edge at 82.5 + 83.5 = 166
    EXPECT_EQ (alpha (180, 165), 255);
    EXPECT_EQ (alpha (180, 166), 0);
    EXPECT_EQ (alpha (180, 155), 0);
    EXPECT_EQ (alpha (180, 120), 0);     // centre
}

TEST_F (PenDrawing, PenColourIsOpaqueGreyTruncated)
{
    const std::pair<float, int> cases[] = { { 0.5f, 127 }, { 1.0f, 255 }, { 0.0f, 0 } };
    float x = 0.05f;

    for (const auto& [colour, grey] : cases)
    {
        setPlain (*p, "penColour", colour);
        stroke (fillRect, { { x, 0.1f }, { x + 0.1f, 0.2f } });

        const auto px = layer().getPixelAt ((int) ((x + 0.05f) * 480.0f), 50);
        EXPECT_EQ (px.getAlpha(), 255) << colour;
        EXPECT_EQ (px.getRed(), grey) << colour;
        EXPECT_EQ (px.getGreen(), grey);
        EXPECT_EQ (px.getBlue(), grey);
        x += 0.3f;
    }
}

TEST_F (PenDrawing, SpraySquaresFollowZoomAndLandWhereTheViewShowsThem)
{
    // "zoom" 0: single pixels at trunc(x * W), trunc(y * H).
    stroke (spray, { { 0.5f, 0.5f }, { 0.125f, 0.75f } });
    auto img = layer();
    EXPECT_EQ (img.getPixelAt (240, 165), juce::Colours::white);
    EXPECT_EQ (img.getPixelAt (60, 247), juce::Colours::white);
    EXPECT_EQ (countPainted (img), 2);

    // "zoom" 2.5: 3 x 3 outlines. The view scales by 3.5 about (240, 165), so
    // the dot at (120, 82.5) on the output sits at (205.7, 141.4) in the
    // picture, and the output shows the square under the pointer.
    installPicture (480, 330);
    setPlain (*p, "zoom", 2.5f);
    applyViewFromParameters();
    stroke (spray, { { 0.25f, 0.25f } });
    img = layer();
    for (int y = 141; y <= 143; ++y)
        for (int x = 205; x <= 207; ++x)
            EXPECT_EQ (img.getPixelAt (x, y).getAlpha(), (x == 206 && y == 142) ? 0 : 255) << x << "," << y;
    EXPECT_EQ (countPainted (img), 8);

    const auto out = throughView (img, view());
    EXPECT_GT (out.getPixelAt (122, 84).getAlpha(), 0);
    EXPECT_EQ (out.getPixelAt (110, 84).getAlpha(), 0);

    // Rotated a quarter turn and shifted: still under the pointer.
    installPicture (480, 330);
    setPlain (*p, "zoom", 0.0f);
    setPlain (*p, "rotate1", 1.0f);
    setPlain (*p, "leftright", 0.1f);
    applyViewFromParameters();
    stroke (spray, { { 0.3f, 0.4f } });
    const auto turned = throughView (layer(), view());
    int nearPointer = 0, elsewhere = 0;
    for (int y = 0; y < turned.getHeight(); ++y)
        for (int x = 0; x < turned.getWidth(); ++x)
            if (turned.getPixelAt (x, y).getAlpha() != 0)
                (std::abs (x - 144) <= 2 && std::abs (y - 132) <= 2 ? nearPointer : elsewhere)++;
    EXPECT_GT (nearPointer, 0);
    EXPECT_EQ (elsewhere, 0);
    setPlain (*p, "rotate1", 0.0f);
    setPlain (*p, "leftright", 0.0f);

    // "zoom" -0.5: side 0, nothing is drawn (the stroke still counts as a step).
    installPicture (480, 330);
    setPlain (*p, "zoom", -0.5f);
    applyViewFromParameters();
    stroke (spray, { { 0.5f, 0.5f }, { 0.2f, 0.2f } });
    EXPECT_EQ (countPainted (layer()), 0);
    EXPECT_EQ (history(), std::make_pair (2, 2));
}

TEST_F (PenDrawing, FreehandIsZoomTimesThicknessWideOnTheOutput)
{
    // "zoom" 1, "penTickness" 10: 20 wide in output space, 10 in the picture.
    setPlain (*p, "zoom", 1.0f);
    applyViewFromParameters();
    stroke (freehand, { { 0.3f, 0.5f }, { 0.5f, 0.5f }, { 0.7f, 0.5f } });

    const auto img = layer();
    const auto a = [&img] (int x, int y) { return (int) img.getPixelAt (x, y).getAlpha(); };

    // Picture space: x from 192 to 288 (butt ends), rows 160 to 170.
    EXPECT_EQ (a (240, 161), 255);
    EXPECT_EQ (a (240, 168), 255);
    EXPECT_EQ (a (240, 158), 0);
    EXPECT_EQ (a (240, 172), 0);
    EXPECT_EQ (a (194, 165), 255);
    EXPECT_EQ (a (190, 165), 0);
    EXPECT_EQ (a (286, 165), 255);
    EXPECT_EQ (a (290, 165), 0);

    const auto out = throughView (img, view());
    const auto o = [&out] (int x, int y) { return (int) out.getPixelAt (x, y).getAlpha(); };
    EXPECT_EQ (o (240, 157), 255);
    EXPECT_EQ (o (240, 173), 255);
    EXPECT_EQ (o (240, 152), 0);
    EXPECT_EQ (o (240, 178), 0);
    EXPECT_EQ (o (148, 165), 255);
    EXPECT_EQ (o (140, 165), 0);
}

TEST_F (PenDrawing, StrokesThroughRotatedZoomedViewLandWhereTheOutputShowsThem)
{
    setPlain (*p, "rotate1", 1.0f); // 1.57 rad, "rotate0" stays on: the higher switch wins
    setPlain (*p, "zoom", 0.5f);
    setPlain (*p, "leftright", 0.05f);
    applyViewFromParameters();

    stroke (fillRect, { { 0.6f, 0.2f }, { 0.7f, 0.3f } });
    stroke (fillEllipse, { { 0.1f, 0.1f }, { 0.3f, 0.3f } });
    stroke (line, { { 0.2f, 0.8f }, { 0.4f, 0.8f } });
    stroke (freehand, { { 0.55f, 0.7f }, { 0.65f, 0.7f }, { 0.75f, 0.7f } });

    const auto img = layer();
    const auto out = throughView (img, view());
    const auto shown = [&out] (float fx, float fy) { return (int) out.getPixelAt ((int) (fx * 480.0f), (int) (fy * 330.0f)).getAlpha(); };
    const auto raw = [&img] (float fx, float fy) { return (int) img.getPixelAt ((int) (fx * 480.0f), (int) (fy * 330.0f)).getAlpha(); };

    EXPECT_EQ (shown (0.65f, 0.25f), 255);   // inside the rectangle
    EXPECT_EQ (shown (0.2f, 0.2f), 255);     // centre of the ellipse
    EXPECT_EQ (shown (0.3f, 0.8f), 255);     // on the line
    EXPECT_EQ (shown (0.65f, 0.7f), 255);    // on the freehand path
    EXPECT_EQ (shown (0.5f, 0.5f), 0);
    EXPECT_EQ (shown (0.8f, 0.2f), 0);
    EXPECT_EQ (shown (0.3f, 0.6f), 0);

    // The layer itself holds them elsewhere: the view did not leave them in place.
    EXPECT_EQ (raw (0.65f, 0.25f), 0);
    EXPECT_EQ (raw (0.3f, 0.8f), 0);
}

//==============================================================================
TEST_F (PenDrawing, UndoAndRedoStepThroughTheHistory)
{
    // Right after an adoption there is nothing to undo or redo.
    p->needColourUpdate.store (false);
    EXPECT_FALSE (p->undoStroke());
    EXPECT_FALSE (p->redoStroke());
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_FALSE (p->needColourUpdate.load());

    const auto blank = layer();
    stroke (fillRect, { { 0.1f, 0.1f }, { 0.2f, 0.2f } });
    const auto one = layer();
    stroke (fillRect, { { 0.4f, 0.4f }, { 0.5f, 0.5f } });
    const auto two = layer();
    stroke (fillEllipse, { { 0.7f, 0.7f }, { 0.9f, 0.9f } });
    const auto three = layer();
    EXPECT_EQ (history(), std::make_pair (4, 4));
    EXPECT_FALSE (sameImage (two, three));

    {
        // Holding the pipeline lock keeps the worker from starting a pass
        // that would take the request before it is looked at.
        const juce::ScopedLock sl (criticalSection);
        p->needColourUpdate.store (false);
        EXPECT_TRUE (p->undoStroke());
        EXPECT_TRUE (p->needColourUpdate.load());
    }
    EXPECT_TRUE (sameImage (layer(), two));
    EXPECT_TRUE (p->undoStroke());
    EXPECT_EQ (history(), std::make_pair (2, 4));
    EXPECT_TRUE (sameImage (layer(), one));

    // Redo gives back exactly the undone layer.
    EXPECT_TRUE (p->redoStroke());
    EXPECT_EQ (history(), std::make_pair (3, 4));
    EXPECT_TRUE (sameImage (layer(), two));
    EXPECT_TRUE (p->undoStroke());

    // A new stroke drops snapshots 3 and 4; nothing is left to redo.
    stroke (fillRect, { { 0.8f, 0.1f }, { 0.9f, 0.2f } });
    EXPECT_EQ (history(), std::make_pair (3, 3));
    const auto four = layer();
    EXPECT_FALSE (p->redoStroke());
    EXPECT_TRUE (sameImage (layer(), four));
    EXPECT_EQ (four.getPixelAt (72, 49).getAlpha(), 255);   // first stroke kept
    EXPECT_EQ (four.getPixelAt (216, 148).getAlpha(), 0);   // second one gone

    // Back to the adopted layer, and no further.
    EXPECT_TRUE (p->undoStroke());
    EXPECT_TRUE (p->undoStroke());
    EXPECT_TRUE (sameImage (layer(), blank));
    EXPECT_FALSE (p->undoStroke());
    EXPECT_EQ (history(), std::make_pair (1, 3));
    EXPECT_TRUE (p->redoStroke());
    EXPECT_TRUE (p->redoStroke());
    EXPECT_TRUE (sameImage (layer(), four));
}

TEST_F (PenDrawing, HistoryAfterAResetStartsAfresh)
{
    stroke (fillRect, { { 0.1f, 0.1f }, { 0.2f, 0.2f } });
    const auto drawn = layer();

    {   // what the reset buttons do until their adoption arrives
        const juce::ScopedLock sl (criticalSection);
        p->undoImages.clear();
        p->undoIndex = 0;
    }

    p->needColourUpdate.store (false);
    EXPECT_FALSE (p->undoStroke());
    EXPECT_FALSE (p->redoStroke());
    EXPECT_EQ (history(), std::make_pair (0, 0));
    EXPECT_TRUE (sameImage (layer(), drawn));
    EXPECT_FALSE (p->needColourUpdate.load());

    stroke (fillRect, { { 0.5f, 0.5f }, { 0.6f, 0.6f } });
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_FALSE (p->undoStroke());
    EXPECT_FALSE (p->redoStroke());
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_TRUE (sameImage (p->undoImages[0].restore(), p->drawLayer));
    }
}

TEST_F (PenDrawing, NothingHappensWithoutPointsOrPicture)
{
    const auto before = layer();
    p->needColourUpdate.store (false);

    Points none;
    setPlain (*p, "penStyle", (float) freehand);
    p->drawShape (none);
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_FALSE (p->needColourUpdate.load());

    {
        const juce::ScopedLock sl (criticalSection);
        p->sourceImage = juce::Image();
        p->sourceImagePresent.store (false);
    }
    stroke (fillRect, { { 0.1f, 0.1f }, { 0.9f, 0.9f } });
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_FALSE (p->needColourUpdate.load());
    EXPECT_TRUE (sameImage (layer(), before));
}

//==============================================================================
// Strokes, undo and redo on this thread while one thread composites the pen
// layer under the pipeline lock (as the worker does, taking the layer's handle
// under the edit lock) and another swaps whole new chains in with try-locks of
// the processor's pass lock and edit lock (the audio thread's adoption, which
// leaves the pipeline lock to other instances), releasing nothing itself. The
// processor's own worker runs its passes beside them.
TEST_F (PenDrawing, HistoryStaysConsistentWhileCompositingAndAdopting)
{
    struct Chain
    {
        juce::Image source, layer;
        std::vector<LayerSnapshot> history;
        int index = 0;
    };

    // Written by the compositing thread only while chainReady is false, read
    // by the adopting thread only while it is true.
    Chain prepared;
    std::atomic<bool> stop { false }, chainReady { false };
    std::atomic<int> adoptions { 0 }, inconsistencies { 0 }, failedTryLocks { 0 };

    std::thread worker ([&]
    {
        juce::Image composite (juce::Image::ARGB, 480, 330, false);
        juce::Random rng (7);

        while (! stop.load())
        {
            {
                const juce::ScopedLock sl (criticalSection);
                juce::Image source, layer;
                {
                    const juce::ScopedLock el (p->pictureEditLock);
                    source = p->sourceImage;
                    layer = p->drawLayer;

                    if (p->undoIndex < 1 || p->undoIndex > (int) p->undoImages.size())
                        ++inconsistencies;
                }

                juce::Graphics g (composite);
                g.drawImageAt (source, 0, 0);
                g.drawImageAt (layer, 0, 0);

                if (! chainReady.load (std::memory_order_acquire))
                {
                    prepared = Chain(); // what the last adoption left here is released by this thread
                    prepared.source = makeSource (480, 330);
                    prepared.layer = juce::Image (juce::Image::ARGB, 480, 330, true);
                    prepared.layer.clear ({ rng.nextInt (400), rng.nextInt (300), 20, 20 }, juce::Colours::grey);
                    prepared.history.emplace_back (prepared.layer);
                    prepared.index = 1;
                    chainReady.store (true, std::memory_order_release);
                }
            }

            // Like the real worker, leave gaps between passes in which the
            // audio thread's try-lock can win (longer while a chain waits).
            std::this_thread::sleep_for (std::chrono::milliseconds (chainReady.load() ? 4 : 1));
        }
    });

    std::thread audio ([&]
    {
        while (! stop.load())
        {
            if (chainReady.load (std::memory_order_acquire))
            {
                const juce::ScopedTryLock tl (p->passLock);
                const juce::ScopedTryLock el (p->pictureEditLock);

                if (tl.isLocked() && el.isLocked())
                {
                    std::swap (p->sourceImage, prepared.source);
                    std::swap (p->drawLayer, prepared.layer);
                    std::swap (p->undoImages, prepared.history);
                    std::swap (p->undoIndex, prepared.index);
                    chainReady.store (false, std::memory_order_release);
                    ++adoptions;
                }
                else
                {
                    ++failedTryLocks;
                }
            }

            std::this_thread::sleep_for (std::chrono::milliseconds (3));
        }
    });

    juce::Random rng (42);
    const auto start = juce::Time::getMillisecondCounterHiRes();
    int ops = 0;

    // Aim for 60 operations and 5 adoptions within 8 s; on a loaded machine
    // under a sanitizer go on (up to four minutes, well inside the test's
    // time-out) until at least the minimum below has happened, since the
    // audio thread's try-lock can lose for seconds there while the worker
    // holds the lock.
    auto goOn = [&]
    {
        const auto elapsed = juce::Time::getMillisecondCounterHiRes() - start;
        if ((ops < 60 || adoptions.load() < 5) && elapsed < 8000.0)
            return true;
        return (ops < 10 || adoptions.load() < 1) && elapsed < 240000.0;
    };

    while (goOn())
    {
        switch (rng.nextInt (4))
        {
            case 0:
            {
                const auto x = rng.nextFloat() * 0.8f, y = rng.nextFloat() * 0.8f;
                stroke (fillRect, { { x, y }, { x + 0.1f, y + 0.1f } });
                break;
            }
            case 1:
            {
                Points pts;
                for (int i = 0; i < 12; ++i)
                    pts.push_back ({ rng.nextFloat(), rng.nextFloat() });
                stroke (freehand, pts);
                break;
            }
            case 2: p->undoStroke(); break;
            default: p->redoStroke(); break;
        }
        ++ops;
    }

    stop.store (true);
    worker.join();
    audio.join();

    // Sanitizer builds on a loaded machine manage far fewer operations; what
    // matters is that strokes and adoptions really did overlap.
    EXPECT_GE (ops, 10);
    EXPECT_GE (adoptions.load(), 1);
    EXPECT_EQ (inconsistencies.load(), 0);

    // The pen layer shown is the current snapshot, exactly.
    const juce::ScopedLock sl (criticalSection);
    ASSERT_GE (p->undoIndex, 1);
    ASSERT_LE (p->undoIndex, (int) p->undoImages.size());
    EXPECT_TRUE (sameImage (p->drawLayer, p->undoImages[(size_t) p->undoIndex - 1].restore()));
}
