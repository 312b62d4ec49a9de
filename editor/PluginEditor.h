#pragma once

#include <JuceHeader.h>
#include "PluginProcessor.h"

class KestruneAudioProcessorEditor  : public juce::AudioProcessorEditor
{
public:
    explicit KestruneAudioProcessorEditor (KestruneAudioProcessor&);
    ~KestruneAudioProcessorEditor() override;

    void paint (juce::Graphics&) override;
    void resized() override;

private:
    KestruneAudioProcessor& audioProcessor;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KestruneAudioProcessorEditor)
};
