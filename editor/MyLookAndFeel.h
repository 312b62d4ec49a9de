#pragma once

#include <JuceHeader.h>
#include "SharedTables.h"

// The editor's accent colour and the panels' background.
inline const juce::Colour mainColour { 0xff20b2aa };    // juce::Colours::lightseagreen
inline const juce::Colour myPanelColour { 0xff282828 };

//==============================================================================
// The knobs' look-and-feel: each knob owns one. Draws a pointer wedge at the
// value's angle, a dark disc over the face, the value as text and an outline
// arc along the whole travel; `compactStyle` gives a long wedge and no text.
class OlvLookAndFeel  : public juce::LookAndFeel_V4
{
public:
    OlvLookAndFeel() = default;
    ~OlvLookAndFeel() override = default;

    void drawRotarySlider (juce::Graphics&, int x, int y, int width, int height,
                           float sliderPos, float rotaryStartAngle, float rotaryEndAngle,
                           juce::Slider&) override;

    juce::Button* createSliderButton (juce::Slider&, bool isIncrement) override;

    bool compactStyle = false;

private:
    JUCE_DECLARE_NON_COPYABLE (OlvLookAndFeel)
};

//==============================================================================
// The panels' look-and-feel for combo boxes, their menus and linear sliders.
// Keeps V4's dark scheme for everything it does not draw itself.
class MyLookAndFeel  : public juce::LookAndFeel_V4
{
public:
    MyLookAndFeel() = default;
    ~MyLookAndFeel() override = default;

    void drawButtonBackground (juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                               bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown) override;

    juce::Font getPopupMenuFont() override;

    void drawComboBox (juce::Graphics&, int width, int height, bool isButtonDown,
                       int buttonX, int buttonY, int buttonW, int buttonH, juce::ComboBox&) override;
    juce::Font getComboBoxFont (juce::ComboBox&) override;
    void positionComboBoxText (juce::ComboBox&, juce::Label&) override;

    void drawRotarySlider (juce::Graphics&, int x, int y, int width, int height,
                           float sliderPos, float rotaryStartAngle, float rotaryEndAngle,
                           juce::Slider&) override;

    juce::Label* createSliderTextBox (juce::Slider&) override;

private:
    JUCE_DECLARE_NON_COPYABLE (MyLookAndFeel)
};
