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
// The live spectrum under the canvas: the input or the filtered signal (the
// processor's spectrumMode) with held peaks, and the gains of the picture
// column being played. A 16 ms timer takes what the audio thread hands over
// through two flags; a double-click cycles the mode.
class SpectrumView  : public juce::Component,
                      public juce::Timer
{
public:
    explicit SpectrumView (KestruneAudioProcessor&);
    ~SpectrumView() override;

    void mouseDoubleClick (const juce::MouseEvent&) override;
    void paint (juce::Graphics&) override;
    void resized() override;
    void timerCallback() override;

    // Windows and transforms the frame in the processor's fftData (the caller
    // holds it through nextFFTBlockReady) into the held levels.
    void drawNextFrameOfSpectrum();

    static constexpr int scopeSize = 256;
    static constexpr int fftOrder = 11;
    static constexpr int fftSize = 1 << fftOrder;

    KestruneAudioProcessor& audioProcessor;
    juce::dsp::FFT forwardFFT { fftOrder };
    juce::dsp::WindowingFunction<float> window { (size_t) fftSize, juce::dsp::WindowingFunction<float>::hann, true };
    float scopeData[scopeSize] {};
    float columnData[fftSize] {};
    juce::Label spectrumLabel;
    float peakHold[scopeSize] {};

private:
    // Rows of the current output picture (0 without one), as the processor
    // last published them; never more than columnData holds.
    int outputRows() const noexcept;

    JUCE_DECLARE_NON_COPYABLE (SpectrumView)
};

//==============================================================================
// The full-screen picture window opened with Ctrl+Return: a second canvas
// frame on the same processor, always on top. Its close button runs onClose,
// which the editor sets to destroy the window.
class SeparateImageWindow  : public juce::DocumentWindow,
                             public juce::Timer
{
public:
    explicit SeparateImageWindow (KestruneAudioProcessor&);
    ~SeparateImageWindow() override;

    void paint (juce::Graphics&) override;
    void closeButtonPressed() override;
    void timerCallback() override;

    // Puts the window back over the whole of its display when it reaches
    // past it, so that the title bar and its close button stay on screen.
    // Keys typed into this window do not reach the editor, so the close
    // button is the way out; without a window manager nothing else would
    // pull the window back.
    void keepTitleBarOnScreen();

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
    bool keyPressed (const juce::KeyPress& key) override;
    void resized() override;

private:
    KestruneAudioProcessor& audioProcessor;
    std::unique_ptr<SeparateImageWindow> separateWindow;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KestruneAudioProcessorEditor)
};
