#include "TestSupport.h"
#include "WindowFit.h"

// What the window answers a host asking about a size (as JUCE's VST3 client
// computes it from the window's limits, 760 x 427 to 1187 x 667 at 16:9), and
// where it lays itself out when a host sets that size without asking.
TEST (WindowFit, AnswersAndLayoutsForSizesAHostMayGive)
{
    using Editor = KestruneAudioProcessorEditor;
    juce::ComponentBoundsConstrainer limits;
    limits.setFixedAspectRatio (Editor::aspectRatio);
    limits.setSizeLimits (Editor::minimumWidth, Editor::minimumHeight, Editor::maximumWidth, Editor::maximumHeight);

    struct Row { int width, height, answerWidth, answerHeight, fitWidth, fitHeight; float scale; };
    const Row rows[] = {
        { 950, 534,    950, 534,    950, 534,   1.0f },
        { 1067, 600,   1067, 600,   1067, 600,  1.0f },
        { 760, 427,    760, 428,    760, 427,   1.0f },   // the limits: a pixel off the ratio, laid out as they are
        { 1187, 667,   1186, 667,   1187, 667,  1.0f },
        { 1150, 566,   1007, 566,   1007, 566,  1.0f },   // off the ratio
        { 1000, 700,   1000, 563,   1000, 563,  1.0f },
        { 1300, 766,   1186, 667,   1186, 667,  1.0f },   // past the limits
        { 700, 400,    760, 428,    760, 428,   700.0f / 760.0f },   // below them: drawn smaller
        { 1200, 427,   760, 428,    760, 427,   1.0f },   // a pixel short: cut to it, never scaled
        { 300, 600,    760, 428,    760, 428,   300.0f / 760.0f },
    };

    for (const auto& r : rows)
    {
        const juce::Rectangle<int> size (r.width, r.height);
        EXPECT_EQ (kestrune::windowfit::answerFor (limits, size).toString(),
                   juce::Rectangle<int> (r.answerWidth, r.answerHeight).toString()) << size.toString();

        const auto fit = kestrune::windowfit::fitFor (limits, size);
        EXPECT_EQ (fit.width, r.fitWidth) << size.toString();
        EXPECT_EQ (fit.height, r.fitHeight) << size.toString();
        EXPECT_FLOAT_EQ (fit.scale, r.scale) << size.toString();
        EXPECT_EQ (kestrune::windowfit::isAllowed (limits, size), fit.width == r.width && fit.height == r.height);
    }
}
