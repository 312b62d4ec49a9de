#include "PictureTestSupport.h"
#include "PictureFiles.h"
#include "XDisplay.h"

using namespace kestrune::test;

namespace
{
    void restore (KestruneAudioProcessor& p, const juce::MemoryBlock& blob)
    {
        p.setStateInformation (blob.getData(), (int) blob.getSize());
    }

    juce::MemoryBlock blobWithPaths (KestruneAudioProcessor& source, const juce::String& path, const juce::String& pathDraw)
    {
        auto state = source.copyState();
        auto paths = state.getOrCreateChildWithName ("ImagePath", nullptr);
        paths.setProperty ("path", path, nullptr);
        paths.setProperty ("pathDraw", pathDraw, nullptr);
        juce::MemoryBlock blob;
        source.copyXmlToBinary (*state.createXml(), blob);
        return blob;
    }

    // Pen layers travel through PNG, which stores colours unpremultiplied, so a
    // faint anti-aliased edge comes back with its colour rounded.
    bool sameLayer (const juce::Image& a, const juce::Image& b)
    {
        if (a.getBounds() != b.getBounds())
            return false;
        for (int y = 0; y < a.getHeight(); ++y)
            for (int x = 0; x < a.getWidth(); ++x)
            {
                const auto p = a.getPixelAt (x, y), q = b.getPixelAt (x, y);
                if (p.getAlpha() != q.getAlpha())
                    return false;
                const int tolerance = p.getAlpha() == 0 ? 255 : 1 + 255 / p.getAlpha();
                if (std::abs (p.getRed() - q.getRed()) > tolerance || std::abs (p.getGreen() - q.getGreen()) > tolerance
                    || std::abs (p.getBlue() - q.getBlue()) > tolerance)
                    return false;
            }
        return true;
    }

    // A picture with some structure, so that a wrong file shows.
    juce::Image gradient (int w, int h)
    {
        juce::Image image (juce::Image::RGB, w, h, true);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) (x * 3), (juce::uint8) (y * 5), (juce::uint8) 90));
        return image;
    }

    void stroke (KestruneAudioProcessor& p, float x0, float y0, float x1, float y1)
    {
        std::vector<juce::Point<float>> points { { x0, y0 }, { x1, y1 } };
        p.drawShape (points);
    }
}

TEST (SavedStatePictures, RoundTripBringsBackBothPicturesAndPaths)
{
    const auto photo = writeBytes ("round-trip.png", encodePng (gradient (64, 40)));

    auto first = makeProcessor();
    first->loadFile (photo.getFullPathName(), true);
    ASSERT_TRUE (adoptPending (*first));
    stroke (*first, 0.1f, 0.2f, 0.9f, 0.8f);

    const auto blob = saveState (*first);
    const auto layerName = juce::File (first->drawImagePath).getFileName();
    ASSERT_TRUE (layerName.startsWith ("imageDraw"));
    EXPECT_TRUE (imagesFolder().getChildFile (layerName).existsAsFile());
    EXPECT_TRUE (imagesFolder().getChildFile ("round-trip.png").existsAsFile());

    auto second = makeProcessor();
    restore (*second, blob);
    EXPECT_TRUE (second->keepParams.load() || ! second->newImagePending.load());
    ASSERT_TRUE (adoptPending (*second));

    // The pictures were found in the images folder first.
    EXPECT_EQ (second->imageFilePath, imagesFolder().getChildFile ("round-trip.png").getFullPathName());
    EXPECT_EQ (second->drawImagePath, imagesFolder().getChildFile (layerName).getFullPathName());

    // The state keeps the stored paths as they were.
    auto paths = second->getStateChild ("ImagePath");
    EXPECT_EQ (paths.getProperty ("path").toString(), photo.getFullPathName());
    EXPECT_EQ (paths.getProperty ("pathDraw").toString(), first->drawImagePath);

    EXPECT_TRUE (samePixels (copyUnderLock (second->sourceImage), copyUnderLock (first->sourceImage)));
    const auto layer = copyUnderLock (first->drawLayer);
    EXPECT_TRUE (sameLayer (copyUnderLock (second->drawLayer), layer));
    EXPECT_GT (layer.getPixelAt (32, 20).getAlpha(), 0) << "the stroke crosses the middle";
}

TEST (SavedStatePictures, APictureFromAnotherMachineIsFoundInTheImagesFolder)
{
    auto p = makeProcessor();
    const auto local = imagesFolder().getChildFile ("from-elsewhere.png");
    local.replaceWithData (encodePng (gradient (30, 20)).getData(), encodePng (gradient (30, 20)).getSize());

    restore (*p, blobWithPaths (*p, "/Users/someone/Pictures/from-elsewhere.png", {}));
    EXPECT_TRUE (p->newImagePending.load());
    EXPECT_TRUE (p->keepParams.load());
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_EQ (p->imageFilePath, local.getFullPathName());
    EXPECT_EQ (copyUnderLock (p->sourceImage).getWidth(), 30);
    EXPECT_EQ (p->getStateChild ("ImagePath").getProperty ("path").toString(),
               "/Users/someone/Pictures/from-elsewhere.png");
}

TEST (SavedStatePictures, AMissingPictureIsDroppedSilently)
{
    auto p = makeProcessor();
    const auto alertsBefore = p->imageAlertsRequested.load();
    const auto before = copyUnderLock (p->sourceImage);

    restore (*p, blobWithPaths (*p, "/nowhere/at/all/gone.png", {}));

    EXPECT_EQ (p->imageAlertsRequested.load(), alertsBefore);
    EXPECT_FALSE (p->newImagePending.load());
    EXPECT_TRUE (p->imageFilePath.isEmpty());
    EXPECT_TRUE (samePixels (copyUnderLock (p->sourceImage), before)) << "the picture in force stays";

    // The next save writes no picture copy, and the blob keeps the stored path.
    const auto filesBefore = imagesFolder().findChildFiles (juce::File::findFiles, false).size();
    const auto blob = saveState (*p);
    EXPECT_EQ (imagesFolder().findChildFiles (juce::File::findFiles, false).size(), filesBefore);
    EXPECT_TRUE (juce::String::fromUTF8 (static_cast<const char*> (blob.getData()) + 8).contains ("/nowhere/at/all/gone.png"));
}

TEST (SavedStatePictures, AnUndecodablePictureBringsUpTheAlert)
{
    auto p = makeProcessor();
    const juce::uint8 bmp[] = { 'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
                                1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                255, 255, 255, 0 };
    const auto file = writeBytes ("old-picture.bmp", bmp, sizeof (bmp));
    const auto alertsBefore = p->imageAlertsRequested.load();

    restore (*p, blobWithPaths (*p, file.getFullPathName(), {}));

    EXPECT_EQ (p->imageAlertsRequested.load(), alertsBefore + 1);
    EXPECT_TRUE (p->keepParams.load());
    EXPECT_TRUE (p->newImagePending.load());
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_FALSE (p->sourceImagePresent.load());

    // The box is posted to the message thread: one box where a window can
    // appear; with no display none, and nothing crashes.
    pumpMessages (50);
    EXPECT_EQ (dismissImageAlerts(), x11::displayAvailable() ? 1 : 0);
}

TEST (SavedStatePictures, ARestoreWithoutAPictureNeverOverwritesAStoredDrawing)
{
    auto p = makeProcessor();
    const auto photo = writeBytes ("running.png", encodePng (gradient (48, 32)));
    p->loadFile (photo.getFullPathName(), true);
    ASSERT_TRUE (adoptPending (*p));
    stroke (*p, 0.0f, 0.0f, 1.0f, 1.0f);
    const auto runningLayerPath = p->drawImagePath;

    // A drawing stored by another project.
    auto stored = juce::Image (juce::Image::ARGB, 48, 32, true);
    stored.setPixelAt (5, 5, juce::Colours::white);
    const auto storedFile = imagesFolder().getChildFile ("imageDraw-stored.png");
    storedFile.replaceWithData (encodePng (stored).getData(), encodePng (stored).getSize());
    const auto storedBytes = [&] { juce::MemoryBlock b; storedFile.loadFileAsData (b); return b; }();

    // Its picture is missing, so the restore stops; the pen-layer path stays ours.
    restore (*p, blobWithPaths (*p, "/missing/picture.png", storedFile.getFullPathName()));
    EXPECT_EQ (p->drawImagePath, runningLayerPath);

    saveState (*p);
    juce::MemoryBlock after;
    storedFile.loadFileAsData (after);
    EXPECT_EQ (after, storedBytes);
}

TEST (SavedStatePictures, ASaveBeforeAdoptionWritesTheLayerThatIsComing)
{
    auto p = makeProcessor();
    const auto photo = writeBytes ("pending.png", encodePng (gradient (48, 32)));

    auto stored = juce::Image (juce::Image::ARGB, 48, 32, true);
    stored.setPixelAt (7, 9, juce::Colours::white);
    const auto layerFile = imagesFolder().getChildFile ("imageDraw-pending.png");
    layerFile.replaceWithData (encodePng (stored).getData(), encodePng (stored).getSize());

    // Hold the worker back so the restored picture stays pending during the save.
    {
        const juce::ScopedLock sl (criticalSection);
        restore (*p, blobWithPaths (*p, photo.getFullPathName(), layerFile.getFullPathName()));
        ASSERT_TRUE (p->newImagePending.load());
        saveState (*p);
    }

    const auto written = kestrune::pictures::decodePictureFile (layerFile);
    ASSERT_TRUE (written.isValid());
    EXPECT_TRUE (samePixels (written, stored));
}

TEST (SavedStatePictures, AMissingPenLayerLeavesAnEmptyLayerAndANewNameOnTheNextStroke)
{
    auto p = makeProcessor();
    const auto photo = writeBytes ("no-layer.png", encodePng (gradient (48, 32)));

    restore (*p, blobWithPaths (*p, photo.getFullPathName(), "/missing/imageDraw2020-01-01-00-00-00.png"));
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_TRUE (p->drawImagePath.isEmpty());

    stroke (*p, 0.2f, 0.2f, 0.8f, 0.8f);
    EXPECT_TRUE (juce::File (p->drawImagePath).getFileName().startsWith ("imageDraw"));
    EXPECT_EQ (juce::File (p->drawImagePath).getParentDirectory(), imagesFolder());
}
