#include "HostSupport.h"
#include "SamePixels.h"

using namespace kestrune::host;
using kestrune::test::samePixels;

namespace
{
    juce::File scratch (const juce::String& name)
    {
        auto dir = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile ("host-pictures");
        dir.createDirectory();
        return dir.getChildFile (name);
    }

    juce::File imagesFolder()
    {
        return juce::File::getSpecialLocation (juce::File::userDocumentsDirectory).getChildFile ("KestruneImages");
    }

    void writePng (const juce::Image& image, const juce::File& file)
    {
        file.deleteFile();
        juce::FileOutputStream out (file);
        juce::PNGImageFormat().writeImageToStream (image, out);
    }

    juce::MemoryBlock saved (juce::AudioPluginInstance& instance)
    {
        juce::MemoryBlock block;
        instance.getStateInformation (block);
        return block;
    }

    // Points the instance's state at a picture and a pen layer.
    void restoreWithPaths (juce::AudioPluginInstance& instance, const juce::String& path, const juce::String& pathDraw)
    {
        const auto state = saved (instance);
        auto plugin = unpackState (state);
        ASSERT_NE (plugin.xml, nullptr);

        auto* paths = plugin.xml->getChildByName ("ImagePath");
        if (paths == nullptr)
            paths = plugin.xml->createNewChildElement ("ImagePath");
        paths->setAttribute ("path", path);
        paths->setAttribute ("pathDraw", pathDraw);

        const auto edited = repackState (state, plugin);
        instance.setStateInformation (edited.getData(), (int) edited.getSize());
    }

    // Runs blocks (with a little wall time for the worker) until the output
    // equals the input, or gives up.
    bool passesThroughWithin (juce::AudioPluginInstance& instance, int attempts)
    {
        juce::MidiBuffer midi;
        juce::Random random (3);

        for (int a = 0; a < attempts; ++a)
        {
            juce::AudioBuffer<float> block (2, 512);
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < 512; ++i)
                    block.setSample (c, i, random.nextFloat() - 0.5f);
            juce::AudioBuffer<float> original (block);

            instance.processBlock (block, midi);

            bool same = true;
            for (int c = 0; c < 2 && same; ++c)
                for (int i = 0; i < 512 && same; ++i)
                    same = block.getSample (c, i) == original.getSample (c, i);
            if (same)
                return true;

            juce::Thread::sleep (5);
        }
        return false;
    }
}

// A restored picture that does not decode leaves the plug-in without a
// picture: from then on audio passes through untouched, even while stopped.
TEST (HostPictures, AudioPassesUntouchedWithoutAPicture)
{
    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    HostPlayHead head;
    head.playing = false;
    instance->setPlayHead (&head);
    instance->prepareToPlay (48000.0, 512);

    const auto notAPicture = scratch ("not-a-picture.png");
    notAPicture.replaceWithText ("plain text, whatever the name says");
    restoreWithPaths (*instance, notAPicture.getFullPathName(), {});

    EXPECT_TRUE (passesThroughWithin (*instance, 200));

    // And it keeps passing through, block after block.
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE (passesThroughWithin (*instance, 1)) << "block " << i;

    instance->setPlayHead (nullptr);
    instance->releaseResources();
}

// State saved, new instance, state restored: every parameter, both paths and
// both pictures come back, the pictures from the images folder.
TEST (HostPictures, StateRoundTripWithPictures)
{
    juce::Image picture (juce::Image::RGB, 40, 24, true);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x)
            picture.setPixelAt (x, y, juce::Colour ((juce::uint8) (x * 6), (juce::uint8) (y * 10), (juce::uint8) 200));

    juce::Image layer (juce::Image::ARGB, 40, 24, true);
    layer.clear ({ 5, 5, 10, 4 }, juce::Colours::white);

    const auto pictureFile = scratch ("host-photo.png");
    const auto layerFile = scratch ("imageDrawHost.png");
    writePng (picture, pictureFile);
    writePng (layer, layerFile);

    auto first = instantiate();
    ASSERT_NE (first, nullptr);
    first->prepareToPlay (48000.0, 512);
    parameterNamed (*first, "zoom")->setValueNotifyingHost (0.5f);
    parameterNamed (*first, "refline4")->setValueNotifyingHost (1.0f);
    restoreWithPaths (*first, pictureFile.getFullPathName(), layerFile.getFullPathName());

    // Saving writes both pictures into the images folder.
    const auto state = saved (*first);
    const auto copiedPicture = imagesFolder().getChildFile ("host-photo.png");
    const auto copiedLayer = imagesFolder().getChildFile ("imageDrawHost.png");
    ASSERT_TRUE (copiedPicture.existsAsFile());
    ASSERT_TRUE (copiedLayer.existsAsFile());

    // The originals go away: the new instance must find the copies.
    pictureFile.deleteFile();
    layerFile.deleteFile();

    auto second = instantiate();
    ASSERT_NE (second, nullptr);
    second->prepareToPlay (48000.0, 512);
    second->setStateInformation (state.getData(), (int) state.getSize());

    for (int i = 0; i < 42; ++i)
        EXPECT_NEAR (second->getParameters()[i]->getValue(), first->getParameters()[i]->getValue(), 1.0e-6f)
            << first->getParameters()[i]->getName (100);

    // The second instance holds both pictures itself: its own save writes
    // them again after the copies are gone.
    copiedPicture.deleteFile();
    copiedLayer.deleteFile();
    auto restored = unpackState (saved (*second));
    ASSERT_NE (restored.xml, nullptr);
    auto* paths = restored.xml->getChildByName ("ImagePath");
    ASSERT_NE (paths, nullptr);
    EXPECT_EQ (paths->getStringAttribute ("path"), pictureFile.getFullPathName());
    EXPECT_EQ (paths->getStringAttribute ("pathDraw"), layerFile.getFullPathName());

    EXPECT_TRUE (samePixels (juce::ImageFileFormat::loadFrom (copiedPicture), picture));
    EXPECT_TRUE (samePixels (juce::ImageFileFormat::loadFrom (copiedLayer), layer));

    first->releaseResources();
    second->releaseResources();
}

// Two projects whose pictures share a file name, saved one after the other:
// the second copy gets a name of its own, the state names it beside the
// unchanged "path", and each project reopens with its own picture.
TEST (HostPictures, SameNamedPicturesOfTwoProjectsStayApart)
{
    auto pictureOf = [] (int seed)
    {
        juce::Image image (juce::Image::RGB, 36, 20, true);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 36; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) (x * 7 * seed), (juce::uint8) (y * 11), (juce::uint8) (60 * seed)));
        return image;
    };
    auto fileIn = [] (const juce::String& dir, const juce::Image& image)
    {
        auto folder = scratch (dir);
        folder.createDirectory();
        const auto file = folder.getChildFile ("same-name.png");
        writePng (image, file);
        return file;
    };
    auto copiesOf = [] (const juce::MemoryBlock& state)
    {
        auto plugin = unpackState (state);
        auto* paths = plugin.xml != nullptr ? plugin.xml->getChildByName ("ImagePath") : nullptr;
        return paths != nullptr ? paths->getStringAttribute ("savedCopies") : juce::String();
    };

    const juce::Image pictures[] = { pictureOf (1), pictureOf (2) };
    const juce::File files[] = { fileIn ("project-a", pictures[0]), fileIn ("project-b", pictures[1]) };
    juce::MemoryBlock states[2];

    // Both projects open in the host (each found its picture at its own
    // path), then saved one after the other.
    std::unique_ptr<juce::AudioPluginInstance> instances[2];
    for (int i = 0; i < 2; ++i)
    {
        instances[i] = instantiate();
        ASSERT_NE (instances[i], nullptr);
        restoreWithPaths (*instances[i], files[i].getFullPathName(), {});
    }

    for (int i = 0; i < 2; ++i)
    {
        states[i] = saved (*instances[i]);
        auto plugin = unpackState (states[i]);
        ASSERT_NE (plugin.xml, nullptr);
        EXPECT_EQ (plugin.xml->getChildByName ("ImagePath")->getStringAttribute ("path"), files[i].getFullPathName());
    }

    EXPECT_EQ (copiesOf (states[0]), "same-name.png/");
    EXPECT_EQ (copiesOf (states[1]), "same-name_2.png/");
    EXPECT_TRUE (samePixels (juce::ImageFileFormat::loadFrom (imagesFolder().getChildFile ("same-name.png")), pictures[0]));
    EXPECT_TRUE (samePixels (juce::ImageFileFormat::loadFrom (imagesFolder().getChildFile ("same-name_2.png")), pictures[1]));

    files[0].deleteFile();
    files[1].deleteFile();

    // Both projects reopen, each with its own picture: with the copies
    // removed, their next saves write those pictures again from memory.
    std::unique_ptr<juce::AudioPluginInstance> reopened[2];
    for (int i = 0; i < 2; ++i)
    {
        reopened[i] = instantiate();
        ASSERT_NE (reopened[i], nullptr);
        reopened[i]->setStateInformation (states[i].getData(), (int) states[i].getSize());
    }

    imagesFolder().getChildFile ("same-name.png").deleteFile();
    imagesFolder().getChildFile ("same-name_2.png").deleteFile();

    for (int i = 0; i < 2; ++i)
    {
        const auto copy = copiesOf (saved (*reopened[i])).upToFirstOccurrenceOf ("/", false, false);
        ASSERT_TRUE (copy.isNotEmpty());
        EXPECT_TRUE (samePixels (juce::ImageFileFormat::loadFrom (imagesFolder().getChildFile (copy)), pictures[i])) << "project " << i;
    }
}

// A white picture through the bundle: while the transport plays, a tone in
// the lower bins leaves the filter 2048 samples late at about 1.981 times its
// level ("drywet" 1: filtered signal only).
TEST (HostPictures, AWhitePictureLetsAToneThroughLateAndLouder)
{
    const auto white = scratch ("white.png");
    {
        juce::Image image (juce::Image::RGB, 64, 32, false);
        image.clear (image.getBounds(), juce::Colours::white);
        writePng (image, white);
    }

    HostPlayHead head;

    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    instance->setPlayHead (&head);
    instance->prepareToPlay (48000.0, 512);
    restoreWithPaths (*instance, white.getFullPathName(), {});

    // Bin 64 of the 2048-point transform: 1500 Hz at 48 kHz, well below the top bins.
    const auto tone = [] (int n) { return 0.25f * std::sin (2.0f * juce::MathConstants<float>::pi * 64.0f * (float) n / 2048.0f); };

    juce::MidiBuffer midi;
    juce::AudioBuffer<float> block (2, 512);
    std::vector<float> out;
    const int blocks = 300;

    for (int b = 0; b < blocks; ++b)
    {
        for (int i = 0; i < 512; ++i)
            for (int c = 0; c < 2; ++c)
                block.setSample (c, i, tone (b * 512 + i));

        instance->processBlock (block, midi);
        head.ppq += 512 * 2.0 / 48000.0;

        for (int i = 0; i < 512; ++i)
            out.push_back (block.getSample (0, i));

        if (b < 20)
            juce::Thread::sleep (5); // time for the worker to prepare and render the picture
    }

    // Over the last second the output follows the input 2048 samples late.
    double err = 0.0, ref = 0.0;
    for (int n = (int) out.size() - 48000; n < (int) out.size(); ++n)
    {
        const auto expected = 1.981f * tone (n - 2048);
        err += std::pow (out[(size_t) n] - expected, 2.0);
        ref += std::pow (expected, 2.0);
    }

    EXPECT_LT (std::sqrt (err / ref), 0.02) << "relative error of the delayed, scaled tone";

    instance->setPlayHead (nullptr);
    instance->releaseResources();
}
