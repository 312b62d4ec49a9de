// Cost of the pen layer's undo snapshots on a 1500 x 512 picture: memory per
// snapshot as strokes accumulate, and the time to take and to restore one.
#include "BenchSupport.h"
#include "PluginProcessor.h"
#include "TypicalStroke.h"

using kestrune::test::drawTypicalStroke;

namespace
{
    // A stroke's snapshot on a layer that already holds `range(0)` strokes,
    // taken as drawShape does: copy the layer, then pack it against the step before.
    void BM_StrokeSnapshot (benchmark::State& state)
    {
        juce::Random rng (2024);
        juce::Image layer (juce::Image::ARGB, 1500, 512, true);
        LayerSnapshot previous (layer);

        for (int i = 0; i < (int) state.range (0); ++i)
        {
            drawTypicalStroke (layer, rng);
            previous = LayerSnapshot (layer, previous);
        }

        drawTypicalStroke (layer, rng);
        size_t bytes = 0;

        for (auto _ : state)
        {
            const auto copy = layer.createCopy();
            const LayerSnapshot snap (copy, previous);
            bytes = snap.bytes();
            benchmark::DoNotOptimize (bytes);
        }

        state.counters["bytes"] = (double) bytes;
    }

    // The part of a stroke's snapshot taken under the pipeline lock: the layer copy.
    void BM_LayerCopy (benchmark::State& state)
    {
        const juce::Image layer (juce::Image::ARGB, 1500, 512, true);

        for (auto _ : state)
        {
            auto copy = layer.createCopy();
            benchmark::DoNotOptimize (copy);
        }
    }

    // Average memory per stroke over a history of `range(0)` strokes.
    void BM_HistoryBytesPerStroke (benchmark::State& state)
    {
        const auto strokes = (int) state.range (0);
        double perStroke = 0.0, wholeLayer = 0.0;

        for (auto _ : state)
        {
            juce::Random rng (7);
            juce::Image layer (juce::Image::ARGB, 1500, 512, true);
            std::vector<LayerSnapshot> history { LayerSnapshot (layer) };
            size_t total = 0;

            for (int i = 0; i < strokes; ++i)
            {
                drawTypicalStroke (layer, rng);
                history.emplace_back (layer, history.back());
                total += history.back().bytes();
            }

            perStroke = (double) total / strokes;
            wholeLayer = (double) LayerSnapshot (layer).bytes();
        }

        state.counters["bytesPerStroke"] = perStroke;
        state.counters["wholeLayerBytes"] = wholeLayer;
    }

    void BM_RestoreSnapshot (benchmark::State& state)
    {
        juce::Random rng (3);
        juce::Image layer (juce::Image::ARGB, 1500, 512, true);
        LayerSnapshot snap (layer);

        for (int i = 0; i < (int) state.range (0); ++i)
        {
            drawTypicalStroke (layer, rng);
            snap = LayerSnapshot (layer, snap);
        }

        for (auto _ : state)
        {
            auto img = snap.restore();
            benchmark::DoNotOptimize (img);
        }
    }
}

BENCHMARK (BM_StrokeSnapshot)->Arg (0)->Arg (10)->Arg (30)->Arg (200)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_LayerCopy)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_HistoryBytesPerStroke)->Arg (20)->Arg (200)->Unit (benchmark::kMillisecond)->Iterations (1);
BENCHMARK (BM_RestoreSnapshot)->Arg (0)->Arg (30)->Arg (200)->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
