#include "PanelTestSupport.h"
#include "PanelFont.h"

using namespace kestrune::test;
using namespace kestrune::test::panels;

namespace
{
    using R = juce::Rectangle<int>;

    struct ScanLayout
    {
        int windowWidth;
        R play, direction;
        std::array<R, 4> directionButtons;
        R box, attack, decay, noteUnit, texture, bar, pow, wider, interval;
        std::array<R, 6> refLines;
        R a, b, shift, dryWet;
    };

    // 950: as worked out for the default window; 760 and 1187: the same
    // rules at ratios 0.8 and 1187 / 950.
    const ScanLayout layouts[] {
        { 950, { 0, 0, 182, 30 }, { 0, 35, 182, 15 },
          { R { 5, 54, 81, 26 }, R { 5, 84, 81, 26 }, R { 5, 114, 81, 26 }, R { 5, 144, 81, 26 } },
          { 5, 174, 81, 26 }, { 91, 52, 91, 63 }, { 91, 115, 91, 63 }, { 91, 178, 91, 31 },
          { 0, 210, 182, 15 }, { 0, 229, 60, 60 }, { 60, 229, 60, 60 }, { 120, 229, 62, 60 }, { 0, 299, 182, 15 },
          { R { 5, 318, 50, 26 }, R { 65, 318, 50, 26 }, R { 126, 318, 50, 26 },
            R { 5, 348, 50, 26 }, R { 65, 348, 50, 26 }, R { 126, 348, 50, 26 } },
          { 5, 384, 50, 50 }, { 65, 384, 50, 50 }, { 125, 384, 50, 50 }, { 10, 447, 162, 45 } },
        { 760, { 0, 0, 146, 24 }, { 0, 29, 146, 12 },
          { R { 5, 45, 63, 20 }, R { 5, 69, 63, 20 }, R { 5, 93, 63, 20 }, R { 5, 117, 63, 20 } },
          { 5, 141, 63, 20 }, { 73, 43, 73, 51 }, { 73, 94, 73, 51 }, { 73, 145, 73, 25 },
          { 0, 169, 146, 12 }, { 0, 185, 48, 48 }, { 48, 185, 48, 48 }, { 96, 185, 50, 48 }, { 0, 241, 146, 12 },
          { R { 5, 257, 38, 20 }, R { 53, 257, 38, 20 }, R { 102, 257, 38, 20 },
            R { 5, 281, 38, 20 }, R { 53, 281, 38, 20 }, R { 102, 281, 38, 20 } },
          { 5, 311, 38, 38 }, { 53, 311, 38, 38 }, { 101, 311, 38, 38 }, { 10, 362, 126, 31 } },
        { 1187, { 0, 0, 228, 37 }, { 0, 42, 228, 18 },
          { R { 5, 64, 104, 33 }, R { 5, 101, 104, 33 }, R { 5, 138, 104, 33 }, R { 5, 175, 104, 33 } },
          { 5, 212, 104, 33 }, { 114, 62, 114, 79 }, { 114, 141, 114, 79 }, { 114, 220, 114, 39 },
          { 0, 257, 228, 18 }, { 0, 279, 76, 74 }, { 76, 279, 76, 74 }, { 152, 279, 76, 74 }, { 0, 365, 228, 18 },
          { R { 5, 387, 66, 33 }, R { 81, 387, 66, 33 }, R { 157, 387, 66, 33 },
            R { 5, 424, 66, 33 }, R { 81, 424, 66, 33 }, R { 157, 424, 66, 33 } },
          { 5, 467, 66, 66 }, { 81, 467, 66, 66 }, { 157, 467, 66, 66 }, { 10, 546, 208, 69 } },
    };

    bool lit (juce::OwnedArray<juce::Component>& list, int i) { return button (list, i).getToggleState(); }

    void expectRandomControls (ScanPanel& panel, bool random)
    {
        EXPECT_EQ (panel.randomSpeedBox.isEnabled(), random);
        EXPECT_EQ (panel.attackKnob.isEnabled(), random);
        EXPECT_EQ (panel.decayKnob.isEnabled(), random);
        EXPECT_EQ (panel.barKnob.isEnabled(), ! random);
        EXPECT_TRUE (panel.noteUnitSlider.isEnabled());
        EXPECT_TRUE (panel.powKnob.isEnabled());
    }
}

TEST (ScanPanel, LaysOutAtTheThreeWindowSizes)
{
    for (auto& e : layouts)
    {
        PanelSet panels (e.windowWidth);
        auto& p = *panels.scan;
        const auto w = e.windowWidth;

        EXPECT_EQ (p.playLabel.getBounds(), e.play) << w;
        EXPECT_EQ (p.directionLabel.getBounds(), e.direction) << w;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ (p.directionButtons[i]->getBounds(), e.directionButtons[(size_t) i]) << w << " direction " << i;
        EXPECT_EQ (p.randomSpeedBox.getBounds(), e.box) << w;
        EXPECT_EQ (p.attackKnob.getBounds(), e.attack) << w;
        EXPECT_EQ (p.decayKnob.getBounds(), e.decay) << w;
        EXPECT_EQ (p.noteUnitSlider.getBounds(), e.noteUnit) << w;
        EXPECT_EQ (p.textureLabel.getBounds(), e.texture) << w;
        EXPECT_EQ (p.barKnob.getBounds(), e.bar) << w;
        EXPECT_EQ (p.powKnob.getBounds(), e.pow) << w;
        EXPECT_EQ (p.widerKnob.getBounds(), e.wider) << w;
        EXPECT_EQ (p.intervalLabel.getBounds(), e.interval) << w;
        for (int j = 0; j < 6; ++j)
            EXPECT_EQ (p.refLineButtons[j]->getBounds(), e.refLines[(size_t) j]) << w << " line " << j;
        EXPECT_EQ (p.aIntervalKnob.getBounds(), e.a) << w;
        EXPECT_EQ (p.bIntervalKnob.getBounds(), e.b) << w;
        EXPECT_EQ (p.shiftKnob.getBounds(), e.shift) << w;
        EXPECT_EQ (p.dryWetSlider.getBounds(), e.dryWet) << w;

        // The mix slider reaches 4 pixels below the panel.
        EXPECT_EQ (p.dryWetSlider.getBottom(), p.getHeight() + 4) << w;
    }
}

TEST (ScanPanel, RightColumnMayOverlapTheNextSectionAndIsLeftSo)
{
    PanelSet large (1187);
    EXPECT_EQ (large.scan->noteUnitSlider.getBottom(), 259);
    EXPECT_EQ (large.scan->textureLabel.getY(), 257);

    PanelSet small (760);
    EXPECT_EQ (small.scan->noteUnitSlider.getBottom(), 170);
    EXPECT_EQ (small.scan->textureLabel.getY(), 169);

    // At the default size there is no overlap.
    PanelSet normal (950);
    EXPECT_LE (normal.scan->noteUnitSlider.getBottom(), normal.scan->textureLabel.getY());
}

TEST (ScanPanel, TinyPanelGivesNoNegativeSizes)
{
    PanelSet panels;
    panels.scan->setSize (8, 100);
    expectNoNegativeSizes (*panels.scan);
    EXPECT_EQ (panels.scan->dryWetSlider.getWidth(), 0);
    EXPECT_EQ (panels.scan->directionButtons[0]->getWidth(), 0);
}

TEST (ScanPanel, ControlsAreSetUp)
{
    PanelSet panels;
    auto& panel = *panels.scan;

    const struct { CustomRoratySlider& knob; const char* caption; bool compact; const char* tooltip; } knobs[] {
        { panel.aIntervalKnob, "<-", true, "" }, { panel.bIntervalKnob, "->", true, "" },
        { panel.shiftKnob, "Shift", true, "" },
        { panel.attackKnob, "Attack", false, "Activated when 'Random' is selected " },
        { panel.decayKnob, "Decay", false, "Activated when 'Random' is selected " },
        { panel.barKnob, "Bar", false, "set the number of bar (duration)\n to the image width " },
        { panel.powKnob, "Pow", false, "" }, { panel.widerKnob, "Wider", false, "" },
    };
    for (auto& k : knobs)
    {
        EXPECT_EQ (k.knob.caption, k.caption);
        EXPECT_EQ (k.knob.olvLookAndFeel.compactStyle, k.compact) << k.caption;
        EXPECT_EQ (k.knob.getTooltip(), k.tooltip) << k.caption;
    }

    EXPECT_EQ (panel.playLabel.getText(), "PLAY");
    EXPECT_EQ (panel.playLabel.getJustificationType(), juce::Justification::centred);
    EXPECT_EQ (panel.playLabel.findColour (juce::Label::outlineColourId), juce::Colours::darkgrey);
    for (auto* label : { &panel.directionLabel, &panel.textureLabel, &panel.intervalLabel })
    {
        EXPECT_EQ (label->getJustificationType(), juce::Justification::left);
        EXPECT_EQ (label->findColour (juce::Label::textColourId), juce::Colours::white);
        EXPECT_EQ (label->findColour (juce::Label::backgroundColourId), juce::Colour (0xff191919));
    }
    EXPECT_EQ (panel.directionLabel.getText(), "Direction-Effect");
    EXPECT_EQ (panel.textureLabel.getText(), "Sound Texture");
    EXPECT_EQ (panel.intervalLabel.getText(), "Interval/Sync");

    EXPECT_EQ (panel.randomSpeedBox.getTooltip(), "the hopping speed \n activated when 'Random' is selected ");
    ASSERT_EQ (panel.randomSpeedBox.getNumItems(), 24);
    for (int i = 0; i < 24; ++i)
    {
        EXPECT_EQ (panel.randomSpeedBox.getItemText (i), myNotetUnit[i]);
        EXPECT_EQ (panel.randomSpeedBox.getItemId (i), i + 1);
    }
    EXPECT_EQ (panel.panelLookAndFeel.findColour (juce::ComboBox::textColourId), juce::Colours::yellowgreen);
    EXPECT_EQ (panel.panelLookAndFeel.findColour (juce::PopupMenu::backgroundColourId), juce::Colour (0xff141414));

    for (auto* slider : { &panel.noteUnitSlider, &panel.dryWetSlider })
    {
        EXPECT_EQ (&slider->getLookAndFeel(), &panel.panelLookAndFeel);
        EXPECT_EQ (slider->getSliderStyle(), juce::Slider::LinearHorizontal);
        EXPECT_EQ (slider->getTextBoxPosition(), juce::Slider::NoTextBox);
        EXPECT_TRUE (slider->getChildren().isEmpty()) << "no text box shown";
        EXPECT_EQ (slider->findColour (juce::Slider::thumbColourId), mainColour);
        EXPECT_EQ (slider->findColour (juce::Slider::trackColourId), juce::Colour (0xff141414));
        EXPECT_EQ (slider->findColour (juce::Slider::backgroundColourId), juce::Colour (0xff141414));
        EXPECT_EQ (slider->findColour (juce::Slider::textBoxTextColourId), mainColour);
    }
    EXPECT_EQ (panel.noteUnitSlider.getMinimum(), 0.0);
    EXPECT_EQ (panel.noteUnitSlider.getMaximum(), 23.0);
    EXPECT_EQ (panel.noteUnitSlider.getInterval(), 1.0);
    EXPECT_EQ (panel.dryWetSlider.findColour (juce::Slider::textBoxOutlineColourId), juce::Colours::transparentBlack);

    for (int i = 0; i < 4; ++i)
    {
        auto& b = button (panel.directionButtons, i);
        EXPECT_EQ (b.getButtonText(), directionTable[i]);
        EXPECT_EQ (b.getRadioGroupId(), 34568);
        EXPECT_EQ (b.isConnectedOnTop(), i > 0);
        EXPECT_EQ (b.isConnectedOnBottom(), i < 3);
        EXPECT_EQ (b.findColour (juce::TextButton::buttonColourId), generalColour);
        EXPECT_EQ (b.findColour (juce::TextButton::buttonOnColourId), mainColour);
    }
    for (int i = 0; i < 6; ++i)
    {
        auto& b = button (panel.refLineButtons, i);
        EXPECT_EQ (b.getButtonText(), refLineTable[i]);
        EXPECT_EQ (b.getRadioGroupId(), 34569);
        EXPECT_FALSE (b.isConnectedOnTop() || b.isConnectedOnBottom() || b.isConnectedOnLeft() || b.isConnectedOnRight());
        EXPECT_EQ (b.findColour (juce::TextButton::buttonColourId), generalColour);
    }

    // Later children lie above earlier ones.
    auto index = [&panel] (juce::Component& c) { return panel.getIndexOfChildComponent (&c); };
    EXPECT_LT (index (panel.attackKnob), index (panel.playLabel));
    EXPECT_LT (index (panel.dryWetSlider), index (panel.randomSpeedBox));
    EXPECT_LT (index (panel.noteUnitSlider), index (panel.shiftKnob));
    EXPECT_LT (index (panel.widerKnob), index (*panel.directionButtons[0]));
}

TEST (ScanPanel, RandomDirectionEnablesItsControls)
{
    PanelSet panels;
    auto& panel = *panels.scan;
    auto& p = panels.p();

    expectRandomControls (panel, false);

    click (panel.directionButtons[3]);
    expectRandomControls (panel, true);
    EXPECT_EQ (plainValues (p, "direction", 4), (std::vector<float> { 0, 0, 0, 1 }));

    for (int other : { 0, 1, 2 })
    {
        click (panel.directionButtons[other]);
        expectRandomControls (panel, false);
        click (panel.directionButtons[3]);
        expectRandomControls (panel, true);
    }

    // The host on the message thread: at once, and the others go off.
    hostSets (p, "direction1", 1.0f);
    expectRandomControls (panel, false);
    hostSets (p, "direction3", 1.0f);
    expectRandomControls (panel, true);
    EXPECT_EQ (plainValues (p, "direction", 4), (std::vector<float> { 0, 0, 0, 1 }));

    // From the audio thread: once the message thread has it.
    hostSetsFromAnotherThread (p, "direction2", 1.0f);
    pumpMessagesUntil ([&] { return lit (panel.directionButtons, 2) && ! lit (panel.directionButtons, 3); });
    expectRandomControls (panel, false);
    EXPECT_EQ (plainValues (p, "direction", 4), (std::vector<float> { 0, 0, 1, 0 }));

    // No direction at all: nothing lit, Random's controls off, Bar on.
    hostSets (p, "direction2", 0.0f);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE (lit (panel.directionButtons, i));
    expectRandomControls (panel, false);

    // A panel opened in Random mode starts with its controls enabled.
    hostSets (p, "direction3", 1.0f);
    panels.close();
    panels.open();
    expectRandomControls (*panels.scan, true);
}

TEST (ScanPanel, RadioGroupsStayExclusiveFromHostAndRestoredState)
{
    PanelSet panels;
    auto& panel = *panels.scan;
    auto& p = panels.p();

    click (panel.refLineButtons[4]);
    EXPECT_EQ (plainValues (p, "refline", 6), (std::vector<float> { 0, 0, 0, 0, 1, 0 }));
    click (panel.refLineButtons[4]);
    EXPECT_TRUE (lit (panel.refLineButtons, 4)) << "the lit button stays lit";

    hostSetsFromAnotherThread (p, "refline2", 1.0f);
    pumpMessagesUntil ([&] { return plainValues (p, "refline", 6) == std::vector<float> { 0, 0, 1, 0, 0, 0 }; });
    EXPECT_EQ (plainValues (p, "refline", 6), (std::vector<float> { 0, 0, 1, 0, 0, 0 }));

    // A state saved with several entries of each group on (a host can
    // automate them so) comes back with one of each.
    juce::MemoryBlock state;
    {
        auto other = makeProcessor();
        setPlain (*other, "refline1", 1.0f);
        setPlain (*other, "refline5", 1.0f);
        setPlain (*other, "direction2", 1.0f);
        setPlain (*other, "direction3", 1.0f);
        state = saveState (*other);
    }

    p.setStateInformation (state.getData(), (int) state.getSize());
    pumpMessages (50);

    for (auto [stem, count, list] : { std::tuple { "refline", 6, &panel.refLineButtons },
                                      std::tuple { "direction", 4, &panel.directionButtons } })
    {
        const auto v = plainValues (p, stem, count);
        EXPECT_EQ (std::count (v.begin(), v.end(), 1.0f), 1) << stem;
        for (int i = 0; i < count; ++i)
            EXPECT_EQ (lit (*list, i), v[(size_t) i] == 1.0f) << stem << i;
    }

    expectRandomControls (panel, plainValue (p, "direction3") == 1.0f);
}

TEST (ScanPanel, NoteUnitSliderAndBoxFollowEachOther)
{
    PanelSet panels;
    auto& panel = *panels.scan;
    auto& p = panels.p();

    // The default note unit "16n" (item 14) puts the slider at 13.
    EXPECT_EQ (panel.randomSpeedBox.getSelectedId(), 14);
    EXPECT_EQ (panel.noteUnitSlider.getValue(), 13.0);

    // The slider writes no parameter itself: the box does, when it follows.
    std::vector<std::unique_ptr<GestureCounter>> watchers;
    for (auto* parameter : p.getParameters())
        watchers.push_back (std::make_unique<GestureCounter> (*parameter));

    panel.noteUnitSlider.setValue (5.0, juce::sendNotificationSync);
    for (auto& w : watchers)
        EXPECT_EQ (w->changes, 0) << w->parameter.getName (50);

    pumpMessages (50);
    EXPECT_EQ (panel.randomSpeedBox.getSelectedId(), 6);
    EXPECT_EQ (panel.randomSpeedBox.getText(), "2nt");
    EXPECT_EQ (plainValue (p, "randomizespeed"), 5.0f);
    for (auto& w : watchers)
        EXPECT_EQ (w->changes, w->parameter.getName (50) == "randomizespeed" ? 1 : 0) << w->parameter.getName (50);

    // The box moves the slider.
    panel.randomSpeedBox.setSelectedId (24);
    pumpMessages (50);
    EXPECT_EQ (panel.noteUnitSlider.getValue(), 23.0);
    EXPECT_EQ (plainValue (p, "randomizespeed"), 23.0f);

    // The host moves both.
    hostSets (p, "randomizespeed", 0.0f);
    pumpMessages (50);
    EXPECT_EQ (panel.randomSpeedBox.getSelectedId(), 1);
    EXPECT_EQ (panel.noteUnitSlider.getValue(), 0.0);

    // Dragging the slider to its far end reaches "128nt".
    drag (panel.noteUnitSlider, { 1.0f, 10.0f }, { 500.0f, 0.0f });
    pumpMessages (50);
    EXPECT_EQ (panel.noteUnitSlider.getValue(), 23.0);
    EXPECT_EQ (panel.randomSpeedBox.getSelectedId(), 24);
    EXPECT_EQ (plainValue (p, "randomizespeed"), 23.0f);
}

TEST (ScanPanel, PaintsTheMixCaptionsInTheFallbackTypeface)
{
    for (const auto windowWidth : { 950, 760 })
    {
        PanelSet panels (windowWidth);
        auto& panel = *panels.scan;
        const auto ratio = globalResizeRatio;
        Recording drawing (panel);
        const auto& glyphs = drawing.context.glyphs;

        ASSERT_EQ (glyphs.size(), 9u) << "Dry, Wet, MIX";
        for (size_t i = 0; i < 9; ++i)
        {
            EXPECT_EQ (glyphs[i].typeface, panelTypefaceName());
            EXPECT_EQ (glyphs[i].colour, mainColour);
            EXPECT_NEAR (glyphs[i].fontHeight, (i < 6 ? 14.0f : 16.0f) * ratio, 1.0e-4f);
        }

        const auto mix = panel.dryWetSlider.getBounds().toFloat();
        const juce::Font small (panelTypefaceName(), "Regular", 14.0f * ratio);
        const juce::Font large (panelTypefaceName(), "Regular", 16.0f * ratio);
        EXPECT_NEAR (glyphs[0].origin.x, mix.getX() + 5.0f, 0.5f) << "Dry, left";
        EXPECT_NEAR (glyphs[3].origin.x, mix.getRight() - 5.0f - small.getStringWidthFloat ("Wet"), 0.5f) << "Wet, right";
        EXPECT_NEAR (glyphs[6].origin.x, mix.getX() + 5.0f + (mix.getWidth() - large.getStringWidthFloat ("MIX")) / 2.0f, 0.5f);

        // The glyphs are really there: teal pixels where MIX is written.
        const auto box = juce::Rectangle<int> ((int) mix.getX(), (int) mix.getY(), (int) mix.getWidth(), (int) (ratio * 20.0f));
        int teal = 0;
        for (int y = box.getY(); y < box.getBottom(); ++y)
            for (int x = box.getX(); x < box.getRight(); ++x)
                teal += near (drawing.image.getPixelAt (x, y), mainColour, 20) ? 1 : 0;
        EXPECT_GT (teal, 20) << windowWidth;

        EXPECT_TRUE (near (drawing.image.getPixelAt (90, 300), myPanelColour));
        EXPECT_TRUE (near (drawing.image.getPixelAt (0, 300), juce::Colours::darkgrey, 3));
    }
}
