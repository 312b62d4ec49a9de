#include "Panels.h"

//==============================================================================
// Knob
CustomRoratySlider::CustomRoratySlider() = default;
CustomRoratySlider::~CustomRoratySlider() = default;

//==============================================================================
// Transform panel
AffineTransformPanel::AffineTransformPanel (KestruneAudioProcessor& p) : processor (p) {}
AffineTransformPanel::~AffineTransformPanel() = default;
void AffineTransformPanel::paint (juce::Graphics&) {}
void AffineTransformPanel::resized() {}

//==============================================================================
// Image panel
ImageManupulationPanel::ImageManupulationPanel (KestruneAudioProcessor& p) : processor (p) {}
ImageManupulationPanel::~ImageManupulationPanel() = default;
void ImageManupulationPanel::paint (juce::Graphics&) {}
void ImageManupulationPanel::resized() {}

//==============================================================================
// Scan panel
ScanPanel::ScanPanel (KestruneAudioProcessor& p) : processor (p) {}
ScanPanel::~ScanPanel() = default;
void ScanPanel::paint (juce::Graphics&) {}
void ScanPanel::resized() {}
