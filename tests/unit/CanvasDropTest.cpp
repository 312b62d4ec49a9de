#include "CanvasTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::canvas;

namespace
{
    juce::StringArray buttonTexts (juce::AlertWindow& box)
    {
        juce::StringArray texts;
        for (auto* child : box.getChildren())
            if (auto* button = dynamic_cast<juce::TextButton*> (child))
                texts.add (button->getButtonText());
        return texts;
    }

    // Clicks a button of the box as the user would, and lets the answer arrive.
    void answer (juce::AlertWindow& box, const juce::String& buttonText)
    {
        clickBoxButton (box, buttonText);
        pumpMessages (100);
    }

    void closeAllBoxes()
    {
        for (auto& box : confirmationBoxes())
            box->exitModalState (0);
        pumpMessages (50);
    }

    juce::String pictureOnDisk (const juce::String& name)
    {
        return writeBytes (name, encodePng (solidImage (64, 48, juce::Colours::white))).getFullPathName();
    }

    class CanvasDrop : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            if (! displayAvailable())
                GTEST_SKIP() << "no display: the confirmation boxes need a window system";
            tolerateXErrors();
            closeAllBoxes();
        }

        void TearDown() override
        {
            if (displayAvailable())
                closeAllBoxes();
        }
    };
}

//==============================================================================
TEST (CanvasDropFilter, PictureNamesAreRecognisedCaseSensitivelyAnywhereInThePath)
{
    auto p = makeProcessor();
    TargetArea canvas (*p);

    EXPECT_TRUE (canvas.isInterestedInFileDrag ({ "/a/shot.png", "/a/notes.txt" }));
    EXPECT_FALSE (canvas.isInterestedInFileDrag ({ "/a/notes.txt" }));
    EXPECT_FALSE (canvas.isInterestedInFileDrag ({ "/a/PHOTO.JPG" }));
    EXPECT_FALSE (canvas.isInterestedInFileDrag ({ "/a/photo.Jpeg", "/a/x.GIF", "/a/y.BMP", "/a/z.Png" }));
    EXPECT_FALSE (canvas.isInterestedInFileDrag ({}));

    for (auto name : { "a.jpg", "a.jpeg", "a.png", "a.PNG", "a.bmp", "a.gif", "/pics.png/readme", "x.gif.bak" })
        EXPECT_TRUE (canvas.isInterestedInFileDrag ({ name })) << name;
}

TEST_F (CanvasDrop, EveryPathOfAnAcceptedDropGetsItsOwnBox)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    const auto png = pictureOnDisk ("dropped.png");
    const auto text = writeBytes ("notes.txt", "hello", 5).getFullPathName();

    rig.canvas().filesDropped ({ png, text }, 10, 10);
    auto boxes = confirmationBoxes();
    ASSERT_EQ (boxes.size(), 2u);

    for (auto& box : boxes)
    {
        EXPECT_EQ (box->getDescription(), "Confirmation. Do you want to init all parameters?"); // title and message
        EXPECT_EQ (buttonTexts (*box), juce::StringArray ({ "Yes", "No", "Cancel All" }));
    }

    // "Cancel All" on the text file's box leaves it unloaded; "Yes" on the
    // picture's loads it with the parameters returned to their defaults.
    setPlain (p, "zoom", 2.0f);
    answer (*boxes[1], "Cancel All");
    EXPECT_FALSE (p.newImagePending.load());
    answer (*boxes[0], "Yes");
    EXPECT_TRUE (confirmationBoxes().empty());

    ASSERT_TRUE (p.newImagePending.load());
    EXPECT_FALSE (p.keepParams.load());
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_EQ (p.imageFilePath, png);
    }
    ASSERT_TRUE (adoptPending (p));
    EXPECT_EQ (plainValue (p, "zoom"), 0.0f);
}

TEST_F (CanvasDrop, NoLoadsKeepingTheParametersARefusedDropOpensNothing)
{
    Rig rig (400, 300);
    auto& p = rig.p();

    rig.canvas().filesDropped ({ writeBytes ("notes.txt", "hello", 5).getFullPathName() }, 10, 10);
    EXPECT_TRUE (confirmationBoxes().empty());

    const auto png = pictureOnDisk ("kept.png");
    rig.canvas().filesDropped ({ png }, 10, 10);
    auto boxes = confirmationBoxes();
    ASSERT_EQ (boxes.size(), 1u);

    setPlain (p, "zoom", 2.0f);
    answer (*boxes[0], "No");
    ASSERT_TRUE (p.newImagePending.load());
    EXPECT_TRUE (p.keepParams.load());
    ASSERT_TRUE (adoptPending (p));
    EXPECT_EQ (plainValue (p, "zoom"), 2.0f);
}

TEST_F (CanvasDrop, ABoxAnsweredAfterTheWindowOrThePlugInIsGoneDoesNothing)
{
    Rig rig (400, 300);
    auto& p = rig.p();
    juce::String pathBefore;
    {
        const juce::ScopedLock sl (criticalSection);
        pathBefore = p.imageFilePath;
    }

    rig.canvas().filesDropped ({ pictureOnDisk ("late1.png"), pictureOnDisk ("late2.png") }, 10, 10);
    auto boxes = confirmationBoxes();
    ASSERT_EQ (boxes.size(), 2u);

    // The window closes; its processor lives on.
    rig.frame.reset();
    answer (*boxes[0], "Yes");
    EXPECT_FALSE (p.newImagePending.load());
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_EQ (p.imageFilePath, pathBefore);
    }

    // Then the plug-in goes too, and the last box is answered.
    rig.processor.reset();
    answer (*boxes[1], "No");
    EXPECT_TRUE (confirmationBoxes().empty());
}
