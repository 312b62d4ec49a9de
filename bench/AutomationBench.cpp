// Continuous automation as a host sends it: one parameter set before every
// audio block (512 samples at 48 kHz, a block every 10.7 ms) for ten seconds,
// with the real worker thread running on a 1500 x 512 picture with every
// stage busy (resolution reduction included). Reports the CPU time of the
// worker and of its band helpers as a share of one core, and the passes the
// worker made.
//
//   parameter 0: "brightness" (a colour parameter), 1: "zoom" (placement)
//   window 0: no window open, 1: the plug-in window's canvas open (it asks
//             for its scaled copy every 30 ms, as it paints)
//   fill 0: transformed pictures drawn through JUCE's renderer (as before
//           kestrune::fill), 1: through kestrune::fill; each case runs with
//           0 and then 1, side by side
#include "BenchSupport.h"
#include "PluginProcessor.h"
#include "TransformedFill.h"

#include <cmath>

using kestrune::bench::PlayingHead;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;

    double workerCpuSeconds() { return kestrune::bench::cpuSecondsOfThreads ({ "NoName", "KestruneBands" }); }

    void automation (benchmark::State& state)
    {
        kestrune::fill::useLoop (state.range (2) == 0 ? kestrune::fill::Loop::juce : kestrune::fill::Loop::vector);
        juce::ScopedJuceInitialiser_GUI juce;
        auto processor = std::make_unique<KestruneAudioProcessor>();
        auto& p = *processor;
        const bool colour = state.range (0) == 0;
        const bool window = state.range (1) != 0;
        const int width = 1500, height = 512;

        {
            const juce::ScopedLock sl (criticalSection);

            const auto picture = kestrune::bench::gradientPicture (width, height);
            p.sourceImage = picture;
            p.drawLayer = kestrune::bench::diagonalStrokeLayer (width, height);
            p.compositeImage = picture.createCopy();
            p.workImage = picture.createCopy();
            p.blurImage = picture.createCopy();
            p.transformImage = picture.createCopy();
            p.outputImage = picture.createCopy();
            p.sourceImagePresent = true;
            p.newImagePending = false;
        }

        auto set = [&p] (const juce::String& id, float plain)
        {
            auto* param = p.apvts.getParameter (id);
            param->setValueNotifyingHost (param->convertTo0to1 (plain));
        };

        set ("horrescale", 2.0f);
        set ("contrast", 1.5f);
        set ("brightness", 0.1f);
        set ("bwset", 1.0f);
        set ("blurforxaxis", 0.5f);
        set ("fineRotate", 10.0f);
        set ("zoom", 0.3f);

        PlayingHead head;
        p.setPlayHead (&head);
        p.prepareToPlay (sampleRate, blockSize);

        // Let the first passes settle.
        juce::Thread::sleep (300);

        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        juce::Random random (3);
        const double period = blockSize / sampleRate;
        const auto passesBefore = p.workerPasses.load();
        const auto cpuBefore = workerCpuSeconds();
        const auto start = juce::Time::getMillisecondCounterHiRes();
        int blocks = 0;

        for (auto _ : state)
        {
            for (blocks = 0; blocks * period < 10.0; ++blocks)
            {
                // A slow sweep: a new value every block.
                const auto phase = (float) (blocks * period * 0.5);
                if (colour)
                    set ("brightness", 0.3f * std::sin (6.2832f * phase));
                else
                    set ("zoom", 0.3f + 0.1f * std::sin (6.2832f * phase));

                for (int c = 0; c < 2; ++c)
                    for (int i = 0; i < blockSize; ++i)
                        buffer.setSample (c, i, random.nextFloat() - 0.5f);

                p.processBlock (buffer, midi);
                head.ppq += blockSize * 2.0 / sampleRate;

                if (window && blocks % 3 == 0)
                {
                    FinishedPicture::ForDisplay shown;
                    p.finishedPicture.tryForDisplay (647, 470, shown);
                }

                // Keep to real time.
                const auto due = start + (blocks + 1) * period * 1000.0;
                const auto now = juce::Time::getMillisecondCounterHiRes();
                if (due > now)
                    juce::Thread::sleep ((int) (due - now));
            }
        }

        const auto seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
        state.counters["worker_cpu_share"] = (workerCpuSeconds() - cpuBefore) / seconds;
        state.counters["passes_per_s"] = (double) (p.workerPasses.load() - passesBefore) / seconds;
        state.counters["blocks"] = blocks;
        p.setPlayHead (nullptr);
        processor.reset();
        kestrune::fill::useLoop (kestrune::fill::Loop::vector);
    }
}

// Arguments: parameter (0 "brightness", 1 "zoom"), window open (1) or not
// (0), fill (0 JUCE's renderer, 1 kestrune::fill).
BENCHMARK (automation)->Args ({ 0, 0, 0 })->Args ({ 0, 0, 1 })->Args ({ 1, 0, 0 })->Args ({ 1, 0, 1 })
                      ->Args ({ 0, 1, 0 })->Args ({ 0, 1, 1 })->Args ({ 1, 1, 0 })->Args ({ 1, 1, 1 })
                      ->Iterations (1)->UseRealTime()->Unit (benchmark::kSecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
