#include "PluginEditor.h"

#include <cmath>

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
namespace
{
    // 20 log10 of the full-scale magnitude of a 2048-point transform: refers
    // the levels to a full-scale input.
    constexpr float spectrumFullScaleDb = 66.22659f;
}

SpectrumView::SpectrumView (KestruneAudioProcessor& p) : audioProcessor (p)
{
    setBufferedToImage (true);

    addAndMakeVisible (spectrumLabel);
    spectrumLabel.setColour (juce::Label::textColourId, juce::Colours::orange);
    spectrumLabel.setText ("Spectrum", juce::dontSendNotification);

    startTimer (16);
}

SpectrumView::~SpectrumView()
{
    stopTimer();
}

void SpectrumView::resized()
{
    spectrumLabel.setBounds ((getWidth() - 70) / 2, 4, 70, 20);
}

void SpectrumView::mouseDoubleClick (const juce::MouseEvent&)
{
    auto& mode = audioProcessor.spectrumMode;
    mode.store (juce::negativeAwareModulo (mode.load() + 1, 3));
}

int SpectrumView::outputRows() const noexcept
{
    return juce::jlimit (0, fftSize, audioProcessor.outputImageHeight.load (std::memory_order_acquire));
}

void SpectrumView::timerCallback()
{
    auto& p = audioProcessor;

    // The audio thread writes fftData and playedColumn only while their flags
    // are down, and raises a flag (release) once its data is complete; the
    // data is read here only after the flag is seen raised (acquire), and the
    // flag goes down (release) only when the data is no longer used.
    if (p.nextFFTBlockReady.load (std::memory_order_acquire))
    {
        drawNextFrameOfSpectrum();
        p.nextFFTBlockReady.store (false, std::memory_order_release);
        repaint();
    }

    if (p.nextColumnReady.load (std::memory_order_acquire))
    {
        const auto rows = outputRows();

        if (rows > 0)
            std::copy (p.playedColumn, p.playedColumn + rows, columnData);

        p.nextColumnReady.store (false, std::memory_order_release);
        repaint();
    }
}

void SpectrumView::drawNextFrameOfSpectrum()
{
    auto* data = audioProcessor.fftData;

    window.multiplyWithWindowingTable (data, (size_t) fftSize);
    forwardFFT.performFrequencyOnlyForwardTransform (data);

    const auto decay = audioProcessor.spectrumMode.load() == 1 ? 0.05f : 0.01f;

    for (int i = 0; i < scopeSize; ++i)
    {
        // Logarithmic frequency axis: more points for the low bins.
        const auto skew = 1.0f - std::exp (std::log (1.0f - (float) i / (float) scopeSize) * 0.2f);
        const auto index = juce::jlimit (0, fftSize / 2, (int) (skew * (float) fftSize * 0.5f));
        const auto magnitude = data[index];

        // A magnitude that is not above 0 (silence, or NaN) reads -100 dB.
        const auto db = magnitude > 0.0f ? juce::jmax (-100.0f, 20.0f * std::log10 (magnitude)) : -100.0f;
        const auto level = juce::jlimit (0.0f, 1.0f, (db - spectrumFullScaleDb + 100.0f) / 100.0f);

        if (level > peakHold[i])
            peakHold[i] = level;
        else if (peakHold[i] > 0.0f)
            peakHold[i] -= decay;

        scopeData[i] = peakHold[i];
    }
}

void SpectrumView::paint (juce::Graphics& g)
{
    const auto w = getWidth();
    const auto h = getHeight();
    const auto fh = (float) h;
    const juce::PathStrokeType stroke (1.5f, juce::PathStrokeType::beveled, juce::PathStrokeType::butt);

    g.fillAll (juce::Colour (0xff000000));

    {
        juce::Path spectrum;
        spectrum.startNewSubPath (10.0f, fh);

        for (int j = 1; j < scopeSize; ++j)
            spectrum.lineTo ((float) (10 + (j * (w - 20)) / (scopeSize - 1)), fh - scopeData[j] * fh);

        spectrum.lineTo ((float) (w - 10), fh);

        g.setColour (juce::Colours::orange);
        g.strokePath (spectrum, stroke);
        juce::DropShadow (juce::Colours::orange.withAlpha ((juce::uint8) 0x80), 1, {}).drawForPath (g, spectrum);
    }

    {
        const auto rows = outputRows();

        juce::Path column;
        column.startNewSubPath (10.0f, fh);

        if (rows >= 2)
            for (int k = 1; k < rows; ++k)
                column.lineTo ((float) (10 + (k * (w - 20)) / rows), fh - columnData[k] * fh);

        column.lineTo ((float) (w - 10), fh);

        g.setColour (juce::Colours::lightgreen);
        g.strokePath (column, stroke);
        juce::DropShadow (juce::Colours::lightgreen.withAlpha ((juce::uint8) 0x33), 1, {}).drawForPath (g, column);
    }

    g.setColour (juce::Colour (0xff808080));
    g.drawRoundedRectangle (getLocalBounds().toFloat(), 2.0f, 1.0f);
}

//==============================================================================
// Separate image window
SeparateImageWindow::SeparateImageWindow (KestruneAudioProcessor& p)
    : juce::DocumentWindow ({}, juce::Colours::limegreen, juce::DocumentWindow::allButtons, true),
      audioProcessor (p), parentTargetArea (p)
{
    setContentNonOwned (&parentTargetArea, false);
    setContentComponentSize (1000, 600);
    setResizable (true, true);
    startTimer (30);
    setFullScreen (true);
}

SeparateImageWindow::~SeparateImageWindow()
{
    stopTimer();
}

void SeparateImageWindow::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xff000000));
}

void SeparateImageWindow::closeButtonPressed()
{
    if (onClose)
        onClose();
}

void SeparateImageWindow::timerCallback()
{
    repaint();
}

void SeparateImageWindow::keepTitleBarOnScreen()
{
    const auto* display = juce::Desktop::getInstance().getDisplays().getDisplayForRect (getScreenBounds());

    if (display == nullptr || display->userArea.contains (getScreenBounds()))
        return;

    // First bring the window inside the display, so that leaving full screen
    // later (the maximise button) returns it there and not past the edge.
    const auto area = display->userArea;

    if (isFullScreen())
        setFullScreen (false);

    setBounds (getBounds().constrainedWithin (area));
    setFullScreen (true);
}

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

//==============================================================================
// Keyboard shortcuts: Shift+Z undoes a pen stroke, Shift+X redoes it, and
// Ctrl+Return opens or closes the separate picture window. The modifiers are
// the ones held now; others held with them are ignored.
bool KestruneAudioProcessorEditor::keyPressed (const juce::KeyPress& key)
{
    const auto held = juce::ModifierKeys::currentModifiers;
    const auto code = key.getKeyCode();

    if (code == juce::KeyPress::returnKey)
    {
        if (! held.isCtrlDown())
            return false;

        if (separateWindow != nullptr)
        {
            separateWindow.reset();
            return true;
        }

        separateWindow = std::make_unique<SeparateImageWindow> (audioProcessor);
        separateWindow->setAlwaysOnTop (true);
        separateWindow->setTopLeftPosition (40, 40);
        separateWindow->setVisible (true);
        separateWindow->keepTitleBarOnScreen();

        // The close button calls this from inside its own click, so the window
        // goes once that click has returned. By then the editor may be gone, or
        // this window already closed (Ctrl+Return) and another one open.
        separateWindow->onClose = [editor = juce::Component::SafePointer<KestruneAudioProcessorEditor> (this),
                                   window = juce::Component::SafePointer<SeparateImageWindow> (separateWindow.get())]
        {
            juce::MessageManager::callAsync ([editor, window]
            {
                if (editor != nullptr && window != nullptr && editor->separateWindow.get() == window.getComponent())
                    editor->separateWindow.reset();
            });
        };

        return true;
    }

    if (code == 'X')
    {
        if (! held.isShiftDown())
            return false;

        audioProcessor.redoStroke();
        return true;
    }

    if (code == 'Z')
    {
        if (! held.isShiftDown())
            return false;

        audioProcessor.undoStroke();
        return true;
    }

    return false;
}
