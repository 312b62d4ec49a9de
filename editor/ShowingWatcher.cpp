#include "ShowingWatcher.h"
#include "NativeWindowShown.h"

namespace
{
    // The number of the latest input any watched component got (message thread only).
    juce::uint64 latestInput = 0;
}

ShowingWatcher::ShowingWatcher (juce::Component& c, std::function<void (State)> callback)
    : juce::ComponentMovementWatcher (&c), watched (c), onStateChanged (std::move (callback))
{
    watched.addMouseListener (this, true);
    update (false);
}

ShowingWatcher::~ShowingWatcher()
{
    stopTimer();
    watched.removeMouseListener (this);
}

ShowingWatcher::State ShowingWatcher::read (bool showing) const
{
    auto* peer = watched.getPeer();

    if (! showing || peer == nullptr)
        return State::off;

    switch (nativeWindowState (*peer))
    {
        case NativeWindowState::shown:    return State::onScreen;
        case NativeWindowState::setAside: return State::setAside;
        case NativeWindowState::hidden:   break;
    }

    return State::off;
}

void ShowingWatcher::update (bool juceStoppedShowing)
{
    // (JUCE asks the window system whether the window is minimised here.)
    const auto showing = watched.isShowing();

    if (! showing)
        stopTimer();
    else if (! isTimerRunning())
        startTimer (tickMilliseconds);

    ticksSinceAsked = 0;
    const auto now = read (showing);

    if (now == current && ! juceStoppedShowing)
        return;

    current = now;

    if (current != State::onScreen)
        focusTicksLeft = 0;

    if (onStateChanged)
        onStateChanged (current);
}

void ShowingWatcher::timerCallback()
{
    // Asking the window system is a round trip to the X server: made on
    // every tick only while it matters.
    if (closely || focusTicksLeft > 0 || ++ticksSinceAsked >= idleTicksPerAsk)
        update (false);

    followModalBoxes();

    if (focusTicksLeft > 0)
        askForFocus();
}

void ShowingWatcher::followClosely (bool shouldFollowClosely)
{
    closely = shouldFollowClosely;
}

void ShowingWatcher::noteInputHere() noexcept
{
    ownInput = ++latestInput;
}

void ShowingWatcher::noteInputElsewhere() noexcept
{
    ++latestInput;
}

void ShowingWatcher::followModalBoxes()
{
    // JUCE's own state: no request to the window system.
    const auto blocked = watched.isCurrentlyBlockedByAnotherModalComponent();

    if (blocked == behindModal)
        return;

    behindModal = blocked;

    if (blocked)
        modalIsOurs = ownInput == latestInput;
    else if (modalIsOurs && current == State::onScreen)
        takeKeyboardFocusBack();
}

void ShowingWatcher::takeKeyboardFocus()
{
    focusTicksLeft = focusTicks;
    focusHeldTicks = 0;
    awaitingManager = false;
    askForFocus();
}

void ShowingWatcher::takeKeyboardFocusBack()
{
    takeKeyboardFocus();
    awaitingManager = focusTicksLeft > 0;
}

void ShowingWatcher::askForFocus()
{
    auto* peer = watched.getPeer();

    // Not asked for off screen, nor taken from a modal box or menu.
    if (current != State::onScreen || peer == nullptr || watched.isCurrentlyBlockedByAnotherModalComponent())
    {
        focusTicksLeft = 0;
        return;
    }

    // The window system's focus first: JUCE may still count the focus as
    // ours after the window lost it unseen (its host's window was hidden),
    // and then asks the window system for nothing.
    if (! peer->isFocused())
    {
        // Held, then gone: the window manager's choice came, and is undone now.
        if (focusHeldTicks > 0)
            awaitingManager = false;

        peer->grabFocus();
    }

    if (! watched.hasKeyboardFocus (true))
        watched.grabKeyboardFocus();

    const auto focused = peer->isFocused() && watched.hasKeyboardFocus (true);
    focusHeldTicks = focused ? focusHeldTicks + 1 : 0;
    focusTicksLeft = focusHeldTicks >= (awaitingManager ? focusTicks : focusHoldTicks) ? 0 : focusTicksLeft - 1;
}
