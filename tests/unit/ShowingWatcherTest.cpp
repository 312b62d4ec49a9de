#include "EditorTestSupport.h"
#include "ShowingWatcher.h"

using namespace kestrune::test;

// A host shows the plug-in's view inside a window of its own, which it may
// map only later, and hide and show again without telling the view. The
// owner hears each time the view comes on screen or goes, and the view takes
// the keyboard focus each time it comes.
TEST (ShowingWatcher, FollowsTheHostsWindowAndTakesTheFocusOnScreen)
{
    if (! displayAvailable())
        GTEST_SKIP() << "no X display";

    juce::Component host, view;
    host.setBounds (0, 0, 200, 100);
    host.addToDesktop (0); // its window exists, unmapped while hidden
    view.setBounds (0, 0, 200, 100);
    view.setWantsKeyboardFocus (true);

    std::vector<bool> changes;
    ShowingWatcher watcher (view, [&] (bool onScreen)
    {
        changes.push_back (onScreen);
        if (onScreen)
            watcher.takeKeyboardFocus();
    });

    struct Step { const char* name; std::function<void()> action; bool onScreen; size_t changes; };
    const Step steps[] = {
        { "view shown in the host's hidden window", [&] { view.addToDesktop (0, host.getWindowHandle());
                                                          view.setVisible (true); }, false, 0 },
        { "host shows its window", [&] { host.setVisible (true); }, true, 1 },
        { "host hides its window", [&] { host.setVisible (false); }, false, 2 },
        { "host shows it again", [&] { host.setVisible (true); }, true, 3 },
        { "view hidden", [&] { view.setVisible (false); }, false, 4 },
    };

    // The window system's focus: JUCE may count a window's focus as kept
    // after the window lost it unseen.
    const auto focused = [&] { return view.getPeer() != nullptr && view.getPeer()->isFocused(); };

    for (const auto& step : steps)
    {
        step.action();
        EXPECT_TRUE (pumpMessagesUntil ([&] { return watcher.isOnScreen() == step.onScreen && focused() == step.onScreen
                                                      && (view.hasKeyboardFocus (false) || ! step.onScreen); }, 2000))
            << step.name;
        ASSERT_EQ (changes.size(), step.changes) << step.name;
        EXPECT_TRUE (changes.empty() || changes.back() == step.onScreen) << step.name;
    }

    view.removeFromDesktop();
}
