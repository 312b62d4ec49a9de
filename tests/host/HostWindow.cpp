#include "HostWindow.h"

#include <cmath>

namespace kestrune::host
{
    void pumpFor (int milliseconds)
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
    }

    HostedEditor::HostedEditor (juce::AudioPluginInstance& i, juce::Point<int> topLeft)
        : instance (i), editor (i.createEditorIfNeeded())
    {
        if (editor == nullptr)
            return;

        editor->setTopLeftPosition (topLeft);
        editor->addToDesktop (0);
        editor->setVisible (true);
        pumpFor (300);
    }

    HostedEditor::~HostedEditor()
    {
        close();
    }

    void HostedEditor::resizeTo (int width, int height)
    {
        if (editor == nullptr)
            return;

        editor->setSize (width, height);
        pumpFor (300);
    }

    juce::Rectangle<int> HostedEditor::size() const
    {
        return editor != nullptr ? editor->getLocalBounds() : juce::Rectangle<int>();
    }

    void HostedEditor::close()
    {
        if (editor == nullptr)
            return;

        editor->setVisible (false);
        editor->removeFromDesktop();
        editor.reset(); // the host's view hands itself back to the instance
        pumpFor (50);
    }

    AudioRunner::AudioRunner (juce::AudioPluginInstance& i)
        : instance (i)
    {
        instance.setPlayHead (&head);
        thread = std::thread ([this]
        {
            juce::AudioBuffer<float> block (2, 512);
            juce::MidiBuffer midi;
            float phase = 0.0f;

            while (running.load())
            {
                for (int n = 0; n < 512; ++n, phase += 0.05f)
                    for (int c = 0; c < 2; ++c)
                        block.setSample (c, n, 0.25f * std::sin (phase));

                instance.processBlock (block, midi);
                head.ppq += 512 * 2.0 / 48000.0;
                count.fetch_add (1);
                std::this_thread::sleep_for (std::chrono::milliseconds (10));
            }
        });
    }

    AudioRunner::~AudioRunner()
    {
        running.store (false);
        thread.join();
        instance.setPlayHead (nullptr);
    }

    juce::Rectangle<int> savedWindowSize (juce::AudioPluginInstance& instance)
    {
        juce::MemoryBlock state;
        instance.getStateInformation (state);
        const auto plugin = unpackState (state);

        if (plugin.xml == nullptr)
            return {};

        if (auto* size = plugin.xml->getChildByName ("lastSizeMainWindow"))
            return { size->getIntAttribute ("width"), size->getIntAttribute ("height") };

        return {};
    }
}
