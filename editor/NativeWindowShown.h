#pragma once

namespace juce { class ComponentPeer; }

// How the windowing system shows the peer's window.
enum class NativeWindowState
{
    shown,      // on screen: mapped, with every window above it mapped
    setAside,   // off screen for a while by the window manager's doing: the
                // top-level window holding it is minimised (iconified) or on
                // another workspace, and comes back as it was
    hidden      // off screen by its owners' doing: a window holding it (the
                // host's) was unmapped, or the window is gone
};

// On X11 the answer comes from the window tree: the first window from the
// peer's upward that is itself unmapped was unmapped by the window manager
// when the manager still keeps a top-level window at or below it in its
// care (ICCCM WM_STATE Normal or Iconic), and by its owner otherwise (a host
// hiding its window, which holds the plug-in's, without telling the plug-in:
// JUCE, which ignores unmapping, still calls the plug-in's view showing).
// Elsewhere JUCE's own answer stands, and this is `shown`.
NativeWindowState nativeWindowState (juce::ComponentPeer& peer);

// True when the windowing system's keyboard focus is on no window of a
// program (X11: None, PointerRoot or the root window), as right after the
// focused window went: a window manager then gives it to a window of its
// choosing a moment later. Elsewhere false.
bool nativeKeyboardFocusIsNowhere();
