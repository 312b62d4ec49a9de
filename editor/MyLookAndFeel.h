#pragma once

#include <JuceHeader.h>
#include "SharedTables.h"

// The editor's accent colour and the panels' background.
inline const juce::Colour mainColour { 0xff20b2aa };    // juce::Colours::lightseagreen
inline const juce::Colour myPanelColour { 0xff282828 };

//==============================================================================
// The knobs' look-and-feel: each knob owns one.
class OlvLookAndFeel  : public juce::LookAndFeel_V4
{
public:
    OlvLookAndFeel() = default;
    ~OlvLookAndFeel() override = default;

    bool compactStyle = false;

private:
    JUCE_DECLARE_NON_COPYABLE (OlvLookAndFeel)
};

//==============================================================================
// The panels' look-and-feel for combo boxes, their menus and linear sliders.
class MyLookAndFeel  : public juce::LookAndFeel_V4
{
public:
    MyLookAndFeel() = default;
    ~MyLookAndFeel() override = default;

private:
    JUCE_DECLARE_NON_COPYABLE (MyLookAndFeel)
};
