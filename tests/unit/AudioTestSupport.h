#pragma once

#include "TestSupport.h"

#include <cmath>
#include <functional>
#include <optional>
#include <vector>

// Helpers for driving the processor's audio path from a test: a play head the
// test controls, pictures handed over the way the worker hands them over, and
// block runners.
namespace kestrune::test::audio
{
    constexpr double sampleRate = 48000.0;

    struct TestPlayHead : juce::AudioPlayHead
    {
        bool hasPosition = true;
        std::optional<double> bpm { 120.0 };
        std::optional<double> ppq { 0.0 };
        bool playing = true;

        juce::Optional<PositionInfo> getPosition() const override
        {
            if (! hasPosition)
                return {};

            PositionInfo info;
            if (bpm) info.setBpm (*bpm);
            if (ppq) info.setPpqPosition (*ppq);
            info.setIsPlaying (playing);
            return info;
        }
    };

    // A processor, prepared, with a play head, and the test acting as the one
    // writer of its grey frames: it holds the pipeline lock (as the worker does
    // while it publishes) so the worker cannot publish in between.
    class Rig
    {
    public:
        explicit Rig (int channels = 2, int blockSize = 512, bool prepare = true)
            : processor (makeProcessor())
        {
            waitFor ([this]
            {
                return processor->workerPasses.load() >= 1
                    && ! processor->newImagePending.load() && ! processor->reloadImage.load()
                    && ! processor->needColourUpdate.load() && ! processor->needTransformUpdate.load();
            }, 5000);

            criticalSection.enter();

            if (channels == 1)
            {
                juce::AudioProcessor::BusesLayout mono;
                mono.inputBuses.add (juce::AudioChannelSet::mono());
                mono.outputBuses.add (juce::AudioChannelSet::mono());
                processor->setBusesLayout (mono);
            }

            processor->setPlayHead (&head);

            if (prepare)
                processor->prepareToPlay (sampleRate, blockSize);
        }

        ~Rig()
        {
            criticalSection.exit();
        }

        KestruneAudioProcessor& p() { return *processor; }

        // Publishes a picture whose grey is grey (x, yFromTop).
        void publish (int width, int height, const std::function<float (int, int)>& grey)
        {
            auto& frame = processor->outputFrames.backFrame();
            frame.width = width;
            frame.height = height;
            frame.grey.assign ((size_t) width * (size_t) height, 0.0f);

            for (int x = 0; x < width; ++x)
                for (int y = 0; y < height; ++y)
                    frame.grey[(size_t) x * (size_t) height + (size_t) y] = grey (x, y);

            processor->outputFrames.publish();
        }

        void publishUniform (float grey, int width = 480, int height = 330)
        {
            publish (width, height, [grey] (int, int) { return grey; });
        }

        void publishEmpty()
        {
            auto& frame = processor->outputFrames.backFrame();
            frame.width = frame.height = 0;
            frame.grey.clear();
            processor->outputFrames.publish();
        }

        void set (const juce::String& id, float plain) { setPlain (*processor, id, plain); }

        void setDirection (int which)
        {
            for (int k = 0; k < 4; ++k)
                set ("direction" + juce::String (k), k == which ? 1.0f : 0.0f);
        }

        // One block in place; the play head then moves on while playing.
        void processBlock (juce::AudioBuffer<float>& block)
        {
            juce::MidiBuffer midi;
            processor->processBlock (block, midi);

            if (head.playing && head.ppq)
                *head.ppq += block.getNumSamples() * head.bpm.value_or (120.0) / 60.0 / sampleRate;
        }

        // Runs `input` through in blocks of the given sizes (cycled) and returns the output.
        juce::AudioBuffer<float> run (const juce::AudioBuffer<float>& input, std::vector<int> blockSizes)
        {
            juce::AudioBuffer<float> output (input);
            const auto total = input.getNumSamples();
            size_t next = 0;

            for (int start = 0; start < total;)
            {
                const auto length = std::min (blockSizes[next++ % blockSizes.size()], total - start);
                juce::AudioBuffer<float> block (output.getArrayOfWritePointers(), output.getNumChannels(), start, length);
                processBlock (block);
                start += length;
            }

            return output;
        }

        TestPlayHead head;

    private:
        std::unique_ptr<KestruneAudioProcessor> processor;
    };

    // A sine on an exact bin of the 2048-point transform (bin 100: 2343.75 Hz).
    inline juce::AudioBuffer<float> tone (int channels, int samples, float amplitude = 0.25f, double bin = 100.0)
    {
        juce::AudioBuffer<float> b (channels, samples);
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                b.setSample (c, i, amplitude * (float) std::sin (2.0 * juce::MathConstants<double>::pi * bin * i / 2048.0 + c));
        return b;
    }

    inline juce::AudioBuffer<float> noise (int channels, int samples, int seed = 7)
    {
        juce::Random random (seed);
        juce::AudioBuffer<float> b (channels, samples);
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                b.setSample (c, i, random.nextFloat() - 0.5f);
        return b;
    }

    // Largest |output[n] - factor * input[n - delay]| over n in [from, end).
    inline float delayedError (const juce::AudioBuffer<float>& output, const juce::AudioBuffer<float>& input,
                               int channel, float factor, int delay, int from)
    {
        float worst = 0.0f;
        for (int n = from; n < output.getNumSamples(); ++n)
            worst = std::max (worst, std::abs (output.getSample (channel, n) - factor * input.getSample (channel, n - delay)));
        return worst;
    }

    inline float peak (const juce::AudioBuffer<float>& b, int channel, int from, int to)
    {
        float worst = 0.0f;
        for (int n = from; n < to; ++n)
            worst = std::max (worst, std::abs (b.getSample (channel, n)));
        return worst;
    }
}
