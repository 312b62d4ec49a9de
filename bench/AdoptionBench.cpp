// How long the audio thread's share of a picture adoption takes: the longest
// single checkAndLoadFile() call while a 6000 x 4000 photo is opened, prepared
// by the worker and adopted (parameters reset, the heaviest case).

#include "BenchSupport.h"
#include "PluginProcessor.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace
{
    void BM_AdoptLargePhoto (benchmark::State& state)
    {
        KestruneAudioProcessor processor;
        const auto path = kestrune::bench::photoFile (6000, 4000).getFullPathName();
        double worstMicros = 0.0, totalMillis = 0.0;
        int calls = 0;

        for (auto _ : state)
        {
            std::atomic<bool> adopted { false };
            double worstThisRound = 0.0;

            // Stands in for the audio thread: one call per 1.3 ms block.
            std::thread audio ([&]
            {
                while (! adopted.load())
                {
                    const auto start = std::chrono::steady_clock::now();
                    processor.checkAndLoadFile();
                    const auto micros = std::chrono::duration<double, std::micro> (std::chrono::steady_clock::now() - start).count();
                    worstThisRound = std::max (worstThisRound, micros);
                    ++calls;

                    if (! processor.newImagePending.load())
                        adopted = true;

                    std::this_thread::sleep_for (std::chrono::microseconds (1300));
                }
            });

            const auto start = std::chrono::steady_clock::now();
            processor.loadFile (path, false);
            audio.join();
            totalMillis += std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - start).count();
            worstMicros = std::max (worstMicros, worstThisRound);
        }

        state.counters["worst_checkAndLoadFile_us"] = worstMicros;
        state.counters["load_to_adoption_ms"] = totalMillis / (double) state.iterations();
        state.counters["calls"] = calls;
    }
}

BENCHMARK (BM_AdoptLargePhoto)->Iterations (5)->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
