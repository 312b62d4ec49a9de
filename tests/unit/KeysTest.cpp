#include "KeyPressSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::keys;

// Shift+Z and Shift+X in the editor, on a processor with its default picture
// adopted (a clear pen layer, a history of one snapshot). Ctrl+Return opens a
// window and is tested with the window (SeparateWindowTest).
namespace
{
    class Keys : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            p = makeProcessor();
            editor = std::make_unique<KestruneAudioProcessorEditor> (*p);
            ASSERT_EQ (history(), std::make_pair (1, 1));
        }

        void TearDown() override
        {
            editor.reset();
            p.reset();
        }

        // A filled rectangle over (x0, y0) .. (x1, y1), in parts of the picture.
        void stroke (float x0, float y0, float x1, float y1)
        {
            setPlain (*p, "penStyle", 4.0f); // FillRect
            std::vector<juce::Point<float>> points { { x0, y0 }, { x1, y1 } };
            p->drawShape (points);
        }

        juce::Image layer()
        {
            const juce::ScopedLock sl (criticalSection);
            return p->drawLayer.createCopy();
        }

        std::pair<int, int> history() // { undoIndex, snapshots }
        {
            const juce::ScopedLock sl (criticalSection);
            return { p->undoIndex, (int) p->undoImages.size() };
        }

        // Presses a key and says whether it was handled and asked the worker
        // to repaint the picture. The pipeline lock, held meanwhile, keeps the
        // worker from starting a pass that would take the request first.
        template <typename Press>
        bool pressRequestsRecolour (Press&& press)
        {
            const juce::ScopedLock sl (criticalSection);
            p->needColourUpdate.store (false);
            return press() && p->needColourUpdate.load();
        }

        std::unique_ptr<KestruneAudioProcessor> p;
        std::unique_ptr<KestruneAudioProcessorEditor> editor;
    };
}

TEST_F (Keys, UndoWithOnlyTheAdoptedSnapshotChangesNothing)
{
    const auto before = layer();

    EXPECT_TRUE (undoKey (*editor));
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_TRUE (sameImage (layer(), before));

    EXPECT_TRUE (redoKey (*editor));
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_TRUE (sameImage (layer(), before));
}

TEST_F (Keys, TwoStrokesGoBackAndComeBackOneKeyAtATime)
{
    const auto blank = layer();
    stroke (0.1f, 0.1f, 0.2f, 0.2f);
    const auto one = layer();
    stroke (0.6f, 0.6f, 0.8f, 0.8f);
    const auto two = layer();
    ASSERT_EQ (history(), std::make_pair (3, 3));
    ASSERT_FALSE (sameImage (one, two));

    EXPECT_TRUE (pressRequestsRecolour ([this] { return undoKey (*editor); }));
    EXPECT_TRUE (sameImage (layer(), one));
    EXPECT_TRUE (undoKey (*editor));
    EXPECT_TRUE (sameImage (layer(), blank));
    EXPECT_EQ (history(), std::make_pair (1, 3));

    EXPECT_TRUE (undoKey (*editor)); // nothing before the adopted layer
    EXPECT_TRUE (sameImage (layer(), blank));
    EXPECT_EQ (history(), std::make_pair (1, 3));

    EXPECT_TRUE (pressRequestsRecolour ([this] { return redoKey (*editor); }));
    EXPECT_TRUE (sameImage (layer(), one));
    EXPECT_TRUE (redoKey (*editor));
    EXPECT_TRUE (sameImage (layer(), two));

    EXPECT_TRUE (redoKey (*editor)); // nothing after the last stroke
    EXPECT_TRUE (sameImage (layer(), two));
    EXPECT_EQ (history(), std::make_pair (3, 3));

    // The restored layer is the pen's own again: a stroke on it leaves the
    // snapshot it came from as it was.
    EXPECT_TRUE (undoKey (*editor));
    stroke (0.3f, 0.7f, 0.4f, 0.8f);
    EXPECT_EQ (history(), std::make_pair (3, 3));
    EXPECT_TRUE (redoKey (*editor)); // the undone stroke was dropped
    EXPECT_EQ (history(), std::make_pair (3, 3));
    EXPECT_TRUE (undoKey (*editor));
    EXPECT_TRUE (sameImage (layer(), one));
}

TEST_F (Keys, UndoAndRedoAfterAResetChangeNothing)
{
    stroke (0.1f, 0.1f, 0.2f, 0.2f);

    {   // what the reset buttons leave until the next adoption
        const juce::ScopedLock sl (criticalSection);
        p->undoImages.clear();
        p->undoIndex = 0;
    }

    const auto before = layer();
    EXPECT_TRUE (undoKey (*editor));
    EXPECT_TRUE (redoKey (*editor));
    EXPECT_EQ (history(), std::make_pair (0, 0));
    EXPECT_TRUE (sameImage (layer(), before));
}

TEST_F (Keys, LettersWithoutShiftAndOtherKeysAreNotHandled)
{
    stroke (0.1f, 0.1f, 0.2f, 0.2f);
    stroke (0.6f, 0.6f, 0.8f, 0.8f);
    const auto drawn = layer();

    EXPECT_FALSE (press (*editor, 'z', none, 'z'));
    EXPECT_FALSE (press (*editor, 'Z', none, 'Z'));  // caps lock
    EXPECT_FALSE (press (*editor, 'Z', ctrl));       // Ctrl+Z
    EXPECT_FALSE (press (*editor, 'Z', alt, 'z'));
    EXPECT_FALSE (press (*editor, 'x', none, 'x'));
    EXPECT_FALSE (press (*editor, 'X', ctrl));
    EXPECT_FALSE (press (*editor, 'A', shift, 'A'));
    EXPECT_FALSE (press (*editor, juce::KeyPress::escapeKey, shift));
    EXPECT_FALSE (press (*editor, juce::KeyPress::returnKey, none, '\r'));
    EXPECT_FALSE (press (*editor, juce::KeyPress::returnKey, shift, '\r'));

    EXPECT_EQ (history(), std::make_pair (3, 3));
    EXPECT_TRUE (sameImage (layer(), drawn));
    EXPECT_TRUE (separateWindows().empty());
}

TEST_F (Keys, OtherModifiersHeldWithShiftAreIgnored)
{
    const auto blank = layer();
    stroke (0.1f, 0.1f, 0.2f, 0.2f);
    const auto one = layer();

    EXPECT_TRUE (undoKey (*editor, ctrl));         // Ctrl+Shift+Z
    EXPECT_TRUE (sameImage (layer(), blank));
    EXPECT_TRUE (redoKey (*editor, ctrl));         // Ctrl+Shift+X
    EXPECT_TRUE (sameImage (layer(), one));
    EXPECT_TRUE (undoKey (*editor, alt));          // Alt+Shift+Z
    EXPECT_TRUE (sameImage (layer(), blank));
    EXPECT_TRUE (redoKey (*editor, ctrl.withFlags (juce::ModifierKeys::altModifier)));
    EXPECT_TRUE (sameImage (layer(), one));
    EXPECT_EQ (history(), std::make_pair (2, 2));
}
