#include "PluginEditor.h"

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
