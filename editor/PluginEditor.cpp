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
namespace
{
    // The largest width or height taken from a stored size: far above any
    // screen, and small enough that the layout arithmetic cannot overflow
    // before the constrainer brings a stored size inside the limits.
    constexpr int largestStoredDimension = 8192;

    // A stored width or height as a whole number of pixels. Numbers and
    // numeric text lose their fractional part; text that is no number reads
    // 0; a missing property, infinity or NaN takes the default.
    int storedDimension (const juce::ValueTree& tree, const juce::Identifier& name, int defaultValue)
    {
        if (! tree.hasProperty (name))
            return defaultValue;

        const auto& value = tree.getProperty (name);
        const auto number = value.isString() ? value.toString().getDoubleValue() : (double) value;

        if (! std::isfinite (number))
            return defaultValue;

        return (int) juce::jlimit (0.0, (double) largestStoredDimension, std::trunc (number));
    }
}

KestruneAudioProcessorEditor::KestruneAudioProcessorEditor (KestruneAudioProcessor& p)
    : AudioProcessorEditor (&p),
      audioProcessor (p),
      parentTargetArea (p),
      spectrumFreqLabel ({}, {}),
      spectrumDbLabel ({}, {}),
      imageFreqLabel ({}, {}),
      imageFrameLabel ({}, {}),
      tooltipWindow (nullptr, 700),
      spectrumView (p),
      affineTransformPanel (p),
      imageManupulationPanel (p),
      scanPanel (p)
{
    for (auto* child : std::initializer_list<juce::Component*> {
             &parentTargetArea, &spectrumView, &affineTransformPanel, &imageManupulationPanel, &scanPanel,
             &resetDrawingButton, &spectrumFreqLabel, &spectrumDbLabel, &imageFreqLabel, &imageFrameLabel,
             &resetAllButton, &openImageButton })
        addAndMakeVisible (child);

    // Click handlers, in this order: reset all, reset drawing, open. The
    // processor hands the pictures over; what the user sees changes once
    // the next audio block has adopted them.
    resetAllButton.onClick = [this] { audioProcessor.resetAll(); };
    resetDrawingButton.onClick = [this] { audioProcessor.resetDrawing(); };
    openImageButton.onClick = [this] { openImage(); };

    openImageButton.setButtonText ("Open Img");
    resetAllButton.setButtonText ("Reset All");
    resetDrawingButton.setButtonText ("Reset Drawing");

    spectrumFreqLabel.setText ("f r e q", juce::dontSendNotification);
    spectrumDbLabel.setText ("d B", juce::dontSendNotification);
    imageFreqLabel.setText ("f r e q", juce::dontSendNotification);
    imageFrameLabel.setText ("f f t   f r a m e", juce::dontSendNotification);

    for (auto* button : { &resetAllButton, &resetDrawingButton, &openImageButton })
    {
        button->setColour (juce::TextButton::textColourOffId, mainColour);
        button->setColour (juce::TextButton::textColourOnId, juce::Colour (0xff000000));
        button->setColour (juce::TextButton::buttonColourId, juce::Colour (0x00000000));
        button->setColour (juce::TextButton::buttonOnColourId, mainColour);
    }

    for (auto* label : { &spectrumFreqLabel, &spectrumDbLabel, &imageFreqLabel, &imageFrameLabel })
    {
        label->setJustificationType (juce::Justification::centred);
        label->setColour (juce::Label::textColourId, mainColour);
    }

    // The size the window had when it was last laid out. The default height
    // is 950 * 9 / 16 with its fraction dropped.
    const auto stored = sizeChild();
    setSize (storedDimension (stored, "width", defaultWidth),
             storedDimension (stored, "height", (int) (defaultWidth * 9.0 / 16.0)));

    setResizable (true, true);
    getConstrainer()->setFixedAspectRatio (aspectRatio);

    // Applies the limits to the current bounds as well, which brings a stored
    // size outside them or off the ratio back inside (and lays out again).
    setResizeLimits (minimumWidth, minimumHeight, maximumWidth, maximumHeight);

    setBufferedToImage (true);
}

KestruneAudioProcessorEditor::~KestruneAudioProcessorEditor() = default;

juce::ValueTree KestruneAudioProcessorEditor::sizeChild()
{
    auto& root = audioProcessor.apvts.state;

    if (! root.isValid())
        return {};

    return root.getOrCreateChildWithName ("lastSizeMainWindow", nullptr);
}

void KestruneAudioProcessorEditor::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xff141414));

    // Axis arrows beside and under the canvas frame and the spectrum view.
    g.setColour (mainColour);

    for (auto* area : std::initializer_list<juce::Component*> { &parentTargetArea, &spectrumView })
    {
        const auto x = (float) area->getX(), y = (float) area->getY();
        const auto w = (float) area->getWidth(), h = (float) area->getHeight();

        g.drawArrow ({ x - 4.0f, y + h + 5.0f, x - 4.0f, y }, 1.0f, 10.0f, 10.0f);
        g.drawArrow ({ x - 4.0f, y + h + 4.0f, x + w, y + h + 4.0f }, 1.0f, 10.0f, 10.0f);
    }

    g.setColour (juce::Colour (0xff808080));
    g.drawFittedText ("Ver: " + juce::String (JucePlugin_VersionString),
                      { 0, getHeight() - 15, 70, 15 }, juce::Justification::centred, 1);
}

void KestruneAudioProcessorEditor::resized()
{
    const auto W = getWidth(), H = getHeight();

    globalResizeRatio = (float) (W / 950.0);

    if (auto size = sizeChild(); size.isValid())
    {
        size.setProperty ("width", W, nullptr);
        size.setProperty ("height", H, nullptr);
    }

    // Left column (canvas over spectrum) and right part (panels and buttons).
    const auto L = std::min (W, H);
    const auto R = W - L;
    const auto T = std::min (H, (int) (H * 12 * 0.0625));
    const auto B = H - T;
    const auto c = std::min (L, 20);

    const auto rotatedUpward = [] (int pivotX, int pivotY)
    {
        return juce::AffineTransform::rotation (-1.57f, (float) pivotX, (float) pivotY);
    };

    imageFreqLabel.setBounds (0, T, T, 15);
    imageFreqLabel.setTransform (rotatedUpward (0, T));
    imageFrameLabel.setBounds (c, T - std::min (T, 20), L - c, std::min (T, 20));
    parentTargetArea.setBounds (c, 0, L - c, T - std::min (T, 20));
    spectrumFreqLabel.setBounds (c, H - std::min (B, 20), L - c, std::min (B, 20));
    spectrumView.setBounds (c, T, L - c, B - std::min (B, 20));
    spectrumDbLabel.setBounds (0, H - std::min (B, 20), B - std::min (B, 20), 15);
    spectrumDbLabel.setTransform (rotatedUpward (0, H - std::min (B, 20)));

    // Right part: transform, image and scan panels, each inset by 3 pixels,
    // and the three buttons under the scan panel, each inset by 2.
    const auto a = std::min (R / 5, R);
    affineTransformPanel.setBounds (L + 3, 3, std::max (a - 6, 0), std::max (H - 6, 0));

    const auto i = std::min ((int) ((R / 5) * 1.75), R - a);
    imageManupulationPanel.setBounds (L + a + 3, 3, std::max (i - 6, 0), std::max (H - 6, 0));

    const auto sH = std::min (H, (int) ((float) W / -950.0f * 40.0f + (float) H));
    const auto hb = H - sH;
    const auto r = R - a - i;
    scanPanel.setBounds (L + a + i + 3, 3, std::max (r - 6, 0), std::max (sH - 6, 0));

    const auto x0 = L + a + i;
    const auto b1 = std::min (r / 3, r);
    const auto b2 = std::min ((r - b1) / 2, r - b1);
    const auto b3 = r - b1 - b2;
    resetAllButton.setBounds (x0 + 2, sH + 2, std::max (b1 - 4, 0), std::max (hb - 4, 0));
    resetDrawingButton.setBounds (x0 + b1 + 2, sH + 2, std::max (b2 - 4, 0), std::max (hb - 4, 0));
    openImageButton.setBounds (x0 + b1 + b2 + 2, sH + 2, std::max (b3 - 4, 0), std::max (hb - 4, 0));
}

//==============================================================================
// Open button
void KestruneAudioProcessorEditor::openImage()
{
    imageChooser = std::make_unique<juce::FileChooser> ("Select a Wave file to play...", juce::File(),
                                                        "*.png;*.jpg;*.jpeg;*.bmp;*.PNG", true, false, nullptr);

    // The chooser goes with the editor, and a dialog library may still
    // deliver its result after that: the result is taken only while this
    // editor (and so its processor) is there.
    imageChooser->launchAsync (juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles,
                               [editor = juce::Component::SafePointer<KestruneAudioProcessorEditor> (this)]
                               (const juce::FileChooser& chooser)
                               {
                                   if (editor != nullptr)
                                       editor->imageChosen (chooser.getResult());
                               });
}

void KestruneAudioProcessorEditor::imageChosen (const juce::File& result)
{
    const auto path = result.getFullPathName();

    if (path.isNotEmpty())
        audioProcessor.loadFile (path, true);
}

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
