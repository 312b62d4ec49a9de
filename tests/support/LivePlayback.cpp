#include "LivePlayback.h"

#include <chrono>
#include <cmath>
#include <random>

namespace kestrune::test
{
    LivePlayback::LivePlayback (KestruneAudioProcessor& p) : LivePlayback (p, Options {}) {}

    LivePlayback::LivePlayback (KestruneAudioProcessor& p, Options o)
        : processor (p), options (std::move (o))
    {
        captured.reserve (options.capturedSamples);
        processor.setPlayHead (&head);
        processor.prepareToPlay (sampleRate, blockSize);
        thread = std::thread ([this] { run(); });
    }

    LivePlayback::~LivePlayback()
    {
        stop();
    }

    void LivePlayback::stop()
    {
        running = false;

        if (thread.joinable())
        {
            thread.join();
            processor.setPlayHead (nullptr);
        }
    }

    bool LivePlayback::waitForBlocks (long count, int timeoutMs) const
    {
        const auto target = blocks() + count;
        return waitFor ([this, target] { return blocks() >= target; }, timeoutMs);
    }

    void LivePlayback::run()
    {
        std::mt19937 rng (options.seed);
        std::uniform_real_distribution<float> unit (0.0f, 1.0f);

        juce::Array<juce::RangedAudioParameter*> lanes;
        for (auto* parameter : processor.getParameters())
            if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (parameter))
                if (options.automated.empty()
                     || std::find (options.automated.begin(), options.automated.end(), ranged->paramID) != options.automated.end())
                    lanes.add (ranged);

        juce::AudioBuffer<float> block (2, blockSize), input (2, blockSize);
        juce::MidiBuffer midi;
        double phase = 0.0;

        while (running.load())
        {
            if (options.automate && ! lanes.isEmpty())
                for (int k = 1 + (int) (rng() % 3); --k >= 0;)
                {
                    auto* lane = lanes.getUnchecked ((int) (rng() % (unsigned) lanes.size()));
                    // Switches get their two ends, so that they really turn on and off.
                    lane->setValueNotifyingHost (lane->getNumSteps() == 2 ? (float) (rng() % 2) : unit (rng));
                }

            for (int n = 0; n < blockSize; ++n)
            {
                const auto v = (float) (0.25 * std::sin (juce::MathConstants<double>::twoPi * phase));
                phase += options.toneCyclesPerSample;
                block.setSample (0, n, v);
                block.setSample (1, n, v);
            }

            input.makeCopyOf (block, true);
            const auto start = std::chrono::steady_clock::now();
            processor.processBlock (block, midi);
            const auto ms = std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - start).count();
            longestMs = std::max (longestMs.load(), ms);

            bool finite = true, allZero = true, same = true;
            for (int c = 0; c < 2; ++c)
                for (int n = 0; n < blockSize; ++n)
                {
                    const auto v = block.getSample (c, n);
                    finite = finite && std::isfinite (v);
                    allZero = allZero && v == 0.0f;
                    same = same && v == input.getSample (c, n);
                }

            for (int n = 0; n < blockSize && captured.size() < options.capturedSamples; ++n)
                captured.push_back (block.getSample (0, n));

            if (! finite)
                ++nonFinite;
            if (allZero)
                ++silent;
            if (same)
                ++unchanged;

            head.ppq += blockSize * 2.0 / sampleRate; // 120 beats per minute
            ++blockCount;

            std::this_thread::sleep_for (std::chrono::microseconds (options.blockPeriodMicros));
        }
    }
}
