#include "AudioTestSupport.h"
#include "HeapCounter.h"
#include "PictureTestSupport.h"
#include "PictureFiles.h"

#include <atomic>
#include <iostream>
#include <random>
#include <thread>

// Every bringer of a picture (open, drop, the two reset buttons, the record
// conversion, the restore) hands it over through one operation; the newest
// hand-over wins with its own keep/reset choice, whatever chain the worker
// had prepared before.

using namespace kestrune::test;

namespace
{
    juce::String pictureFile (const juce::String& name, const juce::Image& image)
    {
        return writeBytes (name, encodePng (image)).getFullPathName();
    }

    juce::String stateProperty (KestruneAudioProcessor& p, const char* name)
    {
        return p.getStateChild ("ImagePath").getProperty (name).toString();
    }

    juce::Rectangle<int> sourceBounds (KestruneAudioProcessor& p)
    {
        const juce::ScopedLock sl (criticalSection);
        return p.sourceImage.getBounds();
    }

    // The grey level at the middle of `image` (rescaling leaves the edges
    // darker), or -1 when that pixel is not grey.
    int middleGrey (const juce::Image& image)
    {
        if (! image.isValid())
            return -1;

        const auto c = image.getPixelAt (image.getWidth() / 2, image.getHeight() / 2);
        return (c.getRed() == c.getGreen() && c.getRed() == c.getBlue() && c.getAlpha() == 255) ? c.getRed() : -1;
    }

    // The editor's spectrogram: one opaque grey, `frames` columns of 1024 rows.
    juce::Image spectrogram (int frames, int grey)
    {
        return solidImage (frames, 1024, juce::Colour ((juce::uint8) grey, (juce::uint8) grey, (juce::uint8) grey), juce::Image::ARGB);
    }

    float zoomOf (KestruneAudioProcessor& p) { return plainValue (p, "zoom"); }
}

//==============================================================================
TEST (PictureHandOver, ResetAllRightAfterAPreparedLoadAdoptsTheDefaultPicture)
{
    auto p = makeProcessor();
    const auto picture = pictureFile ("handover-white.png", solidImage (40, 30, juce::Colours::white));
    const auto defaultPath = p->getFilePath ("imageDegault.png");

    for (const bool keepOnLoad : { false, true })
    {
        SCOPED_TRACE (keepOnLoad ? "open, keeping" : "drop, resetting");
        setPlain (*p, "zoom", 2.0f);
        p->showHelpText = false;

        p->loadFile (picture, keepOnLoad);
        ASSERT_TRUE (chainPrepared (*p)); // the loaded picture's chain is ready to be swapped in
        p->resetAll();
        ASSERT_TRUE (adoptPending (*p));

        {
            const juce::ScopedLock sl (criticalSection);
            EXPECT_TRUE (kestrune::pictures::isOpaqueBlack (p->sourceImage, 480, 330));
            EXPECT_TRUE (kestrune::pictures::isOpaqueBlack (p->loadedImage, 480, 330));
            EXPECT_EQ (p->imageFilePath, defaultPath);
            EXPECT_TRUE (p->drawImagePath.isEmpty());
            EXPECT_EQ (p->undoImages.size(), 1u);
        }
        EXPECT_EQ (p->outputFrames.current().width, 480);
        EXPECT_EQ (stateProperty (*p, "path"), defaultPath);
        EXPECT_EQ (stateProperty (*p, "pathDraw"), "");
        EXPECT_TRUE (p->showHelpText.load());

        // "Reset All" leaves the choice as it stood: the open waiting for its
        // adoption kept the parameters, the drop reset them.
        EXPECT_FLOAT_EQ (zoomOf (*p), keepOnLoad ? 2.0f : 0.0f);
    }
}

TEST (PictureHandOver, ResetDrawingAfterAPreparedLoadWithoutKeepingKeepsTheParameters)
{
    auto p = makeProcessor();
    setPlain (*p, "zoom", 2.0f);
    setPlain (*p, "drywet", 0.3f);

    p->loadFile (pictureFile ("handover-drop.png", solidImage (40, 30, juce::Colours::white)), false);
    ASSERT_TRUE (chainPrepared (*p)); // prepared to reset the parameters
    p->resetDrawing();
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_FLOAT_EQ (zoomOf (*p), 2.0f);
    EXPECT_FLOAT_EQ (plainValue (*p, "drywet"), 0.3f);
    EXPECT_EQ (sourceBounds (*p), juce::Rectangle<int> (40, 30)); // the same picture again
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_EQ (p->drawLayer.getPixelAt (3, 3).getAlpha(), 0);
        EXPECT_EQ (p->undoImages.size(), 1u);
        EXPECT_EQ (p->undoIndex, 1);
        EXPECT_TRUE (p->drawImagePath.isEmpty());
    }
    EXPECT_EQ (stateProperty (*p, "pathDraw"), "");
    EXPECT_FALSE (p->keepParams.load());
}

TEST (PictureHandOver, ResetDrawingThenResetAllBeforeTheNextBlockKeepTheParameters)
{
    auto p = makeProcessor();
    p->loadFile (pictureFile ("handover-two.png", solidImage (20, 10, juce::Colours::white)), true);
    ASSERT_TRUE (adoptPending (*p));
    setPlain (*p, "zoom", 1.5f);

    p->resetDrawing();
    p->resetAll();
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_EQ (sourceBounds (*p), juce::Rectangle<int> (480, 330));
    EXPECT_FLOAT_EQ (zoomOf (*p), 1.5f);

    // With nothing waiting, "Reset All" resets.
    p->resetAll();
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_FLOAT_EQ (zoomOf (*p), 0.0f);
}

TEST (PictureHandOver, ResetDrawingBringsBackAPenLayerARestoreBrought)
{
    auto p = makeProcessor();
    const auto picturePath = imagesFolder().getChildFile ("restored-picture.png");
    const auto layerPath = imagesFolder().getChildFile ("restored-layer.png");
    imagesFolder().createDirectory();
    const auto picturePng = encodePng (solidImage (30, 20, juce::Colours::white));
    picturePath.replaceWithData (picturePng.getData(), picturePng.getSize());
    const auto layer = solidImage (30, 20, juce::Colours::red, juce::Image::ARGB);
    const auto layerPng = encodePng (layer);
    layerPath.replaceWithData (layerPng.getData(), layerPng.getSize());

    juce::MemoryOutputStream xml;
    xml << "<Kestrune><ImagePath path=\"" << picturePath.getFullPathName() << "\" pathDraw=\""
        << layerPath.getFullPathName() << "\"/></Kestrune>";
    juce::MemoryBlock blob;
    juce::AudioProcessor::copyXmlToBinary (*juce::parseXML (xml.toString()), blob);
    p->setStateInformation (blob.getData(), (int) blob.getSize());
    ASSERT_TRUE (adoptPending (*p));

    // Strokes drawn since the restore go; the restored layer comes back.
    std::vector<juce::Point<float>> points { { 0.1f, 0.1f }, { 0.9f, 0.9f } };
    setPlain (*p, "penColour", 0.0f);
    setPlain (*p, "penStyle", 4.0f); // a filled rectangle
    p->drawShape (points);
    {
        const juce::ScopedLock sl (criticalSection);
        ASSERT_NE (p->drawLayer.getPixelAt (15, 10).getARGB(), juce::Colours::red.getARGB());
    }

    p->resetDrawing();
    ASSERT_TRUE (adoptPending (*p));
    const juce::ScopedLock sl (criticalSection);
    EXPECT_EQ (p->drawLayer.getPixelAt (15, 10).getARGB(), juce::Colours::red.getARGB());
    EXPECT_EQ (p->sourceImage.getBounds(), juce::Rectangle<int> (30, 20));
}

//==============================================================================
TEST (PictureHandOver, RecordingReplacesTheSourceKeepingPenLayerHistoryAndParameters)
{
    auto p = makeProcessor();
    p->loadFile (pictureFile ("handover-record.png", solidImage (40, 30, juce::Colours::white)), true);
    ASSERT_TRUE (adoptPending (*p));
    setPlain (*p, "drywet", 0.3f);
    setPlain (*p, "penColour", 0.0f);
    std::vector<juce::Point<float>> stroke { { 0.0f, 0.0f }, { 0.1f, 0.1f } };
    p->drawShape (stroke);

    juce::Image layerBefore;
    {
        const juce::ScopedLock sl (criticalSection);
        ASSERT_EQ (p->undoImages.size(), 2u);
        layerBefore = p->drawLayer;
    }

    const auto generation = p->pendingGeneration.load();
    p->handOverRecording (spectrogram (7, 77));

    EXPECT_FALSE (p->newImagePending.load()) << "replaced in place, not adopted";
    EXPECT_TRUE (p->needColourUpdate.load());
    EXPECT_GT (p->pendingGeneration.load(), generation) << "a chain prepared before is stale";
    EXPECT_FLOAT_EQ (plainValue (*p, "drywet"), 0.3f);
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_EQ (middleGrey (p->loadedImage), 77);
        EXPECT_EQ (p->loadedImage.getBounds(), juce::Rectangle<int> (40, 30));
        // Greyscaled as an adoption of the same picture would be (77 reads
        // 76 there), so that the project reopens with this very source.
        EXPECT_EQ (middleGrey (p->sourceImage), 76);
        EXPECT_NE (p->sourceImage.getPixelData(), p->loadedImage.getPixelData());
        EXPECT_EQ (p->drawLayer, layerBefore);
        EXPECT_EQ (p->undoImages.size(), 2u);
        EXPECT_EQ (p->undoIndex, 2);
        EXPECT_TRUE (p->imageFilePath.startsWith (imagesFolder().getChildFile ("imageSpect").getFullPathName()));
        EXPECT_TRUE (p->imageFilePath.endsWith (".png"));
        EXPECT_EQ (stateProperty (*p, "path"), p->imageFilePath);
    }

    // The worker recolours it (away from the stroke).
    const auto passes = p->workerPasses.load();
    ASSERT_TRUE (waitFor ([&] { return p->workerPasses.load() >= passes + 2 && ! p->needColourUpdate.load(); }));
    EXPECT_FLOAT_EQ (p->outputFrames.acquire().pixel (30, 20), 76.0f / 255.0f);

    // A tall picture's recording has the picture's size, and the source the
    // chain's size (512 rows), so that strokes still land where they are drawn.
    p->loadFile (pictureFile ("handover-tall.png", solidImage (300, 1024, juce::Colours::white)), true);
    ASSERT_TRUE (adoptPending (*p));
    p->handOverRecording (spectrogram (3, 200));
    const juce::ScopedLock sl (criticalSection);
    EXPECT_EQ (p->loadedImage.getBounds(), juce::Rectangle<int> (300, 1024));
    EXPECT_EQ (p->sourceImage.getBounds(), juce::Rectangle<int> (150, 512));
    EXPECT_EQ (p->sourceImage.getBounds(), p->drawLayer.getBounds());
    EXPECT_NEAR (p->sourceImage.getPixelAt (70, 300).getRed(), 200, 1);
}

TEST (PictureHandOver, RecordingWinsOverAPictureStillWaiting)
{
    auto p = makeProcessor();
    setPlain (*p, "zoom", 2.0f);
    p->loadFile (pictureFile ("handover-waiting.png", solidImage (60, 20, juce::Colours::white)), false);
    ASSERT_TRUE (chainPrepared (*p));

    p->handOverRecording (spectrogram (5, 120));
    ASSERT_TRUE (adoptPending (*p));

    // The recording, at the size of the picture it replaces; the parameters
    // kept, as a recording keeps them.
    const juce::ScopedLock sl (criticalSection);
    EXPECT_EQ (p->sourceImage.getBounds(), juce::Rectangle<int> (60, 20));
    EXPECT_NEAR (middleGrey (p->sourceImage), 120, 1); // greyscaled by the adoption
    EXPECT_FLOAT_EQ (zoomOf (*p), 2.0f);
}

TEST (PictureHandOver, RecordingWithoutAPictureMakesOne)
{
    auto p = makeProcessor();
    p->loadFile (writeBytes ("handover-none.png", "not a picture", 13).getFullPathName(), true);
    ASSERT_TRUE (adoptPending (*p));
    ASSERT_FALSE (p->sourceImagePresent.load());

    p->handOverRecording (spectrogram (4, 90));
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_TRUE (p->sourceImagePresent.load());
    const juce::ScopedLock sl (criticalSection);
    EXPECT_EQ (p->loadedImage.getBounds(), juce::Rectangle<int> (480, 330));
    EXPECT_EQ (p->sourceImage.getBounds(), juce::Rectangle<int> (480, 330));
}

//==============================================================================
TEST (PictureHandOver, ResetsRaceChainsPreparedWhileTheAudioThreadRuns)
{
    // The audio thread runs blocks (and so adopts) all along. Each round the
    // message thread opens or drops a picture, then resets or converts a
    // recording: with the load's chain prepared (the host pausing meanwhile),
    // with the load adopted, or at once or a moment later, racing the worker
    // and the audio thread. Whatever happened to the load in between, the
    // newest hand-over decides the picture and the parameters. Holding the
    // edit lock while it looks and hands over tells this thread whether the
    // load was still waiting.
    auto p = makeProcessor();
    audio::TestPlayHead head;
    p->setPlayHead (&head);
    p->prepareToPlay (audio::sampleRate, 512);

    const juce::String files[] = { pictureFile ("race-a.png", solidImage (40, 30, juce::Colours::white)),
                                   pictureFile ("race-b.png", solidImage (64, 600, juce::Colours::white)) };
    const juce::Rectangle<int> loadedBounds[] = { { 40, 30 }, { 54, 512 } };

    std::atomic<bool> stop { false }, pause { false }, paused { false };
    std::atomic<long> heapCalls { 0 }, blocks { 0 };

    std::thread audioThread ([&]
    {
        juce::AudioBuffer<float> buffer (2, 512);
        juce::MidiBuffer midi;

        while (! stop.load())
        {
            // The host stops sending blocks for a while.
            paused = pause.load();
            if (paused.load())
            {
                std::this_thread::sleep_for (std::chrono::microseconds (200));
                continue;
            }

            buffer.clear();
            {
                const heap::AudioThreadScope scope;
                const auto before = heap::audioThreadCalls();
                p->processBlock (buffer, midi);
                heapCalls += heap::audioThreadCalls() - before;
            }
            // Blocks come irregularly, so that hand-overs also meet chains
            // that are prepared but not yet swapped in.
            std::this_thread::sleep_for (std::chrono::microseconds (200 + 900 * (++blocks % 3)));
        }
    });

    // Stops the audio thread however the test ends.
    const struct Joiner
    {
        std::atomic<bool>& stopFlag;
        std::thread& thread;
        ~Joiner() { stopFlag = true; if (thread.joinable()) thread.join(); }
    } joiner { stop, audioThread };

    auto loadChainReady = [&p]
    {
        const juce::ScopedLock sl (p->passLock);
        return p->newImagePending.load() && p->preparedChainReady.load()
                && p->preparedChain.generation == p->pendingGeneration.load();
    };

    std::mt19937 rng (1313);
    int stillWaiting = 0, alreadyAdopted = 0, chainReady = 0;

    for (int round = 0; round < 40; ++round)
    {
        SCOPED_TRACE (round);
        const auto which = (size_t) (rng() % 2);
        const bool keepOnLoad = rng() % 2 == 0;
        const auto action = rng() % 3; // Reset Drawing, Reset All, a recording
        const float zoom = 0.5f + (float) (round % 7) * 0.25f;
        const auto timing = round % 4;

        if (timing == 0)
        {
            pause = true; // the load's chain gets prepared and nothing swaps it in
            ASSERT_TRUE (waitFor ([&] { return paused.load(); }));
        }

        setPlain (*p, "zoom", zoom);
        p->loadFile (files[which], keepOnLoad);

        if (timing == 0)
            ASSERT_TRUE (waitFor (loadChainReady));
        else if (timing == 1)
            ASSERT_TRUE (waitFor ([&] { return ! p->newImagePending.load(); })); // adopted
        else if (timing == 2)
            juce::Thread::sleep ((int) (rng() % 3)); // races the worker and the audio thread

        bool loadWaiting = false;
        {
            // The adoption try-locks the pass lock and the edit lock: held
            // here (in the processor's lock order, after the state lock the
            // bringers take first), nothing is adopted between the look and
            // the hand-over.
            const juce::ScopedLock st (p->stateLock);
            const juce::ScopedLock pl (p->passLock);
            const juce::ScopedLock sl (p->pictureEditLock);
            loadWaiting = p->newImagePending.load();
            chainReady += loadChainReady() ? 1 : 0;

            if (action == 0)
                p->resetDrawing();
            else if (action == 1)
                p->resetAll();
            else
                p->handOverRecording (spectrogram (3, 100));
        }
        (loadWaiting ? stillWaiting : alreadyAdopted)++;
        pause = false;

        ASSERT_TRUE (waitFor ([&] { return ! p->newImagePending.load(); }));

        // The load's own adoption resets the parameters only if it came first.
        const bool loadReset = ! keepOnLoad && ! loadWaiting;

        const juce::ScopedLock sl (criticalSection);
        if (action == 0)
        {
            EXPECT_EQ (p->sourceImage.getBounds(), loadedBounds[which]);
            EXPECT_EQ (middleGrey (p->sourceImage), 255);
            EXPECT_FLOAT_EQ (zoomOf (*p), loadReset ? 0.0f : zoom);
        }
        else if (action == 1)
        {
            EXPECT_TRUE (kestrune::pictures::isOpaqueBlack (p->sourceImage, 480, 330));
            // Reset All resets unless the waiting load had chosen to keep.
            EXPECT_FLOAT_EQ (zoomOf (*p), (loadWaiting && keepOnLoad) ? zoom : 0.0f);
        }
        else
        {
            EXPECT_EQ (p->sourceImage.getBounds(), loadedBounds[which]);
            EXPECT_NEAR (middleGrey (p->sourceImage), 100, 1);
            EXPECT_FLOAT_EQ (zoomOf (*p), loadReset ? 0.0f : zoom);
        }
    }

    stop = true;
    audioThread.join();
    p->setPlayHead (nullptr);

    EXPECT_EQ (heapCalls.load(), 0);
    EXPECT_GT (blocks.load(), 0);
    // Hand-overs met prepared chains and adopted loads (by construction of
    // the rounds; the others fall either way).
    EXPECT_GE (chainReady, 10);
    EXPECT_GE (alreadyAdopted, 10);
    std::cout << "[ handover ] " << stillWaiting << " hand-overs met the load waiting (" << chainReady
              << " with its chain prepared), " << alreadyAdopted << " met it adopted" << std::endl;
}
