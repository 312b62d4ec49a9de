#include "TestSupport.h"

#include <cmath>
#include <functional>

using namespace kestrune::test;

namespace
{
    using Fill = std::function<int (int x, int y)>;

    // An opaque grey picture whose level at (x, y) is fill (x, y).
    juce::Image greyPicture (int w, int h, const Fill& fill,
                             juce::Image::PixelFormat format = juce::Image::ARGB)
    {
        juce::Image image (format, w, h, true);
        const juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);

        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
            {
                const auto v = (juce::uint8) fill (x, y);
                data.setPixelColour (x, y, juce::Colour (v, v, v));
            }

        return image;
    }

    int redAt (const juce::Image& image, int x, int y)
    {
        return image.getPixelAt (x, y).getRed();
    }

    // A processor whose picture chain the test builds itself, as an adoption
    // would. The rig holds the pipeline lock for its whole life, so the worker
    // never runs a pass of its own while the test drives passes by hand.
    struct PipelineRig
    {
        std::unique_ptr<KestruneAudioProcessor> p = makeProcessor();
        juce::ScopedLock lock { criticalSection };

        PipelineRig() { install (greyPicture (480, 330, [] (int, int) { return 0; })); }

        void install (const juce::Image& picture)
        {
            p->sourceImage = picture;
            p->drawLayer = juce::Image (juce::Image::ARGB, picture.getWidth(), picture.getHeight(), true);
            p->compositeImage = picture.createCopy();
            p->workImage = p->compositeImage.createCopy();
            p->blurImage = p->workImage.createCopy();
            p->outputImage = p->blurImage.createCopy();
            p->transformImage = p->outputImage.createCopy();
            p->sourceImagePresent = true;
            p->newImagePending = false;
            p->reloadImage = false;
            p->needColourUpdate = false;
            p->needTransformUpdate = false;
        }

        void set (std::atomic<float>* value, float v) { value->store (v); }

        void fullPass()
        {
            p->needColourUpdate = true;
            p->changeColourFunction();
        }

        // Runs the colour stages on a one-row picture holding the given levels
        // and returns the levels of the work image.
        std::vector<int> colourStagesOn (const std::vector<int>& levels,
                                         juce::Image::PixelFormat format = juce::Image::ARGB)
        {
            const auto w = (int) levels.size();
            install (greyPicture (w, 1, [&] (int x, int) { return levels[(size_t) x]; }, format));
            fullPass();

            std::vector<int> out;
            for (int x = 0; x < w; ++x)
                out.push_back (redAt (p->workImage, x, 0));
            return out;
        }
    };

    // Pixel data that calls a function the first time anything reads or
    // writes it, then behaves like the image it wraps. Lets a test act at a
    // known point in the middle of a pass.
    class HookedPixelData : public juce::ImagePixelData
    {
    public:
        HookedPixelData (juce::Image wrapped, std::function<void()> onFirstAccess)
            : juce::ImagePixelData (wrapped.getFormat(), wrapped.getWidth(), wrapped.getHeight()),
              inner (std::move (wrapped)), hook (std::move (onFirstAccess)) {}

        std::unique_ptr<juce::LowLevelGraphicsContext> createLowLevelContext() override
        {
            fire();
            return inner.getPixelData()->createLowLevelContext();
        }
        Ptr clone() override                                    { return inner.getPixelData()->clone(); }
        std::unique_ptr<juce::ImageType> createType() const override { return inner.getPixelData()->createType(); }

        void initialiseBitmapData (juce::Image::BitmapData& data, int x, int y,
                                   juce::Image::BitmapData::ReadWriteMode mode) override
        {
            fire();
            inner.getPixelData()->initialiseBitmapData (data, x, y, mode);
        }

    private:
        void fire()
        {
            if (auto f = std::exchange (hook, {}))
                f();
        }

        juce::Image inner;
        std::function<void()> hook;
    };

    juce::Image hooked (const juce::Image& image, std::function<void()> onFirstAccess)
    {
        return juce::Image (new HookedPixelData (image, std::move (onFirstAccess)));
    }

    // Angle of the rotation part of a transform that has no scaling.
    void expectRotation (const juce::AffineTransform& t, float angle)
    {
        EXPECT_NEAR (t.mat00, std::cos (angle), 2e-6);
        EXPECT_NEAR (t.mat10, std::sin (angle), 2e-6);
        EXPECT_NEAR (t.mat01, -std::sin (angle), 2e-6);
        EXPECT_NEAR (t.mat11, std::cos (angle), 2e-6);
    }
}

//==============================================================================
TEST (ColourPipeline, BrightnessAndContrastValues)
{
    PipelineRig rig;
    const std::vector<int> probe { 0, 1, 2, 5, 58, 59, 64, 100, 128, 192, 200, 255 };

    // Defaults: values of 59 and above pass unchanged, some low ones lose one
    // through the truncation.
    auto out = rig.colourStagesOn (probe);
    EXPECT_EQ (out, (std::vector<int> { 0, 0, 1, 4, 57, 59, 64, 100, 128, 192, 200, 255 }));
    EXPECT_EQ (rig.colourStagesOn (probe, juce::Image::RGB), out); // a JPEG's chain has no alpha

    rig.set (rig.p->contrastValue, 2.0f);
    out = rig.colourStagesOn ({ 0, 64, 128, 192, 255 });
    EXPECT_EQ (out, (std::vector<int> { 0, 0, 128, 255, 255 }));

    rig.set (rig.p->contrastValue, -1.0f);
    out = rig.colourStagesOn ({ 0, 64, 128, 192, 255 });
    EXPECT_EQ (out, (std::vector<int> { 255, 191, 127, 63, 0 }));

    // Brightness adds (int) (b * 128) before the contrast step.
    rig.set (rig.p->contrastValue, 1.0f);
    rig.set (rig.p->brightnessValue, 0.5f);
    out = rig.colourStagesOn ({ 100, 150, 191, 192, 255 });
    EXPECT_EQ (out, (std::vector<int> { 164, 214, 255, 255, 255 }));

    rig.set (rig.p->brightnessValue, 0.004f);
    out = rig.colourStagesOn ({ 100, 150, 255 });
    EXPECT_EQ (out, (std::vector<int> { 100, 150, 255 }));

    rig.set (rig.p->brightnessValue, -1.0f);
    out = rig.colourStagesOn ({ 100, 127, 128, 187, 255 });
    EXPECT_EQ (out, (std::vector<int> { 0, 0, 0, 59, 127 }));
}

TEST (ColourPipeline, BlackAndWhiteThreshold)
{
    PipelineRig rig;
    rig.set (rig.p->bwsetValue, 1.0f);

    rig.set (rig.p->bwthrresholdValue, 0.5f);
    EXPECT_EQ (rig.colourStagesOn ({ 0, 127, 128, 255 }), (std::vector<int> { 0, 0, 255, 255 }));

    rig.set (rig.p->bwthrresholdValue, 0.0f);
    EXPECT_EQ (rig.colourStagesOn ({ 0, 1, 255 }), (std::vector<int> { 255, 255, 255 }));

    rig.set (rig.p->bwthrresholdValue, 1.0f);
    EXPECT_EQ (rig.colourStagesOn ({ 0, 128, 254, 255 }), (std::vector<int> { 0, 0, 0, 255 }));

    // Off: no threshold at all.
    rig.set (rig.p->bwsetValue, 0.0f);
    EXPECT_EQ (rig.colourStagesOn ({ 100, 200 }), (std::vector<int> { 100, 200 }));
}

TEST (ColourPipeline, RowSmoothingCarriesItsStateAcrossRowsAndPasses)
{
    PipelineRig rig;
    rig.set (rig.p->blurforxaxisValue, 0.5f);

    // A black row, then a white one: the state never reaches 255.
    rig.install (greyPicture (8, 2, [] (int, int y) { return y == 0 ? 0 : 255; }));
    rig.fullPass();

    const std::vector<int> expected { 127, 191, 223, 239, 247, 251, 253, 254 };
    for (int x = 0; x < 8; ++x)
    {
        EXPECT_EQ (redAt (rig.p->blurImage, x, 1), expected[(size_t) x]) << "column " << x;
        EXPECT_EQ (redAt (rig.p->workImage, x, 1), expected[(size_t) x]) << "column " << x;
        EXPECT_EQ (rig.p->workImage.getPixelAt (x, 1).getAlpha(), 255);
    }
    EXPECT_EQ (rig.p->rowSmoothState[0], 254.0f);

    // The next pass starts from the state the last one left: the black row
    // decays from 254 rather than staying at 0.
    rig.fullPass();
    EXPECT_EQ (redAt (rig.p->workImage, 0, 0), 127);
    EXPECT_EQ (redAt (rig.p->workImage, 1, 0), 63);

    // With a = 0.999 from a state of 0, each step truncates back to 0.
    rig.p->rowSmoothState = { 0.0f, 0.0f, 0.0f };
    rig.set (rig.p->blurforxaxisValue, 0.999f);
    rig.install (greyPicture (16, 4, [] (int, int) { return 255; }));
    rig.fullPass();

    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 16; ++x)
            ASSERT_EQ (redAt (rig.p->workImage, x, y), 0);
}

TEST (ColourPipeline, ResolutionReduction)
{
    PipelineRig rig;

    // Stripes one column wide: full detail at 1 and 1.
    rig.install (greyPicture (480, 330, [] (int x, int) { return x % 2 == 0 ? 0 : 255; }));
    rig.fullPass();
    EXPECT_EQ (redAt (rig.p->workImage, 0, 0), 0);
    EXPECT_EQ (redAt (rig.p->workImage, 1, 0), 255);

    // "horrescale" 4 blurs them away along the rows.
    rig.set (rig.p->horrescaleValue, 4.0f);
    rig.fullPass();

    int maxStepAlongRow = 0;
    for (int x = 1; x < 480; ++x)
        maxStepAlongRow = std::max (maxStepAlongRow, std::abs (redAt (rig.p->workImage, x, 100) - redAt (rig.p->workImage, x - 1, 100)));
    EXPECT_LT (maxStepAlongRow, 100);
    EXPECT_EQ (rig.p->workImage.getWidth(), 480);

    // Blocks of four columns, each of its own level, survive the reduction to
    // 120 columns unchanged, so the result is those 120 levels stretched back
    // to 480. Any other reduced width would mix neighbouring blocks.
    std::vector<int> levels;
    juce::Random random (4);
    for (int i = 0; i < 120; ++i)
        levels.push_back (random.nextInt (256));

    rig.install (greyPicture (480, 330, [&] (int x, int) { return levels[(size_t) (x / 4)]; }));
    rig.fullPass();

    juce::Image blocks (juce::Image::ARGB, 120, 330, true);
    for (int y = 0; y < 330; ++y)
        for (int x = 0; x < 120; ++x)
            blocks.setPixelAt (x, y, juce::Colour ((juce::uint8) levels[(size_t) x], (juce::uint8) levels[(size_t) x],
                                                   (juce::uint8) levels[(size_t) x]));

    juce::Image expected (juce::Image::ARGB, 480, 330, true); // cleared, as the work image is
    juce::Graphics (expected).drawImage (blocks, 0, 0, 480, 330, 0, 0, 120, 330);

    for (int y = 0; y < 330; y += 7)
        for (int x = 0; x < 480; ++x)
            ASSERT_NEAR (redAt (rig.p->workImage, x, y), redAt (expected, x, y), 3) << x << "," << y;

    // A picture narrower and shorter than the divisors keeps one pixel per axis.
    rig.install (greyPicture (3, 2, [] (int x, int) { return x * 100; }));
    rig.set (rig.p->horrescaleValue, 4.0f);
    rig.set (rig.p->verrescaleValue, 128.0f);
    rig.fullPass();

    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_NEAR (redAt (rig.p->workImage, x, y), 100, 2) << x << "," << y;
}

TEST (ColourPipeline, PenLayerIsStretchedOverThePicture)
{
    PipelineRig rig;
    rig.install (greyPicture (40, 20, [] (int, int) { return 0; }));

    // A pen layer of half the size with its left half white.
    rig.p->drawLayer = juce::Image (juce::Image::ARGB, 20, 10, true);
    juce::Graphics (rig.p->drawLayer).fillAll (juce::Colours::transparentBlack);
    {
        juce::Graphics g (rig.p->drawLayer);
        g.setColour (juce::Colours::white);
        g.fillRect (0, 0, 10, 10);
    }

    rig.fullPass();
    EXPECT_EQ (redAt (rig.p->compositeImage, 5, 10), 255);
    EXPECT_EQ (redAt (rig.p->compositeImage, 15, 15), 255);
    EXPECT_EQ (redAt (rig.p->compositeImage, 30, 10), 0);
    EXPECT_EQ (redAt (rig.p->outputImage, 15, 15), 255);

    // A picture of another size than the chain (as after a recording) is
    // stretched too: its bottom half, white, covers the composite's.
    rig.p->drawLayer = juce::Image (juce::Image::ARGB, 40, 20, true);
    rig.p->sourceImage = greyPicture (10, 4, [] (int, int y) { return y >= 2 ? 255 : 0; }, juce::Image::RGB);
    rig.fullPass();
    EXPECT_EQ (redAt (rig.p->compositeImage, 20, 3), 0);
    EXPECT_EQ (redAt (rig.p->compositeImage, 20, 16), 255);
    EXPECT_EQ (redAt (rig.p->outputImage, 35, 16), 255);
}

//==============================================================================
TEST (ViewTransform, QuarterTurnsAndFineRotation)
{
    PipelineRig rig;
    auto& p = *rig.p;

    struct Case { float r0, r1, r2, r3, fine, angle; };
    const Case cases[] = {
        { 1, 0, 0, 0, 0,   0.0f },
        { 1, 0, 0, 0, 45,  0.785f },
        { 0, 1, 0, 0, 0,   1.57f },
        { 0, 0, 1, 0, 0,   3.14f },
        { 0, 0, 0, 1, 0,   4.71f },
        { 1, 0, 1, 0, 0,   3.14f },                                      // the higher switch wins
        { 0, 1, 0, 1, 10,  (float) (10.0f * 1.57f / 90.0f + 4.71) },
        { 0, 0, 0, 0, 30,  0.0f },                                       // none on: no rotation at all
        { 1, 0, 0, 0, -90, -1.57f },
    };

    for (const auto& c : cases)
    {
        rig.set (p.rotateValues[0], c.r0);
        rig.set (p.rotateValues[1], c.r1);
        rig.set (p.rotateValues[2], c.r2);
        rig.set (p.rotateValues[3], c.r3);
        rig.set (p.fineRotateValue, c.fine);
        p.applyTransform();

        SCOPED_TRACE (juce::String (c.r0) + juce::String (c.r1) + juce::String (c.r2) + juce::String (c.r3)
                      + " fine " + juce::String (c.fine));
        expectRotation (p.viewTransform, c.angle);

        // Rotation about the integer centre (240, 165).
        auto centre = juce::Point<float> (240.0f, 165.0f).transformedBy (p.viewTransform);
        EXPECT_NEAR (centre.x, 240.0f, 1e-3);
        EXPECT_NEAR (centre.y, 165.0f, 1e-3);
    }

    // An odd size halves with truncation.
    rig.install (greyPicture (481, 331, [] (int, int) { return 0; }));
    rig.set (p.rotateValues[0], 0.0f);
    rig.set (p.rotateValues[1], 1.0f);
    p.applyTransform();
    auto centre = juce::Point<float> (240.0f, 165.0f).transformedBy (p.viewTransform);
    EXPECT_NEAR (centre.x, 240.0f, 1e-3);
    EXPECT_NEAR (centre.y, 165.0f, 1e-3);
}

TEST (ViewTransform, ShiftLeavesUncoveredPartBlackAndIsPublished)
{
    PipelineRig rig;
    rig.install (greyPicture (480, 330, [] (int, int) { return 255; }));
    rig.set (rig.p->leftrightValue, 0.5f);
    rig.fullPass();

    for (int y = 0; y < 330; y += 11)
    {
        for (int x = 0; x < 240; x += 5)
            ASSERT_EQ (rig.p->outputImage.getPixelAt (x, y).getARGB(), 0xff000000u) << x << "," << y;
        for (int x = 241; x < 480; x += 5)
            ASSERT_EQ (redAt (rig.p->outputImage, x, y), 255) << x << "," << y;
    }

    // What the audio thread reads follows the output picture.
    const auto& frame = rig.p->outputFrames.acquire();
    ASSERT_EQ (frame.width, 480);
    ASSERT_EQ (frame.height, 330);
    EXPECT_EQ (frame.pixel (10, 100), 0.0f);
    EXPECT_EQ (frame.pixel (400, 100), 1.0f);
}

TEST (ViewTransform, ZoomAndStretch)
{
    PipelineRig rig;
    auto& p = *rig.p;

    // A white 80 x 80 square around the centre (240, 165).
    rig.install (greyPicture (480, 330, [] (int x, int y)
                              { return (x >= 200 && x < 280 && y >= 125 && y < 205) ? 255 : 0; }));

    rig.set (p.zoomValue, 1.0f);
    rig.fullPass();
    EXPECT_EQ (redAt (p.outputImage, 170, 95), 255);
    EXPECT_EQ (redAt (p.outputImage, 310, 235), 255);
    EXPECT_EQ (redAt (p.outputImage, 150, 75), 0);
    EXPECT_EQ (redAt (p.outputImage, 330, 255), 0);

    // Zoom -1: scale 0, nothing drawn; the inverse of a singular transform is
    // the transform itself.
    rig.set (p.zoomValue, -1.0f);
    rig.fullPass();
    EXPECT_TRUE (p.inverseViewTransform == p.viewTransform);
    for (int y = 0; y < 330; y += 3)
        for (int x = 0; x < 480; x += 3)
            ASSERT_EQ (p.outputImage.getPixelAt (x, y).getARGB(), 0xff000000u) << x << "," << y;
    EXPECT_EQ (p.outputFrames.acquire().pixel (240, 165), 0.0f);

    // Zoom -0.5 with "horskew" -1: factors -0.5 and 0.5, mirrored left to right.
    rig.install (greyPicture (480, 330, [] (int x, int) { return x < 240 ? 255 : 0; }));
    rig.set (p.zoomValue, -0.5f);
    rig.set (p.horskewValue, -1.0f);
    rig.fullPass();
    EXPECT_FLOAT_EQ (p.viewTransform.mat00, -0.5f);
    EXPECT_FLOAT_EQ (p.viewTransform.mat11, 0.5f);
    EXPECT_EQ (redAt (p.outputImage, 300, 165), 255); // the left half, now on the right
    EXPECT_EQ (redAt (p.outputImage, 180, 165), 0);
    EXPECT_EQ (redAt (p.outputImage, 300, 50), 0);   // halved vertically
    EXPECT_EQ (redAt (p.outputImage, 50, 165), 0);

    const auto back = juce::Point<float> (300.0f, 165.0f).transformedBy (p.inverseViewTransform);
    EXPECT_NEAR (back.x, 120.0f, 1e-3);
    EXPECT_NEAR (back.y, 165.0f, 1e-3);
}

//==============================================================================
TEST (PipelinePasses, FlagsDecideTheWork)
{
    PipelineRig rig;
    auto& p = *rig.p;
    rig.install (greyPicture (48, 32, [] (int, int) { return 200; }));

    // Nothing requested: nothing drawn.
    p.outputImage.clear (p.outputImage.getBounds(), juce::Colour (0xff4d4d4d));
    p.changeColourFunction();
    EXPECT_EQ (redAt (p.outputImage, 5, 5), 0x4d);

    // A reload turns into a full pass and leaves every request lowered.
    p.reloadImage = true;
    p.changeColourFunction();
    EXPECT_EQ (redAt (p.outputImage, 5, 5), 200);
    EXPECT_FALSE (p.reloadImage);
    EXPECT_FALSE (p.needColourUpdate);
    EXPECT_FALSE (p.needTransformUpdate);

    // A transform-only pass redraws the output but not the colour stages.
    p.sourceImage = greyPicture (48, 32, [] (int, int) { return 100; });
    p.needTransformUpdate = true;
    p.changeColourFunction();
    EXPECT_FALSE (p.needTransformUpdate);
    EXPECT_EQ (redAt (p.compositeImage, 5, 5), 200);
    EXPECT_EQ (redAt (p.outputImage, 5, 5), 200);

    p.needColourUpdate = true;
    p.needTransformUpdate = true;
    p.changeColourFunction();
    EXPECT_EQ (redAt (p.outputImage, 5, 5), 100);
    EXPECT_FALSE (p.needColourUpdate);
    EXPECT_FALSE (p.needTransformUpdate);
}

TEST (PipelinePasses, PendingPictureStopsRendering)
{
    PipelineRig rig;
    auto& p = *rig.p;
    rig.install (greyPicture (48, 32, [] (int, int) { return 200; }));
    p.outputImage.clear (p.outputImage.getBounds(), juce::Colour (0xff4d4d4d));

    p.reloadImage = true;
    p.needColourUpdate = true;
    p.needTransformUpdate = true;
    p.newImagePending = true;
    p.changeColourFunction();

    EXPECT_FALSE (p.needColourUpdate);
    EXPECT_FALSE (p.needTransformUpdate);
    EXPECT_TRUE (p.reloadImage);
    EXPECT_EQ (redAt (p.outputImage, 5, 5), 0x4d);
    p.newImagePending = false;
}

TEST (PipelinePasses, NoSourcePictureKeepsRequests)
{
    PipelineRig rig;
    auto& p = *rig.p;
    p.sourceImage = juce::Image();
    p.reloadImage = true;
    p.needColourUpdate = true;
    p.needTransformUpdate = true;

    p.changeColourFunction();
    p.changeColourFunction();

    EXPECT_TRUE (p.reloadImage);
    EXPECT_TRUE (p.needColourUpdate);
    EXPECT_TRUE (p.needTransformUpdate);
}

TEST (PipelinePasses, RequestsRaisedDuringAPassSurviveIt)
{
    PipelineRig rig;
    auto& p = *rig.p;
    const auto picture = greyPicture (48, 32, [] (int, int) { return 200; });
    rig.install (picture);

    // A stroke and a rescale change arrive while the full pass composites.
    p.sourceImage = hooked (picture, [&p]
    {
        p.needColourUpdate = true;
        p.reloadImage = true;
        p.needTransformUpdate = true;
    });
    rig.fullPass();
    EXPECT_TRUE (p.needColourUpdate);
    EXPECT_TRUE (p.reloadImage);
    EXPECT_TRUE (p.needTransformUpdate);

    // The next pass serves them.
    p.changeColourFunction();
    EXPECT_FALSE (p.needColourUpdate);
    EXPECT_FALSE (p.reloadImage);
    EXPECT_FALSE (p.needTransformUpdate);

    // A placement change arriving during a transform-only pass.
    p.workImage = hooked (p.workImage, [&p] { p.needTransformUpdate = true; });
    p.needTransformUpdate = true;
    p.changeColourFunction();
    EXPECT_TRUE (p.needTransformUpdate);
    EXPECT_FALSE (p.needColourUpdate);
}

TEST (PipelinePasses, WorkerRendersWhatParametersAsk)
{
    auto p = makeProcessor();
    {
        const juce::ScopedLock sl (criticalSection);
        p->sourceImage = greyPicture (64, 32, [] (int, int) { return 255; });
        p->drawLayer = juce::Image (juce::Image::ARGB, 64, 32, true);
        p->compositeImage = p->sourceImage.createCopy();
        p->workImage = p->sourceImage.createCopy();
        p->blurImage = p->sourceImage.createCopy();
        p->transformImage = p->sourceImage.createCopy();
        p->outputImage = p->sourceImage.createCopy();
        p->sourceImagePresent = true;
        p->newImagePending = false;
    }

    // A shift through the parameter, picked up by the worker thread.
    setPlain (*p, "leftright", 0.5f);

    EXPECT_TRUE (waitFor ([&]
    {
        const auto& frame = p->outputFrames.acquire();
        return frame.width == 64 && frame.pixel (5, 5) == 0.0f && frame.pixel (40, 5) == 1.0f;
    }));
}
