#include "AudioTestSupport.h"

#include <atomic>
#include <complex>
#include <thread>

using namespace kestrune::test;
using namespace kestrune::test::audio;

namespace
{
    using Frames = std::vector<RecordedFrameStore::Frame>;

    // Plays the image panel: notes recordCapturing at every change message.
    struct MessageLog : juce::ChangeListener
    {
        explicit MessageLog (KestruneAudioProcessor& p) : processor (p) { p.recordBroadcaster.addChangeListener (this); }
        ~MessageLog() override { processor.recordBroadcaster.removeChangeListener (this); }

        void changeListenerCallback (juce::ChangeBroadcaster*) override
        {
            capturing.push_back (processor.recordCapturing.load());
        }

        KestruneAudioProcessor& processor;
        std::vector<bool> capturing;
    };

    // Delivers the messages until the log holds as many as `expected` (the
    // timer that sends them may come round late on a loaded machine), and a
    // little longer for any that should not be there, then compares.
    void expectLog (const MessageLog& log, const std::vector<bool>& expected)
    {
        pumpMessagesUntil ([&] { return log.capturing.size() >= expected.size(); });
        pumpMessages (40);
        EXPECT_EQ (log.capturing, expected);
    }

    bool sameBlock (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
    {
        for (int c = 0; c < a.getNumChannels(); ++c)
            if (std::memcmp (a.getReadPointer (c), b.getReadPointer (c), sizeof (float) * (size_t) a.getNumSamples()) != 0)
                return false;
        return true;
    }

    juce::AudioBuffer<float> sine (int samples, double bin, float amplitude = 1.0f)
    {
        juce::AudioBuffer<float> b (2, samples);
        for (int i = 0; i < samples; ++i)
        {
            const auto v = amplitude * (float) std::sin (2.0 * juce::MathConstants<double>::pi * bin * i / 2048.0);
            b.setSample (0, i, v);
            b.setSample (1, i, v);
        }
        return b;
    }

    // Captures `input` from its first sample: a phase left above the bar
    // phase starts the capture at once. Disarms and takes the frames.
    Frames captureFromStart (Rig& rig, const juce::AudioBuffer<float>& input)
    {
        rig.p().scanPhase = 3.9f;
        rig.p().armRecord();
        const auto output = rig.run (input, { 512 });
        EXPECT_TRUE (sameBlock (output, input));
        rig.p().recordArmed = false;
        auto frames = rig.p().takeRecordedFrames();
        rig.p().recordCapturing = false;
        return frames;
    }

    // |X[k]| of 2048 samples by the definition: Hann window normalised to a
    // sum of 2048, unscaled transform.
    double magnitude (const juce::AudioBuffer<float>& input, int from, int k)
    {
        const auto pi = juce::MathConstants<double>::pi;
        std::vector<double> w (2048);
        double sum = 0.0;
        for (int i = 0; i < 2048; ++i)
            sum += (w[(size_t) i] = 0.5 - 0.5 * std::cos (2.0 * pi * i / 2047.0));

        std::complex<double> x;
        for (int n = 0; n < 2048; ++n)
        {
            const auto mono = ((double) input.getSample (0, from + n) + (double) input.getSample (1, from + n)) / 2.0;
            x += mono * w[(size_t) n] * 2048.0 / sum * std::polar (1.0, -2.0 * pi * k * n / 2048.0);
        }
        return std::abs (x);
    }
}

TEST (RecordCapture, StartsAtTheNextBarLineAndEndsAfterItsBars)
{
    Rig rig;
    rig.publishUniform (1.0f);
    rig.set ("barduratiom", 2.0f);
    MessageLog log (rig.p());

    rig.head.ppq = 2.5;
    rig.p().armRecord();
    ASSERT_TRUE (rig.p().recordArmed.load());

    const auto input = noise (2, 512 * 470, 21);
    juce::AudioBuffer<float> output (input);
    std::optional<double> startPpq, endPpq;

    for (int b = 0; b < 470 && ! endPpq; ++b)
    {
        const auto ppqBefore = *rig.head.ppq;
        juce::AudioBuffer<float> block (output.getArrayOfWritePointers(), 2, b * 512, 512);
        rig.processBlock (block);
        ASSERT_TRUE (sameBlock (block, juce::AudioBuffer<float> (const_cast<float* const*> (input.getArrayOfReadPointers()), 2, b * 512, 512))) << b;

        const auto capturing = rig.p().recordCapturing.load();

        if (capturing && ! startPpq)
        {
            startPpq = ppqBefore;
            expectLog (log, { true });
        }

        if (! capturing && startPpq)
            endPpq = ppqBefore;
    }

    ASSERT_TRUE (startPpq && endPpq);
    EXPECT_LE (*startPpq, 4.0);
    EXPECT_GT (*startPpq + 512.0 / 24000.0, 4.0);
    EXPECT_NEAR (*endPpq, 12.0, 0.1);
    EXPECT_FALSE (rig.p().recordArmed.load());

    // The rest of the run is ordinary processing: no second capture.
    rig.run (noise (2, 512 * 20), { 512 });
    expectLog (log, { true, false });
    EXPECT_FALSE (rig.p().recordCapturing.load());

    // About 8 beats (192000 samples) of 2048-sample frames.
    const auto frames = rig.p().takeRecordedFrames();
    EXPECT_GE (frames.size(), 92u);
    EXPECT_LE (frames.size(), 95u);
    EXPECT_TRUE (rig.p().takeRecordedFrames().empty());
}

TEST (RecordCapture, WaitsWhileStoppedAndStandsStillWhenStoppedMidway)
{
    Rig rig;
    rig.publishUniform (1.0f);
    rig.head.playing = false;
    rig.head.ppq = 2.5;
    rig.p().armRecord();

    const auto stopped = rig.run (noise (2, 512 * 20), { 512 });
    EXPECT_FALSE (rig.p().recordCapturing.load());
    EXPECT_EQ (rig.p().scanPhase.load(), 0.0f);
    EXPECT_EQ (peak (stopped, 0, 0, 512 * 20), 0.0f); // stopped: the usual silence

    rig.head.playing = true;
    rig.run (noise (2, 512), { 512 });
    EXPECT_FALSE (rig.p().recordCapturing.load()); // 2.5 is inside the bar

    for (int b = 0; b < 100 && ! rig.p().recordCapturing.load(); ++b)
        rig.run (noise (2, 512), { 512 });
    ASSERT_TRUE (rig.p().recordCapturing.load());
    EXPECT_NEAR (*rig.head.ppq, 4.0, 0.03);

    rig.run (noise (2, 512 * 10), { 512 });
    const auto phase = rig.p().scanPhase.load();
    const auto fill = rig.p().recordFill;

    rig.head.playing = false;
    rig.run (noise (2, 512 * 10), { 512 });
    EXPECT_TRUE (rig.p().recordCapturing.load());
    EXPECT_EQ (rig.p().scanPhase.load(), phase);
    EXPECT_EQ (rig.p().recordFill, fill);

    rig.head.playing = true;
    rig.run (noise (2, 512), { 512 });
    EXPECT_GT (rig.p().scanPhase.load(), phase);
}

TEST (RecordCapture, PhaseLeftByAnotherModeCanStartAtOnce)
{
    auto capturingAfterOneBlock = [] (int direction, double ppq)
    {
        Rig rig;
        rig.publishUniform (1.0f);
        rig.setDirection (direction);
        rig.set ("randomizespeed", 0.0f); // "1nd": six beats
        rig.head.ppq = ppq - 0.1;
        rig.run (noise (2, 2400), { 512 }); // the mode leaves its phase
        const auto left = rig.p().scanPhase.load();

        rig.p().armRecord();
        rig.run (noise (2, 512), { 512 });
        return std::make_pair (left, rig.p().recordCapturing.load());
    };

    // Random at ppq 5: note phase 5, bar phase 1.
    const auto [randomPhase, randomStarted] = capturingAfterOneBlock (3, 5.0);
    EXPECT_NEAR (randomPhase, 5.0f, 0.01f);
    EXPECT_TRUE (randomStarted);

    // Forward leaves 0: the capture waits for the bar line.
    const auto [forwardPhase, forwardStarted] = capturingAfterOneBlock (0, 5.0);
    EXPECT_EQ (forwardPhase, 0.0f);
    EXPECT_FALSE (forwardStarted);
}

TEST (RecordCapture, FramesHoldTheWindowedMagnitudesOfTheMonoMix)
{
    {
        Rig rig;
        rig.publishUniform (1.0f);
        const auto input = noise (2, 3 * 2048 + 1, 23);
        const auto frames = captureFromStart (rig, input);
        ASSERT_EQ (frames.size(), 3u);

        for (size_t f = 0; f < 3; ++f)
        {
            const auto& frame = frames[f];
            for (const int k : { 0, 1, 37, 500, 1023, 1024 })
                ASSERT_NEAR (frame[(size_t) k], magnitude (input, (int) f * 2048, k), 2.0e-3) << f << " " << k;
            for (int k = 1; k < 1024; ++k)
                ASSERT_EQ (frame[(size_t) (2048 - k)], frame[(size_t) k]) << k;
            for (int k = 2048; k < 4096; ++k)
                ASSERT_EQ (frame[(size_t) k], 0.0f) << k;
        }
    }
    {
        // A full-scale sine on bin 100: about 1024 there, little elsewhere.
        Rig rig;
        rig.publishUniform (1.0f);
        const auto frames = captureFromStart (rig, sine (2 * 2048 + 1, 100.0));
        ASSERT_EQ (frames.size(), 2u);
        EXPECT_NEAR (frames[1][100], 1024.0f, 1.0f);
        EXPECT_LT (frames[1][90], 1.0f);
    }
}

TEST (RecordCapture, SilentWhenTheViewIsOffOrTheChannelsCancel)
{
    auto allZero = [] (const Frames& frames)
    {
        for (const auto& frame : frames)
            for (const auto v : frame)
                if (v != 0.0f)
                    return false;
        return ! frames.empty();
    };

    {
        Rig rig;
        rig.publishUniform (1.0f);
        rig.p().spectrumMode = 2;
        EXPECT_TRUE (allZero (captureFromStart (rig, noise (2, 2 * 2048 + 1))));
    }
    {
        Rig rig;
        rig.publishUniform (1.0f);
        auto cancelling = noise (2, 2 * 2048 + 1);
        cancelling.copyFrom (1, 0, cancelling, 0, 0, cancelling.getNumSamples());
        cancelling.applyGain (1, 0, cancelling.getNumSamples(), -1.0f);
        EXPECT_TRUE (allZero (captureFromStart (rig, cancelling)));
    }
    {
        Rig rig; // and the same input with the view on is not silent
        rig.publishUniform (1.0f);
        EXPECT_FALSE (allZero (captureFromStart (rig, noise (2, 2 * 2048 + 1))));
    }
}

TEST (RecordCapture, RoomHoldsTwentyBarsAtTwentyBpmAndASlowerCaptureEndsWhenFull)
{
    // At 1 kHz the room is small; 20 bars at 20 beats per minute (240 s)
    // fit, at 10 beats per minute the capture ends when the room is used up
    // and the audio still passes.
    constexpr double rate = 1000.0;
    const auto room = KestruneAudioProcessor::longestCaptureFrames (rate);
    juce::AudioBuffer<float> constantInput (2, 512);
    for (int c = 0; c < 2; ++c)
        juce::FloatVectorOperations::fill (constantInput.getWritePointer (c), 0.25f, 512);

    for (const double bpm : { 20.0, 10.0 })
    {
        Rig rig;
        rig.publishUniform (1.0f);
        rig.p().prepareToPlay (rate, 512);
        rig.set ("barduratiom", 20.0f);
        rig.head.bpm = bpm;
        MessageLog log (rig.p());

        rig.p().scanPhase = 3.9f;
        rig.p().armRecord();

        int samples = 0;
        while (rig.p().recordArmed.load() && samples < 600000)
        {
            auto block = constantInput;
            rig.processBlock (block);
            ASSERT_TRUE (sameBlock (block, constantInput));
            samples += 512;

            if (samples == 512)
            {
                expectLog (log, { true }); // the start goes over on its own
            }
        }

        SCOPED_TRACE (bpm);
        expectLog (log, { true, false });
        EXPECT_FALSE (rig.p().recordCapturing.load());

        const auto frames = rig.p().takeRecordedFrames();
        for (const auto& frame : frames)
            ASSERT_NEAR (frame[0], 0.25f * 2048.0f, 0.01f);

        if (bpm == 20.0)
        {
            EXPECT_NEAR (samples, 240000, 1024) << "ended by its bars";
            EXPECT_LT (frames.size(), room);
        }
        else
        {
            // It ends when the frame after the last that fits completes.
            EXPECT_EQ (frames.size(), room);
            EXPECT_NEAR (samples, (int) (room + 1) * 2048, 512);
        }

        // Ordinary processing afterwards.
        auto after = constantInput;
        rig.processBlock (after);
        EXPECT_TRUE (std::isfinite (after.getSample (0, 511)));
    }
}

TEST (RecordCapture, FramesOfEarlierCapturesStayUntilTaken)
{
    Rig rig;
    rig.publishUniform (1.0f);
    const auto first = sine (2 * 2048 + 1, 50.0);
    rig.p().scanPhase = 3.9f;
    rig.p().armRecord();
    rig.run (first, { 512 });
    rig.p().recordArmed = false;
    rig.p().recordCapturing = false;

    // Armed again without taking: the new capture appends.
    const auto second = sine (2 * 2048, 200.0);
    rig.p().scanPhase = 3.9f;
    rig.p().armRecord();
    rig.run (second, { 512 });

    // Two frames of the first capture; the sample left over from it starts
    // the first frame of the second.
    const auto frames = rig.p().takeRecordedFrames();
    ASSERT_EQ (frames.size(), 4u);
    EXPECT_NEAR (frames[0][50], 1024.0f, 1.0f);
    EXPECT_NEAR (frames[1][50], 1024.0f, 1.0f);
    EXPECT_GT (frames[2][200], 900.0f);
    EXPECT_NEAR (frames[3][200], 1024.0f, 1.0f);
}

TEST (AudioHandover, MessageThreadTakesFramesColumnsAndSpectraWhileAudioRuns)
{
    // The audio thread runs Random mode, feeds the spectrum view and
    // captures bar after bar; this (the message) thread plays the view and
    // the Record button. Run under ThreadSanitizer this checks the hand-overs.
    Rig rig;
    rig.publishUniform (1.0f);
    rig.p().prepareToPlay (8000.0, 512); // keeps the reserved room small
    rig.setDirection (3);
    rig.set ("randomizespeed", 22.0f);
    rig.set ("barduratiom", 1.0f);
    rig.head.bpm = 480.0; // a bar every 4000 samples
    MessageLog log (rig.p());

    std::atomic<bool> stop { false };

    std::thread audio ([&]
    {
        juce::AudioBuffer<float> block (2, 512);
        while (! stop.load())
        {
            for (int c = 0; c < 2; ++c)
                juce::FloatVectorOperations::fill (block.getWritePointer (c), 0.5f, 512);
            rig.processBlock (block);
        }
    });

    auto& p = rig.p();
    int spectra = 0, columns = 0, takes = 0, badSpectra = 0, badColumns = 0, badFrames = 0;
    size_t frames = 0;
    const auto start = juce::Time::getMillisecondCounterHiRes();
    auto now = start;
    auto armAt = start;
    bool recording = false;

    while ((now - start < 400.0 || frames == 0 || spectra == 0 || columns == 0) && now - start < 8000.0)
    {
        if (p.nextFFTBlockReady.load (std::memory_order_acquire))
        {
            for (int i = 0; i < 4096; ++i)
                badSpectra += p.fftData[i] != (i < 2048 ? 0.5f : 0.0f);
            std::fill (p.fftData + 2048, p.fftData + 4096, 1.0f);
            p.nextFFTBlockReady.store (false, std::memory_order_release);
            ++spectra;
        }

        if (p.nextColumnReady.load (std::memory_order_acquire))
        {
            for (int r = 0; r < 330; ++r)
                badColumns += ! (p.playedColumn[r] >= 0.0f && p.playedColumn[r] <= 1.0f);
            p.nextColumnReady.store (false, std::memory_order_release);
            ++columns;
        }

        (void) p.scanPhase.load();
        (void) p.scanColumnLeft.load();

        // The Record button: take a finished capture (or cut one short now
        // and then), leave the filter running a moment, then arm again.
        if (recording)
        {
            const bool cutShort = takes % 3 == 2 && p.recordCapturing.load();

            if (! p.recordArmed.load() || cutShort)
            {
                p.recordArmed = false;
                const auto taken = p.takeRecordedFrames();
                p.recordCapturing = false;

                for (const auto& frame : taken)
                    badFrames += std::abs (frame[0] - 1024.0f) > 0.01f; // a constant 0.5: 0.5 × 2048

                frames += taken.size();
                ++takes;
                recording = false;
                armAt = now + 10.0;
            }
        }
        else if (now >= armAt)
        {
            p.armRecord();
            recording = true;
        }

        pumpMessages (1);
        now = juce::Time::getMillisecondCounterHiRes();
    }

    stop = true;
    audio.join();

    EXPECT_EQ (badSpectra, 0);
    EXPECT_EQ (badColumns, 0);
    EXPECT_EQ (badFrames, 0);
    EXPECT_GT (spectra, 0);
    EXPECT_GT (columns, 0);
    EXPECT_GT (frames, 0u);
    EXPECT_GT (takes, 2);
    EXPECT_FALSE (log.capturing.empty());
}

TEST (RecordCapture, LengthDoesNotDependOnWhereInABlockTheBarLineFalls)
{
    // 1 bar at 120 beats per minute and 48 kHz: 96000 samples, plus one for
    // each block start the count repeats (about 188 at 512-sample blocks).
    // The bar line falls on the first, a middle and the last sample of a block.
    constexpr double beatsPerSample = 2.0 / sampleRate;
    std::vector<int> lengths;

    for (const int barSample : { 0, 256, 511 })
    {
        SCOPED_TRACE (barSample);
        Rig rig;
        rig.publishUniform (1.0f);
        rig.set ("barduratiom", 1.0f);

        // Four blocks before the one holding the bar line, which falls half a
        // sample before `barSample`.
        rig.head.ppq = 4.0 - ((double) barSample - 0.5 + 4.0 * 512.0) * beatsPerSample;
        rig.p().armRecord();

        juce::AudioBuffer<float> block (2, 512);
        int blocks = 0;
        for (; blocks < 4; ++blocks)
            rig.processBlock (block);
        ASSERT_FALSE (rig.p().recordCapturing.load());

        rig.processBlock (block);
        ASSERT_TRUE (rig.p().recordCapturing.load());
        EXPECT_EQ (rig.p().recordFill, 512 - barSample) << "the capture starts at the bar line";

        while (rig.p().recordArmed.load() && ++blocks < 400)
            rig.processBlock (block);
        ASSERT_FALSE (rig.p().recordArmed.load());

        const auto frames = rig.p().takeRecordedFrames();
        lengths.push_back ((int) frames.size() * 2048 + rig.p().recordFill);
    }

    EXPECT_NEAR (lengths[0], 96000 + 96188 / 512, 2);
    EXPECT_NEAR (lengths[1], lengths[0], 1);
    EXPECT_NEAR (lengths[2], lengths[0], 1);
}
