#include "EditorTestSupport.h"
#include "PanelTestSupport.h"

#include <cmath>

using namespace kestrune::test;

namespace
{
    using R = juce::Rectangle<int>;

    // Where every child goes at one window size.
    struct LayoutRow
    {
        int width, height;
        float ratio;
        R imageFreq, imageFrame, frame, spectrumFreq, spectrum, spectrumDb;
        R affine, image, scan, resetAll, resetDrawing, open;
    };

    const LayoutRow layouts[] = {
        { 950, 534, 1.0f,
          { 0, 400, 400, 15 }, { 20, 380, 514, 20 }, { 20, 0, 514, 380 },
          { 20, 514, 514, 20 }, { 20, 400, 514, 114 }, { 0, 514, 114, 15 },
          { 537, 3, 77, 528 }, { 620, 3, 139, 528 }, { 765, 3, 182, 488 },
          { 764, 496, 58, 36 }, { 826, 496, 59, 36 }, { 889, 496, 59, 36 } },
        { 760, 427, 0.8f,
          { 0, 320, 320, 15 }, { 20, 300, 407, 20 }, { 20, 0, 407, 300 },
          { 20, 407, 407, 20 }, { 20, 320, 407, 87 }, { 0, 407, 87, 15 },
          { 430, 3, 60, 421 }, { 496, 3, 109, 421 }, { 611, 3, 146, 389 },
          { 610, 397, 46, 28 }, { 660, 397, 47, 28 }, { 711, 397, 47, 28 } },
        { 1187, 667, 1.2494737f,
          { 0, 500, 500, 15 }, { 20, 480, 647, 20 }, { 20, 0, 647, 480 },
          { 20, 647, 647, 20 }, { 20, 500, 647, 147 }, { 0, 647, 147, 15 },
          { 670, 3, 98, 661 }, { 774, 3, 176, 661 }, { 956, 3, 228, 611 },
          { 955, 619, 74, 46 }, { 1033, 619, 74, 46 }, { 1111, 619, 74, 46 } },
    };

    std::string at (const LayoutRow& row)
    {
        return std::to_string (row.width) + " x " + std::to_string (row.height);
    }
}

TEST (EditorLayout, ChildrenAtTheThreeSizes)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);

    for (const auto& row : layouts)
    {
        // Set directly (as a host does after its own size check), so the
        // minimum 760 x 427 is laid out as it is.
        editor->setSize (row.width, row.height);
        ASSERT_EQ (editor->getWidth(), row.width);
        ASSERT_EQ (editor->getHeight(), row.height);

        EXPECT_EQ (editor->imageFreqLabel.getBounds(), row.imageFreq) << at (row);
        EXPECT_EQ (editor->imageFrameLabel.getBounds(), row.imageFrame) << at (row);
        EXPECT_EQ (editor->parentTargetArea.getBounds(), row.frame) << at (row);
        EXPECT_EQ (editor->spectrumFreqLabel.getBounds(), row.spectrumFreq) << at (row);
        EXPECT_EQ (editor->spectrumView.getBounds(), row.spectrum) << at (row);
        EXPECT_EQ (editor->spectrumDbLabel.getBounds(), row.spectrumDb) << at (row);
        EXPECT_EQ (editor->affineTransformPanel.getBounds(), row.affine) << at (row);
        EXPECT_EQ (editor->imageManupulationPanel.getBounds(), row.image) << at (row);
        EXPECT_EQ (editor->scanPanel.getBounds(), row.scan) << at (row);
        EXPECT_EQ (editor->resetAllButton.getBounds(), row.resetAll) << at (row);
        EXPECT_EQ (editor->resetDrawingButton.getBounds(), row.resetDrawing) << at (row);
        EXPECT_EQ (editor->openImageButton.getBounds(), row.open) << at (row);

        EXPECT_EQ (globalResizeRatio, row.ratio) << at (row);
    }
}

TEST (EditorLayout, CaptionsBesideTheCanvasAndSpectrumReadUpward)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);

    for (const auto& row : layouts)
    {
        editor->setSize (row.width, row.height);

        for (auto* label : { &editor->imageFreqLabel, &editor->spectrumDbLabel })
        {
            // A rotation by -1.57 rad (not quite a quarter turn) about the
            // label's own top-left corner.
            const auto t = label->getTransform();
            EXPECT_NEAR (t.mat00, 0.000796274f, 1.0e-7f);
            EXPECT_NEAR (t.mat10, -0.9999997f, 1.0e-7f);
            EXPECT_NEAR (t.mat01, 0.9999997f, 1.0e-7f);
            EXPECT_NEAR (t.mat11, 0.000796274f, 1.0e-7f);

            auto corner = label->getPosition().toFloat();
            t.transformPoint (corner.x, corner.y);
            EXPECT_NEAR (corner.x, (float) label->getX(), 1.0e-3f) << at (row);
            EXPECT_NEAR (corner.y, (float) label->getY(), 1.0e-3f) << at (row);
        }

        // The canvas caption stands in the strip x 0..15 from the top down to
        // the canvas frame's lower caption; the spectrum caption in the same
        // strip beside the spectrum view.
        const auto imageFreq = boundsInParent (editor->imageFreqLabel);
        EXPECT_NEAR (imageFreq.getX(), 0.0f, 0.01f) << at (row);
        EXPECT_NEAR (imageFreq.getRight(), 15.0f, 0.5f) << at (row);
        EXPECT_NEAR (imageFreq.getY(), 0.0f, 0.05f) << at (row);
        EXPECT_NEAR (imageFreq.getBottom(), (float) row.frame.getBottom() + 20.0f, 0.05f) << at (row);

        const auto spectrumDb = boundsInParent (editor->spectrumDbLabel);
        EXPECT_NEAR (spectrumDb.getX(), 0.0f, 0.01f) << at (row);
        EXPECT_NEAR (spectrumDb.getRight(), 15.0f, 0.5f) << at (row);
        EXPECT_NEAR (spectrumDb.getY(), (float) row.spectrum.getY(), 0.05f) << at (row);
        EXPECT_NEAR (spectrumDb.getBottom(), (float) row.spectrum.getBottom(), 0.05f) << at (row);
    }
}

TEST (EditorLayout, PortraitWindowShowsTheSmallestLayoutScaledToItsWidth)
{
    // No constrainer lets a window taller than wide through, but a host may
    // set one without asking: the window shows itself as at the smallest size
    // it answers, 760 x 428, drawn smaller to fit the width.
    auto p = makeProcessor();
    EditorHandle editor (*p);

    editor->setSize (760, 428);
    const auto frame = editor->parentTargetArea.getBounds();
    const auto open = editor->openImageButton.getBounds();

    editor->setSize (300, 600);
    EXPECT_EQ (editor->parentTargetArea.getBounds(), frame);
    EXPECT_EQ (editor->openImageButton.getBounds(), open);
    EXPECT_EQ (editor->parentTargetArea.getTransform(), juce::AffineTransform::scale (300.0f / 760.0f));
    EXPECT_TRUE (editor->getLocalBounds().toFloat().contains (boundsInParent (editor->openImageButton)));
}

// Sizes a host gives only for a moment (Ardour: 1 x 1 while it opens the
// window) are not asked about once the host has set a size the window allows.
TEST (EditorLayout, SizesOfAMomentAreNotAskedAbout)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);

    for (const auto passing : { R (0, 0, 1, 1), R (0, 0, 1150, 566) })
    {
        editor->setSize (passing.getWidth(), passing.getHeight());
        pumpMessages (1);
        EXPECT_EQ (editor->getLocalBounds().toString(), passing.toString()) << "asked at once";
        editor->setSize (950, 534);
        pumpMessages (300);
        EXPECT_EQ (editor->getLocalBounds().toString(), R (0, 0, 950, 534).toString()) << passing.toString();
    }
}

// The global ratio follows the latest layout of any editor, while each of two
// windows of different widths draws its knobs' values and captions and lays
// out its panels at its own scale, whichever was laid out last.
TEST (EditorLayout, GlobalRatioFollowsTheLatestLayoutAndEachWindowScalesByItsOwn)
{
    auto p1 = makeProcessor();
    auto p2 = makeProcessor();
    EditorHandle first (*p1);
    EditorHandle second (*p2);

    first->setSize (1186, 667);
    EXPECT_EQ (globalResizeRatio, (float) (1186 / 950.0));
    second->setSize (760, 427);
    EXPECT_EQ (globalResizeRatio, 0.8f);

    struct Row { KestruneAudioProcessorEditor& window; float ratio; };

    for (const auto& row : { Row { *first, (float) (1186 / 950.0) }, Row { *second, 0.8f } })
    {
        // "Bar": its value, then its caption.
        const panels::Recording drawing (row.window.scanPanel.barKnob);
        const auto& glyphs = drawing.context.glyphs;
        ASSERT_FALSE (glyphs.empty());
        EXPECT_NEAR (glyphs.front().fontHeight, 16.5f * row.ratio, 0.001f) << row.window.getWidth();
        EXPECT_NEAR (glyphs.back().fontHeight, 14.0f * row.ratio, 0.001f) << row.window.getWidth();

        // Laid out again (as a click on a direction button does): "PLAY" is 30 rows at 950.
        row.window.scanPanel.resized();
        EXPECT_EQ (row.window.scanPanel.playLabel.getHeight(), (int) (row.ratio * 30.0f)) << row.window.getWidth();
    }

    // Closing an editor leaves the value of the last layout in place.
    second.close();
    EXPECT_EQ (globalResizeRatio, 0.8f);
    first->setSize (950, 534);
    EXPECT_EQ (globalResizeRatio, 1.0f);
}

//==============================================================================
TEST (EditorWindow, TwelveChildrenInOrderAndTheTooltipWindowApart)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);
    auto& e = *editor;

    const juce::Component* expected[] = {
        &e.parentTargetArea, &e.spectrumView, &e.affineTransformPanel, &e.imageManupulationPanel,
        &e.scanPanel, &e.resetDrawingButton, &e.spectrumFreqLabel, &e.spectrumDbLabel,
        &e.imageFreqLabel, &e.imageFrameLabel, &e.resetAllButton, &e.openImageButton,
    };

    // JUCE's resize corner is the editor's one further child, kept on top.
    ASSERT_EQ (e.getNumChildComponents(), 13);
    for (int i = 0; i < 12; ++i)
    {
        EXPECT_EQ (e.getChildComponent (i), expected[i]) << i;
        EXPECT_TRUE (expected[i]->isVisible()) << i;
    }

    auto* corner = dynamic_cast<juce::ResizableCornerComponent*> (e.getChildComponent (12));
    ASSERT_NE (corner, nullptr);
    EXPECT_TRUE (corner->isAlwaysOnTop());
    EXPECT_EQ (corner->getRight(), e.getWidth());
    EXPECT_EQ (corner->getBottom(), e.getHeight());

    EXPECT_EQ (e.tooltipWindow.getParentComponent(), nullptr);
    EXPECT_FALSE (e.tooltipWindow.isOnDesktop());
    EXPECT_EQ (e.imageChooser, nullptr);
    EXPECT_EQ (e.separateWindow, nullptr);

    EXPECT_TRUE (e.isResizable());
    EXPECT_NE (e.getCachedComponentImage(), nullptr); // painted through a cached image
    EXPECT_EQ (&e.audioProcessor, p.get());
    EXPECT_EQ (&e.processor, p.get());
}

TEST (EditorWindow, CaptionsAndButtonsTextsAndColours)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);
    auto& e = *editor;

    EXPECT_EQ (e.spectrumFreqLabel.getText(), "f r e q");
    EXPECT_EQ (e.spectrumDbLabel.getText(), "d B");
    EXPECT_EQ (e.imageFreqLabel.getText(), "f r e q");
    EXPECT_EQ (e.imageFrameLabel.getText(), "f f t   f r a m e");

    for (auto* label : { &e.spectrumFreqLabel, &e.spectrumDbLabel, &e.imageFreqLabel, &e.imageFrameLabel })
    {
        EXPECT_TRUE (label->getName().isEmpty());
        EXPECT_EQ (label->getJustificationType(), juce::Justification (juce::Justification::centred));
        EXPECT_EQ (label->findColour (juce::Label::textColourId), juce::Colour (0xff20b2aa));
        EXPECT_FALSE (label->isColourSpecified (juce::Label::backgroundColourId));
        EXPECT_FALSE (label->isColourSpecified (juce::Label::outlineColourId));
    }

    EXPECT_EQ (e.openImageButton.getButtonText(), "Open Img");
    EXPECT_EQ (e.resetAllButton.getButtonText(), "Reset All");
    EXPECT_EQ (e.resetDrawingButton.getButtonText(), "Reset Drawing");

    for (auto* button : { &e.resetAllButton, &e.resetDrawingButton, &e.openImageButton })
    {
        EXPECT_EQ (button->findColour (0x1000102), juce::Colour (0xff20b2aa)) << button->getButtonText();
        EXPECT_EQ (button->findColour (0x1000103), juce::Colour (0xff000000)) << button->getButtonText();
        EXPECT_EQ (button->findColour (0x1000100), juce::Colour (0x00000000)) << button->getButtonText();
        EXPECT_EQ (button->findColour (0x1000101), juce::Colour (0xff20b2aa)) << button->getButtonText();
        EXPECT_TRUE (button->onClick != nullptr) << button->getButtonText();

        // A plain push button: a click does not leave it on.
        button->triggerClick();
        pumpMessages (20);
        EXPECT_FALSE (button->getToggleState()) << button->getButtonText();
        EXPECT_FALSE (button->getClickingTogglesState()) << button->getButtonText();
    }
}
