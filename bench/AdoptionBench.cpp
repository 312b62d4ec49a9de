// How long the audio thread's share of a picture adoption takes: the longest
// single checkAndLoadFile() call while a 6000 x 4000 photo is opened, prepared
// by the worker and adopted (parameters reset, the heaviest case).

#include <JuceHeader.h>
#include <benchmark/benchmark.h>

#include "PluginProcessor.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace
{
    juce::File photoFile()
    {
        static const juce::File file = []
        {
            auto f = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("kestrune-bench-photo.jpg");
            juce::Image photo (juce::Image::RGB, 6000, 4000, false);
            juce::Random random (42);
            {
                juce::Image::BitmapData data (photo, juce::Image::BitmapData::writeOnly);
                for (int y = 0; y < 4000; ++y)
                    for (int x = 0; x < 6000; ++x)
                        data.setPixelColour (x, y, juce::Colour ((juce::uint8) (x / 24), (juce::uint8) (y / 16),
                                                                 (juce::uint8) random.nextInt (256)));
            }
            f.deleteFile();
            juce::FileOutputStream out (f);
            juce::JPEGImageFormat jpeg;
            jpeg.setQuality (0.85f);
            jpeg.writeImageToStream (photo, out);
            return f;
        }();
        return file;
    }

    void BM_AdoptLargePhoto (benchmark::State& state)
    {
        KestruneAudioProcessor processor;
        const auto path = photoFile().getFullPathName();
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

int main (int argc, char** argv)
{
    // Keep the images folder out of the real Documents folder.
    char home[] = "/tmp/kestrune-bench-home-XXXXXX";
    if (::mkdtemp (home) == nullptr)
        return 1;
    ::setenv ("HOME", home, 1);

    {
        juce::ScopedJuceInitialiser_GUI juce;
        benchmark::Initialize (&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }

    juce::File (home).deleteRecursively();
    return 0;
}
