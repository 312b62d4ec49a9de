// One frame of the spectrum view, as the window's 16 ms timer asks for it,
// at the view's size in a 950 x 534 window (514 x 114) and in a 1187 x 667
// one (647 x 147), after a frame of loud noise and a column of varied gains
// over the default picture's rows. Beside it, the curve's shadow alone drawn
// by JUCE's DropShadow and by kestrune::drawPathShadow (the same pixels).
#include "BenchSupport.h"
#include "PathShadow.h"
#include "PluginEditor.h"

#include <benchmark/benchmark.h>

namespace
{
    struct View
    {
        explicit View (benchmark::State& state) : view (processor)
        {
            view.stopTimer();
            view.setSize ((int) state.range (0), (int) state.range (1));

            juce::Random random (5);
            for (int i = 0; i < 2048; ++i)
                processor.fftData[i] = 0.3f * (random.nextFloat() * 2.0f - 1.0f);
            std::fill (processor.fftData + 2048, processor.fftData + 4096, 0.0f);
            processor.nextFFTBlockReady.store (true, std::memory_order_release);

            for (int k = 0; k < 512; ++k)
                processor.playedColumn[k] = random.nextFloat();
            processor.nextColumnReady.store (true, std::memory_order_release);

            view.timerCallback();
        }

        juce::Path spectrumPath() const
        {
            const auto w = view.getWidth();
            const auto fh = (float) view.getHeight();
            juce::Path spectrum;
            spectrum.startNewSubPath (10.0f, fh);
            for (int j = 1; j < SpectrumView::scopeSize; ++j)
                spectrum.lineTo ((float) (10 + (j * (w - 20)) / 255), fh - view.scopeData[j] * fh);
            spectrum.lineTo ((float) (w - 10), fh);
            return spectrum;
        }

        KestruneAudioProcessor processor;
        SpectrumView view;
    };

    // The view painted into its cached image, the label included.
    void BM_SpectrumFrame (benchmark::State& state)
    {
        View v (state);
        juce::Image image (juce::Image::RGB, v.view.getWidth(), v.view.getHeight(), false);

        for (auto _ : state)
        {
            juce::Graphics g (image);
            v.view.paintEntireComponent (g, true);
        }
    }

    // The orange curve's shadow: 0 JUCE's DropShadow, 1 kestrune::drawPathShadow.
    void BM_CurveShadow (benchmark::State& state)
    {
        View v (state);
        const auto path = v.spectrumPath();
        const auto colour = juce::Colours::orange.withAlpha ((juce::uint8) 0x80);
        juce::Image image (juce::Image::RGB, v.view.getWidth(), v.view.getHeight(), true);

        for (auto _ : state)
        {
            juce::Graphics g (image);
            if (state.range (2) == 0)
                juce::DropShadow (colour, 1, {}).drawForPath (g, path);
            else
                kestrune::drawPathShadow (g, path, colour, 1);
        }
    }
}

BENCHMARK (BM_SpectrumFrame)->Args ({ 514, 114 })->Args ({ 647, 147 })->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_CurveShadow)->Args ({ 514, 114, 0 })->Args ({ 514, 114, 1 })
                          ->Args ({ 647, 147, 0 })->Args ({ 647, 147, 1 })->Unit (benchmark::kMicrosecond);

int main (int argc, char** argv)
{
    return kestrune::bench::runBenchmarks (argc, argv);
}
