#include "HostSupport.h"

#include <cstdlib>
#include <unistd.h>

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

    juce::AudioProcessorParameter* parameterNamed (juce::AudioPluginInstance& instance, const juce::String& name)
    {
        for (auto* p : instance.getParameters())
            if (p->getName (100) == name)
                return p;
        return nullptr;
    }
}

int main (int argc, char** argv)
{
    // Keep the plug-in's images folder out of the real Documents folder.
    char pattern[] = "/tmp/kestrune-host-home-XXXXXX";
    const char* home = ::mkdtemp (pattern);
    if (home == nullptr)
        return 2;
    ::setenv ("HOME", home, 1);
    ::unsetenv ("XDG_CONFIG_HOME");

    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juceInit;
        ::testing::InitGoogleTest (&argc, argv);

        result = RUN_ALL_TESTS();
    }

    juce::File (home).deleteRecursively();
    return result;
}
