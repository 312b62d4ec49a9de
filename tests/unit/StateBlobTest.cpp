#include "StateBlob.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace state = kestrune::state;

namespace
{
    bool within (const std::string& text, int limit)
    {
        return state::nestingDepthWithin (text.data(), text.size(), limit);
    }

    juce::MemoryBlock blobOf (const std::string& text, int storedLength)
    {
        juce::MemoryBlock blob;
        juce::MemoryOutputStream out (blob, false);
        out.write ("VC2!", 4);
        out.writeInt (storedLength);
        out.write (text.data(), text.size());
        out.writeByte (0);
        out.flush();
        return blob;
    }

    juce::MemoryBlock blobOf (const std::string& text) { return blobOf (text, (int) text.size() + 1); }

    std::unique_ptr<juce::XmlElement> read (const juce::MemoryBlock& blob)
    {
        return state::readStateXml (blob.getData(), (int) blob.getSize());
    }
}

TEST (StateBlob, NestingCountsOnlyOpenElements)
{
    EXPECT_TRUE (within ("<a><b><c/></b></a>", 2));
    EXPECT_FALSE (within ("<a><b><c></c></b></a>", 2));
    EXPECT_TRUE (within ("<a></a><b></b><c></c>", 1)) << "siblings are not nested";

    // Declarations, comments and markup inside quoted values do not count.
    EXPECT_TRUE (within ("<?xml version=\"1.0\"?><!-- a note --><a/>", 1));
    EXPECT_TRUE (within ("<a t=\"<b><c><d>\" u='<e><f>'/>", 1));
    EXPECT_TRUE (within ("<a t=\"x>y\"><b/></a>", 1));

    // The limit itself is allowed, one more is not.
    std::string deep;
    for (int i = 0; i < 32; ++i)
        deep += "<e>";
    EXPECT_TRUE (within (deep, 32));
    EXPECT_FALSE (within (deep + "<e>", 32));

    // A tag cut off by the end of the text still counts, and nothing is read past it.
    EXPECT_FALSE (within ("<a><b", 1));
    EXPECT_TRUE (within ("", 0));
}

TEST (StateBlob, ReadsOnlyWellFormedBlobsOfOurs)
{
    const std::string text = "<Kestrune><PARAM id=\"zoom\" value=\"2\"/></Kestrune>";

    auto xml = read (blobOf (text));
    ASSERT_NE (xml, nullptr);
    EXPECT_EQ (xml->getTagName(), "Kestrune");
    EXPECT_EQ (xml->getChildByName ("PARAM")->getStringAttribute ("value"), "2");

    // A stored length beyond the data reads to the end of the data.
    EXPECT_NE (read (blobOf (text, (int) text.size() + 500)), nullptr);

    EXPECT_EQ (state::readStateXml (nullptr, 100), nullptr);
    EXPECT_EQ (read (juce::MemoryBlock (blobOf (text).getData(), 8)), nullptr);
    EXPECT_EQ (read (blobOf (text, 0)), nullptr);
    EXPECT_EQ (read (blobOf (text, -5)), nullptr);

    auto wrongMagic = blobOf (text);
    static_cast<char*> (wrongMagic.getData())[3] = '?';
    EXPECT_EQ (read (wrongMagic), nullptr);

    EXPECT_EQ (read (blobOf ("<Kestrune><PARAM id=\"\xc3\"/></Kestrune>")), nullptr) << "cut UTF-8";

    std::string deep = "<Kestrune>";
    for (int i = 0; i < 100; ++i)
        deep += "<a>";
    EXPECT_EQ (read (blobOf (deep)), nullptr);
}

TEST (StateBlob, OnlyFiniteNumbersCount)
{
    for (const juce::var& v : { juce::var (0.25), juce::var (-3), juce::var ("1.5"), juce::var (" 2 "), juce::var ("-1e3") })
        EXPECT_TRUE (state::isFiniteNumber (v)) << v.toString();

    const auto inf = std::numeric_limits<double>::infinity();
    for (const juce::var& v : { juce::var (inf), juce::var (-inf), juce::var (std::numeric_limits<double>::quiet_NaN()),
                               juce::var ("nan"), juce::var ("inf"), juce::var ("banana"), juce::var (""),
                               juce::var ("0x10"), juce::var ("1e300") })
        EXPECT_FALSE (state::isFiniteNumber (v)) << v.toString();
}
