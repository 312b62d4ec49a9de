// How long the window's gesture handlers keep the message thread while the
// picture pipeline is busy.
//
// The 1500 x 512 picture with every colour stage on and the worker's loop run
// back to back (see BusyPipeline.h), a thread standing in for the audio
// thread's adoption (every 10 ms), and the real editor. Gestures, in turn:
// a pen stroke released on the canvas (Free pen, 40 points), Shift+Z,
// Shift+X, an interval selection, and the answer to a dropped picture's
// confirmation box (loadFile of the same 1500 x 512 PNG, parameters kept).
// Reported per gesture: the longest wall time of its handler, the longest
// own-CPU time, and the longest wait (wall time less CPU time: waiting for a
// lock, or for a core on a busy machine).
#include "BusyPipeline.h"
#include "PluginEditor.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace
{
    using namespace kestrune::bench;
    using Mods = juce::ModifierKeys;

    juce::MouseEvent eventAt (juce::Component& c, juce::Point<float> at, Mods mods, juce::Point<float> downAt, bool dragged)
    {
        const auto now = juce::Time::getCurrentTime();
        return juce::MouseEvent (juce::Desktop::getInstance().getMainMouseSource(), at, mods,
                                 juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                                 juce::MouseInputSource::defaultRotation, juce::MouseInputSource::defaultTiltX,
                                 juce::MouseInputSource::defaultTiltY, &c, &c, now, downAt, now, 1, dragged);
    }

    struct Timing
    {
        std::vector<double> wall;
        double longestCpu = 0.0, longestWait = 0.0;
    };

    // Runs `handler` and files its wall, CPU and waiting time under `name`.
    template <typename Handler>
    void timed (std::map<std::string, Timing>& timings, const std::string& name, Handler&& handler)
    {
        const auto start = Clock::now();
        const auto cpuStart = threadCpuMillis();
        handler();
        const auto cpu = threadCpuMillis() - cpuStart;
        const auto wall = millisSince (start);

        auto& t = timings[name];
        t.wall.push_back (wall);
        t.longestCpu = std::max (t.longestCpu, cpu);
        t.longestWait = std::max (t.longestWait, wall - cpu);
    }

    void BM_GestureHandlersWhilePassesRun (benchmark::State& state)
    {
        BusyPipeline busy;
        auto& p = *busy.processor;
        std::unique_ptr<juce::AudioProcessorEditor> editorOwner (p.createEditorIfNeeded());
        auto& editor = dynamic_cast<KestruneAudioProcessorEditor&> (*editorOwner);
        editor.setSize (1187, 667);
        auto& canvas = editor.parentTargetArea.targetArea;
        p.setParameterNotifyingHost ("penStyle", 5.0f); // Free
        p.setParameterNotifyingHost ("zoom", 0.0f);

        std::atomic<bool> stopAudio { false };
        std::thread adoption ([&]
        {
            while (! stopAudio.load())
            {
                p.checkAndLoadFile();
                std::this_thread::sleep_for (std::chrono::milliseconds (10));
            }
        });

        std::map<std::string, Timing> timings;
        juce::Random random (11);
        int step = 0;

        for (auto _ : state)
        {
            const auto start = Clock::now();

            switch (step++ % 8)
            {
                case 0: case 1: case 4:
                {
                    // A stroke: press, 38 drags and the release, which draws it.
                    const auto w = (float) canvas.getWidth(), h = (float) canvas.getHeight();
                    const juce::Point<float> from (random.nextFloat() * w, random.nextFloat() * h);
                    const Mods held (Mods::shiftModifier | Mods::leftButtonModifier);
                    Mods::currentModifiers = held;
                    canvas.mouseDown (eventAt (canvas, from, held, from, false));
                    auto at = from;
                    for (int k = 0; k < 38; ++k)
                    {
                        at += { random.nextFloat() * 8.0f - 4.0f, random.nextFloat() * 8.0f - 4.0f };
                        canvas.mouseDrag (eventAt (canvas, at, held, from, true));
                    }
                    Mods::currentModifiers = Mods (Mods::shiftModifier);
                    timed (timings, "stroke", [&] { canvas.mouseUp (eventAt (canvas, at, held, from, true)); });
                    Mods::currentModifiers = Mods();
                    break;
                }
                case 2:
                    Mods::currentModifiers = Mods (Mods::shiftModifier);
                    timed (timings, "undo", [&] { editor.keyPressed (juce::KeyPress ('Z', Mods::shiftModifier, 'Z')); });
                    Mods::currentModifiers = Mods();
                    break;
                case 3:
                    Mods::currentModifiers = Mods (Mods::shiftModifier);
                    timed (timings, "redo", [&] { editor.keyPressed (juce::KeyPress ('X', Mods::shiftModifier, 'X')); });
                    Mods::currentModifiers = Mods();
                    break;
                case 5:
                {
                    const Mods held (Mods::leftButtonModifier);
                    const juce::Point<float> from (20.0f, 30.0f), to ((float) canvas.getWidth() * 0.6f, 40.0f);
                    Mods::currentModifiers = held;
                    timed (timings, "interval", [&]
                    {
                        canvas.mouseDown (eventAt (canvas, from, held, from, false));
                        canvas.mouseDrag (eventAt (canvas, to, held, from, true));
                        Mods::currentModifiers = Mods();
                        canvas.mouseUp (eventAt (canvas, to, held, from, true));
                    });
                    break;
                }
                case 6:
                    timed (timings, "drop answer (loadFile)", [&] { p.loadFile (busy.picture.getFullPathName(), true); });
                    break;
                default:
                    // Let the adoption come in before the next strokes.
                    while (p.newImagePending.load())
                        std::this_thread::sleep_for (std::chrono::milliseconds (2));
                    break;
            }

            state.SetIterationTime (millisSince (start) / 1000.0);

            // Sample every phase of the passes.
            std::this_thread::sleep_for (std::chrono::milliseconds (3 + step % 7));
        }

        stopAudio = true;
        adoption.join();
        p.editorBeingDeleted (editorOwner.get());
        editorOwner.reset();

        for (auto& [name, t] : timings)
        {
            std::sort (t.wall.begin(), t.wall.end());
            double total = 0.0;
            for (auto m : t.wall)
                total += m;

            state.counters[name + " max_ms"] = t.wall.back();
            state.counters[name + " p90_ms"] = t.wall[(size_t) ((double) (t.wall.size() - 1) * 0.9)];
            state.counters[name + " mean_ms"] = total / (double) t.wall.size();
            state.counters[name + " max_cpu_ms"] = t.longestCpu;
            state.counters[name + " max_wait_ms"] = t.longestWait;
        }

        state.counters["passes"] = busy.passes.load();
        state.counters["pass_max_ms"] = busy.longestPass.load();
    }
}

BENCHMARK (BM_GestureHandlersWhilePassesRun)->Iterations (400)->UseManualTime()->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
