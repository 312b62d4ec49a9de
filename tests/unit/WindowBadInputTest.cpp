#include "CanvasTestSupport.h"
#include "EditorTestSupport.h"
#include "KeyPressSupport.h"
#include "LivePlayback.h"
#include "PictureMutation.h"

// Bad input from the user, through the real window on a processor that plays:
// drops of damaged, empty, huge-header and non-picture files, pictures of
// 1 x 1 and 20000 x 10 pixels, a stroke of ten thousand points, and resizes
// to the limits and back as fast as the events come. The window keeps
// working (it paints, takes strokes and lays itself out as before) and the
// processor keeps playing: it filters with every picture that decodes, and a
// file that does not decode leaves it without a picture, passing the sound
// through, until the next picture comes.

using namespace kestrune::test;
namespace fs = kestrune::test::files;

namespace
{
    using canvas::confirmationBoxes;

    // Drops one file on the canvas and answers its box as the user would.
    bool dropAndAnswer (TargetArea& canvasArea, const juce::String& path, const juce::String& answer)
    {
        canvasArea.filesDropped ({ path }, 40, 40);
        const auto boxes = confirmationBoxes();

        if (boxes.size() != 1)
            return false;

        canvas::clickBoxButton (*boxes.front(), answer);

        pumpMessages (20);
        return confirmationBoxes().empty();
    }

    std::pair<int, int> history (KestruneAudioProcessor& p) // { undoIndex, snapshots }
    {
        const juce::ScopedLock sl (p.pictureEditLock);
        return { p.undoIndex, (int) p.undoImages.size() };
    }

    // A window that works: it paints, and a stroke on its canvas lands in the
    // pen layer's history whenever there is a picture to draw on.
    void expectTheWindowWorks (KestruneAudioProcessorEditor& editor, const std::string& after)
    {
        auto& p = editor.audioProcessor;
        const auto image = snapshot (editor);
        EXPECT_EQ (image.getBounds(), editor.getLocalBounds()) << after;

        auto& canvasArea = editor.parentTargetArea.targetArea;
        const auto before = history (p);
        setPlain (p, "penStyle", 4.0f);
        setPlain (p, "zoom", 0.0f);
        canvas::Gesture (canvasArea).press (30, 30, canvas::left | canvas::shift)
                                    .drag (80, 70, canvas::left | canvas::shift)
                                    .release (80, 70, canvas::left | canvas::shift);

        if (p.sourceImagePresent.load())
            EXPECT_EQ (history (p).second, before.second + 1) << after;
        else
            EXPECT_EQ (history (p), before) << after;
    }

    // Lets the picture just handed over be adopted by the playing audio
    // thread and rendered by the worker (without a picture, the requests to
    // render wait for one).
    bool adoptedWhilePlaying (KestruneAudioProcessor& p, LivePlayback& playback)
    {
        if (! waitFor ([&] { return ! p.newImagePending.load(); }, 20000))
            return false;

        if (p.sourceImagePresent.load() ? ! canvas::settle (p, 20000)
                                        : ! waitFor ([&, passes = p.workerPasses.load()] { return p.workerPasses.load() >= passes + 2; }, 20000))
            return false;

        return playback.waitForBlocks (4);
    }

    // Blocks in which the output was the input itself (no picture), counted
    // over the next few blocks.
    long unchangedOverNextBlocks (LivePlayback& playback, long blocks)
    {
        const auto before = playback.unchangedBlocks();
        const auto start = playback.blocks();
        playback.waitForBlocks (blocks);
        return (playback.unchangedBlocks() - before) * 100 / juce::jmax (1L, playback.blocks() - start);
    }

    struct PlayingWindow
    {
        PlayingWindow()
        {
            p->loadFile (fs::writeFile ("bad-input-start.png", fs::pngOf (fs::patternPicture (320, 200))).getFullPathName(), true);
            adoptPending (*p);
            canvas::settle (*p);

            LivePlayback::Options options;
            options.automate = false;
            playback = std::make_unique<LivePlayback> (*p, options);

            editor = std::make_unique<EditorHandle> (*p);
            (*editor)->setTopLeftPosition (50, 50);
            (*editor)->addToDesktop (0);
            (*editor)->setVisible (true);
            pumpMessages (50);
        }

        ~PlayingWindow()
        {
            editor.reset();
            playback.reset();
            pumpMessages (20);
        }

        KestruneAudioProcessorEditor& window() { return **editor; }
        TargetArea& canvasArea() { return window().parentTargetArea.targetArea; }

        std::unique_ptr<KestruneAudioProcessor> p = makeProcessor();
        std::unique_ptr<LivePlayback> playback;
        std::unique_ptr<EditorHandle> editor;
    };
}

//==============================================================================
TEST (WindowBadInput, DropsOfFilesThatAreNoPictureLeaveAWorkingWindowAndSoundGoingOn)
{
    if (! keys::haveDisplay())
        GTEST_SKIP() << "no X display";

    PlayingWindow w;
    auto& p = *w.p;
    const auto good = fs::writeFile ("bad-input-good.png", fs::pngOf (fs::patternPicture (200, 120))).getFullPathName();

    auto cutPng = fs::pngOf (fs::patternPicture (300, 200));
    cutPng.resize (cutPng.size() / 3);
    auto cutJpeg = fs::jpegOf (fs::patternPicture (300, 200));
    cutJpeg.resize (cutJpeg.size() / 2);

    const std::pair<const char*, juce::String> bad[] = {
        { "damaged PNG",           fs::writeFile ("bad-cut.png", cutPng).getFullPathName() },
        { "damaged JPEG",          fs::writeFile ("bad-cut.jpg", cutJpeg).getFullPathName() },
        { "empty file",            fs::writeFile ("bad-empty.png", {}).getFullPathName() },
        { "PNG header of 100000 x 100000", fs::writeFile ("bad-huge.png", fs::pngDeclaring (100000, 100000)).getFullPathName() },
        { "JPEG header of 65000 x 65000",  fs::writeFile ("bad-huge.jpg", fs::jpegDeclaring (65000, 65000)).getFullPathName() },
        { "text named .png",       writeBytes ("bad-text.png", "just some words, no picture", 27).getFullPathName() },
        { "a folder named .png",   [] { auto d = pictureScratchFolder().getChildFile ("bad-folder.png"); d.createDirectory(); return d.getFullPathName(); }() },
        { "missing file",          pictureScratchFolder().getChildFile ("bad-missing.png").getFullPathName() },
    };

    for (const auto& [what, path] : bad)
    {
        ASSERT_TRUE (dropAndAnswer (w.canvasArea(), path, "No")) << what;
        ASSERT_TRUE (adoptedWhilePlaying (p, *w.playback)) << what;

        // No picture: the sound passes through, and the window shows and takes what it can.
        EXPECT_FALSE (p.sourceImagePresent.load()) << what;
        EXPECT_EQ (unchangedOverNextBlocks (*w.playback, 8), 100) << what;
        expectTheWindowWorks (w.window(), what);

        // The next picture is filtered with again.
        ASSERT_TRUE (dropAndAnswer (w.canvasArea(), good, "Yes")) << what;
        ASSERT_TRUE (adoptedWhilePlaying (p, *w.playback)) << what;
        EXPECT_TRUE (p.sourceImagePresent.load()) << what;
        EXPECT_EQ (unchangedOverNextBlocks (*w.playback, 8), 0) << what;
        expectTheWindowWorks (w.window(), what);
    }

    EXPECT_EQ (w.playback->nonFiniteBlocks(), 0);
}

TEST (WindowBadInput, PicturesOfOnePixelAndOfTwentyThousandColumnsAreDrawnOnAndFilteredWith)
{
    if (! keys::haveDisplay())
        GTEST_SKIP() << "no X display";

    PlayingWindow w;
    auto& p = *w.p;

    for (const auto& [width, height] : { std::pair<int, int> { 1, 1 }, { 20000, 10 }, { 10, 20000 } })
    {
        const auto what = std::to_string (width) + " x " + std::to_string (height);
        const auto path = fs::writeFile ("extreme.png", fs::pngOf (fs::patternPicture (width, height))).getFullPathName();

        ASSERT_TRUE (dropAndAnswer (w.canvasArea(), path, "Yes")) << what;
        ASSERT_TRUE (adoptedWhilePlaying (p, *w.playback)) << what;
        EXPECT_TRUE (p.sourceImagePresent.load()) << what;
        EXPECT_EQ (unchangedOverNextBlocks (*w.playback, 8), 0) << what;

        pumpMessages (100); // the canvas and the spectrum view paint it
        expectTheWindowWorks (w.window(), what);

        // The picture the canvas shows is the one in force.
        const auto shown = canvas::shownAt (p.finishedPicture, w.canvasArea().getWidth(), w.canvasArea().getHeight());
        const juce::ScopedLock sl (p.pictureEditLock);
        EXPECT_EQ (shown.pictureWidth, p.sourceImage.getWidth()) << what;
        EXPECT_EQ (shown.pictureHeight, p.sourceImage.getHeight()) << what;
    }

    EXPECT_EQ (w.playback->nonFiniteBlocks(), 0);
}

TEST (WindowBadInput, AStrokeOfTenThousandPointsInEveryPen)
{
    if (! keys::haveDisplay())
        GTEST_SKIP() << "no X display";

    PlayingWindow w;
    auto& p = *w.p;
    auto& canvasArea = w.canvasArea();
    const auto held = canvas::left | canvas::shift;
    double longestPaintMs = 0.0, longestReleaseMs = 0.0;

    for (int style = 0; style <= 6; ++style)
    {
        setPlain (p, "penStyle", (float) style);
        const auto before = history (p);

        canvas::Gesture gesture (canvasArea);
        gesture.press (10, 10, held);

        for (int i = 0; i < 10000; ++i)
        {
            // A hand wandering over the canvas for a long while.
            const auto x = (int) (canvasArea.getWidth() / 2 + (canvasArea.getWidth() / 2 - 20) * std::sin (i * 0.0071) * std::cos (i * 0.00113));
            const auto y = (int) (canvasArea.getHeight() / 2 + (canvasArea.getHeight() / 2 - 20) * std::sin (i * 0.0053 + 1.0));
            gesture.drag (x, y, held);

            // The window repaints the stroke so far as it grows.
            if (i % 2500 == 2499)
            {
                const auto start = juce::Time::getMillisecondCounterHiRes();
                paintOf (canvasArea);
                longestPaintMs = std::max (longestPaintMs, juce::Time::getMillisecondCounterHiRes() - start);
            }
        }

        const auto start = juce::Time::getMillisecondCounterHiRes();
        gesture.release (200, 150, held);
        longestReleaseMs = std::max (longestReleaseMs, juce::Time::getMillisecondCounterHiRes() - start);

        EXPECT_EQ (history (p).second, before.second + 1) << "pen " << style;
        EXPECT_EQ (canvasArea.strokePoints.size(), 10001u) << "pen " << style;
        pumpMessages (40);
    }

    expectTheWindowWorks (w.window(), "the long strokes");
    EXPECT_EQ (w.playback->nonFiniteBlocks(), 0);
    std::cout << "[ strokes  ] 10000 points: longest preview paint " << longestPaintMs
              << " ms, longest release (the stroke drawn) " << longestReleaseMs << " ms" << std::endl;
}

TEST (WindowBadInput, ResizesToTheLimitsAndBackAsFastAsTheEventsCome)
{
    if (! keys::haveDisplay())
        GTEST_SKIP() << "no X display";

    PlayingWindow w;
    auto& editor = w.window();
    ASSERT_NE (editor.resizableCorner, nullptr);
    juce::Component& corner = *editor.resizableCorner; // its mouse handlers, as the window delivers them

    // The resize corner dragged far past both limits and back, event after
    // event, with the message loop running only now and then.
    const juce::Point<float> grab (5.0f, 5.0f);
    const auto left = juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier);
    juce::Random random (5);

    for (int drag = 0; drag < 6; ++drag)
    {
        corner.mouseDown (mouseEvent (corner, grab, left, 1));

        for (int step = 0; step < 60; ++step)
        {
            const auto reach = (step % 2 == 0 ? 1.0f : -1.0f) * (float) (200 + random.nextInt (3000));
            corner.mouseDrag (mouseEvent (corner, grab + juce::Point<float> (reach, reach * 0.6f), left, 1, grab, true));

            const auto size = editor.getLocalBounds();
            ASSERT_TRUE (constrainerKeeps (editor, size)) << size.toString();

            if (step % 10 == 0)
                pumpMessages (1);
        }

        corner.mouseUp (mouseEvent (corner, grab, left, 1, grab, true));
    }

    // A host that sets sizes itself, inside the limits and outside them.
    for (const auto& [width, height] : { std::pair<int, int> { 760, 428 }, { 1187, 667 }, { 0, 0 }, { 1, 1 }, { 300, 2000 },
                                         { 2400, 1350 }, { 759, 427 }, { 1188, 668 }, { 950, 534 } })
    {
        editor.setSize (width, height);
        pumpMessages (1);
    }

    // Laid out as a window of that size is, and the size kept in the state.
    pumpMessages (100);
    EXPECT_EQ (editor.getLocalBounds(), juce::Rectangle<int> (950, 534));
    EXPECT_EQ (editor.parentTargetArea.getBounds(), juce::Rectangle<int> (20, 0, 514, 380));
    EXPECT_EQ (editor.spectrumView.getBounds(), juce::Rectangle<int> (20, 400, 514, 114));
    EXPECT_EQ (editor.scanPanel.getBounds(), juce::Rectangle<int> (765, 3, 182, 488));
    EXPECT_EQ (editor.openImageButton.getBounds(), juce::Rectangle<int> (889, 496, 59, 36));
    EXPECT_FLOAT_EQ (globalResizeRatio, 1.0f);
    EXPECT_EQ ((int) windowSizeChild (*w.p).getProperty ("width"), 950);
    EXPECT_EQ ((int) windowSizeChild (*w.p).getProperty ("height"), 534);

    expectTheWindowWorks (editor, "the resizes");
    EXPECT_EQ (w.playback->nonFiniteBlocks(), 0);
}
