#pragma once

#include <JuceHeader.h>
#include <gtest/gtest.h>

#include "PluginProcessor.h"
#include "PluginEditor.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrune::test
{
    // Creates a temporary folder, sets HOME to it (and drops any XDG override)
    // and returns its path.
    std::string makeTemporaryHome();
    void removeTemporaryHome (const std::string& path);

    // The images folder of the temporary HOME.
    juce::File imagesFolder();

    // A processor with the message thread's manager set up for it.
    std::unique_ptr<KestruneAudioProcessor> makeProcessor();

    // Parameter helpers by ID.
    juce::RangedAudioParameter& param (KestruneAudioProcessor& p, const juce::String& id);
    float plainValue (KestruneAudioProcessor& p, const juce::String& id);
    void setPlain (KestruneAudioProcessor& p, const juce::String& id, float plain);

    // The processor's state blob, as a host would save it.
    juce::MemoryBlock saveState (KestruneAudioProcessor& p);

    // Delivers the messages posted to this (the message) thread for about
    // `milliseconds`: async callbacks, change messages.
    void pumpMessages (int milliseconds);

    // The alert windows of this name open now, oldest first.
    std::vector<juce::Component::SafePointer<juce::AlertWindow>> openAlertWindows (const juce::String& name);

    // Delivers the messages waiting, then closes every "Kestrune Image Alert"
    // box open (as the user's click on its button would) and returns how many
    // it closed. Tests that restore many undecodable pictures call it, so the
    // boxes do not pile up on the X server the tests share.
    int dismissImageAlerts();

    // Delivers this thread's messages until `condition` holds or `timeoutMs`
    // passes (generous: a loaded machine under a sanitizer is slow to come
    // round); true when it holds.
    template <typename Condition>
    bool pumpMessagesUntil (Condition&& condition, int timeoutMs = 10000)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        while (! condition())
        {
            if (juce::Time::getMillisecondCounterHiRes() > end)
                return false;
            pumpMessages (5);
        }
        return true;
    }

    // The plain values of the parameters `stem`0 to `stem`(count - 1).
    inline std::vector<float> plainValues (KestruneAudioProcessor& p, const juce::String& stem, int count)
    {
        std::vector<float> values;
        for (int i = 0; i < count; ++i)
            values.push_back (plainValue (p, stem + juce::String (i)));
        return values;
    }

    // Puts `picture` and the pen layer `layer` in place as an adopted chain
    // would leave them: every stage image a copy of the picture, an undo
    // history of one snapshot, nothing pending. The caller holds the
    // pipeline lock where the worker may run.
    void installPicture (KestruneAudioProcessor& p, const juce::Image& picture, const juce::Image& layer);

    // True when both images are null, or have the same size, format and bytes.
    bool sameImage (const juce::Image& a, const juce::Image& b);

    // What the component paints itself (not its children), on a transparent
    // image of its size; with a `scale`, as on a screen of that many pixels
    // per point (the image then has the screen's pixels).
    inline juce::Image paintOf (juce::Component& c, float scale = 1.0f)
    {
        juce::Image image (juce::Image::ARGB, juce::jmax (1, juce::roundToInt ((float) c.getWidth() * scale)),
                           juce::jmax (1, juce::roundToInt ((float) c.getHeight() * scale)), true);
        juce::Graphics g (image);
        if (scale != 1.0f)
            g.addTransform (juce::AffineTransform::scale (scale));
        c.paint (g);
        return image;
    }

    // No child of `parent` has a negative width or height.
    inline void expectNoNegativeSizes (juce::Component& parent)
    {
        for (auto* child : parent.getChildren())
        {
            EXPECT_GE (child->getWidth(), 0) << child->getName();
            EXPECT_GE (child->getHeight(), 0) << child->getName();
        }
    }

    // Waits until `condition` holds or `timeoutMs` passes, pumping nothing.
    template <typename Condition>
    bool waitFor (Condition&& condition, int timeoutMs = 20000)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        while (! condition())
        {
            if (juce::Time::getMillisecondCounterHiRes() > end)
                return false;
            juce::Thread::sleep (1);
        }
        return true;
    }
}
