#include "HeapCounter.h"
#include "PanelTestSupport.h"

#include <atomic>
#include <cmath>
#include <thread>

// The controls' bindings to their parameters, on the threads that change the
// parameters. (Each panel control's two directions are in PanelBindingTest.)

using namespace kestrune::test;

namespace
{
    // Runs the message loop until `done` holds (at least three of the
    // followers' polls, at most 10 s).
    template <typename Done>
    void pumpUntil (Done&& done)
    {
        pumpMessages (3 * kestrune::ParameterFollower::pollIntervalMs);
        const auto end = juce::Time::getMillisecondCounterHiRes() + 10000.0;
        while (! done() && juce::Time::getMillisecondCounterHiRes() < end)
            pumpMessages (5);
    }

    // Three controls of the three kinds, bound to parameters of a processor.
    struct Bound
    {
        std::unique_ptr<KestruneAudioProcessor> p = makeProcessor();
        juce::Slider slider;
        juce::ComboBox box;
        juce::ToggleButton button;
        std::unique_ptr<kestrune::SliderAttachment> sliderAttachment;
        std::unique_ptr<kestrune::ComboBoxAttachment> boxAttachment;
        std::unique_ptr<kestrune::ButtonAttachment> buttonAttachment;

        Bound()
        {
            for (int i = 0; i < penStyleOptions.size(); ++i)
                box.addItem (penStyleOptions[i], i + 1);

            attach();
        }

        void attach()
        {
            sliderAttachment = std::make_unique<kestrune::SliderAttachment> (p->apvts, "contrast", slider);
            boxAttachment = std::make_unique<kestrune::ComboBoxAttachment> (p->apvts, "penStyle", box);
            buttonAttachment = std::make_unique<kestrune::ButtonAttachment> (p->apvts, "bwset", button);
        }

        void detach()
        {
            sliderAttachment.reset();
            boxAttachment.reset();
            buttonAttachment.reset();
        }
    };

    void setFromThisThread (KestruneAudioProcessor& p, const juce::String& id, float plain)
    {
        auto& parameter = param (p, id);
        parameter.setValueNotifyingHost (parameter.convertTo0to1 (plain));
    }
}

// The host's automation arrives on the audio thread with each block. With the
// window open, the controls' bindings hear of it there: they must neither
// post a message (the message queue's lock, and its storage grown on the
// heap), nor lock, nor allocate. The controls catch up on the message thread.
TEST (ControlAttachments, ChangesOnTheAudioThreadReachTheControlsWithoutHeapOrMessages)
{
    Bound bound;
    long heapCalls = 0;

    for (int round = 0; round < 20; ++round)
    {
        const auto contrast = round % 2 == 0 ? 2.5f : -1.5f;
        const auto style = (float) (round % 7);
        const auto blackAndWhite = (float) (round % 2);

        auto& contrastParameter = param (*bound.p, "contrast");
        auto& styleParameter = param (*bound.p, "penStyle");
        auto& blackAndWhiteParameter = param (*bound.p, "bwset");

        std::thread audio ([&]
        {
            const heap::AudioThreadScope scope;
            const auto before = heap::audioThreadCalls();
            contrastParameter.setValueNotifyingHost (contrastParameter.convertTo0to1 (contrast));
            styleParameter.setValueNotifyingHost (styleParameter.convertTo0to1 (style));
            blackAndWhiteParameter.setValueNotifyingHost (blackAndWhiteParameter.convertTo0to1 (blackAndWhite));
            heapCalls += heap::audioThreadCalls() - before;
        });
        audio.join();

        // The message thread comes round (its queue drains in between);
        // on a busy machine its timer may come late.
        pumpUntil ([&] { return std::abs (bound.slider.getValue() - contrast) < 1.0e-4
                                && bound.box.getSelectedItemIndex() == (int) style
                                && bound.button.getToggleState() == (blackAndWhite == 1.0f); });
        EXPECT_NEAR (bound.slider.getValue(), contrast, 1.0e-4) << round;
        EXPECT_EQ (bound.box.getSelectedItemIndex(), (int) style) << round;
        EXPECT_EQ (bound.button.getToggleState(), blackAndWhite == 1.0f) << round;
    }

    EXPECT_EQ (heapCalls, 0);
}

TEST (ControlAttachments, ChangesOnTheMessageThreadShowAtOnce)
{
    Bound bound;

    setFromThisThread (*bound.p, "contrast", 3.0f);
    setFromThisThread (*bound.p, "penStyle", 5.0f);
    setFromThisThread (*bound.p, "bwset", 1.0f);

    EXPECT_NEAR (bound.slider.getValue(), 3.0, 1.0e-4);
    EXPECT_EQ (bound.box.getSelectedItemIndex(), 5);
    EXPECT_TRUE (bound.button.getToggleState());

    // A change from elsewhere, overtaken by one here before the poll: the
    // control shows the newest value, and keeps showing it.
    std::thread ([&] { setFromThisThread (*bound.p, "contrast", -2.0f); }).join();
    setFromThisThread (*bound.p, "contrast", 4.0f);
    EXPECT_NEAR (bound.slider.getValue(), 4.0, 1.0e-4);
    pumpMessages (3 * kestrune::ParameterFollower::pollIntervalMs);
    EXPECT_NEAR (bound.slider.getValue(), 4.0, 1.0e-4);
}

// Windows open and close while the host automates: bindings made and dropped
// while another thread changes their parameters all the time.
TEST (ControlAttachments, BoundAndUnboundWhileAnotherThreadChangesTheParameters)
{
    Bound bound;
    std::atomic<bool> stop { false };
    std::atomic<long> changes { 0 };

    std::thread audio ([&]
    {
        juce::Random random (3);
        while (! stop.load())
        {
            setFromThisThread (*bound.p, "contrast", random.nextFloat() * 10.0f - 5.0f);
            setFromThisThread (*bound.p, "penStyle", (float) random.nextInt (7));
            setFromThisThread (*bound.p, "bwset", (float) random.nextInt (2));
            ++changes;
        }
    });

    for (int i = 0; i < 200; ++i)
    {
        bound.detach();
        bound.attach();
        if (i % 20 == 0)
            pumpMessages (2 * kestrune::ParameterFollower::pollIntervalMs);
    }

    waitFor ([&] { return changes.load() > 100; }, 10000);
    stop = true;
    audio.join();

    // Once the thread is done, the controls come to rest on the final values.
    pumpUntil ([&] { return std::abs (bound.slider.getValue() - plainValue (*bound.p, "contrast")) < 1.0e-4
                            && bound.box.getSelectedItemIndex() == (int) plainValue (*bound.p, "penStyle")
                            && bound.button.getToggleState() == (plainValue (*bound.p, "bwset") == 1.0f); });
    EXPECT_NEAR (bound.slider.getValue(), plainValue (*bound.p, "contrast"), 1.0e-4);
    EXPECT_EQ (bound.box.getSelectedItemIndex(), (int) plainValue (*bound.p, "penStyle"));
    EXPECT_EQ (bound.button.getToggleState(), plainValue (*bound.p, "bwset") == 1.0f);
    EXPECT_GT (changes.load(), 100);
}
