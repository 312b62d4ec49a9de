#include "CanvasTestSupport.h"
#include "EditorTestSupport.h"
#include "KeyPressSupport.h"
#include "LivePlayback.h"
#include "PictureMutation.h"

#include <cstdlib>

// The plug-in window opened and closed over and over on a processor that
// plays, with the host automating parameters before every block and the
// worker running passes: as a user does in a DAW, with the separate picture
// window, a drop's confirmation box or the open dialog still up at the moment
// the window closes. The window comes from the processor's createEditor and
// sits on the (virtual) X display with its timers running, so the sanitizer
// builds see it all. KESTRUNE_EDITOR_CYCLES sets the number of openings
// (default 100).

using namespace kestrune::test;
namespace fs = kestrune::test::files;

namespace
{
    int editorCycles()
    {
        if (const char* text = std::getenv ("KESTRUNE_EDITOR_CYCLES"))
            if (const auto value = std::atoi (text); value > 0)
                return value;

        return 100;
    }

    // Components of a kind on the desktop (windows, boxes, dialogs).
    template <typename Kind>
    int onDesktop()
    {
        int n = 0;
        auto& desktop = juce::Desktop::getInstance();
        for (int i = 0; i < desktop.getNumComponents(); ++i)
            n += dynamic_cast<Kind*> (desktop.getComponent (i)) != nullptr ? 1 : 0;
        return n;
    }

    // The drop's confirmation boxes open now.
    std::vector<juce::Component::SafePointer<juce::AlertWindow>> confirmationBoxes()
    {
        std::vector<juce::Component::SafePointer<juce::AlertWindow>> boxes;
        auto* modal = juce::ModalComponentManager::getInstance();

        for (int i = modal->getNumModalComponents(); --i >= 0;)
            if (auto* box = dynamic_cast<juce::AlertWindow*> (modal->getModalComponent (i)))
                if (box->getName() == "Confirmation")
                    boxes.emplace_back (box);

        return boxes;
    }

    // Clicks the box's button with this text, as the user would.
    void answer (juce::AlertWindow& box, const juce::String& text)
    {
        for (auto* child : box.getChildren())
            if (auto* button = dynamic_cast<juce::TextButton*> (child))
                if (button->getButtonText() == text)
                    button->triggerClick();
    }

    juce::String picturePath (KestruneAudioProcessor& p)
    {
        const juce::ScopedLock sl (p.pictureEditLock);
        return p.imageFilePath;
    }

    // The open dialog: "Open Img" launches it. Until the button's action is
    // in, the chooser is launched here the way the button launches it, so
    // that a window closing on a dialog still up is covered either way.
    bool openTheOpenDialog (KestruneAudioProcessorEditor& editor)
    {
        editor.openImageButton.triggerClick();
        pumpMessages (5);

        if (editor.imageChooser == nullptr)
        {
            editor.imageChooser = std::make_unique<juce::FileChooser> ("Select a Wave file to play...", juce::File(),
                                                                       "*.png;*.jpg;*.jpeg;*.bmp;*.PNG", true, false, nullptr);
            editor.imageChooser->launchAsync (juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles,
                                              [&processor = editor.audioProcessor] (const juce::FileChooser& chooser)
                                              {
                                                  if (const auto result = chooser.getResult(); result != juce::File())
                                                      processor.loadFile (result.getFullPathName(), true);
                                              });
        }

        pumpMessages (5);
        return onDesktop<juce::FileChooserDialogBox>() == 1;
    }
}

//==============================================================================
TEST (WindowUnderLoad, OpensAndClosesOverAndOverWhilePlaying)
{
    if (! keys::haveDisplay())
        GTEST_SKIP() << "no X display";

    const auto cycles = editorCycles();
    auto p = makeProcessor();
    p->loadFile (fs::writeFile ("cycles.png", fs::pngOf (fs::patternPicture (900, 400))).getFullPathName(), true);
    ASSERT_TRUE (adoptPending (*p));

    const auto dropped = fs::writeFile ("cycles-dropped.png", fs::pngOf (fs::patternPicture (64, 48))).getFullPathName();
    const auto pathBefore = picturePath (*p);
    const auto windowsBefore = juce::Desktop::getInstance().getNumComponents();
    const auto passesBefore = p->workerPasses.load();

    LivePlayback playback (*p);
    int closedWithSeparateWindow = 0, closedWithBox = 0, closedWithDialog = 0;
    std::vector<juce::Component::SafePointer<juce::AlertWindow>> leftBoxes;

    for (int i = 0; i < cycles; ++i)
    {
        EditorHandle editor (*p);
        editor->setTopLeftPosition (60, 60);
        editor->addToDesktop (0);
        editor->setVisible (true);
        pumpMessages (25); // its timers fire and it paints

        // A box left by the window before this one is answered now: "Yes"
        // would load the dropped picture, but the canvas that asked is gone.
        for (auto& box : leftBoxes)
            if (box != nullptr)
                answer (*box, "Yes");
        leftBoxes.clear();

        // A stroke, a zoom, an interval and an undo.
        auto& canvasArea = editor->parentTargetArea.targetArea;
        canvas::Gesture (canvasArea).press (40, 40, canvas::left | canvas::shift)
                                    .drag (90, 70, canvas::left | canvas::shift)
                                    .release (90, 70, canvas::left | canvas::shift);
        canvas::wheel (canvasArea, i % 2 == 0 ? 0.1f : -0.1f);
        canvas::Gesture (canvasArea).press (10, 20, canvas::left).drag (150, 20, canvas::left).release (150, 20, canvas::left);
        keys::undoKey (*editor);

        // What is still up when the window closes.
        switch (i % 4)
        {
            case 1:
                // Closed before the message loop runs again: a full-screen
                // window's paints take seconds under ThreadSanitizer, and the
                // separate window's own tests paint it.
                EXPECT_TRUE (keys::windowKey (*editor));
                EXPECT_EQ (onDesktop<SeparateImageWindow>(), 1);
                ++closedWithSeparateWindow;
                editor.close();
                break;
            case 2:
                canvasArea.filesDropped ({ dropped }, 30, 30);
                leftBoxes = confirmationBoxes();
                EXPECT_EQ (leftBoxes.size(), 1u);
                ++closedWithBox;
                break;
            case 3:
                EXPECT_TRUE (openTheOpenDialog (*editor));
                ++closedWithDialog;
                break;
            default:
                break;
        }

        if (editor.get() != nullptr)
        {
            pumpMessages (10);
            editor.close();
        }

        EXPECT_EQ (onDesktop<SeparateImageWindow>(), 0) << "cycle " << i;
        EXPECT_EQ (onDesktop<juce::FileChooserDialogBox>(), 0) << "cycle " << i;
        EXPECT_EQ (p->getActiveEditor(), nullptr);
        pumpMessages (5);
    }

    for (auto& box : leftBoxes)
        if (box != nullptr)
            answer (*box, "No");
    pumpMessages (50);

    playback.stop();

    // Nothing stays behind, and no late answer loaded anything.
    EXPECT_TRUE (confirmationBoxes().empty());
    EXPECT_EQ (juce::Desktop::getInstance().getNumComponents(), windowsBefore);
    EXPECT_EQ (picturePath (*p), pathBefore);
    EXPECT_FALSE (p->newImagePending.load());

    // The cycles ran with everything else running.
    EXPECT_GE (closedWithSeparateWindow + closedWithBox + closedWithDialog, cycles * 3 / 4);
    EXPECT_GT (playback.blocks(), cycles);
    EXPECT_EQ (playback.nonFiniteBlocks(), 0);
    EXPECT_GT (p->workerPasses.load(), passesBefore + (juce::uint32) cycles / 10);

    std::cout << "[ cycles   ] " << cycles << " openings: " << closedWithSeparateWindow << " closed over the separate window, "
              << closedWithBox << " over a confirmation box, " << closedWithDialog << " over the open dialog; "
              << playback.blocks() << " blocks, longest " << playback.longestBlockMs() << " ms; "
              << (p->workerPasses.load() - passesBefore) << " worker passes" << std::endl;
}
