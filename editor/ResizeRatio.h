#pragma once

// The editor's width divided by 950, written by the most recent layout of any
// editor (defined in PluginEditor.cpp) and read by the panels, the knobs and
// their look-and-feel to scale rows and fonts. Declared here on its own so the
// panels and look-and-feels need not include the editor's header.
extern float globalResizeRatio;
