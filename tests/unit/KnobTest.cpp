#include "PanelTestSupport.h"

#include <cmath>

using namespace kestrune::test;
using namespace kestrune::test::panels;

namespace
{
    const juce::Colour disc { 0x40000000 };
    const juce::Colour disabledGrey { 0x80808080 };

    // A point at `distance` from the centre along a knob angle (clockwise from 12 o'clock).
    juce::Point<float> along (juce::Point<float> centre, float angle, float distance)
    {
        return { centre.x + distance * std::sin (angle), centre.y - distance * std::cos (angle) };
    }

    // The fills a knob paints, in order, with the value text set to `text`.
    struct KnobDrawing
    {
        KnobDrawing (CustomRoratySlider& knob) : recording (knob) {}

        const RecordingContext::Fill* firstFillOf (juce::Colour colour) const
        {
            for (auto& f : recording.context.fills)
                if (f.colour == colour)
                    return &f;
            return nullptr;
        }

        Recording recording;
    };

    struct KnobTest : ::testing::Test
    {
        ScopedRatio ratio { 1.0f };
        CustomRoratySlider knob;

        void SetUp() override { knob.setSize (100, 100); }
        juce::Point<float> centre() const { return { 50.0f, 50.0f }; }
    };
}

TEST_F (KnobTest, IsADraggableRotaryWithItsOwnLookAndFeelAndColours)
{
    EXPECT_EQ (&knob.getLookAndFeel(), &knob.olvLookAndFeel);
    EXPECT_FALSE (knob.olvLookAndFeel.compactStyle);
    EXPECT_TRUE (knob.caption.isEmpty());
    EXPECT_EQ (knob.getSliderStyle(), juce::Slider::RotaryHorizontalVerticalDrag);
    EXPECT_EQ (knob.getMinimum(), 0.0);
    EXPECT_EQ (knob.getMaximum(), 100.0);
    EXPECT_EQ (knob.getInterval(), 1.0);
    EXPECT_EQ (knob.getTextBoxPosition(), juce::Slider::NoTextBox);
    EXPECT_EQ (knob.getTextBoxHeight(), 11);
    EXPECT_EQ (knob.findColour (juce::Slider::rotarySliderFillColourId), mainColour);
    EXPECT_EQ (knob.findColour (juce::Slider::thumbColourId), mainColour);
    EXPECT_EQ (knob.findColour (juce::Slider::textBoxOutlineColourId), juce::Colours::transparentBlack);
    EXPECT_EQ (knob.findColour (juce::Slider::rotarySliderOutlineColourId), juce::Colour (0x9920b2aa));
    EXPECT_EQ (knob.findColour (juce::Slider::textBoxTextColourId), juce::Colours::white);
    EXPECT_TRUE (knob.getChildren().isEmpty()) << "no text box is ever shown";

    // Dragging up turns it up.
    knob.setValue (50.0);
    turn (knob, 40.0f);
    EXPECT_GT (knob.getValue(), 50.0);
}

TEST_F (KnobTest, WedgeSitsLowerLeftAtTheMinimumAndLowerRightAtTheMaximum)
{
    const auto wedge = over (juce::Colours::transparentBlack, mainColour.withAlpha (0.7f)).overlaidWith (disc);
    const auto faceOnly = over (juce::Colours::transparentBlack, disc);

    // The band of a normal knob runs from 0.65 of the radius (48) to the rim.
    const auto minPoint = along (centre(), CustomRoratySlider::startAngle, 40.0f);
    const auto maxPoint = along (centre(), CustomRoratySlider::endAngle, 40.0f);
    EXPECT_LT (minPoint.x, 25.0f);
    EXPECT_GT (minPoint.y, 75.0f);
    EXPECT_GT (maxPoint.x, 75.0f);
    EXPECT_GT (maxPoint.y, 75.0f);

    knob.setValue (0.0);
    auto image = snapshot (knob);
    EXPECT_TRUE (near (pixel (image, minPoint.x, minPoint.y), wedge, 3));
    EXPECT_TRUE (near (pixel (image, maxPoint.x, maxPoint.y), faceOnly, 3));

    knob.setValue (100.0);
    image = snapshot (knob);
    EXPECT_TRUE (near (pixel (image, minPoint.x, minPoint.y), faceOnly, 3));
    EXPECT_TRUE (near (pixel (image, maxPoint.x, maxPoint.y), wedge, 3));

    // Half way the wedge points straight up; the arc spans the whole travel
    // whatever the value.
    knob.setValue (50.0);
    image = snapshot (knob);
    EXPECT_TRUE (near (pixel (image, 50.0f, 10.0f), wedge, 3));
    KnobDrawing drawing (knob);
    const auto* arc = drawing.firstFillOf (juce::Colour (0x9920b2aa));
    ASSERT_NE (arc, nullptr);
    EXPECT_NEAR (arc->bounds.getY(), 2.0f - 1.1f, 0.05f);          // over the top, 2.2 wide
    EXPECT_NEAR (arc->bounds.getX(), 50.0f - 48.0f - 1.1f, 0.6f);  // both sides reached
    EXPECT_NEAR (arc->bounds.getRight(), 50.0f + 48.0f + 1.1f, 0.6f);
    EXPECT_NEAR (arc->bounds.getBottom(), 50.0f + 48.0f * std::cos (juce::MathConstants<float>::pi / 4.0f), 1.5f);
}

TEST_F (KnobTest, DisabledKnobIsGreyWithAHairlineArcAndDimText)
{
    knob.setValue (0.0);
    knob.setEnabled (false);

    const auto image = snapshot (knob);
    const auto minPoint = along (centre(), CustomRoratySlider::startAngle, 40.0f);
    EXPECT_TRUE (near (pixel (image, minPoint.x, minPoint.y), over (disabledGrey, disc), 3));

    KnobDrawing drawing (knob);
    const auto& fills = drawing.recording.context.fills;
    ASSERT_GE (fills.size(), 3u);
    EXPECT_EQ (fills.front().colour, disabledGrey) << "wedge";
    EXPECT_EQ (fills[1].colour, disc);
    EXPECT_EQ (fills.back().colour, disabledGrey) << "arc";
    EXPECT_NEAR (fills.back().bounds.getY(), 2.0f - 0.15f, 0.02f) << "0.3 wide";

    ASSERT_FALSE (drawing.recording.context.glyphs.empty());
    for (auto& glyph : drawing.recording.context.glyphs)
        EXPECT_EQ (glyph.colour, juce::Colours::white.withAlpha (0.7f));
}

TEST_F (KnobTest, CompactKnobHasALongPointerAndNoValueText)
{
    knob.setValue (50.0); // pointer straight up
    const auto inner = juce::Point<float> (50.0f, 50.0f - 12.0f); // 0.25 of the radius

    auto normal = snapshot (knob);
    KnobDrawing normalDrawing (knob);
    EXPECT_FALSE (normalDrawing.recording.context.glyphs.empty()) << "value text";

    knob.olvLookAndFeel.compactStyle = true;
    knob.caption = "Zoom";
    auto compact = snapshot (knob);
    KnobDrawing compactDrawing (knob);

    EXPECT_TRUE (near (pixel (normal, inner.x, inner.y), over (juce::Colours::transparentBlack, disc), 3));
    EXPECT_TRUE (near (pixel (compact, inner.x, inner.y),
                       over (juce::Colours::transparentBlack, mainColour.withAlpha (0.7f)).overlaidWith (disc), 3));

    // Wedge, disc and arc stay; the only text is the caption, in the bottom quarter.
    EXPECT_NE (compactDrawing.firstFillOf (disc), nullptr);
    EXPECT_NE (compactDrawing.firstFillOf (juce::Colour (0x9920b2aa)), nullptr);
    ASSERT_EQ (compactDrawing.recording.context.glyphs.size(), 4u);
    for (auto& glyph : compactDrawing.recording.context.glyphs)
        EXPECT_GE (glyph.origin.y, 75.0f);

    const auto* wedge = compactDrawing.firstFillOf (mainColour.withAlpha (0.7f));
    ASSERT_NE (wedge, nullptr);
    EXPECT_NEAR (wedge->bounds.getBottom(), 50.0f - 0.15f * 48.0f * std::cos (0.1f), 0.05f);
}

TEST_F (KnobTest, KnobOf77By51PlacesFaceTextAndCaptionAsComputed)
{
    knob.setSize (77, 51);
    knob.caption = "Rotate";
    knob.textFromValueFunction = [] (double) { return juce::String ("42"); };
    knob.setValue (10.0);

    KnobDrawing drawing (knob);
    const auto* face = drawing.firstFillOf (disc);
    ASSERT_NE (face, nullptr);
    EXPECT_NEAR (face->bounds.getX(), 15.5f, 0.01f);
    EXPECT_NEAR (face->bounds.getY(), 2.5f, 0.01f);
    EXPECT_NEAR (face->bounds.getWidth(), 46.0f, 0.01f);
    EXPECT_NEAR (face->bounds.getHeight(), 46.0f, 0.01f);

    // Value text: box 42 x 12 at y 19, the text's own width centred in it.
    const juce::Font valueFont (juce::Font::getDefaultSansSerifFontName(), "Regular", 16.5f);
    const auto textW = (int) std::ceil (valueFont.getStringWidthFloat ("42"));
    const auto textX = (int) (17.0f + (float) (42 - textW) * 0.5f);
    const auto& glyphs = drawing.recording.context.glyphs;
    ASSERT_EQ (glyphs.size(), 2u + 6u);
    EXPECT_FLOAT_EQ (glyphs[0].fontHeight, 16.5f);
    EXPECT_GE (glyphs[0].origin.x, (float) textX - 0.01f);
    EXPECT_LT (glyphs[0].origin.x, (float) textX + 0.51f);
    EXPECT_NEAR (glyphs[0].origin.y - glyphs[0].ascent, 19.0f + (12.0f - 16.5f) / 2.0f, 0.01f);

    // Caption: centred in the strip (0, 39, 77, 12), 14 high.
    for (size_t i = 2; i < glyphs.size(); ++i)
    {
        EXPECT_FLOAT_EQ (glyphs[i].fontHeight, 14.0f);
        EXPECT_NEAR (glyphs[i].origin.y - glyphs[i].ascent, 39.0f + (12.0f - 14.0f) / 2.0f, 0.01f);
        EXPECT_GE (glyphs[i].origin.x, 0.0f);
        EXPECT_LT (glyphs[i].origin.x, 77.0f);
    }

    const juce::Font captionFont (juce::Font::getDefaultSansSerifFontName(), "Regular", 14.0f);
    EXPECT_NEAR (glyphs[2].origin.x, (77.0f - captionFont.getStringWidthFloat ("Rotate")) / 2.0f, 0.6f);

    // For a text 20 pixels wide the box gives x = 17 + 11.
    EXPECT_EQ ((int) ((float) ((77 - 42) / 2) + (float) (42 - 20) * 0.5f), 28);
}

TEST_F (KnobTest, TextSizesFollowTheWindowWidth)
{
    knob.caption = "Bar";

    for (const auto windowWidth : { 950, 760, 1187 })
    {
        ScopedRatio scoped (ratioForWindowWidth (windowWidth));
        KnobDrawing drawing (knob);
        const auto& glyphs = drawing.recording.context.glyphs;
        ASSERT_FALSE (glyphs.empty());
        EXPECT_NEAR (glyphs.front().fontHeight, 16.5f * globalResizeRatio, 0.001f) << windowWidth;
        EXPECT_NEAR (glyphs.back().fontHeight, 14.0f * globalResizeRatio, 0.001f) << windowWidth;
    }

    // An empty caption draws nothing under the knob.
    knob.caption = {};
    KnobDrawing drawing (knob);
    for (auto& glyph : drawing.recording.context.glyphs)
        EXPECT_LT (glyph.origin.y, 75.0f);
}

TEST_F (KnobTest, TinyKnobDrawsOnlyARingAndPointer)
{
    for (const auto& size : { juce::Point<int> (5, 40), juce::Point<int> (40, 5), juce::Point<int> (4, 4),
                              juce::Point<int> (1, 1), juce::Point<int> (0, 0) })
    {
        knob.setSize (size.x, size.y);
        knob.caption = {};
        KnobDrawing drawing (knob);
        const auto& fills = drawing.recording.context.fills;
        ASSERT_EQ (fills.size(), 1u) << size.toString();
        EXPECT_EQ (fills.front().colour, mainColour.withAlpha (0.7f));
        EXPECT_TRUE (drawing.recording.context.glyphs.empty());
    }

    // 6 pixels is enough for the normal drawing.
    knob.setSize (6, 40);
    KnobDrawing drawing (knob);
    EXPECT_NE (drawing.firstFillOf (disc), nullptr);
}

TEST_F (KnobTest, HoverMakesTheWedgeOpaqueAndTheArcThinner)
{
    KESTRUNE_NEEDS_DISPLAY();

    knob.setValue (50.0);
    OnScreen screen (knob);

    KnobDrawing atRest (knob);
    screen.mouse (knob, { 50.0f, 50.0f }, false);
    ASSERT_TRUE (knob.isMouseOverOrDragging());
    KnobDrawing hovered (knob);

    const auto* restWedge = atRest.firstFillOf (mainColour.withAlpha (0.7f));
    const auto* hoverWedge = hovered.firstFillOf (mainColour);
    ASSERT_NE (restWedge, nullptr);
    ASSERT_NE (hoverWedge, nullptr);
    EXPECT_NEAR (restWedge->bounds.getBottom(), 50.0f - 0.65f * 48.0f * std::cos (0.1f), 0.05f);
    EXPECT_NEAR (hoverWedge->bounds.getBottom(), 50.0f - 0.6f * 48.0f * std::cos (0.1f), 0.05f);

    const auto* restArc = atRest.recording.context.fills.back().colour == juce::Colour (0x9920b2aa)
                              ? &atRest.recording.context.fills.back() : nullptr;
    const auto* hoverArc = &hovered.recording.context.fills.back();
    ASSERT_NE (restArc, nullptr);
    EXPECT_NEAR (restArc->bounds.getY(), 2.0f - 1.1f, 0.02f);
    EXPECT_NEAR (hoverArc->bounds.getY(), 2.0f - 1.0f, 0.02f);
    EXPECT_EQ (hovered.recording.context.glyphs.front().colour, juce::Colours::white);

    // Compact and hovered: the pointer reaches to 0.2 of the radius.
    knob.olvLookAndFeel.compactStyle = true;
    KnobDrawing compactHover (knob);
    const auto* compactWedge = compactHover.firstFillOf (mainColour);
    ASSERT_NE (compactWedge, nullptr);
    EXPECT_NEAR (compactWedge->bounds.getBottom(), 50.0f - 0.2f * 48.0f * std::cos (0.1f), 0.05f);

    // Disabled under the mouse: no hover.
    knob.olvLookAndFeel.compactStyle = false;
    knob.setEnabled (false);
    KnobDrawing disabled (knob);
    EXPECT_EQ (disabled.recording.context.fills.front().colour, disabledGrey);
    EXPECT_EQ (disabled.recording.context.glyphs.front().colour, juce::Colours::white.withAlpha (0.7f));
    EXPECT_NEAR (disabled.recording.context.fills.back().bounds.getY(), 2.0f - 0.15f, 0.02f);
}

TEST_F (KnobTest, IncDecStyleGetsWhiteArrowButtons)
{
    knob.setSliderStyle (juce::Slider::IncDecButtons);
    knob.setSize (80, 30);

    juce::StringArray names;
    for (auto* child : knob.getChildren())
        if (auto* arrow = dynamic_cast<juce::ArrowButton*> (child))
            names.add (arrow->getName());

    names.sort (false);
    EXPECT_EQ (names, juce::StringArray ({ "d", "u" }));

    std::unique_ptr<juce::Button> up (knob.olvLookAndFeel.createSliderButton (knob, true));
    std::unique_ptr<juce::Button> down (knob.olvLookAndFeel.createSliderButton (knob, false));
    up->setSize (20, 20);
    down->setSize (20, 20);
    const auto upImage = snapshot (*up);
    const auto downImage = snapshot (*down);

    // Right-pointing: wide on the left, the tip on the right; left-pointing
    // the other way round.
    EXPECT_TRUE (near (pixel (upImage, 3.0f, 3.0f), juce::Colours::white.withAlpha ((juce::uint8) 0xcc), 40));
    EXPECT_LT (pixel (upImage, 14.0f, 3.0f).getAlpha(), 0x80);
    EXPECT_TRUE (near (pixel (downImage, 14.0f, 3.0f), juce::Colours::white.withAlpha ((juce::uint8) 0xcc), 40));
    EXPECT_LT (pixel (downImage, 3.0f, 3.0f).getAlpha(), 0x80);
}
