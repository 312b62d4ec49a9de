#include "KeyPressSupport.h"
#include "EditorTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::keys;

// The separate picture window opened by Ctrl+Return in the editor. These
// tests put real windows on an X display (a virtual one will do) and drive
// them with mouse and key events through the window's own peer; without a
// display they skip.
namespace
{
    using WindowPointer = juce::Component::SafePointer<SeparateImageWindow>;

    juce::Rectangle<int> displayArea (juce::Component& c)
    {
        const auto* display = juce::Desktop::getInstance().getDisplays().getDisplayForRect (c.getScreenBounds());
        return display != nullptr ? display->userArea : juce::Rectangle<int>();
    }

    class SeparateWindow : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            if (! haveDisplay())
                GTEST_SKIP() << "no X display";

            p = makeProcessor();
            editor = std::make_unique<KestruneAudioProcessorEditor> (*p);
        }

        void TearDown() override
        {
            editor.reset();
            p.reset();
            pumpMessages (20);
            EXPECT_TRUE (separateWindows().empty());
        }

        // Opens the window and checks that it opened.
        SeparateImageWindow& open()
        {
            EXPECT_TRUE (separateWindows().empty());
            EXPECT_TRUE (windowKey (*editor));
            auto* w = separateWindow();
            EXPECT_NE (w, nullptr);
            pumpMessages (20);
            return *w;
        }

        std::pair<int, int> history() // { undoIndex, snapshots }
        {
            const juce::ScopedLock sl (criticalSection);
            return { p->undoIndex, (int) p->undoImages.size() };
        }

        std::unique_ptr<KestruneAudioProcessor> p;
        std::unique_ptr<KestruneAudioProcessorEditor> editor;
    };
}

//==============================================================================
TEST_F (SeparateWindow, CtrlReturnOpensClosesAndOpensAFreshOne)
{
    WindowPointer first (&open());
    auto& w = *first;

    EXPECT_TRUE (w.isVisible());
    EXPECT_TRUE (w.isOnDesktop());
    EXPECT_TRUE (w.isAlwaysOnTop());
    EXPECT_TRUE (w.isFullScreen());
    EXPECT_EQ (w.getScreenBounds(), displayArea (w));
    EXPECT_EQ (w.getContentComponent(), &w.parentTargetArea);
    EXPECT_TRUE (w.parentTargetArea.isShowing());
    EXPECT_EQ (&w.audioProcessor, p.get());

    EXPECT_TRUE (windowKey (*editor));
    EXPECT_EQ (first.getComponent(), nullptr); // destroyed, not just hidden
    EXPECT_TRUE (separateWindows().empty());

    WindowPointer second (&open());
    EXPECT_TRUE (second->isFullScreen());

    // Shift held as well toggles it all the same.
    EXPECT_TRUE (windowKey (*editor, shift));
    EXPECT_EQ (second.getComponent(), nullptr);
    EXPECT_TRUE (windowKey (*editor, shift));
    EXPECT_NE (separateWindow(), nullptr);
}

TEST_F (SeparateWindow, CloseButtonIsOnScreenAtFullScreenAndClosesTheWindow)
{
    WindowPointer window (&open());
    auto* close = window->getCloseButton();
    ASSERT_NE (close, nullptr);

    // Without a window manager nothing pulls a window back onto the screen:
    // the title bar with its close button must lie on it.
    const auto area = displayArea (*window);
    EXPECT_TRUE (close->isShowing());
    EXPECT_TRUE (area.contains (close->getScreenBounds())) << close->getScreenBounds().toString() << " / " << area.toString();
    EXPECT_TRUE (area.contains (window->getScreenBounds()));

    click (*close);
    pumpMessages (50);

    EXPECT_EQ (window.getComponent(), nullptr);
    EXPECT_TRUE (separateWindows().empty());

    // The editor's pointer was emptied: the next Ctrl+Return opens a window.
    EXPECT_TRUE (windowKey (*editor));
    EXPECT_NE (separateWindow(), nullptr);
}

TEST_F (SeparateWindow, LeavingFullScreenKeepsTheCloseButtonOnScreen)
{
    WindowPointer window (&open());
    auto* maximise = window->getMaximiseButton();
    ASSERT_NE (maximise, nullptr);

    click (*maximise);
    pumpMessages (50);
    ASSERT_NE (window.getComponent(), nullptr);
    EXPECT_FALSE (window->isFullScreen());

    const auto area = displayArea (*window);
    EXPECT_TRUE (area.contains (window->getCloseButton()->getScreenBounds()));
    EXPECT_TRUE (area.contains (window->getMaximiseButton()->getScreenBounds()));

    click (*maximise);
    pumpMessages (50);
    EXPECT_TRUE (window->isFullScreen());

    click (*window->getCloseButton());
    pumpMessages (50);
    EXPECT_EQ (window.getComponent(), nullptr);
}

TEST_F (SeparateWindow, KeysTypedIntoItDoNotReachTheEditor)
{
    setPlain (*p, "penStyle", 4.0f);
    std::vector<juce::Point<float>> points { { 0.1f, 0.1f }, { 0.2f, 0.2f } };
    p->drawShape (points);
    ASSERT_EQ (history(), std::make_pair (2, 2));

    WindowPointer window (&open());
    auto* peer = window->getPeer();
    ASSERT_NE (peer, nullptr);

    pressIn (*peer, 'Z', shift, 'Z');
    pressIn (*peer, juce::KeyPress::returnKey, ctrl);
    pumpMessages (20);

    EXPECT_EQ (history(), std::make_pair (2, 2));
    EXPECT_NE (window.getComponent(), nullptr);

    // Its close button still takes it away.
    click (*window->getCloseButton());
    pumpMessages (50);
    EXPECT_EQ (window.getComponent(), nullptr);
}

//==============================================================================
TEST_F (SeparateWindow, ClosingTheEditorTakesTheWindowWithIt)
{
    WindowPointer window (&open());

    editor.reset();
    EXPECT_EQ (window.getComponent(), nullptr);
    EXPECT_TRUE (separateWindows().empty());

    pumpMessages (100); // no timer of the window or its canvas frame is left to fire
}

TEST_F (SeparateWindow, ACloseLeftPendingWhenEditorAndProcessorGoDoesNothing)
{
    WindowPointer window (&open());

    click (*window->getCloseButton()); // the window goes from the message loop
    editor.reset();
    p.reset();
    EXPECT_EQ (window.getComponent(), nullptr);

    pumpMessages (100);
}

TEST_F (SeparateWindow, ACloseLeftPendingSparesTheWindowOpenedAfterIt)
{
    WindowPointer first (&open());
    click (*first->getCloseButton());

    // Before the message loop gets to it: Ctrl+Return closes, then opens anew.
    EXPECT_TRUE (windowKey (*editor));
    EXPECT_EQ (first.getComponent(), nullptr);
    EXPECT_TRUE (windowKey (*editor));
    WindowPointer second (separateWindow());
    ASSERT_NE (second.getComponent(), nullptr);

    pumpMessages (100);
    ASSERT_NE (second.getComponent(), nullptr);
    EXPECT_TRUE (second->isVisible());
}

//==============================================================================
// A click on any kind of control leaves the keys with the window: Return
// clicks nothing and changes no parameter, and Ctrl+Return opens the window.
TEST_F (SeparateWindow, OpensWhateverControlWasClickedAndReturnClicksNothing)
{
    ScopedDesktopWindow shown (*editor);
    auto* peer = editor->getPeer();
    ASSERT_NE (peer, nullptr);

    auto& image = editor->imageManupulationPanel;
    auto& scan = editor->scanPanel;
    const std::pair<const char*, juce::Component*> clicked[] = {
        { "knob", &editor->affineTransformPanel.zoomKnob },
        { "switch", &image.blackWhiteButton },
        { "radio button", scan.directionButtons[1] },
        { "combo box", &image.penStyleBox },
        { "linear slider", &scan.dryWetSlider },
        { "Record", &image.recordButton },
        { "Reset Drawing", &editor->resetDrawingButton },
        { "Reset All", &editor->resetAllButton },
        { "canvas", &editor->parentTargetArea.targetArea },
        { "spectrum view", &editor->spectrumView },
    };

    // What a click on a control changes: the parameters, and Record's state.
    const auto settings = [&]
    {
        std::vector<float> values { image.recordButton.getToggleState() ? 1.0f : 0.0f };
        for (auto* parameter : p->getParameters())
            values.push_back (parameter->getValue());
        return values;
    };

    for (const auto& [name, control] : clicked)
    {
        click (*control);
        juce::PopupMenu::dismissAllActiveMenus(); // the combo box's list, closed as by Escape
        pumpMessages (20);
        const auto before = settings();

        pressIn (*peer, juce::KeyPress::returnKey, none, '\r');
        pumpMessages (20); // a button clicked by a key clicks from the message loop
        EXPECT_EQ (settings(), before) << name;

        EXPECT_TRUE (pressIn (*peer, juce::KeyPress::returnKey, ctrl)) << name;
        EXPECT_NE (separateWindow(), nullptr) << name;
        editor->separateWindow.reset();
    }
}

// A host may hide the plug-in's window instead of closing it: the picture
// window, full screen and always on top, goes once the editor is off screen.
TEST_F (SeparateWindow, ClosesWhenTheEditorStopsShowing)
{
    juce::Component hostWindow, view; // the host's window, and its view holding the editor
    hostWindow.setBounds (editor->getBounds());
    view.setBounds (editor->getBounds());
    hostWindow.addToDesktop (0);
    view.addToDesktop (0, hostWindow.getWindowHandle());

    const std::pair<const char*, std::function<void()>> hidings[] = {
        { "editor hidden", [&] { editor->setVisible (false); } },
        { "host's view hidden", [&] { view.setVisible (false); } },
        { "editor taken out of the view", [&] { view.removeChildComponent (editor.get()); } },
        { "host's window hidden, unknown to the view", [&] { hostWindow.setVisible (false); } },
    };

    for (const auto& [name, hide] : hidings)
    {
        view.addAndMakeVisible (*editor);
        view.setVisible (true);
        hostWindow.setVisible (true);
        pumpMessagesUntil ([&] { return editor->hasKeyboardFocus (true); }, 2000); // seen on screen: it takes the keys
        ASSERT_TRUE (windowKey (*editor)) << name;
        ASSERT_NE (separateWindow(), nullptr) << name;

        hide();
        EXPECT_TRUE (pumpMessagesUntil ([] { return separateWindows().empty(); }, 1000)) << name;
        editor->separateWindow.reset();
    }

    view.removeChildComponent (editor.get());
}
