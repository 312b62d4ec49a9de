#include "PictureTestSupport.h"
#include "PictureFiles.h"

#include <atomic>
#include <regex>
#include <thread>

using namespace kestrune::test;
namespace pictures = kestrune::pictures;

namespace
{
    juce::File defaultPictureFile() { return imagesFolder().getChildFile ("imageDegault.png"); }

    juce::Image decodeFile (const juce::File& f) { return pictures::decodePictureFile (f); }

    juce::StringArray propertyNames (const juce::ValueTree& tree)
    {
        juce::StringArray names;
        for (int i = 0; i < tree.getNumProperties(); ++i)
            names.add (tree.getPropertyName (i).toString());
        return names;
    }

    juce::Array<juce::File> leftoverPartFiles()
    {
        return imagesFolder().findChildFiles (juce::File::findFiles, false, "*.part", juce::File::FollowSymlinks::no);
    }

    // Puts a plain file where the Documents folder belongs, so that the images
    // folder cannot be created; undone on destruction.
    struct UncreatableDocuments
    {
        UncreatableDocuments()
        {
            documents = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile ("Documents");
            aside = documents.getSiblingFile ("Documents-aside");
            if (documents.isDirectory())
                documents.moveFileTo (aside);
            documents.replaceWithText ("a plain file");
        }

        ~UncreatableDocuments()
        {
            documents.deleteFile();
            if (aside.isDirectory())
                aside.moveFileTo (documents);
        }

        juce::File documents, aside;
    };
}

//==============================================================================
TEST (PictureFiles, ConstructionWritesAndAdoptsTheBlackDefaultPicture)
{
    // Whatever the file held before, construction leaves exactly the default PNG.
    imagesFolder().createDirectory();
    defaultPictureFile().replaceWithText ("this is not a picture, and it is longer than the real thing would be? no");
    const auto red = encodePng (solidImage (20, 10, juce::Colours::red));

    for (int round = 0; round < 2; ++round)
    {
        if (round == 1)
            defaultPictureFile().replaceWithData (red.getData(), red.getSize());

        // Holding the pipeline lock keeps the worker's first pass back, so the
        // state the constructor leaves can be read before the worker moves it on.
        std::unique_ptr<KestruneAudioProcessor> p;
        const juce::ScopedLock sl (criticalSection);
        p = makeProcessor();

        const auto onDisk = decodeFile (defaultPictureFile());
        EXPECT_TRUE (pictures::isOpaqueBlack (onDisk, 480, 330));
        EXPECT_TRUE (leftoverPartFiles().isEmpty());

        EXPECT_EQ (p->imageFilePath, defaultPictureFile().getFullPathName());
        EXPECT_EQ (p->imageFilePath, p->getFilePath ("imageDegault.png"));
        EXPECT_TRUE (p->drawImagePath.isEmpty());
        EXPECT_FALSE (p->getStateChild ("ImagePath").isValid());

        EXPECT_FALSE (p->newImagePending.load());
        EXPECT_TRUE (p->reloadImage.load());
        EXPECT_FALSE (p->needColourUpdate.load());
        EXPECT_FALSE (p->keepParams.load());
        EXPECT_TRUE (p->sourceImagePresent.load());

        EXPECT_TRUE (pictures::isOpaqueBlack (p->loadedImage, 480, 330));
        EXPECT_TRUE (pictures::isOpaqueBlack (p->sourceImage, 480, 330));
        EXPECT_TRUE (pictures::isOpaqueBlack (p->outputImage, 480, 330));
        EXPECT_EQ (p->drawLayer.getBounds(), p->sourceImage.getBounds());
        EXPECT_EQ (p->undoImages.size(), 1u);
        EXPECT_EQ (p->undoIndex, 1);

        const auto& frame = p->outputFrames.current();
        ASSERT_EQ (frame.width, 480);
        ASSERT_EQ (frame.height, 330);
        EXPECT_EQ (frame.pixel (479, 329), 0.0f);

        const juce::ScopedUnlock su (criticalSection);
        p.reset();
    }
}

TEST (PictureFiles, LoadFileRecordsPathsAndRaisesThePendingFlagEvenWhenNothingDecodes)
{
    auto p = makeProcessor();

    // A BMP: a real picture, but not one of the three accepted formats.
    const juce::uint8 bmp[] = { 'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
                                1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0x13, 0x0b, 0, 0, 0x13, 0x0b, 0, 0, 0, 0, 0, 0,
                                0, 0, 0, 0, 0, 0, 255, 0 };
    const auto bmpFile = writeBytes ("picture.bmp", bmp, sizeof (bmp));
    const auto missing = pictureScratchFolder().getChildFile ("nowhere.png").getFullPathName();

    struct Case { juce::String path; bool keep; };
    for (const auto& c : { Case { bmpFile.getFullPathName(), true }, Case { missing, false } })
    {
        SCOPED_TRACE (c.path.toStdString());
        const auto drawPathBefore = p->drawImagePath;
        p->loadFile (c.path, c.keep);

        const auto state = p->copyState();
        const auto child = state.getChildWithName ("ImagePath");
        ASSERT_TRUE (child.isValid());
        EXPECT_EQ (state.indexOf (child), state.getNumChildren() - 1);
        EXPECT_EQ (propertyNames (child), juce::StringArray ({ "pathDraw", "path" }));
        EXPECT_EQ (child["path"].toString(), c.path);
        EXPECT_EQ (child["pathDraw"].toString(), p->drawImagePath);
        EXPECT_NE (p->drawImagePath, drawPathBefore);
        EXPECT_TRUE (p->drawImagePath.startsWith (imagesFolder().getChildFile ("imageDraw").getFullPathName()));
        EXPECT_FALSE (juce::File (p->drawImagePath).exists()); // named only, written at the next save
        EXPECT_EQ (p->imageFilePath, c.path);
        EXPECT_EQ (p->keepParams.load(), c.keep);
        EXPECT_TRUE (p->newImagePending.load());
        EXPECT_FALSE (p->isLoading.load());

        ASSERT_TRUE (adoptPending (*p));
        EXPECT_FALSE (p->sourceImagePresent.load());
        EXPECT_TRUE (p->outputFrames.current().isEmpty());

        const juce::ScopedLock sl (criticalSection);
        EXPECT_FALSE (p->loadedImage.isValid());
        EXPECT_FALSE (p->sourceImage.isValid());
        EXPECT_FALSE (p->outputImage.isValid());
        EXPECT_EQ (p->undoImages.size(), 1u);
    }
}

TEST (PictureFiles, PathSettersCreateTheChildInTheOrderTheyRun)
{
    auto p = makeProcessor();
    p->imageFilePath = p->getFilePath ("imageDegault.png");
    p->setImagePathToValueState();
    p->setImageDrawPathToValueState(); // empty after a reset

    const auto child = p->getStateChild ("ImagePath");
    EXPECT_EQ (propertyNames (child), juce::StringArray ({ "path", "pathDraw" }));
    EXPECT_EQ (child["pathDraw"].toString(), "");
    EXPECT_EQ (child["path"].toString(), p->imageFilePath);

    p->createImageDrawPath();
    EXPECT_EQ (p->getStateChild ("ImagePath")["pathDraw"].toString(), p->drawImagePath);
    EXPECT_EQ (propertyNames (p->getStateChild ("ImagePath")), juce::StringArray ({ "path", "pathDraw" }));
}

TEST (PictureFiles, PenLayerNamesStayApartWithinOneSecond)
{
    auto a = makeProcessor();
    auto b = makeProcessor();

    for (int attempt = 0; attempt < 5; ++attempt)
    {
        const auto stamp = juce::Time::getCurrentTime().formatted ("%Y-%m-%d-%H-%M-%S");

        // A layer file of that second already on disk, from an earlier session.
        imagesFolder().getChildFile ("imageDraw" + stamp + ".png").replaceWithText ("old layer");

        a->createImageDrawPath();
        b->createImageDrawPath();
        a->createImageDrawPath();

        if (juce::Time::getCurrentTime().formatted ("%Y-%m-%d-%H-%M-%S") != stamp)
            continue; // the second turned meanwhile; try again

        const auto prefix = imagesFolder().getChildFile ("imageDraw" + stamp).getFullPathName();
        const std::regex shape (".*/imageDraw[0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{2}-[0-9]{2}-[0-9]{2}(_[0-9]+)?\\.png");

        EXPECT_TRUE (b->drawImagePath.startsWith (prefix));
        EXPECT_TRUE (a->drawImagePath.startsWith (prefix));
        EXPECT_TRUE (std::regex_match (a->drawImagePath.toStdString(), shape)) << a->drawImagePath;
        EXPECT_NE (a->drawImagePath, b->drawImagePath);
        EXPECT_NE (a->drawImagePath, prefix + ".png");
        EXPECT_NE (b->drawImagePath, prefix + ".png");

        // Saving one layer must not overwrite the other's.
        auto layerA = solidImage (4, 4, juce::Colours::red, juce::Image::ARGB);
        auto layerB = solidImage (4, 4, juce::Colours::blue, juce::Image::ARGB);
        a->saveImageToDisk (layerA, a->drawImagePath);
        b->saveImageToDisk (layerB, b->drawImagePath);
        EXPECT_TRUE (samePixels (decodeFile (juce::File (a->drawImagePath)), layerA));
        EXPECT_TRUE (samePixels (decodeFile (juce::File (b->drawImagePath)), layerB));
        return;
    }

    FAIL() << "clock kept turning over";
}

TEST (PictureFiles, SaveImageToDiskWritesWholePngFilesByName)
{
    auto p = makeProcessor();
    auto picture = patternImage (17, 9);

    // The extension does not decide the format; only "/" separates.
    p->saveImageToDisk (picture, "/somewhere/else/photo.jpg");
    const auto photo = imagesFolder().getChildFile ("photo.jpg");
    ASSERT_TRUE (photo.existsAsFile());
    juce::MemoryBlock bytes;
    photo.loadFileAsData (bytes);
    EXPECT_EQ (pictures::readPictureHeader (bytes.getData(), bytes.getSize()).format, pictures::PictureFormat::png);
    EXPECT_TRUE (samePixels (decodeFile (photo), picture));

    p->saveImageToDisk (picture, "no-slash.png");
    EXPECT_TRUE (imagesFolder().getChildFile ("no-slash.png").existsAsFile());

    p->saveImageToDisk (picture, "back\\slash.png");
    EXPECT_TRUE (imagesFolder().getChildFile ("back\\slash.png").existsAsFile());

    // A file of the same name that holds something else stays as it is; the
    // copy gets a numbered name, and is exactly one whole PNG.
    const auto target = imagesFolder().getChildFile ("shrinks.png");
    juce::MemoryBlock big (200000, true);
    target.replaceWithData (big.getData(), big.getSize());
    p->saveImageToDisk (picture, "/x/shrinks.png");
    EXPECT_EQ (target.getSize(), (juce::int64) big.getSize());
    const auto beside = imagesFolder().getChildFile ("shrinks_2.png");
    EXPECT_EQ (beside.getSize(), (juce::int64) encodePng (picture).getSize());

    // Nothing is written for an empty path, a path naming no file, or no picture.
    const auto before = imagesFolder().findChildFiles (juce::File::findFiles, false).size();
    p->saveImageToDisk (picture, "");
    p->saveImageToDisk (picture, "/some/folder/");
    juce::Image none;
    p->saveImageToDisk (none, "/x/shrinks.png");
    EXPECT_EQ (imagesFolder().findChildFiles (juce::File::findFiles, false).size(), before);
    EXPECT_TRUE (samePixels (decodeFile (beside), picture));
    EXPECT_TRUE (leftoverPartFiles().isEmpty());
}

//==============================================================================
TEST (PictureFiles, ImagesFolderThatCannotBeCreatedLeavesNoPicture)
{
    const UncreatableDocuments documents;
    auto p = makeProcessor();

    EXPECT_FALSE (imagesFolder().exists());
    EXPECT_FALSE (p->sourceImagePresent.load());
    EXPECT_FALSE (p->newImagePending.load());
    EXPECT_TRUE (p->outputFrames.current().isEmpty());
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_FALSE (p->loadedImage.isValid());
        EXPECT_FALSE (p->sourceImage.isValid());
        EXPECT_EQ (p->undoImages.size(), 1u);
    }

    // Saving and naming still do no harm.
    auto picture = patternImage (3, 3);
    p->saveImageToDisk (picture, "/x/picture.png");
    p->createImageDrawPath();
    EXPECT_FALSE (imagesFolder().exists());
}

TEST (PictureFiles, ConcurrentDefaultPictureWritersNeverShowAHalfWrittenFile)
{
    imagesFolder().createDirectory();
    const auto target = defaultPictureFile();
    const auto black = solidImage (480, 330, juce::Colours::black, juce::Image::ARGB);
    ASSERT_TRUE (pictures::writePngReplacing (black, target));

    std::atomic<bool> stop { false };
    std::atomic<int> badReads { 0 }, reads { 0 };
    std::vector<std::thread> threads;

    // Several instances rewriting the default picture at once...
    for (int t = 0; t < 3; ++t)
        threads.emplace_back ([&]
        {
            while (! stop.load())
                pictures::writePngReplacing (black, target);
        });

    // ...while a reader must always find a whole picture.
    threads.emplace_back ([&]
    {
        while (! stop.load())
        {
            if (! pictures::isOpaqueBlack (decodeFile (target), 480, 330))
                ++badReads;
            ++reads;
        }
    });

    // Meanwhile new processors start, each with the black default picture.
    for (int i = 0; i < 3; ++i)
    {
        auto p = makeProcessor();
        EXPECT_TRUE (pictures::isOpaqueBlack (copyUnderLock (p->loadedImage), 480, 330));
    }

    waitFor ([&] { return reads.load() >= 20; }, 5000);
    stop = true;
    for (auto& t : threads)
        t.join();

    EXPECT_GE (reads.load(), 1);
    EXPECT_EQ (badReads.load(), 0);
    EXPECT_TRUE (leftoverPartFiles().isEmpty());
}

TEST (PictureFiles, ProcessorStartsBlackWhileAForeignWriterScribblesOverTheDefault)
{
    // A writer that knows nothing of writing aside (an older build, another
    // program) rewrites the file in place, half-written much of the time.
    imagesFolder().createDirectory();
    const auto target = defaultPictureFile();
    const auto red = encodePng (solidImage (480, 330, juce::Colours::red));
    std::atomic<bool> stop { false };

    std::thread scribbler ([&]
    {
        while (! stop.load())
        {
            juce::FileOutputStream out (target, 64);
            if (out.openedOk())
            {
                out.setPosition (0);
                out.truncate();
                out.write (red.getData(), red.getSize() / 2);
                out.flush();
                out.write (static_cast<const char*> (red.getData()) + red.getSize() / 2, red.getSize() - red.getSize() / 2);
            }
        }
    });

    for (int i = 0; i < 4; ++i)
    {
        auto p = makeProcessor();
        EXPECT_TRUE (pictures::isOpaqueBlack (copyUnderLock (p->loadedImage), 480, 330));
        EXPECT_TRUE (p->sourceImagePresent.load());
    }

    stop = true;
    scribbler.join();
}
