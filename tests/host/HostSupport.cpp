#include "HostSupport.h"

#include <cstdlib>

namespace kestrune::host
{
    juce::File bundle()
    {
        const char* path = std::getenv ("KESTRUNE_VST3_BUNDLE");
        return path != nullptr ? juce::File (path) : juce::File();
    }

    std::unique_ptr<juce::PluginDescription> describe()
    {
        juce::VST3PluginFormat format;
        juce::OwnedArray<juce::PluginDescription> types;
        format.findAllTypesForFile (types, bundle().getFullPathName());

        if (types.size() != 1)
            return {};

        return std::make_unique<juce::PluginDescription> (*types[0]);
    }

    std::unique_ptr<juce::AudioPluginInstance> instantiate (double sampleRate, int blockSize)
    {
        auto description = describe();
        if (description == nullptr)
            return {};

        juce::AudioPluginFormatManager manager;
        manager.addFormat (new juce::VST3PluginFormat());
        juce::String error;
        auto instance = manager.createPluginInstance (*description, sampleRate, blockSize, error);
        EXPECT_TRUE (error.isEmpty()) << error;
        return instance;
    }

    PluginState unpackState (const juce::MemoryBlock& hostState)
    {
        PluginState result;
        auto host = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
        if (host == nullptr)
            return result;

        auto* component = host->getChildByName ("IComponent");
        juce::MemoryBlock blob;
        if (component == nullptr || ! blob.fromBase64Encoding (component->getAllSubText()) || blob.getSize() < 9)
            return result;

        const auto length = (size_t) juce::ByteOrder::littleEndianInt (static_cast<const char*> (blob.getData()) + 4);
        result.xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
        if (8 + length + 1 <= blob.getSize())
            result.trailer = juce::MemoryBlock (static_cast<const char*> (blob.getData()) + 8 + length + 1,
                                                blob.getSize() - (8 + length + 1));
        return result;
    }

    juce::MemoryBlock repackState (const juce::MemoryBlock& hostState, const PluginState& edited)
    {
        auto host = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
        juce::MemoryBlock blob;
        juce::AudioProcessor::copyXmlToBinary (*edited.xml, blob);
        blob.append (edited.trailer.getData(), edited.trailer.getSize());

        auto* component = host->getChildByName ("IComponent");
        component->deleteAllTextElements();
        component->addTextElement (blob.toBase64Encoding());

        juce::MemoryBlock result;
        juce::AudioProcessor::copyXmlToBinary (*host, result);
        return result;
    }

    juce::AudioProcessorParameter* parameterNamed (juce::AudioPluginInstance& instance, const juce::String& name)
    {
        for (auto* p : instance.getParameters())
            if (p->getName (100) == name)
                return p;
        return nullptr;
    }
}
