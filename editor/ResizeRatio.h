#pragma once

namespace juce { class Component; }

// The editor's width divided by 950, written by the most recent layout of any
// editor (defined in PluginEditor.cpp). Declared here on its own so the
// panels and look-and-feels need not include the editor's header.
extern float globalResizeRatio;

// The ratio by which a panel, a knob or a knob's look-and-feel scales its rows
// and fonts: that of the plug-in window it is in, so that two windows of
// different widths each keep their own; outside a window, globalResizeRatio.
float resizeRatioFor (const juce::Component&);
