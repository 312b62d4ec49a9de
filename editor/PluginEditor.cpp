#include "PluginEditor.h"

float globalResizeRatio = 0.0f;

//==============================================================================
// Canvas
TargetArea::TargetArea (KestruneAudioProcessor& p) : audioProcessor (p) {}
TargetArea::~TargetArea() = default;
void TargetArea::paint (juce::Graphics&) {}
bool TargetArea::isInterestedInFileDrag (const juce::StringArray&) { return false; }
void TargetArea::filesDropped (const juce::StringArray&, int, int) {}

//==============================================================================
// Canvas frame
ParentTargetArea::ParentTargetArea (KestruneAudioProcessor& p) : audioProcessor (p), targetArea (p)
{
    addAndMakeVisible (targetArea);
}
ParentTargetArea::~ParentTargetArea() = default;
void ParentTargetArea::paint (juce::Graphics&) {}
void ParentTargetArea::resized() {}
void ParentTargetArea::timerCallback() {}

//==============================================================================
// Spectrum view
SpectrumView::SpectrumView (KestruneAudioProcessor& p) : audioProcessor (p) {}
SpectrumView::~SpectrumView() = default;
void SpectrumView::paint (juce::Graphics&) {}
void SpectrumView::resized() {}
void SpectrumView::timerCallback() {}

//==============================================================================
// Separate image window
SeparateImageWindow::SeparateImageWindow (KestruneAudioProcessor& p)
    : juce::DocumentWindow ({}, juce::Colours::limegreen, juce::DocumentWindow::allButtons, true),
      audioProcessor (p), parentTargetArea (p)
{
}
SeparateImageWindow::~SeparateImageWindow() = default;
void SeparateImageWindow::timerCallback() {}

//==============================================================================
// Editor
KestruneAudioProcessorEditor::KestruneAudioProcessorEditor (KestruneAudioProcessor& p)
    : AudioProcessorEditor (&p), audioProcessor (p)
{
    setSize (950, 534);
}

KestruneAudioProcessorEditor::~KestruneAudioProcessorEditor() = default;

void KestruneAudioProcessorEditor::paint (juce::Graphics& g)
{
    g.fillAll (generalColour);
}

void KestruneAudioProcessorEditor::resized() {}
