#include "PictureTestSupport.h"
#include "PictureFiles.h"

#include <atomic>
#include <set>
#include <thread>

using namespace kestrune::test;

// Projects share the images folder: a save must never put one project's
// picture or pen layer where another project's copy lies.
namespace
{
    juce::File folderFor (const juce::String& name)
    {
        auto dir = pictureScratchFolder().getChildFile (name);
        dir.createDirectory();
        return dir;
    }

    juce::File writeFile (const juce::File& file, const juce::MemoryBlock& bytes)
    {
        file.replaceWithData (bytes.getData(), bytes.getSize());
        return file;
    }

    juce::MemoryBlock bytesOf (const juce::File& file)
    {
        juce::MemoryBlock block;
        file.loadFileAsData (block);
        return block;
    }

    // A picture with structure of its own, different for every seed.
    juce::Image photo (int w, int h, int seed)
    {
        juce::Image image (juce::Image::RGB, w, h, false);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) (x * 3 + seed * 40), (juce::uint8) (y * 5 + seed), (juce::uint8) (90 + seed * 17)));
        return image;
    }

    // The layer as it comes back through its PNG file.
    juce::Image throughPng (const juce::Image& image)
    {
        const auto png = encodePng (image);
        return kestrune::pictures::decodePicture (png.getData(), png.getSize());
    }

    juce::ValueTree imagePathOf (const juce::MemoryBlock& blob)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
        return xml != nullptr ? juce::ValueTree::fromXml (*xml).getChildWithName ("ImagePath") : juce::ValueTree();
    }

    juce::String copiesOf (const juce::MemoryBlock& blob)
    {
        return imagePathOf (blob).getProperty ("savedCopies").toString();
    }

    juce::MemoryBlock blobWithImagePath (KestruneAudioProcessor& source, const juce::String& path,
                                         const juce::String& pathDraw, const juce::var& copies = {})
    {
        auto state = source.copyState();
        auto paths = state.getOrCreateChildWithName ("ImagePath", nullptr);
        paths.setProperty ("path", path, nullptr);
        paths.setProperty ("pathDraw", pathDraw, nullptr);
        paths.removeProperty ("savedCopies", nullptr);
        if (! copies.isVoid())
            paths.setProperty ("savedCopies", copies, nullptr);
        juce::MemoryBlock blob;
        juce::AudioProcessor::copyXmlToBinary (*state.createXml(), blob);
        return blob;
    }

    std::unique_ptr<KestruneAudioProcessor> reopened (const juce::MemoryBlock& blob)
    {
        auto p = makeProcessor();
        p->setStateInformation (blob.getData(), (int) blob.getSize());
        EXPECT_TRUE (adoptPending (*p));
        return p;
    }

    void stroke (KestruneAudioProcessor& p, float x0, float y0, float x1, float y1)
    {
        std::vector<juce::Point<float>> points { { x0, y0 }, { x1, y1 } };
        p.drawShape (points);
    }

    std::unique_ptr<KestruneAudioProcessor> projectWith (const juce::File& picture)
    {
        auto p = makeProcessor();
        p->loadFile (picture.getFullPathName(), true);
        EXPECT_TRUE (adoptPending (*p));
        return p;
    }

    int filesInImagesFolder()
    {
        return imagesFolder().getNumberOfChildFiles (juce::File::findFiles);
    }
}

//==============================================================================
TEST (SavedPictureCopies, AProjectComesBackWithItsOwnPictureAfterAnotherSavedTheSameName)
{
    const auto pictureA = photo (64, 40, 1), pictureB = photo (64, 40, 2);
    const auto fileA = writeFile (folderFor ("one").getChildFile ("story.png"), encodePng (pictureA));
    const auto fileB = writeFile (folderFor ("two").getChildFile ("story.png"), encodePng (pictureB));

    // 1. Project A is saved: its copy is story.png.
    auto a = projectWith (fileA);
    const auto blobA = saveState (*a);
    EXPECT_TRUE (copiesOf (blobA).startsWith ("story.png/"));

    // 2. Project B, a different picture of the same name, is saved: its copy
    //    gets a name of its own and A's stays.
    auto b = projectWith (fileB);
    const auto blobB = saveState (*b);
    EXPECT_TRUE (copiesOf (blobB).startsWith ("story_2.png/"));
    EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (imagesFolder().getChildFile ("story.png")), pictureA));
    EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (imagesFolder().getChildFile ("story_2.png")), pictureB));

    // "path" and "pathDraw" hold what they always held.
    EXPECT_EQ (imagePathOf (blobB).getProperty ("path").toString(), fileB.getFullPathName());
    EXPECT_EQ (imagePathOf (blobB).getProperty ("pathDraw").toString(), b->drawImagePath);
    EXPECT_EQ (imagePathOf (blobB).getPropertyName (2).toString(), "savedCopies");

    // 3. Both projects reopen, the originals gone, each with its own picture.
    fileA.deleteFile();
    fileB.deleteFile();
    auto a2 = reopened (blobA);
    auto b2 = reopened (blobB);
    EXPECT_TRUE (samePixels (copyUnderLock (a2->sourceImage), copyUnderLock (a->sourceImage)));
    EXPECT_TRUE (samePixels (copyUnderLock (b2->sourceImage), copyUnderLock (b->sourceImage)));
    EXPECT_FALSE (samePixels (copyUnderLock (a2->sourceImage), copyUnderLock (b2->sourceImage)));

    // Saving them again changes nothing: the blobs are the same and no file is added.
    const auto files = filesInImagesFolder();
    EXPECT_EQ (copiesOf (saveState (*a2)), copiesOf (blobA));
    EXPECT_EQ (copiesOf (saveState (*b2)), copiesOf (blobB));
    EXPECT_EQ (filesInImagesFolder(), files);
}

TEST (SavedPictureCopies, PenLayersFollowTheSameRule)
{
    const auto fileA = writeFile (folderFor ("layers-a").getChildFile ("base.png"), encodePng (photo (80, 50, 3)));
    const auto fileB = writeFile (folderFor ("layers-b").getChildFile ("base.png"), encodePng (photo (80, 50, 3)));

    auto a = projectWith (fileA);
    stroke (*a, 0.1f, 0.1f, 0.9f, 0.2f);
    const auto blobA = saveState (*a);
    const auto layerFileA = juce::File (a->drawImagePath);
    ASSERT_TRUE (layerFileA.existsAsFile());
    const auto layerBytesA = bytesOf (layerFileA);
    const auto layerA = copyUnderLock (a->drawLayer);

    // Project B names its layer as A did (another host process, the same
    // second) and draws something else there.
    auto b = projectWith (fileB);
    {
        const juce::ScopedLock sl (criticalSection);
        b->drawImagePath = a->drawImagePath;
    }
    b->setImageDrawPathToValueState();
    stroke (*b, 0.5f, 0.0f, 0.5f, 1.0f);
    const auto blobB = saveState (*b);
    const auto layerB = copyUnderLock (b->drawLayer);

    EXPECT_EQ (bytesOf (layerFileA), layerBytesA) << "A's layer file is untouched";
    EXPECT_EQ (copiesOf (blobB).fromFirstOccurrenceOf ("/", false, false),
               layerFileA.getFileNameWithoutExtension() + "_2.png");
    EXPECT_EQ (imagePathOf (blobB).getProperty ("pathDraw").toString(), a->drawImagePath) << "pathDraw as ever";

    // The pictures are the same, so both projects share one picture copy.
    EXPECT_EQ (copiesOf (blobA).upToFirstOccurrenceOf ("/", false, false), "base.png");
    EXPECT_EQ (copiesOf (blobB).upToFirstOccurrenceOf ("/", false, false), "base.png");

    auto a2 = reopened (blobA);
    auto b2 = reopened (blobB);
    EXPECT_TRUE (samePixels (copyUnderLock (a2->drawLayer), throughPng (layerA)));
    EXPECT_TRUE (samePixels (copyUnderLock (b2->drawLayer), throughPng (layerB)));

    // A reopened project draws on and saves into its own layer file again.
    const auto files = filesInImagesFolder();
    stroke (*a2, 0.0f, 0.9f, 1.0f, 0.9f);
    const auto blobA2 = saveState (*a2);
    EXPECT_EQ (copiesOf (blobA2), copiesOf (blobA));
    EXPECT_EQ (filesInImagesFolder(), files);
    EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (layerFileA), throughPng (copyUnderLock (a2->drawLayer))));
    EXPECT_TRUE (samePixels (copyUnderLock (reopened (blobB)->drawLayer), throughPng (layerB)));
}

TEST (SavedPictureCopies, AJpegOpenedFromTheImagesFolderStaysAJpeg)
{
    imagesFolder().createDirectory();
    const auto song = writeFile (imagesFolder().getChildFile ("song.jpg"), encodeJpeg (photo (96, 64, 4)));
    const auto jpeg = bytesOf (song);

    auto p = projectWith (song);
    const auto blob = saveState (*p);
    saveState (*p);

    EXPECT_EQ (bytesOf (song), jpeg);
    EXPECT_EQ (kestrune::pictures::readPictureHeader (jpeg.getData(), jpeg.getSize()).format,
               kestrune::pictures::PictureFormat::jpeg);
    EXPECT_TRUE (copiesOf (blob).startsWith ("song.jpg/"));

    auto again = reopened (blob);
    EXPECT_EQ (again->imageFilePath, song.getFullPathName());
    EXPECT_TRUE (samePixels (copyUnderLock (again->sourceImage), copyUnderLock (p->sourceImage)));
    saveState (*again);
    EXPECT_EQ (bytesOf (song), jpeg);

    // Changed by another program since it was opened: the picture the project
    // holds goes beside it, and the change stays.
    const auto edited = photo (96, 64, 5);
    writeFile (song, encodePng (edited));
    EXPECT_TRUE (copiesOf (saveState (*again)).startsWith ("song_2.jpg/"));
    EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (song), edited));
    EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (imagesFolder().getChildFile ("song_2.jpg")),
                             copyUnderLock (again->loadedImage)));
}

TEST (SavedPictureCopies, AStateSavedBeforeCopiesWereRecordedRestoresAsBefore)
{
    auto p = makeProcessor();
    imagesFolder().createDirectory();

    // The copy in the images folder wins over the file at the stored path,
    // as it always did; the paths in the state stay as stored.
    const auto atPath = writeFile (folderFor ("old-project").getChildFile ("legacy.png"), encodePng (photo (30, 20, 5)));
    const auto inFolder = writeFile (imagesFolder().getChildFile ("legacy.png"), encodePng (photo (30, 20, 6)));
    const auto layer = writeFile (imagesFolder().getChildFile ("imageDrawLegacy.png"),
                                  encodePng (juce::Image (juce::Image::ARGB, 30, 20, true)));

    for (const juce::var& copies : { juce::var(), juce::var ("gone.png/gone-layer.png"), juce::var ("not well formed") })
    {
        auto q = reopened (blobWithImagePath (*p, atPath.getFullPathName(), "/other/machine/imageDrawLegacy.png", copies));
        EXPECT_EQ (q->imageFilePath, inFolder.getFullPathName());
        EXPECT_EQ (q->drawImagePath, layer.getFullPathName());
        EXPECT_TRUE (samePixels (copyUnderLock (q->loadedImage), photo (30, 20, 6)));
        EXPECT_EQ (q->getStateChild ("ImagePath").getProperty ("path").toString(), atPath.getFullPathName());
        EXPECT_EQ (q->getStateChild ("ImagePath").getProperty ("pathDraw").toString(),
                   "/other/machine/imageDrawLegacy.png");
    }

    // Without a copy in the folder, the file at the stored path.
    const auto onlyAtPath = writeFile (folderFor ("old-project").getChildFile ("only-here.png"), encodePng (photo (30, 20, 7)));
    auto r = reopened (blobWithImagePath (*p, onlyAtPath.getFullPathName(), {}));
    EXPECT_EQ (r->imageFilePath, onlyAtPath.getFullPathName());

    // Its next save writes the copy, and records it.
    EXPECT_EQ (copiesOf (saveState (*r)), "only-here.png/");
    EXPECT_TRUE (imagesFolder().getChildFile ("only-here.png").existsAsFile());
}

TEST (SavedPictureCopies, ARecordedCopyWinsOverTheNameLookup)
{
    auto p = makeProcessor();
    imagesFolder().createDirectory();
    const auto theirs = writeFile (imagesFolder().getChildFile ("shared.png"), encodePng (photo (30, 20, 8)));
    const auto ours = writeFile (imagesFolder().getChildFile ("shared_2.png"), encodePng (photo (30, 20, 9)));

    auto q = reopened (blobWithImagePath (*p, "/elsewhere/shared.png", {}, "shared_2.png/"));
    EXPECT_EQ (q->imageFilePath, ours.getFullPathName());
    EXPECT_TRUE (samePixels (copyUnderLock (q->loadedImage), photo (30, 20, 9)));
    EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (theirs), photo (30, 20, 8)));
}

TEST (SavedPictureCopies, TwoInstancesSavingSameNamedPicturesAtOnce)
{
    constexpr int rounds = 6;
    auto first = makeProcessor();
    auto second = makeProcessor();

    for (int round = 0; round < rounds; ++round)
    {
        const auto name = "at-once-" + juce::String (round) + ".png";
        const auto pictureA = photo (50, 30, 20 + round), pictureB = photo (50, 30, 40 + round);
        first->loadFile (writeFile (folderFor ("at-once-a").getChildFile (name), encodePng (pictureA)).getFullPathName(), true);
        second->loadFile (writeFile (folderFor ("at-once-b").getChildFile (name), encodePng (pictureB)).getFullPathName(), true);
        ASSERT_TRUE (adoptPending (*first));
        ASSERT_TRUE (adoptPending (*second));

        juce::MemoryBlock blobA, blobB;
        std::atomic<int> ready { 0 };
        auto saveOnItsOwnThread = [&ready] (KestruneAudioProcessor& p, juce::MemoryBlock& blob)
        {
            return std::thread ([&ready, &p, &blob]
            {
                ready.fetch_add (1);
                while (ready.load() < 2) {}
                p.getStateInformation (blob);
            });
        };

        auto t1 = saveOnItsOwnThread (*first, blobA);
        auto t2 = saveOnItsOwnThread (*second, blobB);
        t1.join();
        t2.join();

        const auto copyA = copiesOf (blobA).upToFirstOccurrenceOf ("/", false, false);
        const auto copyB = copiesOf (blobB).upToFirstOccurrenceOf ("/", false, false);
        ASSERT_TRUE (copyA.isNotEmpty() && copyB.isNotEmpty());
        EXPECT_NE (copyA, copyB) << "round " << round;
        EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (imagesFolder().getChildFile (copyA)), pictureA));
        EXPECT_TRUE (samePixels (kestrune::pictures::decodePictureFile (imagesFolder().getChildFile (copyB)), pictureB));

        if (round == rounds - 1)
        {
            folderFor ("at-once-a").getChildFile (name).deleteFile();
            folderFor ("at-once-b").getChildFile (name).deleteFile();
            EXPECT_TRUE (samePixels (copyUnderLock (reopened (blobA)->sourceImage), copyUnderLock (first->sourceImage)));
            EXPECT_TRUE (samePixels (copyUnderLock (reopened (blobB)->sourceImage), copyUnderLock (second->sourceImage)));
        }
    }
}

TEST (SavedPictureCopies, NoFileOutsideTheImagesFolderIsWrittenWhateverABlobSays)
{
    auto p = makeProcessor();
    const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory);
    const auto picture = writeFile (folderFor ("hostile").getChildFile ("plain.png"), encodePng (photo (20, 10, 10)));
    // Joined by hand: getChildFile reads a leading "~" as the home folder.
    const auto outsideLayer = writeFile (juce::File (folderFor ("hostile").getFullPathName() + "/~layer.png"),
                                         encodePng (juce::Image (juce::Image::ARGB, 20, 10, true)));

    auto treeOutsideImages = [&]
    {
        std::set<std::pair<juce::String, juce::int64>> files;
        for (const auto& f : home.findChildFiles (juce::File::findFiles, true, "*", juce::File::FollowSymlinks::no))
            if (! f.isAChildOf (imagesFolder()))
                files.insert ({ f.getFullPathName(), f.getSize() });
        return files;
    };
    const auto before = treeOutsideImages();
    const auto cwdBefore = juce::File::getCurrentWorkingDirectory().getNumberOfChildFiles (juce::File::findFilesAndDirectories);

    for (auto copies : { "../plain.png/../x.png", "..//..", "./.", "/", "~/~", "../../hostile/plain.png/", "plain.png/~layer.png" })
    {
        const auto blob = blobWithImagePath (*p, picture.getFullPathName(), outsideLayer.getFullPathName(), juce::String (copies));
        p->setStateInformation (blob.getData(), (int) blob.getSize());
        ASSERT_TRUE (adoptPending (*p));
        stroke (*p, 0.0f, 0.5f, 1.0f, 0.5f);
        saveState (*p);
        saveState (*p);
    }

    EXPECT_EQ (treeOutsideImages(), before);
    EXPECT_EQ (juce::File::getCurrentWorkingDirectory().getNumberOfChildFiles (juce::File::findFilesAndDirectories), cwdBefore);
}
