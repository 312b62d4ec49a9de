#include "CanvasTestSupport.h"

#include <atomic>
#include <set>
#include <thread>

using namespace kestrune::test;
using kestrune::test::canvas::shownAt;

namespace
{
    juce::Image solid (juce::Colour c, int w = 64, int h = 32, juce::Image::PixelFormat f = juce::Image::ARGB)
    {
        juce::Image image (f, w, h, false);
        image.clear (image.getBounds(), c);
        return image;
    }

    // True when every pixel of `image` is the same (a torn copy is not),
    // leaving out `border` pixels at each edge.
    bool uniform (const juce::Image& image, int border = 0)
    {
        const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
        const auto first = data.getPixelColour (border, border);
        for (int y = border; y < data.height - border; ++y)
            for (int x = border; x < data.width - border; ++x)
                if (data.getPixelColour (x, y) != first)
                    return false;
        return true;
    }
}

TEST (FinishedPicture, AHeldPictureNeverChangesAndIsNotTheSource)
{
    FinishedPicture finished;
    EXPECT_FALSE (finished.latest().isValid());

    auto source = solid (juce::Colours::red);
    finished.publish (source);
    const auto held = finished.latest();
    ASSERT_TRUE (held.isValid());
    EXPECT_NE (held.getPixelData(), source.getPixelData());
    EXPECT_EQ (held.getPixelAt (5, 5), juce::Colours::red);

    // The source is written again (as the worker does at every pass) and
    // published several times: the held copy stays as it was.
    for (auto c : { juce::Colours::blue, juce::Colours::green, juce::Colours::white, juce::Colours::black })
    {
        source.clear (source.getBounds(), c);
        finished.publish (source);
        EXPECT_EQ (finished.latest().getPixelAt (5, 5), c);
    }

    EXPECT_TRUE (uniform (held));
    EXPECT_EQ (held.getPixelAt (5, 5), juce::Colours::red);
    EXPECT_EQ (finished.publications(), 5u);
}

TEST (FinishedPicture, ReusesItsImagesWhenNobodyHoldsThem)
{
    FinishedPicture finished;
    const auto source = solid (juce::Colours::grey, 300, 200, juce::Image::RGB);
    std::set<juce::ImagePixelData*> seen;

    for (int i = 0; i < 20; ++i)
    {
        finished.publish (source);
        seen.insert (finished.latest().getPixelData());
    }

    EXPECT_LE (seen.size(), 3u);
    EXPECT_EQ (finished.latest().getFormat(), juce::Image::RGB);
    EXPECT_EQ (finished.latest().getPixelAt (299, 199), source.getPixelAt (299, 199));
}

TEST (FinishedPicture, FollowsSizeFormatAndAbsence)
{
    FinishedPicture finished;
    finished.publish (solid (juce::Colours::white, 10, 10));
    const auto small = finished.latest();

    finished.publish (solid (juce::Colours::yellow, 40, 7, juce::Image::RGB));
    EXPECT_EQ (finished.latest().getBounds(), juce::Rectangle<int> (0, 0, 40, 7));
    EXPECT_EQ (finished.latest().getFormat(), juce::Image::RGB);
    EXPECT_EQ (finished.latest().getPixelAt (39, 6), juce::Colours::yellow);

    finished.publish ({});
    EXPECT_FALSE (finished.latest().isValid());
    EXPECT_EQ (small.getPixelAt (9, 9), juce::Colours::white);

    finished.publish (solid (juce::Colours::white, 10, 10));
    EXPECT_TRUE (finished.latest().isValid());
}

TEST (FinishedPicture, ReadersAlwaysSeeWholePicturesWhileTheWriterRuns)
{
    FinishedPicture finished;
    finished.publish (solid (juce::Colour (0xff000000), 200, 100));

    std::atomic<bool> stop { false };
    std::thread writer ([&]
    {
        juce::Image source (juce::Image::ARGB, 200, 100, false);
        for (int i = 1; ! stop.load(); ++i)
        {
            source.clear (source.getBounds(), juce::Colour ((juce::uint8) (i & 0xff), (juce::uint8) (i >> 8), 7, (juce::uint8) 255));
            finished.publish (source);
            finished.renderDisplayCopies();
        }
    });

    int torn = 0, reads = 0;
    std::vector<juce::Image> kept, keptCopies;
    // A third of a second and at least 50 reads (a loaded machine under a
    // sanitizer may need longer for them).
    const auto start = juce::Time::getMillisecondCounterHiRes();
    auto goOn = [&]
    {
        const auto elapsed = juce::Time::getMillisecondCounterHiRes() - start;
        return elapsed < 300.0 || (reads < 50 && elapsed < 20000.0);
    };

    while (goOn())
    {
        auto picture = finished.latest();
        ++reads;
        torn += uniform (picture) ? 0 : 1;

        FinishedPicture::ForDisplay shown;
        if (finished.tryForDisplay (reads % 2 == 0 ? 50 : 70, 30, shown))
            torn += uniform (shown.image, 1) ? 0 : 1; // scaled: edges blend with nothing

        // Sometimes hold on to a picture or a display copy for a while, as a
        // slow paint would: the writer must neither write a held picture again
        // nor draw the next display copy into a held one.
        if (reads % 7 == 0 && kept.size() < 5)
            kept.push_back (picture);
        else if (reads % 11 == 0 && ! kept.empty())
            kept.erase (kept.begin());

        if (reads % 5 == 0 && keptCopies.size() < 3 && shown.image.isValid())
            keptCopies.push_back (shown.image);
        else if (reads % 13 == 0 && ! keptCopies.empty())
            keptCopies.erase (keptCopies.begin());

        for (const auto& k : kept)
            torn += uniform (k) ? 0 : 1;

        for (const auto& k : keptCopies)
            torn += uniform (k, 1) ? 0 : 1;
    }

    stop = true;
    writer.join();
    EXPECT_EQ (torn, 0);
    EXPECT_GE (reads, 50);
}

TEST (FinishedPicture, DisplayCopiesAreThePictureScaledAsAWindowDrawsIt)
{
    FinishedPicture finished;

    juce::Image picture (juce::Image::RGB, 300, 120, false);
    juce::Random random (3);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 300; ++x)
            picture.setPixelAt (x, y, juce::Colour::greyLevel (random.nextFloat()));
    finished.publish (picture);

    // Nothing scaled yet: the picture itself, with its size.
    auto shown = shownAt (finished, 130, 90);
    EXPECT_FALSE (shown.scaled);
    EXPECT_EQ (shown.image.getWidth(), 300);
    EXPECT_EQ (shown.pictureWidth, 300);
    EXPECT_EQ (shown.pictureHeight, 120);

    finished.renderDisplayCopies();
    EXPECT_EQ (finished.displayCopiesRendered(), 1u);
    shown = shownAt (finished, 130, 90);
    ASSERT_TRUE (shown.scaled);
    EXPECT_EQ (shown.image.getBounds(), juce::Rectangle<int> (0, 0, 130, 90));
    EXPECT_EQ (shown.pictureWidth, 300);

    // Laid on a window, the copy gives what drawing the picture itself gives.
    auto onWindow = [] (const juce::Image& image, bool scaled)
    {
        juce::Image window (juce::Image::ARGB, 130, 90, true);
        juce::Graphics g (window);
        g.fillAll (juce::Colour (0x33008000));
        if (scaled)
            g.drawImageAt (image, 0, 0);
        else
            g.drawImageTransformed (image, juce::AffineTransform::scale (130.0f / 300.0f, 90.0f / 120.0f));
        return window;
    };

    const auto viaCopy = onWindow (shown.image, true);
    const auto direct = onWindow (picture, false);
    int differing = 0;
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 130; ++x)
            differing += viaCopy.getPixelAt (x, y) != direct.getPixelAt (x, y) ? 1 : 0;
    EXPECT_EQ (differing, 0);

    // Up to date copies are not scaled again.
    finished.renderDisplayCopies();
    EXPECT_EQ (finished.displayCopiesRendered(), 1u);

    // A new picture: the copy of the last one serves until the new one is scaled.
    const auto old = shown.image;
    const auto oldPixel = old.getPixelAt (60, 40);
    finished.publish (solid (juce::Colours::white, 300, 120));
    EXPECT_EQ (shownAt (finished, 130, 90).image, old);
    finished.renderDisplayCopies();
    shown = shownAt (finished, 130, 90);
    EXPECT_TRUE (shown.scaled);
    EXPECT_EQ (shown.image.getPixelAt (60, 40), juce::Colours::white);
    EXPECT_NE (oldPixel, juce::Colours::white);
    EXPECT_EQ (old.getPixelAt (60, 40), oldPixel) << "a copy held by a reader never changes";

    // No picture: no copies either.
    finished.publish ({});
    EXPECT_FALSE (shownAt (finished, 130, 90).image.isValid());
    finished.renderDisplayCopies();
    EXPECT_FALSE (shownAt (finished, 130, 90).image.isValid());
}

// The opaque area of a copy is what lets the canvas leave out the fill under
// it: every pixel inside must be opaque, and it must not vanish on an opaque
// picture just because scaling softens the edges.
TEST (FinishedPicture, OpaqueAreaOfACopyHoldsOnlyOpaquePixels)
{
    auto allOpaque = [] (const juce::Image& image, juce::Rectangle<int> area)
    {
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (image.getPixelAt (x, y).getAlpha() != 0xff)
                    return false;
        return true;
    };

    struct Case { int pw, ph, w, h; };

    // Enlarged ten times (soft edges several pixels wide), reduced, and
    // enlarged one way while reduced the other.
    for (const auto c : { Case { 40, 30, 400, 300 }, Case { 600, 300, 250, 120 }, Case { 50, 400, 333, 97 } })
    {
        SCOPED_TRACE (juce::String (c.pw) + "x" + juce::String (c.ph) + " at " + juce::String (c.w) + "x" + juce::String (c.h));
        FinishedPicture finished;
        juce::Image picture (juce::Image::RGB, c.pw, c.ph, false);
        juce::Random random (7);
        for (int y = 0; y < c.ph; ++y)
            for (int x = 0; x < c.pw; ++x)
                picture.setPixelAt (x, y, juce::Colour::greyLevel (random.nextFloat()));

        finished.publish (picture);
        shownAt (finished, c.w, c.h);
        finished.renderDisplayCopies();
        const auto shown = shownAt (finished, c.w, c.h);
        ASSERT_TRUE (shown.scaled);

        const auto area = shown.opaqueArea;
        ASSERT_FALSE (area.isEmpty());
        EXPECT_TRUE (allOpaque (shown.image, area));
        EXPECT_TRUE (shown.image.getBounds().contains (area));
        EXPECT_LE (area.getX(), 6);
        EXPECT_LE (area.getY(), 6);
        EXPECT_GE (area.getRight(), c.w - 6);
        EXPECT_GE (area.getBottom(), c.h - 6);
    }

    // One see-through pixel in the middle of the picture: no opaque area.
    {
        FinishedPicture finished;
        auto picture = solid (juce::Colours::red, 80, 60);
        picture.setPixelAt (40, 30, juce::Colours::transparentBlack);
        finished.publish (picture);
        shownAt (finished, 160, 120);
        finished.renderDisplayCopies();
        const auto shown = shownAt (finished, 160, 120);
        ASSERT_TRUE (shown.scaled);
        EXPECT_TRUE (shown.opaqueArea.isEmpty()) << shown.opaqueArea.toString();
    }

    // A picture half transparent throughout: none either.
    {
        FinishedPicture finished;
        finished.publish (solid (juce::Colours::red.withAlpha (0.5f), 80, 60));
        shownAt (finished, 100, 70);
        finished.renderDisplayCopies();
        EXPECT_TRUE (shownAt (finished, 100, 70).opaqueArea.isEmpty());
    }
}

TEST (FinishedPicture, ScalesOnlyForTheTwoSizesAskedForLately)
{
    FinishedPicture finished;
    finished.publish (solid (juce::Colours::red, 200, 100));

    shownAt (finished, 100, 50);
    shownAt (finished, 60, 40);
    finished.renderDisplayCopies();
    EXPECT_EQ (finished.displayCopiesRendered(), 2u);
    EXPECT_TRUE (shownAt (finished, 100, 50).scaled);
    EXPECT_TRUE (shownAt (finished, 60, 40).scaled);

    // A third size takes over the size asked for least recently.
    juce::Thread::sleep (5);
    shownAt (finished, 100, 50);
    shownAt (finished, 80, 80);
    finished.renderDisplayCopies();
    EXPECT_TRUE (shownAt (finished, 100, 50).scaled);
    EXPECT_TRUE (shownAt (finished, 80, 80).scaled);
    EXPECT_FALSE (shownAt (finished, 60, 40).scaled);

    // Sizes nobody has asked for in a while are not scaled any more.
    juce::Thread::sleep ((int) FinishedPicture::displaySizeLifetimeMs + 50);
    const auto before = finished.displayCopiesRendered();
    finished.publish (solid (juce::Colours::blue, 200, 100));
    finished.renderDisplayCopies();
    EXPECT_EQ (finished.displayCopiesRendered(), before);
    shownAt (finished, 80, 80);
    finished.renderDisplayCopies();
    EXPECT_EQ (finished.displayCopiesRendered(), before + 1);
    EXPECT_EQ (shownAt (finished, 80, 80).image.getPixelAt (40, 40), juce::Colours::blue);
}

TEST (FinishedPicture, TheProcessorPublishesItsPictureFromTheStart)
{
    auto p = makeProcessor();
    const auto first = p->finishedPicture.latest();
    ASSERT_TRUE (first.isValid());
    EXPECT_EQ (first.getBounds(), juce::Rectangle<int> (0, 0, 480, 330));
    EXPECT_EQ (first.getPixelAt (240, 165), juce::Colour (0xff000000));

    // A new picture shows once it is adopted and rendered.
    p->loadFile (writeBytes ("wide.png", encodePng (solidImage (600, 100, juce::Colours::white))).getFullPathName(), true);
    ASSERT_TRUE (adoptPending (*p));
    ASSERT_TRUE (waitFor ([&p] { return p->finishedPicture.latest().getWidth() == 600; }));
    EXPECT_EQ (p->finishedPicture.latest().getPixelAt (300, 50), juce::Colours::white);
}

// A display copy's image is drawn into again only once no reader holds it:
// a held copy keeps its pixels through any number of passes, and with nobody
// holding them the copies take turns in two images instead of a new one per
// pass. A reused image gives the same pixels as a new one.
TEST (FinishedPicture, DisplayCopiesReuseImagesNobodyHolds)
{
    FinishedPicture finished;
    const juce::Colour colours[] = { juce::Colours::red, juce::Colours::blue, juce::Colours::green };

    finished.publish (solid (colours[0], 200, 100));
    shownAt (finished, 90, 40);
    finished.renderDisplayCopies();
    const auto held = shownAt (finished, 90, 40).image;
    ASSERT_TRUE (held.isValid());

    // Image identities by pass. Without reuse, a pass's new image is made
    // while the copies of the two passes before it still exist, so it cannot
    // have either one's address; with reuse it is the one of two passes ago.
    std::vector<juce::ImagePixelData*> used;

    for (int i = 1; i < 12; ++i)
    {
        finished.publish (solid (colours[i % 3], 200, 100));
        finished.renderDisplayCopies();
        const auto shown = shownAt (finished, 90, 40);
        ASSERT_TRUE (shown.scaled);
        EXPECT_NE (shown.image.getPixelData(), held.getPixelData()) << "pass " << i;
        EXPECT_EQ (shown.image.getPixelAt (45, 20), colours[i % 3]) << "pass " << i;
        EXPECT_EQ (shown.image.getPixelAt (1, 1), colours[i % 3]) << "pass " << i;
        used.push_back (shown.image.getPixelData());
    }

    EXPECT_TRUE (uniform (held, 1)); // its edges are partly covered
    EXPECT_EQ (held.getPixelAt (45, 20), colours[0]);

    // Pass 1 replaced the held copy, which pass 2 could not reuse; from pass 3
    // on the two images take turns.
    for (size_t i = 2; i < used.size(); ++i)
        EXPECT_EQ (used[i], used[i - 2]) << "pass " << i + 1;

    // Reused or new, the copy is the picture scaled as a window draws it.
    juce::Image picture (juce::Image::RGB, 200, 100, false);
    juce::Random random (5);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x)
            picture.setPixelAt (x, y, juce::Colour::greyLevel (random.nextFloat()));

    juce::Image expected (juce::Image::ARGB, 90, 40, true);
    {
        juce::Graphics g (expected);
        g.drawImageTransformed (picture, juce::AffineTransform::scale (90.0f / 200.0f, 40.0f / 100.0f));
    }

    for (int i = 0; i < 3; ++i)
    {
        finished.publish (picture);
        finished.renderDisplayCopies();
        EXPECT_TRUE (sameImage (shownAt (finished, 90, 40).image, expected)) << "pass " << i;
    }
}
