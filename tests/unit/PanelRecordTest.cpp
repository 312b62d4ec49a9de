#include "PanelTestSupport.h"
#include "AudioTestSupport.h"
#include "PictureTestSupport.h"
#include "RecordedSpectrogram.h"
#include "PictureFiles.h"

#include <cmath>
#include <limits>

using namespace kestrune::test;
using namespace kestrune::test::panels;
using namespace kestrune::test::audio;

// The image panel's Record button against the processor's real capture.
namespace
{
    struct RecordButton : ::testing::Test
    {
        Rig rig;
        std::unique_ptr<ImageManupulationPanel> panel;

        void SetUp() override
        {
            rig.publishUniform (1.0f);
            rig.set ("barduratiom", 1.0f);
            rig.head.ppq = 3.5; // half a beat before a bar line
        }

        void openPanel()
        {
            panel = std::make_unique<ImageManupulationPanel> (rig.p());
            panel->setSize (139, 528);
        }

        juce::TextButton& record() { return panel->recordButton; }
        juce::Colour onColour() { return record().findColour (juce::TextButton::buttonOnColourId); }

        // Runs blocks until `done` holds (at most about 20 s of audio).
        template <typename Condition>
        bool runUntil (Condition&& done)
        {
            for (int b = 0; b < 2000; ++b)
            {
                if (done())
                    return true;
                rig.run (noise (2, 512, b), { 512 });
            }
            return done();
        }

        bool capturing() { return rig.p().recordCapturing.load(); }

        void expectIdle()
        {
            EXPECT_FALSE (record().getToggleState());
            EXPECT_EQ (record().getButtonText(), "Record");
            EXPECT_EQ (onColour(), mainColour);
            EXPECT_FALSE (panel->isTimerRunning());
        }

        // A whole capture with nobody listening; returns how many frames it left.
        size_t framesOfOneCapture()
        {
            rig.p().armRecord();
            runUntil ([this] { return ! rig.p().recordArmed.load(); });
            pumpMessages (60);
            return rig.p().takeRecordedFrames().size();
        }

        //======================================================================
        // The picture side. The rig holds the pipeline lock all along (the
        // worker waits), so the images can be read as they are.
        KestruneAudioProcessor& p() { return rig.p(); }

        juce::String picturePath() { return p().imageFilePath; }
        juce::String pathProperty() { return p().getStateChild ("ImagePath").getProperty ("path").toString(); }

        // The grey of the current picture at (x, y), or -1 when not an opaque grey.
        int greyAt (int x, int y)
        {
            const auto c = p().loadedImage.getPixelAt (x, y);
            return (c.getAlpha() == 255 && c.getRed() == c.getGreen() && c.getRed() == c.getBlue()) ? c.getRed() : -1;
        }

        // Frames appended as a capture appends them (this thread stands in for
        // the audio thread), after one played block so that the processor
        // knows the transport plays.
        void capture (const std::vector<RecordedFrameStore::Frame>& frames, bool playing = true)
        {
            rig.head.playing = playing;
            rig.run (noise (2, 512), { 512 });
            ASSERT_EQ (p().isPlaying.load(), playing);

            RecordedFrameStore::Writer writer (p().recordedFrames);
            for (const auto& frame : frames)
            {
                auto* slot = writer.append();
                ASSERT_NE (slot, nullptr);
                *slot = frame;
            }
        }

        // Record on, `frames` captured, Record off.
        void convert (const std::vector<RecordedFrameStore::Frame>& frames, bool playing = true)
        {
            ASSERT_FALSE (record().getToggleState());
            click (record());
            ASSERT_TRUE (p().recordArmed.load());
            capture (frames, playing);
            click (record());
            expectIdle();
        }

        // Lets the worker run (it waits on the rig's lock otherwise) until a
        // pending picture has been adopted, this thread standing in for the
        // audio thread.
        bool adoptWithTheWorker()
        {
            criticalSection.exit();
            const auto adopted = adoptPending (p());
            criticalSection.enter();
            return adopted;
        }

        static RecordedFrameStore::Frame uniformFrame (float magnitude)
        {
            RecordedFrameStore::Frame frame;
            frame.fill (magnitude);
            return frame;
        }
    };
}

TEST_F (RecordButton, ArmsCountsDownInRedAndTakesTheCaptureWhenItEnds)
{
    rig.set ("barduratiom", 2.0f);
    openPanel();
    expectIdle();

    click (record());
    EXPECT_TRUE (record().getToggleState());
    EXPECT_TRUE (rig.p().recordArmed.load());
    EXPECT_EQ (record().getButtonText(), "Record");
    EXPECT_EQ (onColour(), mainColour);
    EXPECT_FALSE (panel->isTimerRunning());

    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    pumpMessages (60);
    EXPECT_EQ (onColour(), juce::Colours::red);
    EXPECT_TRUE (panel->isTimerRunning());
    pumpMessages (150);
    EXPECT_EQ (record().getButtonText(), "2") << "two bars to go, this one included";

    ASSERT_TRUE (runUntil ([this] { return rig.p().scanPhase.load() > 4.5f; }));
    pumpMessages (150);
    EXPECT_EQ (record().getButtonText(), "1");

    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    pumpMessages (60);
    expectIdle();
    EXPECT_FALSE (rig.p().recordArmed.load());
    EXPECT_TRUE (rig.p().takeRecordedFrames().empty()) << "the handler took the capture over";
}

TEST_F (RecordButton, StartAndEndInOneCallbackStillTakeTheCapture)
{
    openPanel();
    click (record());

    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    pumpMessages (60); // both messages arrive as one callback

    expectIdle();
    EXPECT_TRUE (rig.p().takeRecordedFrames().empty());
}

TEST_F (RecordButton, SwitchedOffDuringACaptureStopsIt)
{
    openPanel();
    click (record());
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    rig.run (noise (2, 512 * 20), { 512 });
    ASSERT_TRUE (pumpMessagesUntil ([this] { return panel->isTimerRunning(); }));

    click (record());
    expectIdle();
    EXPECT_FALSE (rig.p().recordArmed.load());
    EXPECT_FALSE (capturing());
    EXPECT_TRUE (rig.p().takeRecordedFrames().empty());

    // Nothing more is captured and no late message lights the button.
    rig.run (noise (2, 512 * 200), { 512 });
    pumpMessages (60);
    expectIdle();
    EXPECT_TRUE (rig.p().takeRecordedFrames().empty());
}

TEST_F (RecordButton, DisarmedBeforeTheBarLineOnlyClearsTheRecordState)
{
    rig.head.ppq = 0.5;
    openPanel();
    const auto picture = p().loadedImage;
    const auto path = picturePath();
    const auto generation = p().pendingGeneration.load();

    click (record());
    rig.run (noise (2, 512 * 4), { 512 });
    ASSERT_FALSE (capturing());

    click (record());
    expectIdle();
    EXPECT_FALSE (rig.p().recordArmed.load());
    ASSERT_TRUE (runUntil ([this] { return *rig.head.ppq > 4.5; }));
    EXPECT_FALSE (capturing());

    // The picture and its path stay; nothing was handed over.
    EXPECT_EQ (p().loadedImage, picture);
    EXPECT_EQ (picturePath(), path);
    EXPECT_EQ (p().pendingGeneration.load(), generation);
    EXPECT_FALSE (p().needColourUpdate.load());
}

TEST_F (RecordButton, CountdownShowsTheBarsStillToRecord)
{
    rig.set ("barduratiom", 4.0f);
    openPanel();

    const struct { float phase; const char* text; } cases[] {
        { 0.5f, "4" }, { 3.9f, "4" }, { 4.0f, "4" }, { 4.1f, "3" }, { 8.5f, "2" }, { 15.9f, "1" },
    };

    for (auto& c : cases)
    {
        rig.p().scanPhase = c.phase;
        panel->timerCallback();
        EXPECT_EQ (record().getButtonText(), c.text) << c.phase;
    }
}

TEST_F (RecordButton, PanelOpenedWhileArmedShowsIt)
{
    rig.p().armRecord();
    openPanel();

    EXPECT_TRUE (record().getToggleState());
    EXPECT_EQ (record().getButtonText(), "Record");
    EXPECT_EQ (onColour(), mainColour);
    EXPECT_FALSE (panel->isTimerRunning());

    // Switching it off disarms, as for a window that armed it itself.
    click (record());
    EXPECT_FALSE (rig.p().recordArmed.load());
}

TEST_F (RecordButton, PanelOpenedDuringACaptureTakesItOverAndTheNextCaptureStartsClean)
{
    const auto oneCapture = framesOfOneCapture();
    ASSERT_GE (oneCapture, 40u);

    rig.p().armRecord();
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    pumpMessages (60); // the start message, with no window to hear it
    rig.run (noise (2, 512 * 30), { 512 });

    openPanel();
    EXPECT_TRUE (record().getToggleState());
    EXPECT_EQ (onColour(), juce::Colours::red);
    EXPECT_TRUE (panel->isTimerRunning());
    EXPECT_EQ (record().getButtonText(), "1");

    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    pumpMessages (60);
    expectIdle();
    EXPECT_TRUE (rig.p().takeRecordedFrames().empty()) << "the window took the capture over when it ended";

    // The next capture holds its own frames only.
    click (record());
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    const auto frames = rig.p().takeRecordedFrames().size();
    EXPECT_LE (frames, oneCapture + 1);
    EXPECT_GE (frames + 1, oneCapture);
}

TEST_F (RecordButton, CaptureThatEndedWithNoWindowDoesNotRunIntoTheNext)
{
    // A loud capture ends while no window is open: nobody converts it.
    rig.set ("barduratiom", 1.0f);
    rig.p().armRecord();
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    pumpMessages (60);

    // The next capture, of silence, armed from a new window: its picture
    // holds its own frames only, none of the earlier capture's.
    openPanel();
    expectIdle();
    click (record());
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    juce::AudioBuffer<float> silence (2, 512);
    for (int b = 0; b < 2000 && capturing(); ++b)
    {
        silence.clear();
        rig.run (silence, { 512 });
    }
    ASSERT_FALSE (capturing());
    pumpMessages (60);
    expectIdle();

    EXPECT_TRUE (rig.p().takeRecordedFrames().empty());
    EXPECT_TRUE (picturePath().contains ("imageSpect"));
    EXPECT_EQ (greyAt (100, 200), 0) << "nothing of the earlier capture";
    EXPECT_EQ (greyAt (380, 200), 0) << "this capture's silence";
}

TEST_F (RecordButton, ClosedPanelHearsNoMoreMessages)
{
    openPanel();
    click (record());
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    panel.reset();

    // Start and end messages with the panel gone: nothing dangles.
    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    rig.p().recordBroadcaster.sendChangeMessage();
    pumpMessages (60);
    EXPECT_FALSE (rig.p().recordArmed.load());
}

//==============================================================================
// What a finished capture becomes: the current picture.

TEST_F (RecordButton, AToneCapturedBecomesTheCurrentPicture)
{
    openPanel();
    const auto folder = imagesFolder().getChildFile ("imageSpect").getFullPathName();

    click (record());
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    for (int b = 0; b < 2000 && capturing(); ++b)
        rig.run (tone (2, 512), { 512 }); // on bin 100
    ASSERT_FALSE (capturing());
    pumpMessages (60);
    expectIdle();
    EXPECT_TRUE (p().takeRecordedFrames().empty());

    // The size of the picture it replaces (the default 480 x 330), opaque,
    // in force at once, with the pen layer and the history as they were.
    ASSERT_EQ (p().loadedImage.getBounds(), juce::Rectangle<int> (480, 330));
    EXPECT_EQ (p().sourceImage.getBounds(), juce::Rectangle<int> (480, 330));
    EXPECT_FALSE (p().newImagePending.load());
    EXPECT_TRUE (p().needColourUpdate.load());
    EXPECT_EQ (p().undoImages.size(), 1u);

    // The tone's bin is a bright band at its height; far above and below it
    // the picture is black.
    int low = 1024, high = -1;
    for (int k = 0; k < kestrune::recording::spectrogramRows; ++k)
        if (kestrune::recording::binForRow (k) == 100)
            low = std::min (low, k), high = std::max (high, k);
    ASSERT_LT (low, high);
    const auto bandRow = (int) ((1023.0 - (low + high) * 0.5 + 0.5) * 330.0 / 1024.0);

    for (const auto x : { 20, 240, 460 })
    {
        EXPECT_GT (greyAt (x, bandRow), 150) << x;
        EXPECT_EQ (greyAt (x, 20), 0) << x;
        EXPECT_EQ (greyAt (x, bandRow - 40), 0) << x;
        EXPECT_EQ (greyAt (x, bandRow + 40), 0) << x;
        EXPECT_EQ (greyAt (x, 320), 0) << x;
    }

    // The source is the same picture, greyscaled as an adoption of it would
    // be (a level may round one down), so a reopened project gets this very one.
    {
        const auto source = p().sourceImage, loaded = p().loadedImage;
        ASSERT_EQ (source.getBounds(), loaded.getBounds());
        int smallestStep = 0, largestStep = 0;
        for (int y = 0; y < source.getHeight(); ++y)
            for (int x = 0; x < source.getWidth(); ++x)
            {
                const auto step = loaded.getPixelAt (x, y).getRed() - source.getPixelAt (x, y).getRed();
                smallestStep = std::min (smallestStep, step);
                largestStep = std::max (largestStep, step);
            }
        EXPECT_EQ (smallestStep, 0);
        EXPECT_LE (largestStep, 1);
    }

    // Named in the images folder, in the state as "path"; no file yet.
    EXPECT_TRUE (picturePath().startsWith (folder)) << picturePath();
    EXPECT_TRUE (picturePath().endsWith (".png"));
    EXPECT_EQ (pathProperty(), picturePath());
    EXPECT_FALSE (juce::File (picturePath()).exists());
}

TEST_F (RecordButton, LevelsOfTheCaptureReachThePicture)
{
    openPanel();
    const auto nan = std::numeric_limits<float>::quiet_NaN();

    const struct { float magnitude; int grey; } cases[] {
        { 2048.0f, 255 },                                      // full scale: white
        { 0.0f, 0 },                                           // silence: black
        { 2048.0f * std::pow (10.0f, -50.0f / 20.0f), 127 },  // -50 dB: 127.5, truncated
        { -3.0f, 0 },
        { nan, 0 },
        { 1.0e9f, 255 },
    };

    for (const auto& c : cases)
    {
        convert ({ uniformFrame (c.magnitude) });

        // One frame is one column, stretched over the whole width.
        for (const auto x : { 1, 120, 240, 360, 478 })
            for (const auto y : { 1, 165, 328 })
                ASSERT_EQ (greyAt (x, y), c.grey) << c.magnitude << " at " << x << ", " << y;
    }
}

TEST_F (RecordButton, StoppedTransportDropsTheCapture)
{
    openPanel();
    const auto picture = p().loadedImage;
    const auto path = picturePath();

    convert ({ uniformFrame (2048.0f), uniformFrame (2048.0f) }, false);

    EXPECT_EQ (p().loadedImage, picture);
    EXPECT_EQ (picturePath(), path);
    EXPECT_FALSE (p().recordCapturing.load());
    EXPECT_TRUE (p().takeRecordedFrames().empty()) << "the dropped frames do not reach the next capture";
}

TEST_F (RecordButton, TwoConversionsInOneSecondGetNamesOfTheirOwn)
{
    openPanel();

    // Both within one second: start right after the clock turns a second.
    juce::String first, second;
    for (int attempt = 0; attempt < 5; ++attempt)
    {
        const auto second0 = juce::Time::getCurrentTime().toMilliseconds() / 1000;
        while (juce::Time::getCurrentTime().toMilliseconds() / 1000 == second0)
            juce::Thread::sleep (1);

        convert ({ uniformFrame (2048.0f) });
        first = picturePath();
        saveState (p()); // writes the white recording
        convert ({ uniformFrame (0.0f) });
        second = picturePath();
        saveState (p()); // writes the black one

        if (second == first.upToLastOccurrenceOf (".png", false, false) + "_2.png")
            break; // else the clock turned a second between them: again
    }

    ASSERT_TRUE (first.contains ("imageSpect"));
    EXPECT_NE (first, second);
    EXPECT_EQ (second, first.upToLastOccurrenceOf (".png", false, false) + "_2.png");
    EXPECT_EQ (pathProperty(), second);

    // Each save wrote its own file; the second did not replace the first.
    const auto white = kestrune::pictures::decodePictureFile (juce::File (first));
    const auto black = kestrune::pictures::decodePictureFile (juce::File (second));
    ASSERT_TRUE (white.isValid());
    ASSERT_TRUE (black.isValid());
    EXPECT_EQ (white.getPixelAt (240, 165).getRed(), 255);
    EXPECT_EQ (black.getPixelAt (240, 165).getRed(), 0);
}

TEST_F (RecordButton, WithoutAPictureTheRecordingTakesTheDefaultSize)
{
    openPanel();

    // A file that does not decode leaves the processor without a picture.
    p().loadFile (writeBytes ("record-no-picture.png", "no picture here", 15).getFullPathName(), true);
    ASSERT_TRUE (adoptWithTheWorker());
    ASSERT_FALSE (p().loadedImage.isValid());
    ASSERT_FALSE (p().sourceImagePresent.load());

    convert ({ uniformFrame (2048.0f), uniformFrame (2048.0f) });

    EXPECT_EQ (p().loadedImage.getBounds(), juce::Rectangle<int> (480, 330));
    EXPECT_EQ (greyAt (240, 165), 255);
    EXPECT_TRUE (picturePath().contains ("imageSpect"));

    // Adopted as a new chain, since there was none to replace the source of.
    ASSERT_TRUE (p().newImagePending.load());
    ASSERT_TRUE (adoptWithTheWorker());
    EXPECT_TRUE (p().sourceImagePresent.load());
    EXPECT_EQ (p().sourceImage.getBounds(), juce::Rectangle<int> (480, 330));
    EXPECT_EQ (p().sourceImage.getPixelAt (240, 165).getRed(), 255);
}
