#include "EditorTestSupport.h"

#include <gtest/gtest-spi.h>

#include <thread>

using namespace kestrune::test;

namespace
{
    // The fault JUCE guards against with an assertion: a look-and-feel
    // destroyed while a control still uses it.
    void destroyALookAndFeelStillInUse()
    {
        juce::Slider slider;
        {
            juce::LookAndFeel_V4 lookAndFeel;
            slider.setLookAndFeel (&lookAndFeel);
        }
        slider.setLookAndFeel (nullptr);
    }

    void assertOnAnotherThread()
    {
        std::thread other ([] { jassertfalse; });
        other.join();
    }

    const char* const noDisplay = "no X display: run the tests through ./scripts/test.sh, which starts a virtual one";
}

TEST (EditorHarness, AJuceAssertionInTheLibraryFailsTheRunningTest)
{
    if (! juceAssertionsReported())
        GTEST_SKIP() << "JUCE's assertions are compiled out of this build (the sanitizer builds check them)";

    EXPECT_NONFATAL_FAILURE (destroyALookAndFeelStillInUse(), "JUCE Assertion failure in juce_LookAndFeel.cpp");
}

TEST (EditorHarness, AssertionsOnOtherThreadsCountToo)
{
    if (! juceAssertionsReported())
        GTEST_SKIP() << "JUCE's assertions are compiled out of this build (the sanitizer builds check them)";

    EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS (assertOnAnotherThread(), "JUCE Assertion failure in EditorHarnessTest.cpp");
}

TEST (EditorHarness, ACaptureTakesAssertionsInsteadOfFailing)
{
    if (! juceAssertionsReported())
        GTEST_SKIP() << "JUCE's assertions are compiled out of this build (the sanitizer builds check them)";

    ScopedJuceAssertionCapture outer;
    {
        ScopedJuceAssertionCapture inner;
        destroyALookAndFeelStillInUse();
        ASSERT_EQ (inner.messages().size(), 1u);
        EXPECT_TRUE (inner.messages()[0].startsWith ("JUCE Assertion failure in juce_LookAndFeel.cpp:"));
    }

    assertOnAnotherThread();
    EXPECT_EQ (outer.messages().size(), 1u);
}

TEST (EditorHarness, TheEditorOpensInARealWindow)
{
    ASSERT_TRUE (displayAvailable()) << noDisplay;

    auto p = makeProcessor();
    const auto desktopBefore = juce::Desktop::getInstance().getNumComponents();
    {
        EditorHandle editor (*p);
        ScopedDesktopWindow window (*editor, { 30, 40 });

        ASSERT_NE (window.peer(), nullptr);
        EXPECT_TRUE (editor->isShowing());
        EXPECT_EQ (window.peer()->getBounds().getWidth(), 950);
        EXPECT_EQ (window.peer()->getBounds().getHeight(), 534);
        EXPECT_EQ (editor->getScreenPosition(), juce::Point<int> (30, 40));

        // A resize of the shown window lays it out and stores the size.
        editor->setBoundsConstrained (editor->getBounds().withSize (1067, 600));
        pumpMessages (50);
        EXPECT_EQ (window.peer()->getBounds().getWidth(), 1067);
        EXPECT_EQ ((int) windowSizeChild (*p).getProperty ("width"), 1067);
    }
    EXPECT_EQ (juce::Desktop::getInstance().getNumComponents(), desktopBefore);
}

TEST (EditorHarness, OpeningAndClosingAShownWindowRepeatedly)
{
    // Each cycle builds and destroys every child, with the window mapped and
    // painted in between: no assertion fires (the sanitizer builds check
    // them), nothing stays on the desktop, and AddressSanitizer's leak check
    // sees nothing left at exit.
    ASSERT_TRUE (displayAvailable()) << noDisplay;

    auto p = makeProcessor();
    const auto desktopBefore = juce::Desktop::getInstance().getNumComponents();

    for (int i = 0; i < 10; ++i)
    {
        EditorHandle editor (*p);
        ScopedDesktopWindow window (*editor);
        editor->setBoundsConstrained (editor->getBounds().withSize (760 + 30 * i, 427 + 17 * i));
        editor->repaint();
        pumpMessages (30);
    }

    EXPECT_EQ (juce::Desktop::getInstance().getNumComponents(), desktopBefore);
    EXPECT_EQ (p->getActiveEditor(), nullptr);
}
