#include "EditorTestSupport.h"
#include "PanelTestSupport.h"
#include "PictureTestSupport.h"
#include "PictureFiles.h"

// The three buttons under the scan panel: "Open Img" with its file chooser,
// "Reset Drawing" and "Reset All", in the real editor of a real processor
// whose worker runs; this thread adopts pending pictures as an audio block
// would. The open dialog is JUCE's own where no desktop dialog program is
// installed; those tests drive it like a user and need a display.

using namespace kestrune::test;

namespace
{
    class OpenResetButtons : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            p = makeProcessor();
            ASSERT_TRUE (adoptPending (*p));
            editor = std::make_unique<EditorHandle> (*p);
        }

        void TearDown() override
        {
            editor.reset();
            pumpMessages (20);
            EXPECT_TRUE (chooserDialogs().empty()) << "a dialog was left on the screen";
            p.reset();
        }

        KestruneAudioProcessorEditor& e() { return **editor; }

        juce::String pathProperty (const char* name)
        {
            return p->getStateChild ("ImagePath").getProperty (name).toString();
        }

        juce::String picturePath()
        {
            const juce::ScopedLock sl (criticalSection);
            return p->imageFilePath;
        }

        juce::Rectangle<int> sourceBounds()
        {
            const juce::ScopedLock sl (criticalSection);
            return p->sourceImage.getBounds();
        }

        bool sourceIsDefaultPicture()
        {
            const juce::ScopedLock sl (criticalSection);
            return kestrune::pictures::isOpaqueBlack (p->sourceImage, 480, 330);
        }

        // A stroke on the pen layer (a filled rectangle over the middle).
        void stroke()
        {
            setPlain (*p, "penColour", 0.0f);
            setPlain (*p, "penStyle", 4.0f);
            std::vector<juce::Point<float>> points { { 0.3f, 0.3f }, { 0.7f, 0.7f } };
            p->drawShape (points);
        }

        bool penLayerEmpty()
        {
            const juce::ScopedLock sl (criticalSection);
            const auto& layer = p->drawLayer;
            for (int y = 0; y < layer.getHeight(); y += 3)
                for (int x = 0; x < layer.getWidth(); x += 3)
                    if (layer.getPixelAt (x, y).getAlpha() != 0)
                        return false;
            return true;
        }

        std::pair<int, int> history() // { undoIndex, snapshots }
        {
            const juce::ScopedLock sl (criticalSection);
            return { p->undoIndex, (int) p->undoImages.size() };
        }

        juce::File picture (const juce::String& name, int w, int h)
        {
            return writeBytes (name, encodePng (solidImage (w, h, juce::Colours::white)));
        }

        // Every file chooser dialog on the desktop.
        static std::vector<juce::FileChooserDialogBox*> chooserDialogs()
        {
            std::vector<juce::FileChooserDialogBox*> found;
            auto& desktop = juce::Desktop::getInstance();
            for (int i = 0; i < desktop.getNumComponents(); ++i)
                if (auto* box = dynamic_cast<juce::FileChooserDialogBox*> (desktop.getComponent (i)))
                    found.push_back (box);
            return found;
        }

        template <typename Type>
        static Type* findChild (juce::Component& parent, const std::function<bool (Type&)>& matches = {})
        {
            for (auto* child : parent.getChildren())
            {
                if (auto* typed = dynamic_cast<Type*> (child))
                    if (! matches || matches (*typed))
                        return typed;

                if (auto* deeper = findChild<Type> (*child, matches))
                    return deeper;
            }
            return nullptr;
        }

        static juce::TextButton* dialogButton (juce::FileChooserDialogBox& box, const juce::String& text)
        {
            return findChild<juce::TextButton> (box, [&text] (juce::TextButton& b) { return b.getButtonText() == text; });
        }

        // Why the tests that drive JUCE's own dialog cannot run here, or nullptr when they can.
        static const char* whyJuceDialogCannotRun()
        {
            if (! displayAvailable())
                return "needs a display (run under Xvfb)";
            if (juce::FileChooser::isPlatformDialogAvailable())
                return "a desktop dialog program is installed; this drives JUCE's own dialog";
            return nullptr;
        }

        // Clicks "Open Img" and points the one dialog it opens at `file`.
        void openDialogAt (const juce::File& file, juce::FileChooserDialogBox*& dialog)
        {
            panels::click (e().openImageButton);
            pumpMessages (50);
            auto dialogs = chooserDialogs();
            ASSERT_EQ (dialogs.size(), 1u);
            dialog = dialogs.front();
            auto* browser = findChild<juce::FileBrowserComponent> (*dialog);
            ASSERT_NE (browser, nullptr);
            browser->setRoot (file.getParentDirectory());
            browser->setFileName (file.getFileName());
        }

        std::unique_ptr<KestruneAudioProcessor> p;
        std::unique_ptr<EditorHandle> editor;
    };
}

//==============================================================================
// The chooser's result

TEST_F (OpenResetButtons, AChosenPictureIsLoadedKeepingTheParameters)
{
    const struct { const char* name; int w, h; bool linkedFromImagesFolder; } files[] {
        { "chosen.png", 40, 30, false }, { "CHOSEN-UPPER.PNG", 50, 20, false }, { "linked.png", 36, 24, true } };

    for (const auto& f : files)
    {
        SCOPED_TRACE (f.name);
        setPlain (*p, "zoom", 2.0f);
        setPlain (*p, "drywet", 0.3f);
        auto file = picture (f.name, f.w, f.h);

        if (f.linkedFromImagesFolder)
        {
            const auto link = imagesFolder().getChildFile (f.name);
            link.deleteFile();
            ASSERT_TRUE (file.createSymbolicLink (link, true));
            file = link;
        }

        e().imageChosen (file);
        EXPECT_EQ (pathProperty ("path"), file.getFullPathName());
        EXPECT_TRUE (pathProperty ("pathDraw").contains ("imageDraw")) << "a new pen-layer file";
        ASSERT_TRUE (adoptPending (*p));

        EXPECT_EQ (sourceBounds(), juce::Rectangle<int> (f.w, f.h));
        EXPECT_EQ (picturePath(), file.getFullPathName());
        EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 2.0f);
        EXPECT_FLOAT_EQ (plainValue (*p, "drywet"), 0.3f);
    }
}

TEST_F (OpenResetButtons, ACancelledDialogChangesNothing)
{
    const auto generation = p->pendingGeneration.load();
    const auto path = pathProperty ("path");

    e().imageChosen (juce::File());

    EXPECT_EQ (p->pendingGeneration.load(), generation);
    EXPECT_FALSE (p->newImagePending.load());
    EXPECT_EQ (pathProperty ("path"), path);
    EXPECT_TRUE (sourceIsDefaultPicture());
}

TEST_F (OpenResetButtons, ADamagedFileIsLoadedAndLeavesNoPicture)
{
    // A PNG cut off after half its bytes.
    const auto whole = encodePng (solidImage (40, 30, juce::Colours::white));
    const auto damaged = writeBytes ("damaged.png", whole.getData(), whole.getSize() / 2);
    setPlain (*p, "zoom", 2.0f);
    const auto alerts = p->imageAlertsRequested.load();

    e().imageChosen (damaged);
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_FALSE (p->sourceImagePresent.load());
    EXPECT_EQ (sourceBounds(), juce::Rectangle<int>());
    EXPECT_EQ (pathProperty ("path"), damaged.getFullPathName());
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 2.0f);
    EXPECT_EQ (p->imageAlertsRequested.load(), alerts) << "an open reports nothing";

    // A good picture chosen next is there again.
    e().imageChosen (picture ("after-damaged.png", 20, 10));
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_EQ (sourceBounds(), juce::Rectangle<int> (20, 10));
}

//==============================================================================
// The dialog itself

TEST_F (OpenResetButtons, OpenImgShowsTheDialogAndASecondClickReplacesIt)
{
    if (const auto* why = whyJuceDialogCannotRun())
        GTEST_SKIP() << why;

    panels::click (e().openImageButton);
    pumpMessages (50);

    auto dialogs = chooserDialogs();
    ASSERT_EQ (dialogs.size(), 1u);
    juce::Component::SafePointer<juce::FileChooserDialogBox> first (dialogs.front());
    EXPECT_EQ (first->getName(), "Select a Wave file to play...");
    EXPECT_TRUE (first->isCurrentlyModal());
    EXPECT_NE (e().imageChooser, nullptr);

    // Files only, to open, by the picture patterns (this dialog compares
    // names ignoring case); no GIF.
    auto* browser = findChild<juce::FileBrowserComponent> (*first);
    ASSERT_NE (browser, nullptr);
    EXPECT_FALSE (browser->isSaveMode());
    EXPECT_EQ (browser->getActionVerb(), "Open");
    for (const auto* name : { "a.png", "a.PNG", "a.jpg", "a.jpeg", "a.bmp" })
        EXPECT_TRUE (browser->isFileSuitable (juce::File ("/tmp").getChildFile (name))) << name;
    for (const auto* name : { "a.gif", "a.GIF", "a.tif", "a.txt", "png" })
        EXPECT_FALSE (browser->isFileSuitable (juce::File ("/tmp").getChildFile (name))) << name;

    // A second click replaces the chooser: the first dialog goes, a second
    // one opens. This dialog is modal and blocks the button, a desktop
    // dialog does not: the click's handler runs as such a click runs it.
    const auto* firstChooser = e().imageChooser.get();
    e().openImageButton.onClick();
    pumpMessages (50);
    EXPECT_NE (e().imageChooser.get(), firstChooser);
    EXPECT_EQ (first.getComponent(), nullptr);
    dialogs = chooserDialogs();
    ASSERT_EQ (dialogs.size(), 1u);

    // Cancelled: nothing changes, the dialog goes.
    const auto generation = p->pendingGeneration.load();
    auto* cancel = dialogButton (*dialogs.front(), "Cancel");
    ASSERT_NE (cancel, nullptr);
    panels::click (*cancel);
    pumpMessages (50);
    EXPECT_TRUE (chooserDialogs().empty());
    EXPECT_EQ (p->pendingGeneration.load(), generation);
    EXPECT_TRUE (sourceIsDefaultPicture());
}

TEST_F (OpenResetButtons, AFilePickedInTheDialogIsLoaded)
{
    if (const auto* why = whyJuceDialogCannotRun())
        GTEST_SKIP() << why;

    const auto file = picture ("picked.PNG", 64, 16);
    setPlain (*p, "zoom", 1.5f);

    juce::FileChooserDialogBox* dialog = nullptr;
    ASSERT_NO_FATAL_FAILURE (openDialogAt (file, dialog));
    pumpMessages (50);

    auto* open = dialogButton (*dialog, "Open");
    ASSERT_NE (open, nullptr);
    ASSERT_TRUE (open->isEnabled());
    panels::click (*open);
    pumpMessages (50);

    EXPECT_TRUE (chooserDialogs().empty());
    EXPECT_EQ (pathProperty ("path"), file.getFullPathName());
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_EQ (sourceBounds(), juce::Rectangle<int> (64, 16));
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 1.5f);
}

TEST_F (OpenResetButtons, ClosingTheEditorWithTheDialogOpenLoadsNothing)
{
    if (const auto* why = whyJuceDialogCannotRun())
        GTEST_SKIP() << why;

    const auto file = picture ("never-loaded.png", 30, 30);
    const auto generation = p->pendingGeneration.load();

    juce::FileChooserDialogBox* dialog = nullptr;
    ASSERT_NO_FATAL_FAILURE (openDialogAt (file, dialog));

    // The host closes the window while the dialog is open, then the processor
    // goes too: the dialog goes with the editor, and nothing it left behind
    // fires into either.
    editor.reset();
    pumpMessages (100);
    EXPECT_TRUE (chooserDialogs().empty());
    EXPECT_EQ (juce::Component::getCurrentlyModalComponent(), nullptr);
    EXPECT_EQ (p->pendingGeneration.load(), generation);
    EXPECT_NE (pathProperty ("path"), file.getFullPathName());

    p.reset();
    pumpMessages (100);
}

//==============================================================================
// The reset buttons

TEST_F (OpenResetButtons, ResetDrawingKeepsThePictureAndTheParametersAndClearsThePenLayer)
{
    stroke();
    ASSERT_FALSE (penLayerEmpty());
    ASSERT_EQ (history(), std::make_pair (2, 2));
    ASSERT_TRUE (pathProperty ("pathDraw").contains ("imageDraw"));
    setPlain (*p, "zoom", 1.5f);
    p->showHelpText = false;

    panels::click (e().resetDrawingButton);

    // At the click: the help text, an empty history and no pen-layer path.
    EXPECT_TRUE (p->showHelpText.load());
    EXPECT_EQ (history(), std::make_pair (0, 0));
    EXPECT_EQ (pathProperty ("pathDraw"), "");
    EXPECT_TRUE (p->keepParams.load());

    // At the next block: the same picture, a fresh layer, the parameters as they were.
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_TRUE (sourceIsDefaultPicture());
    EXPECT_TRUE (penLayerEmpty());
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 1.5f);
    EXPECT_EQ (pathProperty ("pathDraw"), "");

    // The next stroke names a new pen-layer file.
    stroke();
    EXPECT_TRUE (pathProperty ("pathDraw").contains ("imageDraw"));
}

TEST_F (OpenResetButtons, ResetAllAfterOpeningAPictureBringsTheDefaults)
{
    e().imageChosen (picture ("before-reset.png", 40, 30));
    ASSERT_TRUE (adoptPending (*p));
    setPlain (*p, "zoom", 2.0f);
    setPlain (*p, "drywet", 0.3f);
    stroke();
    p->showHelpText = false;

    panels::click (e().resetAllButton);
    EXPECT_TRUE (p->showHelpText.load());
    EXPECT_EQ (history(), std::make_pair (0, 0));
    EXPECT_EQ (pathProperty ("path"), p->getFilePath ("imageDegault.png"));
    EXPECT_EQ (pathProperty ("pathDraw"), "");

    ASSERT_TRUE (adoptPending (*p));
    EXPECT_TRUE (sourceIsDefaultPicture());
    EXPECT_TRUE (penLayerEmpty());
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 0.0f);
    EXPECT_FLOAT_EQ (plainValue (*p, "drywet"), 1.0f);
    EXPECT_EQ (picturePath(), p->getFilePath ("imageDegault.png"));
}

TEST_F (OpenResetButtons, ResetDrawingThenResetAllBeforeTheNextBlockKeepTheParameters)
{
    e().imageChosen (picture ("two-resets.png", 40, 30));
    ASSERT_TRUE (adoptPending (*p));
    setPlain (*p, "zoom", 1.25f);

    panels::click (e().resetDrawingButton);
    panels::click (e().resetAllButton);
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_TRUE (sourceIsDefaultPicture());
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 1.25f);
    EXPECT_EQ (pathProperty ("path"), p->getFilePath ("imageDegault.png"));
    EXPECT_EQ (pathProperty ("pathDraw"), "");
}

TEST_F (OpenResetButtons, ResetsRightAfterAnOpenWhosePictureIsPrepared)
{
    // "Open Img", the worker prepares its chain, and before a block adopts
    // it the user clicks a reset button: the reset's hand-over wins.
    setPlain (*p, "zoom", 2.0f);

    e().imageChosen (picture ("prepared-open.png", 40, 30));
    ASSERT_TRUE (chainPrepared (*p));
    panels::click (e().resetAllButton);
    ASSERT_TRUE (adoptPending (*p));

    // The default picture; the parameters kept, as the open waiting for
    // its adoption asked (the reset leaves that choice as it stands).
    EXPECT_TRUE (sourceIsDefaultPicture());
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 2.0f);
    EXPECT_EQ (picturePath(), p->getFilePath ("imageDegault.png"));
    EXPECT_EQ (pathProperty ("pathDraw"), "");

    // "Reset Drawing" in the same place: the opened picture, with the
    // parameters kept and an empty pen layer.
    setPlain (*p, "zoom", 1.5f);
    const auto file = picture ("prepared-open-2.png", 36, 24);
    e().imageChosen (file);
    ASSERT_TRUE (chainPrepared (*p));
    panels::click (e().resetDrawingButton);
    ASSERT_TRUE (adoptPending (*p));

    EXPECT_EQ (sourceBounds(), juce::Rectangle<int> (36, 24));
    EXPECT_EQ (picturePath(), file.getFullPathName());
    EXPECT_FLOAT_EQ (plainValue (*p, "zoom"), 1.5f);
    EXPECT_TRUE (penLayerEmpty());
    EXPECT_EQ (history(), std::make_pair (1, 1));
    EXPECT_EQ (pathProperty ("pathDraw"), "");
}
