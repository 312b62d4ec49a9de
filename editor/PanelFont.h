#pragma once

#include <JuceHeader.h>

// The scan panel writes its texts in Arial. Linux machines seldom have Arial,
// and a typeface that is not installed draws no glyphs at all there, so the
// panel asks for the first of these that is installed: Arial, then Liberation
// Sans (metric-compatible with Arial), then the system's default sans-serif.

// The choice among the installed typeface names given.
juce::String choosePanelTypeface (const juce::StringArray& installedTypefaces);

// The choice on this machine (looked up once).
juce::String panelTypefaceName();
