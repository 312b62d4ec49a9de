#pragma once

#include <JuceHeader.h>
#include "SharedTables.h"
#include "PluginProcessor.h"
#include "Panels.h"

// The editor's width divided by 950, written by the most recent layout of any
// editor and read by the panels and knobs to scale rows and fonts. 0 until the
// first editor lays itself out.
extern float globalResizeRatio;

//==============================================================================
// The canvas: the picture with the scan lines, the interval and the grid.
class TargetArea  : public juce::Component,
                    public juce::FileDragAndDropTarget
{
public:
    explicit TargetArea (KestruneAudioProcessor&);
    ~TargetArea() override;

    void paint (juce::Graphics&) override;

    bool isInterestedInFileDrag (const juce::StringArray& files) override;
    void filesDropped (const juce::StringArray& files, int x, int y) override;

private:
    KestruneAudioProcessor& audioProcessor;

    JUCE_DECLARE_NON_COPYABLE (TargetArea)
};

//==============================================================================
// The frame around the canvas: the interval strip above it and the 30 ms repaint.
class ParentTargetArea  : public juce::Component,
                          public juce::Timer
{
public:
    explicit ParentTargetArea (KestruneAudioProcessor&);
    ~ParentTargetArea() override;

    void paint (juce::Graphics&) override;
    void resized() override;
    void timerCallback() override;

    KestruneAudioProcessor& audioProcessor;
    TargetArea targetArea;

private:
    JUCE_DECLARE_NON_COPYABLE (ParentTargetArea)
};

//==============================================================================
// The live spectrum under the canvas.
class SpectrumView  : public juce::Component,
                      public juce::Timer
{
public:
    explicit SpectrumView (KestruneAudioProcessor&);
    ~SpectrumView() override;

    void paint (juce::Graphics&) override;
    void resized() override;
    void timerCallback() override;

private:
    KestruneAudioProcessor& audioProcessor;

    JUCE_DECLARE_NON_COPYABLE (SpectrumView)
};

//==============================================================================
// The full-screen picture window opened with Ctrl+Return.
class SeparateImageWindow  : public juce::DocumentWindow,
                             public juce::Timer
{
public:
    explicit SeparateImageWindow (KestruneAudioProcessor&);
    ~SeparateImageWindow() override;

    void timerCallback() override;

    std::function<void()> onClose;
    KestruneAudioProcessor& audioProcessor;
    ParentTargetArea parentTargetArea;

private:
    JUCE_DECLARE_NON_COPYABLE (SeparateImageWindow)
};

//==============================================================================
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
