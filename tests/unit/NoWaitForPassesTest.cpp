#include "CanvasTestSupport.h"
#include "EditorTestSupport.h"
#include "KeyPressSupport.h"

#include <atomic>
#include <thread>

// The pipeline lock is held for whole worker passes (tens of milliseconds on
// a large picture), and it is one lock for the process: every instance's
// worker takes it. The window's gestures and the picture hand-overs must get
// through while it is held, or the window stutters for up to a pass of every
// instance in turn (a stroke's release used to wait 70 to 90 ms with the
// passes of one 1500 x 512 picture running back to back).

using namespace kestrune::test;

namespace
{
    // Another thread holds the pipeline lock, as a worker pass in progress
    // does, until told to let go (or for at most a minute).
    class PassInProgress
    {
    public:
        PassInProgress()
            : thread ([this]
              {
                  const juce::ScopedLock sl (criticalSection);
                  holding = true;
                  waitFor ([this] { return release.load(); }, 60000);
                  holding = false;
              })
        {
            waitFor ([this] { return holding.load(); }, 10000);
        }

        ~PassInProgress()
        {
            letGo();
        }

        bool stillHolding() const { return holding.load(); }

        void letGo()
        {
            release = true;

            if (thread.joinable())
                thread.join();
        }

    private:
        std::atomic<bool> holding { false }, release { false };
        std::thread thread;
    };

    std::pair<int, int> history (KestruneAudioProcessor& p) // { undoIndex, snapshots }
    {
        const juce::ScopedLock sl (p.pictureEditLock);
        return { p.undoIndex, (int) p.undoImages.size() };
    }

    int paintedPixels (const juce::Image& layer)
    {
        int n = 0;
        for (int y = 0; y < layer.getHeight(); ++y)
            for (int x = 0; x < layer.getWidth(); ++x)
                n += layer.getPixelAt (x, y).getAlpha() != 0 ? 1 : 0;
        return n;
    }
}

TEST (MessageThread, GesturesAndHandOversNeverWaitForAWorkerPass)
{
    auto p = makeProcessor();
    EditorHandle editor (*p);
    ASSERT_TRUE (canvas::settle (*p));
    auto& canvasArea = editor->parentTargetArea.targetArea;
    setPlain (*p, "penStyle", 4.0f); // FillRect

    const auto saved = saveState (*p);
    const auto picture = writeBytes ("no-wait.png", encodePng (solidImage (64, 40, juce::Colours::white))).getFullPathName();
    juce::Image layerAfterStrokes;

    {
        PassInProgress pass;
        ASSERT_TRUE (pass.stillHolding());

        // Strokes on the canvas, undo and redo by key, and a stroke straight
        // through the processor.
        canvas::Gesture (canvasArea).press (20, 20, canvas::left | canvas::shift)
                                    .drag (60, 50, canvas::left | canvas::shift)
                                    .release (60, 50, canvas::left | canvas::shift);
        EXPECT_EQ (history (*p), std::make_pair (2, 2));
        EXPECT_TRUE (keys::undoKey (*editor));
        EXPECT_EQ (history (*p), std::make_pair (1, 2));
        EXPECT_TRUE (keys::redoKey (*editor));
        EXPECT_EQ (history (*p), std::make_pair (2, 2));
        std::vector<juce::Point<float>> points { { 0.5f, 0.5f }, { 0.7f, 0.8f } };
        p->drawShape (points);
        EXPECT_EQ (history (*p), std::make_pair (3, 3));
        {
            const juce::ScopedLock sl (p->pictureEditLock);
            layerAfterStrokes = p->drawLayer;
        }

        // An interval selection, a save, and every bringer of a picture.
        canvas::Gesture (canvasArea).press (10, 30, canvas::left).drag (200, 30, canvas::left).release (200, 30, canvas::left);
        saveState (*p);
        p->handOverRecording (solidImage (6, 1024, juce::Colours::grey));
        EXPECT_FALSE (p->newImagePending.load()) << "the recording replaces the source in place";
        p->loadFile (picture, true);
        p->resetDrawing();
        p->resetAll();
        p->setStateInformation (saved.getData(), (int) saved.getSize());
        EXPECT_TRUE (p->newImagePending.load());

        EXPECT_TRUE (pass.stillHolding()) << "everything above ran while the pass held the pipeline lock";
    }

    // The strokes are in the layer (about 40 x 30 and 96 x 111 pixels of the
    // default 480 x 330 picture), and the restore comes in once the pass is over.
    EXPECT_GT (paintedPixels (layerAfterStrokes), 40 * 30 + 90 * 100);
    ASSERT_TRUE (adoptPending (*p));
    EXPECT_FALSE (p->newImagePending.load());
}
