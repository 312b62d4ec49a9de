#pragma once

#include <JuceHeader.h>

#include <functional>

// Follows whether a component is on screen: it and every component above it
// visible, its window on the desktop, and that window shown by the windowing
// system. `onShowingChanged` runs on the message thread each time that
// changes. What JUCE reports (a component shown or hidden, a window put on
// the desktop) is seen at once; a host that hides or shows its own window,
// which holds the plug-in's, tells JUCE nothing, so while JUCE calls the
// component showing the window system is asked again on a short timer.
//
// It also takes the keyboard focus for the component when asked, asking for
// it again on the timer for a short while when the window cannot have it yet.
class ShowingWatcher  : private juce::ComponentMovementWatcher,
                        private juce::Timer
{
public:
    ShowingWatcher (juce::Component& watched, std::function<void (bool onScreen)> onShowingChanged);
    ~ShowingWatcher() override;

    bool isOnScreen() const noexcept { return onScreen; }

    // Gives the watched component the keyboard focus (it, or a component
    // inside it, must want it), now if it can, else on one of the next ticks
    // within about two seconds. Does nothing while it is off screen, or
    // behind a modal box or menu.
    void takeKeyboardFocus();

    static constexpr int tickMilliseconds = 50;
    static constexpr int focusTicks = 40;

private:
    void componentMovedOrResized (bool, bool) override {}
    void componentPeerChanged() override                { update (false); }
    void componentVisibilityChanged() override          { update (! watched.isShowing()); }
    void timerCallback() override;

    // Reads whether the component is on screen and tells the owner when that
    // changed, or when JUCE has just said it no longer shows (even before the
    // tick saw the window system show it); keeps the timer running while
    // JUCE calls it showing.
    void update (bool juceStoppedShowing);
    bool readOnScreen() const;
    void askForFocus();

    juce::Component& watched;
    std::function<void (bool)> onShowingChanged;
    bool onScreen = false;
    int focusTicksLeft = 0;

    JUCE_DECLARE_NON_COPYABLE (ShowingWatcher)
};
