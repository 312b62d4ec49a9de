#include "EditorTestSupport.h"

#include <optional>

using namespace kestrune::test;

namespace
{
    // Restores the processor from its own state with the window-size child
    // replaced: absent when `present` is false, otherwise with the given
    // attributes (an attribute left empty is not written).
    void restoreWithWindowSize (KestruneAudioProcessor& p, bool present,
                                std::optional<juce::String> width, std::optional<juce::String> height)
    {
        const auto blob = saveState (p);
        auto xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
        ASSERT_NE (xml, nullptr);

        while (auto* old = xml->getChildByName ("lastSizeMainWindow"))
            xml->removeChildElement (old, true);

        if (present)
        {
            auto* size = xml->createNewChildElement ("lastSizeMainWindow");
            if (width)
                size->setAttribute ("width", *width);
            if (height)
                size->setAttribute ("height", *height);
        }

        juce::MemoryBlock edited;
        juce::AudioProcessor::copyXmlToBinary (*xml, edited);
        p.setStateInformation (edited.getData(), (int) edited.getSize());
    }

    // The state without the window-size child, as text.
    juce::String stateWithoutWindowSize (KestruneAudioProcessor& p)
    {
        auto state = p.copyState();
        state.removeChild (state.getChildWithName ("lastSizeMainWindow"), nullptr);
        return state.toXmlString();
    }

    juce::Rectangle<int> storedSize (KestruneAudioProcessor& p)
    {
        const auto child = windowSizeChild (p);
        return { (int) child.getProperty ("width", -1), (int) child.getProperty ("height", -1) };
    }

    bool insideTheLimits (juce::Rectangle<int> r)
    {
        return r.getWidth() >= 760 && r.getWidth() <= 1187 && r.getHeight() >= 427 && r.getHeight() <= 667;
    }
}

TEST (EditorSize, FirstOpeningIsTheDefaultAndStoresIt)
{
    auto p = makeProcessor();
    ASSERT_FALSE (windowSizeChild (*p).isValid());
    const auto childrenBefore = p->copyState().getNumChildren();

    EditorHandle editor (*p);
    EXPECT_EQ (editor->getWidth(), 950);
    EXPECT_EQ (editor->getHeight(), 534);

    // Appended after the existing children, with whole numbers.
    ASSERT_EQ (p->copyState().getNumChildren(), childrenBefore + 1);
    const auto child = p->copyState().getChild (childrenBefore);
    EXPECT_TRUE (child.hasType ("lastSizeMainWindow"));
    EXPECT_EQ (child.getNumProperties(), 2);
    EXPECT_TRUE (child.getProperty ("width").isInt());
    EXPECT_TRUE (child.getProperty ("height").isInt());
    EXPECT_EQ ((int) child.getProperty ("width"), 950);
    EXPECT_EQ ((int) child.getProperty ("height"), 534);

    // The size child never enters the undo history of the parameters.
    EXPECT_FALSE (p->undoManager.canUndo());

    // And it goes out with the saved state.
    const auto blob = saveState (*p);
    auto xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
    ASSERT_NE (xml, nullptr);
    auto* saved = xml->getChildByName ("lastSizeMainWindow");
    ASSERT_NE (saved, nullptr);
    EXPECT_EQ (saved->getStringAttribute ("width"), "950");
    EXPECT_EQ (saved->getStringAttribute ("height"), "534");
}

TEST (EditorSize, EveryResizeIsStoredAndTheNextEditorOpensThere)
{
    auto p = makeProcessor();
    {
        EditorHandle editor (*p);
        editor->setBoundsConstrained ({ 0, 0, 1067, 600 });
        EXPECT_EQ (editor->getBounds(), juce::Rectangle<int> (0, 0, 1067, 600));
        EXPECT_EQ (storedSize (*p), juce::Rectangle<int> (0, 0, 1067, 600));
    }

    EditorHandle reopened (*p);
    EXPECT_EQ (reopened->getWidth(), 1067);
    EXPECT_EQ (reopened->getHeight(), 600);
}

TEST (EditorSize, AResizeToTheSameSizeChangesNothing)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);

    // The state as a save writes it, with the size child's properties in order.
    const auto before = p->copyState();
    editor->resized();
    EXPECT_EQ (p->copyState().toXmlString(), before.toXmlString());

    // Only the height changes here (the width is kept, in its place).
    editor->setSize (950, 535);
    auto expected = before.createCopy();
    expected.getChildWithName ("lastSizeMainWindow").setProperty ("height", 535, nullptr);
    EXPECT_EQ (p->copyState().toXmlString(), expected.toXmlString());
}

TEST (EditorSize, SizeComesBackFromASavedProjectAsNumbersOrText)
{
    auto first = makeProcessor();
    {
        EditorHandle editor (*first);
        editor->setBoundsConstrained ({ 0, 0, 1100, 619 });
    }

    // A restored state gives its attributes back as text.
    auto second = makeProcessor();
    const auto blob = saveState (*first);
    second->setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_TRUE (windowSizeChild (*second).getProperty ("width").isString());

    EditorHandle editor (*second);
    EXPECT_EQ (editor->getWidth(), 1100);
    EXPECT_EQ (editor->getHeight(), 619);
    EXPECT_TRUE (windowSizeChild (*second).getProperty ("width").isInt());

    // The default size written as text reads as the same integers.
    auto third = makeProcessor();
    restoreWithWindowSize (*third, true, juce::String ("950"), juce::String ("534"));
    EditorHandle atDefault (*third);
    EXPECT_EQ (atDefault->getWidth(), 950);
    EXPECT_EQ (atDefault->getHeight(), 534);
}

TEST (EditorSize, AStoredSizeOutsideTheLimitsIsCorrectedAndStored)
{
    auto p = makeProcessor();
    restoreWithWindowSize (*p, true, juce::String ("2000"), juce::String ("2000"));

    EditorHandle editor (*p);

    // Laid out at 2000 x 2000 first, then brought inside by the limits: the
    // maximum width would need 668 rows at 16:9, one more than allowed, so
    // the height is held at 667 and the width follows it.
    EXPECT_EQ (editor->getWidth(), 1186);
    EXPECT_EQ (editor->getHeight(), 667);
    EXPECT_EQ (storedSize (*p), juce::Rectangle<int> (0, 0, 1186, 667));
    EXPECT_TRUE (constrainerKeeps (*editor, editor->getLocalBounds()));
    EXPECT_EQ (globalResizeRatio, (float) (1186 / 950.0));
}

TEST (EditorSize, BadStoredSizesOpenInsideTheLimitsAtSixteenToNine)
{
    struct Case
    {
        const char* what;
        bool present;
        std::optional<juce::String> width, height;
        int expectedWidth, expectedHeight; // 0: any size the constrainer keeps
    };

    const Case cases[] = {
        { "no size child",         false, {}, {}, 950, 534 },
        { "child without values",  true,  {}, {}, 950, 534 },
        { "width missing",         true,  {}, juce::String ("600"), 950, 534 },
        { "height missing",        true,  juce::String ("1100"), {}, 1100, 619 },
        { "negative",              true,  juce::String ("-500"), juce::String ("-300"), 760, 428 },
        { "zero",                  true,  juce::String ("0"), juce::String ("0"), 760, 428 },
        { "huge",                  true,  juce::String ("99999999999"), juce::String ("99999999999"), 1186, 667 },
        { "int limit",             true,  juce::String ("2147483647"), juce::String ("2147483647"), 1186, 667 },
        { "huge exponent",         true,  juce::String ("1e300"), juce::String ("1e300"), 760, 428 }, // 1 x 1
        { "wide and flat",         true,  juce::String ("5000"), juce::String ("100"), 760, 428 },
        { "narrow and tall",       true,  juce::String ("100"), juce::String ("5000"), 760, 428 },
        { "not a number",          true,  juce::String ("wide"), juce::String ("tall"), 760, 428 },
        { "empty text",            true,  juce::String(), juce::String(), 760, 428 },
        { "not finite",            true,  juce::String ("inf"), juce::String ("nan"), 760, 428 },     // 0 x 0
        { "infinite",              true,  juce::String ("inf"), juce::String ("inf"), 760, 428 },
        { "not a number (nan)",    true,  juce::String ("nan"), juce::String ("nan"), 760, 428 },
        { "exponent under a limit", true, juce::String ("9e2"), juce::String ("5.34e2"), 760, 428 }, // 9 x 5
        { "fractions",             true,  juce::String ("1000.9"), juce::String ("562.7"), 1000, 562 },
        { "fraction under a pixel", true, juce::String ("0.9"), juce::String ("-0.9"), 760, 428 },
        { "units after the number", true, juce::String ("1066px"), juce::String (" 600 "), 1066, 600 },
    };

    for (const auto& c : cases)
    {
        auto p = makeProcessor();
        restoreWithWindowSize (*p, c.present, c.width, c.height);
        const auto otherState = stateWithoutWindowSize (*p);

        EditorHandle editor (*p);
        const auto size = editor->getLocalBounds();

        EXPECT_TRUE (insideTheLimits (size)) << c.what << ": " << size.toString();
        EXPECT_TRUE (constrainerKeeps (*editor, size)) << c.what << ": " << size.toString();
        EXPECT_EQ (size, juce::Rectangle<int> (c.expectedWidth, c.expectedHeight)) << c.what;
        EXPECT_EQ (storedSize (*p), size) << c.what;
        EXPECT_EQ (stateWithoutWindowSize (*p), otherState) << c.what;
        EXPECT_EQ (globalResizeRatio, (float) (size.getWidth() / 950.0)) << c.what;
    }
}

TEST (EditorSize, ResizeCornerDragsThroughTheConstrainer)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);

    juce::ResizableCornerComponent* corner = nullptr;
    for (auto* child : editor->getChildren())
        if (auto* c = dynamic_cast<juce::ResizableCornerComponent*> (child))
            corner = c;
    ASSERT_NE (corner, nullptr);

    struct Drag { juce::Point<float> by; int width, height; };
    const Drag drags[] = {
        { { 100.0f, 100.0f }, 1127, 634 },    // the height leads, the width follows at 16:9
        { { 1000.0f, 1000.0f }, 1186, 667 },  // held at the maximum
        { { -1000.0f, -1000.0f }, 760, 428 }, // held at the minimum
        { { 200.0f, 0.0f }, 960, 540 },       // wider only: the height follows
    };

    for (const auto& d : drags)
    {
        const auto start = juce::Point<float> (5.0f, 5.0f);
        dragWith (*corner, start, start + d.by);

        EXPECT_EQ (editor->getWidth(), d.width) << d.by.toString();
        EXPECT_EQ (editor->getHeight(), d.height) << d.by.toString();
        EXPECT_EQ (storedSize (*p), editor->getLocalBounds()) << d.by.toString();
        EXPECT_TRUE (constrainerKeeps (*editor, editor->getLocalBounds())) << d.by.toString();

        // The corner stays in the corner.
        EXPECT_EQ (corner->getRight(), editor->getWidth());
        EXPECT_EQ (corner->getBottom(), editor->getHeight());
    }
}

TEST (EditorSize, TwoInstancesKeepTheirOwnSizes)
{
    auto p1 = makeProcessor();
    auto p2 = makeProcessor();
    EditorHandle first (*p1);
    EditorHandle second (*p2);

    first->setBoundsConstrained ({ 0, 0, 1067, 600 });
    second->setBoundsConstrained ({ 0, 0, 800, 450 });

    EXPECT_EQ (storedSize (*p1), juce::Rectangle<int> (0, 0, 1067, 600));
    EXPECT_EQ (storedSize (*p2), juce::Rectangle<int> (0, 0, 800, 450));
    EXPECT_EQ (first->getWidth(), 1067);
    EXPECT_EQ (globalResizeRatio, (float) (800 / 950.0));

    // Each saved project carries its own size.
    auto restored1 = makeProcessor();
    auto restored2 = makeProcessor();
    const auto blob1 = saveState (*p1);
    const auto blob2 = saveState (*p2);
    restored1->setStateInformation (blob1.getData(), (int) blob1.getSize());
    restored2->setStateInformation (blob2.getData(), (int) blob2.getSize());

    EditorHandle again1 (*restored1);
    EditorHandle again2 (*restored2);
    EXPECT_EQ (again1->getLocalBounds(), juce::Rectangle<int> (1067, 600));
    EXPECT_EQ (again2->getLocalBounds(), juce::Rectangle<int> (800, 450));
}

TEST (EditorSize, AProcessorStateWithoutARootTreeGetsTheDefaultAndNothingStored)
{
    auto p = makeProcessor();
    auto saved = p->apvts.state;

    {
        // The value-tree state itself complains when it loses its root.
        ScopedJuceAssertionCapture stateComplaints;
        p->apvts.state = juce::ValueTree();
    }

    {
        // The editor does not: it opens at the default, follows resizes and
        // writes nowhere.
        EditorHandle editor (*p);
        EXPECT_EQ (editor->getLocalBounds(), juce::Rectangle<int> (950, 534));
        editor->setBoundsConstrained ({ 0, 0, 1067, 600 });
        EXPECT_EQ (editor->getWidth(), 1067);
        EXPECT_FALSE (p->apvts.state.isValid());
    }

    {
        ScopedJuceAssertionCapture stateComplaints;
        p->apvts.state = saved;
    }
    EXPECT_FALSE (windowSizeChild (*p).isValid());
}
