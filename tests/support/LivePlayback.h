#pragma once

#include "PlayingHead.h"
#include "TestSupport.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// A host playing a processor while a test works its window: an audio thread of
// its own running stereo 512-sample blocks of a tone with the transport
// playing, and, before each block, host automation of one to three
// parameters (an automation lane delivered with the block).
namespace kestrune::test
{
    class LivePlayback
    {
    public:
        struct Options
        {
            int blockPeriodMicros = 3000;       // rest between blocks (real time would be 10667)
            bool automate = true;               // host automation before every block
            std::vector<juce::String> automated; // IDs to automate; empty: every parameter
            unsigned seed = 1;
            float toneCyclesPerSample = 0.01f;  // the input: a sine of this frequency (x sample rate)
            size_t capturedSamples = 0;         // output samples of channel 0 kept from the first block on
        };

        explicit LivePlayback (KestruneAudioProcessor& processor);
        LivePlayback (KestruneAudioProcessor& processor, Options options);
        ~LivePlayback();

        // Stops the audio thread (and the automation with it); idempotent.
        void stop();

        long blocks() const noexcept            { return blockCount.load(); }
        long nonFiniteBlocks() const noexcept   { return nonFinite.load(); }
        long silentBlocks() const noexcept      { return silent.load(); }   // all output exactly 0
        long unchangedBlocks() const noexcept   { return unchanged.load(); } // output exactly the input (no picture)
        double longestBlockMs() const noexcept  { return longestMs.load(); }

        // Waits until at least `count` more blocks have run (false on timeout).
        bool waitForBlocks (long count, int timeoutMs = 20000) const;

        // The kept output of channel 0 (complete once stopped).
        const std::vector<float>& capturedOutput() const noexcept { return captured; }

        static constexpr int blockSize = 512;
        static constexpr double sampleRate = 48000.0;

    private:
        void run();

        KestruneAudioProcessor& processor;
        Options options;
        PlayingHead head;
        std::vector<float> captured;
        std::atomic<bool> running { true };
        std::atomic<long> blockCount { 0 }, nonFinite { 0 }, silent { 0 }, unchanged { 0 };
        std::atomic<double> longestMs { 0.0 };
        std::thread thread;
    };
}
