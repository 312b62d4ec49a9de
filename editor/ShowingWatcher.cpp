#include "ShowingWatcher.h"
#include "NativeWindowShown.h"

ShowingWatcher::ShowingWatcher (juce::Component& c, std::function<void (bool)> callback)
    : juce::ComponentMovementWatcher (&c), watched (c), onShowingChanged (std::move (callback))
{
    update (false);
}

ShowingWatcher::~ShowingWatcher()
{
    stopTimer();
}

bool ShowingWatcher::readOnScreen() const
{
    auto* peer = watched.getPeer();
    return watched.isShowing() && peer != nullptr && nativeWindowShown (*peer);
}

void ShowingWatcher::update (bool juceStoppedShowing)
{
    if (! watched.isShowing())
        stopTimer();
    else if (! isTimerRunning())
        startTimer (tickMilliseconds);

    const auto now = readOnScreen();

    if (now == onScreen && ! juceStoppedShowing)
        return;

    onScreen = now;

    if (! onScreen)
        focusTicksLeft = 0;

    if (onShowingChanged)
        onShowingChanged (onScreen);
}

void ShowingWatcher::timerCallback()
{
    update (false);

    if (focusTicksLeft > 0)
        askForFocus();
}

void ShowingWatcher::takeKeyboardFocus()
{
    focusTicksLeft = focusTicks;
    askForFocus();
}

void ShowingWatcher::askForFocus()
{
    auto* peer = watched.getPeer();

    // Not asked for off screen, nor taken from a modal box or menu.
    if (! onScreen || peer == nullptr || watched.isCurrentlyBlockedByAnotherModalComponent())
    {
        focusTicksLeft = 0;
        return;
    }

    // The window system's focus first: JUCE may still count the focus as
    // ours after the window lost it unseen (its host's window was hidden),
    // and then asks the window system for nothing.
    if (! peer->isFocused())
        peer->grabFocus();

    if (! watched.hasKeyboardFocus (true))
        watched.grabKeyboardFocus();

    const auto focused = peer->isFocused() && watched.hasKeyboardFocus (true);
    focusTicksLeft = focused ? 0 : focusTicksLeft - 1;
}
