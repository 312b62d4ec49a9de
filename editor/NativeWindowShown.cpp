// JUCE's window module with its X11 declarations, for this file only
// (Xlib's macros clash with names in other modules); it is built without the
// precompiled JUCE header.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>

#include "NativeWindowShown.h"

#if JUCE_LINUX || JUCE_BSD
namespace
{
    // True when the window manager keeps the window in its care as a
    // top-level window in the Normal or the Iconic state (ICCCM 4.1.3.1: a
    // window its client withdrew has no WM_STATE, or Withdrawn).
    bool managedByWindowManager (::Display* display, ::Window window, ::Atom wmState)
    {
        auto* x = juce::X11Symbols::getInstance();
        ::Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;

        if (x->xGetWindowProperty (display, window, wmState, 0, 1, False, wmState,
                                   &type, &format, &items, &after, &data) != Success)
            return false;

        const auto state = data != nullptr && format == 32 && items >= 1 ? *reinterpret_cast<long*> (data) : 0L;

        if (data != nullptr)
            x->xFree (data);

        return state == NormalState || state == IconicState;
    }
}
#endif

NativeWindowState nativeWindowState (juce::ComponentPeer& peer)
{
   #if JUCE_LINUX || JUCE_BSD
    auto* windowSystem = juce::XWindowSystem::getInstanceWithoutCreating();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr)
        return NativeWindowState::shown;

    auto* x = juce::X11Symbols::getInstance();
    const juce::XWindowSystemUtilities::ScopedXLock lock;

    auto window = (::Window) peer.getNativeHandle();
    XWindowAttributes attributes {};

    if (x->xGetWindowAttributes (display, window, &attributes) == 0)
        return NativeWindowState::hidden;

    // The common case, and the only request made while it lasts.
    if (attributes.map_state == IsViewable)
        return NativeWindowState::shown;

    const auto wmState = x->xInternAtom (display, "WM_STATE", False);
    bool managed = false;

    // Up the tree to the first window that is itself unmapped (a window
    // tree is never deep; the bound only guards against a broken answer).
    // Windows are mapped and unmapped meanwhile: only an unmapped window
    // found on the way counts as hidden by its owner; a walk that finds
    // none (the windows were shown again under it) or loses its way (one
    // went) answers setAside, and the next look answers anew.
    for (int depth = 0; depth < 64; ++depth)
    {
        managed = managed || managedByWindowManager (display, window, wmState);

        if (attributes.map_state == IsUnmapped)
            return managed ? NativeWindowState::setAside : NativeWindowState::hidden;

        ::Window root = 0, parent = 0;
        ::Window* children = nullptr;
        unsigned int count = 0;

        if (x->xQueryTree (display, window, &root, &parent, &children, &count) == 0)
            break;

        if (children != nullptr)
            x->xFree (children);

        if (parent == 0 || parent == root)
            break;

        window = parent;

        if (x->xGetWindowAttributes (display, window, &attributes) == 0)
            break;
    }

    return NativeWindowState::setAside;
   #else
    juce::ignoreUnused (peer);
    return NativeWindowState::shown;
   #endif
}

bool nativeKeyboardFocusIsNowhere()
{
   #if JUCE_LINUX || JUCE_BSD
    auto* windowSystem = juce::XWindowSystem::getInstanceWithoutCreating();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr)
        return false;

    auto* x = juce::X11Symbols::getInstance();
    const juce::XWindowSystemUtilities::ScopedXLock lock;
    ::Window focus = 0;
    int revertTo = 0;
    x->xGetInputFocus (display, &focus, &revertTo);

    return focus == None || focus == PointerRoot || focus == x->xDefaultRootWindow (display);
   #else
    return false;
   #endif
}
