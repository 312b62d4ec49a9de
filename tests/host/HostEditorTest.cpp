#include "HostWindow.h"
#include "XDisplay.h"

using namespace kestrune::host;

namespace
{
    const char* const noDisplay = "no X display: run the tests through ./scripts/test.sh, which starts a virtual one";
}

// The window through the bundle, as a DAW shows it, while audio runs: opened
// at the default size, resized by the host to the default, the minimum and
// the maximum (the plug-in answers each with the size it accepts at 16:9),
// closed; a new instance restored from the saved project opens at the last size.
TEST (HostEditor, OpenResizeCloseWithAudioRunningAndReopenFromTheProject)
{
    ASSERT_TRUE (kestrune::test::x11::displayAvailable()) << noDisplay;

    auto instance = instantiate();
    ASSERT_NE (instance, nullptr);
    ASSERT_TRUE (instance->hasEditor());
    instance->prepareToPlay (48000.0, 512);

    juce::MemoryBlock project;
    {
        AudioRunner audio (*instance);

        HostedEditor window (*instance);
        ASSERT_NE (window.get(), nullptr);
        EXPECT_EQ (instance->getActiveEditor(), window.get());
        EXPECT_TRUE (window.get()->isShowing());
        EXPECT_EQ (window.size(), juce::Rectangle<int> (950, 534));
        EXPECT_EQ (savedWindowSize (*instance), juce::Rectangle<int> (950, 534));

        struct Step { int askedWidth, askedHeight, width, height; };
        const Step steps[] = {
            { 760, 427, 760, 428 },    // 427 rows would be off 16:9 at the minimum width
            { 1187, 667, 1186, 667 },  // the maximum width would need 668 rows
            { 950, 534, 950, 534 },
            { 1067, 600, 1067, 600 },
        };

        for (const auto& s : steps)
        {
            window.resizeTo (s.askedWidth, s.askedHeight);
            EXPECT_EQ (window.size(), juce::Rectangle<int> (s.width, s.height)) << s.askedWidth;
            EXPECT_EQ (savedWindowSize (*instance), juce::Rectangle<int> (s.width, s.height)) << s.askedWidth;
        }

        window.close();
        EXPECT_EQ (instance->getActiveEditor(), nullptr);

        instance->getStateInformation (project);
        EXPECT_GT (audio.blocks(), 20);
    }
    instance->releaseResources();

    auto reopened = instantiate();
    ASSERT_NE (reopened, nullptr);
    reopened->setStateInformation (project.getData(), (int) project.getSize());
    reopened->prepareToPlay (48000.0, 512);
    {
        AudioRunner audio (*reopened);
        HostedEditor window (*reopened);
        ASSERT_NE (window.get(), nullptr);
        EXPECT_EQ (window.size(), juce::Rectangle<int> (1067, 600));
    }
    reopened->releaseResources();
}

// Two instances with their windows open at once, each resized by the host:
// each keeps its own size in its own saved state.
TEST (HostEditor, TwoInstancesOpenAtOnceKeepTheirOwnSizes)
{
    ASSERT_TRUE (kestrune::test::x11::displayAvailable()) << noDisplay;

    auto first = instantiate();
    auto second = instantiate();
    ASSERT_NE (first, nullptr);
    ASSERT_NE (second, nullptr);
    first->prepareToPlay (48000.0, 512);
    second->prepareToPlay (48000.0, 512);
    {
        AudioRunner audio1 (*first);
        AudioRunner audio2 (*second);
        HostedEditor window1 (*first, { 0, 0 });
        HostedEditor window2 (*second, { 0, 400 });

        window1.resizeTo (1067, 600);
        window2.resizeTo (800, 450);

        EXPECT_EQ (window1.size(), juce::Rectangle<int> (1067, 600));
        EXPECT_EQ (window2.size(), juce::Rectangle<int> (800, 450));
        EXPECT_EQ (savedWindowSize (*first), juce::Rectangle<int> (1067, 600));
        EXPECT_EQ (savedWindowSize (*second), juce::Rectangle<int> (800, 450));
    }
    first->releaseResources();
    second->releaseResources();
}
