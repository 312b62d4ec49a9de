#include "HostWindow.h"
#include "XDisplay.h"

#include <cmath>

using namespace kestrune::host;

// Record to picture through the bundle, as a user does it in a DAW: the
// plug-in window open while the transport plays a tone, a click on Record,
// the capture of two bars, the picture it becomes saved with the project
// and found again by a new instance restored from that project.
namespace
{
    const char* const noDisplay = "no X display: run the tests through ./scripts/test.sh, which starts a virtual one";

    constexpr double sampleRate = 48000.0;

    // The steady tone the audio runner plays: 0.05 radians a sample.
    constexpr double runnerToneHz = 0.05 * sampleRate / (2.0 * juce::MathConstants<double>::pi);

    bool near (juce::Colour a, juce::Colour b, int tolerance = 24)
    {
        return std::abs (a.getRed() - b.getRed()) <= tolerance && std::abs (a.getGreen() - b.getGreen()) <= tolerance
            && std::abs (a.getBlue() - b.getBlue()) <= tolerance;
    }

    // Pumps the host's messages until `done` holds, at most `milliseconds`.
    template <typename Condition>
    bool pumpUntil (Condition&& done, int milliseconds)
    {
        for (int waited = 0; waited < milliseconds; waited += 100)
        {
            if (done())
                return true;
            pumpFor (100);
        }
        return done();
    }

    // The level of the plug-in's output for a steady sine of `hz` after the
    // plug-in has had about a second of it (the latency and the picture's
    // adoption behind it), the transport playing.
    float outputLevelFor (juce::AudioPluginInstance& instance, double hz)
    {
        HostPlayHead head;
        instance.setPlayHead (&head);
        juce::AudioBuffer<float> block (2, 512);
        juce::MidiBuffer midi;
        double phase = 0.0, sum = 0.0;
        long count = 0;

        for (int b = 0; b < 120; ++b)
        {
            for (int n = 0; n < 512; ++n)
            {
                for (int c = 0; c < 2; ++c)
                    block.setSample (c, n, 0.25f * (float) std::sin (phase));
                phase = std::fmod (phase + 2.0 * juce::MathConstants<double>::pi * hz / sampleRate,
                                   2.0 * juce::MathConstants<double>::pi);
            }

            instance.processBlock (block, midi);
            head.ppq += 512 * 2.0 / sampleRate;

            if (b >= 90)
                for (int n = 0; n < 512; ++n)
                    sum += (double) block.getSample (0, n) * block.getSample (0, n), ++count;

            juce::Thread::sleep (5); // the plug-in's worker prepares and colours the picture meanwhile
        }

        instance.setPlayHead (nullptr);
        return (float) std::sqrt (sum / (double) count);
    }
}

TEST (HostRecord, RecordedBarsBecomeThePictureAndComeBackWithTheProject)
{
    ASSERT_TRUE (kestrune::test::x11::displayAvailable()) << noDisplay;

    auto instance = instantiate (sampleRate);
    ASSERT_NE (instance, nullptr);
    instance->prepareToPlay (sampleRate, 512);

    auto* bars = parameterNamed (*instance, "barduratiom");
    ASSERT_NE (bars, nullptr);
    bars->setValueNotifyingHost (1.0f / 19.0f); // 2 bars (1 to 20)
    ASSERT_EQ (bars->getCurrentValueAsText(), "2");

    ASSERT_FALSE (savedPicturePath (*instance).contains ("imageSpect"));

    juce::MemoryBlock project;
    juce::String recording;
    {
        AudioRunner audio (*instance);
        HostedEditor window (*instance);
        ASSERT_NE (window.get(), nullptr);
        ASSERT_EQ (window.size(), juce::Rectangle<int> (950, 534));

        const juce::Point<int> record { recordButtonX, recordButtonY };
        const juce::Point<int> recordBody { recordButtonX, recordButtonY + 12 }; // below the text
        const auto idle = window.shownWhenPainted().getPixelAt (recordBody.x, recordBody.y); // once drawn

        // The click arms record mode: the button lights up in the main colour
        // (a little less saturated than the colour itself, as a button without
        // the keyboard focus is drawn: no control takes it), turns red while
        // the two bars are captured, then goes back.
        ASSERT_TRUE (window.click (record)) << "the X server fakes no input (XTEST)";
        EXPECT_TRUE (pumpUntil ([&] { return near (window.pixelAt (recordBody), juce::Colour (0xff20b2aa), 40); }, 10000))
            << "armed: " << window.pixelAt (recordBody).toString().toStdString();
        EXPECT_TRUE (pumpUntil ([&] { return near (window.pixelAt (recordBody), juce::Colours::red, 32); }, 10000))
            << "capturing: " << window.pixelAt (recordBody).toString().toStdString();

        ASSERT_TRUE (pumpUntil ([&] { return savedPicturePath (*instance).contains ("imageSpect"); }, 12000))
            << "no recording became the picture";
        EXPECT_TRUE (pumpUntil ([&] { return near (window.pixelAt (recordBody), idle, 8); }, 10000));

        // The host saves the project: the recording's picture file is written.
        instance->getStateInformation (project);
        recording = unpackState (project).xml->getChildByName ("ImagePath")->getStringAttribute ("path");
        window.close();
    }
    instance->releaseResources();

    const juce::File file (recording);
    ASSERT_TRUE (file.existsAsFile()) << recording;
    EXPECT_EQ (file.getParentDirectory().getFileName(), "KestruneImages");

    // The default picture's size; the tone a bright band at its height, black
    // far above and below it.
    const auto picture = juce::ImageFileFormat::loadFrom (file);
    ASSERT_TRUE (picture.isValid());
    ASSERT_EQ (picture.getBounds(), juce::Rectangle<int> (480, 330));

    const auto toneBin = runnerToneHz / (sampleRate / 2048.0); // 16.3
    // The filter curve's height for that bin, as a part of the picture from the top.
    const auto bandY = (int) (std::pow (1.0 - toneBin / 1024.0, 5.0) * 330.0); // 304
    const auto brightestNear = [&picture] (int x, int row)
    {
        int best = 0;
        for (int y = std::max (0, row - 4); y <= std::min (329, row + 4); ++y)
            best = std::max (best, (int) picture.getPixelAt (x, y).getRed());
        return best;
    };

    for (const auto x : { 30, 240, 450 })
    {
        EXPECT_GT (brightestNear (x, bandY), 150) << x;
        EXPECT_LT (picture.getPixelAt (x, 20).getRed(), 20) << x;
        EXPECT_LT (picture.getPixelAt (x, 200).getRed(), 20) << x;
    }

    // A new instance restored from the project holds the recording, and it
    // is the picture the sound goes through: the recorded tone passes, a
    // tone where the recording is black does not.
    auto reopened = instantiate (sampleRate);
    ASSERT_NE (reopened, nullptr);
    reopened->setStateInformation (project.getData(), (int) project.getSize());
    reopened->prepareToPlay (sampleRate, 512);

    EXPECT_EQ (savedPicturePath (*reopened), recording);

    const auto recorded = outputLevelFor (*reopened, runnerToneHz);
    const auto elsewhere = outputLevelFor (*reopened, 3000.0);
    EXPECT_GT (recorded, 0.02f);
    EXPECT_GT (recorded, 10.0f * elsewhere) << recorded << " against " << elsewhere;
    reopened->releaseResources();
}
