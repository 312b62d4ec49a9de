#include "PluginEditor.h"

#include "PathShadow.h"
#include "WindowFit.h"

#include <cstring>
#include <cmath>

float globalResizeRatio = 0.0f;

float resizeRatioFor (const juce::Component& component)
{
    if (auto* window = component.findParentComponentOfClass<KestruneAudioProcessorEditor>())
        return window->resizeRatio();

    return globalResizeRatio;
}

//==============================================================================
// Canvas
namespace
{
    bool canvasShiftHeld()         { return juce::ModifierKeys::currentModifiers.isShiftDown(); }
    bool canvasRightButtonHeld()   { return juce::ModifierKeys::currentModifiers.isRightButtonDown(); }

    constexpr float sprayPenStyle = 6.0f;

    const juce::Colour scanLineGreen  { 0xff90ee90 };
    const juce::Colour scanLineYellow  { 0xffffff00 };
    const juce::Colour intervalBandRed     { 0xffff0000 };

    const char* const canvasHelpText = "Drawing : Shift + Left Mouse.\nUndo : shift + Z.\nRedo: Shift + X. ";

    // Left and right edge of grid cell i of n on a canvas w pixels wide.
    float gridCellLeft (int i, int w, int n)  { return (float) (i * w) / (float) n; }
    float gridCellRight (int i, int w, int n) { return (float) ((i + 1) * w) / (float) n; }
}

juce::Rectangle<int> TargetArea::pointsWithin (juce::Rectangle<int> pixels, float scale)
{
    const auto left = (int) std::ceil ((float) pixels.getX() / scale);
    const auto top = (int) std::ceil ((float) pixels.getY() / scale);
    const auto right = (int) std::floor ((float) pixels.getRight() / scale);
    const auto bottom = (int) std::floor ((float) pixels.getBottom() / scale);

    if (right <= left || bottom <= top)
        return {};

    return { left, top, right - left, bottom - top };
}

TargetArea::TargetArea (KestruneAudioProcessor& p) : audioProcessor (p)
{
    setWantsKeyboardFocus (true);
}

TargetArea::~TargetArea() = default;

void TargetArea::setParameterFromGesture (const juce::String& parameterID, double plainValue)
{
    const auto value = (float) plainValue;

    if (std::isfinite (value))
        audioProcessor.setParameterNotifyingHost (parameterID, value);
}

void TargetArea::mouseDown (const juce::MouseEvent& e)
{
    const int w = getWidth(), h = getHeight();

    // A canvas without area (a frame squeezed to its strip, or one being torn
    // down) has no coordinates to offer.
    if (w <= 0 || h <= 0)
        return;

    audioProcessor.showHelpText.store (false);

    const juce::Point<float> pos ((float) e.x, (float) e.y);
    startPoint = currentPoint = pos;
    strokePoints.clear();
    strokePoints.push_back ({ pos.x / (float) w, pos.y / (float) h });

    if (audioProcessor.penStyleValue->load() == sprayPenStyle)
    {
        sprayPoints.clear();
        sprayCreate (sprayPoints, startPoint);
    }

    if (canvasShiftHeld())
    {
        drawing = true;
        return;
    }

    if (canvasRightButtonHeld())
    {
        panning = true;
        return;
    }

    rangeSelecting = true;

    const int n = audioProcessor.refLineCount.load();

    if (n < 2)
        return; // "Free": the interval follows the drag

    // The cell whose span holds the press; a boundary belongs to the cell on
    // its right, and the first cell starts at x = 0.
    const auto cell = (int) juce::jlimit ((juce::int64) 0, (juce::int64) n - 1,
                                          (juce::int64) e.x * n / w);
    startPoint.x = gridCellLeft (cell, w, n);
    currentPoint.x = gridCellRight (cell, w, n);
    audioProcessor.setRange (startPoint / (float) w, currentPoint / (float) w);
}

void TargetArea::mouseDrag (const juce::MouseEvent& e)
{
    const int w = getWidth(), h = getHeight();

    if (w <= 0 || h <= 0)
        return;

    const juce::Point<float> pos ((float) e.x, (float) e.y);

    if (panning)
    {
        const auto d = (startPoint - pos) / (float) w;
        const double divisor = (double) audioProcessor.zoomValue->load() + 1.00001;
        const double leftright = (double) audioProcessor.leftrightValue->load() - (double) d.x / divisor;
        const double updown = (double) audioProcessor.updownValue->load() - (double) d.y / divisor;

        setParameterFromGesture ("leftright", leftright);
        setParameterFromGesture ("updown", updown);
        startPoint = pos;
        return;
    }

    currentPoint = pos;

    if (rangeSelecting)
    {
        if (audioProcessor.refLineCount.load() == 1)
            audioProcessor.setRange (startPoint / (float) w, currentPoint / (float) w);
        else
            findIntervalAndSet (e);

        return;
    }

    // A stroke ends for good at the first drag event without Shift.
    if (! canvasShiftHeld())
        drawing = false;

    strokePoints.push_back ({ pos.x / (float) w, pos.y / (float) h });

    if (audioProcessor.penStyleValue->load() == sprayPenStyle)
        sprayCreate (sprayPoints, currentPoint);
}

void TargetArea::mouseUp (const juce::MouseEvent& e)
{
    panning = false;

    const int w = getWidth(), h = getHeight();

    if (w <= 0 || h <= 0)
    {
        drawing = rangeSelecting = false;
        return;
    }

    if (drawing)
    {
        drawing = false;

        if (! canvasShiftHeld())
            return; // Shift let go before the button: the stroke is dropped

        if (audioProcessor.penStyleValue->load() == sprayPenStyle)
        {
            std::vector<juce::Point<float>> dots;
            dots.reserve (sprayPoints.size());

            for (const auto& dot : sprayPoints)
                dots.push_back ({ dot.x / (float) w, dot.y / (float) h });

            audioProcessor.drawShape (dots);
        }
        else
        {
            audioProcessor.drawShape (strokePoints);
        }

        return;
    }

    if (rangeSelecting)
    {
        rangeSelecting = false;

        if (audioProcessor.refLineCount.load() == 1)
        {
            const juce::Point<float> size ((float) w, (float) h);
            audioProcessor.setRange ({ startPoint.x / size.x, startPoint.y / size.y },
                                     { currentPoint.x / size.x, currentPoint.y / size.y });
        }
        else
        {
            findIntervalAndSet (e);
        }
    }
}

void TargetArea::mouseDoubleClick (const juce::MouseEvent&) {}

void TargetArea::mouseWheelMove (const juce::MouseEvent&, const juce::MouseWheelDetails& wheel)
{
    setParameterFromGesture ("zoom", (double) (audioProcessor.zoomValue->load() + wheel.deltaY));
}

void TargetArea::findIntervalAndSet (const juce::MouseEvent& e)
{
    const int n = audioProcessor.refLineCount.load();
    const int w = getWidth();

    if (n < 1 || w <= 0)
        return;

    const auto ex = (float) e.x;

    for (int i = 0; i < n; ++i)
    {
        if (gridCellLeft (i, w, n) < ex && ex < gridCellRight (i, w, n))
        {
            currentPoint.x = gridCellRight (i, w, n);
            audioProcessor.setRange (startPoint / (float) w, currentPoint / (float) w);
            return;
        }
    }
}

void TargetArea::sprayCreate (std::vector<juce::Point<float>>& points, juce::Point<float> centre)
{
    juce::Random random;
    random.setSeedRandomly();

    for (int i = 0; (float) i < audioProcessor.penTicknessValue->load() / 5.0f; ++i)
    {
        const auto angle = juce::MathConstants<float>::twoPi * random.nextFloat();
        const auto radius = 2.0f * audioProcessor.penTicknessValue->load() * std::sqrt (random.nextFloat());
        points.push_back ({ centre.x + radius * std::cos (angle), centre.y + radius * std::sin (angle) });
    }
}

void TargetArea::paintRecordingScreen (juce::Graphics& g)
{
    const int w = getWidth(), h = getHeight();

    g.fillAll (juce::Colour (0xff000000));
    g.setColour (intervalBandRed);
    g.setFont (juce::Font ((float) (w / 10)));

    g.drawFittedText ("Recording...", 0, 0, w, h / 2, juce::Justification::centredBottom, 1, 1.0f);

    const auto bar = (int) (audioProcessor.scanPhase.load() * 0.25f + 1.0f);
    const auto bars = (int) audioProcessor.barduratiomValue->load();
    g.drawFittedText ("Bar: " + juce::String (bar) + " of " + juce::String (bars) + " Bars",
                      0, h / 2, w, h - h / 2, juce::Justification::centredTop, 1, 1.0f);
}

void TargetArea::paintShapePreview (juce::Graphics& g)
{
    const auto thickness = audioProcessor.penTicknessValue->load();
    const auto style = audioProcessor.penStyleValue->load();

    const juce::Point<float> corner (juce::jmin (startPoint.x, currentPoint.x),
                                     juce::jmin (startPoint.y, currentPoint.y));
    const juce::Rectangle<float> box (corner.x, corner.y,
                                      std::abs (currentPoint.x - startPoint.x) + 1.0f,
                                      std::abs (currentPoint.y - startPoint.y) + 1.0f);

    if (style == 0.0f)
    {
        g.drawLine ({ startPoint, currentPoint }, thickness);
    }
    else if (style == 1.0f)
    {
        g.drawEllipse (box, thickness);
    }
    else if (style == 2.0f)
    {
        g.drawRect (box, thickness);
    }
    else if (style == 3.0f)
    {
        g.fillEllipse (box);
    }
    else if (style == 4.0f)
    {
        g.fillRect (box);
    }
    else if (style == 5.0f)
    {
        if (strokePoints.empty())
            return;

        const auto w = (float) getWidth(), h = (float) getHeight();
        juce::Path path;
        path.startNewSubPath (strokePoints.front().x * w, strokePoints.front().y * h);

        for (const auto& p : strokePoints)
            path.lineTo (p.x * w, p.y * h);

        g.strokePath (path, juce::PathStrokeType (thickness, juce::PathStrokeType::beveled,
                                                  juce::PathStrokeType::butt));
    }
    else if (style == sprayPenStyle)
    {
        for (const auto& dot : sprayPoints)
            g.drawRect ((int) dot.x, (int) dot.y, 1, 1, 1);
    }
}

void TargetArea::paint (juce::Graphics& g)
{
    if (audioProcessor.recordCapturing.load())
    {
        paintRecordingScreen (g);
        return;
    }

    const int w = getWidth(), h = getHeight();
    const auto fill = juce::Colour (0xff008000).withAlpha ((juce::uint8) 0x33);

    // The newest finished picture, stretched over the canvas. The worker
    // never writes into it again, so it is drawn without the pipeline lock and
    // never waits for a pass (nor for the hand-over: while that is busy, the
    // picture of the last frame is painted again). The worker also scales it
    // to the pixels this canvas covers on the screen (twice its size each way
    // at 2 pixels per point); then only that copy is laid on, pixel for pixel.
    const auto scale = g.getInternalContext().getPhysicalPixelScaleFactor();
    const auto pixelWidth = juce::roundToInt ((float) w * scale);
    const auto pixelHeight = juce::roundToInt ((float) h * scale);

    audioProcessor.finishedPicture.tryForDisplay (pixelWidth, pixelHeight, shownPicture);
    const auto& picture = shownPicture;
    const auto copyFits = picture.image.isValid() && picture.scaled
                           && picture.image.getWidth() == pixelWidth && picture.image.getHeight() == pixelHeight;

    // The translucent fill under the picture; where the copy is opaque it
    // cannot show, and is left out.
    {
        const juce::Graphics::ScopedSaveState saved (g);

        if (copyFits)
            g.excludeClipRegion (pointsWithin (picture.opaqueArea, scale));

        g.fillAll (fill);
    }

    if (! picture.image.isValid())
        return;

    if (copyFits)
        g.drawImageTransformed (picture.image, juce::AffineTransform::scale (1.0f / scale));
    else
        g.drawImageTransformed (picture.image,
                                juce::AffineTransform::scale ((float) w / (float) picture.image.getWidth(),
                                                              (float) h / (float) picture.image.getHeight()));

    // Scan lines, and the dashed line half way between them.
    const auto imageWidth = (float) picture.pictureWidth;
    const auto left = (float) w * audioProcessor.scanColumnLeft.load() / imageWidth;
    const auto right = (float) w * audioProcessor.scanColumnRight.load() / imageWidth;

    g.setColour (scanLineGreen);
    g.drawLine (left, 0.0f, left, (float) h, 3.0f);
    g.setColour (scanLineYellow);
    g.drawLine (right, 0.0f, right, (float) h, 3.0f);

    const float dashes[] = { 5.0f, 5.0f };
    const auto mid = (left + right) * 0.5f;
    g.drawDashedLine ({ mid, 0.0f, mid, (float) h }, dashes, 2, 1.0f);

    if (drawing)
        paintShapePreview (g);

    // The interval band.
    const auto a = audioProcessor.aIntervalValue->load();
    const auto b = audioProcessor.bIntervalValue->load();
    audioProcessor.intervalStart.store ((double) a);
    audioProcessor.intervalEnd.store ((double) b);

    int l = 0, r = 0;
    g.setColour (intervalBandRed.withAlpha ((juce::uint8) 0x33));

    if (rangeSelecting)
    {
        l = juce::jmin ((int) startPoint.x, (int) currentPoint.x);
        r = juce::jmax ((int) startPoint.x, (int) currentPoint.x);
        g.fillRect (l, 0, r - l + 1, h);
    }
    else
    {
        l = (int) (a * (float) w);
        r = (int) (b * (float) w);
        g.fillRect (l, 0, r - l, h);
    }

    g.setColour (scanLineGreen.withAlpha ((juce::uint8) 0xe6));

    // The grid, then the band's edges in the grid's colour (or the band's).
    const int n = audioProcessor.refLineCount.load();

    if (n != 1 && n > 0)
    {
        g.setColour (scanLineYellow);

        for (int i = 1; i < n; ++i)
        {
            const auto x = (float) ((w * i) / n);
            g.drawLine (x, 0.0f, x, (float) h, 1.0f);
        }
    }

    g.drawLine ((float) l, 0.0f, (float) l, (float) h, 1.0f);
    g.drawLine ((float) r, 0.0f, (float) r, (float) h, 1.0f);

    g.setColour (mainColour);

    if (audioProcessor.showHelpText.load())
        g.drawFittedText (canvasHelpText, 0, 0, w, h, juce::Justification::topLeft, 3);
}

bool TargetArea::isInterestedInFileDrag (const juce::StringArray& files)
{
    static const char* const pictureNames[] = { ".jpg", ".jpeg", ".png", ".PNG", ".bmp", ".gif" };

    for (const auto& path : files)
        for (auto* name : pictureNames)
            if (path.contains (name))
                return true;

    return false;
}

void TargetArea::filesDropped (const juce::StringArray& files, int, int)
{
    if (! isInterestedInFileDrag (files))
        return;

    // The confirmation box is the window's the canvas is in: the plug-in
    // window takes the keys back when it goes, the separate window not.
    if (auto* editor = findParentComponentOfClass<KestruneAudioProcessorEditor>())
        editor->noteDroppedFile();
    else
        ShowingWatcher::noteInputElsewhere();

    for (const auto& path : files)
        askHowToLoad (path);
}

void TargetArea::askHowToLoad (const juce::String& path)
{
    // The box can outlive this canvas (and the window, and the plug-in): its
    // answer acts only while the canvas exists, and the canvas never outlives
    // the processor it refers to.
    auto onAnswer = [canvas = juce::Component::SafePointer<TargetArea> (this), path] (int result)
    {
        if (canvas == nullptr || (result != 1 && result != 2))
            return;

        canvas->audioProcessor.loadFile (path, result == 2);
        canvas->repaint();
    };

    juce::AlertWindow::showYesNoCancelBox (juce::MessageBoxIconType::QuestionIcon, "Confirmation",
                                           "Do you want to init all parameters?", "Yes", "No", "Cancel All",
                                           nullptr, juce::ModalCallbackFunction::create (std::move (onAnswer)));
}

//==============================================================================
// Canvas frame
ParentTargetArea::ParentTargetArea (KestruneAudioProcessor& p) : audioProcessor (p), targetArea (p)
{
    addAndMakeVisible (targetArea);
    startTimer (30);
}

ParentTargetArea::~ParentTargetArea()
{
    stopTimer();
}

void ParentTargetArea::paint (juce::Graphics& g)
{
    g.setColour (scanLineGreen);

    audioProcessor.intervalStart.store ((double) audioProcessor.aIntervalValue->load());
    audioProcessor.intervalEnd.store ((double) audioProcessor.bIntervalValue->load());

    const auto w = (float) getWidth();
    const auto a = (float) audioProcessor.intervalStart.load() * w;
    const auto b = audioProcessor.bIntervalValue->load() * w;

    g.drawArrow ({ a, 5.0f, b, 5.0f }, 1.0f, 7.0f, 7.0f);
    g.drawArrow ({ b, 5.0f, a, 5.0f }, 1.0f, 7.0f, 7.0f);
}

void ParentTargetArea::resized()
{
    const int w = getWidth(), h = getHeight();
    const int strip = juce::jmin (h, 10);
    targetArea.setBounds (0, strip, w, h - strip);
}

void ParentTargetArea::timerCallback()
{
    repaint();
}

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

    // Its paint covers every pixel with opaque black first, so nothing behind
    // it shows: the window then neither paints what lies under it nor blends
    // its cached image (about 60 repaints a second).
    setOpaque (true);

    addAndMakeVisible (spectrumLabel);
    spectrumLabel.setColour (juce::Label::textColourId, juce::Colours::orange);
    spectrumLabel.setText ("Spectrum", juce::dontSendNotification);

    // The caption lies over the view: clicks on it (the double-click that
    // cycles the mode) go to the view.
    spectrumLabel.setInterceptsMouseClicks (false, false);

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

    // A repaint redraws both curves and their shadows, so the view asks for
    // one only when what it would draw has changed: levels held at the
    // bottom through silence, or the same column played again, leave the
    // picture as it is.
    bool changed = false;

    // The audio thread writes fftData and playedColumn only while their flags
    // are down, and raises a flag (release) once its data is complete; the
    // data is read here only after the flag is seen raised (acquire), and the
    // flag goes down (release) only when the data is no longer used.
    if (p.nextFFTBlockReady.load (std::memory_order_acquire))
    {
        float before[scopeSize];
        std::copy (std::begin (scopeData), std::end (scopeData), before);

        drawNextFrameOfSpectrum();
        p.nextFFTBlockReady.store (false, std::memory_order_release);

        changed = std::memcmp (before, scopeData, sizeof (scopeData)) != 0;
    }

    if (p.nextColumnReady.load (std::memory_order_acquire))
    {
        const auto rows = outputRows();

        if (rows > 0)
        {
            const auto bytes = (size_t) rows * sizeof (float);

            if (std::memcmp (columnData, p.playedColumn, bytes) != 0)
            {
                std::memcpy (columnData, p.playedColumn, bytes);
                changed = true;
            }
        }

        p.nextColumnReady.store (false, std::memory_order_release);

        // The curve's points follow the picture's height, which the paint
        // reads afresh.
        changed = changed || rows != rowsPainted;
    }

    if (changed)
        repaint();
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

    // The ground and the spectrum curve, drawn again only when the levels,
    // the size or the pixel scale changed; drawn at the scale of the pixels
    // painted into, so that laying it on copies it pixel for pixel.
    const auto scale = g.getInternalContext().getPhysicalPixelScaleFactor();
    const auto layerWidth = juce::jmax (1, juce::roundToInt ((float) w * scale));
    const auto layerHeight = juce::jmax (1, juce::roundToInt ((float) h * scale));

    const auto resized = ! spectrumLayer.isValid() || spectrumLayer.getWidth() != layerWidth
                          || spectrumLayer.getHeight() != layerHeight;

    if (resized || spectrumLayerScale != scale || std::memcmp (spectrumLayerLevels, scopeData, sizeof (scopeData)) != 0)
    {
        if (resized)
            spectrumLayer = juce::Image (juce::Image::RGB, layerWidth, layerHeight, false);

        juce::Graphics layer (spectrumLayer);
        layer.addTransform (juce::AffineTransform::scale (scale));
        layer.fillAll (juce::Colour (0xff000000));

        juce::Path spectrum;
        spectrum.startNewSubPath (10.0f, fh);

        for (int j = 1; j < scopeSize; ++j)
            spectrum.lineTo ((float) (10 + (j * (w - 20)) / (scopeSize - 1)), fh - scopeData[j] * fh);

        spectrum.lineTo ((float) (w - 10), fh);

        layer.setColour (juce::Colours::orange);
        layer.strokePath (spectrum, stroke);
        kestrune::drawPathShadow (layer, spectrum, juce::Colours::orange.withAlpha ((juce::uint8) 0x80), 1);

        std::memcpy (spectrumLayerLevels, scopeData, sizeof (scopeData));
        spectrumLayerScale = scale;
    }

    if (scale == 1.0f)
        g.drawImageAt (spectrumLayer, 0, 0);
    else
        g.drawImageTransformed (spectrumLayer, juce::AffineTransform::scale (1.0f / scale));

    {
        const auto rows = outputRows();
        rowsPainted = rows;

        juce::Path column;
        column.startNewSubPath (10.0f, fh);

        if (rows >= 2)
            for (int k = 1; k < rows; ++k)
                column.lineTo ((float) (10 + (k * (w - 20)) / rows), fh - columnData[k] * fh);

        column.lineTo ((float) (w - 10), fh);

        g.setColour (juce::Colours::lightgreen);
        g.strokePath (column, stroke);
        kestrune::drawPathShadow (g, column, juce::Colours::lightgreen.withAlpha ((juce::uint8) 0x33), 1);
    }

    g.setColour (juce::Colour (0xff808080));
    g.drawRoundedRectangle (getLocalBounds().toFloat(), 2.0f, 1.0f);
}

//==============================================================================
// Separate image window
SeparateImageWindow::SeparateImageWindow (KestruneAudioProcessor& p, float scaleToDrawAt)
    : juce::DocumentWindow ({}, juce::Colours::limegreen, juce::DocumentWindow::allButtons, true),
      audioProcessor (p), parentTargetArea (p),
      scale (std::isfinite (scaleToDrawAt) && scaleToDrawAt > 0.0f ? scaleToDrawAt : 1.0f)
{
    setContentNonOwned (&parentTargetArea, false);
    setContentComponentSize (1000, 600);
    setResizable (true, true);
    startTimer (30);
    setFullScreen (true);
    coverDisplay();
}

float SeparateImageWindow::getDesktopScaleFactor() const
{
    return scale * juce::Desktop::getInstance().getGlobalScaleFactor();
}

void SeparateImageWindow::maximiseButtonPressed()
{
    juce::DocumentWindow::maximiseButtonPressed();
    coverDisplay();
}

void SeparateImageWindow::moved()
{
    juce::DocumentWindow::moved();

    // A window manager places a window it is given after its own rules: one
    // shown full screen after a move to (40, 40) can come up at (40, 40), its
    // title bar and close button past the screen's edge (openbox, now and
    // then). Put back over the display.
    if (isFullScreen() && isShowing() && timesPutBack < 4)
    {
        const auto* display = juce::Desktop::getInstance().getDisplays().getDisplayForRect (getScreenBounds());

        if (display != nullptr && ! display->userArea.contains (getScreenBounds()))
        {
            ++timesPutBack;
            coverDisplay();
        }
    }
}

void SeparateImageWindow::coverDisplay()
{
    auto* peer = getPeer();
    const auto* display = juce::Desktop::getInstance().getDisplays().getDisplayForRect (getScreenBounds());

    // (Screen bounds and display areas are in the desktop's units, a peer's
    // bounds in those times the desktop's scale.)
    if (peer != nullptr && display != nullptr && isFullScreen() && getScreenBounds() != display->userArea)
        peer->setBounds ((display->userArea.toFloat() * juce::Desktop::getInstance().getGlobalScaleFactor()).toNearestInt(), true);
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
    // later (the maximise button) returns it there and not past the edge
    // (the window's bounds are in its own units: the screen's over its scale).
    const auto area = (display->userArea.toFloat() / scale).toNearestInt();

    if (isFullScreen())
        setFullScreen (false);

    setBounds (getBounds().constrainedWithin (area));
    setFullScreen (true);
    coverDisplay();
}

//==============================================================================
// Editor
namespace
{
    // Takes every button and combo box inside `parent` out of the keyboard
    // focus order, at any depth.
    void keepKeyboardFocusOffControls (juce::Component& parent)
    {
        for (auto* child : parent.getChildren())
        {
            if (dynamic_cast<juce::Button*> (child) != nullptr || dynamic_cast<juce::ComboBox*> (child) != nullptr)
                child->setWantsKeyboardFocus (false);

            keepKeyboardFocusOffControls (*child);
        }
    }
}

namespace
{
    // The largest width or height taken from a stored size: far above any
    // screen, and small enough that the layout arithmetic cannot overflow
    // before the constrainer brings a stored size inside the limits.
    constexpr int largestStoredDimension = 8192;

    // A stored width or height as a whole number of pixels, converted as a
    // juce::var converts to an integer: text reads its leading digits (after
    // blanks and a minus sign), so "1000.9" is 1000 and "1e300" is 1, and
    // text without them ("inf", "nan", "wide") reads 0; a number loses its
    // fraction. A missing property takes the default.
    int storedDimension (const juce::ValueTree& tree, const juce::Identifier& name, int defaultValue)
    {
        if (! tree.hasProperty (name))
            return defaultValue;

        const auto& value = tree.getProperty (name);

        // (A double beyond the integers, infinity or NaN has no integer value
        // in C++; they read 0 like the text.)
        const auto whole = ! value.isDouble() ? (int) value
                         : std::abs ((double) value) < 2147483648.0 ? (int) (double) value
                         : 0;

        return juce::jlimit (0, largestStoredDimension, whole);
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

    // The keys belong to the window as a whole. No control in it takes the
    // keyboard focus (JUCE's buttons click on Return whatever the modifiers,
    // combo boxes step through their items on the arrow keys), so a click on
    // one leaves the focus with the editor, and only the editor and the
    // canvas ever hold it.
    setWantsKeyboardFocus (true);
    keepKeyboardFocusOffControls (*this);

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

    // The size the window had when it was last laid out.
    const auto size = sizeInState();
    setSize (size.getWidth(), size.getHeight());

    setResizable (true, true);
    getConstrainer()->setFixedAspectRatio (aspectRatio);

    // Applies the limits to the current bounds as well, which brings a stored
    // size outside them or off the ratio back inside (and lays out again).
    setResizeLimits (minimumWidth, minimumHeight, maximumWidth, maximumHeight);

    setBufferedToImage (true);

    // Its paint fills the whole window with an opaque colour first: nothing
    // behind it needs clearing or painting when a part of it is redrawn.
    setOpaque (true);
}

KestruneAudioProcessorEditor::~KestruneAudioProcessorEditor() = default;

juce::Rectangle<int> KestruneAudioProcessorEditor::sizeInState()
{
    // The default height is 950 * 9 / 16 with its fraction dropped.
    const auto stored = audioProcessor.getStateChild ("lastSizeMainWindow");
    return { storedDimension (stored, "width", defaultWidth),
             storedDimension (stored, "height", (int) (defaultWidth * 9.0 / 16.0)) };
}

KestruneAudioProcessorEditor::RestoreListener::RestoreListener (KestruneAudioProcessorEditor& e)
    : editor (e)
{
    editor.audioProcessor.stateRestoredBroadcaster.addChangeListener (this);
}

KestruneAudioProcessorEditor::RestoreListener::~RestoreListener()
{
    editor.audioProcessor.stateRestoredBroadcaster.removeChangeListener (this);
}

void KestruneAudioProcessorEditor::RestoreListener::changeListenerCallback (juce::ChangeBroadcaster*)
{
    // Set, then brought inside the limits, as when the window opens.
    const auto size = editor.sizeInState();
    editor.setSize (size.getWidth(), size.getHeight());
    editor.setBoundsConstrained (editor.getBounds());
}

void KestruneAudioProcessorEditor::paint (juce::Graphics& g)
{
    // Also the ground around the laid-out area at a size a host imposed.
    g.fillAll (juce::Colour (0xff141414));

    if (layoutScale != 1.0f)
        g.addTransform (juce::AffineTransform::scale (layoutScale));

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
                      { 0, layoutHeight - 15, 70, 15 }, juce::Justification::centred, 1);
}

void KestruneAudioProcessorEditor::resized()
{
    // A host may set a size without asking, off the ratio or past the limits:
    // the content is then laid out at the size the window answers for it (at
    // the top left, drawn smaller when even that does not fit, cut to the
    // size when a pixel short), and the host is asked for that answer.
    const auto given = getLocalBounds();
    const auto fit = kestrune::windowfit::fitFor (*getConstrainer(), given);
    const auto W = fit.width, H = fit.height;
    layoutWidth = W;
    layoutHeight = H;
    layoutScale = fit.scale;

    ownResizeRatio = (float) (W / 950.0);
    globalResizeRatio = ownResizeRatio;

    audioProcessor.setWindowSizeToValueState (W, H);

    // Left column (canvas over spectrum) and right part (panels and buttons).
    const auto L = std::min (W, H);
    const auto R = W - L;
    const auto T = std::min (H, (int) (H * 12 * 0.0625));
    const auto B = H - T;
    const auto c = std::min (L, 20);

    const auto scaled = juce::AffineTransform::scale (fit.scale);
    const auto rotatedUpward = [&scaled] (int pivotX, int pivotY)
    {
        return juce::AffineTransform::rotation (-1.57f, (float) pivotX, (float) pivotY).followedBy (scaled);
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

    for (auto* child : std::initializer_list<juce::Component*> {
             &parentTargetArea, &spectrumView, &affineTransformPanel, &imageManupulationPanel, &scanPanel,
             &resetDrawingButton, &spectrumFreqLabel, &imageFrameLabel, &resetAllButton, &openImageButton })
        child->setTransform (scaled);

    if (! kestrune::windowfit::isAllowed (*getConstrainer(), given))
    {
        const auto answer = kestrune::windowfit::answerFor (*getConstrainer(), given);
        askHostForAllowedSize (given, answer.getWidth(), answer.getHeight());
    }
}

void KestruneAudioProcessorEditor::askHostForAllowedSize (juce::Rectangle<int> given, int width, int height)
{
    if (given == sizeAskedAbout)
        return;

    // Not at once: JUCE's client passes a new size of ours on to the host
    // (resizeView) only once its own resize has returned, and a host opening
    // the window may pass it a size of a moment (Ardour: 1 x 1 before its
    // first layout), gone by then. A host that takes the request lays the
    // window out again at that size.
    sizeRequest.given = given;
    sizeRequest.width = width;
    sizeRequest.height = height;
    sizeRequest.startTimer (askDelayMilliseconds);
}

void KestruneAudioProcessorEditor::SizeRequest::timerCallback()
{
    stopTimer();

    if (editor.getLocalBounds() != given || editor.sizeAskedAbout == given)
        return;

    editor.sizeAskedAbout = given;
    editor.setSize (width, height);
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
                                   if (editor == nullptr)
                                       return;

                                   editor->imageChosen (chooser.getResult());

                                   // The dialog had the keys (a dialog of the
                                   // desktop's own is no modal box of ours).
                                   if (editor->showingWatcher.isOnScreen())
                                       editor->showingWatcher.takeKeyboardFocusBack();
                               });
}

void KestruneAudioProcessorEditor::imageChosen (const juce::File& result)
{
    const auto path = result.getFullPathName();

    if (path.isNotEmpty())
        audioProcessor.loadFile (path, true);
}

void KestruneAudioProcessorEditor::showingChanged (ShowingWatcher::State state)
{
    if (state == ShowingWatcher::State::onScreen)
    {
        showingWatcher.takeKeyboardFocus();
    }
    else if (state == ShowingWatcher::State::off)
    {
        separateWindow.reset();
        showingWatcher.followClosely (false);
    }
}

void KestruneAudioProcessorEditor::closeSeparateWindow()
{
    // The separate window had the keys; the window manager gives them to
    // whatever it likes when it goes. Taken first, they have nowhere to go.
    if (auto* peer = getPeer(); peer != nullptr && showingWatcher.isOnScreen())
        peer->grabFocus();

    separateWindow.reset();
    showingWatcher.followClosely (false);
    showingWatcher.takeKeyboardFocusBack();
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
            closeSeparateWindow();
            return true;
        }

        // Drawn at the scale the host draws this window at; it follows this
        // window closely, to go at once should the host hide it; and it
        // takes the keys (this window asks for them no longer).
        separateWindow = std::make_unique<SeparateImageWindow> (audioProcessor, getApproximateScaleFactorForComponent (this));
        showingWatcher.followClosely (true);
        showingWatcher.dropKeyboardFocusRequest();
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
                    editor->closeSeparateWindow();
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
