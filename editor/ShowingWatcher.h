#pragma once

#include <JuceHeader.h>

#include <functional>

// Follows whether a component is on screen: it and every component above it
// visible, its window on the desktop, and that window shown by the windowing
// system. `onStateChanged` runs on the message thread each time that
// changes. What JUCE reports (a component shown or hidden, a window put on
// the desktop) is seen at once; a host that hides or shows its own window,
// which holds the plug-in's, tells JUCE nothing, so while JUCE calls the
// component showing the window system is asked again on a timer: on every
// 50 ms tick while that matters (the owner follows the window closely, or a
// focus request is pending), else every fifth tick.
//
// It also takes the keyboard focus for the component when asked, and again
// when a modal box or menu that came up on the component's own input (a
// combo box's list, a dialog) goes while the component is on screen: the
// window manager then hands the focus to a window of its choosing, often
// the host's main window.
class ShowingWatcher  : private juce::ComponentMovementWatcher,
                        private juce::MouseListener,
                        private juce::Timer
{
public:
    enum class State
    {
        off,        // not shown: hidden, or not on the desktop (by JUCE or by the host)
        setAside,   // its window minimised or on another workspace (NativeWindowState::setAside)
        onScreen
    };

    ShowingWatcher (juce::Component& watched, std::function<void (State)> onStateChanged);
    ~ShowingWatcher() override;

    State state() const noexcept       { return current; }
    bool isOnScreen() const noexcept   { return current == State::onScreen; }

    // Gives the watched component the keyboard focus (it, or a component
    // inside it, must want it), now if it can, else on one of the next ticks
    // within about two seconds, and takes it back should it go within half a
    // second. Does nothing while it is off screen, or behind a modal box or
    // menu.
    void takeKeyboardFocus();

    // The same after a window that had the focus went (a list, a dialog, the
    // separate window): a window manager gives the focus to a window of its
    // choosing a moment later (often the host's main window), perhaps after
    // the component took it. So the component keeps it until it has taken
    // it back once, and half a second after, or for two seconds.
    void takeKeyboardFocusBack();

    // Stops a focus request (another window of the owner takes the keys).
    void dropKeyboardFocusRequest() noexcept   { focusTicksLeft = 0; }

    // While set, the window system is asked on every tick.
    void followClosely (bool shouldFollowClosely);

    // Input that reached the component other than by its mouse (a file
    // dropped on it): a modal box that comes up on it is the component's.
    // Input elsewhere (another window of the plug-in's) makes one that comes
    // up then nobody's.
    void noteInputHere() noexcept;
    static void noteInputElsewhere() noexcept;

    static constexpr int tickMilliseconds = 50;
    static constexpr int idleTicksPerAsk = 5;
    static constexpr int focusTicks = 40;
    static constexpr int focusHoldTicks = 10;

private:
    void componentMovedOrResized (bool, bool) override {}
    void componentPeerChanged() override                { update (false); }
    void componentVisibilityChanged() override          { update (! watched.isShowing()); }
    void mouseDown (const juce::MouseEvent&) override   { noteInputHere(); }
    void timerCallback() override;

    // Reads where the component is and tells the owner when that changed, or
    // when JUCE has just said it no longer shows (even before a tick saw the
    // window system show it); keeps the timer running while JUCE calls it
    // showing.
    void update (bool juceStoppedShowing);
    State read (bool showing) const;
    void followModalBoxes();
    void askForFocus();

    juce::Component& watched;
    std::function<void (State)> onStateChanged;
    State current = State::off;
    bool closely = false;
    int ticksSinceAsked = 0;
    int focusTicksLeft = 0, focusHeldTicks = 0;
    bool awaitingManager = false; // the window manager's choice of a focus still to come

    // A modal box or menu in front of the component, and whether it came up
    // on the component's own input (none elsewhere since: each input in any
    // watched component takes the next number of one count).
    bool behindModal = false, modalIsOurs = false;
    juce::uint64 ownInput = 0;

    JUCE_DECLARE_NON_COPYABLE (ShowingWatcher)
};
