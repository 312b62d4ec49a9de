#include "HostSupport.h"

#include <cmath>
#include <iostream>

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

//==============================================================================
// Audio through the bundle with a host play head.
namespace
{
    juce::AudioBuffer<float> hostNoise (int samples)
    {
        juce::Random random (17);
        juce::AudioBuffer<float> b (2, samples);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < samples; ++i)
                b.setSample (c, i, random.nextFloat() - 0.5f);
        return b;
    }

    // Runs `input` through the instance in 512-sample blocks.
    juce::AudioBuffer<float> runThrough (juce::AudioPluginInstance& instance, HostPlayHead& head,
                                         const juce::AudioBuffer<float>& input)
    {
        juce::AudioBuffer<float> output (input);
        juce::MidiBuffer midi;

        for (int start = 0; start < output.getNumSamples(); start += 512)
        {
            const auto length = std::min (512, output.getNumSamples() - start);
            juce::AudioBuffer<float> block (output.getArrayOfWritePointers(), 2, start, length);
            instance.processBlock (block, midi);
            if (head.playing)
                head.ppq += length * 2.0 / 48000.0;
        }

        return output;
    }

    bool equalFrom (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b, int delay, int from)
    {
        for (int c = 0; c < 2; ++c)
            for (int n = from; n < a.getNumSamples(); ++n)
                if (a.getSample (c, n) != b.getSample (c, n - delay))
                    return false;
        return true;
    }

    float largest (const juce::AudioBuffer<float>& b)
    {
        return std::max (b.getMagnitude (0, 0, b.getNumSamples()), b.getMagnitude (1, 0, b.getNumSamples()));
    }
}

// With a picture (the black default one, adopted at construction) the dry
// path is the input exactly 2048 samples late, the latency it reports.
TEST (Host, DryPathThroughTheBundleIsTheReportedLatencyLate)
{
    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    HostPlayHead head;
    instance->setPlayHead (&head);
    instance->prepareToPlay (48000.0, 512);

    auto* drywet = parameterNamed (*instance, "drywet");
    ASSERT_NE (drywet, nullptr);
    drywet->setValueNotifyingHost (0.0f);

    const auto input = hostNoise (48000 / 2);
    const auto output = runThrough (*instance, head, input);

    EXPECT_FALSE (equalFrom (output, input, 0, 0));
    EXPECT_TRUE (equalFrom (output, input, 2048, 2400)); // after the mixer's 50 ms ramp

    for (int i = 0; i < 50 && instance->getLatencySamples() != 2048; ++i)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);
    EXPECT_EQ (instance->getLatencySamples(), 2048);

    instance->setPlayHead (nullptr);
    instance->releaseResources();
}

// Playing through the black default picture gives silence, and stopped the
// output is silent too.
TEST (Host, PlayingAndStoppedThroughTheBundle)
{
    for (const bool playing : { true, false })
    {
        auto instance = instantiate();
        ASSERT_NE (instance, nullptr);
        HostPlayHead head;
        head.playing = playing;
        instance->setPlayHead (&head);
        instance->prepareToPlay (48000.0, 512);

        const auto input = hostNoise (8192);
        const auto output = runThrough (*instance, head, input);

        EXPECT_GT (largest (input), 0.1f);
        EXPECT_EQ (largest (output), 0.0f) << "playing " << playing;

        instance->setPlayHead (nullptr);
        instance->releaseResources();
    }
}
