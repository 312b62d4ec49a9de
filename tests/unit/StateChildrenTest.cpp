#include "StateChildren.h"

#include <gtest/gtest.h>

#include <array>

// A state restored (or a new one), then properties set as the window and the
// picture bringers set them: a save finds every child where it would have
// stood had it stayed in the tree, with its properties in the order first set.
TEST (StateChildren, ASaveFindsEveryChildWhereItWouldHaveStood)
{
    struct Case
    {
        const char* restored;
        std::vector<std::array<const char*, 3>> sets; // child, property, value
        const char* saved;
    };

    const Case cases[] = {
        { "<Kestrune><PARAM id=\"a\"/></Kestrune>",
          { { "lastSizeMainWindow", "width", "950" }, { "ImagePath", "pathDraw", "d" }, { "ImagePath", "path", "p" } },
          "<Kestrune><PARAM id=\"a\"/><lastSizeMainWindow width=\"950\"/><ImagePath pathDraw=\"d\" path=\"p\"/></Kestrune>" },
        { "<Kestrune><ImagePath path=\"1\" pathDraw=\"x\"/><PARAM id=\"a\"/><Other/><ImagePath path=\"2\"/><PARAM id=\"b\"/></Kestrune>",
          { { "ImagePath", "pathDraw", "d" }, { "lastSizeMainWindow", "width", "760" }, { "ImagePath", "savedCopies", "c/" } },
          "<Kestrune><ImagePath path=\"1\" pathDraw=\"d\" savedCopies=\"c/\"/><PARAM id=\"a\"/><Other/><ImagePath path=\"2\"/>"
          "<PARAM id=\"b\"/><lastSizeMainWindow width=\"760\"/></Kestrune>" },
    };

    const auto text = [] (const juce::ValueTree& tree)
    {
        return tree.toXmlString (juce::XmlElement::TextFormat().singleLine().withoutHeader()).toStdString();
    };

    for (const auto& c : cases)
    {
        auto tree = juce::ValueTree::fromXml (c.restored);
        StateChildren children;
        children.takeFrom (tree);
        EXPECT_FALSE (tree.getChildWithName ("ImagePath").isValid() || tree.getChildWithName ("lastSizeMainWindow").isValid());

        for (const auto& [type, name, value] : c.sets)
            children.setProperty (type, name, value);

        // Twice, with a copy handed out and changed in between.
        for (auto save : { tree.createCopy(), tree.createCopy() })
        {
            children.addTo (save);
            EXPECT_EQ (text (save), c.saved);
            children.copyOf ("ImagePath").setProperty ("path", "changed", nullptr);
        }
    }
}
