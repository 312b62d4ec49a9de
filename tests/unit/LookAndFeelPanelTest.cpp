#include "PanelTestSupport.h"

#include <cmath>

using namespace kestrune::test;
using namespace kestrune::test::panels;

namespace
{
    struct PanelLookAndFeelTest : ::testing::Test
    {
        MyLookAndFeel lookAndFeel;

        // A combo box drawn with the panel look-and-feel.
        struct Box : juce::ComboBox
        {
            explicit Box (juce::LookAndFeel& lf) { setLookAndFeel (&lf); }
            ~Box() override { setLookAndFeel (nullptr); }
        };

        struct Button : juce::TextButton
        {
            explicit Button (juce::LookAndFeel& lf) : juce::TextButton ("") { setLookAndFeel (&lf); }
            ~Button() override { setLookAndFeel (nullptr); }
        };

        struct Rotary : juce::Slider
        {
            explicit Rotary (juce::LookAndFeel& lf) : juce::Slider (juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox)
            {
                setLookAndFeel (&lf);
                setRange (0.0, 1.0);
            }
            ~Rotary() override { setLookAndFeel (nullptr); }
        };

        juce::Label* labelOf (juce::Component& c)
        {
            for (auto* child : c.getChildren())
                if (auto* label = dynamic_cast<juce::Label*> (child))
                    return label;
            return nullptr;
        }
    };
}

TEST_F (PanelLookAndFeelTest, ComboBoxIsDarkWithATealOutlineAndArrow)
{
    Box box (lookAndFeel);
    box.setSize (120, 28);
    const auto image = snapshot (box);

    EXPECT_TRUE (near (pixel (image, 60, 14), generalColour)) << "body";
    EXPECT_TRUE (near (pixel (image, 60, 0), generalColour.overlaidWith (mainColour.withAlpha ((juce::uint8) 0x80)), 3)) << "outline";
    EXPECT_LT (pixel (image, 0, 0).getAlpha(), 0x80) << "rounded corner";

    // The arrow: (108, 12) to (112, 17) to (117, 12), 2 wide, full teal even when disabled.
    EXPECT_TRUE (near (pixel (image, 112, 16), mainColour, 3));
    EXPECT_TRUE (near (pixel (image, 112, 10), generalColour)) << "above the arrow's tip";

    box.setEnabled (false);
    EXPECT_TRUE (near (pixel (snapshot (box), 112, 16), mainColour, 3));

    Recording drawing (box);
    const auto& fills = drawing.context.fills;
    ASSERT_EQ (fills.size(), 3u);
    EXPECT_EQ (fills[2].colour, mainColour);
    EXPECT_NEAR (fills[2].bounds.getX(), 108.0f, 1.0f);
    EXPECT_NEAR (fills[2].bounds.getRight(), 117.0f, 1.0f);
    EXPECT_NEAR (fills[2].bounds.getY(), 11.0f, 0.5f);
    EXPECT_GE (fills[2].bounds.getBottom(), 17.0f);
}

TEST_F (PanelLookAndFeelTest, ComboBoxInAChoicePropertyHasSquareCorners)
{
    juce::Value value (1);
    juce::ChoicePropertyComponent property (value, "p", { "a", "b" }, { 1, 2 });
    property.setLookAndFeel (&lookAndFeel);
    property.setSize (200, 30);

    juce::ComboBox* box = nullptr;
    for (auto* child : property.getChildren())
        if (auto* b = dynamic_cast<juce::ComboBox*> (child))
            box = b;

    ASSERT_NE (box, nullptr);
    box->setSize (100, 24);
    const auto image = snapshot (*box);
    EXPECT_EQ (pixel (image, 0, 0).getAlpha(), 0xff);
    EXPECT_TRUE (near (pixel (image, 0, 0), generalColour.overlaidWith (mainColour.withAlpha ((juce::uint8) 0x80)), 3));
    property.setLookAndFeel (nullptr);
}

TEST_F (PanelLookAndFeelTest, ComboBoxTextAndMenuFontsAreSmall)
{
    EXPECT_FLOAT_EQ (lookAndFeel.getPopupMenuFont().getHeight(), 12.0f);

    Box box (lookAndFeel);
    box.addItem ("Line", 1);

    const struct { int w, h; juce::Rectangle<int> label; float font; } cases[] {
        { 131, 28, { 1, 1, 111, 26 }, 12.0f },
        { 100, 15, { 1, 1, 80, 13 }, 12.0f },
        { 100, 14, { 1, 1, 80, 12 }, 11.9f },
        { 20, 14, { 1, 1, 0, 12 }, 11.9f },
        { 8, 1, { 1, 1, 0, 0 }, 0.85f },
    };

    for (auto& c : cases)
    {
        box.setSize (c.w, c.h);
        auto* label = labelOf (box);
        ASSERT_NE (label, nullptr);
        EXPECT_EQ (label->getBounds(), c.label) << c.w << " x " << c.h;
        EXPECT_NEAR (label->getFont().getHeight(), c.font, 1.0e-5f) << c.w << " x " << c.h;
        EXPECT_NEAR (lookAndFeel.getComboBoxFont (box).getHeight(), c.font, 1.0e-5f);
    }
}

TEST_F (PanelLookAndFeelTest, LoneButtonHasAnOrangeOutlineAndJoinedOneTheOutlineColour)
{
    Button lone (lookAndFeel);
    lone.setSize (80, 30);
    lone.setColour (juce::TextButton::buttonColourId, generalColour);
    auto image = snapshot (lone);
    EXPECT_TRUE (near (pixel (image, 40, 0), juce::Colours::orange, 3));
    EXPECT_TRUE (near (pixel (image, 40, 29), juce::Colours::orange, 3));
    EXPECT_TRUE (near (pixel (image, 0, 15), juce::Colours::orange, 3));
    EXPECT_LT (pixel (image, 0, 0).getAlpha(), 0x80) << "rounded";

    // Joined at the top only: square top, rounded bottom, outline in the
    // combo-box outline colour.
    Button joined (lookAndFeel);
    joined.setSize (80, 30);
    joined.setColour (juce::TextButton::buttonColourId, generalColour);
    joined.setConnectedEdges (juce::Button::ConnectedOnTop);
    const auto outline = joined.findColour (juce::ComboBox::outlineColourId);
    ASSERT_NE (outline, juce::Colours::orange);
    image = snapshot (joined);
    EXPECT_TRUE (near (pixel (image, 40, 29), outline, 3));
    EXPECT_TRUE (near (pixel (image, 0, 0), outline, 3)) << "square top corner";
    EXPECT_LT (pixel (image, 0, 29).getAlpha(), 0x80) << "rounded bottom corner";

    // The body is the given colour, a little desaturated (no focus).
    EXPECT_TRUE (near (pixel (image, 40, 15), generalColour.withMultipliedSaturation (0.9f), 3));

    // Disabled: half alpha.
    lone.setEnabled (false);
    EXPECT_NEAR (pixel (snapshot (lone), 40, 15).getAlpha(), 0x80, 2);
}

TEST_F (PanelLookAndFeelTest, RotarySliderIsAThinArcWithAPointer)
{
    Rotary slider (lookAndFeel);
    slider.setSize (60, 60);

    // Bounds (5, 5, 50, 50): radius 25, line 2, arc radius 24. The top of the track:
    slider.setValue (0.0);
    auto image = snapshot (slider);
    EXPECT_TRUE (near (pixel (image, 30, 6), juce::Colours::grey, 3));

    slider.setValue (1.0);
    image = snapshot (slider);
    EXPECT_TRUE (near (pixel (image, 30, 6), slider.findColour (juce::Slider::rotarySliderFillColourId), 3));

    slider.setEnabled (false);
    EXPECT_TRUE (near (pixel (snapshot (slider), 30, 6), juce::Colours::grey, 3)) << "no value arc when disabled";

    // The pointer starts at the track's bounding-box centre, above the knob's
    // centre for a track with its gap at the bottom.
    slider.setEnabled (true);
    slider.setValue (0.5);
    Recording drawing (slider);
    const auto& fills = drawing.context.fills;
    ASSERT_EQ (fills.size(), 3u);
    const auto& pointer = fills[2];
    EXPECT_EQ (pointer.colour, slider.findColour (juce::Slider::thumbColourId));
    const auto trackBottom = 30.0f + 24.0f * std::cos (juce::MathConstants<float>::pi * 0.2f); // default travel 1.2 pi to 2.8 pi
    EXPECT_NEAR (pointer.bounds.getBottom(), (6.0f + trackBottom) / 2.0f, 0.05f);
    EXPECT_NEAR (pointer.bounds.getY(), 30.0f - 23.0f, 0.05f);

    // Ten pixels or less: radius 0, nothing to see and nothing to break.
    slider.setSize (10, 10);
    const auto smallImage = snapshot (slider);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ (smallImage.getPixelAt (x, y).getAlpha(), 0) << x << ", " << y;
}

TEST_F (PanelLookAndFeelTest, SliderTextBoxIsTwelveHighAndOrangeOnlyForGreyBars)
{
    juce::Slider bar (juce::Slider::LinearBar, juce::Slider::TextBoxRight);
    bar.setLookAndFeel (&lookAndFeel);
    bar.setSize (100, 20);
    auto* label = labelOf (bar);
    ASSERT_NE (label, nullptr);
    EXPECT_FLOAT_EQ (label->getFont().getHeight(), 12.0f);
    EXPECT_NE (label->findColour (juce::Label::textColourId), juce::Colours::orange.withAlpha (0.7f));

    lookAndFeel.setColourScheme (juce::LookAndFeel_V4::getGreyColourScheme());
    bar.setTextBoxStyle (juce::Slider::TextBoxLeft, false, 50, 20); // a new box
    label = labelOf (bar);
    ASSERT_NE (label, nullptr);
    EXPECT_EQ (label->findColour (juce::Label::textColourId), juce::Colours::orange.withAlpha (0.7f));

    juce::Slider linear (juce::Slider::LinearHorizontal, juce::Slider::TextBoxRight);
    linear.setLookAndFeel (&lookAndFeel);
    label = labelOf (linear);
    ASSERT_NE (label, nullptr);
    EXPECT_NE (label->findColour (juce::Label::textColourId), juce::Colours::orange.withAlpha (0.7f));
    EXPECT_FLOAT_EQ (label->getFont().getHeight(), 12.0f);

    linear.setLookAndFeel (nullptr);
    bar.setLookAndFeel (nullptr);
}
