// How long the Record button holds the message thread when it turns a capture
// into the picture: drawing the frames as a spectrogram, then the processor's
// hand-over (the picture at the current picture's size, its 512-row copy, the
// swap under the lock). Captures at 48 kHz: two bars at 120 beats per minute
// (94 frames) and the longest capture the store makes room for (20 bars at 20
// beats per minute, 5627 frames), over the default 480 x 330 picture.

#include "BenchSupport.h"
#include "PluginProcessor.h"
#include "RecordedSpectrogram.h"

#include <vector>

namespace
{
    std::vector<RecordedFrameStore::Frame> noiseFrames (size_t count)
    {
        juce::Random random (5);
        std::vector<RecordedFrameStore::Frame> frames (count);

        for (auto& frame : frames)
            for (auto& v : frame)
                v = random.nextFloat() * 300.0f;

        return frames;
    }

    void BM_DrawSpectrogram (benchmark::State& state)
    {
        const auto frames = noiseFrames ((size_t) state.range (0));

        for (auto _ : state)
            benchmark::DoNotOptimize (kestrune::recording::drawSpectrogram (frames, -100.0f, 0.0f));
    }

    void BM_HandOverRecording (benchmark::State& state)
    {
        KestruneAudioProcessor processor;
        const auto spectrogram = kestrune::recording::drawSpectrogram (noiseFrames ((size_t) state.range (0)), -100.0f, 0.0f);

        for (auto _ : state)
            processor.handOverRecording (spectrogram);
    }
}

BENCHMARK (BM_DrawSpectrogram)->Arg (94)->Arg (5627)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_HandOverRecording)->Arg (94)->Arg (5627)->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
