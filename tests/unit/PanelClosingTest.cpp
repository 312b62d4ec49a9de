#include "PanelTestSupport.h"

#include <atomic>

using namespace kestrune::test;
using namespace kestrune::test::panels;

// Closing the window in the middle of things: a knob held, the host
// automating everything, messages still on their way.
namespace
{
    struct Held
    {
        const char* id;
        std::function<juce::Slider& (PanelSet&)> slider;
    };

    std::vector<Held> everySlider()
    {
        return {
            { "fineRotate", [] (PanelSet& s) -> juce::Slider& { return s.transform->rotateKnob; } },
            { "zoom", [] (PanelSet& s) -> juce::Slider& { return s.transform->zoomKnob; } },
            { "leftright", [] (PanelSet& s) -> juce::Slider& { return s.transform->leftRightKnob; } },
            { "updown", [] (PanelSet& s) -> juce::Slider& { return s.transform->upDownKnob; } },
            { "horskew", [] (PanelSet& s) -> juce::Slider& { return s.transform->hSkewKnob; } },
            { "verskew", [] (PanelSet& s) -> juce::Slider& { return s.transform->vSkewKnob; } },
            { "contrast", [] (PanelSet& s) -> juce::Slider& { return s.image->contrastKnob; } },
            { "brightness", [] (PanelSet& s) -> juce::Slider& { return s.image->brightnessKnob; } },
            { "penTickness", [] (PanelSet& s) -> juce::Slider& { return s.image->penThicknessKnob; } },
            { "penColour", [] (PanelSet& s) -> juce::Slider& { return s.image->penColourKnob; } },
            { "blurforxaxis", [] (PanelSet& s) -> juce::Slider& { return s.image->smoothHorKnob; } },
            { "smootheforYAxis", [] (PanelSet& s) -> juce::Slider& { return s.image->smoothVerKnob; } },
            { "horrescale", [] (PanelSet& s) -> juce::Slider& { return s.image->hRescaleKnob; } },
            { "verrescale", [] (PanelSet& s) -> juce::Slider& { return s.image->vRescaleKnob; } },
            { "a_interval", [] (PanelSet& s) -> juce::Slider& { return s.scan->aIntervalKnob; } },
            { "b_interval", [] (PanelSet& s) -> juce::Slider& { return s.scan->bIntervalKnob; } },
            { "startposition", [] (PanelSet& s) -> juce::Slider& { return s.scan->shiftKnob; } },
            { "barduratiom", [] (PanelSet& s) -> juce::Slider& { return s.scan->barKnob; } },
            { "effectapply", [] (PanelSet& s) -> juce::Slider& { return s.scan->powKnob; } },
            { "wider", [] (PanelSet& s) -> juce::Slider& { return s.scan->widerKnob; } },
            { "drywet", [] (PanelSet& s) -> juce::Slider& { return s.scan->dryWetSlider; } },
        };
    }

    juce::Point<float> centreOf (juce::Slider& s) { return s.getLocalBounds().getCentre().toFloat(); }
}

TEST (PanelClosing, DragGuardReleasesOnlySlidersThatAreHeld)
{
    auto processor = makeProcessor();
    CustomRoratySlider held, idle;
    held.setSize (60, 60);
    idle.setSize (60, 60);
    kestrune::SliderAttachment heldAttachment (processor->apvts, "contrast", held);
    kestrune::SliderAttachment idleAttachment (processor->apvts, "brightness", idle);
    GestureCounter heldGestures (param (*processor, "contrast"));
    GestureCounter idleGestures (param (*processor, "brightness"));

    auto guard = std::make_unique<SliderDragGuard>();
    guard->watch (held);
    guard->watch (idle);

    drag (held, centreOf (held), { 0.0f, -30.0f }, false);
    EXPECT_EQ (guard->numDragging(), 1);
    EXPECT_EQ (heldGestures.begins, 1);
    const auto value = held.getValue();

    guard->endDrags();
    EXPECT_EQ (guard->numDragging(), 0);
    EXPECT_EQ (heldGestures.ends, 1);
    EXPECT_EQ (held.getValue(), value) << "released where it was";
    EXPECT_EQ (idleGestures.begins + idleGestures.ends + idleGestures.changes, 0);

    guard->endDrags();
    EXPECT_EQ (heldGestures.ends, 1);

    // A finished drag is not released twice.
    turn (idle, 20.0f);
    guard->endDrags();
    EXPECT_EQ (idleGestures.begins, 1);
    EXPECT_EQ (idleGestures.ends, 1);

    // The guard lets go of its sliders when it goes.
    guard.reset();
    turn (held, 10.0f);
    EXPECT_EQ (heldGestures.begins, 2);
    EXPECT_EQ (heldGestures.ends, 2);
}

TEST (PanelClosing, ClosingWithAKnobHeldEndsItsGesture)
{
    auto processor = makeProcessor();

    for (auto& held : everySlider())
    {
        GestureCounter gestures (param (*processor, held.id));

        {
            PanelSet panels (950, processor.get());
            auto& slider = held.slider (panels);
            const auto downwards = slider.valueToProportionOfLength (slider.getValue()) > 0.5;
            drag (slider, centreOf (slider), slider.isRotary() ? juce::Point<float> (0.0f, downwards ? 25.0f : -25.0f)
                                                                : juce::Point<float> (downwards ? -25.0f : 25.0f, 0.0f), false);
            ASSERT_EQ (gestures.begins, 1) << held.id;
            ASSERT_GT (gestures.changes, 0) << held.id;
        }

        EXPECT_EQ (gestures.ends, 1) << held.id;

        // The next window's drag is a gesture of its own.
        PanelSet again (950, processor.get());
        auto& slider = held.slider (again);
        drag (slider, centreOf (slider), { 0.0f, 0.0f });
        EXPECT_EQ (gestures.begins, 2) << held.id;
        EXPECT_EQ (gestures.ends, 2) << held.id;
    }
}

TEST (PanelClosing, OpeningAndClosingWhileTheHostAutomatesEveryParameter)
{
    auto processor = makeProcessor();
    processor->prepareToPlay (48000.0, 256);
    const auto parameters = processor->getParameters();

    std::atomic<bool> stop { false };
    std::atomic<int> blocks { 0 };

    std::thread host ([&]
    {
        juce::Random random (11);
        juce::AudioBuffer<float> buffer (2, 256);
        juce::MidiBuffer midi;

        while (! stop.load())
        {
            for (auto* parameter : parameters)
            {
                const auto value = random.nextFloat();
                parameter->setValue (value);
                parameter->sendValueChangedMessageToListeners (value);
            }

            buffer.clear();
            processor->processBlock (buffer, midi);
            blocks.fetch_add (1);
            std::this_thread::sleep_for (std::chrono::microseconds (500));
        }
    });

    for (int round = 0; round < 12; ++round)
    {
        PanelSet panels (round % 2 == 0 ? 950 : 1187, processor.get());
        pumpMessages (15);

        // A knob held at the moment of closing, now and then.
        if (round % 3 == 0)
            turn (panels.scan->widerKnob, 10.0f, false);
    }

    stop = true;
    host.join();
    EXPECT_GT (blocks.load(), 12);

    // Everything the panels listened to now speaks into the void.
    for (auto* parameter : parameters)
        parameter->setValueNotifyingHost (0.5f);
    processor->recordBroadcaster.sendChangeMessage();
    pumpMessages (50);

    // The processor works on with a fresh window.
    PanelSet panels (950, processor.get());
    hostSets (*processor, "contrast", 2.0f);
    EXPECT_EQ (panels.image->contrastKnob.getValue(), 2.0);
}
