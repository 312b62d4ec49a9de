#pragma once

#include <JuceHeader.h>
#include "SharedTables.h"
#include "MyLookAndFeel.h"
#include "PluginProcessor.h"

//==============================================================================
// The rotary knob of all three panels.
class CustomRoratySlider  : public juce::Slider
{
public:
    CustomRoratySlider();
    ~CustomRoratySlider() override;

    OlvLookAndFeel olvLookAndFeel;
    juce::String caption;

private:
    JUCE_DECLARE_NON_COPYABLE (CustomRoratySlider)
};

//==============================================================================
// The "AFFINE" panel.
class AffineTransformPanel  : public juce::Component
{
public:
    explicit AffineTransformPanel (KestruneAudioProcessor&);
    ~AffineTransformPanel() override;

    void paint (juce::Graphics&) override;
    void resized() override;

private:
    KestruneAudioProcessor& processor;

    JUCE_DECLARE_NON_COPYABLE (AffineTransformPanel)
};

//==============================================================================
// The "IMAGE" panel.
class ImageManupulationPanel  : public juce::Component
{
public:
    explicit ImageManupulationPanel (KestruneAudioProcessor&);
    ~ImageManupulationPanel() override;

    void paint (juce::Graphics&) override;
    void resized() override;

private:
    KestruneAudioProcessor& processor;

    JUCE_DECLARE_NON_COPYABLE (ImageManupulationPanel)
};

//==============================================================================
// The "PLAY" panel.
class ScanPanel  : public juce::Component
{
public:
    explicit ScanPanel (KestruneAudioProcessor&);
    ~ScanPanel() override;

    void paint (juce::Graphics&) override;
    void resized() override;

private:
    KestruneAudioProcessor& processor;

    JUCE_DECLARE_NON_COPYABLE (ScanPanel)
};
