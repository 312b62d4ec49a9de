#include "TestSupport.h"

using namespace kestrune::test;

namespace
{
    juce::MemoryBlock blobOf (const std::string& text)
    {
        juce::MemoryBlock blob;
        juce::MemoryOutputStream out (blob, false);
        out.writeInt (juce::ByteOrder::littleEndianInt ("VC2!"));
        out.writeInt ((int) text.size() + 1);
        out.write (text.data(), text.size());
        out.writeByte (0);
        out.flush();
        return blob;
    }
}

TEST (StateBlobText, TextThatIsNotUtf8IsRefusedWithoutReadingPastIt)
{
    // A byte that opens a multi-byte sequence right before the end made the
    // XML reader step over the text's terminator (found by the state fuzzer
    // under AddressSanitizer).
    auto p = makeProcessor();
    setPlain (*p, "zoom", 2.0f);

    for (const auto* tail : { "\xf0", "\xe2\x82", "\xc3", "\xff", "\xf4\x90\x80\x80" })
    {
        for (const auto& text : { std::string ("<Kestrune><PARAM id=\"zoom\" value=\"1") + tail,
                                  std::string ("<Kestrune><PARAM id=\"zoom\" value=\"1\"/><ImagePath path=\"") + tail,
                                  std::string ("<Kestrune") + tail,
                                  std::string ("<Kestrune><PARAM id=\"zoom\" value=\"1\"/>") + tail + "</Kestrune>" })
        {
            const auto blob = blobOf (text);
            p->setStateInformation (blob.getData(), (int) blob.getSize());
            EXPECT_EQ (plainValue (*p, "zoom"), 2.0f) << text; // refused: nothing changes
        }
    }

    // Well-formed text outside ASCII is still read.
    const auto blob = blobOf ("<Kestrune><PARAM id=\"zoom\" value=\"1\"/><ImagePath path=\"/nowhere/bild-\xc3\xa4.png\"/></Kestrune>");
    p->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_EQ (plainValue (*p, "zoom"), 1.0f);
}
