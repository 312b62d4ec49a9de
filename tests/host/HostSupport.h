#pragma once

#include <JuceHeader.h>
#include "PlayingHead.h"
#include <gtest/gtest.h>

#include <memory>

namespace kestrune::host
{
    // A host's transport at 120 beats per minute.
    using HostPlayHead = kestrune::test::PlayingHead;

    // The bundle under test, from KESTRUNE_VST3_BUNDLE (an absolute path).
    juce::File bundle();

    // The plug-in's description as the VST3 scanner reports it.
    std::unique_ptr<juce::PluginDescription> describe();

    // A fresh instance, loaded as a host loads it.
    std::unique_ptr<juce::AudioPluginInstance> instantiate (double sampleRate = 48000.0, int blockSize = 512);

    // Host parameter lookup by the name the host shows.
    juce::AudioProcessorParameter* parameterNamed (juce::AudioPluginInstance&, const juce::String& name);
}

namespace kestrune::host
{
    // The plug-in's own state blob inside a state the host saved (JUCE's
    // VST3 client appends a private trailer to it, kept as it is).
    struct PluginState
    {
        std::unique_ptr<juce::XmlElement> xml;
        juce::MemoryBlock trailer;
    };

    PluginState unpackState (const juce::MemoryBlock& hostState);
    juce::MemoryBlock repackState (const juce::MemoryBlock& hostState, const PluginState& edited);
}
