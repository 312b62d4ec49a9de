#include "AudioTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::audio;

namespace
{
    bool sameAudio (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
    {
        if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
            return false;

        for (int c = 0; c < a.getNumChannels(); ++c)
            if (std::memcmp (a.getReadPointer (c), b.getReadPointer (c), sizeof (float) * (size_t) a.getNumSamples()) != 0)
                return false;

        return true;
    }

    void blockAt (Rig& rig, double ppq)
    {
        rig.head.ppq = ppq;
        juce::AudioBuffer<float> block (2, 64);
        block.clear();
        rig.processBlock (block);
    }

    // Centre of the scan in pixels after one block at `ppq` ("wider" 0).
    float centreAt (Rig& rig, double ppq)
    {
        blockAt (rig, ppq);
        EXPECT_EQ (rig.p().scanColumnLeft.load(), rig.p().scanColumnRight.load());
        return rig.p().scanColumnLeft.load();
    }
}

TEST (AudioDriver, PassesThroughWithoutPlayHeadOrPicture)
{
    const auto input = noise (2, 4096);

    {
        Rig rig;                        // picture, no play head
        rig.publishUniform (1.0f);
        rig.p().setPlayHead (nullptr);
        EXPECT_TRUE (sameAudio (rig.run (input, { 512 }), input));
    }
    for (const bool playing : { false, true })
    {
        Rig rig;                        // play head, no picture
        rig.publishEmpty();
        rig.head.playing = playing;
        EXPECT_TRUE (sameAudio (rig.run (input, { 512 }), input)) << playing;
    }
    {
        Rig rig;                        // no channels at all
        juce::AudioBuffer<float> empty (0, 512);
        rig.processBlock (empty);
        EXPECT_EQ (empty.getNumChannels(), 0);
    }
}

TEST (AudioDriver, StoppedTransportSilencesButKeepsRunning)
{
    Rig rig;
    rig.publishUniform (1.0f);
    rig.head.playing = false;

    const auto input = tone (2, 2048);
    const auto output = rig.run (input, { 512 });
    EXPECT_EQ (peak (output, 0, 0, 2048), 0.0f);
    EXPECT_EQ (peak (output, 1, 0, 2048), 0.0f);

    // The filter and the dry ring ran meanwhile: the first block after the
    // start carries the tone that went in while stopped.
    rig.head.playing = true;
    juce::AudioBuffer<float> next (2, 512);
    next.clear();
    rig.processBlock (next);
    for (int i = 0; i < 512; ++i)
        ASSERT_NEAR (next.getSample (0, i), 1.981f * input.getSample (0, i), 0.002f) << i;

    // No position at all counts as not playing.
    rig.head.hasPosition = false;
    auto more = tone (2, 1024);
    rig.processBlock (more);
    EXPECT_EQ (peak (more, 0, 0, 1024), 0.0f);
    EXPECT_FALSE (rig.p().isPlaying.load());
}

TEST (AudioDriver, TempoFallsBackTo120)
{
    Rig rig;
    rig.publishUniform (1.0f);

    rig.head.bpm.reset();
    centreAt (rig, 0.0);
    EXPECT_EQ (rig.p().beatsPerSample, (float) (2.0 / sampleRate));
    EXPECT_EQ (rig.p().blockTempo, 120.0f);

    rig.head.bpm = 90.0;
    centreAt (rig, 0.0);
    EXPECT_EQ (rig.p().beatsPerSample, (float) (1.5 / sampleRate));

    // No ppq: position 0, the interval's start.
    rig.head.ppq.reset();
    juce::AudioBuffer<float> block (2, 64);
    rig.processBlock (block);
    EXPECT_FLOAT_EQ (rig.p().scanColumnLeft.load(), 0.4f * 480.0f);
}

TEST (AudioDriver, ScanPositionForwardAndBackward)
{
    Rig rig;
    rig.publishUniform (0.5f, 480, 16); // a_interval 0.4, b_interval 0.6, one bar

    rig.setDirection (0);
    EXPECT_NEAR (centreAt (rig, 0.0), 192.0f, 1.0e-3f);
    EXPECT_NEAR (centreAt (rig, 0.2), 216.0f, 1.0e-3f);
    EXPECT_NEAR (centreAt (rig, 0.4), 240.0f, 1.0e-3f);
    // 0.8 beats is the wrap: float rounding puts it at one end or the other.
    const auto wrap = centreAt (rig, 0.8);
    EXPECT_TRUE (std::abs (wrap - 192.0f) < 1.0e-3f || std::abs (wrap - 288.0f) < 1.0e-3f) << wrap;
    EXPECT_NEAR (centreAt (rig, 0.84), 196.8f, 1.0e-3f);

    // A negative position (pre-roll) lies left of the interval's start.
    EXPECT_NEAR (centreAt (rig, -0.1), 180.0f, 1.0e-3f);

    rig.setDirection (1);
    EXPECT_NEAR (centreAt (rig, 0.0), 288.0f, 1.0e-3f);
    EXPECT_NEAR (centreAt (rig, 0.2), 264.0f, 1.0e-3f);
    EXPECT_NEAR (centreAt (rig, 0.4), 240.0f, 1.0e-3f);

    // Two bars per picture width halve the speed.
    rig.set ("barduratiom", 2.0f);
    EXPECT_NEAR (centreAt (rig, 0.4), 264.0f, 1.0e-3f);
}

TEST (AudioDriver, ScanPositionFrwdBackTurnsAtTheEnds)
{
    Rig rig;
    rig.publishUniform (0.5f, 480, 16);
    rig.setDirection (2);

    // Continuous play over three crossings: no jump bigger than one block's
    // movement, and both ends reached.
    float previous = centreAt (rig, 0.0), lowest = previous, highest = previous;
    for (double ppq = 0.01; ppq < 2.4; ppq += 0.01)
    {
        const auto c = centreAt (rig, ppq);
        ASSERT_LT (std::abs (c - previous), 1.3f) << ppq;
        lowest = std::min (lowest, c);
        highest = std::max (highest, c);
        previous = c;
    }
    EXPECT_NEAR (lowest, 192.0f, 1.5f);
    EXPECT_NEAR (highest, 288.0f, 1.5f);

    // A jump of the host position by more than half the interval turns it too.
    const auto sign = rig.p().frwdBackSign;
    centreAt (rig, 2.4 + 0.3);
    EXPECT_EQ (rig.p().frwdBackSign, -sign);
}

TEST (AudioDriver, ScanPositionEdgeCases)
{
    Rig rig;
    rig.publishUniform (0.5f, 480, 16);

    // An empty interval holds the centre at its start in every direction,
    // and Frwd/Back still turns once the interval is widened again.
    rig.set ("a_interval", 0.5f);
    rig.set ("b_interval", 0.5f);
    for (int d = 0; d < 3; ++d)
    {
        rig.setDirection (d);
        EXPECT_FLOAT_EQ (centreAt (rig, 0.37), 240.0f) << d;
    }
    rig.set ("b_interval", 0.7f);
    const auto sign = rig.p().frwdBackSign;
    for (double ppq = 0.0; ppq < 1.0; ppq += 0.02)
        centreAt (rig, ppq);
    EXPECT_EQ (rig.p().frwdBackSign, -sign);

    // "wider" 15 with the centre at pixel 3.
    rig.setDirection (0);
    rig.set ("a_interval", 3.0f / 480.0f);
    rig.set ("b_interval", 3.0f / 480.0f);
    rig.set ("wider", 15.0f);
    blockAt (rig, 0.0);
    EXPECT_EQ (rig.p().scanColumnLeft.load(), 0.0f);
    EXPECT_NEAR (rig.p().scanColumnRight.load(), 10.5f, 1.0e-4f);

    // Clamped at the right edge.
    rig.set ("a_interval", 1.0f);
    rig.set ("b_interval", 1.0f);
    blockAt (rig, 0.0);
    EXPECT_EQ (rig.p().scanColumnRight.load(), 479.0f);
    EXPECT_NEAR (rig.p().scanColumnLeft.load(), 472.5f, 1.0e-4f);

    // A negative position with the interval at the left edge clamps at 0.
    rig.set ("a_interval", 0.0f);
    rig.set ("b_interval", 0.2f);
    rig.set ("wider", 0.0f);
    EXPECT_EQ (centreAt (rig, -0.1), 0.0f);

    // No direction switch on: the left edge.
    for (int k = 0; k < 4; ++k)
        rig.set ("direction" + juce::String (k), 0.0f);
    rig.set ("wider", 15.0f);
    blockAt (rig, 0.3);
    EXPECT_EQ (rig.p().scanColumnLeft.load(), 0.0f);
    EXPECT_EQ (rig.p().scanColumnRight.load(), 7.5f);
}

TEST (AudioDriver, RecordArmedPassesThroughUndelayed)
{
    Rig rig;
    rig.publishUniform (1.0f);
    rig.p().recordArmed = true;

    const auto readIndex = rig.p().ringReadIndex;
    const auto dryIndex = rig.p().dryWriteIndex;
    const auto input = noise (2, 4096);
    EXPECT_TRUE (sameAudio (rig.run (input, { 512 }), input));
    EXPECT_EQ (rig.p().ringReadIndex, readIndex);
    EXPECT_EQ (rig.p().dryWriteIndex, dryIndex);
}

TEST (AudioDriver, DryPathIsTheInputExactly2048Late)
{
    // All dry once the mixer's ramp (50 ms) has run: any block size.
    const auto input = noise (2, 20000);
    const std::vector<std::vector<int>> sizes { { 512 }, { 4096 }, { 10000 }, { 3000 }, { 1, 0, 700, 0, 2048, 2049 } };

    for (const auto& s : sizes)
    {
        Rig rig;
        rig.publishUniform (1.0f);
        rig.set ("drywet", 0.0f);
        const auto output = rig.run (input, s);

        for (int c = 0; c < 2; ++c)
            for (int n = 2400; n < 20000; ++n)
                ASSERT_EQ (output.getSample (c, n), input.getSample (c, n - 2048)) << "blocks " << s[0] << " sample " << n;
    }
}

TEST (AudioDriver, AnyBlockSizeGivesTheSameOutput)
{
    // Half wet, half dry through the white picture: blocks longer than 2048,
    // longer than prepared (512), single samples and empty blocks all give
    // the output of 512-sample blocks.
    const auto input = noise (2, 24000, 3);

    auto runWith = [&input] (std::vector<int> sizes, bool prepare = true)
    {
        Rig rig (2, 512, prepare);
        rig.publishUniform (1.0f);
        rig.set ("drywet", 0.5f);
        return rig.run (input, sizes);
    };

    const auto reference = runWith ({ 512 });
    EXPECT_GT (peak (reference, 0, 4096, 24000), 0.3f);

    for (const auto& sizes : std::vector<std::vector<int>> { { 4096 }, { 10000 }, { 3000 }, { 1 }, { 0, 333, 0, 1, 5000 } })
        EXPECT_TRUE (sameAudio (runWith (sizes), reference)) << sizes[0];

    // A processor that never saw prepareToPlay still runs (at its defaults).
    const auto unprepared = runWith ({ 512, 5000 }, false);
    EXPECT_GT (peak (unprepared, 0, 4096, 24000), 0.3f);
}
