#pragma once

namespace juce { class ComponentPeer; }

// True when the windowing system shows the peer's window. On X11 that is a
// window mapped with every window above it mapped: a host may unmap its own
// window, which holds the plug-in's, to hide the plug-in without telling it,
// and JUCE, which ignores unmapping, still calls the plug-in's view showing.
// Elsewhere JUCE's own answer stands, and this is true.
bool nativeWindowShown (juce::ComponentPeer& peer);
