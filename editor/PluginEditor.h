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
// Shift-drags draw pen strokes, right-button drags pan, other drags select the
// scan interval (snapped to the grid), the wheel zooms; picture files dropped
// on it are loaded after a confirmation box.
class TargetArea  : public juce::Component,
                    public juce::FileDragAndDropTarget
{
public:
    explicit TargetArea (KestruneAudioProcessor&);
    ~TargetArea() override;

    void mouseDown (const juce::MouseEvent&) override;
    void mouseDrag (const juce::MouseEvent&) override;
    void mouseUp (const juce::MouseEvent&) override;
    void mouseDoubleClick (const juce::MouseEvent&) override;
    void mouseWheelMove (const juce::MouseEvent&, const juce::MouseWheelDetails&) override;
    void paint (juce::Graphics&) override;

    bool isInterestedInFileDrag (const juce::StringArray& files) override;
    void filesDropped (const juce::StringArray& files, int x, int y) override;

    // Snaps the selection's moving end to the right edge of the grid cell
    // under the pointer (strictly inside a cell) and sets the interval.
    void findIntervalAndSet (const juce::MouseEvent&);

    // Appends one burst of spray dots (component pixels) around `centre`.
    void sprayCreate (std::vector<juce::Point<float>>& points, juce::Point<float> centre);

    juce::Point<float> startPoint, currentPoint;      // component pixels
    std::vector<juce::Point<float>> strokePoints;     // fractions of the canvas size
    std::vector<juce::Point<float>> sprayPoints;      // component pixels
    bool drawing = false, rangeSelecting = false, panning = false;
    KestruneAudioProcessor& audioProcessor;

private:
    void paintRecordingScreen (juce::Graphics&);
    void paintShapePreview (juce::Graphics&);

    // Sets a parameter as the host sees a change of ours; a value that is not
    // a finite number is never passed on.
    void setParameterFromGesture (const juce::String& parameterID, double plainValue);

    // Opens one confirmation box for a dropped path; its answer loads the
    // path only while this canvas still exists.
    void askHowToLoad (const juce::String& path);

    // The picture painted last, painted again while the worker is handing
    // over a new one.
    FinishedPicture::ForDisplay shownPicture;

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
