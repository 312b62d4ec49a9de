#include "PanelTestSupport.h"

#include <cmath>
#include <set>

using namespace kestrune::test;
using namespace kestrune::test::panels;

// Every control of the three panels against its parameter: the control moves
// the parameter (as the user works it), and the host moves the control.
namespace
{
    struct Binding
    {
        juce::String id;
        std::function<juce::Component& (PanelSet&)> control;
        // Puts the panels in a state where the control can be worked (some
        // controls are disabled by default).
        std::function<void (PanelSet&)> prepare = nullptr;
    };

    void PrintTo (const Binding& b, std::ostream* os) { *os << b.id; }

    void randomOn (PanelSet& s) { hostSets (s.p(), "direction3", 1.0f); }
    void blackAndWhiteOn (PanelSet& s) { hostSets (s.p(), "bwset", 1.0f); }

    template <typename Member>
    std::function<juce::Component& (PanelSet&)> transformControl (Member m) { return [m] (PanelSet& s) -> juce::Component& { return (*s.transform).*m; }; }
    template <typename Member>
    std::function<juce::Component& (PanelSet&)> imageControl (Member m) { return [m] (PanelSet& s) -> juce::Component& { return (*s.image).*m; }; }
    template <typename Member>
    std::function<juce::Component& (PanelSet&)> scanControl (Member m) { return [m] (PanelSet& s) -> juce::Component& { return (*s.scan).*m; }; }

    std::function<juce::Component& (PanelSet&)> rotateButton (int i) { return [i] (PanelSet& s) -> juce::Component& { return *s.transform->rotateButtons[i]; }; }
    std::function<juce::Component& (PanelSet&)> directionButton (int i) { return [i] (PanelSet& s) -> juce::Component& { return *s.scan->directionButtons[i]; }; }
    std::function<juce::Component& (PanelSet&)> refLineButton (int i) { return [i] (PanelSet& s) -> juce::Component& { return *s.scan->refLineButtons[i]; }; }

    // A radio entry 0 is on by default: switch entry 1 on first, so a click has something to do.
    std::function<void (PanelSet&)> entryOneOn (const char* stem) { return [stem] (PanelSet& s) { hostSets (s.p(), juce::String (stem) + "1", 1.0f); }; }

    std::vector<Binding> bindings()
    {
        using T = AffineTransformPanel;
        using I = ImageManupulationPanel;
        using S = ScanPanel;

        std::vector<Binding> list {
            { "fineRotate", transformControl (&T::rotateKnob) },
            { "zoom", transformControl (&T::zoomKnob) },
            { "leftright", transformControl (&T::leftRightKnob) },
            { "updown", transformControl (&T::upDownKnob) },
            { "horskew", transformControl (&T::hSkewKnob) },
            { "verskew", transformControl (&T::vSkewKnob) },

            { "contrast", imageControl (&I::contrastKnob) },
            { "brightness", imageControl (&I::brightnessKnob) },
            { "penTickness", imageControl (&I::penThicknessKnob) },
            { "penColour", imageControl (&I::penColourKnob) },
            { "bwthrreshold", imageControl (&I::thresholdKnob), blackAndWhiteOn },
            { "blurforxaxis", imageControl (&I::smoothHorKnob) },
            { "smootheforYAxis", imageControl (&I::smoothVerKnob) },
            { "horrescale", imageControl (&I::hRescaleKnob) },
            { "verrescale", imageControl (&I::vRescaleKnob) },
            { "bwset", imageControl (&I::blackWhiteButton) },
            { "penStyle", imageControl (&I::penStyleBox) },

            { "a_interval", scanControl (&S::aIntervalKnob) },
            { "b_interval", scanControl (&S::bIntervalKnob) },
            { "startposition", scanControl (&S::shiftKnob) },
            { "attack", scanControl (&S::attackKnob), randomOn },
            { "decay", scanControl (&S::decayKnob), randomOn },
            { "barduratiom", scanControl (&S::barKnob) },
            { "effectapply", scanControl (&S::powKnob) },
            { "wider", scanControl (&S::widerKnob) },
            { "drywet", scanControl (&S::dryWetSlider) },
            { "randomizespeed", scanControl (&S::randomSpeedBox), randomOn },
        };

        for (int i = 0; i < 4; ++i)
            list.push_back ({ "rotate" + juce::String (i), rotateButton (i), i == 0 ? entryOneOn ("rotate") : nullptr });
        for (int i = 0; i < 4; ++i)
            list.push_back ({ "direction" + juce::String (i), directionButton (i), i == 0 ? entryOneOn ("direction") : nullptr });
        for (int i = 0; i < 6; ++i)
            list.push_back ({ "refline" + juce::String (i), refLineButton (i), i == 0 ? entryOneOn ("refline") : nullptr });

        return list;
    }

    // A plain value of the parameter away from the current one, on its grid.
    float otherValue (juce::RangedAudioParameter& parameter)
    {
        const auto now = parameter.getValue();
        const auto target = now > 0.5f ? 0.2f : 0.8f;
        return parameter.convertFrom0to1 (target);
    }

    // What a control shows, as the parameter's plain value.
    float shownValue (juce::Component& control)
    {
        if (auto* slider = dynamic_cast<juce::Slider*> (&control))
            return (float) slider->getValue();
        if (auto* button = dynamic_cast<juce::Button*> (&control))
            return button->getToggleState() ? 1.0f : 0.0f;
        if (auto* box = dynamic_cast<juce::ComboBox*> (&control))
            return (float) (box->getSelectedId() - 1);

        ADD_FAILURE() << "unknown control";
        return -1.0f;
    }

    struct PanelBinding : ::testing::TestWithParam<Binding>
    {
        PanelSet panels;

        void SetUp() override
        {
            if (GetParam().prepare)
                GetParam().prepare (panels);
        }

        juce::Component& control() { return GetParam().control (panels); }
        juce::RangedAudioParameter& parameter() { return param (panels.p(), GetParam().id); }
        float value() { return plainValue (panels.p(), GetParam().id); }
    };

    std::string nameOf (const ::testing::TestParamInfo<Binding>& info)
    {
        return info.param.id.replaceCharacter ('_', 'U').toStdString();
    }
}

TEST (PanelBindings, EveryParameterButTheUnusedIntervalLengthHasOneControl)
{
    std::set<juce::String> covered;
    for (auto& b : bindings())
        EXPECT_TRUE (covered.insert (b.id).second) << b.id;

    PanelSet panels;
    for (auto* parameter : panels.p().getParameters())
    {
        const auto id = dynamic_cast<juce::RangedAudioParameter&> (*parameter).paramID;
        EXPECT_EQ (covered.count (id), id == "leninterval" ? 0u : 1u) << id;
    }

    // Each control in the table is a distinct child of its panel.
    std::set<juce::Component*> controls;
    for (auto& b : bindings())
    {
        auto& c = b.control (panels);
        EXPECT_TRUE (controls.insert (&c).second) << b.id;
        EXPECT_NE (c.getParentComponent(), nullptr) << b.id;
        EXPECT_TRUE (c.isVisible()) << b.id;
    }
}

TEST_P (PanelBinding, ShowsTheParameterWhenOpened)
{
    EXPECT_NEAR (shownValue (control()), value(), 1.0e-4f);
}

TEST_P (PanelBinding, WorkingTheControlMovesTheParameter)
{
    auto& c = control();
    ASSERT_TRUE (c.isEnabled()) << "prepared so that the user can work it";
    GestureCounter gestures (parameter());
    const auto before = value();

    if (auto* slider = dynamic_cast<juce::Slider*> (&c))
    {
        const auto towardsMiddle = slider->valueToProportionOfLength (slider->getValue()) > 0.5 ? -1.0f : 1.0f;

        if (slider->isRotary())
            turn (*slider, 70.0f * towardsMiddle);
        else
            drag (*slider, slider->getLocalBounds().getCentre().toFloat(), { 40.0f * towardsMiddle, 0.0f });

        EXPECT_NE (value(), before);
        EXPECT_NEAR (value(), (float) slider->getValue(), 1.0e-4f);
        EXPECT_EQ (gestures.begins, 1);
        EXPECT_EQ (gestures.ends, 1);
    }
    else if (auto* button = dynamic_cast<juce::Button*> (&c))
    {
        ASSERT_FALSE (button->getToggleState());
        click (*button);
        EXPECT_TRUE (button->getToggleState());
        EXPECT_EQ (value(), 1.0f);
        EXPECT_EQ (gestures.begins, gestures.ends);
    }
    else if (auto* box = dynamic_cast<juce::ComboBox*> (&c))
    {
        const auto id = box->getSelectedId() == 3 ? 5 : 3;
        box->setSelectedId (id); // as the menu does: the change is announced asynchronously
        pumpMessages (50);
        EXPECT_EQ (value(), (float) (id - 1));
    }
}

TEST_P (PanelBinding, HostAutomationMovesTheControl)
{
    auto& c = control();
    auto& parameter = this->parameter();

    // From the message thread (a host's edit controller while stopped): at once.
    const auto first = otherValue (parameter);
    hostSets (panels.p(), GetParam().id, first);
    EXPECT_NEAR (shownValue (c), value(), 1.0e-4f);
    EXPECT_NEAR (value(), parameter.convertFrom0to1 (parameter.convertTo0to1 (first)), 1.0e-4f);

    // From the audio thread: when the message thread comes round.
    const auto second = otherValue (parameter);
    hostSetsFromAnotherThread (panels.p(), GetParam().id, second);
    const auto expected = parameter.convertFrom0to1 (parameter.convertTo0to1 (second));
    pumpMessagesUntil ([&] { return std::abs (shownValue (c) - expected) <= 1.0e-4f; });
    EXPECT_NEAR (shownValue (c), value(), 1.0e-4f);
    EXPECT_NEAR (shownValue (c), parameter.convertFrom0to1 (parameter.convertTo0to1 (second)), 1.0e-4f);
}

INSTANTIATE_TEST_SUITE_P (AllControls, PanelBinding, ::testing::ValuesIn (bindings()), nameOf);
