#include "CanvasTestSupport.h"
#include "PictureMutation.h"
#include "PictureTestSupport.h"

#include <functional>

using namespace kestrune::test;

// A project saved and opened again in a new instance filters through exactly
// the picture it filtered through when it was saved, whatever brought that
// picture in. High contrast and the black-and-white threshold turn the
// smallest grey difference into a flipped pixel.
namespace
{
    juce::Image noise (juce::Image::PixelFormat format, int w, int h, int seed, bool translucent = false)
    {
        juce::Image image (format, w, h, true);
        juce::Random rng (seed);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) rng.nextInt (256), (juce::uint8) rng.nextInt (256),
                                                      (juce::uint8) rng.nextInt (256),
                                                      (juce::uint8) (translucent ? rng.nextInt (256) : 255)));
        return image;
    }

    // A recording as the Record button draws it: opaque grey levels.
    juce::Image greyNoise (int w, int h, int seed)
    {
        juce::Image image (juce::Image::ARGB, w, h, true);
        juce::Random rng (seed);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour::greyLevel (rng.nextFloat()));
        return image;
    }

    juce::String pictureFile (const juce::String& name, const juce::MemoryBlock& bytes)
    {
        return writeBytes (name, bytes).getFullPathName();
    }

    void strokes (KestruneAudioProcessor& p, int count, int seed)
    {
        juce::Random rng (seed);
        for (int i = 0; i < count; ++i)
        {
            setPlain (p, "penColour", rng.nextFloat());
            setPlain (p, "penTickness", 1.0f + rng.nextFloat() * 20.0f);
            std::vector<juce::Point<float>> points;
            for (int k = 0; k < 12; ++k)
                points.push_back ({ rng.nextFloat(), rng.nextFloat() });
            p.drawShape (points);
        }
    }

    // The output picture and the filter's grey levels once the worker is done.
    struct Filtered
    {
        juce::Image output;
        std::vector<float> grey;
    };

    Filtered filtered (KestruneAudioProcessor& p)
    {
        EXPECT_TRUE (canvas::settle (p, 20000));
        return { copyUnderLock (p.outputImage), p.outputFrames.acquire().grey };
    }

    struct Bringer
    {
        const char* name;
        std::function<void (KestruneAudioProcessor&)> bring;
        juce::String opened = {}; // a file whose picture is in force at the save: its copy holds its bytes
    };

    void prime (KestruneAudioProcessor& p)
    {
        setPlain (p, "contrast", 3.4f);
        setPlain (p, "bwset", 1.0f);
    }

    void openAdopted (KestruneAudioProcessor& p, const juce::File& file, bool keep = true)
    {
        p.loadFile (file.getFullPathName(), keep);
        ASSERT_TRUE (adoptPending (p));
    }

    std::vector<float> allValues (KestruneAudioProcessor& p)
    {
        std::vector<float> values;
        for (auto* parameter : p.getParameters())
            values.push_back (parameter->getValue());
        return values;
    }

    struct Snapshot
    {
        Filtered filtered;
        std::vector<float> values;
    };

    Snapshot snapshot (KestruneAudioProcessor& p)
    {
        return { filtered (p), allValues (p) };
    }

    void expectReopensAs (const juce::MemoryBlock& blob, const Snapshot& expected)
    {
        auto reopened = makeProcessor();
        reopened->setStateInformation (blob.getData(), (int) blob.getSize());
        ASSERT_TRUE (adoptPending (*reopened));
        const auto after = snapshot (*reopened);
        EXPECT_TRUE (sameImage (after.filtered.output, expected.filtered.output));
        EXPECT_TRUE (after.filtered.grey == expected.filtered.grey);
        EXPECT_TRUE (after.values == expected.values);
    }

    juce::File noiseFile (const juce::File& file, int seed, int w = 160, int h = 120)
    {
        // Written in place: a name near the file system's limit leaves no
        // room for the temporary name a replacement goes through.
        const auto bytes = encodePng (noise (juce::Image::RGB, w, h, seed));
        file.deleteFile();
        juce::FileOutputStream out (file);
        out.write (bytes.getData(), bytes.getSize());
        return file;
    }

    // Moves a file or folder aside for the length of a scope (another
    // machine, a moved folder).
    struct Away
    {
        explicit Away (const juce::File& f) : file (f), aside (f.getSiblingFile (f.getFileName() + "-away"))
        {
            aside.deleteRecursively();
            EXPECT_TRUE (file.moveFileTo (aside));
        }

        ~Away()
        {
            file.deleteRecursively();
            aside.moveFileTo (file);
        }

        juce::File file, aside;
    };
}

TEST (ReopenedProject, FiltersThroughExactlyThePictureItWasSavedWith)
{
    const auto photo = pictureFile ("reopen-photo.png", encodePng (noise (juce::Image::RGB, 240, 160, 1)));
    const auto jpeg = pictureFile ("reopen-photo.jpg", encodeJpeg (noise (juce::Image::RGB, 200, 150, 2)));
    const auto tall = pictureFile ("reopen-tall.png", encodePng (noise (juce::Image::RGB, 300, 700, 3)));
    const auto translucent = pictureFile ("reopen-translucent.png", encodePng (noise (juce::Image::ARGB, 120, 90, 4, true)));
    const auto recording = greyNoise (173, 1024, 5);
    const auto tallJpeg = pictureFile ("reopen-tall.jpg", encodeJpeg (noise (juce::Image::RGB, 300, 700, 12)));
    const auto gifBytes = files::gifOf (150, 100, [] (int x, int y) { return (x * 7 + y * 13 + (x * y) % 11) & 0xff; }, false, 9);
    const auto gif = pictureFile ("reopen-photo.gif", juce::MemoryBlock (gifBytes.data(), gifBytes.size()));

    auto open = [] (const juce::String& file, bool keep)
    {
        return [file, keep] (KestruneAudioProcessor& p) { p.loadFile (file, keep); ASSERT_TRUE (adoptPending (p)); };
    };

    const Bringer rows[] = {
        { "open", open (photo, true) },
        { "drop", open (jpeg, false), jpeg },
        { "open a JPEG taller than 512 rows", open (tallJpeg, true), tallJpeg },
        { "open a GIF with a transparent colour", open (gif, true), gif },
        { "open with translucent pixels", open (translucent, true) },
        { "record", [&] (KestruneAudioProcessor& p) { p.handOverRecording (recording); } },
        { "record over a tall picture", [&] (KestruneAudioProcessor& p) { open (tall, true) (p); p.handOverRecording (recording); } },
        { "strokes", [&] (KestruneAudioProcessor& p) { open (photo, true) (p); strokes (p, 6, 7); } },
        { "reset drawing", [&] (KestruneAudioProcessor& p) { open (photo, true) (p); strokes (p, 2, 10); p.resetDrawing(); ASSERT_TRUE (adoptPending (p)); } },
        { "reset all", [&] (KestruneAudioProcessor& p) { open (photo, true) (p); strokes (p, 2, 11); p.resetAll(); ASSERT_TRUE (adoptPending (p)); } },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        auto saved = makeProcessor();
        row.bring (*saved);
        setPlain (*saved, "contrast", 3.4f);
        setPlain (*saved, "bwset", 1.0f);
        const auto before = filtered (*saved);
        const auto blob = saveState (*saved);

        if (row.opened.isNotEmpty())
        {
            EXPECT_TRUE (contentOf (savedPictureCopy (blob)) == contentOf (juce::File (row.opened))) << "the copy is the opened file itself";
        }

        auto reopened = makeProcessor();
        reopened->setStateInformation (blob.getData(), (int) blob.getSize());
        ASSERT_TRUE (adoptPending (*reopened));
        const auto after = filtered (*reopened);

        EXPECT_TRUE (sameImage (after.output, before.output));
        EXPECT_TRUE (after.grey == before.grey);
    }
}

// Saved, opened elsewhere and saved again, opened after its Documents folder
// moved, or saved where no copy could be written: the project reopens with
// exactly the picture, drawing and values it had when it was saved.
TEST (ReopenedProject, ReopensAsSavedWhereverItWasOpenedAndSavedSince)
{
    const auto home = freshFolder ("reopen-elsewhere");
    const auto photo = noiseFile (home.getChildFile ("photo.png"), 21);
    const auto other = noiseFile (home.getChildFile ("other.png"), 22);

    // Saved at home, where the images folder holds another "photo.png";
    // opened where neither the picture nor the images folder is, by an
    // instance that may have a picture and a drawing of its own; saved there.
    auto resavedElsewhere = [&] (bool awayInstanceDraws)
    {
        noiseFile (imagesFolder().getChildFile ("photo.png"), 23);
        auto saved = makeProcessor();
        openAdopted (*saved, photo);
        strokes (*saved, 4, 24);
        prime (*saved);
        const auto expected = snapshot (*saved);
        const auto atHome = saveState (*saved);

        juce::MemoryBlock resaved;
        {
            const Away pictures (home), copies (imagesFolder());
            auto elsewhere = makeProcessor();
            if (awayInstanceDraws)
            {
                openAdopted (*elsewhere, noiseFile (pictureScratchFolder().getChildFile ("away.png"), 25));
                strokes (*elsewhere, 3, 26);
            }
            elsewhere->setStateInformation (atHome.getData(), (int) atHome.getSize());
            resaved = saveState (*elsewhere);
        }

        expectReopensAs (resaved, expected);
    };

    const Bringer rows[] = {
        { "resaved where its picture is missing", [&] (KestruneAudioProcessor&) { resavedElsewhere (false); } },
        { "resaved by an instance with a drawing of its own", [&] (KestruneAudioProcessor&) { resavedElsewhere (true); } },
        { "no copy could be written: the stored path, not the folder's file of that name", [&] (KestruneAudioProcessor& saved)
          {
              const auto name = juce::String::repeatedString ("n", 250) + ".png";
              const auto longName = noiseFile (home.getChildFile (name), 31);
              noiseFile (imagesFolder().getChildFile (name), 32);
              openAdopted (saved, longName);
              prime (saved);
              const auto expected = snapshot (saved);
              expectReopensAs (saveState (saved), expected);
              EXPECT_EQ (saved.saveAlertsRequested.load(), 1);
          } },
        { "saved while a dropped picture waits for adoption", [&] (KestruneAudioProcessor& saved)
          {
              openAdopted (saved, photo);
              strokes (saved, 2, 41);
              prime (saved);
              setPlain (saved, "zoom", 1.7f);
              saved.loadFile (other.getFullPathName(), false);
              const auto beforeAdoption = saveState (saved);
              ASSERT_TRUE (adoptPending (saved));
              const auto expected = snapshot (saved);
              strokes (saved, 3, 42);
              saveState (saved);
              expectReopensAs (beforeAdoption, expected);
          } },
        { "reset drawing in a restored project", [&] (KestruneAudioProcessor& saved)
          {
              openAdopted (saved, photo);
              strokes (saved, 4, 51);
              prime (saved);
              const auto first = saveState (saved);
              auto restored = makeProcessor();
              restored->setStateInformation (first.getData(), (int) first.getSize());
              ASSERT_TRUE (adoptPending (*restored));
              strokes (*restored, 2, 52);
              restored->resetDrawing();
              ASSERT_TRUE (adoptPending (*restored));
              const auto expected = snapshot (*restored);
              expectReopensAs (saveState (*restored), expected);
          } },
        { "reset all with the default picture's file replaced by hand", [&] (KestruneAudioProcessor& saved)
          {
              noiseFile (imagesFolder().getChildFile ("imageDegault.png"), 61, 480, 330);
              saved.resetAll();
              ASSERT_TRUE (adoptPending (saved));
              prime (saved);
              const auto expected = snapshot (saved);
              expectReopensAs (saveState (saved), expected);
          } },
        { "the Documents folder moved since", [&] (KestruneAudioProcessor& saved)
          {
              openAdopted (saved, photo);
              strokes (saved, 2, 71);
              saveState (saved);
              strokes (saved, 2, 72);
              prime (saved);
              const auto expected = snapshot (saved);
              const auto blob = saveState (saved);

              const auto userDirs = juce::File ("~/.config/user-dirs.dirs");
              userDirs.getParentDirectory().createDirectory();
              juce::File ("~/MovedDocuments").createDirectory();
              userDirs.replaceWithText ("XDG_DOCUMENTS_DIR=\"$HOME/MovedDocuments\"\n");
              expectReopensAs (blob, expected);
              userDirs.deleteFile();
              juce::File ("~/MovedDocuments").deleteRecursively();
          } },
        { "the images folder is a link to a drive that is not mounted", [&] (KestruneAudioProcessor& saved)
          {
              openAdopted (saved, photo);
              strokes (saved, 2, 81);
              {
                  const Away copies (imagesFolder());
                  ASSERT_TRUE (juce::File ("/nonexistent-drive/KestruneImages").createSymbolicLink (imagesFolder(), true));
                  saveState (saved);
                  saveState (saved);
                  EXPECT_EQ (saved.saveAlertsRequested.load(), 1) << "once until a save succeeds";
              }
              saveState (saved);
              const Away copies (imagesFolder());
              ASSERT_TRUE (juce::File ("/nonexistent-drive/KestruneImages").createSymbolicLink (imagesFolder(), true));
              saveState (saved);
              EXPECT_EQ (saved.saveAlertsRequested.load(), 2);
          } },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        auto saved = makeProcessor();
        row.bring (*saved);
    }

    imagesFolder().getChildFile ("imageDegault.png").deleteFile();
}
