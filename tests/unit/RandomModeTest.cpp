#include "AudioTestSupport.h"

#include <set>

using namespace kestrune::test;
using namespace kestrune::test::audio;

namespace
{
    // Note units by their index in the choice list.
    constexpr float unit16n = 13.0f, unit64n = 19.0f, unit128n = 22.0f;

    // Runs one-sample blocks and keeps, per sample, the envelope gain and
    // the left column after it. `before` may change the rig before sample s.
    struct Trace
    {
        std::vector<float> gain, column;
        std::vector<int> jumps; // samples at which the column moved
    };

    Trace traceSamples (Rig& rig, int samples, const std::function<void (int)>& before = {})
    {
        Trace t;
        juce::AudioBuffer<float> one (2, 1);

        for (int s = 0; s < samples; ++s)
        {
            if (before)
                before (s);

            one.clear();
            rig.processBlock (one);
            t.gain.push_back (rig.p().envelopeGain);
            t.column.push_back (rig.p().scanColumnLeft.load());

            if (s > 0 && t.column[(size_t) s] != t.column[(size_t) s - 1])
                t.jumps.push_back (s);
        }

        return t;
    }

    Rig& randomRig (Rig& rig)
    {
        rig.publishUniform (1.0f);
        rig.setDirection (3);
        return rig;
    }

    juce::AudioBuffer<float> constant (int samples, float value)
    {
        juce::AudioBuffer<float> b (2, samples);
        for (int c = 0; c < 2; ++c)
            juce::FloatVectorOperations::fill (b.getWritePointer (c), value, samples);
        return b;
    }
}

TEST (RandomMode, JumpsEveryNoteUnitAndNotesStart2047SamplesLater)
{
    // 120 beats per minute, 48 kHz, "16n": a note unit is 6000 samples.
    Rig rig;
    randomRig (rig);
    ASSERT_EQ (plainValue (rig.p(), "randomizespeed"), unit16n);

    const auto t = traceSamples (rig, 20300);

    ASSERT_EQ (t.jumps.size(), 3u);
    for (size_t k = 0; k < 3; ++k)
        EXPECT_NEAR (t.jumps[k], 6000 * (int) (k + 1), 1);

    // Silent until the first note, which starts 2047 samples after its jump.
    const auto firstNote = t.jumps[0] + 2047;
    for (int s = 0; s < firstNote; ++s)
        ASSERT_EQ (t.gain[(size_t) s], 0.0f) << s;
    EXPECT_NEAR (t.gain[(size_t) firstNote], 0.5f, 0.001f);

    // "attack" 0, "decay" 1: the level stays high while the decay falls
    // towards 0.8 over the unit ...
    for (int j = 30; j < 4976; ++j)
        ASSERT_GT (t.gain[(size_t) (firstNote + j)], 0.8f) << j;

    // ... and the last 1024 samples of the unit fade down to exactly 0 just
    // before the next note starts.
    for (int j = 4976; j < 6000; ++j)
        ASSERT_LT (t.gain[(size_t) (firstNote + j)], t.gain[(size_t) (firstNote + j - 1)]) << j;
    EXPECT_EQ (t.gain[(size_t) (firstNote + 5999)], 0.0f);
    EXPECT_GT (t.gain[(size_t) (firstNote + 5998)], 0.0f);

    const auto secondNote = t.jumps[1] + 2047;
    EXPECT_NEAR (secondNote, firstNote + 6000, 1);
    EXPECT_NEAR (t.gain[(size_t) secondNote], 0.5f, 0.001f);
}

TEST (RandomMode, FullAttackRisesOverTheWholeUnit)
{
    Rig rig;
    randomRig (rig);
    rig.set ("attack", 1.0f);
    const auto t = traceSamples (rig, 14100);
    const auto note = t.jumps.at (0) + 2047;

    EXPECT_LT (t.gain[(size_t) note + 10], 0.01f);
    for (int j = 100; j < 4976; j += 100)
        ASSERT_GT (t.gain[(size_t) (note + j)], t.gain[(size_t) (note + j - 100)]) << j;
    EXPECT_NEAR (t.gain[(size_t) (note + 4975)], 4976.0f / 6000.0f * (1.0f - 4976.0f / 30000.0f), 0.01f);
    EXPECT_EQ (t.gain[(size_t) (note + 5999)], 0.0f);
}

TEST (RandomMode, ShortDecayOnShortUnitsSilencesEveryNote)
{
    // "64n" at 120 beats per minute is 1500 samples; 0.01² × 1500 × 5 < 1,
    // so the decay jumps straight to 0. A slightly longer decay does sound.
    auto peakWithDecay = [] (float decay)
    {
        Rig rig;
        randomRig (rig);
        rig.set ("randomizespeed", unit64n);
        rig.set ("decay", decay);
        const auto input = constant (24000, 0.25f);
        const auto output = rig.run (input, { 512 });
        return std::max (peak (output, 0, 0, 24000), peak (output, 1, 0, 24000));
    };

    EXPECT_EQ (peakWithDecay (0.01f), 0.0f);
    EXPECT_GT (peakWithDecay (0.05f), 0.1f);
}

TEST (RandomMode, LateWrapLetsTheFadeReturnToOne)
{
    // Halving the tempo after the first note moves the next wrap later: the
    // fade reaches 0 at the unit's end, then returns to 1 and the level
    // follows the remaining decay until the late note.
    Rig rig;
    randomRig (rig);
    const auto t = traceSamples (rig, 17200, [&rig] (int s) { if (s == 9000) rig.head.bpm = 60.0; });

    ASSERT_GE (t.jumps.size(), 2u);
    EXPECT_NEAR (t.jumps[1], 15000, 1);
    EXPECT_EQ (t.gain[8047 + 5999], 0.0f);
    EXPECT_GT (t.gain[15000], 0.7f); // the decay is at about 0.77 there
    EXPECT_LT (t.gain[15000], 0.8f);
}

TEST (RandomMode, JumpsLandInsideTheInterval)
{
    // "a_interval" 0.4, "b_interval" 0.6 on 480 columns, "wider" 0.
    Rig rig;
    rig.publishUniform (1.0f, 480, 330);
    rig.setDirection (3);
    rig.set ("randomizespeed", unit128n); // 750 samples

    std::set<float> columns;
    juce::AudioBuffer<float> block (2, 250);

    for (int b = 0; b < 600; ++b)
    {
        block.clear();
        rig.processBlock (block);

        if (b < 3)
            continue; // the first jump comes at sample 750

        EXPECT_EQ (rig.p().scanColumnLeft.load(), rig.p().scanColumnRight.load());
        columns.insert (rig.p().scanColumnLeft.load());
    }

    EXPECT_GT (columns.size(), 150u);
    EXPECT_GE (*columns.begin(), 192.0f);
    EXPECT_LT (*columns.rbegin(), 288.0f);
    EXPECT_LT (*columns.begin(), 200.0f);  // spread over the whole interval
    EXPECT_GT (*columns.rbegin(), 280.0f);
}

TEST (RandomMode, StoppedSitsAtTheIntervalStartDropsTriggersAndIsSilent)
{
    Rig rig;
    randomRig (rig);
    rig.publishUniform (1.0f, 480, 330);
    rig.set ("wider", 10.0f);

    // A jump at sample 6000 leaves a pending note ...
    traceSamples (rig, 7000);
    ASSERT_EQ (rig.p().triggerList.size(), 1);

    // ... which a stopped block drops.
    rig.head.playing = false;
    const auto stopped = rig.run (noise (2, 512), { 512 });
    EXPECT_TRUE (rig.p().triggerList.empty());
    EXPECT_EQ (peak (stopped, 0, 0, 512) + peak (stopped, 1, 0, 512), 0.0f);
    EXPECT_EQ (rig.p().scanColumnLeft.load(), 0.4f * 480.0f - 5.0f);
    EXPECT_EQ (rig.p().scanColumnRight.load(), 0.4f * 480.0f + 5.0f);

    // Playing again: the dropped note never starts.
    rig.head.playing = true;
    const auto t = traceSamples (rig, 2000);
    EXPECT_TRUE (t.jumps.empty());
    EXPECT_EQ (*std::max_element (t.gain.begin(), t.gain.end()), 0.0f);
}

TEST (RandomMode, TempoOfZeroOrBelowOrNaNKeepsNotesFinite)
{
    // A note pending from 120 beats per minute starts while the host reports
    // a broken tempo; its length falls back to that of 120.
    for (const double bpm : { 0.0, -120.0, std::numeric_limits<double>::quiet_NaN() })
    {
        Rig rig;
        randomRig (rig);
        traceSamples (rig, 7000);
        ASSERT_EQ (rig.p().triggerList.size(), 1);

        rig.head.bpm = bpm;

        const auto output = rig.run (constant (12288, 0.25f), { 512 });

        for (int c = 0; c < 2; ++c)
            for (int n = 0; n < output.getNumSamples(); ++n)
                ASSERT_TRUE (std::isfinite (output.getSample (c, n))) << bpm << " " << n;

        EXPECT_TRUE (std::isfinite (rig.p().envelopeGain)) << bpm;
        EXPECT_GT (peak (output, 0, 2000, 12288), 0.3f) << bpm;
        EXPECT_LT (rig.p().triggerList.size(), TriggerQueue::capacity) << bpm;
    }
}

