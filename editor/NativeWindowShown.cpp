// JUCE's window module with its X11 declarations, for this file only
// (Xlib's macros clash with names in other modules); it is built without the
// precompiled JUCE header.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>

#include "NativeWindowShown.h"

bool nativeWindowShown (juce::ComponentPeer& peer)
{
   #if JUCE_LINUX || JUCE_BSD
    auto* windowSystem = juce::XWindowSystem::getInstanceWithoutCreating();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr)
        return true;

    XWindowAttributes attributes {};
    const juce::XWindowSystemUtilities::ScopedXLock lock;

    if (juce::X11Symbols::getInstance()->xGetWindowAttributes (display, (::Window) peer.getNativeHandle(), &attributes) == 0)
        return false;

    return attributes.map_state == IsViewable;
   #else
    juce::ignoreUnused (peer);
    return true;
   #endif
}
