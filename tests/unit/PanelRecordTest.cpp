#include "PanelTestSupport.h"
#include "AudioTestSupport.h"

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
    pumpMessages (60);
    ASSERT_TRUE (panel->isTimerRunning());

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
    click (record());
    rig.run (noise (2, 512 * 4), { 512 });
    ASSERT_FALSE (capturing());

    click (record());
    expectIdle();
    EXPECT_FALSE (rig.p().recordArmed.load());
    ASSERT_TRUE (runUntil ([this] { return *rig.head.ppq > 4.5; }));
    EXPECT_FALSE (capturing());
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
    const auto oneCapture = framesOfOneCapture();

    rig.p().armRecord();
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    pumpMessages (60);

    openPanel();
    expectIdle();

    click (record());
    ASSERT_TRUE (runUntil ([this] { return capturing(); }));
    ASSERT_TRUE (runUntil ([this] { return ! capturing(); }));
    const auto frames = rig.p().takeRecordedFrames().size();
    EXPECT_LE (frames, oneCapture + 1);
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
