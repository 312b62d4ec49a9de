#include "AudioTestSupport.h"
#include "HeapCounter.h"
#include "PictureTestSupport.h"
#include "PictureFiles.h"

#include <atomic>
#include <thread>

using namespace kestrune::test;

namespace
{
    juce::String pictureFile (const juce::String& name, const juce::Image& image)
    {
        return writeBytes (name, encodePng (image)).getFullPathName();
    }

    // Counts which parameter indices were reported to the host.
    struct HostProbe : juce::AudioProcessorListener
    {
        void audioProcessorParameterChanged (juce::AudioProcessor*, int index, float) override { reported.add (index); }
        void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
        juce::Array<int> reported;
    };

    int parameterIndex (KestruneAudioProcessor& p, const juce::String& id)
    {
        return param (p, id).getParameterIndex();
    }

    void setSwitch (KestruneAudioProcessor& p, const juce::String& id, bool on) { setPlain (p, id, on ? 1.0f : 0.0f); }
}

//==============================================================================
// The same picture gives the same source at every adoption: the reduced
// picture's last column, not quite covered, must not show what its memory
// held before (every block comes dirty here, each differently).
TEST (Adoption, TallPicturesAreLimitedTo512RowsKeepingTheirShape)
{
    auto p = makeProcessor();
    const kestrune::test::heap::DirtyMemoryScope dirty;

    struct Size { int w, h, expectedW, expectedH; };
    const Size table[] = { { 3000, 1024, 1500, 512 }, { 1000, 700, 731, 512 }, { 640, 513, 638, 512 },
                           { 100, 2000, 25, 512 },    { 1000, 512, 1000, 512 }, { 300, 200, 300, 200 },
                           { 1, 3000, 1, 512 },       { 300, 700, 219, 512 } };

    for (const auto& s : table)
    {
        SCOPED_TRACE (juce::String (s.w) + " x " + juce::String (s.h));
        const auto file = pictureFile ("size.png", solidImage (s.w, s.h, juce::Colour (200, 200, 200)));
        p->loadFile (file, true);
        ASSERT_TRUE (adoptPending (*p));
        const auto firstSource = copyUnderLock (p->sourceImage);
        p->loadFile (file, true);
        ASSERT_TRUE (adoptPending (*p));

        const juce::ScopedLock sl (criticalSection);
        EXPECT_TRUE (sameImage (p->sourceImage, firstSource));
        EXPECT_EQ (p->loadedImage.getWidth(), s.w); // the decoded picture keeps its size
        EXPECT_EQ (p->sourceImage.getWidth(), s.expectedW);
        EXPECT_EQ (p->sourceImage.getHeight(), s.expectedH);

        for (auto* im : { &p->compositeImage, &p->workImage, &p->blurImage, &p->transformImage, &p->outputImage, &p->drawLayer })
            EXPECT_EQ (im->getBounds(), p->sourceImage.getBounds());

        EXPECT_EQ (p->outputFrames.current().width, s.expectedW);
        EXPECT_EQ (p->outputFrames.current().height, s.expectedH);

        // No two members share pixels.
        EXPECT_NE (p->sourceImage.getPixelData(), p->loadedImage.getPixelData());
        EXPECT_NE (p->outputImage.getPixelData(), p->sourceImage.getPixelData());
    }
}

TEST (Adoption, GreyscaleUsesUnpremultipliedColourAndMakesEveryPixelOpaque)
{
    auto p = makeProcessor();

    // Half-transparent pixels are stored premultiplied, so their colour comes
    // back only to within a few levels; read premultiplied they would halve.
    struct Pixel { juce::Colour in; int grey; int tolerance = 0; };
    const Pixel pixels[] = {
        { juce::Colour (255, 0, 0), 54 },     { juce::Colour (0, 255, 0), 182 },  { juce::Colour (0, 0, 255), 18 },
        { juce::Colour (255, 255, 255), 255 },{ juce::Colour (0, 0, 0), 0 },      { juce::Colour (128, 128, 128), 127 },
        { juce::Colour (1, 1, 1), 0 },
        { juce::Colour ((juce::uint8) 255, 0, 0, (juce::uint8) 128), 54, 2 },       // half transparent red
        { juce::Colour ((juce::uint8) 255, 255, 255, (juce::uint8) 128), 255, 6 },  // half transparent white
        { juce::Colour ((juce::uint8) 255, 255, 255, (juce::uint8) 0), 0 },      // fully transparent
    };
    const int n = (int) std::size (pixels);

    juce::Image image (juce::Image::ARGB, n, 2, true);
    for (int x = 0; x < n; ++x)
        for (int y = 0; y < 2; ++y)
            image.setPixelAt (x, y, pixels[x].in);

    p->loadFile (pictureFile ("grey.png", image), true);
    ASSERT_TRUE (adoptPending (*p));

    const auto source = copyUnderLock (p->sourceImage);
    ASSERT_EQ (source.getWidth(), n);
    for (int x = 0; x < n; ++x)
    {
        SCOPED_TRACE (x);
        const auto c = source.getPixelAt (x, 1);
        EXPECT_EQ (c.getAlpha(), 255);
        EXPECT_NEAR ((int) c.getRed(), pixels[x].grey, pixels[x].tolerance);
        EXPECT_EQ (c.getGreen(), c.getRed());
        EXPECT_EQ (c.getBlue(), c.getRed());
    }

    // The grey frame the audio thread reads follows the adopted picture.
    EXPECT_FLOAT_EQ (p->outputFrames.current().pixel (0, 0), 54.0f / 255.0f);
}

//==============================================================================
TEST (Adoption, KeepingOrResettingFollowsTheCallersChoice)
{
    auto p = makeProcessor();
    HostProbe host;
    p->juce::AudioProcessor::addListener (&host);

    const auto picture = pictureFile ("keep.png", solidImage (40, 30, juce::Colours::white));
    const auto restoredLayer = solidImage (40, 30, juce::Colours::red, juce::Image::ARGB);

    auto moveEverything = [&]
    {
        setPlain (*p, "zoom", 2.0f);
        setPlain (*p, "contrast", 3.0f);
        setPlain (*p, "drywet", 0.25f);
        setPlain (*p, "wider", 7.0f);
        setSwitch (*p, "rotate0", false);
        setSwitch (*p, "rotate2", true);
        setSwitch (*p, "direction0", false);
        setSwitch (*p, "direction3", true);
        setSwitch (*p, "refline0", false);
        setSwitch (*p, "refline1", true);
        p->ringReadIndex = 11;
        p->ringWriteIndex = 12;
        p->hopFill = 13;
        p->spectrumFifoFill = 14;
        const juce::ScopedLock sl (criticalSection);
        p->loadedDrawImage = restoredLayer.createCopy();
    };

    // Kept: every value, the filter positions and the restored pen layer.
    moveEverything();
    host.reported.clear();
    p->loadFile (picture, true);
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_TRUE (host.reported.isEmpty());
    EXPECT_EQ (plainValue (*p, "zoom"), 2.0f);
    EXPECT_EQ (plainValue (*p, "rotate0"), 0.0f);
    EXPECT_EQ (p->ringReadIndex, 11);
    EXPECT_EQ (p->hopFill, 13);
    EXPECT_EQ (p->spectrumFifoFill, 14);
    EXPECT_FALSE (p->keepParams.load());
    {
        const juce::ScopedLock sl (criticalSection);
        ASSERT_TRUE (p->loadedDrawImage.isValid());
        EXPECT_EQ (p->drawLayer.getPixelAt (5, 5).getARGB(), juce::Colours::red.getARGB());
        EXPECT_NE (p->drawLayer.getPixelData(), p->loadedDrawImage.getPixelData());
    }

    // Reset: the 28 plain parameters and each group's first switch, in table
    // order and reported to the host; the other switches stay as they are.
    moveEverything();
    host.reported.clear();
    p->loadFile (picture, false);
    ASSERT_TRUE (adoptPending (*p));

    for (const auto* id : { "zoom", "contrast", "drywet", "wider" })
        EXPECT_EQ (param (*p, id).getValue(), param (*p, id).getDefaultValue()) << id;

    EXPECT_EQ (plainValue (*p, "rotate0"), 1.0f);
    EXPECT_EQ (plainValue (*p, "rotate2"), 1.0f); // the processor turns no switch off
    EXPECT_EQ (plainValue (*p, "direction0"), 1.0f);
    EXPECT_EQ (plainValue (*p, "direction3"), 1.0f);
    EXPECT_EQ (plainValue (*p, "refline0"), 1.0f);
    EXPECT_EQ (plainValue (*p, "refline1"), 1.0f);

    ASSERT_EQ (host.reported.size(), 31);
    EXPECT_EQ (host.reported[0], parameterIndex (*p, "zoom"));
    EXPECT_EQ (host.reported[5], parameterIndex (*p, "rotate0"));
    EXPECT_EQ (host.reported[9], parameterIndex (*p, "direction0"));
    EXPECT_EQ (host.reported[10], parameterIndex (*p, "refline0"));
    EXPECT_EQ (host.reported[30], parameterIndex (*p, "wider"));

    EXPECT_EQ (p->ringReadIndex, 3584);
    EXPECT_EQ (p->ringWriteIndex, 0);
    EXPECT_EQ (p->hopFill, 0);
    EXPECT_EQ (p->spectrumFifoFill, 0);
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_FALSE (p->loadedDrawImage.isValid());
        EXPECT_EQ (p->drawLayer.getBounds(), p->sourceImage.getBounds());
        EXPECT_EQ (p->drawLayer.getPixelAt (5, 5).getAlpha(), 0);
    }

    p->juce::AudioProcessor::removeListener (&host);
}

TEST (Adoption, IntervalEndsReturnToTheirDefaultsOnReset)
{
    auto p = makeProcessor();
    setPlain (*p, "a_interval", 0.7f);
    setPlain (*p, "b_interval", 0.9f);

    p->loadFile (pictureFile ("interval.png", solidImage (8, 8, juce::Colours::grey)), false);
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_NEAR (plainValue (*p, "a_interval"), 0.4f, 1e-6f);
    EXPECT_NEAR (plainValue (*p, "b_interval"), 0.6f, 1e-6f);
    EXPECT_NEAR (plainValue (*p, "startposition"), 0.4f, 1e-6f);
}

TEST (Adoption, UndoHistoryRestartsWithOneSnapshotOfTheLayer)
{
    auto p = makeProcessor();
    {
        const juce::ScopedLock sl (criticalSection);
        p->undoImages.resize (4);
        p->undoIndex = 3;
    }

    p->loadFile (pictureFile ("undo.png", solidImage (12, 9, juce::Colours::white)), true);
    ASSERT_TRUE (adoptPending (*p));

    const juce::ScopedLock sl (criticalSection);
    ASSERT_EQ (p->undoImages.size(), 1u);
    EXPECT_EQ (p->undoIndex, 1);
    EXPECT_EQ (p->undoImages[0].restore().getBounds(), juce::Rectangle<int> (12, 9));
}

//==============================================================================
TEST (Adoption, WaitsForTheWorkerAndTakesOnlyTheNewestPicture)
{
    auto p = makeProcessor();
    const auto first = pictureFile ("first.png", solidImage (30, 20, juce::Colours::white));
    const auto second = pictureFile ("second.png", solidImage (50, 40, juce::Colours::white));

    p->loadFile (first, true);
    ASSERT_TRUE (waitFor ([&] { return p->preparedChainReady.load(); }));

    const auto passes = p->workerPasses.load();
    {
        // (Holding the lock keeps the worker still between the steps.)
        const juce::ScopedLock sl (criticalSection);

        // A stroke's colour update is outstanding: no adoption until the worker has run.
        p->needColourUpdate = true;
        p->checkAndLoadFile();
        EXPECT_TRUE (p->newImagePending.load());

        // A newer picture arrives before the block that would have adopted the first.
        p->loadFile (second, true);
        p->needColourUpdate = false;
        p->checkAndLoadFile();
        EXPECT_TRUE (p->newImagePending.load()); // the chain ready is the first picture's
    }

    ASSERT_TRUE (adoptPending (*p));
    EXPECT_GT (p->workerPasses.load(), passes);
    EXPECT_EQ (p->outputFrames.current().width, 50);
    EXPECT_TRUE (p->reloadImage.load());
    EXPECT_TRUE (p->needColourUpdate.load());
    EXPECT_FALSE (p->preparedChainReady.load());

    // The worker frees the chain that the adoption swapped out.
    const auto after = p->workerPasses.load();
    ASSERT_TRUE (waitFor ([&] { return p->workerPasses.load() >= after + 2; }));
    const juce::ScopedLock sl (criticalSection);
    EXPECT_FALSE (p->preparedChain.sourceImage.isValid());
    EXPECT_FALSE (p->preparedChain.outputImage.isValid());
    EXPECT_TRUE (p->preparedChain.undoImages.empty());
    EXPECT_EQ (p->preparedChain.frame.grey.capacity(), 0u);
}

TEST (Adoption, LoadsFromTheMessageThreadWhileTheAudioThreadAdopts)
{
    auto p = makeProcessor();
    const juce::String files[] = { pictureFile ("c1.png", solidImage (16, 8, juce::Colours::white)),
                                   pictureFile ("c2.png", solidImage (24, 600, juce::Colours::red)),
                                   pictureFile ("c3.png", solidImage (7, 5, juce::Colours::blue)),
                                   writeBytes ("c4.png", "no picture", 10).getFullPathName() };
    const std::pair<int, int> shapes[] = { { 480, 330 }, { 16, 8 }, { 20, 512 }, { 7, 5 }, { 0, 0 } };

    std::atomic<bool> stop { false };
    std::atomic<int> badFrames { 0 }, adoptions { 0 };

    std::thread audio ([&]
    {
        while (! stop.load())
        {
            const bool wasPending = p->newImagePending.load();
            p->checkAndLoadFile();
            if (wasPending && ! p->newImagePending.load())
                ++adoptions;

            const auto& frame = p->outputFrames.acquire();
            bool known = false;
            for (const auto& s : shapes)
                known = known || (frame.width == s.first && frame.height == s.second);
            if (! known || frame.grey.size() != (size_t) frame.width * (size_t) frame.height)
                ++badFrames;

            std::this_thread::sleep_for (std::chrono::microseconds (300));
        }
    });

    for (int i = 0; i < 60; ++i)
    {
        p->loadFile (files[i % 4], (i % 3) != 0);
        if (i % 10 == 0) // let some adoptions through
            ASSERT_TRUE (waitFor ([&] { return ! p->newImagePending.load(); }, 20000));
    }

    p->loadFile (files[1], true);
    ASSERT_TRUE (waitFor ([&] { return ! p->newImagePending.load(); }, 5000));
    stop = true;
    audio.join();

    EXPECT_EQ (badFrames.load(), 0);
    EXPECT_GE (adoptions.load(), 2);
    EXPECT_EQ (p->outputFrames.current().width, 20);
    EXPECT_TRUE (p->sourceImagePresent.load());
    const juce::ScopedLock sl (criticalSection);
    EXPECT_EQ (p->sourceImage.getBounds(), juce::Rectangle<int> (20, 512));
    EXPECT_EQ (p->undoImages.size(), 1u);
}

// The pipeline lock is one for the process: every instance's worker holds it
// for its passes, and with enough instances on large pictures and automation
// their passes follow one another with hardly a gap. The audio thread's
// adoption used to try-lock that lock, so a picture opened (or reset) in one
// instance could wait for ever: eight instances of 1500 x 512 pictures with a
// colour parameter automated every block never let a "Reset All" in (60 s).
// Here another thread stands for the other instances, holding the lock 20 ms
// at a time and taking it back at once; this instance's worker still gets its
// turn to prepare the chain, and the adoption must get through.
TEST (Adoption, OtherInstancesPassesDoNotKeepAPictureWaiting)
{
    auto p = makeProcessor();
    audio::TestPlayHead head;
    p->setPlayHead (&head);
    p->prepareToPlay (audio::sampleRate, 512);
    const auto picture = pictureFile ("other-instances.png", solidImage (90, 60, juce::Colours::white));

    std::atomic<bool> stop { false };
    std::atomic<long> otherPasses { 0 };

    std::thread otherInstances ([&]
    {
        while (! stop.load())
        {
            const juce::ScopedLock sl (criticalSection);
            std::this_thread::sleep_for (std::chrono::milliseconds (20));
            ++otherPasses;
        }
    });

    std::atomic<long> blocks { 0 };
    std::thread audioThread ([&]
    {
        juce::AudioBuffer<float> buffer (2, 512);
        juce::MidiBuffer midi;

        while (! stop.load())
        {
            buffer.clear();
            p->processBlock (buffer, midi);
            ++blocks;
            std::this_thread::sleep_for (std::chrono::milliseconds (3));
        }
    });

    const struct Joiner
    {
        std::atomic<bool>& stopFlag;
        std::thread& a;
        std::thread& b;
        ~Joiner() { stopFlag = true; a.join(); b.join(); }
    } joiner { stop, otherInstances, audioThread };

    waitFor ([&] { return otherPasses.load() >= 2; }, 5000);

    for (int round = 0; round < 3; ++round)
    {
        p->loadFile (picture, true);
        EXPECT_TRUE (waitFor ([&] { return ! p->newImagePending.load(); }, 20000)) << "round " << round;

        p->resetAll();
        EXPECT_TRUE (waitFor ([&] { return ! p->newImagePending.load(); }, 20000)) << "round " << round;
    }

    EXPECT_GT (otherPasses.load(), 2);
    EXPECT_GT (blocks.load(), 2);
}
