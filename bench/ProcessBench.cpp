// Cost of the audio path: stereo 512-sample blocks at 48 kHz through
// processBlock with a picture and the transport playing, next to the bare
// floor of the algorithm (per hop and channel one forward and one inverse
// 2048-point real transform, two window multiplications, the overlap-add).
// The ratio processBlock / floor is the overhead of everything else.
#include "BenchSupport.h"
#include "PluginProcessor.h"

#include <algorithm>
#include <memory>
#include <vector>

using kestrune::bench::PlayingHead;
using kestrune::bench::threadCpuSeconds;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;

    juce::AudioBuffer<float> noiseBlock (int seed)
    {
        juce::Random random (seed);
        juce::AudioBuffer<float> b (2, blockSize);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < blockSize; ++i)
                b.setSample (c, i, random.nextFloat() - 0.5f);
        return b;
    }

    void reportAudioRate (benchmark::State& state)
    {
        // Seconds of stereo 48 kHz audio per second of CPU: 1 / (CPU per audio second).
        state.counters["audio_s_per_cpu_s"] = benchmark::Counter ((double) state.iterations() * blockSize / sampleRate,
                                                                  benchmark::Counter::kIsRate);
    }

    // A processor playing a picture of one of two kinds, fed one stereo
    // 512-sample noise block per call.
    // kind 0: a picture of smooth strokes on black (flat areas, as drawn);
    // kind 1: every pixel a different grey (no two neighbouring bins alike).
    struct PlayingProcessor
    {
        std::unique_ptr<KestruneAudioProcessor> processor = std::make_unique<KestruneAudioProcessor>();
        PlayingHead head;
        juce::AudioBuffer<float> input = noiseBlock (5), buffer { 2, blockSize };
        juce::MidiBuffer midi;

        explicit PlayingProcessor (int kind)
        {
            // Once the worker has settled, publish a picture as the worker does.
            while (processor->workerPasses.load() < 1 || processor->reloadImage.load()
                   || processor->needColourUpdate.load() || processor->newImagePending.load())
                juce::Thread::sleep (1);

            {
                const juce::ScopedLock pipeline (criticalSection);

                auto& frame = processor->outputFrames.backFrame();
                frame.width = 480;
                frame.height = 330;
                frame.grey.resize ((size_t) 480 * 330);
                juce::Random random (11);

                for (int x = 0; x < 480; ++x)
                    for (int y = 0; y < 330; ++y)
                        frame.grey[(size_t) x * 330 + (size_t) y]
                            = kind == 0 ? ((y / 40 + x / 60) % 3 == 0 ? 0.8f : 0.0f)
                                        : (float) random.nextInt (766) / 765.0f;
                processor->outputFrames.publish();
            }

            processor->setPlayHead (&head);
            processor->prepareToPlay (sampleRate, blockSize);
        }

        ~PlayingProcessor() { processor->setPlayHead (nullptr); }

        void block()
        {
            buffer.makeCopyOf (input, true);
            processor->processBlock (buffer, midi);
            head.ppq += blockSize * 2.0 / sampleRate;
            benchmark::DoNotOptimize (buffer.getReadPointer (0));
        }
    };

    void processBlockWithPicture (benchmark::State& state)
    {
        juce::ScopedJuceInitialiser_GUI juce;
        PlayingProcessor playing ((int) state.range (0));

        for (auto _ : state)
            playing.block();

        reportAudioRate (state);
    }

    // The floor: what any implementation of this filter must do per block.
    struct Floor
    {
        alignas (32) float work[2][4096] {};
        alignas (32) float bins[2056] {};
        alignas (32) float history[2][2048] {};
        alignas (32) float window[2048] {};
        float ring[2][4096] {};
        RealTransformPair transforms { work[0], bins, 2048 };
        int writeIndex = 0;

        Floor()
        {
            for (int i = 0; i < 2048; ++i)
                window[i] = 1.0f - 0.5f * (float) i / 2048.0f;
        }

        void block()
        {
            for (int c = 0; c < 2; ++c)
            {
                juce::FloatVectorOperations::multiply (work[c], history[c], window, 2048);
                transforms.forward (work[c], bins);
                transforms.inverse (bins, work[c]);
                juce::FloatVectorOperations::multiply (work[c], window, 2048);
            }

            const auto first = std::min (2048, 4096 - writeIndex);
            for (int c = 0; c < 2; ++c)
            {
                juce::FloatVectorOperations::add (ring[c] + writeIndex, work[c], first);
                juce::FloatVectorOperations::add (ring[c], work[c] + first, 2048 - first);
            }

            writeIndex = (writeIndex + 512) % 4096;
            benchmark::DoNotOptimize (ring[0][writeIndex]);
        }
    };

    void floorOfTheAlgorithm (benchmark::State& state)
    {
        auto floor = std::make_unique<Floor>();

        for (auto _ : state)
            floor->block();

        reportAudioRate (state);
    }

    double median (std::vector<double> v)
    {
        std::sort (v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    }

    // The three side by side: short bursts of floor, smooth-picture and
    // noisy-picture blocks in turn, each burst timed in thread CPU time, so
    // that a shared machine's load weighs on all three alike. Reports the
    // medians over the bursts of the CPU per block and of each burst's
    // ratio to the floor burst next to it.
    void sideBySide (benchmark::State& state)
    {
        juce::ScopedJuceInitialiser_GUI juce;
        auto floor = std::make_unique<Floor>();
        PlayingProcessor smooth (0), noisy (1);
        constexpr int burst = 16;
        std::vector<double> floorTimes, smoothTimes, noisyTimes, smoothRatios, noisyRatios;

        auto timeBurst = [] (auto& runner)
        {
            const auto start = threadCpuSeconds();
            for (int i = 0; i < burst; ++i)
                runner.block();
            return (threadCpuSeconds() - start) / burst * 1.0e6;
        };

        for (auto _ : state)
        {
            const auto f = timeBurst (*floor);
            const auto s = timeBurst (smooth);
            const auto n = timeBurst (noisy);
            const auto f2 = timeBurst (*floor);
            floorTimes.push_back (0.5 * (f + f2));
            smoothTimes.push_back (s);
            noisyTimes.push_back (n);
            smoothRatios.push_back (s / (0.5 * (f + f2)));
            noisyRatios.push_back (n / (0.5 * (f + f2)));
        }

        state.counters["floor_us"] = median (floorTimes);
        state.counters["smooth_us"] = median (smoothTimes);
        state.counters["noisy_us"] = median (noisyTimes);
        state.counters["smooth_ratio"] = median (smoothRatios);
        state.counters["noisy_ratio"] = median (noisyRatios);
    }

    // One forward and one inverse 2048-point real transform, three ways.
    void transformPair (benchmark::State& state)
    {
        alignas (32) static float data[4096];
        alignas (32) static float bins[2056];
        juce::Random random (3);
        for (auto& v : data)
            v = random.nextFloat();

        const auto kind = state.range (0);
        RealTransformPair direct (data, bins, 2048);
        juce::dsp::FFT juceFft (11);

        for (auto _ : state)
        {
            if (kind == 0)
            {
                direct.forward (data, bins);
                direct.inverse (bins, data);
                juce::FloatVectorOperations::multiply (data, 1.0f / 2048.0f, 2048);
            }
            else
            {
                juceFft.performRealOnlyForwardTransform (data, true);
                juceFft.performRealOnlyInverseTransform (data);
            }
            benchmark::DoNotOptimize (data[1]);
        }
    }
}

BENCHMARK (processBlockWithPicture)->Arg (0)->Arg (1)->ArgName ("noisyPicture")->Unit (benchmark::kMicrosecond);
BENCHMARK (floorOfTheAlgorithm)->Unit (benchmark::kMicrosecond);
// Floor and both pictures in alternating bursts: the ratios to quote.
BENCHMARK (sideBySide)->Iterations (400)->Unit (benchmark::kMillisecond);
// 0: FFTW out-of-place plans (the filter's); 1: juce::dsp::FFT in this build (FFTW, complex packing).
BENCHMARK (transformPair)->Arg (0)->Arg (1)->ArgName ("juceFft")->Unit (benchmark::kMicrosecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
