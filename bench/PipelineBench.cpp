// Worker passes of the colour pipeline on the default picture size and on
// the largest picture width we expect (1500 x 512), every stage busy. One
// iteration is what the worker thread does in one period (44 ms): the pass
// under the pipeline lock, then the scaled copy for an open plug-in window
// (647 x 470, asked for as the canvas asks).
//
//   fullPass:         after a pen stroke: everything from the composite on
//   colourChange:     "brightness" changed (with black and white on, "contrast"
//                     around the mid grey leaves the picture as it is), with
//                     the view turned and zoomed or as it is
//   transformChange:  "zoom" changed
//
// Wall time and the CPU time of the whole process (the band helpers
// included) are both reported: "Time" is wall, "CPU" is all threads.
//
// The last argument picks how the transformed pictures are drawn (the
// reduction's shrink and stretch, the view, the window's copy): 0 through
// JUCE's renderer (as before kestrune::fill), 1 through kestrune::fill, 2
// through its plain loop. Each case runs with 0 and then 1, side by side.
#include "BenchSupport.h"
#include "PluginProcessor.h"
#include "TransformedFill.h"

namespace
{
    // A processor whose worker thread is stopped: the benchmark runs its passes.
    struct QuietProcessor : KestruneAudioProcessor
    {
        QuietProcessor() { stopWorker(); }
    };

    struct FillChoice
    {
        explicit FillChoice (juce::int64 which)
        {
            kestrune::fill::useLoop (which == 0 ? kestrune::fill::Loop::juce
                                   : which == 2 ? kestrune::fill::Loop::plain
                                                : kestrune::fill::Loop::vector);
        }

        ~FillChoice() { kestrune::fill::useLoop (kestrune::fill::Loop::vector); }
    };

    struct Setup
    {
        juce::ScopedJuceInitialiser_GUI juce;
        std::unique_ptr<QuietProcessor> processor;
        juce::Image layers[2];
        int iteration = 0;

        Setup (int width, int height, bool reduce, bool turnedView = true)
            : processor (std::make_unique<QuietProcessor>())
        {
            auto& p = *processor;
            const juce::ScopedLock sl (criticalSection);

            const auto picture = kestrune::bench::gradientPicture (width, height);
            p.sourceImage = picture;
            layers[0] = kestrune::bench::diagonalStrokeLayer (width, height);
            layers[1] = layers[0].createCopy();
            p.drawLayer = layers[0];
            p.compositeImage = picture.createCopy();
            p.workImage = picture.createCopy();
            p.blurImage = picture.createCopy();
            p.transformImage = picture.createCopy();
            p.outputImage = picture.createCopy();
            p.sourceImagePresent = true;
            p.newImagePending = false;

            // Every stage busy: contrast, threshold, smoothing, a rotated and
            // zoomed view (unless asked for the picture as it is), and (when
            // asked) the resolution reduction.
            p.horrescaleValue->store (reduce ? 2.0f : 1.0f);
            p.contrastValue->store (1.5f);
            p.brightnessValue->store (0.1f);
            p.bwsetValue->store (1.0f);
            p.blurforxaxisValue->store (0.5f);
            p.fineRotateValue->store (turnedView ? 10.0f : 0.0f);
            p.zoomValue->store (turnedView ? 0.3f : 0.0f);
            p.needColourUpdate = true;
        }

        // One period of the worker, with the plug-in window's canvas asking
        // for its copy as it paints.
        void pass()
        {
            FinishedPicture::ForDisplay shown;
            processor->finishedPicture.tryForDisplay (647, 470, shown);
            processor->runWorkerPass();
            ++iteration;
        }
    };

    void fullPass (benchmark::State& state)
    {
        const FillChoice fill (state.range (3));
        Setup setup ((int) state.range (0), (int) state.range (1), state.range (2) != 0);
        auto& p = *setup.processor;
        setup.pass();

        for (auto _ : state)
        {
            {
                // A stroke: another pen layer (the same strokes) in place.
                const juce::ScopedLock sl (criticalSection);
                p.drawLayer = setup.layers[setup.iteration % 2];
                p.needColourUpdate = true;
            }

            setup.pass();
        }
    }

    void colourChange (benchmark::State& state)
    {
        const FillChoice fill (state.range (4));
        Setup setup ((int) state.range (0), (int) state.range (1), state.range (2) != 0, state.range (3) != 0);
        auto& p = *setup.processor;
        setup.pass();

        for (auto _ : state)
        {
            p.brightnessValue->store (setup.iteration % 2 == 0 ? 0.12f : 0.1f);
            p.needColourUpdate = true;
            setup.pass();
        }
    }

    void transformChange (benchmark::State& state)
    {
        const FillChoice fill (state.range (3));
        Setup setup ((int) state.range (0), (int) state.range (1), state.range (2) != 0);
        auto& p = *setup.processor;
        setup.pass();

        for (auto _ : state)
        {
            p.zoomValue->store (setup.iteration % 2 == 0 ? 0.31f : 0.3f);
            p.needTransformUpdate = true;
            setup.pass();
        }
    }
}

// Arguments: width, height, resolution reduction on (1) or off (0); for the
// colour change also the view turned and zoomed (1) or as it is (0); last the
// fill (see above).
namespace
{
    void sideBySide (benchmark::internal::Benchmark* b, std::initializer_list<std::vector<int64_t>> cases)
    {
        for (auto args : cases)
            for (const int64_t fill : { 0, 1 })
            {
                auto withFill = args;
                withFill.push_back (fill);
                b->Args (withFill);
            }

        b->MeasureProcessCPUTime()->UseRealTime()->Unit (benchmark::kMillisecond);
    }
}

BENCHMARK (fullPass)->Apply ([] (auto* b) { sideBySide (b, { { 480, 330, 0 }, { 480, 330, 1 }, { 1500, 512, 0 }, { 1500, 512, 1 } }); });
BENCHMARK (colourChange)->Apply ([] (auto* b) { sideBySide (b, { { 1500, 512, 0, 1 }, { 1500, 512, 1, 1 }, { 1500, 512, 0, 0 } }); });
BENCHMARK (transformChange)->Apply ([] (auto* b) { sideBySide (b, { { 1500, 512, 0 }, { 1500, 512, 1 } }); });

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
