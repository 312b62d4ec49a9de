#include "AudioTestSupport.h"
#include "PictureMutation.h"
#include "PictureFiles.h"

#include <cmath>
#include <cstdlib>
#include <random>

// Damaged picture files all the way through: loadFile, the worker's
// preparation, the audio thread's adoption, a colour pass and audio blocks.
// Deterministic seeds; KESTRUNE_FUZZ_SECONDS bounds each test (default 2 s).

using namespace kestrune::test;
namespace fs = kestrune::test::files;
namespace pictures = kestrune::pictures;

namespace
{
    double fuzzSeconds()
    {
        if (const char* text = std::getenv ("KESTRUNE_FUZZ_SECONDS"))
        {
            const auto value = std::atof (text);
            if (value > 0.0)
                return value;
        }
        return 2.0;
    }

    // Drives one processor as the worker and the audio thread would: the test
    // runs the worker's passes itself (the processor's own worker runs too, on
    // its own 44 ms rhythm) and plays the audio blocks.
    class Pipeline
    {
    public:
        Pipeline() : processor (makeProcessor())
        {
            processor->setPlayHead (&head);
            processor->prepareToPlay (audio::sampleRate, 512);
            input = audio::noise (2, 512, 3);
        }

        ~Pipeline() { processor->setPlayHead (nullptr); }

        KestruneAudioProcessor& p() { return *processor; }

        void workerPass()
        {
            const juce::ScopedLock sl (criticalSection);
            processor->changeColourFunction();
        }

        // One 512-sample block; false when the output holds NaN or infinity.
        bool block()
        {
            juce::AudioBuffer<float> buffer (input);
            juce::MidiBuffer midi;
            processor->processBlock (buffer, midi);
            head.ppq = head.ppq.value_or (0.0) + 512.0 * 2.0 / audio::sampleRate;

            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < 512; ++i)
                    if (! std::isfinite (buffer.getSample (c, i)))
                        return false;
            return true;
        }

        // The pending picture prepared, adopted at a block's start, rendered
        // and played. False when the adoption did not happen.
        bool adoptAndPlay (bool& finite)
        {
            finite = true;

            for (int attempt = 0; attempt < 200 && processor->newImagePending.load(); ++attempt)
            {
                workerPass();
                finite = block() && finite; // adopts unless the worker holds the lock
            }

            if (processor->newImagePending.load())
                return false;

            workerPass();
            for (int k = 0; k < 3; ++k)
                finite = block() && finite;
            return true;
        }

        audio::TestPlayHead head;

    private:
        std::unique_ptr<KestruneAudioProcessor> processor;
        juce::AudioBuffer<float> input;
    };

    // The picture the adoption should have made of `decoded`: its size after
    // the 512-row limit, or none.
    juce::Rectangle<int> expectedSourceBounds (const juce::Image& decoded)
    {
        if (! decoded.isValid())
            return {};
        if (decoded.getHeight() <= 512)
            return decoded.getBounds();
        return { juce::jmax (1, (int) ((float) decoded.getWidth() * 512.0f / (float) decoded.getHeight())), 512 };
    }

    struct Seed
    {
        fs::Bytes bytes;
        bool isPng;
        const char* extension;
    };

    std::vector<Seed> seedFiles()
    {
        return {
            { fs::pngOf (fs::patternPicture (40, 24)), true, ".png" },
            { fs::pngOf (fs::patternPicture (24, 40, juce::Image::ARGB)), true, ".png" },
            { fs::pngOf (fs::patternPicture (8, 600)), true, ".png" },      // through the row limit
            { fs::jpegOf (fs::patternPicture (40, 24)), false, ".jpg" },
            { fs::jpegOf (fs::patternPicture (17, 9)), false, ".jpg" },
            { fs::gifOf (24, 16, [] (int x, int y) { return x * 9 + y; }), false, ".gif" },
            { fs::gifOf (20, 19, [] (int x, int y) { return x + y * 20; }, true, 5, true), false, ".gif" },
            { makeGif (3, 3), false, ".gif" },
        };
    }
}

TEST (PictureFuzz, WellFormedSeedsDecodeToTheirPictures)
{
    // The seeds must be whole pictures, or the fuzzing starts from nothing.
    for (const auto& seed : seedFiles())
        EXPECT_TRUE (pictures::decodePicture (seed.bytes.data(), seed.bytes.size()).isValid()) << seed.extension;

    const auto gif = fs::gifOf (20, 19, [] (int x, int y) { return x + y * 20; }, true, 5, true);
    const auto image = pictures::decodePicture (gif.data(), gif.size());
    ASSERT_TRUE (image.isValid());
    EXPECT_EQ (image.getPixelAt (7, 3).getARGB(), juce::Colour ((juce::uint8) 67, (juce::uint8) 188, (juce::uint8) 201).getARGB());
    EXPECT_EQ (image.getPixelAt (5, 0).getAlpha(), 0); // the transparent index
}

TEST (PictureFuzz, DamagedFilesGoThroughLoadingAdoptionRenderingAndAudio)
{
    Pipeline pipeline;
    auto& p = pipeline.p();
    const auto seeds = seedFiles();
    std::mt19937 rng (20260607);

    const auto deadline = juce::Time::getMillisecondCounterHiRes() + fuzzSeconds() * 1000.0;
    int runs = 0, decodedRuns = 0;

    // At least 51 runs however slow the machine, then as many as the time allows.
    for (; runs <= 50 || (runs < 4000 && juce::Time::getMillisecondCounterHiRes() < deadline); ++runs)
    {
        const auto& seed = seeds[(size_t) runs % seeds.size()];
        const auto bytes = fs::mutate (seed.bytes, rng, seed.isPng);
        const auto file = fs::writeFile (juce::String ("fuzz-") + juce::String (runs % 2) + seed.extension, bytes);

        // Every stage of the pipeline is exercised with some colour stages on.
        if (runs % 5 == 0)
        {
            p.setParameterNotifyingHost ("horrescale", 1.0f + (float) (rng() % 40));
            p.setParameterNotifyingHost ("blurforxaxis", (float) (rng() % 100) / 100.0f);
            p.setParameterNotifyingHost ("bwset", (float) (rng() % 2));
            p.setParameterNotifyingHost ("zoom", (float) (rng() % 60) / 10.0f - 1.0f);
        }

        const auto decoded = pictures::decodePictureFile (file);
        decodedRuns += decoded.isValid() ? 1 : 0;

        p.loadFile (file.getFullPathName(), rng() % 2 == 0);

        bool finite = true;
        ASSERT_TRUE (pipeline.adoptAndPlay (finite)) << "run " << runs;
        ASSERT_TRUE (finite) << "run " << runs;

        // The adopted chain is the picture the file holds, or none at all.
        const auto expected = expectedSourceBounds (decoded);
        {
            const juce::ScopedLock sl (criticalSection);
            ASSERT_EQ (p.sourceImage.isValid(), decoded.isValid()) << "run " << runs;
            ASSERT_EQ (p.sourceImage.getBounds(), expected) << "run " << runs;
            ASSERT_EQ (p.outputImage.getBounds(), expected) << "run " << runs;
        }
        ASSERT_EQ (p.sourceImagePresent.load(), decoded.isValid());
        ASSERT_EQ (p.outputFrames.current().width, expected.getWidth()) << "run " << runs;
        ASSERT_EQ (p.outputFrames.current().height, expected.getHeight()) << "run " << runs;

        // A stroke and its undo on whatever came in.
        if (runs % 7 == 0)
        {
            std::vector<juce::Point<float>> points { { 0.1f, 0.2f }, { 0.8f, 0.9f } };
            p.setParameterNotifyingHost ("penStyle", (float) (rng() % 7));
            p.drawShape (points);
            p.undoStroke();
        }
    }

    // Both kinds of outcome were reached.
    EXPECT_GT (decodedRuns, 0);
    EXPECT_LT (decodedRuns, runs);
}

TEST (PictureFuzz, RestoredStatesWhosePicturesAreDamaged)
{
    // A saved project whose picture and pen-layer files were damaged since:
    // the restore loads what still decodes, warns about a picture that does
    // not, and the audio goes on.
    Pipeline pipeline;
    auto& p = pipeline.p();
    const auto seeds = seedFiles();
    std::mt19937 rng (77);

    const auto pictureFile = imagesFolder().getChildFile ("fuzz-restored.png");
    const auto layerFile = imagesFolder().getChildFile ("fuzz-restored-layer.png");
    const auto layer = fs::pngOf (fs::patternPicture (40, 24, juce::Image::ARGB));

    juce::XmlElement state ("Kestrune");
    auto* paths = state.createNewChildElement ("ImagePath");
    paths->setAttribute ("path", pictureFile.getFullPathName());
    paths->setAttribute ("pathDraw", layerFile.getFullPathName());
    juce::MemoryBlock blob;
    juce::AudioProcessor::copyXmlToBinary (state, blob);

    const auto deadline = juce::Time::getMillisecondCounterHiRes() + fuzzSeconds() * 1000.0;
    int runs = 0;

    // At least 21 runs however slow the machine, then as many as the time allows.
    for (; runs <= 20 || (runs < 2000 && juce::Time::getMillisecondCounterHiRes() < deadline); ++runs)
    {
        const auto& seed = seeds[(size_t) runs % seeds.size()];
        auto pictureBytes = rng() % 4 == 0 ? seed.bytes : fs::mutate (seed.bytes, rng, seed.isPng);
        if (pictureBytes.empty())
            pictureBytes.push_back (0); // an empty write would delete the file
        const auto layerBytes = rng() % 2 == 0 ? layer : fs::mutate (layer, rng, true);
        pictureFile.replaceWithData (pictureBytes.data(), pictureBytes.size());
        layerFile.replaceWithData (layerBytes.data(), layerBytes.size());

        const auto decodes = pictures::decodePicture (pictureBytes.data(), pictureBytes.size()).isValid();
        const auto alertsBefore = p.imageAlertsRequested.load();

        p.setStateInformation (blob.getData(), (int) blob.getSize());
        EXPECT_EQ (p.imageAlertsRequested.load() - alertsBefore, decodes ? 0 : 1) << "run " << runs;

        bool finite = true;
        ASSERT_TRUE (pipeline.adoptAndPlay (finite)) << "run " << runs;
        ASSERT_TRUE (finite) << "run " << runs;
        ASSERT_EQ (p.sourceImagePresent.load(), decodes) << "run " << runs;

        // The layer that came back (decoded or not) takes a stroke, an undo and a save.
        std::vector<juce::Point<float>> points { { 0.5f, 0.5f }, { 0.6f, 0.1f } };
        p.drawShape (points);
        p.undoStroke();
        p.redoStroke();

        if (runs % 10 == 0)
        {
            juce::MemoryBlock saved;
            p.getStateInformation (saved);
            EXPECT_GT (saved.getSize(), 8u);
        }

        if (runs % 25 == 0)
            dismissImageAlerts();
    }

    dismissImageAlerts();
}
