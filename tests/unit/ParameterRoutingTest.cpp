#include "TestSupport.h"

#include <set>
#include <thread>

using namespace kestrune::test;

namespace
{
    // Records which parameters are reported to the host.
    struct HostReports : juce::AudioProcessorListener
    {
        void audioProcessorParameterChanged (juce::AudioProcessor* p, int index, float) override
        {
            ids.insert (p->getParameters()[index]->getName (64));
        }
        void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}

        std::set<juce::String> ids;
    };

    // A processor with a picture present and every request lowered. The rig
    // holds the pipeline lock so that the worker consumes no request while the
    // test looks at them.
    struct RoutingRig
    {
        std::unique_ptr<KestruneAudioProcessor> p = makeProcessor();
        juce::ScopedLock lock { criticalSection };

        RoutingRig()
        {
            p->sourceImagePresent = true;
            p->isLoading = false;
            lowerFlags();
        }

        void lowerFlags()
        {
            p->reloadImage = false;
            p->needColourUpdate = false;
            p->needTransformUpdate = false;
        }

        // The flags one change raises: "R" reload, "C" colour, "T" transform.
        std::string flagsAfter (const juce::String& id, float plain)
        {
            lowerFlags();
            setPlain (*p, id, plain);
            std::string f;
            if (p->reloadImage) f += "R";
            if (p->needColourUpdate) f += "C";
            if (p->needTransformUpdate) f += "T";
            return f;
        }

        float value (const char* id) { return plainValue (*p, id); }
    };

    // A value different from the parameter's current one.
    float anotherValue (KestruneAudioProcessor& p, const juce::String& id)
    {
        auto& prm = param (p, id);
        const auto current = prm.getValue();
        return prm.convertFrom0to1 (current > 0.5f ? 0.0f : 1.0f);
    }
}

TEST (ParameterRouting, FlagsByParameter)
{
    RoutingRig rig;
    auto& p = *rig.p;

    for (auto id : { "contrast", "blurforxaxis", "bwset", "bwthrreshold", "brightness" })
        EXPECT_EQ (rig.flagsAfter (id, anotherValue (p, id)), "C") << id;

    for (auto id : { "horrescale", "verrescale" })
        EXPECT_EQ (rig.flagsAfter (id, anotherValue (p, id)), "RT") << id;

    for (auto id : { "zoom", "leftright", "updown", "fineRotate", "horskew", "verskew", "penStyle",
                     "effectapply", "leninterval", "rotate0", "rotate1", "rotate2", "rotate3",
                     "direction0", "direction1", "direction2", "direction3",
                     "refline0", "refline1", "refline2", "refline3", "refline4", "refline5" })
        EXPECT_EQ (rig.flagsAfter (id, anotherValue (p, id)), "T") << id;

    for (auto id : { "penTickness", "penColour", "randomizespeed", "attack", "decay", "barduratiom",
                     "smootheforYAxis", "drywet", "wider" })
        EXPECT_EQ (rig.flagsAfter (id, anotherValue (p, id)), "") << id;

    // The interval itself raises nothing; moving "startposition" along with
    // "a_interval" asks for a transform pass.
    EXPECT_EQ (rig.flagsAfter ("b_interval", 0.7f), "");
    EXPECT_EQ (rig.flagsAfter ("startposition", 0.3f), "");
    EXPECT_EQ (rig.flagsAfter ("a_interval", 0.35f), "T");
}

TEST (ParameterRouting, IntervalOrderAndStartPosition)
{
    RoutingRig rig;
    HostReports reports;
    static_cast<juce::AudioProcessor&> (*rig.p).addListener (&reports);

    // Raising "a_interval" above "b_interval" drags both along.
    setPlain (*rig.p, "a_interval", 0.4f);
    setPlain (*rig.p, "b_interval", 0.6f);
    reports.ids.clear();
    setPlain (*rig.p, "a_interval", 0.8f);
    EXPECT_FLOAT_EQ (rig.value ("a_interval"), 0.8f);
    EXPECT_FLOAT_EQ (rig.value ("b_interval"), 0.8f);
    EXPECT_FLOAT_EQ (rig.value ("startposition"), 0.8f);
    EXPECT_EQ (reports.ids, (std::set<juce::String> { "a_interval", "b_interval", "startposition" }));
    EXPECT_DOUBLE_EQ (rig.p->intervalEnd.load(), 0.8f);

    // Lowering "b_interval" below "a_interval".
    setPlain (*rig.p, "a_interval", 0.5f);
    setPlain (*rig.p, "b_interval", 0.7f);
    setPlain (*rig.p, "b_interval", 0.3f);
    EXPECT_FLOAT_EQ (rig.value ("a_interval"), 0.3f);
    EXPECT_FLOAT_EQ (rig.value ("b_interval"), 0.3f);
    EXPECT_FLOAT_EQ (rig.value ("startposition"), 0.3f);
    EXPECT_DOUBLE_EQ (rig.p->intervalStart.load(), 0.3f);

    // "startposition" moves the interval and keeps its length.
    setPlain (*rig.p, "b_interval", 0.6f);
    setPlain (*rig.p, "a_interval", 0.4f);
    setPlain (*rig.p, "startposition", 0.3f);
    EXPECT_FLOAT_EQ (rig.value ("a_interval"), 0.3f);
    EXPECT_FLOAT_EQ (rig.value ("b_interval"), 0.5f);
    EXPECT_FLOAT_EQ (rig.value ("startposition"), 0.3f);

    // Past the right edge it is pushed back; "startposition" stays.
    setPlain (*rig.p, "a_interval", 0.4f);
    setPlain (*rig.p, "b_interval", 0.6f);
    setPlain (*rig.p, "startposition", 0.9f);
    EXPECT_FLOAT_EQ (rig.value ("a_interval"), 1.0f - (0.6f - 0.4f));
    EXPECT_NEAR (rig.value ("a_interval"), 0.8f, 1e-6);
    EXPECT_EQ (rig.value ("b_interval"), 1.0f);
    EXPECT_FLOAT_EQ (rig.value ("startposition"), 0.9f);
    EXPECT_DOUBLE_EQ (rig.p->intervalEnd.load(), 1.0);

    static_cast<juce::AudioProcessor&> (*rig.p).removeListener (&reports);
}

TEST (ParameterRouting, StartPlusLengthOfExactlyOneIsNotPushedBack)
{
    RoutingRig rig;
    setPlain (*rig.p, "a_interval", 0.25f);
    setPlain (*rig.p, "b_interval", 0.5f);
    ASSERT_EQ (0.75f + (0.5f - 0.25f), 1.0f);

    setPlain (*rig.p, "startposition", 0.75f);
    EXPECT_EQ (rig.value ("a_interval"), 0.75f);
    EXPECT_EQ (rig.value ("b_interval"), 1.0f);
    EXPECT_EQ (rig.value ("startposition"), 0.75f);
}

TEST (ParameterRouting, GridCountFollowsTheSwitchTurnedOn)
{
    RoutingRig rig;
    EXPECT_EQ (rig.p->refLineCount.load(), 1);

    setPlain (*rig.p, "refline5", 1.0f);
    EXPECT_EQ (rig.p->refLineCount.load(), 32);
    setPlain (*rig.p, "refline3", 1.0f);
    EXPECT_EQ (rig.p->refLineCount.load(), 8);
    setPlain (*rig.p, "refline3", 0.0f);
    EXPECT_EQ (rig.p->refLineCount.load(), 8);
    setPlain (*rig.p, "refline0", 0.0f);
    setPlain (*rig.p, "refline0", 1.0f);
    EXPECT_EQ (rig.p->refLineCount.load(), 1);
}

TEST (ParameterRouting, IgnoredWhileLoading)
{
    RoutingRig rig;
    setPlain (*rig.p, "a_interval", 0.4f);
    setPlain (*rig.p, "b_interval", 0.6f);
    rig.lowerFlags();

    rig.p->isLoading = true;
    for (auto id : { "horrescale", "contrast", "zoom", "refline4" })
        EXPECT_EQ (rig.flagsAfter (id, anotherValue (*rig.p, id)), "") << id;

    setPlain (*rig.p, "a_interval", 0.9f);
    EXPECT_FLOAT_EQ (rig.value ("a_interval"), 0.9f); // the value itself changes
    EXPECT_FLOAT_EQ (rig.value ("b_interval"), 0.6f);
    EXPECT_FLOAT_EQ (rig.value ("startposition"), 0.4f);
    EXPECT_EQ (rig.p->refLineCount.load(), 1);
    rig.p->isLoading = false;
}

TEST (ParameterRouting, WithoutPictureOnlyRescaleCounts)
{
    RoutingRig rig;
    setPlain (*rig.p, "a_interval", 0.4f);
    setPlain (*rig.p, "b_interval", 0.6f);
    rig.p->sourceImagePresent = false;

    EXPECT_EQ (rig.flagsAfter ("horrescale", 3.0f), "R");
    EXPECT_EQ (rig.flagsAfter ("verrescale", 3.0f), "R");
    EXPECT_EQ (rig.flagsAfter ("contrast", 2.0f), "");
    EXPECT_EQ (rig.flagsAfter ("zoom", 1.0f), "");
    EXPECT_EQ (rig.flagsAfter ("refline3", 1.0f), "");
    EXPECT_EQ (rig.p->refLineCount.load(), 1);

    setPlain (*rig.p, "a_interval", 0.8f);
    EXPECT_FLOAT_EQ (rig.value ("b_interval"), 0.6f);
    EXPECT_FLOAT_EQ (rig.value ("startposition"), 0.4f);
}

// Host automation on one thread (as the audio thread delivers it) against
// editor-style changes on another. Neither may deadlock on the other, and once
// both stop the interval is ordered and the coupling works as before.
TEST (ParameterRouting, AutomationAgainstEditorChanges)
{
    RoutingRig rig;
    auto& p = *rig.p;
    constexpr int rounds = 3000;

    std::thread automation ([&p]
    {
        juce::Random random (11);
        auto& a = param (p, "a_interval");
        auto& b = param (p, "b_interval");
        auto& zoom = param (p, "zoom");
        auto& refline = param (p, "refline2");

        for (int i = 0; i < rounds; ++i)
        {
            switch (i % 4)
            {
                case 0: a.setValueNotifyingHost (random.nextFloat()); break;
                case 1: b.setValueNotifyingHost (random.nextFloat()); break;
                case 2: zoom.setValueNotifyingHost (random.nextFloat()); break;
                default: refline.setValueNotifyingHost ((float) (i / 4 % 2)); break;
            }
        }
    });

    juce::Random random (12);
    for (int i = 0; i < rounds; ++i)
    {
        switch (i % 4)
        {
            case 0: setPlain (p, "startposition", random.nextFloat()); break;
            case 1: setPlain (p, "b_interval", random.nextFloat()); break;
            case 2: setPlain (p, "a_interval", random.nextFloat()); break;
            default: setPlain (p, "contrast", random.nextFloat() * 4.0f - 2.0f); break;
        }
    }

    automation.join();

    const auto a = rig.value ("a_interval");
    const auto b = rig.value ("b_interval");
    EXPECT_LE (a, b);
    EXPECT_GE (a, 0.0f);
    EXPECT_LE (b, 1.0f);
    EXPECT_EQ (p.intervalCouplingOwner.load(), nullptr);
    EXPECT_EQ (p.deferredIntervalCoupling.load(), 0u);
    EXPECT_FALSE (p.intervalSyncGuard.load());
    EXPECT_TRUE (p.needTransformUpdate);
    EXPECT_TRUE (p.needColourUpdate);
    EXPECT_TRUE (p.refLineCount.load() == 1 || p.refLineCount.load() == 4);

    // The coupling still works on one thread afterwards.
    setPlain (p, "a_interval", 0.1f);
    setPlain (p, "b_interval", 0.3f);
    setPlain (p, "a_interval", 0.5f);
    EXPECT_FLOAT_EQ (rig.value ("b_interval"), 0.5f);
    EXPECT_FLOAT_EQ (rig.value ("startposition"), 0.5f);
}

TEST (ParameterRouting, ConstructionResetsRunThroughTheIntervalRouting)
{
    // The adoption at construction resets the interval with the picture it
    // builds present, so the interval copies follow the parameters at once
    // rather than at the first change of the interval.
    auto p = makeProcessor();
    EXPECT_DOUBLE_EQ (p->intervalStart.load(), (double) 0.4f);
    EXPECT_DOUBLE_EQ (p->intervalEnd.load(), (double) 0.6f);
    EXPECT_FLOAT_EQ (plainValue (*p, "startposition"), 0.4f);
    EXPECT_EQ (p->refLineCount.load(), 1);
}
