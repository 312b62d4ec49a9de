// The canvas repaint while the picture pipeline is busy.
//
// A 1500 x 512 picture with every colour stage on (resolution reduction
// included: the longest pass), the worker's loop run back to back (full passes
// under the pipeline lock, each followed by the windows' scaled copies), and
// the canvas frame as the plug-in window shows it at 1187 x 667 (canvas
// 647 x 470) repainted every few milliseconds. Reported: the longest and the
// mean frame paint. For comparison, in the same run: the same picture drawn
// the way that reads the output picture under the pipeline lock, which waits
// for passes.
#include "BusyPipeline.h"
#include "PluginEditor.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

namespace
{
    using namespace kestrune::bench;

    struct PaintTimes
    {
        std::vector<double> millis;
        double longestCpu = 0.0;

        void report (benchmark::State& state, const BusyPipeline& busy)
        {
            std::sort (millis.begin(), millis.end());
            double total = 0.0;
            for (auto m : millis)
                total += m;

            state.counters["paint_max_ms"] = millis.back();
            state.counters["paint_max_cpu_ms"] = longestCpu;
            state.counters["paint_p99_ms"] = millis[(size_t) ((double) (millis.size() - 1) * 0.99)];
            state.counters["paint_mean_ms"] = total / (double) millis.size();
            state.counters["passes"] = busy.passes.load();
            state.counters["pass_max_ms"] = busy.longestPass.load();
            const auto copies = busy.processor->finishedPicture.displayCopiesRendered();
            state.counters["copies"] = copies;
            state.counters["copy_max_ms"] = busy.longestCopy.load();
            state.counters["copy_mean_ms"] = copies > 0 ? busy.copyTotal.load() / copies : 0.0;
        }
    };

    constexpr int frameWidth = 647, frameHeight = 480; // canvas 647 x 470 below the strip

    // The frame and canvas as the window paints them every 30 ms.
    void BM_CanvasFrameRepaint (benchmark::State& state)
    {
        BusyPipeline busy;
        ParentTargetArea frame (*busy.processor);
        frame.setSize (frameWidth, frameHeight);
        frame.stopTimer();

        juce::Image screen (juce::Image::ARGB, frameWidth, frameHeight, true);
        PaintTimes times;

        // The window's first frame asks for a copy at the canvas size; from
        // the next pass on the worker scales for it.
        {
            juce::Graphics g (screen);
            frame.paintEntireComponent (g, false);
        }
        while (busy.processor->finishedPicture.displayCopiesRendered() == 0)
            juce::Thread::sleep (1);

        for (auto _ : state)
        {
            const auto start = Clock::now();
            const auto cpuStart = threadCpuMillis();
            {
                juce::Graphics g (screen);
                frame.paintEntireComponent (g, false);
            }
            const auto took = millisSince (start);
            times.longestCpu = std::max (times.longestCpu, threadCpuMillis() - cpuStart);
            times.millis.push_back (took);
            state.SetIterationTime (took / 1000.0);

            // Sample every phase of the passes.
            std::this_thread::sleep_for (std::chrono::milliseconds (3 + (int) times.millis.size() % 5));
        }

        times.report (state, busy);
    }

    // The same picture drawn the other way: take the pipeline lock and draw
    // the output picture itself.
    void BM_PaintUnderPipelineLock (benchmark::State& state)
    {
        BusyPipeline busy;
        juce::Image screen (juce::Image::ARGB, frameWidth, frameHeight - 10, true);
        PaintTimes times;

        for (auto _ : state)
        {
            const auto start = Clock::now();
            const auto cpuStart = threadCpuMillis();
            {
                juce::Graphics g (screen);
                g.fillAll (juce::Colour (0x33008000));
                const juce::ScopedLock sl (criticalSection);
                const auto& picture = busy.processor->outputImage;
                g.drawImageTransformed (picture, juce::AffineTransform::scale ((float) screen.getWidth() / (float) picture.getWidth(),
                                                                               (float) screen.getHeight() / (float) picture.getHeight()));
            }
            const auto took = millisSince (start);
            times.longestCpu = std::max (times.longestCpu, threadCpuMillis() - cpuStart);
            times.millis.push_back (took);
            state.SetIterationTime (took / 1000.0);
            std::this_thread::sleep_for (std::chrono::milliseconds (3 + (int) times.millis.size() % 5));
        }

        times.report (state, busy);
    }
}

BENCHMARK (BM_CanvasFrameRepaint)->Iterations (600)->UseManualTime()->Unit (benchmark::kMillisecond);
BENCHMARK (BM_PaintUnderPipelineLock)->Iterations (600)->UseManualTime()->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
