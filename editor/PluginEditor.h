#pragma once

#include <JuceHeader.h>
#include "SharedTables.h"
#include "PluginProcessor.h"
#include "Panels.h"
#include "ResizeRatio.h"
#include "ShowingWatcher.h"

// globalResizeRatio (ResizeRatio.h): the editor's width divided by 950,
// written by the most recent layout of any editor. 0 until the first editor
// lays itself out. The panels and knobs scale by their own window's ratio
// (resizeRatioFor).

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

    // The canvas points whose screen pixels, at `scale` pixels per point, all
    // lie inside `pixels` (where the translucent fill is left out under the
    // opaque part of the picture's copy).
    static juce::Rectangle<int> pointsWithin (juce::Rectangle<int> pixels, float scale);

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

    // The rows the last paint drew the column curve for (-1 before the first).
    int rowsPainted = -1;

    // The black ground with the spectrum curve and its shadow, as last drawn,
    // and the levels and pixel scale it was drawn for. While only the played
    // column changes (a wide picture scanning through silence or a held
    // note), a paint lays this on and draws the column curve alone.
    juce::Image spectrumLayer;
    float spectrumLayerLevels[scopeSize] {};
    float spectrumLayerScale = 0.0f;

    JUCE_DECLARE_NON_COPYABLE (SpectrumView)
};

//==============================================================================
// The full-screen picture window opened with Ctrl+Return: a second canvas
// frame on the same processor, always on top. Its close button runs onClose,
// which the editor sets to destroy the window. It is drawn at the scale it
// is given (the editor's, as the host scales it): its title bar, its close
// button and its canvas as large as the editor's controls.
class SeparateImageWindow  : public juce::DocumentWindow,
                             public juce::Timer
{
public:
    explicit SeparateImageWindow (KestruneAudioProcessor&, float scale = 1.0f);
    ~SeparateImageWindow() override;

    void paint (juce::Graphics&) override;
    void closeButtonPressed() override;
    void maximiseButtonPressed() override;
    void moved() override;
    void timerCallback() override;
    float getDesktopScaleFactor() const override;

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
    // JUCE lays a full-screen window over its display's area counted in the
    // window's own units, which at a scale of its own are not the screen's
    // (at 2 it would reach twice past the screen): this lays it over the area.
    void coverDisplay();

    const float scale;

    // Times the window was put back over its display after a window manager
    // moved it off (a bound, should a manager insist on its own place).
    int timesPutBack = 0;

    JUCE_DECLARE_NON_COPYABLE (SeparateImageWindow)
};

//==============================================================================
// The plug-in window: the canvas frame above the spectrum view in a left
// column with their captions and axis arrows, and the transform, image and
// scan panels side by side on the right, the scan panel above three buttons.
// Its size is kept in the "lastSizeMainWindow" child of the processor's state.
class KestruneAudioProcessorEditor  : public juce::AudioProcessorEditor
{
public:
    explicit KestruneAudioProcessorEditor (KestruneAudioProcessor&);
    ~KestruneAudioProcessorEditor() override;

    void paint (juce::Graphics&) override;
    bool keyPressed (const juce::KeyPress& key) override;
    void resized() override;

    // "Open Img": a new file chooser, replacing one whose dialog may still be
    // open, launched without blocking; its result goes to imageChosen.
    void openImage();

    // The open dialog's result: a picked file is loaded with the parameters
    // kept (a file that does not decode leaves no picture, as any load); an
    // empty result (the dialog cancelled) does nothing.
    void imageChosen (const juce::File& result);

    // The ratio this window's panels and knobs scale by: the width it is laid
    // out at divided by 950 (0 before its first layout).
    float resizeRatio() const noexcept  { return ownResizeRatio; }

    // A file dropped on the window: a box it brings up is the window's, and
    // the window takes the keys back when it goes.
    void noteDroppedFile() noexcept  { showingWatcher.noteInputHere(); }

    // The size limits and the aspect ratio the window keeps.
    static constexpr int defaultWidth = 950;
    static constexpr int minimumWidth = 760, minimumHeight = 427;
    static constexpr int maximumWidth = 1187, maximumHeight = 667;
    static constexpr double aspectRatio = 16.0 / 9.0;

    KestruneAudioProcessor& audioProcessor;
    ParentTargetArea parentTargetArea;
    juce::Label spectrumFreqLabel, spectrumDbLabel, imageFreqLabel, imageFrameLabel;
    juce::TooltipWindow tooltipWindow;
    SpectrumView spectrumView;
    AffineTransformPanel affineTransformPanel;
    ImageManupulationPanel imageManupulationPanel;
    ScanPanel scanPanel;
    juce::TextButton resetDrawingButton, resetAllButton, openImageButton;
    std::unique_ptr<juce::FileChooser> imageChooser;
    std::unique_ptr<SeparateImageWindow> separateWindow;

private:
    // The size the state holds ("lastSizeMainWindow"); the defaults where it holds none.
    juce::Rectangle<int> sizeInState();

    // A restore while the window is open: the window takes the restored size,
    // as a window opened then would.
    struct RestoreListener  : juce::ChangeListener
    {
        explicit RestoreListener (KestruneAudioProcessorEditor& editor);
        ~RestoreListener() override;
        void changeListenerCallback (juce::ChangeBroadcaster*) override;

        KestruneAudioProcessorEditor& editor;
    };

    RestoreListener restoreListener { *this };

    // Closes the separate window, if open, and gives the keys back to this
    // window while it shows.
    void closeSeparateWindow();

    // Takes the keys when the window comes on screen (and when a list, menu
    // or dialog it opened goes: ShowingWatcher); closes the separate window
    // when the host hides or closes it (a host may hide the window instead of
    // closing it, which would leave the full-screen window up on its own),
    // but not when the window is minimised or on another workspace, from
    // where it comes back as it was.
    void showingChanged (ShowingWatcher::State);
    ShowingWatcher showingWatcher { *this, [this] (ShowingWatcher::State state) { showingChanged (state); } };

    // Where the last layout put the window's content: the size laid out and
    // how much smaller it is drawn (see kestrune::windowfit).
    int layoutWidth = 0, layoutHeight = 0;
    float layoutScale = 1.0f;
    float ownResizeRatio = 0.0f;

    // A size a host set without asking: the window asks it once for the size
    // it answers instead, if the host still gives that size a moment later
    // (a host that keeps its own size is not asked again).
    juce::Rectangle<int> sizeAskedAbout;
    static constexpr int askDelayMilliseconds = 150;
    void askHostForAllowedSize (juce::Rectangle<int> given, int width, int height);

    // The request waiting for its moment (a newer one replaces it); it goes
    // with the window.
    struct SizeRequest : juce::Timer
    {
        explicit SizeRequest (KestruneAudioProcessorEditor& e) : editor (e) {}
        void timerCallback() override;

        KestruneAudioProcessorEditor& editor;
        juce::Rectangle<int> given;
        int width = 0, height = 0;
    };

    SizeRequest sizeRequest { *this };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KestruneAudioProcessorEditor)
};
