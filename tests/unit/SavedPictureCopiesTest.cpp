#include "PictureTestSupport.h"
#include "PictureFiles.h"

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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


    // A picture with structure of its own, different for every seed.
    juce::Image photo (int w, int h, int seed)
    {
        juce::Image image (juce::Image::RGB, w, h, false);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) (x * 3 + seed * 40), (juce::uint8) (y * 5 + seed), (juce::uint8) (90 + seed * 17)));
        return image;
    }


    juce::String copiesOf (const juce::MemoryBlock& blob)
    {
        return savedImagePath (blob).getProperty ("savedCopies").toString();
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
    EXPECT_EQ (savedImagePath (blobB).getProperty ("path").toString(), fileB.getFullPathName());
    EXPECT_EQ (savedImagePath (blobB).getProperty ("pathDraw").toString(), b->drawImagePath);
    EXPECT_EQ (savedImagePath (blobB).getPropertyName (2).toString(), "savedCopies");

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
    const auto layerBytesA = contentOf (layerFileA);
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

    EXPECT_EQ (contentOf (layerFileA), layerBytesA) << "A's layer file is untouched";
    EXPECT_TRUE (copiesOf (blobB).fromFirstOccurrenceOf ("/", false, false)
                     .startsWith (layerFileA.getFileNameWithoutExtension() + "-"));
    EXPECT_EQ (savedImagePath (blobB).getProperty ("pathDraw").toString(), a->drawImagePath) << "pathDraw as ever";

    // The pictures are the same, so both projects share one picture copy.
    EXPECT_EQ (copiesOf (blobA).upToFirstOccurrenceOf ("/", false, false), "base.png");
    EXPECT_EQ (copiesOf (blobB).upToFirstOccurrenceOf ("/", false, false), "base.png");

    auto a2 = reopened (blobA);
    auto b2 = reopened (blobB);
    EXPECT_TRUE (samePixels (copyUnderLock (a2->drawLayer), layerA));
    EXPECT_TRUE (samePixels (copyUnderLock (b2->drawLayer), layerB));

    // A reopened project drawn on saves its layer under a new name; the
    // state saved before still names the layer it had.
    const auto files = filesInImagesFolder();
    stroke (*a2, 0.0f, 0.9f, 1.0f, 0.9f);
    const auto blobA2 = saveState (*a2);
    EXPECT_NE (copiesOf (blobA2), copiesOf (blobA));
    EXPECT_EQ (filesInImagesFolder(), files + 1);
    EXPECT_EQ (contentOf (layerFileA), layerBytesA);
    EXPECT_TRUE (samePixels (copyUnderLock (reopened (blobA)->drawLayer), layerA));
    EXPECT_TRUE (samePixels (copyUnderLock (reopened (blobA2)->drawLayer), copyUnderLock (a2->drawLayer)));
    EXPECT_TRUE (samePixels (copyUnderLock (reopened (blobB)->drawLayer), layerB));
}

TEST (SavedPictureCopies, AJpegOpenedFromTheImagesFolderStaysAJpeg)
{
    imagesFolder().createDirectory();
    const auto song = writeFile (imagesFolder().getChildFile ("song.jpg"), encodeJpeg (photo (96, 64, 4)));
    const auto jpeg = contentOf (song);

    auto p = projectWith (song);
    const auto blob = saveState (*p);
    saveState (*p);

    EXPECT_EQ (contentOf (song), jpeg);
    EXPECT_EQ (kestrune::pictures::readPictureHeader (jpeg.getData(), jpeg.getSize()).format,
               kestrune::pictures::PictureFormat::jpeg);
    EXPECT_TRUE (copiesOf (blob).startsWith ("song.jpg/"));

    auto again = reopened (blob);
    EXPECT_EQ (again->imageFilePath, song.getFullPathName());
    EXPECT_TRUE (samePixels (copyUnderLock (again->sourceImage), copyUnderLock (p->sourceImage)));
    saveState (*again);
    EXPECT_EQ (contentOf (song), jpeg);

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

    for (const juce::var& copies : { juce::var(), juce::var ("not well formed") })
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

    auto treeOutsideImages = [&] { return filesUnder (home, imagesFolder()); };
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

// A project's versions (Save As, autosaves, presets, a duplicated track) are
// saved states naming the same copies: whatever happens after a save, every
// state saved reopens with the drawing it had, and the files it names keep
// their bytes.
TEST (SavedPictureCopies, EveryStateSavedReopensAsItWasSaved)
{
    const auto base = writeFile (folderFor ("versions").getChildFile ("base.png"), encodePng (photo (90, 60, 30)));

    struct Saved
    {
        juce::MemoryBlock blob;
        juce::Image layer;
        std::map<juce::String, juce::MemoryBlock> files;
    };

    struct Row
    {
        const char* name;
        std::function<void (std::function<void (KestruneAudioProcessor&)> save, std::vector<Saved>&)> run;
    };

    const Row rows[] = {
        { "Save As after more strokes", [&] (auto save, auto&)
          {
              auto p = projectWith (base);
              stroke (*p, 0.1f, 0.1f, 0.9f, 0.2f);
              save (*p);
              stroke (*p, 0.5f, 0.0f, 0.5f, 1.0f);
              save (*p);
          } },
        { "two states copied from one blob, edited apart", [&] (auto save, auto& states)
          {
              auto p = projectWith (base);
              stroke (*p, 0.2f, 0.8f, 0.8f, 0.8f);
              save (*p);
              const auto blob = states.back().blob;
              auto first = reopened (blob);
              auto second = reopened (blob);
              stroke (*first, 0.0f, 0.0f, 1.0f, 1.0f);
              stroke (*second, 0.0f, 1.0f, 1.0f, 0.0f);
              save (*first);
              save (*second);
          } },
        { "autosaved, then drawn back to the saved drawing", [&] (auto save, auto&)
          {
              auto p = projectWith (base);
              stroke (*p, 0.3f, 0.1f, 0.3f, 0.9f);
              save (*p);
              stroke (*p, 0.1f, 0.5f, 0.9f, 0.5f);
              save (*p);
              p->undoStroke();
              save (*p);
          } },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        std::vector<Saved> states;
        auto save = [&states] (KestruneAudioProcessor& p)
        {
            Saved s { saveState (p), copyUnderLock (p.drawLayer), {} };
            for (const auto& name : juce::StringArray::fromTokens (copiesOf (s.blob), "/", ""))
                if (name.isNotEmpty())
                    s.files[name] = contentOf (imagesFolder().getChildFile (name));
            states.push_back (s);
        };

        row.run (save, states);

        for (size_t i = 0; i < states.size(); ++i)
        {
            SCOPED_TRACE ("state " + std::to_string (i));
            for (const auto& [name, bytes] : states[i].files)
                EXPECT_EQ (contentOf (imagesFolder().getChildFile (name)), bytes) << name;
            EXPECT_TRUE (samePixels (copyUnderLock (reopened (states[i].blob)->drawLayer), states[i].layer));
        }
    }
}

// Where a restore looks for a stored picture: the recorded copy, else the
// stored path, never a file the save had set aside as different, never
// outside the images folder, and never anything but a regular file.
TEST (SavedPictureCopies, ARestoreReadsOnlyThePicturesItNames)
{
    imagesFolder().createDirectory();
    const auto ours = writeFile (folderFor ("lookup").getChildFile ("photo.png"), encodePng (photo (30, 20, 40)));
    const auto theirs = writeFile (imagesFolder().getChildFile ("photo.png"), encodePng (photo (30, 20, 41)));
    const auto oldLayer = writeFile (imagesFolder().getChildFile ("imageDrawOld.png"),
                                     encodePng (solidImage (30, 20, juce::Colours::white, juce::Image::ARGB)));
    const auto fifo = folderFor ("lookup").getChildFile ("fifo.png");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    ASSERT_EQ (::mkfifo (imagesFolder().getChildFile ("fifo_2.png").getFullPathName().toRawUTF8(), 0600), 0);
    const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName();

    struct Row
    {
        const char* name;
        juce::String path, pathDraw, copies;
        juce::String picture;           // the picture path in force afterwards ("" : the one before stays)
        juce::String layer;             // the pen-layer path in force afterwards
    };

    const Row rows[] = {
        { "recorded copy gone: the stored path", ours.getFullPathName(), {}, "photo_2.png/", ours.getFullPathName(), {} },
        { "recorded copy gone, stored path gone", "/gone/photo.png", {}, "photo_2.png/", {}, {} },
        { "recorded layer gone: not the layer set aside", ours.getFullPathName(), oldLayer.getFullPathName(),
          "photo_2.png/imageDrawOld-0123456789abcdef.png", ours.getFullPathName(), {} },
        { "a FIFO at the stored path", fifo.getFullPathName(), {}, {}, {}, {} },
        { "a FIFO as the recorded copy", fifo.getFullPathName(), {}, "fifo_2.png/", {}, {} },
        { "a name of a home folder", "/gone/~", {}, {}, {}, {} },
        { "a name of another user's home folder", "/gone/~root", {}, {}, {}, {} },
        { "a parent folder", "/gone/..", {}, {}, {}, {} },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        auto p = makeProcessor();
        const auto alerts = p->imageAlertsRequested.load();
        const auto blob = blobWithImagePath (*p, row.path, row.pathDraw, row.copies.isEmpty() ? juce::var() : juce::var (row.copies));

        // On a thread of its own, as some hosts do: a restore that waits on
        // a FIFO is let go by opening the FIFO for writing, and fails.
        std::atomic<bool> done { false };
        std::thread host ([&] { p->setStateInformation (blob.getData(), (int) blob.getSize()); done.store (true); });
        const bool returned = waitFor ([&] { return done.load(); }, 1000);
        for (auto f : { fifo, imagesFolder().getChildFile ("fifo_2.png") })
            if (! returned)
                if (const auto fd = ::open (f.getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK); fd >= 0)
                    ::close (fd);
        host.join();
        EXPECT_TRUE (returned) << "a restore returns within a second";
        ASSERT_TRUE (adoptPending (*p));

        EXPECT_EQ (p->imageFilePath, row.picture.isEmpty() ? juce::String() : row.picture);
        EXPECT_EQ (p->drawImagePath, row.layer);
        EXPECT_FALSE (p->imageFilePath.startsWith (home) && ! p->imageFilePath.startsWith (imagesFolder().getFullPathName())
                      && p->imageFilePath != ours.getFullPathName());
        EXPECT_EQ (p->imageAlertsRequested.load(), alerts) << "nothing unreadable was read";

        if (row.picture.isNotEmpty())
        {
            EXPECT_TRUE (samePixels (copyUnderLock (p->loadedImage), photo (30, 20, 40)));
        }
    }

    juce::ignoreUnused (theirs);
    fifo.deleteFile();
    imagesFolder().getChildFile ("fifo_2.png").deleteFile();
}
