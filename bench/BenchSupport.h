#pragma once

// What the benchmark programs share: a transport that plays, CPU-time
// readings, a photo-like test picture, and a main() that keeps the images
// folder out of the real Documents folder.
#include <JuceHeader.h>
#include "PlayingHead.h"
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <map>
#include <unistd.h>
#include <utility>

namespace kestrune::bench
{
    // A transport playing at 120 beats per minute from `ppq`; the caller
    // moves it on after each block.
    using PlayingHead = kestrune::test::PlayingHead;

    // CPU seconds the calling thread has used.
    inline double threadCpuSeconds()
    {
        timespec t {};
        ::clock_gettime (CLOCK_THREAD_CPUTIME_ID, &t);
        return (double) t.tv_sec + 1.0e-9 * (double) t.tv_nsec;
    }

    // CPU seconds of this process's threads with the given names, from the
    // kernel's per-thread CPU clocks.
    inline double cpuSecondsOfThreads (std::initializer_list<const char*> names)
    {
        double total = 0.0;

        for (const auto& entry : juce::File ("/proc/self/task").findChildFiles (juce::File::findDirectories, false))
        {
            const auto name = entry.getChildFile ("comm").loadFileAsString().trim();

            if (std::none_of (names.begin(), names.end(), [&] (const char* n) { return name == n; }))
                continue;

            const auto tid = entry.getFileName().getIntValue();
            const auto clock = (clockid_t) ((~(clockid_t) tid) << 3) | 6; // the thread's CPU clock, as glibc makes it
            timespec t {};

            if (::clock_gettime (clock, &t) == 0)
                total += (double) t.tv_sec + 1.0e-9 * (double) t.tv_nsec;
        }

        return total;
    }

    // A w x h RGB picture with gradients and per-pixel noise, much like a
    // photo to an encoder.
    inline juce::Image photo (int w, int h)
    {
        juce::Image image (juce::Image::RGB, w, h, false);
        juce::Random random (42);
        juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                data.setPixelColour (x, y, juce::Colour ((juce::uint8) (x / 24), (juce::uint8) (y / 16),
                                                         (juce::uint8) random.nextInt (256)));
        return image;
    }

    // A w x h ARGB picture shading from black at the top left to white at
    // the bottom right: every stage of the worker has something to do.
    inline juce::Image gradientPicture (int w, int h)
    {
        juce::Image picture (juce::Image::ARGB, w, h, true);
        juce::Graphics g (picture);
        g.setGradientFill (juce::ColourGradient (juce::Colours::black, 0.0f, 0.0f,
                                                 juce::Colours::white, (float) w, (float) h, false));
        g.fillAll();
        return picture;
    }

    // A pen layer of that size with one 8-pixel white stroke corner to corner.
    inline juce::Image diagonalStrokeLayer (int w, int h)
    {
        juce::Image layer (juce::Image::ARGB, w, h, true);
        juce::Graphics g (layer);
        g.setColour (juce::Colours::white);
        g.drawLine (10.0f, 10.0f, (float) w - 10.0f, (float) h - 10.0f, 8.0f);
        return layer;
    }

    // The photo of that size as a JPEG (quality 0.85) in the temporary
    // folder, written once per program run.
    inline juce::File photoFile (int w, int h)
    {
        static std::map<std::pair<int, int>, juce::File> files;
        auto& f = files[{ w, h }];
        if (f == juce::File())
        {
            f = juce::File::getSpecialLocation (juce::File::tempDirectory)
                    .getChildFile ("kestrune-bench-photo-" + juce::String (w) + "x" + juce::String (h) + ".jpg");
            f.deleteFile();
            juce::FileOutputStream out (f);
            juce::JPEGImageFormat jpeg;
            jpeg.setQuality (0.85f);
            jpeg.writeImageToStream (photo (w, h), out);
        }
        return f;
    }

    // The benchmarks' main(): every processor writes into the images folder
    // under Documents, so HOME points at a temporary folder for the run.
    // Without DISPLAY, JUCE would open ":0.0", which on a shared machine may
    // be someone else's virtual server; these programs need no display.
    inline int runBenchmarks (int argc, char** argv)
    {
        char home[] = "/tmp/kestrune-bench-home-XXXXXX";
        if (::mkdtemp (home) == nullptr)
            return 1;
        ::setenv ("HOME", home, 1);
        ::setenv ("DISPLAY", ":65000", 0);

        {
            juce::ScopedJuceInitialiser_GUI juce;
            benchmark::Initialize (&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }

        juce::File (home).deleteRecursively();
        return 0;
    }
}
