#include "PanelTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::panels;

// Panels in real windows on the (virtual) display: a real mouse over and on
// their controls, menus open, and the window closed in the middle of it.
// Skipped where there is no display.

namespace
{
    struct PanelWindow : ::testing::Test
    {
        void SetUp() override { KESTRUNE_NEEDS_DISPLAY(); }

        // A window that holds a panel, as the editor does, and outlives it.
        struct Holder : juce::Component
        {
            explicit Holder (juce::Component& panel)
            {
                setSize (panel.getWidth(), panel.getHeight());
                addAndMakeVisible (panel);
            }
        };

        // Menu windows on the desktop (JUCE names them "menu").
        static int numMenus()
        {
            int count = 0;
            auto& desktop = juce::Desktop::getInstance();
            for (int i = 0; i < desktop.getNumComponents(); ++i)
                count += desktop.getComponent (i)->getName() == "menu" ? 1 : 0;
            return count;
        }

        // Waits until no window on the desktop is a menu any more.
        static bool menusGone()
        {
            for (int i = 0; i < 100; ++i)
            {
                if (numMenus() == 0)
                    return true;
                pumpMessages (10);
            }
            return false;
        }
    };
}

TEST_F (PanelWindow, ClosingWithAComboBoxMenuOpenLeavesNoMenuBehind)
{
    for (const auto which : { 0, 1 })
    {
        PanelSet panels;
        juce::Component& panel = which == 0 ? static_cast<juce::Component&> (*panels.image) : *panels.scan;
        auto& box = which == 0 ? panels.image->penStyleBox : panels.scan->randomSpeedBox;
        box.setEnabled (true);

        Holder holder (panel);
        OnScreen screen (holder);
        // The menu window opens at once. (Without a window manager no window
        // gets the focus, so the menu would close itself a moment later: the
        // panel is closed before that.)
        box.showPopup();
        ASSERT_EQ (numMenus(), 1) << which;

        // The menu draws with the panel's look-and-feel until the panel goes.
        bool menuUsesPanelLook = false;
        auto& look = which == 0 ? panels.image->panelLookAndFeel : panels.scan->panelLookAndFeel;
        for (int i = 0; i < juce::Desktop::getInstance().getNumComponents(); ++i)
            menuUsesPanelLook |= &juce::Desktop::getInstance().getComponent (i)->getLookAndFeel() == &look;
        EXPECT_TRUE (menuUsesPanelLook);

        panels.close();
        EXPECT_TRUE (menusGone()) << which;
    }
}

TEST_F (PanelWindow, ClosingWhileTheMouseDragsAKnobEndsTheGesture)
{
    auto processor = makeProcessor();
    GestureCounter gestures (param (*processor, "contrast"));

    {
        PanelSet panels (950, processor.get());
        Holder holder (*panels.image);
        OnScreen screen (holder);
        auto& knob = panels.image->contrastKnob;
        const auto centre = knob.getLocalBounds().getCentre().toFloat();

        screen.mouse (knob, centre, false);
        screen.mouse (knob, centre, true);
        screen.mouse (knob, centre + juce::Point<float> (0.0f, -30.0f), true);
        ASSERT_TRUE (knob.isMouseButtonDown());
        EXPECT_EQ (gestures.begins, 1);
        EXPECT_GT (gestures.changes, 0);

        panels.close();
        EXPECT_EQ (gestures.ends, 1);

        // The button comes up over the window the panel has left.
        screen.mouse (holder, { 10.0f, 10.0f }, false);
    }

    // A second window: a new drag is a gesture of its own.
    PanelSet again (950, processor.get());
    turn (again.image->contrastKnob, 20.0f);
    EXPECT_EQ (gestures.begins, 2);
    EXPECT_EQ (gestures.ends, 2);
}

TEST_F (PanelWindow, HoveringAPanelKnobHighlightsOnlyThatKnob)
{
    PanelSet panels;
    Holder holder (*panels.transform);
    OnScreen screen (holder);
    auto& zoom = panels.transform->zoomKnob;

    screen.mouse (zoom, zoom.getLocalBounds().getCentre().toFloat(), false);
    EXPECT_TRUE (zoom.isMouseOverOrDragging());
    EXPECT_FALSE (panels.transform->rotateKnob.isMouseOverOrDragging());

    Recording hovered (zoom);
    Recording other (panels.transform->rotateKnob);
    EXPECT_EQ (hovered.context.fills.front().colour, mainColour);
    EXPECT_EQ (other.context.fills.front().colour, mainColour.withAlpha (0.7f));
}
