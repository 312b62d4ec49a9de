#include "PictureMutation.h"
#include "PictureTestSupport.h"
#include "PictureBytes.h"
#include "PictureCopies.h"
#include "PictureFiles.h"
#include "StorablePixels.h"

#include <functional>
#include <memory>

using namespace kestrune::test;
using Kind = PictureCopies::Kind;

// What a picture's copy in the images folder is made of: the bytes of the
// file it was opened from, kept with the picture while it is in force, or a
// recording's PNG made ahead of the save.
namespace
{
    juce::Image grain (int w, int h, int seed)
    {
        juce::Image image (juce::Image::RGB, w, h, false);
        juce::Random rng (seed);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) (x + rng.nextInt (9)), (juce::uint8) (y + rng.nextInt (9)),
                                                      (juce::uint8) rng.nextInt (256)));
        return image;
    }

    juce::MemoryBlock bytesOf (const juce::File& file)
    {
        juce::MemoryBlock block;
        file.loadFileAsData (block);
        return block;
    }

    std::shared_ptr<const juce::MemoryBlock> shared (const juce::MemoryBlock& block)
    {
        return std::make_shared<const juce::MemoryBlock> (block);
    }

    std::shared_ptr<PictureBytes> bytesInForce (KestruneAudioProcessor& p)
    {
        const juce::ScopedLock sl (p.pictureEditLock);
        return p.loadedImageBytes;
    }

    juce::String pictureCopyName (const juce::MemoryBlock& blob)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
        return juce::ValueTree::fromXml (*xml).getChildWithName ("ImagePath").getProperty ("savedCopies")
                   .toString().upToFirstOccurrenceOf ("/", false, false);
    }
}

// A picture with bytes of its own is copied as exactly those bytes, under its
// path's name; a name already holding them is taken as it is, and one holding
// anything else is left alone.
TEST (PictureBytes, APictureIsCopiedAsTheBytesItCameWith)
{
    const auto image = grain (90, 60, 1);
    const auto jpeg = encodeJpeg (image);
    const auto decodedJpeg = kestrune::pictures::decodePicture (jpeg.getData(), jpeg.getSize());

    struct Row
    {
        const char* name;
        const juce::MemoryBlock there; // what the folder holds under that name first (empty: nothing)
        const char* expected;
    };

    const Row rows[] = {
        { "a free name", {}, "photo.jpg" },
        { "the same bytes under that name", jpeg, "photo.jpg" },
        { "another picture under that name", encodeJpeg (grain (90, 60, 2)), "photo_2.jpg" },
        { "the same picture as a PNG (an earlier copy)", encodePng (decodedJpeg), "photo.jpg" },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const auto folder = freshFolder ("kept-bytes");
        const auto named = folder.getChildFile ("photo.jpg");
        const auto old = juce::Time (2001, 0, 1, 0, 0);
        if (row.there.getSize() > 0)
        {
            named.replaceWithData (row.there.getData(), row.there.getSize());
            named.setLastModificationTime (old);
        }

        PictureCopies copies;
        EXPECT_EQ (copies.save (Kind::picture, decodedJpeg, "/camera/photo.jpg", folder, shared (jpeg)), row.expected);

        if (row.there.getSize() > 0)
        {
            EXPECT_EQ (bytesOf (named), row.there) << "a file that was there is never written";
            EXPECT_EQ (named.getLastModificationTime(), old);
        }
        else
        {
            EXPECT_EQ (bytesOf (named), jpeg) << "a JPEG stays the JPEG it was";
        }

        if (juce::String (row.expected) != "photo.jpg")
        {
            EXPECT_EQ (bytesOf (folder.getChildFile (row.expected)), jpeg);
        }

        // Later saves take the same copy, writing nothing.
        EXPECT_EQ (copies.save (Kind::picture, decodedJpeg, "/camera/photo.jpg", folder, shared (jpeg)), row.expected);
        EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFiles), juce::String (row.expected) == "photo.jpg" ? 1 : 2);
    }
}

// The file's bytes are held once, by the picture in force: a save shares
// them, and they go as soon as another picture is handed over (a save of the
// translucent picture before, which once kept them for its copy, included).
TEST (PictureBytes, KeptBytesGoWithTheirPicture)
{
    const auto file = writeBytes ("kept.png", encodePng (files::patternPicture (64, 48, juce::Image::ARGB)));
    const auto other = writeBytes ("kept-other.jpg", encodeJpeg (grain (50, 40, 3)));

    struct Row
    {
        const char* name;
        std::function<void (KestruneAudioProcessor&)> bring;
        bool kept;
    };

    const Row rows[] = {
        { "another picture opened", [&] (KestruneAudioProcessor& p) { p.loadFile (other.getFullPathName(), true); }, false },
        { "a recording", [] (KestruneAudioProcessor& p) { p.handOverRecording (grain (20, 1024, 4)); }, false },
        { "Reset All", [] (KestruneAudioProcessor& p) { p.resetAll(); }, false },
        { "another state restored", [&] (KestruneAudioProcessor& p)
          {
              auto q = makeProcessor();
              q->loadFile (other.getFullPathName(), true);
              const auto blob = saveState (*q);
              p.setStateInformation (blob.getData(), (int) blob.getSize());
          }, false },
        { "Reset Drawing (the same picture)", [] (KestruneAudioProcessor& p) { p.resetDrawing(); }, true },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        auto p = makeProcessor();
        p->loadFile (file.getFullPathName(), true);
        ASSERT_TRUE (adoptPending (*p));

        std::weak_ptr<const juce::MemoryBlock> held;
        {
            const auto bytes = bytesInForce (*p);
            ASSERT_NE (bytes, nullptr);
            held = bytes->get();
        }
        ASSERT_FALSE (held.expired());
        EXPECT_EQ (*held.lock(), bytesOf (file));

        const auto blob = saveState (*p);
        EXPECT_EQ (bytesOf (imagesFolder().getChildFile (pictureCopyName (blob))), bytesOf (file));
        EXPECT_EQ (held.use_count(), 1) << "held by the picture in force alone";

        row.bring (*p);
        ASSERT_TRUE (adoptPending (*p));
        EXPECT_EQ (held.expired(), ! row.kept);
    }
}

// A recording's PNG is made on a thread of its own; a save that comes first
// encodes it itself. Either way the copy holds the same bytes.
TEST (PictureBytes, ARecordingIsSavedAlikeWhetherItsPngWasMadeAheadOrNot)
{
    const auto spectrogram = grain (40, 1024, 5).convertedToFormat (juce::Image::ARGB); // as the Record button draws it
    const auto translucent = writeBytes ("under-recording.png", encodePng (files::patternPicture (70, 50, juce::Image::ARGB)));

    struct Row
    {
        const char* name;
        std::function<void (KestruneAudioProcessor&)> before;
    };

    const Row rows[] = {
        { "over the default picture", [] (KestruneAudioProcessor&) {} },
        { "over a translucent picture", [&] (KestruneAudioProcessor& p) { p.loadFile (translucent.getFullPathName(), true); ASSERT_TRUE (adoptPending (p)); } },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        juce::MemoryBlock copies[2];

        for (const bool ahead : { true, false })
        {
            auto p = makeProcessor();
            row.before (*p);
            p->handOverRecording (spectrogram);
            const auto bytes = bytesInForce (*p);
            ASSERT_NE (bytes, nullptr);

            if (ahead)
            {
                ASSERT_TRUE (waitFor ([&] { return bytes->get() != nullptr; }));
            }
            else
            {
                const juce::ScopedLock sl (p->pictureEditLock);
                p->loadedImageBytes = nullptr; // as a save that comes before the PNG is made
            }

            copies[ahead ? 0 : 1] = bytesOf (imagesFolder().getChildFile (pictureCopyName (saveState (*p))));

            if (ahead)
            {
                EXPECT_EQ (copies[0], *bytes->get());
            }
        }

        EXPECT_GT (copies[0].getSize(), 0u);
        EXPECT_EQ (copies[0], copies[1]);
    }
}
