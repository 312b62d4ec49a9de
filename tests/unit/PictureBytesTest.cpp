#include "PictureMutation.h"
#include "PictureTestSupport.h"
#include "PictureBytes.h"
#include "PictureCopies.h"
#include "PictureFiles.h"

#include <functional>
#include <memory>

using namespace kestrune::test;

// What a picture's copy in the images folder is made of: the bytes of the
// file it was opened from, kept with the picture while it is in force, or a
// recording's PNG made ahead of the save.
namespace
{
    juce::Image grain (int w, int h, int seed, juce::Image::PixelFormat format = juce::Image::RGB)
    {
        juce::Image image (format, w, h, false);
        juce::Random rng (seed);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) (x + rng.nextInt (9)), (juce::uint8) (y + rng.nextInt (9)),
                                                      (juce::uint8) rng.nextInt (256)));
        return image;
    }

    std::shared_ptr<PictureBytes> bytesInForce (KestruneAudioProcessor& p)
    {
        const juce::ScopedLock sl (p.pictureEditLock);
        return p.loadedImageBytes;
    }
}

// A picture with bytes of its own is copied as exactly those, under its
// path's name; a name holding them already is taken as it is, and a file
// holding anything else is never written.
TEST (PictureBytes, APictureIsCopiedAsTheBytesItCameWith)
{
    const auto jpeg = encodeJpeg (grain (90, 60, 1));
    const auto decoded = kestrune::pictures::decodePicture (jpeg.getData(), jpeg.getSize());
    const auto given = std::make_shared<const juce::MemoryBlock> (jpeg);

    const struct { const char* name; juce::MemoryBlock there; const char* expected; } rows[] = {
        { "a free name", {}, "photo.jpg" },
        { "the same bytes there", jpeg, "photo.jpg" },
        { "the same picture as a PNG there (an earlier copy)", encodePng (decoded), "photo.jpg" },
        { "another picture there", encodeJpeg (grain (90, 60, 2)), "photo_2.jpg" },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        const auto folder = freshFolder ("kept-bytes");
        const auto named = folder.getChildFile ("photo.jpg");
        if (row.there.getSize() > 0)
            named.replaceWithData (row.there.getData(), row.there.getSize());

        PictureCopies copies;
        for (int save = 0; save < 2; ++save) // the second takes the same copy
            EXPECT_EQ (copies.save (PictureCopies::Kind::picture, decoded, "/camera/photo.jpg", folder, given), row.expected);

        EXPECT_EQ (contentOf (named), row.there.getSize() > 0 ? row.there : jpeg) << "a file that was there is never written";
        EXPECT_EQ (contentOf (folder.getChildFile (row.expected)), row.there.getSize() > 0 && named.getFileName() == row.expected ? row.there : jpeg);
        EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFiles), named.getFileName() == row.expected ? 1 : 2);
    }
}

// The file's bytes are held once, by the picture in force (a save shares
// them), and go as soon as another picture is handed over, whether or not a
// save follows.
TEST (PictureBytes, KeptBytesGoWithTheirPicture)
{
    const auto file = writeBytes ("kept.png", encodePng (files::patternPicture (64, 48, juce::Image::ARGB)));
    const auto other = writeBytes ("kept-other.jpg", encodeJpeg (grain (50, 40, 3)));

    const struct { const char* name; std::function<void (KestruneAudioProcessor&)> bring; bool kept; } rows[] = {
        { "another picture opened", [&] (KestruneAudioProcessor& p) { p.loadFile (other.getFullPathName(), true); }, false },
        { "a recording", [] (KestruneAudioProcessor& p) { p.handOverRecording (grain (20, 1024, 4, juce::Image::ARGB)); }, false },
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
        ASSERT_NE (bytesInForce (*p), nullptr);
        const std::weak_ptr<const juce::MemoryBlock> held = bytesInForce (*p)->get();

        EXPECT_EQ (contentOf (savedPictureCopy (saveState (*p))), contentOf (file));
        EXPECT_EQ (held.use_count(), 1) << "held by the picture in force alone";

        row.bring (*p);
        ASSERT_TRUE (adoptPending (*p));
        EXPECT_EQ (held.expired(), ! row.kept);
    }
}

// A recording's PNG is made on a thread of its own; a save that comes first
// encodes the picture itself. Either way the copy holds the same bytes.
TEST (PictureBytes, ARecordingIsSavedAlikeWhetherItsPngWasMadeAheadOrNot)
{
    const auto spectrogram = grain (40, 1024, 5, juce::Image::ARGB); // as the Record button draws it
    const auto translucent = writeBytes ("under-recording.png", encodePng (files::patternPicture (70, 50, juce::Image::ARGB)));

    for (const bool overTranslucent : { false, true })
    {
        SCOPED_TRACE (overTranslucent ? "over a translucent picture" : "over the default picture");
        juce::MemoryBlock copies[2];

        for (const bool ahead : { true, false })
        {
            auto p = makeProcessor();
            if (overTranslucent)
            {
                p->loadFile (translucent.getFullPathName(), true);
                ASSERT_TRUE (adoptPending (*p));
            }

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

            copies[ahead ? 0 : 1] = contentOf (savedPictureCopy (saveState (*p)));
            EXPECT_TRUE (! ahead || copies[0] == *bytes->get());
        }

        EXPECT_GT (copies[0].getSize(), 0u);
        EXPECT_EQ (copies[0], copies[1]);
    }
}
