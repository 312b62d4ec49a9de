#include "PanelTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::panels;

namespace
{
    using R = juce::Rectangle<int>;

    struct TransformLayout
    {
        int windowWidth;
        R affine, rotateLabel;
        std::array<R, 4> buttons;
        std::array<R, 6> knobs; // Rotate, Zoom, Left/Right, Up/Down, HSkew, VSkew
    };

    const TransformLayout layouts[] {
        { 950, { 0, 0, 77, 30 }, { 0, 35, 77, 15 },
          { R { 5, 52, 67, 26 }, R { 5, 82, 67, 26 }, R { 5, 112, 67, 26 }, R { 5, 142, 67, 26 } },
          { R { 0, 178, 77, 51 }, R { 0, 239, 77, 51 }, R { 0, 300, 77, 51 }, R { 0, 361, 77, 51 },
            R { 0, 422, 77, 45 }, R { 0, 477, 77, 46 } } },
        { 760, { 0, 0, 60, 30 }, { 0, 35, 60, 15 },
          { R { 5, 52, 50, 20 }, R { 5, 76, 50, 20 }, R { 5, 100, 50, 20 }, R { 5, 124, 50, 20 } },
          { R { 0, 154, 60, 38 }, R { 0, 202, 60, 38 }, R { 0, 250, 60, 38 }, R { 0, 298, 60, 38 },
            R { 0, 346, 60, 30 }, R { 0, 386, 60, 30 } } },
        { 1187, { 0, 0, 98, 30 }, { 0, 35, 98, 15 },
          { R { 5, 52, 88, 33 }, R { 5, 89, 88, 33 }, R { 5, 126, 88, 33 }, R { 5, 163, 88, 33 } },
          { R { 0, 206, 98, 68 }, R { 0, 284, 98, 68 }, R { 0, 362, 98, 68 }, R { 0, 440, 98, 68 },
            R { 0, 518, 98, 64 }, R { 0, 592, 98, 64 } } },
    };

    bool lit (AffineTransformPanel& panel, int i) { return button (panel.rotateButtons, i).getToggleState(); }

    std::vector<float> rotateValues (KestruneAudioProcessor& p) { return plainValues (p, "rotate", 4); }
}

TEST (TransformPanel, LaysOutAtTheThreeWindowSizes)
{
    for (auto& expected : layouts)
    {
        PanelSet panels (expected.windowWidth);
        auto& panel = *panels.transform;

        EXPECT_EQ (panel.affineLabel.getBounds(), expected.affine) << expected.windowWidth;
        EXPECT_EQ (panel.rotateLabel.getBounds(), expected.rotateLabel) << expected.windowWidth;

        for (int i = 0; i < 4; ++i)
            EXPECT_EQ (panel.rotateButtons[i]->getBounds(), expected.buttons[(size_t) i]) << expected.windowWidth << " button " << i;

        const CustomRoratySlider* knobs[] { &panel.rotateKnob, &panel.zoomKnob, &panel.leftRightKnob,
                                            &panel.upDownKnob, &panel.hSkewKnob, &panel.vSkewKnob };
        for (size_t i = 0; i < 6; ++i)
            EXPECT_EQ (knobs[i]->getBounds(), expected.knobs[i]) << expected.windowWidth << " " << knobs[i]->caption;
    }
}

TEST (TransformPanel, TinyPanelGivesNoNegativeSizes)
{
    PanelSet panels;
    panels.transform->setSize (6, 40);
    expectNoNegativeSizes (*panels.transform);

    EXPECT_EQ (panels.transform->rotateButtons[0]->getWidth(), 0);
    EXPECT_EQ (panels.transform->vSkewKnob.getHeight(), 0);
}

TEST (TransformPanel, KnobsButtonsAndLabelsAreSetUp)
{
    PanelSet panels;
    auto& panel = *panels.transform;

    const struct { CustomRoratySlider& knob; const char* caption; bool compact; } knobs[] {
        { panel.rotateKnob, "Rotate", false }, { panel.zoomKnob, "Zoom", true },
        { panel.leftRightKnob, "Left/Right", true }, { panel.upDownKnob, "Up/Down", true },
        { panel.hSkewKnob, "HSkew", true }, { panel.vSkewKnob, "VSkew", true },
    };

    for (auto& k : knobs)
    {
        EXPECT_EQ (k.knob.caption, k.caption);
        EXPECT_EQ (k.knob.olvLookAndFeel.compactStyle, k.compact) << k.caption;
        EXPECT_TRUE (k.knob.getTooltip().isEmpty());
    }

    EXPECT_EQ (panel.affineLabel.getText(), "AFFINE");
    EXPECT_EQ (panel.affineLabel.getJustificationType(), juce::Justification::centred);
    EXPECT_EQ (panel.affineLabel.findColour (juce::Label::textColourId), juce::Colours::lightgrey);
    EXPECT_EQ (panel.affineLabel.findColour (juce::Label::backgroundColourId), juce::Colour (0xff191919));
    EXPECT_EQ (panel.affineLabel.findColour (juce::Label::outlineColourId), juce::Colours::darkgrey);
    EXPECT_EQ (panel.rotateLabel.getText(), "Rotate");
    EXPECT_EQ (panel.rotateLabel.getJustificationType(), juce::Justification::left);
    EXPECT_EQ (panel.rotateLabel.findColour (juce::Label::textColourId), juce::Colours::white);

    const char* texts[] { "0", "90", "180", "270" };
    for (int i = 0; i < 4; ++i)
    {
        auto& b = button (panel.rotateButtons, i);
        EXPECT_EQ (b.getButtonText(), texts[i]);
        EXPECT_EQ (b.getRadioGroupId(), 34567);
        EXPECT_TRUE (b.getClickingTogglesState());
        EXPECT_EQ (b.isConnectedOnTop(), i > 0);
        EXPECT_EQ (b.isConnectedOnBottom(), i < 3);
        EXPECT_EQ (b.findColour (juce::TextButton::buttonColourId), generalColour);
        EXPECT_EQ (b.findColour (juce::TextButton::buttonOnColourId), mainColour);
        EXPECT_EQ (b.findColour (juce::TextButton::textColourOffId), mainColour);
        EXPECT_EQ (b.findColour (juce::TextButton::textColourOnId), juce::Colours::black);
        EXPECT_EQ (b.getParentComponent(), &panel);
    }

    // The fine-rotation knob shows the parameter's own text.
    hostSets (panels.p(), "fineRotate", 12.5f);
    EXPECT_EQ (panel.rotateKnob.getTextFromValue (panel.rotateKnob.getValue()),
               param (panels.p(), "fineRotate").getCurrentValueAsText());
}

TEST (TransformPanel, PaintsItsBackgroundAndOutline)
{
    PanelSet panels;
    const auto image = paintOf (*panels.transform);
    ASSERT_EQ (image.getBounds(), R (0, 0, 77, 528));

    EXPECT_TRUE (near (image.getPixelAt (40, 300), myPanelColour));
    EXPECT_TRUE (near (image.getPixelAt (0, 300), juce::Colours::darkgrey, 3));
    EXPECT_TRUE (near (image.getPixelAt (76, 300), juce::Colours::darkgrey, 3));
    EXPECT_TRUE (near (image.getPixelAt (40, 527), juce::Colours::darkgrey, 3));
}

TEST (TransformPanel, RotateButtonsStayExclusiveFromClicksHostAndRestoredState)
{
    PanelSet panels;
    auto& panel = *panels.transform;
    auto& p = panels.p();

    ASSERT_EQ (rotateValues (p), (std::vector<float> { 1, 0, 0, 0 }));
    EXPECT_TRUE (lit (panel, 0));

    // A click on another button switches the lit one off and writes 0 for it.
    click (panel.rotateButtons[2]);
    EXPECT_EQ (rotateValues (p), (std::vector<float> { 0, 0, 1, 0 }));

    // Clicking the lit button leaves it lit.
    click (panel.rotateButtons[2]);
    EXPECT_TRUE (lit (panel, 2));
    EXPECT_EQ (rotateValues (p), (std::vector<float> { 0, 0, 1, 0 }));

    // The host switches one on: the others go off, their parameters with them.
    hostSets (p, "rotate1", 1.0f);
    EXPECT_EQ (rotateValues (p), (std::vector<float> { 0, 1, 0, 0 }));
    hostSetsFromAnotherThread (p, "rotate3", 1.0f);
    pumpMessagesUntil ([&] { return lit (panel, 3) && rotateValues (p) == std::vector<float> { 0, 0, 0, 1 }; });
    EXPECT_EQ (rotateValues (p), (std::vector<float> { 0, 0, 0, 1 }));
    EXPECT_TRUE (lit (panel, 3));

    // A restored state with two entries on keeps one.
    {
        PanelSet source;
        hostSets (source.p(), "rotate0", 1.0f);
        source.close();
        setPlain (source.p(), "rotate2", 1.0f); // no panel: the processor keeps both
        ASSERT_EQ (rotateValues (source.p()), (std::vector<float> { 1, 0, 1, 0 }));
        const auto state = saveState (source.p());
        p.setStateInformation (state.getData(), (int) state.getSize());
    }

    pumpMessages (50);
    const auto values = rotateValues (p);
    EXPECT_EQ (std::count (values.begin(), values.end(), 1.0f), 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ (lit (panel, i), values[(size_t) i] == 1.0f) << i;

    // No entry on: no button lit.
    for (int i = 0; i < 4; ++i)
        hostSets (p, "rotate" + juce::String (i), 0.0f);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE (lit (panel, i));
}

TEST (TransformPanel, AddToListOwnsShowsAndColoursTheButton)
{
    juce::Component owner;
    juce::OwnedArray<juce::Component> list;

    auto* b = new juce::TextButton ("x");
    EXPECT_EQ (addToList (&owner, list, b), b);
    EXPECT_EQ (list.size(), 1);
    EXPECT_EQ (list[0], b);
    EXPECT_EQ (b->getParentComponent(), &owner);
    EXPECT_TRUE (b->isVisible());
    EXPECT_TRUE (b->getClickingTogglesState());
    EXPECT_EQ (b->findColour (juce::TextButton::buttonColourId), juce::Colours::transparentBlack);
    EXPECT_EQ (b->findColour (juce::TextButton::buttonOnColourId), mainColour);
    EXPECT_EQ (b->findColour (juce::TextButton::textColourOffId), mainColour);
    EXPECT_EQ (b->findColour (juce::TextButton::textColourOnId), juce::Colours::black);

    // A null button is only appended.
    EXPECT_EQ (addToList<juce::TextButton> (&owner, list, nullptr), nullptr);
    EXPECT_EQ (list.size(), 2);
    EXPECT_EQ (owner.getNumChildComponents(), 1);

    list.clear();
    EXPECT_EQ (owner.getNumChildComponents(), 0) << "the list deletes its buttons";
}
