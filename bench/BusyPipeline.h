#pragma once

// A processor whose picture pipeline is as busy as it gets: a 1500 x 512
// picture with every colour stage on (resolution reduction included: the
// longest pass), and a thread that runs the worker's loop back to back (full
// passes under the pipeline lock, each followed by the windows' scaled
// copies) in place of the worker, without its 44 ms rest between passes.
// Shared by the benchmarks of the window's paints and gestures.
#include "BenchSupport.h"
#include "PluginProcessor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace kestrune::bench
{
    using Clock = std::chrono::steady_clock;

    inline double millisSince (Clock::time_point start)
    {
        return std::chrono::duration<double, std::milli> (Clock::now() - start).count();
    }

    // CPU time of the calling thread: a call's wall time above it was spent
    // waiting (for a lock, or for a core on a busy machine).
    inline double threadCpuMillis() { return threadCpuSeconds() * 1000.0; }

    // The processor with its worker stopped, so that a benchmark can run the
    // worker's loop itself.
    struct BenchProcessor : KestruneAudioProcessor
    {
        void stopWorkerForBenchmark() { stopWorker(); }
    };

    // A 1500 x 512 picture of random greys, written as a PNG file.
    inline juce::File writeLargePicture()
    {
        juce::Image picture (juce::Image::RGB, 1500, 512, false);
        juce::Random random (7);
        for (int y = 0; y < picture.getHeight(); ++y)
            for (int x = 0; x < picture.getWidth(); ++x)
                picture.setPixelAt (x, y, juce::Colour::greyLevel (random.nextFloat()));

        auto file = juce::File::createTempFile (".png");
        juce::FileOutputStream out (file);
        juce::PNGImageFormat().writeImageToStream (picture, out);
        return file;
    }

    struct BusyPipeline
    {
        std::unique_ptr<BenchProcessor> processor = std::make_unique<BenchProcessor>();
        std::atomic<bool> stop { false };
        std::atomic<int> passes { 0 };
        std::atomic<double> longestPass { 0.0 }, longestCopy { 0.0 }, copyTotal { 0.0 };
        std::thread passer;
        juce::File picture = writeLargePicture();

        BusyPipeline()
        {
            auto& p = *processor;
            p.loadFile (picture.getFullPathName(), true);

            // This thread stands in for the audio thread's adoption.
            while (p.newImagePending.load())
            {
                p.checkAndLoadFile();
                juce::Thread::sleep (1);
            }

            for (const auto& [id, value] : { std::pair<const char*, float> { "horrescale", 2.0f },
                                             { "contrast", 1.5f }, { "brightness", 0.1f }, { "bwset", 1.0f },
                                             { "blurforxaxis", 0.5f }, { "fineRotate", 10.0f }, { "zoom", 0.3f } })
                p.setParameterNotifyingHost (id, value);

            p.showHelpText = false;
            p.scanColumnLeft = 300.0f;
            p.scanColumnRight = 900.0f;

            // Wait until the picture is rendered and published.
            while (p.finishedPicture.latest().getWidth() != 1500)
                juce::Thread::sleep (5);

            processor->stopWorkerForBenchmark();

            passer = std::thread ([this]
            {
                while (! stop.load())
                {
                    const auto start = Clock::now();
                    {
                        const juce::ScopedLock sl (criticalSection);
                        const juce::ScopedLock pl (processor->passLock);
                        processor->needColourUpdate = true;
                        processor->changeColourFunction();
                    }
                    const auto took = millisSince (start);
                    const auto before = processor->finishedPicture.displayCopiesRendered();
                    const auto copyStart = Clock::now();
                    processor->finishedPicture.renderDisplayCopies();
                    if (processor->finishedPicture.displayCopiesRendered() != before)
                    {
                        const auto copyTook = millisSince (copyStart);
                        longestCopy = std::max (longestCopy.load(), copyTook);
                        copyTotal = copyTotal.load() + copyTook;
                    }
                    longestPass = std::max (longestPass.load(), took);
                    ++passes;

                    // A pass skipped for a picture waiting for adoption would
                    // otherwise come round again at once.
                    if (processor->newImagePending.load())
                        std::this_thread::sleep_for (std::chrono::milliseconds (1));
                }
            });
        }

        ~BusyPipeline()
        {
            stop = true;
            passer.join();
            picture.deleteFile();
        }
    };
}
