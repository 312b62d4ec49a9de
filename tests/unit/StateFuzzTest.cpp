#include "TestSupport.h"
#include "JuceAssertions.h"

#include <cstdlib>
#include <random>

using namespace kestrune::test;

namespace
{
    // Mutations a damaged or hostile blob might carry: flipped bits, cut or
    // stretched data, duplicated or dropped spans, bytes from the XML
    // vocabulary and a rewritten length field.
    juce::MemoryBlock mutate (const juce::MemoryBlock& seed, std::mt19937& rng)
    {
        std::vector<unsigned char> bytes (static_cast<const unsigned char*> (seed.getData()),
                                          static_cast<const unsigned char*> (seed.getData()) + seed.getSize());
        static const char* vocabulary[] = { "<", ">", "/>", "\"", "=", "&amp;", "PARAM", "id", "value", "nan", "-1e39",
                                            "ImagePath", "path", "pathDraw", "Kestrune", "<a>", "</Kestrune>", "\xff\xfe" };
        const int rounds = 1 + (int) (rng() % 6);

        for (int r = 0; r < rounds && ! bytes.empty(); ++r)
        {
            const auto pos = rng() % bytes.size();

            switch (rng() % 7)
            {
                case 0: bytes[pos] ^= (unsigned char) (1u << (rng() % 8)); break;
                case 1: bytes.resize (pos); break;
                case 2: bytes.insert (bytes.begin() + (long) pos, (unsigned char) rng()); break;
                case 3:
                {
                    const auto len = std::min<size_t> (rng() % 64, bytes.size() - pos);
                    bytes.erase (bytes.begin() + (long) pos, bytes.begin() + (long) (pos + len));
                    break;
                }
                case 4:
                {
                    const auto len = std::min<size_t> (rng() % 128, bytes.size() - pos);
                    std::vector<unsigned char> span (bytes.begin() + (long) pos, bytes.begin() + (long) (pos + len));
                    bytes.insert (bytes.begin() + (long) pos, span.begin(), span.end());
                    break;
                }
                case 5:
                {
                    const char* word = vocabulary[rng() % (sizeof (vocabulary) / sizeof (vocabulary[0]))];
                    bytes.insert (bytes.begin() + (long) pos, word, word + std::strlen (word));
                    break;
                }
                default:
                    if (bytes.size() >= 8)
                    {
                        const auto length = (juce::uint32) rng();
                        std::memcpy (bytes.data() + 4, &length, 4);
                    }
                    break;
            }
        }

        return juce::MemoryBlock (bytes.data(), bytes.size());
    }

    juce::MemoryBlock randomBlob (std::mt19937& rng)
    {
        std::vector<unsigned char> bytes (rng() % 512);
        for (auto& b : bytes)
            b = (unsigned char) rng();
        if (bytes.size() >= 4 && rng() % 2 == 0)
            std::memcpy (bytes.data(), "VC2!", 4);
        return juce::MemoryBlock (bytes.data(), bytes.size());
    }

    void expectSaneParameters (KestruneAudioProcessor& p)
    {
        for (auto* prm : p.getParameters())
        {
            auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (prm);
            const auto v = p.apvts.getRawParameterValue (ranged->paramID)->load();
            ASSERT_TRUE (std::isfinite (v)) << ranged->paramID;
            ASSERT_GE (v, ranged->getNormalisableRange().start) << ranged->paramID;
            ASSERT_LE (v, ranged->getNormalisableRange().end) << ranged->paramID;
        }
    }
}

TEST (StateFuzz, MutatedAndRandomBlobsNeverBreakTheProcessor)
{
    auto p = makeProcessor();
    setPlain (*p, "zoom", 1.5f);
    setPlain (*p, "refline2", 1.0f);
    const auto seed = saveState (*p);

    // At least this many blobs whatever the machine's load (a sanitizer
    // build on a busy machine may manage only a few a second); beyond that,
    // as many as fit in the time bound, KESTRUNE_FUZZ_SECONDS if set.
    constexpr int leastRuns = 101;
    auto seconds = 8.0;
    if (const char* text = std::getenv ("KESTRUNE_FUZZ_SECONDS"))
        if (const auto value = std::atof (text); value > 0.0)
            seconds = value;

    std::mt19937 rng (20261207);
    const auto deadline = juce::Time::getMillisecondCounterHiRes() + seconds * 1000.0;

    for (int runs = 0; runs < 6000 && (runs < leastRuns || juce::Time::getMillisecondCounterHiRes() < deadline); ++runs)
    {
        const auto blob = (runs % 4 == 3) ? randomBlob (rng) : mutate (seed, rng);
        {
            // Where JUCE's assertions are checked, its XML reader and the
            // XML-to-tree conversion point at the garbage they are handed
            // (names that are no XML names, text between elements). Those
            // are the input's doing; any other assertion fails the test.
            ScopedJuceAssertionCapture inputComplaints;
            p->setStateInformation (blob.getData(), (int) blob.getSize());

            for (const auto& m : inputComplaints.messages())
                EXPECT_TRUE (m.contains ("juce_XmlElement.cpp:") || m.endsWith ("juce_ValueTree.cpp:1014"))
                    << m << " run " << runs;
        }
        expectSaneParameters (*p);

        if (HasFatalFailure())
            FAIL() << "after run " << runs;

        // Whatever was restored saves and restores to the same values.
        if (runs % 97 == 0)
        {
            const auto saved = saveState (*p);
            auto copy = makeProcessor();
            copy->setStateInformation (saved.getData(), (int) saved.getSize());
            for (auto* prm : p->getParameters())
            {
                const auto id = dynamic_cast<juce::RangedAudioParameter*> (prm)->paramID;
                EXPECT_EQ (plainValue (*copy, id), plainValue (*p, id)) << id << " run " << runs;
            }
        }
    }
}
