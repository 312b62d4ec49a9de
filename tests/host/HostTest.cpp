#include "HostSupport.h"

#include <cmath>

using namespace kestrune::host;

namespace
{
    struct ExpectedParameter { const char* name; float plainDefault; float min, max; };

    // What a host must list, in order, with plain defaults and ranges.
    const ExpectedParameter expected[] = {
        { "leftright", 0, -1, 1 }, { "updown", 0, -1, 1 }, { "zoom", 0, -1, 5 },
        { "contrast", 1, -5, 5 }, { "brightness", 0, -1, 1 }, { "penTickness", 10, 1, 30 },
        { "penColour", 1, 0, 1 }, { "bwset", 0, 0, 1 }, { "bwthrreshold", 0.5f, 0, 1 },
        { "a_interval", 0.4f, 0, 1 }, { "b_interval", 0.6f, 0, 1 }, { "penStyle", 0, 0, 6 },
        { "randomizespeed", 13, 0, 23 }, { "attack", 0, 0, 1 }, { "decay", 1, 0.01f, 1 },
        { "barduratiom", 1, 1, 20 }, { "fineRotate", 0, -90, 90 }, { "effectapply", 1, 0.1f, 10 },
        { "startposition", 0.4f, 0, 1 }, { "leninterval", 0, 0, 1 }, { "blurforxaxis", 0, 0, 1 },
        { "smootheforYAxis", 0, 0, 1 }, { "horrescale", 1, 1, 128 }, { "verrescale", 1, 1, 128 },
        { "horskew", 0, -1, 1 }, { "verskew", 0, -1, 1 }, { "drywet", 1, 0, 1 }, { "wider", 0, 0, 15 },
        { "rotate0", 1, 0, 1 }, { "rotate1", 0, 0, 1 }, { "rotate2", 0, 0, 1 }, { "rotate3", 0, 0, 1 },
        { "direction0", 1, 0, 1 }, { "direction1", 0, 0, 1 }, { "direction2", 0, 0, 1 }, { "direction3", 0, 0, 1 },
        { "refline0", 1, 0, 1 }, { "refline1", 0, 0, 1 }, { "refline2", 0, 0, 1 }, { "refline3", 0, 0, 1 },
        { "refline4", 0, 0, 1 }, { "refline5", 0, 0, 1 },
    };

    float normalisedDefault (const ExpectedParameter& e)
    {
        if (juce::String (e.name) == "blurforxaxis" || juce::String (e.name) == "smootheforYAxis")
            return std::pow ((e.plainDefault - e.min) / (e.max - e.min), 3.0f);
        return (e.plainDefault - e.min) / (e.max - e.min);
    }

    void fillSine (juce::AudioBuffer<float>& buffer, int offset)
    {
        for (int c = 0; c < buffer.getNumChannels(); ++c)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
                buffer.setSample (c, i, 0.5f * std::sin (0.01f * (float) (offset + i) * (float) (c + 1)));
    }
}

TEST (Host, BundleIsFoundAndDescribed)
{
    ASSERT_TRUE (bundle().isDirectory()) << bundle().getFullPathName();
    auto d = describe();
    ASSERT_NE (d, nullptr);
    EXPECT_EQ (d->name, "Kestrune");
    EXPECT_EQ (d->pluginFormatName, "VST3");
    EXPECT_EQ (d->version, "1.0.4.2");
    EXPECT_EQ (d->category, "Fx");
    EXPECT_FALSE (d->isInstrument);
    EXPECT_EQ (d->numInputChannels, 2);
    EXPECT_EQ (d->numOutputChannels, 2);
}

TEST (Host, ParametersAsTheHostSeesThem)
{
    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    const auto& params = instance->getParameters();
    ASSERT_EQ (params.size(), 43);

    for (int i = 0; i < 42; ++i)
    {
        EXPECT_EQ (params[i]->getName (100), juce::String (expected[i].name)) << i;
        EXPECT_NEAR (params[i]->getValue(), normalisedDefault (expected[i]), 1.0e-5f) << expected[i].name;
        EXPECT_NEAR (params[i]->getDefaultValue(), normalisedDefault (expected[i]), 1.0e-5f) << expected[i].name;
        EXPECT_TRUE (params[i]->isAutomatable()) << expected[i].name;
    }

    EXPECT_EQ (params[42]->getName (100), "Bypass");
    EXPECT_EQ (instance->getBypassParameter(), params[42]);
}

TEST (Host, ProgramsTailMidiAndLatency)
{
    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    // JUCE's VST3 client publishes a program list only for more than one
    // program, so a host sees none: the single program cannot be switched.
    EXPECT_EQ (instance->getNumPrograms(), 0);
    EXPECT_EQ (instance->getTailLengthSeconds(), 0.0);
    EXPECT_FALSE (instance->acceptsMidi());
    EXPECT_FALSE (instance->producesMidi());

    instance->prepareToPlay (48000.0, 512);

    // The plug-in announces its latency asynchronously on the message thread.
    for (int i = 0; i < 50 && instance->getLatencySamples() != 2048; ++i)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

    EXPECT_EQ (instance->getLatencySamples(), 2048);
    instance->releaseResources();
}

TEST (Host, BusLayouts)
{
    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    using Set = juce::AudioChannelSet;

    auto layout = [] (Set in, Set out)
    {
        juce::AudioProcessor::BusesLayout l;
        l.inputBuses.add (in);
        l.outputBuses.add (out);
        return l;
    };

    EXPECT_TRUE (instance->checkBusesLayoutSupported (layout (Set::stereo(), Set::stereo())));
    EXPECT_TRUE (instance->checkBusesLayoutSupported (layout (Set::mono(), Set::mono())));
    EXPECT_FALSE (instance->checkBusesLayoutSupported (layout (Set::mono(), Set::stereo())));
    EXPECT_FALSE (instance->checkBusesLayoutSupported (layout (Set::stereo(), Set::mono())));
    EXPECT_FALSE (instance->checkBusesLayoutSupported (layout (Set::create5point1(), Set::create5point1())));
}

TEST (Host, AudioPassesUntouchedWithoutPlayHead)
{
    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    instance->prepareToPlay (48000.0, 512);

    juce::AudioBuffer<float> buffer (2, 512), original (2, 512);
    juce::MidiBuffer midi;

    for (int block = 0; block < 20; ++block)
    {
        fillSine (buffer, block * 512);
        original.makeCopyOf (buffer);
        instance->processBlock (buffer, midi);

        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 512; ++i)
                ASSERT_EQ (buffer.getSample (c, i), original.getSample (c, i)) << "block " << block;
    }

    instance->releaseResources();
}

TEST (Host, StateRoundTripOfParameterValues)
{
    auto first = instantiate();
    ASSERT_NE (first, nullptr);

    const std::pair<const char*, float> changes[] = {
        { "zoom", 0.75f }, { "contrast", 0.3f }, { "penStyle", 4.0f / 6.0f }, { "barduratiom", 1.0f },
        { "drywet", 0.25f }, { "rotate2", 1.0f }, { "direction0", 0.0f }, { "refline3", 1.0f },
        { "wider", 0.5f }, { "decay", 0.0f },
    };

    for (auto& [name, value] : changes)
    {
        auto* p = parameterNamed (*first, name);
        ASSERT_NE (p, nullptr) << name;
        p->setValueNotifyingHost (value);
    }

    juce::MemoryBlock state;
    first->getStateInformation (state);
    ASSERT_GT (state.getSize(), 8u);

    auto second = instantiate();
    ASSERT_NE (second, nullptr);
    second->setStateInformation (state.getData(), (int) state.getSize());

    for (int i = 0; i < 42; ++i)
    {
        const auto* a = first->getParameters()[i];
        const auto* b = second->getParameters()[i];
        EXPECT_NEAR (a->getValue(), b->getValue(), 1.0e-5f) << a->getName (100);
    }

    for (auto& [name, value] : changes)
        EXPECT_NEAR (parameterNamed (*second, name)->getValue(), value, 0.01f) << name;
}
