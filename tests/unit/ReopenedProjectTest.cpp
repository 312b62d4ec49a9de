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
