// Worker passes of the colour pipeline: a full pass and a transform-only pass,
// on the default picture size and on the largest picture width we expect
// (1500 x 512). The worker's period is 44 ms.
#include "PluginProcessor.h"

#include <benchmark/benchmark.h>

namespace
{
    struct Setup
    {
        juce::ScopedJuceInitialiser_GUI juce;
        std::unique_ptr<KestruneAudioProcessor> processor;

        Setup (int width, int height, bool reduce)
            : processor (std::make_unique<KestruneAudioProcessor>())
        {
            auto& p = *processor;
            const juce::ScopedLock sl (criticalSection);

            juce::Image picture (juce::Image::ARGB, width, height, true);
            {
                juce::Graphics g (picture);
                g.setGradientFill (juce::ColourGradient (juce::Colours::black, 0.0f, 0.0f,
                                                         juce::Colours::white, (float) width, (float) height, false));
                g.fillAll();
            }

            p.sourceImage = picture;
            p.drawLayer = juce::Image (juce::Image::ARGB, width, height, true);
            {
                juce::Graphics g (p.drawLayer);
                g.setColour (juce::Colours::white);
                g.drawLine (10.0f, 10.0f, (float) width - 10.0f, (float) height - 10.0f, 8.0f);
            }
            p.compositeImage = picture.createCopy();
            p.workImage = picture.createCopy();
            p.blurImage = picture.createCopy();
            p.transformImage = picture.createCopy();
            p.outputImage = picture.createCopy();
            p.sourceImagePresent = true;
            p.newImagePending = false;

            // Every stage busy: contrast, threshold, smoothing, a rotated and
            // zoomed view, and (when asked) the resolution reduction.
            p.horrescaleValue->store (reduce ? 2.0f : 1.0f);
            p.contrastValue->store (1.5f);
            p.brightnessValue->store (0.1f);
            p.bwsetValue->store (1.0f);
            p.blurforxaxisValue->store (0.5f);
            p.fineRotateValue->store (10.0f);
            p.zoomValue->store (0.3f);
        }
    };

    void fullPass (benchmark::State& state)
    {
        Setup setup ((int) state.range (0), (int) state.range (1), state.range (2) != 0);
        auto& p = *setup.processor;
        const juce::ScopedLock sl (criticalSection);

        for (auto _ : state)
        {
            p.needColourUpdate = true;
            p.changeColourFunction();
        }
    }

    void transformPass (benchmark::State& state)
    {
        Setup setup ((int) state.range (0), (int) state.range (1), false);
        auto& p = *setup.processor;
        const juce::ScopedLock sl (criticalSection);

        for (auto _ : state)
        {
            p.needTransformUpdate = true;
            p.changeColourFunction();
        }
    }
}

// Arguments: width, height, resolution reduction on (1) or off (0).
BENCHMARK (fullPass)->Args ({ 480, 330, 0 })->Args ({ 480, 330, 1 })
                    ->Args ({ 1500, 512, 0 })->Args ({ 1500, 512, 1 })->Unit (benchmark::kMillisecond);
BENCHMARK (transformPass)->Args ({ 480, 330 })->Args ({ 1500, 512 })->Unit (benchmark::kMillisecond);

BENCHMARK_MAIN();
