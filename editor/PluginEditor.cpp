#include "PluginEditor.h"

#include <cmath>

float globalResizeRatio = 0.0f;

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

    g.fillAll (juce::Colour (0xff008000).withAlpha ((juce::uint8) 0x33));

    // The newest finished picture, stretched over the canvas. The worker
    // never writes into it again, so it is drawn without the pipeline lock and
    // never waits for a pass (nor for the hand-over: while that is busy, the
    // picture of the last frame is painted again). The worker also scales it
    // to this size; then only that copy is laid on.
    audioProcessor.finishedPicture.tryForDisplay (w, h, shownPicture);
    const auto& picture = shownPicture;

    if (! picture.image.isValid())
        return;

    if (picture.scaled && picture.image.getWidth() == w && picture.image.getHeight() == h)
        g.drawImageAt (picture.image, 0, 0);
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
SpectrumView::SpectrumView (KestruneAudioProcessor& p) : audioProcessor (p) {}
SpectrumView::~SpectrumView() = default;
void SpectrumView::paint (juce::Graphics&) {}
void SpectrumView::resized() {}
void SpectrumView::timerCallback() {}

//==============================================================================
// Separate image window
SeparateImageWindow::SeparateImageWindow (KestruneAudioProcessor& p)
    : juce::DocumentWindow ({}, juce::Colours::limegreen, juce::DocumentWindow::allButtons, true),
      audioProcessor (p), parentTargetArea (p)
{
}
SeparateImageWindow::~SeparateImageWindow() = default;
void SeparateImageWindow::timerCallback() {}

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
