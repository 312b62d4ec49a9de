#include "TestSupport.h"

#include <random>

using namespace kestrune::test;

namespace
{
    // Two processors with the same pictures and parameters, driven in step:
    // `incremental` runs its passes as the worker does, redoing only what
    // changed; `full` forgets what its stages were made from before every
    // pass, so that each pass redoes everything the request asks for (as the
    // worker did before it kept track). After every step all pictures, the
    // smoothing state, the transform and the published frames must match.
    struct TwinRig
    {
        std::unique_ptr<KestruneAudioProcessor> incremental = makeProcessor(), full = makeProcessor();
        juce::ScopedLock lock { criticalSection }; // the workers stay out

        static constexpr int width = 300, height = 130;

        TwinRig()
        {
            // A picture with detail everywhere and a pen layer with strokes.
            juce::Image picture (juce::Image::ARGB, width, height, true);
            std::mt19937 rng (12);
            std::uniform_int_distribution<int> noise (-40, 40);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                {
                    const auto v = (juce::uint8) juce::jlimit (0, 255, (x * 255) / width + noise (rng));
                    picture.setPixelAt (x, y, juce::Colour (v, v, v));
                }

            juce::Image layer (juce::Image::ARGB, width, height, true);
            {
                juce::Graphics g (layer);
                g.setColour (juce::Colours::white);
                g.drawLine (5.0f, 7.0f, 290.0f, 120.0f, 6.0f);
                g.setColour (juce::Colours::grey);
                g.fillEllipse (100.0f, 20.0f, 60.0f, 40.0f);
            }

            for (auto* p : { incremental.get(), full.get() })
            {
                kestrune::test::installPicture (*p, picture, layer.createCopy());
                p->reloadImage = false;
                p->needColourUpdate = false;
                p->needTransformUpdate = false;
            }

            // Every stage busy.
            set ("contrast", 1.5f);
            set ("brightness", 0.1f);
            set ("blurforxaxis", 0.5f);
            set ("horrescale", 2.0f);
            set ("fineRotate", 10.0f);
            set ("zoom", 0.3f);
            both ([] (KestruneAudioProcessor& p) { p.reloadImage = true; });
            pass();
        }

        template <typename Fn>
        void both (Fn&& fn)
        {
            fn (*incremental);
            fn (*full);
        }

        void set (const juce::String& id, float value)
        {
            both ([&] (KestruneAudioProcessor& p) { setPlain (p, id, value); });
        }

        void pass()
        {
            incremental->changeColourFunction();
            full->pipelineStages = PipelineStages();
            full->changeColourFunction();
        }

        void expectSame (const std::string& step)
        {
            auto& a = *incremental;
            auto& b = *full;
            SCOPED_TRACE (step);

            EXPECT_TRUE (sameImage (a.compositeImage, b.compositeImage)) << "composite";
            EXPECT_TRUE (sameImage (a.workImage, b.workImage)) << "work";
            EXPECT_TRUE (sameImage (a.blurImage, b.blurImage)) << "blur";
            EXPECT_TRUE (sameImage (a.transformImage, b.transformImage)) << "transform";
            EXPECT_TRUE (sameImage (a.outputImage, b.outputImage)) << "output";
            EXPECT_TRUE (sameImage (a.finishedPicture.latest(), b.finishedPicture.latest())) << "finished";
            EXPECT_EQ (a.rowSmoothState, b.rowSmoothState);
            EXPECT_TRUE (a.viewTransform == b.viewTransform);
            EXPECT_TRUE (a.inverseViewTransform == b.inverseViewTransform);

            const auto& frameA = a.outputFrames.acquire();
            const auto& frameB = b.outputFrames.acquire();
            EXPECT_EQ (frameA.width, frameB.width);
            EXPECT_EQ (frameA.height, frameB.height);
            EXPECT_TRUE (frameA.grey == frameB.grey) << "grey frame";
        }

        PipelineStages::Counts counts() const { return incremental->pipelineStages.counts; }
    };

    struct Change { const char* id; float value; };
}

TEST (PipelineStages, EveryListenedParameterAloneMatchesAFullPass)
{
    TwinRig rig;
    rig.expectSame ("first pass");

    // Each listened parameter changed alone, most of them twice, in an order
    // that keeps each stage busy when its turn comes.
    const Change changes[] = {
        { "contrast", 2.3f }, { "contrast", -1.0f }, { "brightness", -0.2f }, { "brightness", 0.004f },
        { "blurforxaxis", 0.8f }, { "blurforxaxis", 0.0f }, { "blurforxaxis", 0.3f },
        { "bwthrreshold", 0.3f }, { "bwset", 1.0f }, { "bwthrreshold", 0.6f }, { "contrast", 1.2f }, { "bwset", 0.0f },
        { "horrescale", 3.0f }, { "horrescale", 3.004f }, { "verrescale", 2.0f }, { "horrescale", 1.0f }, { "verrescale", 1.0f },
        { "horrescale", 128.0f },
        { "zoom", 0.5f }, { "zoom", -1.0f }, { "zoom", 0.0f }, { "leftright", 0.1f }, { "leftright", -0.37f },
        { "updown", -0.2f }, { "fineRotate", 25.0f }, { "fineRotate", -90.0f },
        { "rotate0", 0.0f }, { "rotate1", 1.0f }, { "rotate2", 1.0f }, { "rotate3", 1.0f }, { "rotate3", 0.0f },
        { "horskew", 0.4f }, { "verskew", -0.3f }, { "horskew", -1.0f },
        { "penStyle", 3.0f }, { "effectapply", 4.0f }, { "leninterval", 0.5f },
        { "a_interval", 0.2f }, { "b_interval", 0.9f }, { "startposition", 0.5f },
        { "direction1", 1.0f }, { "direction0", 0.0f }, { "direction2", 1.0f }, { "direction3", 1.0f },
        { "refline1", 1.0f }, { "refline2", 1.0f }, { "refline3", 1.0f }, { "refline4", 1.0f }, { "refline5", 1.0f },
        { "refline0", 1.0f }, { "refline5", 0.0f },
    };

    juce::StringArray covered;

    for (const auto& change : changes)
    {
        rig.set (change.id, change.value);
        rig.pass();
        rig.expectSame (std::string (change.id) + " " + std::to_string (change.value));
        covered.addIfNotAlreadyThere (change.id);

        if (::testing::Test::HasFailure())
            break;
    }

    // All 33 listened parameters.
    EXPECT_EQ (covered.size(), 33);
}

TEST (PipelineStages, PictureChangesMatchAFullPass)
{
    TwinRig rig;

    // A pen stroke, its undo and redo.
    std::vector<juce::Point<float>> stroke { { 0.1f, 0.2f }, { 0.4f, 0.5f }, { 0.8f, 0.3f } };
    rig.set ("penStyle", 5.0f);
    rig.both ([&] (KestruneAudioProcessor& p) { auto points = stroke; p.drawShape (points); });
    rig.pass();
    rig.expectSame ("stroke");

    rig.both ([] (KestruneAudioProcessor& p) { EXPECT_TRUE (p.undoStroke()); });
    rig.pass();
    rig.expectSame ("undo");

    rig.both ([] (KestruneAudioProcessor& p) { EXPECT_TRUE (p.redoStroke()); });
    rig.pass();
    rig.expectSame ("redo");

    // A recording replacing the source picture.
    juce::Image spectrogram (juce::Image::ARGB, 64, 32, true);
    spectrogram.clear ({ 10, 5, 30, 20 }, juce::Colours::white);
    rig.both ([&] (KestruneAudioProcessor& p)
    {
        p.loadedImage = juce::Image (juce::Image::ARGB, TwinRig::width, TwinRig::height, true);
        p.handOverRecording (spectrogram);
    });
    rig.pass();
    rig.expectSame ("recording");

    // Requests with nothing changed, again and again: the smoothing state
    // moves on (or settles) exactly as with full passes.
    for (int i = 0; i < 4; ++i)
    {
        rig.both ([] (KestruneAudioProcessor& p) { p.needColourUpdate = true; });
        rig.pass();
        rig.expectSame ("unchanged " + std::to_string (i));
    }
}

TEST (PipelineStages, AChangeRedoesOnlyWhatFollowsIt)
{
    TwinRig rig;
    auto before = rig.counts(), after = before;

    // Sets a parameter on both and runs a pass: what ran before it in
    // `before`, what has run since in `after`.
    auto change = [&] (const char* id, float plain)
    {
        before = rig.counts();
        rig.set (id, plain);
        rig.pass();
        after = rig.counts();
    };

    // A colour change: neither the composite nor the reduction again.
    change ("contrast", 2.0f);
    EXPECT_EQ (after.composites, before.composites);
    EXPECT_EQ (after.reductions, before.reductions);
    EXPECT_EQ (after.colours, before.colours + 1);
    EXPECT_EQ (after.smoothings, before.smoothings + 1);
    EXPECT_EQ (after.transforms, before.transforms + 1);

    // A placement change: the view transform only.
    change ("zoom", 0.6f);
    EXPECT_EQ (after.colours, before.colours);
    EXPECT_EQ (after.transforms, before.transforms + 1);

    // A change that alters nothing drawn: nothing at all.
    change ("effectapply", 3.0f);
    EXPECT_EQ (after.transforms, before.transforms);
    EXPECT_EQ (after.colours, before.colours);

    // The resolution: reduction and what follows, not the composite.
    change ("horrescale", 4.0f);
    EXPECT_EQ (after.composites, before.composites);
    EXPECT_EQ (after.reductions, before.reductions + 1);
    EXPECT_EQ (after.colours, before.colours + 1);

    // A stroke: everything from the composite on.
    before = after;
    rig.both ([] (KestruneAudioProcessor& p)
    {
        std::vector<juce::Point<float>> stroke { { 0.2f, 0.2f }, { 0.6f, 0.7f } };
        p.drawShape (stroke);
    });
    rig.pass();
    after = rig.counts();
    EXPECT_EQ (after.composites, before.composites + 1);
    EXPECT_EQ (after.reductions, before.reductions + 1);
    EXPECT_EQ (after.transforms, before.transforms + 1);

    // The smoothing off: a brightness change redoes the colours but no smoothing.
    change ("blurforxaxis", 0.0f);
    change ("brightness", 0.3f);
    EXPECT_EQ (after.colours, before.colours + 1);
    EXPECT_EQ (after.smoothings, before.smoothings);
    rig.expectSame ("smoothing off");
}
