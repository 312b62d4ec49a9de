#include "CanvasTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::canvas;

namespace
{
    bool drawn (const juce::Image& image, int x, int y) { return image.getPixelAt (x, y).getAlpha() > 0; }
}

TEST (CanvasFrame, TheStripShowsTheIntervalAsADoubleHeadedArrow)
{
    auto p = makeProcessor();
    ParentTargetArea frame (*p);
    frame.setSize (500, 200);
    p->intervalStart.store (0.9);

    // The default interval, 0.4 to 0.6: a line at y = 5 from 200 to 300.
    auto image = paintOf (frame);
    EXPECT_EQ (p->intervalStart.load(), (double) 0.4f) << "refreshed from the parameter";
    EXPECT_EQ (p->intervalEnd.load(), (double) 0.6f);

    EXPECT_TRUE (near (image.getPixelAt (250, 5).withAlpha (1.0f), juce::Colour (0xff90ee90))) << "drawn in light green";
    EXPECT_TRUE (drawn (image, 250, 4));
    EXPECT_FALSE (drawn (image, 250, 2));
    EXPECT_FALSE (drawn (image, 196, 5));
    EXPECT_FALSE (drawn (image, 304, 5));

    // A head at each end, 7 wide, pointing outwards.
    EXPECT_TRUE (drawn (image, 206, 2));
    EXPECT_TRUE (drawn (image, 206, 8));
    EXPECT_TRUE (drawn (image, 293, 2));
    EXPECT_TRUE (drawn (image, 293, 8));
    EXPECT_FALSE (drawn (image, 230, 2));
    EXPECT_FALSE (drawn (image, 202, 1));

    // The strip has no background of its own, and below it is the canvas's.
    EXPECT_FALSE (drawn (image, 100, 5));
    EXPECT_FALSE (drawn (image, 250, 12));

    setPlain (*p, "a_interval", 0.1f);
    image = paintOf (frame);
    EXPECT_TRUE (drawn (image, 100, 5));
    EXPECT_TRUE (drawn (image, 56, 2));
}

TEST (CanvasFrame, TheCanvasTakesTheFullWidthBelowTheStrip)
{
    auto p = makeProcessor();
    ParentTargetArea frame (*p);

    frame.setSize (647, 480);
    EXPECT_EQ (frame.targetArea.getBounds(), juce::Rectangle<int> (0, 10, 647, 470));
    EXPECT_TRUE (frame.targetArea.isVisible());
    EXPECT_EQ (frame.targetArea.getParentComponent(), &frame);
    EXPECT_TRUE (frame.targetArea.getWantsKeyboardFocus());

    // Lower than the strip: the strip takes it all and the canvas has no height.
    frame.setSize (300, 6);
    EXPECT_EQ (frame.targetArea.getBounds(), juce::Rectangle<int> (0, 6, 300, 0));
    frame.setSize (300, 10);
    EXPECT_EQ (frame.targetArea.getBounds(), juce::Rectangle<int> (0, 10, 300, 0));

    // Repainted every 30 ms without being told.
    EXPECT_TRUE (frame.isTimerRunning());
    EXPECT_EQ (frame.getTimerInterval(), 30);
}
