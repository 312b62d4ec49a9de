#include "TestSupport.h"

#include <cmath>
#include <tuple>

using namespace kestrune::test;

namespace
{
    bool finiteTransform (const juce::AffineTransform& t)
    {
        for (auto v : { t.mat00, t.mat01, t.mat02, t.mat10, t.mat11, t.mat12 })
            if (! std::isfinite (v))
                return false;
        return true;
    }
}

// A stretch that all but cancels the zoom squeezes the picture to a line; its
// inverse then scales pen input by some 1e16. Strokes through such a view must
// neither hand the renderer coordinates beyond its integer range nor paint the
// whole layer.
TEST (PenDegenerateView, StrokesThroughANearlyFlatViewStayInRange)
{
    auto p = makeProcessor();
    setPlain (*p, "zoom", -0.99f);
    setPlain (*p, "horskew", -0.01f);

    const auto passes = p->workerPasses.load();
    ASSERT_TRUE (waitFor ([&] { return p->workerPasses.load() >= passes + 2; }));

    {
        const juce::ScopedLock sl (criticalSection);
        ASSERT_TRUE (finiteTransform (p->inverseViewTransform));
    }

    for (int style = 0; style <= 6; ++style)
    {
        setPlain (*p, "penStyle", (float) style);
        std::vector<juce::Point<float>> points { { 0.3f, 0.3f }, { 0.5f, 0.6f }, { 0.7f, 0.4f } };
        p->drawShape (points);
    }

    const juce::ScopedLock sl (criticalSection);
    ASSERT_TRUE (p->drawLayer.isValid());
    int painted = 0;
    for (int y = 0; y < p->drawLayer.getHeight(); ++y)
        for (int x = 0; x < p->drawLayer.getWidth(); ++x)
            painted += p->drawLayer.getPixelAt (x, y).getAlpha() > 0 ? 1 : 0;

    EXPECT_LT (painted, p->drawLayer.getWidth() * p->drawLayer.getHeight());
}

// The zoom at its minimum (-1) with no stretch squeezes the picture to nothing
// across: the view has no inverse, and JUCE's inverted() then hands back the
// view itself. Strokes through it used to be drawn through that wrong
// transform (a line style landed somewhere, an ellipse asked the stroker for
// an accuracy of 0, a JUCE assertion). They are left undrawn, and nothing
// goes into the undo history.
TEST (PenDegenerateView, StrokesThroughAFlatViewAreLeftUndrawn)
{
    auto p = makeProcessor();

    for (const auto& [zoom, horskew, verskew] : { std::tuple<float, float, float> { -1.0f, 0.0f, 0.0f },
                                                  { -0.5f, -0.5f, 0.0f }, { 0.0f, 0.0f, -1.0f } })
    {
        setPlain (*p, "zoom", zoom);
        setPlain (*p, "horskew", horskew);
        setPlain (*p, "verskew", verskew);

        const auto passes = p->workerPasses.load();
        ASSERT_TRUE (waitFor ([&] { return p->workerPasses.load() >= passes + 2 && ! p->needTransformUpdate.load(); }, 5000));

        {
            const juce::ScopedLock sl (p->pictureEditLock);
            ASSERT_TRUE (p->inverseViewTransform.isSingularity()) << zoom << " " << horskew << " " << verskew;
        }

        for (int style = 0; style <= 6; ++style)
        {
            setPlain (*p, "penStyle", (float) style);
            setPlain (*p, "penTickness", 12.0f);
            std::vector<juce::Point<float>> points { { 0.3f, 0.3f }, { 0.5f, 0.6f }, { 0.7f, 0.4f } };
            p->drawShape (points);
        }

        const juce::ScopedLock sl (p->pictureEditLock);
        EXPECT_EQ (p->undoImages.size(), 1u);
        EXPECT_EQ (p->undoIndex, 1);

        int painted = 0;
        for (int y = 0; y < p->drawLayer.getHeight(); ++y)
            for (int x = 0; x < p->drawLayer.getWidth(); ++x)
                painted += p->drawLayer.getPixelAt (x, y).getAlpha() > 0 ? 1 : 0;

        EXPECT_EQ (painted, 0) << zoom << " " << horskew << " " << verskew;
    }
}
