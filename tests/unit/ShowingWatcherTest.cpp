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

    using State = ShowingWatcher::State;
    juce::Component host, view;
    host.setBounds (0, 0, 200, 100);
    host.addToDesktop (0); // its window exists, unmapped while hidden
    view.setBounds (0, 0, 200, 100);
    view.setWantsKeyboardFocus (true);

    std::vector<State> changes;
    ShowingWatcher watcher (view, [&] (State state)
    {
        changes.push_back (state);
        if (state == State::onScreen)
            watcher.takeKeyboardFocus();
    });

    struct Step { const char* name; std::function<void()> action; State state; size_t changes; };
    const Step steps[] = {
        { "view shown in the host's hidden window", [&] { view.addToDesktop (0, host.getWindowHandle());
                                                          view.setVisible (true); }, State::off, 0 },
        { "view hidden before it ever came on screen", [&] { view.setVisible (false); }, State::off, 1 }, // told at once
        { "view shown again", [&] { view.setVisible (true); }, State::off, 1 },
        { "host shows its window", [&] { host.setVisible (true); }, State::onScreen, 2 },
        { "host hides its window", [&] { host.setVisible (false); }, State::off, 3 },
        { "host shows it again", [&] { host.setVisible (true); }, State::onScreen, 4 },
        { "view hidden", [&] { view.setVisible (false); }, State::off, 5 },
    };

    // The window system's focus: JUCE may count a window's focus as kept
    // after the window lost it unseen.
    const auto focused = [&] { return view.getPeer() != nullptr && view.getPeer()->isFocused(); };

    for (const auto& step : steps)
    {
        step.action();
        const auto onScreen = step.state == State::onScreen;
        EXPECT_TRUE (pumpMessagesUntil ([&] { return watcher.state() == step.state && changes.size() == step.changes
                                                      && focused() == onScreen
                                                      && (view.hasKeyboardFocus (false) || ! onScreen); }))
            << step.name;
        ASSERT_EQ (changes.size(), step.changes) << step.name;
        EXPECT_TRUE (changes.empty() || changes.back() == step.state) << step.name;
    }

    view.removeFromDesktop();
}
