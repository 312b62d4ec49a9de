#include "CanvasTestSupport.h"

#include <cmath>

using namespace kestrune::test;
using namespace kestrune::test::canvas;

namespace
{
    void setGrid (KestruneAudioProcessor& p, int k) { setPlain (p, "refline" + juce::String (k), 1.0f); }

    float a (KestruneAudioProcessor& p) { return plainValue (p, "a_interval"); }
    float b (KestruneAudioProcessor& p) { return plainValue (p, "b_interval"); }

    juce::Image layerOf (KestruneAudioProcessor& p) { return copyUnderLock (p.drawLayer); }

    int undoSteps (KestruneAudioProcessor& p)
    {
        const juce::ScopedLock sl (criticalSection);
        return p.undoIndex;
    }

    bool painted (const juce::Image& image, int x, int y) { return image.getPixelAt (x, y).getAlpha() > 0; }

    int countPainted (const juce::Image& image)
    {
        int n = 0;
        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
                n += painted (image, x, y) ? 1 : 0;
        return n;
    }

    bool allParametersFinite (KestruneAudioProcessor& p)
    {
        for (auto* parameter : p.getParameters())
        {
            auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (parameter);
            if (! std::isfinite (parameter->getValue())
                 || (ranged != nullptr && ! std::isfinite (plainValue (p, ranged->paramID))))
                return false;
        }
        return true;
    }
}

//==============================================================================
// Interval selection
TEST (CanvasSelection, FreeClickSetsAWidenedIntervalAtTheRelease)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    ASSERT_EQ (p.refLineCount.load(), 1);

    Gesture gesture (rig.canvas());
    gesture.press (200, 100, left);
    EXPECT_FLOAT_EQ (a (p), 0.4f) << "a press under \"Free\" sets nothing yet";
    EXPECT_FLOAT_EQ (b (p), 0.6f);
    EXPECT_TRUE (rig.canvas().rangeSelecting);

    gesture.release (200, 100, left);
    EXPECT_FALSE (rig.canvas().rangeSelecting);
    EXPECT_EQ (a (p), 0.5f);
    EXPECT_EQ (b (p), (float) (0.5 + 0.00001));

    // A drag sets the interval live; the release keeps the last drag position.
    gesture.press (100, 50, left).drag (300, 60, left);
    EXPECT_FLOAT_EQ (a (p), 0.25f);
    EXPECT_FLOAT_EQ (b (p), 0.75f);
    gesture.drag (60, 80, left);
    EXPECT_FLOAT_EQ (a (p), 0.15f);
    EXPECT_FLOAT_EQ (b (p), 0.25f);
    gesture.release (61, 80, left);
    EXPECT_FLOAT_EQ (a (p), 0.15f);
    EXPECT_FLOAT_EQ (b (p), 0.25f);
    EXPECT_FLOAT_EQ (plainValue (p, "startposition"), 0.15f);
}

TEST (CanvasSelection, GridSelectsWholeCellsOnPressDragAndRelease)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    setGrid (p, 2);
    ASSERT_EQ (p.refLineCount.load(), 4);

    Gesture gesture (rig.canvas());

    // The pressed cell at once, then through the cell under the release.
    gesture.press (150, 100, left);
    EXPECT_FLOAT_EQ (a (p), 0.25f);
    EXPECT_FLOAT_EQ (b (p), 0.5f);
    gesture.release (350, 100, left);
    EXPECT_FLOAT_EQ (a (p), 0.25f);
    EXPECT_FLOAT_EQ (b (p), 1.0f);

    // Released left of the pressed cell: from that cell's right edge to the
    // pressed cell's left edge, here one point, widened.
    gesture.press (150, 100, left).release (50, 100, left);
    EXPECT_EQ (a (p), 0.25f);
    EXPECT_EQ (b (p), (float) (0.25 + 0.00001));

    // Dragging follows the pointer cell by cell; a release on a boundary keeps
    // what the last drag set.
    gesture.press (250, 10, left).drag (380, 10, left);
    EXPECT_FLOAT_EQ (a (p), 0.5f);
    EXPECT_FLOAT_EQ (b (p), 1.0f);
    gesture.drag (320, 10, left).release (300, 10, left);
    EXPECT_FLOAT_EQ (a (p), 0.5f);
    EXPECT_FLOAT_EQ (b (p), 1.0f);
}

TEST (CanvasSelection, APressOnACellBoundarySelectsTheCellToItsRight)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    setGrid (p, 2);
    Gesture gesture (rig.canvas());

    gesture.press (100, 20, left);
    EXPECT_FLOAT_EQ (a (p), 0.25f);
    EXPECT_FLOAT_EQ (b (p), 0.5f);
    EXPECT_EQ (rig.canvas().startPoint.x, 100.0f);
    gesture.release (100, 20, left);
    EXPECT_FLOAT_EQ (a (p), 0.25f);
    EXPECT_FLOAT_EQ (b (p), 0.5f);

    gesture.press (0, 20, left);
    EXPECT_EQ (a (p), 0.0f);
    EXPECT_FLOAT_EQ (b (p), 0.25f);
    gesture.drag (250, 20, left).release (250, 20, left);
    EXPECT_EQ (a (p), 0.0f) << "the drag starts from the first cell";
    EXPECT_FLOAT_EQ (b (p), 0.75f);

    gesture.click (399, 20, left);
    EXPECT_FLOAT_EQ (a (p), 0.75f);
    EXPECT_FLOAT_EQ (b (p), 1.0f);
}

TEST (CanvasSelection, CellsOfFractionalWidthTakeEveryPixelColumn)
{
    // 300 / 8 = 37.5 pixels per cell: column 37 lies in the first cell, just
    // below the boundary; column 75 is the boundary of cells 1 and 2.
    Rig rig (300, 200);
    auto& p = rig.p();
    setGrid (p, 3);
    ASSERT_EQ (p.refLineCount.load(), 8);
    Gesture gesture (rig.canvas());

    gesture.press (37, 5, left);
    EXPECT_EQ (a (p), 0.0f);
    EXPECT_FLOAT_EQ (b (p), 0.125f);
    gesture.release (37, 5, left);
    EXPECT_EQ (a (p), 0.0f);
    EXPECT_FLOAT_EQ (b (p), 0.125f);

    gesture.press (75, 5, left);
    EXPECT_FLOAT_EQ (a (p), 0.25f);
    EXPECT_FLOAT_EQ (b (p), 0.375f);
    gesture.drag (150, 5, left);   // another boundary: nothing changes
    EXPECT_FLOAT_EQ (b (p), 0.375f);
    gesture.drag (151, 5, left).release (151, 5, left);
    EXPECT_FLOAT_EQ (a (p), 0.25f);
    EXPECT_FLOAT_EQ (b (p), 0.625f);

    // Every column selects a cell of its own or the one to its right.
    for (int x = 0; x < 300; ++x)
    {
        gesture.press (x, 5, left);
        const auto cell = (int) std::floor ((double) x * 8.0 / 300.0);
        EXPECT_FLOAT_EQ (a (p), (float) cell / 8.0f) << "x = " << x;
        gesture.release (x, 5, left);
    }
}

//==============================================================================
// Pen strokes
TEST (CanvasStroke, ShiftHeldToTheReleaseSendsEveryPointPressFirst)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    setPlain (p, "penStyle", 5.0f); // Free

    Gesture gesture (rig.canvas());
    gesture.press (50, 100, left | shift);
    EXPECT_TRUE (rig.canvas().drawing);
    gesture.drag (200, 100, left | shift).drag (200, 250, left | shift).release (200, 250, left | shift);
    EXPECT_FALSE (rig.canvas().drawing);

    const auto& points = rig.canvas().strokePoints;
    ASSERT_EQ (points.size(), 3u);
    EXPECT_EQ (points[0], juce::Point<float> (50.0f / 480.0f, 100.0f / 330.0f));
    EXPECT_EQ (points[2], juce::Point<float> (200.0f / 480.0f, 250.0f / 330.0f));

    EXPECT_EQ (undoSteps (p), 2);
    const auto layer = layerOf (p);
    EXPECT_TRUE (painted (layer, 50, 100));    // press point
    EXPECT_TRUE (painted (layer, 120, 100));   // along the first segment
    EXPECT_TRUE (painted (layer, 200, 180));   // along the second
    EXPECT_FALSE (painted (layer, 125, 175));  // not a straight line from first to last
}

TEST (CanvasStroke, ShiftLetGoBeforeTheButtonDropsTheStroke)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    setPlain (p, "penStyle", 4.0f); // FillRect
    Gesture gesture (rig.canvas());

    // Shift released, then the button.
    gesture.press (100, 100, left | shift).drag (150, 150, left | shift).release (150, 150, left);
    EXPECT_EQ (undoSteps (p), 1);
    EXPECT_EQ (countPainted (layerOf (p)), 0);

    // Shift released during the drag and pressed again before the release.
    gesture.press (100, 100, left | shift).drag (120, 120, left);
    EXPECT_FALSE (rig.canvas().drawing);
    gesture.drag (150, 150, left | shift).release (150, 150, left | shift);
    EXPECT_EQ (undoSteps (p), 1);
    EXPECT_EQ (countPainted (layerOf (p)), 0);

    // Held to the end, the same stroke is drawn.
    gesture.press (100, 100, left | shift).drag (150, 150, left | shift).release (150, 150, left | shift);
    EXPECT_EQ (undoSteps (p), 2);
    EXPECT_TRUE (painted (layerOf (p), 125, 125));
}

TEST (CanvasStroke, ShiftWithTheRightButtonDrawsTheRightButtonAlonePans)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    setPlain (p, "penStyle", 4.0f);
    Gesture gesture (rig.canvas());

    gesture.press (100, 100, right | shift);
    EXPECT_TRUE (rig.canvas().drawing);
    EXPECT_FALSE (rig.canvas().panning);
    gesture.drag (150, 150, right | shift).release (150, 150, right | shift);
    EXPECT_EQ (undoSteps (p), 2);
    EXPECT_EQ (plainValue (p, "leftright"), 0.0f);

    gesture.press (100, 100, right);
    EXPECT_TRUE (rig.canvas().panning);
    EXPECT_FALSE (rig.canvas().rangeSelecting);
    gesture.drag (148, 100, right).release (148, 100, right);
    EXPECT_FALSE (rig.canvas().panning);
    EXPECT_GT (plainValue (p, "leftright"), 0.0f);
    EXPECT_FLOAT_EQ (a (p), 0.4f) << "a pan selects nothing";
    EXPECT_EQ (undoSteps (p), 2);

    gesture.press (96, 100, left);
    EXPECT_TRUE (rig.canvas().rangeSelecting);
    gesture.release (96, 100, left);
    EXPECT_FLOAT_EQ (a (p), 0.2f);
}

TEST (CanvasStroke, APressClearsTheHelpText)
{
    Rig rig (200, 100);
    ASSERT_TRUE (rig.p().showHelpText.load());
    Gesture (rig.canvas()).click (10, 10, right);
    EXPECT_FALSE (rig.p().showHelpText.load());
}

//==============================================================================
// Spray
TEST (CanvasSpray, EachBurstHoldsOneDotPerFivePixelsOfThicknessRoundedUp)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    setPlain (p, "penStyle", 6.0f);

    const std::pair<float, size_t> cases[] = { { 12.0f, 3 }, { 10.0f, 2 }, { 1.0f, 1 }, { 30.0f, 6 }, { 5.01f, 2 } };

    for (const auto& [thickness, dots] : cases)
    {
        SCOPED_TRACE (thickness);
        setPlain (p, "penTickness", thickness);
        Gesture gesture (rig.canvas());

        gesture.press (200, 150, left | shift);
        ASSERT_EQ (rig.canvas().sprayPoints.size(), dots);
        gesture.drag (210, 160, left | shift);
        ASSERT_EQ (rig.canvas().sprayPoints.size(), 2 * dots);

        // Each burst lies within twice the thickness of its centre.
        const juce::Point<float> centres[] = { { 200.0f, 150.0f }, { 210.0f, 160.0f } };
        for (size_t i = 0; i < 2 * dots; ++i)
            EXPECT_LE (rig.canvas().sprayPoints[i].getDistanceFrom (centres[i / dots]), 2.0f * thickness + 1.0e-3f);

        gesture.release (210, 160, left | shift);
    }

    // Dots are appended until the next Spray press; any press starts afresh.
    setPlain (p, "penTickness", 10.0f);
    Gesture (rig.canvas()).click (100, 100, left);
    EXPECT_EQ (rig.canvas().sprayPoints.size(), 2u);
}

TEST (CanvasSpray, DotsReachThePictureWhereThePointerIsUnderZoom)
{
    Rig rig (480, 330);
    auto& p = rig.p();

    // The view doubles the picture about its centre (240, 165).
    setPlain (p, "zoom", 1.0f);
    ASSERT_TRUE (settle (p));
    setPlain (p, "penStyle", 6.0f);
    setPlain (p, "penTickness", 1.0f); // one dot within 2 pixels of the pointer

    Gesture (rig.canvas()).click (100, 80, left | shift);
    ASSERT_EQ (rig.canvas().sprayPoints.size(), 1u);
    const auto dot = rig.canvas().sprayPoints[0];
    ASSERT_TRUE (settle (p));

    // The output shows it at the pointer, not at the picture's own (100, 80),
    // which the view moves to (-40, -5), off the picture.
    const auto output = p.finishedPicture.latest();
    ASSERT_TRUE (output.isValid());
    int near = 0, elsewhere = 0;
    for (int y = 0; y < output.getHeight(); ++y)
        for (int x = 0; x < output.getWidth(); ++x)
            if (output.getPixelAt (x, y).getBrightness() > 0.5f)
                (std::abs ((float) x - dot.x) <= 5.0f && std::abs ((float) y - dot.y) <= 5.0f ? near : elsewhere)++;

    EXPECT_GE (near, 4) << "side trunc(1 + zoom) = 2 in the picture, 4 x 4 on the output";
    EXPECT_EQ (elsewhere, 0);
}

//==============================================================================
// Pan and zoom
TEST (CanvasPan, HalfACanvasMovesByHalfOverTheZoomPinnedAtZoomMinusOne)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    Gesture gesture (rig.canvas());

    gesture.press (100, 100, right).drag (300, 100, right);
    EXPECT_NEAR (plainValue (p, "leftright"), 0.5 / 1.00001, 1.0e-6);
    EXPECT_EQ (plainValue (p, "updown"), 0.0f);
    gesture.drag (300, 160, right).release (300, 160, right);
    EXPECT_NEAR (plainValue (p, "updown"), 0.15 / 1.00001, 1.0e-6) << "down raises, by height over width";

    setPlain (p, "leftright", 0.0f);
    setPlain (p, "zoom", -1.0f);
    ASSERT_EQ (plainValue (p, "zoom"), -1.0f);
    gesture.press (100, 100, right).drag (300, 100, right);
    EXPECT_EQ (plainValue (p, "leftright"), 1.0f);
    gesture.drag (100, 100, right).drag (99, 100, right).release (99, 100, right);
    EXPECT_EQ (plainValue (p, "leftright"), -1.0f);
}

TEST (CanvasPan, WheelZoomsClampedAndSnappedToHundredths)
{
    Rig rig (400, 300);
    auto& p = rig.p();

    wheel (rig.canvas(), 0.5f);
    EXPECT_FLOAT_EQ (plainValue (p, "zoom"), 0.5f);
    wheel (rig.canvas(), -0.123f);
    EXPECT_NEAR (plainValue (p, "zoom"), 0.38f, 1.0e-5);
    wheel (rig.canvas(), 10.0f);
    EXPECT_EQ (plainValue (p, "zoom"), 5.0f);
    wheel (rig.canvas(), -20.0f);
    EXPECT_EQ (plainValue (p, "zoom"), -1.0f);
}

TEST (CanvasPan, AFlatViewNeverGivesParametersThatAreNotNumbers)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    setPlain (p, "zoom", -0.99f);
    setPlain (p, "horskew", -0.01f);
    setPlain (p, "verskew", 0.01f);
    ASSERT_TRUE (settle (p));

    Gesture gesture (rig.canvas());
    gesture.click (0, 0, left).click (399, 299, left);
    gesture.press (5, 5, left).drag (395, 295, left).drag (-50, 400, left).release (-50, 400, left);
    gesture.press (0, 0, right).drag (399, 299, right).drag (0, 0, right).release (0, 0, right);
    setGrid (p, 5);
    gesture.press (0, 0, left).drag (399, 299, left).release (399, 299, left);
    gesture.press (200, 150, left | shift).drag (0, 0, left | shift).release (0, 0, left | shift);

    setPlain (p, "zoom", -1.0f);
    gesture.press (0, 0, right).drag (399, 299, right).release (399, 299, right);

    for (auto delta : { 0.01f, -0.01f, std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN() })
        wheel (rig.canvas(), delta);

    EXPECT_TRUE (allParametersFinite (p));
    EXPECT_EQ (plainValue (p, "zoom"), -1.0f) << "a delta that is not a number is ignored";
    ASSERT_TRUE (settle (p));
    EXPECT_TRUE (allParametersFinite (p));
}

TEST (CanvasPan, ACanvasWithoutAreaIgnoresGestures)
{
    // A frame no higher than its strip leaves the canvas no height.
    Rig rig (400, 300);
    auto& p = rig.p();
    rig.frame->setSize (400, 10);
    ASSERT_EQ (rig.canvas().getHeight(), 0);

    Gesture gesture (rig.canvas());
    gesture.press (10, 0, left).drag (300, 0, left).release (300, 0, left);
    gesture.press (10, 0, right).drag (300, 0, right).release (300, 0, right);
    gesture.press (10, 0, left | shift).drag (300, 0, left | shift).release (300, 0, left | shift);

    EXPECT_FLOAT_EQ (a (p), 0.4f);
    EXPECT_FLOAT_EQ (b (p), 0.6f);
    EXPECT_EQ (plainValue (p, "leftright"), 0.0f);
    EXPECT_EQ (undoSteps (p), 1);
    EXPECT_TRUE (p.showHelpText.load());
    EXPECT_TRUE (allParametersFinite (p));
}

//==============================================================================
// Strokes reach the audio
TEST (CanvasStroke, AStrokeChangesThePictureTheAudioFiltersWith)
{
    Rig rig (480, 330);
    auto& p = rig.p();
    setPlain (p, "penStyle", 4.0f); // FillRect, white

    const auto& before = p.outputFrames.acquire();
    ASSERT_FALSE (before.isEmpty());
    EXPECT_EQ (before.pixel (150, 150), 0.0f);

    Gesture (rig.canvas()).press (100, 100, left | shift).drag (200, 200, left | shift).release (200, 200, left | shift);
    ASSERT_TRUE (settle (p));

    // This thread stands in for the audio thread, the frames' only reader.
    const auto& after = p.outputFrames.acquire();
    ASSERT_EQ (after.width, 480);
    EXPECT_FLOAT_EQ (after.pixel (150, 150), 1.0f);
    EXPECT_FLOAT_EQ (after.pixel (199, 199), 1.0f);
    EXPECT_EQ (after.pixel (250, 150), 0.0f);
    EXPECT_EQ (after.pixel (150, 90), 0.0f);
}
