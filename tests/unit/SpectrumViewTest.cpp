#include "AudioTestSupport.h"
#include "PictureTestSupport.h"
#include "EditorTestSupport.h"

#include <atomic>
#include <cmath>
#include <thread>

using namespace kestrune::test;

// The spectrum view as the editor holds it. Most tests play the audio thread
// themselves: they fill the processor's fftData or playedColumn while the
// flag is down and raise it, then run the view's timer tick.
namespace
{
    // Display point 100 shows bin 96 (1 - (1 - 100/256)^0.2 of the half
    // spectrum), the last point (255) bin 686.
    constexpr int point100Bin = 96;
    constexpr int point255Bin = 686;

    // A full-scale sine on an exact bin reads |X| = 1024 through the
    // normalised window: -6.02 dB below the full-scale reference.
    float expectedLevel (float amplitude)
    {
        const auto db = 20.0f * std::log10 (1024.0f * amplitude);
        return juce::jlimit (0.0f, 1.0f, (db - 66.22659f + 100.0f) / 100.0f);
    }

    void handOverSine (KestruneAudioProcessor& p, double bin, float amplitude)
    {
        ASSERT_FALSE (p.nextFFTBlockReady.load (std::memory_order_acquire));
        for (int i = 0; i < 2048; ++i)
            p.fftData[i] = amplitude * (float) std::sin (2.0 * juce::MathConstants<double>::pi * bin * i / 2048.0);
        std::fill (p.fftData + 2048, p.fftData + 4096, 0.0f);
        p.nextFFTBlockReady.store (true, std::memory_order_release);
    }

    void handOverSilence (KestruneAudioProcessor& p)
    {
        std::fill (p.fftData, p.fftData + 4096, 0.0f);
        p.nextFFTBlockReady.store (true, std::memory_order_release);
    }

    // The played column at `level` in every row, handed over as the audio
    // thread does.
    void handOverColumn (KestruneAudioProcessor& p, float level)
    {
        std::fill (p.playedColumn, p.playedColumn + 2048, level);
        p.nextColumnReady.store (true, std::memory_order_release);
    }

    void doubleClick (SpectrumView& view)
    {
        const juce::Point<float> at (20.0f, 20.0f);
        const auto now = juce::Time::getCurrentTime();
        view.mouseDoubleClick (juce::MouseEvent (juce::Desktop::getInstance().getMainMouseSource(), at,
                                                 juce::ModifierKeys::leftButtonModifier,
                                                 juce::MouseInputSource::defaultPressure,
                                                 0.0f, 0.0f, 0.0f, 0.0f, &view, &view, now, at, now, 2, false));
    }

    // Runs the audio thread's share of adopting the pending picture: blocks
    // until the adoption has happened and the worker has published after it.
    void adoptThroughABlock (KestruneAudioProcessor& p)
    {
        juce::AudioBuffer<float> block (2, 64);
        juce::MidiBuffer midi;

        const auto adopted = waitFor ([&]
        {
            block.clear();
            p.processBlock (block, midi);
            return ! p.newImagePending.load();
        }, 10000);
        ASSERT_TRUE (adopted);

        const auto passes = p.workerPasses.load();
        ASSERT_TRUE (waitFor ([&] { return p.workerPasses.load() >= passes + 2; }, 5000));
    }

    // The view painted as on a screen of `scale` pixels per point.
    juce::Image render (SpectrumView& view, int scale = 1)
    {
        juce::Image image (juce::Image::RGB, view.getWidth() * scale, view.getHeight() * scale, true);
        juce::Graphics g (image);
        g.addTransform (juce::AffineTransform::scale ((float) scale));
        view.paint (g);
        return image;
    }

    bool isGreenish (juce::Colour c) { return c.getGreen() > 120 && c.getRed() < 200 && c.getBlue() > 50; }
    bool isOrangeish (juce::Colour c) { return c.getRed() > 120 && c.getBlue() < 60 && c.getGreen() > 60; }

    // Pixels of a colour family above the bottom `margin` rows.
    template <typename Test>
    int countAbove (const juce::Image& image, int margin, Test&& test)
    {
        int n = 0;
        for (int y = 0; y < image.getHeight() - margin; ++y)
            for (int x = 2; x < image.getWidth() - 2; ++x)
                n += test (image.getPixelAt (x, y)) ? 1 : 0;
        return n;
    }
}

//==============================================================================
TEST (SpectrumView, ShowsAToneAtItsDisplayPointAtTheReferencedLevel)
{
    auto p = makeProcessor();
    SpectrumView view (*p);
    view.stopTimer(); // the test runs the ticks

    handOverSine (*p, point100Bin, 1.0f);
    view.timerCallback();
    EXPECT_FALSE (p->nextFFTBlockReady.load());
    EXPECT_NEAR (view.scopeData[100], expectedLevel (1.0f), 0.002f);
    EXPECT_NEAR (expectedLevel (1.0f), 0.9398f, 0.0001f);
    EXPECT_EQ (view.scopeData[40], 0.0f);
    EXPECT_EQ (view.scopeData[200], 0.0f);

    // A quieter tone at the top of the curve; the old peak is held and falls.
    handOverSine (*p, point255Bin, 0.01f);
    view.timerCallback();
    EXPECT_NEAR (view.scopeData[255], expectedLevel (0.01f), 0.002f);
    EXPECT_NEAR (view.scopeData[100], expectedLevel (1.0f) - 0.01f, 0.002f);

    // Data without the flag is not the view's to take.
    for (int i = 0; i < 2048; ++i)
        p->fftData[i] = 1.0f;
    const auto before = view.scopeData[0];
    view.timerCallback();
    EXPECT_EQ (view.scopeData[0], before);
    EXPECT_EQ (p->fftData[5], 1.0f);
}

TEST (SpectrumView, SilenceLetsHeldPeaksFallAtEachModesRate)
{
    auto p = makeProcessor();
    SpectrumView view (*p);
    view.stopTimer();

    // Input mode: 0.01 per frame, so a peak of 0.94 needs 94 frames or 95.
    handOverSine (*p, point100Bin, 1.0f);
    view.timerCallback();
    const auto top = view.scopeData[100];

    for (int frame = 1; frame <= 100; ++frame)
    {
        handOverSilence (*p);
        view.timerCallback();

        if (frame == 90)
        {
            EXPECT_NEAR (view.scopeData[100], top - 0.9f, 0.002f);
        }
    }

    for (int i = 0; i < 256; ++i)
    {
        ASSERT_LE (view.scopeData[i], 0.0f) << i;
        ASSERT_GT (view.scopeData[i], -0.01f) << i; // at most one step below the bottom
        ASSERT_EQ (view.scopeData[i], view.peakHold[i]) << i;
    }

    // Output mode: the held curve falls from where it is at 0.05 per frame.
    handOverSine (*p, point100Bin, 1.0f);
    view.timerCallback();
    doubleClick (view);
    ASSERT_EQ (p->spectrumMode.load(), 1);

    for (int frame = 1; frame <= 20; ++frame)
    {
        handOverSilence (*p);
        view.timerCallback();

        if (frame == 18)
        {
            EXPECT_NEAR (view.scopeData[100], top - 0.9f, 0.002f);
        }
    }

    EXPECT_LE (view.scopeData[100], 0.0f);
    EXPECT_GT (view.scopeData[100], -0.05f);

    // A peak dipped below the bottom is replaced by the next level, even 0.
    p->spectrumMode = 0;
    view.peakHold[7] = 0.005f;
    handOverSilence (*p);
    view.timerCallback();
    EXPECT_NEAR (view.scopeData[7], -0.005f, 1e-6f);
    handOverSilence (*p);
    view.timerCallback();
    EXPECT_EQ (view.scopeData[7], 0.0f);
}

TEST (SpectrumView, DoubleClicksCycleTheModeBackToTheStart)
{
    auto p = makeProcessor();
    SpectrumView view (*p);

    for (const auto start : { 0, 1, 2 })
    {
        p->spectrumMode = start;
        doubleClick (view);
        EXPECT_EQ (p->spectrumMode.load(), (start + 1) % 3);
        doubleClick (view);
        doubleClick (view);
        EXPECT_EQ (p->spectrumMode.load(), start);
    }
}

// A double-click through the window, where the component under the pointer
// gets it: the "Spectrum" caption lies over the view and must let it pass.
TEST (SpectrumView, DoubleClickOnTheCaptionCyclesTheModeAsElsewhere)
{
    if (! displayAvailable())
        GTEST_SKIP() << "no X display";

    auto p = makeProcessor();
    SpectrumView view (*p);
    view.setSize (514, 114);
    ScopedDesktopWindow shown (view);

    // The view's centre lies below the caption.
    const std::pair<const char*, juce::Component*> places[] = {
        { "caption", &view.spectrumLabel }, { "view", &view } };

    for (const auto& [name, place] : places)
    {
        const auto before = p->spectrumMode.load();
        click (*place, 2);
        EXPECT_EQ (p->spectrumMode.load(), (before + 1) % 3) << name;
    }
}

//==============================================================================
TEST (SpectrumView, PictureHeightFollowsAdoptionsWithoutTheLock)
{
    auto p = makeProcessor();
    EXPECT_EQ (p->outputImageHeight.load(), 330); // the default picture, adopted at construction

    p->prepareToPlay (48000.0, 512);

    const auto tall = writeBytes ("tall.png", encodePng (solidImage (40, 700, juce::Colours::white)));
    p->loadFile (tall.getFullPathName(), true);
    adoptThroughABlock (*p);
    EXPECT_EQ (p->outputImageHeight.load(), 512); // at most 512 rows are kept

    const auto small = writeBytes ("small.png", encodePng (solidImage (40, 100, juce::Colours::white)));
    p->loadFile (small.getFullPathName(), true);
    adoptThroughABlock (*p);
    EXPECT_EQ (p->outputImageHeight.load(), 100);

    p->loadFile (pictureScratchFolder().getChildFile ("missing.png").getFullPathName(), true);
    adoptThroughABlock (*p);
    EXPECT_EQ (p->outputImageHeight.load(), 0);
}

TEST (SpectrumView, PlayedColumnIsCopiedForThePicturesRowsOnly)
{
    auto p = makeProcessor();
    SpectrumView view (*p);
    view.stopTimer();
    view.setSize (300, 120);

    // The default picture: 330 rows.
    handOverColumn (*p, 1.0f);
    view.timerCallback();

    EXPECT_FALSE (p->nextColumnReady.load());
    EXPECT_EQ (view.columnData[0], 1.0f);
    EXPECT_EQ (view.columnData[329], 1.0f);
    EXPECT_EQ (view.columnData[330], 0.0f);

    const auto withPicture = render (view);
    EXPECT_GT (countAbove (withPicture, 6, isGreenish), 200); // the column curve runs along the top

    // Without a picture the flag still goes down, nothing is copied and the
    // curve lies flat along the bottom, whatever an earlier picture left.
    p->prepareToPlay (48000.0, 512);
    p->loadFile (pictureScratchFolder().getChildFile ("missing.png").getFullPathName(), true);
    adoptThroughABlock (*p);

    handOverColumn (*p, 0.5f);
    view.timerCallback();

    EXPECT_FALSE (p->nextColumnReady.load());
    EXPECT_EQ (view.columnData[0], 1.0f);
    EXPECT_EQ (countAbove (render (view), 6, isGreenish), 0);
}

TEST (SpectrumView, CurvesAreDrawnOverBlackWithinTheFrame)
{
    auto p = makeProcessor();
    SpectrumView view (*p);
    view.stopTimer();
    view.setSize (300, 120);

    // Silence: both curves lie along the bottom.
    auto image = render (view);
    EXPECT_EQ (countAbove (image, 6, isOrangeish), 0);
    EXPECT_EQ (image.getPixelAt (150, 60), juce::Colour (0xff000000));
    EXPECT_EQ (image.getPixelAt (0, 60).getRed(), image.getPixelAt (0, 60).getBlue()); // grey frame
    EXPECT_GT (image.getPixelAt (0, 60).getRed(), 40);

    // A loud tone raises the orange curve near its display point only.
    handOverSine (*p, point100Bin, 1.0f);
    view.timerCallback();
    image = render (view);

    const auto x100 = 10 + (100 * 280) / 255;
    int highestOrange = image.getHeight();
    for (int y = 0; y < image.getHeight(); ++y)
        if (isOrangeish (image.getPixelAt (x100, y)))
            highestOrange = std::min (highestOrange, y);

    EXPECT_LT (highestOrange, 20); // level 0.94 of 120 px
    EXPECT_FALSE (isOrangeish (image.getPixelAt (250, 30)));
}

TEST (SpectrumView, TimerAndPaintNeverWaitForAWorkerPass)
{
    auto p = makeProcessor();
    SpectrumView view (*p);
    view.stopTimer();
    view.setSize (300, 120);

    std::atomic<bool> held { false };
    std::thread pass ([&]
    {
        const juce::ScopedLock sl (criticalSection);
        held = true;
        juce::Thread::sleep (600);
    });

    ASSERT_TRUE (waitFor ([&] { return held.load(); }));

    const auto start = juce::Time::getMillisecondCounterHiRes();
    handOverSine (*p, point100Bin, 0.5f);
    p->nextColumnReady.store (true, std::memory_order_release);
    view.timerCallback();
    render (view);
    const auto took = juce::Time::getMillisecondCounterHiRes() - start;

    pass.join();
    EXPECT_LT (took, 300.0);
    EXPECT_FALSE (p->nextFFTBlockReady.load());
    EXPECT_FALSE (p->nextColumnReady.load());
}

TEST (SpectrumView, TimerStopsWithTheView)
{
    auto p = makeProcessor();
    auto view = std::make_unique<SpectrumView> (*p);
    EXPECT_TRUE (view->isTimerRunning());
    EXPECT_EQ (view->getTimerInterval(), 16);

    handOverSine (*p, point100Bin, 1.0f);
    view.reset();
    pumpMessages (60);

    // Nobody took the frame: no tick ran on the destroyed view.
    EXPECT_TRUE (p->nextFFTBlockReady.load());
}

//==============================================================================
// The view's timer against the real audio thread and worker: a tone played
// block after block on another thread while the message loop runs the view.
TEST (SpectrumView, FollowsTheAudioThreadInEveryMode)
{
    auto p = makeProcessor();
    audio::TestPlayHead head;
    p->setPlayHead (&head);
    p->prepareToPlay (audio::sampleRate, 512);

    // A picture whose lower half (the low frequencies) lets sound through.
    juce::Image picture (juce::Image::RGB, 64, 100, true);
    picture.clear ({ 0, 50, 64, 50 }, juce::Colours::white);
    const auto file = writeBytes ("half.png", encodePng (picture));
    p->loadFile (file.getFullPathName(), true);

    SpectrumView view (*p);
    view.setSize (300, 120);

    std::atomic<bool> stop { false };
    std::atomic<int> blocks { 0 };
    std::thread audioThread ([&]
    {
        juce::AudioBuffer<float> block (2, 512);
        juce::MidiBuffer midi;
        double phase = 0.0;
        const auto step = 2.0 * juce::MathConstants<double>::pi * point100Bin / 2048.0;

        while (! stop.load())
        {
            for (int i = 0; i < 512; ++i, phase += step)
                for (int c = 0; c < 2; ++c)
                    block.setSample (c, i, 0.5f * (float) std::sin (phase));

            p->processBlock (block, midi);
            ++blocks;
            std::this_thread::sleep_for (std::chrono::milliseconds (2));
        }
    });

    // Generous: each wait ends as soon as its condition holds, and on a
    // loaded machine under a sanitizer the audio thread can fall far behind.
    constexpr int waitMs = 30000;

    const auto pumpUntil = [&] (auto&& condition, int timeoutMs)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        while (! condition() && juce::Time::getMillisecondCounterHiRes() < end)
        {
            pumpMessages (20);
            render (view);
        }
        return condition();
    };

    // Input: the tone at its level, and the played column of the new picture.
    const auto level = expectedLevel (0.5f);
    EXPECT_TRUE (pumpUntil ([&] { return std::abs (view.scopeData[100] - level) < 0.01f; }, waitMs))
        << view.scopeData[100];
    EXPECT_TRUE (pumpUntil ([&]
    {
        return p->outputImageHeight.load() == 100
            && *std::max_element (view.columnData, view.columnData + 100) > 0.1f;
    }, waitMs));
    EXPECT_EQ (*std::max_element (view.columnData + 100, view.columnData + 2048), 0.0f);

    // Output: the tone passes the picture; off: frames of zeros, the peaks fall.
    doubleClick (view);
    view.peakHold[100] = 0.0f;
    EXPECT_TRUE (pumpUntil ([&] { return view.scopeData[100] > level - 0.2f; }, waitMs)) << view.scopeData[100];
    doubleClick (view);
    ASSERT_EQ (p->spectrumMode.load(), 2);
    const auto heldBefore = view.scopeData[100];
    EXPECT_TRUE (pumpUntil ([&] { return view.scopeData[100] < heldBefore - 0.1f; }, waitMs)) << view.scopeData[100];

    doubleClick (view);
    EXPECT_TRUE (pumpUntil ([&] { return std::abs (view.scopeData[100] - level) < 0.01f; }, waitMs));

    stop = true;
    audioThread.join();
    EXPECT_GT (blocks.load(), 50);
}

//==============================================================================
// What the view draws and when it asks to be drawn again.
namespace
{
    // The frame drawn the plain way, with JUCE's own drop shadows: black, the
    // orange curve through points 1 .. 255 with its shadow, the lightgreen
    // curve through rows 1 .. H - 1 with its shadow, the grey frame.
    juce::Image referencePaint (const SpectrumView& view, int rows, int scale = 1)
    {
        const auto w = view.getWidth(), h = view.getHeight();
        const auto fh = (float) h;
        const juce::PathStrokeType stroke (1.5f, juce::PathStrokeType::beveled, juce::PathStrokeType::butt);

        juce::Image image (juce::Image::RGB, w * scale, h * scale, true);
        juce::Graphics g (image);
        g.addTransform (juce::AffineTransform::scale ((float) scale));
        g.fillAll (juce::Colour (0xff000000));

        juce::Path spectrum;
        spectrum.startNewSubPath (10.0f, fh);
        for (int j = 1; j < 256; ++j)
            spectrum.lineTo ((float) (10 + (j * (w - 20)) / 255), fh - view.scopeData[j] * fh);
        spectrum.lineTo ((float) (w - 10), fh);
        g.setColour (juce::Colour (0xffffa500));
        g.strokePath (spectrum, stroke);
        juce::DropShadow (juce::Colour (0x80ffa500), 1, {}).drawForPath (g, spectrum);

        juce::Path column;
        column.startNewSubPath (10.0f, fh);
        if (rows >= 2)
            for (int k = 1; k < rows; ++k)
                column.lineTo ((float) (10 + (k * (w - 20)) / rows), fh - view.columnData[k] * fh);
        column.lineTo ((float) (w - 10), fh);
        g.setColour (juce::Colour (0xff90ee90));
        g.strokePath (column, stroke);
        juce::DropShadow (juce::Colour (0x3390ee90), 1, {}).drawForPath (g, column);

        g.setColour (juce::Colour (0xff808080));
        g.drawRoundedRectangle (0.0f, 0.0f, (float) w, (float) h, 2.0f, 1.0f);
        return image;
    }

    int differingPixels (const juce::Image& a, const juce::Image& b)
    {
        int n = 0;
        for (int y = 0; y < a.getHeight(); ++y)
            for (int x = 0; x < a.getWidth(); ++x)
                n += a.getPixelAt (x, y) != b.getPixelAt (x, y) ? 1 : 0;
        return n;
    }

    // Counts the view's requests to be drawn again, in place of its cached image.
    struct RepaintCounter  : juce::CachedComponentImage
    {
        explicit RepaintCounter (int& c) : count (c) {}
        void paint (juce::Graphics&) override {}
        bool invalidateAll() override                       { ++count; return false; }
        bool invalidate (const juce::Rectangle<int>&) override { ++count; return false; }
        void releaseResources() override {}
        int& count;
    };
}

TEST (SpectrumView, FramesHaveThePixelsOfThePlainDrawing)
{
    auto p = makeProcessor();
    SpectrumView view (*p);
    view.stopTimer();
    juce::Random random (11);

    for (const auto& [w, h] : { std::pair<int, int> { 300, 120 }, { 673, 139 }, { 841, 175 } })
    {
        view.setSize (w, h);

        for (int frame = 0; frame < 6; ++frame)
        {
            // Tones of several levels, then silence letting the peaks fall;
            // a column of varied gains over the default picture's 330 rows.
            if (frame < 3)
                handOverSine (*p, 20.0 + 150.0 * frame + random.nextDouble(), (float) std::pow (0.1, frame));
            else
                handOverSilence (*p);

            std::fill (p->playedColumn, p->playedColumn + 2048, 0.0f);
            for (int k = 0; k < 330; ++k)
                p->playedColumn[k] = frame == 5 ? 0.0f : random.nextFloat();
            p->nextColumnReady.store (true, std::memory_order_release);

            view.timerCallback();
            EXPECT_EQ (differingPixels (render (view), referencePaint (view, 330)), 0) << w << " x " << h << ", frame " << frame;
        }

        // Only the column changes, then only the levels (the spectrum curve is
        // drawn again only for the latter), and the same at two pixels a point.
        for (int frame = 0; frame < 4; ++frame)
        {
            if (frame % 2 == 0)
            {
                for (int k = 0; k < 330; ++k)
                    p->playedColumn[k] = random.nextFloat();
                p->nextColumnReady.store (true, std::memory_order_release);
            }
            else
            {
                handOverSine (*p, 40.0 + 90.0 * frame, 0.5f);
            }

            view.timerCallback();
            EXPECT_EQ (differingPixels (render (view), referencePaint (view, 330)), 0) << w << " x " << h << ", only " << frame;
            EXPECT_EQ (differingPixels (render (view, 2), referencePaint (view, 330, 2)), 0) << w << " x " << h << ", twice, " << frame;
            EXPECT_EQ (differingPixels (render (view), referencePaint (view, 330)), 0) << w << " x " << h << ", back, " << frame;
        }
    }
}

TEST (SpectrumView, AsksToBeDrawnAgainOnlyWhenWhatItDrawsChanged)
{
    auto p = makeProcessor();
    SpectrumView view (*p);
    view.stopTimer();
    view.setSize (300, 120);
    view.setVisible (true);

    int repaints = 0;
    view.setCachedComponentImage (new RepaintCounter (repaints));

    const auto tick = [&]
    {
        repaints = 0;
        view.timerCallback();
        return repaints;
    };

    // Silence on levels already at the bottom changes nothing on screen.
    handOverSilence (*p);
    EXPECT_EQ (tick(), 0);
    EXPECT_FALSE (p->nextFFTBlockReady.load());

    // A tone does, and so does each frame its held peak falls by after it.
    handOverSine (*p, point100Bin, 1.0f);
    EXPECT_EQ (tick(), 1);
    handOverSilence (*p);
    EXPECT_EQ (tick(), 1);

    // A new column is drawn; the same column handed over again is not, but
    // its flag goes down all the same.
    handOverColumn (*p, 0.5f);
    EXPECT_EQ (tick(), 1);
    render (view);
    handOverColumn (*p, 0.5f);
    EXPECT_EQ (tick(), 0);
    EXPECT_FALSE (p->nextColumnReady.load());

    // Both hand-overs in one tick: one request.
    handOverSilence (*p);
    handOverColumn (*p, 0.25f);
    EXPECT_EQ (tick(), 1);
    EXPECT_FALSE (p->nextFFTBlockReady.load());
    EXPECT_FALSE (p->nextColumnReady.load());
    render (view);

    // The picture gone: the same column now makes a flat curve, so it is
    // drawn again once.
    p->prepareToPlay (48000.0, 512);
    p->loadFile (pictureScratchFolder().getChildFile ("missing.png").getFullPathName(), true);
    adoptThroughABlock (*p);
    EXPECT_EQ (p->outputImageHeight.load(), 0);

    handOverColumn (*p, 0.25f);
    EXPECT_EQ (tick(), 1);
    render (view);
    handOverColumn (*p, 0.25f);
    EXPECT_EQ (tick(), 0);
}
