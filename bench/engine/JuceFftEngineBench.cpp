// One forward and one inverse 2048-point real transform through
// juce::dsp::FFT built WITHOUT FFTW, i.e. JUCE's own engine. Compare with
// transformPair in ProcessBench, which runs the same pair with FFTW.
#include <juce_dsp/juce_dsp.h>
#include <benchmark/benchmark.h>

static void juceOwnEngineTransformPair (benchmark::State& state)
{
    alignas (32) static float data[4096];
    juce::Random random (3);
    for (auto& v : data)
        v = random.nextFloat();

    juce::dsp::FFT fft (11);

    for (auto _ : state)
    {
        fft.performRealOnlyForwardTransform (data, true);
        fft.performRealOnlyInverseTransform (data);
        benchmark::DoNotOptimize (data[1]);
    }
}

BENCHMARK (juceOwnEngineTransformPair)->Unit (benchmark::kMicrosecond);

BENCHMARK_MAIN();
