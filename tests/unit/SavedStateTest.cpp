#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <random>

using namespace kestrune::test;

namespace
{
    juce::MemoryBlock makeBlob (const juce::String& xmlText)
    {
        juce::MemoryBlock block;
        juce::MemoryOutputStream out (block, false);
        out.write ("VC2!", 4);
        const auto utf8 = xmlText.toRawUTF8();
        const auto length = (juce::uint32) std::strlen (utf8);
        out.writeInt ((int) length);
        out.write (utf8, length);
        out.writeByte (0);
        out.flush();
        return block;
    }

    juce::String xmlOf (const juce::MemoryBlock& blob)
    {
        const auto* bytes = static_cast<const char*> (blob.getData());
        const auto length = juce::ByteOrder::littleEndianInt (bytes + 4);
        return juce::String::fromUTF8 (bytes + 8, (int) length);
    }

    // Every parameter's plain value, in creation order.
    std::vector<float> allValues (KestruneAudioProcessor& p)
    {
        std::vector<float> values;
        for (auto* prm : p.getParameters())
            values.push_back (p.apvts.getRawParameterValue (dynamic_cast<juce::RangedAudioParameter*> (prm)->paramID)->load());
        return values;
    }

    juce::String stateXml (KestruneAudioProcessor& p)
    {
        return p.copyState().toXmlString (juce::XmlElement::TextFormat().singleLine());
    }
}

TEST (SavedState, BlobLayoutAndOrderOfANewProcessor)
{
    auto p = makeProcessor();
    const auto blob = saveState (*p);
    const auto* bytes = static_cast<const unsigned char*> (blob.getData());

    ASSERT_GT (blob.getSize(), 9u);
    EXPECT_EQ (std::memcmp (bytes, "VC2!", 4), 0);
    EXPECT_EQ ((size_t) juce::ByteOrder::littleEndianInt (bytes + 4), blob.getSize() - 9);
    EXPECT_EQ (bytes[blob.getSize() - 1], 0);

    const auto xml = xmlOf (blob);
    EXPECT_FALSE (xml.containsChar ('\n'));
    EXPECT_TRUE (xml.startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <Kestrune>"));

    auto parsed = juce::parseXML (xml);
    ASSERT_NE (parsed, nullptr);
    juce::StringArray ids;
    for (auto* child : parsed->getChildIterator())
        if (child->hasTagName ("PARAM"))
            ids.add (child->getStringAttribute ("id"));

    ASSERT_EQ (ids.size(), 42);
    auto sorted = ids;
    std::sort (sorted.begin(), sorted.end(), [] (auto& a, auto& b) { return a.compare (b) < 0; });
    EXPECT_EQ (ids, sorted);
    EXPECT_EQ (ids[0], "a_interval");
    EXPECT_EQ (ids[1], "attack");
    EXPECT_EQ (ids[2], "b_interval");
    EXPECT_EQ (ids[41], "zoom");

    // The attributes stand in the order they were set: id, then value.
    EXPECT_TRUE (xml.contains ("<PARAM id=\"a_interval\" value=\"0.4"));

    // Saving twice without changes gives equal blobs.
    EXPECT_EQ (saveState (*p), blob);
}

TEST (SavedState, RoundTripRestoresEveryParameter)
{
    auto first = makeProcessor();
    setPlain (*first, "zoom", 2.5f);
    setPlain (*first, "contrast", -3.0f);
    setPlain (*first, "penStyle", 5.0f);
    setPlain (*first, "barduratiom", 7.0f);
    setPlain (*first, "blurforxaxis", 0.794f);
    setPlain (*first, "rotate3", 1.0f);
    setPlain (*first, "direction0", 0.0f);
    setPlain (*first, "wider", 12.5f);
    const auto blob = saveState (*first);

    auto second = makeProcessor();
    second->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_EQ (allValues (*second), allValues (*first));

    // A state without picture paths gains an empty ImagePath on restore.
    auto expected = xmlOf (blob).replace ("</Kestrune>", "<ImagePath/></Kestrune>");
    EXPECT_EQ (xmlOf (saveState (*second)), expected);
}

TEST (SavedState, ShuffledAndMissingParamElements)
{
    auto p = makeProcessor();
    setPlain (*p, "zoom", 3.0f);
    setPlain (*p, "drywet", 0.2f);
    auto parsed = juce::parseXML (xmlOf (saveState (*p)));
    ASSERT_NE (parsed, nullptr);

    // Shuffle the elements and drop two of them.
    juce::OwnedArray<juce::XmlElement> children;
    while (auto* c = parsed->getFirstChildElement())
    {
        parsed->removeChildElement (c, false);
        children.add (c);
    }

    std::mt19937 rng (7);
    std::shuffle (children.begin(), children.end(), rng);

    juce::StringArray order;
    for (int i = children.size(); --i >= 0;)
    {
        auto* c = children.removeAndReturn (i);
        if (c->getStringAttribute ("id") == "drywet" || c->getStringAttribute ("id") == "contrast")
        {
            delete c;
            continue;
        }
        order.add (c->getStringAttribute ("id"));
        parsed->addChildElement (c);
    }

    auto restored = makeProcessor();
    setPlain (*restored, "drywet", 0.7f);
    setPlain (*restored, "contrast", 4.0f);
    const auto blob = makeBlob (parsed->toString (juce::XmlElement::TextFormat().singleLine()));
    restored->setStateInformation (blob.getData(), (int) blob.getSize());

    EXPECT_FLOAT_EQ (plainValue (*restored, "zoom"), 3.0f);
    EXPECT_FLOAT_EQ (plainValue (*restored, "drywet"), 1.0f) << "a missing element means the default";
    EXPECT_FLOAT_EQ (plainValue (*restored, "contrast"), 1.0f);

    // The saved order keeps the blob's order, the missing ones appended.
    auto again = juce::parseXML (xmlOf (saveState (*restored)));
    juce::StringArray savedOrder;
    for (auto* c : again->getChildWithTagNameIterator ("PARAM"))
        savedOrder.add (c->getStringAttribute ("id"));
    ASSERT_EQ (savedOrder.size(), 42);
    for (int i = 0; i < order.size(); ++i)
        EXPECT_EQ (savedOrder[i], order[i]);
    EXPECT_TRUE (savedOrder.indexOf ("drywet") >= 40 && savedOrder.indexOf ("contrast") >= 40);
}

TEST (SavedState, RootTagIsComparedIgnoringCase)
{
    auto p = makeProcessor();
    const auto blob = makeBlob ("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <KESTRUNE><PARAM id=\"zoom\" value=\"1.5\"/></KESTRUNE>");
    p->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 1.5f);
    EXPECT_FLOAT_EQ (plainValue (*p, "contrast"), 1.0f);
}

TEST (SavedState, ReflineSwitchesDecideTheGridCount)
{
    auto p = makeProcessor();
    auto blobWith = [] (std::initializer_list<int> on)
    {
        juce::String xml ("<Kestrune>");
        for (int k = 0; k < 6; ++k)
            xml << "<PARAM id=\"refline" << k << "\" value=\"" << (std::find (on.begin(), on.end(), k) != on.end() ? 1 : 0) << "\"/>";
        return makeBlob (xml + "</Kestrune>");
    };

    auto blob = blobWith ({ 2, 4 });
    p->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_EQ (p->refLineCount.load(), 16);

    blob = blobWith ({});
    p->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_EQ (p->refLineCount.load(), 16) << "with no switch on the count keeps its value";

    blob = blobWith ({ 1 });
    p->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_EQ (p->refLineCount.load(), 2);
}

TEST (SavedState, ForeignOrBrokenBlobsChangeNothing)
{
    auto p = makeProcessor();
    setPlain (*p, "zoom", 4.0f);
    setPlain (*p, "refline3", 1.0f);
    const auto before = stateXml (*p);
    const auto valuesBefore = allValues (*p);
    const auto valid = saveState (*p);

    std::vector<juce::MemoryBlock> blobs;
    blobs.push_back ({});                                           // empty
    blobs.push_back (juce::MemoryBlock (valid.getData(), 8));       // header only
    blobs.push_back (juce::MemoryBlock (valid.getData(), valid.getSize() / 2)); // truncated
    blobs.push_back (makeBlob ("<Other><PARAM id=\"zoom\" value=\"0\"/></Other>"));
    blobs.push_back (makeBlob ("not xml at all"));
    auto wrongMagic = valid;
    static_cast<char*> (wrongMagic.getData())[0] = 'X';
    blobs.push_back (wrongMagic);
    auto zeroLength = valid;
    juce::ByteOrder::littleEndianInt (static_cast<char*> (zeroLength.getData()) + 4);
    std::memset (static_cast<char*> (zeroLength.getData()) + 4, 0, 4);
    blobs.push_back (zeroLength);
    auto hugeLength = valid;
    std::memset (static_cast<char*> (hugeLength.getData()) + 4, 0xff, 4);
    blobs.push_back (hugeLength);

    // Deep nesting would exhaust the parser's stack.
    blobs.push_back (makeBlob ("<Kestrune>" + juce::String::repeatedString ("<a>", 200000)));

    for (auto& b : blobs)
    {
        p->setStateInformation (b.getData(), (int) b.getSize());
        EXPECT_EQ (stateXml (*p), before);
        EXPECT_EQ (allValues (*p), valuesBefore);
        EXPECT_FALSE (p->newImagePending.load()) << "a foreign blob must not reload the picture";
    }

    p->setStateInformation (nullptr, 100);
    EXPECT_EQ (stateXml (*p), before);
}

TEST (SavedState, StoredLengthBeyondTheDataReadsToTheEnd)
{
    auto p = makeProcessor();
    auto blob = makeBlob ("<Kestrune><PARAM id=\"zoom\" value=\"2\"/></Kestrune>");
    const juce::uint32 tooLong = (juce::uint32) blob.getSize() + 500;
    std::memcpy (static_cast<char*> (blob.getData()) + 4, &tooLong, 4);
    p->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 2.0f);
}

TEST (SavedState, ValuesThatAreNotNumbersCountAsMissing)
{
    auto p = makeProcessor();
    const auto blob = makeBlob ("<Kestrune><PARAM id=\"zoom\" value=\"nan\"/><PARAM id=\"contrast\" value=\"inf\"/>"
                                "<PARAM id=\"drywet\" value=\"banana\"/><PARAM id=\"wider\" value=\"1e300\"/>"
                                "<PARAM id=\"leftright\" value=\"0.25\"/></Kestrune>");
    p->setStateInformation (blob.getData(), (int) blob.getSize());

    for (auto* prm : p->getParameters())
    {
        const auto id = dynamic_cast<juce::RangedAudioParameter*> (prm)->paramID;
        EXPECT_TRUE (std::isfinite (plainValue (*p, id))) << id;
    }

    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 0.0f);
    EXPECT_FLOAT_EQ (plainValue (*p, "contrast"), 1.0f);
    EXPECT_FLOAT_EQ (plainValue (*p, "drywet"), 1.0f);
    EXPECT_FLOAT_EQ (plainValue (*p, "wider"), 0.0f);
    EXPECT_FLOAT_EQ (plainValue (*p, "leftright"), 0.25f);
}

TEST (SavedState, AlertText)
{
    EXPECT_EQ (KestruneAudioProcessor::imageAlertText ("/x/y.bmp"),
               "The image not found in the relevant path: /x/y.bmp\nKestrune will not work properly.");
}

TEST (SavedState, MissingIntervalParametersAreRestoredInOnePass)
{
    // Every parameter is set once, in ID order, to its stored value or its
    // default, and the interval coupling runs along; nothing sets a missing
    // one a second time afterwards. Starting from the defaults 0.4 / 0.6 / 0.4:
    struct Case { const char* name; juce::String params; float a, b, start; };
    const Case cases[] = {
        // a 0.7 pushes b to 0.7; b's default 0.6 pulls a down to 0.6; start 0.7
        // moves the empty interval to 0.7.
        { "no b_interval", "<PARAM id=\"a_interval\" value=\"0.7\"/><PARAM id=\"startposition\" value=\"0.7\"/>", 0.7f, 0.7f, 0.7f },
        // a stays at 0.4; b 0.9; start 0.7 moves the interval of 0.5 against the right edge.
        { "no a_interval", "<PARAM id=\"b_interval\" value=\"0.9\"/><PARAM id=\"startposition\" value=\"0.7\"/>", 1.0f - (0.9f - 0.4f), 1.0f, 0.7f },
        // a 0.2 and b 0.5; start's default 0.4 moves the interval of 0.3 to 0.4.
        { "no startposition", "<PARAM id=\"a_interval\" value=\"0.2\"/><PARAM id=\"b_interval\" value=\"0.5\"/>", 0.4f, 0.7f, 0.4f },
        // An element of another kind naming a parameter does not restore it either.
        { "b_interval only on a foreign element", "<PARAM id=\"a_interval\" value=\"0.7\"/><PARAM id=\"startposition\" value=\"0.7\"/>"
                                                  "<Other id=\"b_interval\" value=\"0.2\"/>", 0.7f, 0.7f, 0.7f },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto p = makeProcessor();
        const auto blob = makeBlob ("<Kestrune>" + c.params + "</Kestrune>");
        p->setStateInformation (blob.getData(), (int) blob.getSize());

        EXPECT_NEAR (plainValue (*p, "a_interval"), c.a, 1e-6f);
        EXPECT_NEAR (plainValue (*p, "b_interval"), c.b, 1e-6f);
        EXPECT_NEAR (plainValue (*p, "startposition"), c.start, 1e-6f);

        // The saved state holds every parameter once, with the value in force.
        auto saved = juce::parseXML (xmlOf (saveState (*p)));
        ASSERT_NE (saved, nullptr);
        int params = 0;
        for (auto* child : saved->getChildWithTagNameIterator ("PARAM"))
        {
            ++params;
            const auto id = child->getStringAttribute ("id");
            EXPECT_FLOAT_EQ ((float) child->getDoubleAttribute ("value"), plainValue (*p, id)) << id;
        }
        if (! c.params.contains ("Other"))
            EXPECT_EQ (params, 42);
    }
}

// A restore comes into force in one step: a save on another thread never
// pairs the restored values with the picture from before, or the other way round.
TEST (SavedState, ASaveDuringARestoreSeesAllOfItOrNone)
{
    auto p = makeProcessor();
    const auto folder = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile ("one-step");
    folder.createDirectory();

    // Two states: each picture path with a zoom of its own.
    std::map<juce::String, double> zoomOf;
    std::vector<juce::MemoryBlock> blobs;
    for (int k = 0; k < 2; ++k)
    {
        juce::Image picture (juce::Image::RGB, 300, 200 + k, true);
        const auto file = folder.getChildFile ("state" + juce::String (k) + ".png");
        file.deleteFile();
        juce::FileOutputStream out (file);
        juce::PNGImageFormat().writeImageToStream (picture, out);
        out.flush();
        p->loadFile (file.getFullPathName(), true);
        setPlain (*p, "zoom", 2.0f + (float) k);
        zoomOf[file.getFullPathName()] = 2.0 + k;
        blobs.push_back (saveState (*p));
    }

    std::atomic<bool> done { false };
    juce::StringArray mismatches;
    std::thread host ([&]
    {
        while (! done.load())
        {
            const auto blob = saveState (*p);
            const auto tree = juce::ValueTree::fromXml (*juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize()));
            const auto path = tree.getChildWithName ("ImagePath").getProperty ("path").toString();
            const auto zoom = (double) tree.getChildWithProperty ("id", "zoom").getProperty ("value");
            if (const auto it = zoomOf.find (path); it == zoomOf.end() || it->second != zoom)
                mismatches.addIfNotAlreadyThere (path + " with zoom " + juce::String (zoom));
        }
    });

    for (int round = 0; round < 200; ++round)
        p->setStateInformation (blobs[(size_t) round % 2].getData(), (int) blobs[(size_t) round % 2].getSize());

    done = true;
    host.join();
    EXPECT_TRUE (mismatches.isEmpty()) << mismatches.joinIntoString ("; ");
}
