#include "PanelTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::panels;

namespace
{
    using R = juce::Rectangle<int>;

    std::vector<std::pair<juce::Component*, R>> expectedAt139x528 (ImageManupulationPanel& p)
    {
        return {
            { &p.imageLabel, { 0, 0, 139, 30 } },        { &p.drawingLabel, { 0, 35, 139, 15 } },
            { &p.penColourKnob, { 0, 55, 69, 63 } },     { &p.penThicknessKnob, { 69, 57, 70, 59 } },
            { &p.penStyleBox, { 4, 127, 131, 28 } },     { &p.effectsLabel, { 0, 161, 139, 15 } },
            { &p.contrastKnob, { 2, 181, 65, 59 } },     { &p.brightnessKnob, { 71, 181, 66, 59 } },
            { &p.blackWhiteButton, { 7, 252, 125, 26 } }, { &p.thresholdKnob, { 0, 285, 139, 69 } },
            { &p.smoothHorKnob, { 2, 359, 65, 59 } },    { &p.smoothVerKnob, { 71, 359, 66, 59 } },
            { &p.hRescaleKnob, { 2, 428, 65, 59 } },     { &p.vRescaleKnob, { 71, 428, 66, 59 } },
            { &p.recordButton, { 0, 492, 139, 36 } },
        };
    }
}

TEST (ImagePanel, LaysOutInFixedPixels)
{
    for (const auto windowWidth : { 950, 760, 1187 })
    {
        PanelSet panels (windowWidth);
        auto& panel = *panels.image;

        if (windowWidth == 950)
        {
            for (auto& [child, bounds] : expectedAt139x528 (panel))
                EXPECT_EQ (child->getBounds(), bounds) << child->getName();
        }
        else if (windowWidth == 760)
        {
            EXPECT_EQ (panel.recordButton.getBounds(), R (0, 417, 109, 4));
        }
        else
        {
            EXPECT_EQ (panel.recordButton.getBounds(), R (0, 587, 176, 74));
        }
    }

    // The ratio plays no part: 139 x 528 at another ratio lays out the same.
    PanelSet panels (760);
    panels.image->setSize (139, 528);
    for (auto& [child, bounds] : expectedAt139x528 (*panels.image))
        EXPECT_EQ (child->getBounds(), bounds);
}

TEST (ImagePanel, NarrowOrShortPanelsGiveNoNegativeSizes)
{
    PanelSet panels;
    auto& panel = *panels.image;

    panel.setSize (14, 528);
    EXPECT_EQ (panel.blackWhiteButton.getWidth(), 0);
    panel.setSize (15, 528);
    EXPECT_EQ (panel.blackWhiteButton.getWidth(), 1);

    panel.setSize (139, 200);
    expectNoNegativeSizes (panel);
    EXPECT_TRUE (panel.recordButton.getBounds().isEmpty());
    EXPECT_EQ (panel.vRescaleKnob.getHeight(), 0);
    EXPECT_EQ (panel.thresholdKnob.getHeight(), 0);
}

TEST (ImagePanel, ControlsAreSetUp)
{
    PanelSet panels;
    auto& panel = *panels.image;

    const struct { CustomRoratySlider& knob; const char* caption; bool compact; } knobs[] {
        { panel.contrastKnob, "Contr", false },   { panel.brightnessKnob, "Bright", false },
        { panel.penThicknessKnob, "PTick", false }, { panel.penColourKnob, "PenCol", false },
        { panel.thresholdKnob, "Threshold", false }, { panel.smoothHorKnob, "SmHor", true },
        { panel.smoothVerKnob, "SmVer", true },   { panel.hRescaleKnob, "HRescale", true },
        { panel.vRescaleKnob, "VRescale", true },
    };
    for (auto& k : knobs)
    {
        EXPECT_EQ (k.knob.caption, k.caption);
        EXPECT_EQ (k.knob.olvLookAndFeel.compactStyle, k.compact) << k.caption;
    }

    EXPECT_EQ (panel.imageLabel.getText(), "IMAGE");
    EXPECT_EQ (panel.imageLabel.findColour (juce::Label::outlineColourId), juce::Colours::darkgrey);
    EXPECT_EQ (panel.drawingLabel.getText(), "Drawing");
    EXPECT_EQ (panel.effectsLabel.getText(), "Effects");
    EXPECT_EQ (panel.effectsLabel.findColour (juce::Label::backgroundColourId), juce::Colour (0xff191919));

    // Pen styles: item ID = value + 1; the box's own text colour wins over the look-and-feel's.
    ASSERT_EQ (panel.penStyleBox.getNumItems(), 7);
    for (int i = 0; i < 7; ++i)
    {
        EXPECT_EQ (panel.penStyleBox.getItemText (i), penStyleOptions[i]);
        EXPECT_EQ (panel.penStyleBox.getItemId (i), i + 1);
    }
    EXPECT_EQ (&panel.penStyleBox.getLookAndFeel(), &panel.panelLookAndFeel);
    EXPECT_EQ (panel.penStyleBox.findColour (juce::ComboBox::textColourId), mainColour);
    EXPECT_EQ (panel.panelLookAndFeel.findColour (juce::ComboBox::textColourId), juce::Colours::yellowgreen);
    EXPECT_EQ (panel.panelLookAndFeel.findColour (juce::PopupMenu::backgroundColourId), juce::Colour (0xff141414));

    hostSets (panels.p(), "penStyle", 0.0f);
    EXPECT_EQ (panel.penStyleBox.getSelectedId(), 1);
    EXPECT_EQ (panel.penStyleBox.getText(), "Line");
    hostSets (panels.p(), "penStyle", 6.0f);
    EXPECT_EQ (panel.penStyleBox.getSelectedId(), 7);
    EXPECT_EQ (panel.penStyleBox.getText(), "Spray");

    for (auto* b : { &panel.blackWhiteButton, &panel.recordButton })
    {
        EXPECT_TRUE (b->getClickingTogglesState());
        EXPECT_EQ (b->findColour (juce::TextButton::textColourOffId), mainColour);
        EXPECT_EQ (b->findColour (juce::TextButton::textColourOnId), juce::Colours::black);
        EXPECT_EQ (b->findColour (juce::TextButton::buttonOnColourId), mainColour);
    }
    EXPECT_EQ (panel.blackWhiteButton.getButtonText(), "Black And White");
    EXPECT_EQ (panel.blackWhiteButton.findColour (juce::TextButton::buttonColourId), juce::Colours::transparentBlack);
    EXPECT_EQ (panel.recordButton.findColour (juce::TextButton::buttonColourId), juce::Colour (0x80000000));
}

TEST (ImagePanel, PaintsItsBackgroundAndOutline)
{
    PanelSet panels;
    const auto image = paintOf (*panels.image);
    ASSERT_EQ (image.getBounds(), R (0, 0, 139, 528));
    EXPECT_TRUE (near (image.getPixelAt (70, 300), myPanelColour));
    EXPECT_TRUE (near (image.getPixelAt (0, 300), juce::Colours::darkgrey, 3));
    EXPECT_TRUE (near (image.getPixelAt (70, 0), juce::Colours::darkgrey, 3));
}

TEST (ImagePanel, BlackAndWhiteSwitchEnablesTheThresholdAtOnce)
{
    PanelSet panels;
    auto& panel = *panels.image;
    auto& p = panels.p();

    EXPECT_FALSE (panel.thresholdKnob.isEnabled());

    click (panel.blackWhiteButton);
    EXPECT_EQ (plainValue (p, "bwset"), 1.0f);
    EXPECT_TRUE (panel.thresholdKnob.isEnabled());

    click (panel.blackWhiteButton);
    EXPECT_FALSE (panel.thresholdKnob.isEnabled());

    // The host on the message thread: at once, as a click.
    hostSets (p, "bwset", 1.0f);
    EXPECT_TRUE (panel.blackWhiteButton.getToggleState());
    EXPECT_TRUE (panel.thresholdKnob.isEnabled());
    hostSets (p, "bwset", 0.0f);
    EXPECT_FALSE (panel.thresholdKnob.isEnabled());

    // From the audio thread: as soon as the attachment delivers it.
    hostSetsFromAnotherThread (p, "bwset", 1.0f);
    pumpMessagesUntil ([&] { return panel.thresholdKnob.isEnabled(); });
    EXPECT_TRUE (panel.thresholdKnob.isEnabled());

    // A restored state.
    auto state = saveState (p);
    hostSets (p, "bwset", 0.0f);
    ASSERT_FALSE (panel.thresholdKnob.isEnabled());
    p.setStateInformation (state.getData(), (int) state.getSize());
    EXPECT_TRUE (panel.blackWhiteButton.getToggleState());
    EXPECT_TRUE (panel.thresholdKnob.isEnabled());

    // A panel opened with black and white on starts with the knob enabled.
    panels.close();
    panels.open();
    EXPECT_TRUE (panels.image->thresholdKnob.isEnabled());
}
