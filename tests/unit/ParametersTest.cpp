#include "TestSupport.h"

using namespace kestrune::test;

namespace
{
    struct Expected
    {
        const char* id;
        float min, max, def;
        bool listened;
    };

    // Creation order, plain ranges and defaults as a host must see them.
    const Expected expectedParameters[] = {
        { "leftright", -1, 1, 0, true },       { "updown", -1, 1, 0, true },
        { "zoom", -1, 5, 0, true },            { "contrast", -5, 5, 1, true },
        { "brightness", -1, 1, 0, true },      { "penTickness", 1, 30, 10, false },
        { "penColour", 0, 1, 1, false },       { "bwset", 0, 1, 0, true },
        { "bwthrreshold", 0, 1, 0.5f, true },  { "a_interval", 0, 1, 0.4f, true },
        { "b_interval", 0, 1, 0.6f, true },    { "penStyle", 0, 6, 0, true },
        { "randomizespeed", 0, 23, 13, false },{ "attack", 0, 1, 0, false },
        { "decay", 0.01f, 1, 1, false },       { "barduratiom", 1, 20, 1, false },
        { "fineRotate", -90, 90, 0, true },    { "effectapply", 0.1f, 10, 1, true },
        { "startposition", 0, 1, 0.4f, true }, { "leninterval", 0, 1, 0, true },
        { "blurforxaxis", 0, 1, 0, true },     { "smootheforYAxis", 0, 1, 0, false },
        { "horrescale", 1, 128, 1, true },     { "verrescale", 1, 128, 1, true },
        { "horskew", -1, 1, 0, true },         { "verskew", -1, 1, 0, true },
        { "drywet", 0, 1, 1, false },          { "wider", 0, 15, 0, false },
        { "rotate0", 0, 1, 1, true },   { "rotate1", 0, 1, 0, true },
        { "rotate2", 0, 1, 0, true },   { "rotate3", 0, 1, 0, true },
        { "direction0", 0, 1, 1, true },{ "direction1", 0, 1, 0, true },
        { "direction2", 0, 1, 0, true },{ "direction3", 0, 1, 0, true },
        { "refline0", 0, 1, 1, true },  { "refline1", 0, 1, 0, true },
        { "refline2", 0, 1, 0, true },  { "refline3", 0, 1, 0, true },
        { "refline4", 0, 1, 0, true },  { "refline5", 0, 1, 0, true },
    };

    // Records which IDs reach the processor's own parameterChanged.
    struct ProbeProcessor : KestruneAudioProcessor
    {
        // The base constructor has already started the worker, which reads
        // the vtable pointer this constructor rewrites. Both tables share the
        // same run(), so the overlap is harmless; keep it out of TSan's view.
        __attribute__ ((no_sanitize_thread)) ProbeProcessor() {}
        ~ProbeProcessor() override { stopWorker(); }

        void parameterChanged (const juce::String& id, float v) override
        {
            calls.add (id);
            KestruneAudioProcessor::parameterChanged (id, v);
        }
        juce::StringArray calls;
    };
}

TEST (SharedTables, SizesAndKeyEntries)
{
    EXPECT_EQ (valueTreeNames.size(), 31);
    EXPECT_EQ (rotateTable.size(), 4);
    EXPECT_EQ (directionTable.size(), 4);
    EXPECT_EQ (refLineTable.size(), 6);
    EXPECT_EQ (penStyleOptions.size(), 7);
    EXPECT_EQ (myNotetUnit.size(), 24);

    // Stems of the switch groups sit at fixed indices that other code relies on.
    EXPECT_EQ (valueTreeNames[5], "rotate");
    EXPECT_EQ (valueTreeNames[9], "direction");
    EXPECT_EQ (valueTreeNames[10], "refline");
    EXPECT_EQ (valueTreeNames[20], "startposition");
    EXPECT_EQ (valueTreeNames[30], "wider");

    EXPECT_EQ (refLineTable[0], "Free");
    EXPECT_EQ (penStyleOptions[5], "Free");
    EXPECT_EQ (myNotetUnit[13], "16n");
    EXPECT_EQ (myNotetUnit[23], "128nt");
    EXPECT_EQ (generalColour.getARGB(), 0xff1e1e1eu);
}

TEST (Parameters, CreationOrderIdsRangesAndDefaults)
{
    auto p = makeProcessor();
    const auto& params = p->getParameters();
    ASSERT_EQ (params.size(), 42);

    for (int i = 0; i < 42; ++i)
    {
        const auto& e = expectedParameters[i];
        auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (params[i]);
        ASSERT_NE (ranged, nullptr) << i;
        EXPECT_EQ (ranged->paramID, juce::String (e.id)) << i;
        EXPECT_EQ (ranged->getName (100), juce::String (e.id)) << i;
        EXPECT_EQ (ranged->getVersionHint(), 1) << e.id;
        EXPECT_TRUE (ranged->isAutomatable()) << e.id;
        EXPECT_TRUE (ranged->getLabel().isEmpty()) << e.id;
        EXPECT_FLOAT_EQ (ranged->getNormalisableRange().start, e.min) << e.id;
        EXPECT_FLOAT_EQ (ranged->getNormalisableRange().end, e.max) << e.id;
        EXPECT_FLOAT_EQ (plainValue (*p, e.id), e.def) << e.id;
        EXPECT_FLOAT_EQ (ranged->convertFrom0to1 (ranged->getDefaultValue()), e.def) << e.id;
    }
}

TEST (Parameters, ClassesIntervalsAndSkews)
{
    auto p = makeProcessor();

    EXPECT_NE (dynamic_cast<juce::AudioParameterBool*> (&param (*p, "bwset")), nullptr);
    EXPECT_NE (dynamic_cast<juce::AudioParameterInt*> (&param (*p, "barduratiom")), nullptr);
    auto* style = dynamic_cast<juce::AudioParameterChoice*> (&param (*p, "penStyle"));
    ASSERT_NE (style, nullptr);
    EXPECT_EQ (style->choices, penStyleOptions);
    auto* unit = dynamic_cast<juce::AudioParameterChoice*> (&param (*p, "randomizespeed"));
    ASSERT_NE (unit, nullptr);
    EXPECT_EQ (unit->choices, myNotetUnit);
    EXPECT_EQ (unit->getIndex(), 13);

    // Only the interval ends are meta-parameters.
    for (auto* prm : p->getParameters())
    {
        auto* r = dynamic_cast<juce::RangedAudioParameter*> (prm);
        const bool meta = r->paramID == "a_interval" || r->paramID == "b_interval";
        EXPECT_EQ (prm->isMetaParameter(), meta) << r->paramID;
    }

    EXPECT_FLOAT_EQ (param (*p, "leftright").getNormalisableRange().interval, 0.0f);
    EXPECT_FLOAT_EQ (param (*p, "startposition").getNormalisableRange().interval, 0.0f);
    EXPECT_FLOAT_EQ (param (*p, "zoom").getNormalisableRange().interval, 0.01f);
    EXPECT_FLOAT_EQ (param (*p, "blurforxaxis").getNormalisableRange().interval, 0.001f);
    EXPECT_FLOAT_EQ (param (*p, "blurforxaxis").getNormalisableRange().skew, 3.0f);
    EXPECT_FLOAT_EQ (param (*p, "smootheforYAxis").getNormalisableRange().skew, 3.0f);
    EXPECT_FLOAT_EQ (param (*p, "horrescale").getNormalisableRange().skew, 1.0f);

    // Normalised to plain mappings a host relies on.
    auto& blur = param (*p, "blurforxaxis");
    EXPECT_NEAR (blur.convertFrom0to1 (0.125f), 0.5f, 1.0e-6f);
    EXPECT_FLOAT_EQ (blur.convertFrom0to1 (1.0f), 1.0f);
    EXPECT_NEAR (blur.convertFrom0to1 (0.5f), 0.794f, 1.0e-6f);
    EXPECT_FLOAT_EQ (param (*p, "decay").convertFrom0to1 (0.0f), 0.01f);
    EXPECT_FLOAT_EQ (param (*p, "barduratiom").convertFrom0to1 (0.25f), 6.0f);
    EXPECT_FLOAT_EQ (param (*p, "barduratiom").convertFrom0to1 (1.0f), 20.0f);
}

TEST (Parameters, NoteBeatsTable)
{
    auto p = makeProcessor();
    ASSERT_EQ (p->noteBeats.size(), 24u);
    EXPECT_FLOAT_EQ (p->noteBeats[0], 6.0f);
    EXPECT_FLOAT_EQ (p->noteBeats[1], 4.0f);
    EXPECT_EQ (p->noteBeats[2], 8.0f / 3.0f);
    EXPECT_EQ (p->noteBeats[13], 0.25f);
    EXPECT_EQ (p->noteBeats[23], 0.020833334f);
    EXPECT_EQ (p->noteBeats[21], 0.046875f);
    EXPECT_EQ (p->noteBeats[12], 0.375f);
}

TEST (Parameters, ListenedAndNotListened)
{
    ProbeProcessor p;
    int listened = 0;

    for (const auto& e : expectedParameters)
    {
        p.calls.clear();
        auto& prm = param (p, e.id);
        prm.setValueNotifyingHost (prm.getDefaultValue() < 0.5f ? 1.0f : 0.0f);
        EXPECT_EQ (p.calls.contains (e.id), e.listened) << e.id;
        listened += p.calls.contains (e.id) ? 1 : 0;
    }

    EXPECT_EQ (listened, 33);
}

TEST (Parameters, StateTypeIsKestrune)
{
    auto p = makeProcessor();
    EXPECT_EQ (p->apvts.state.getType().toString(), "Kestrune");
}
