#include <gtest/gtest.h>

#include "TestSupport.h"
#include "JuceAssertions.h"
#include "XDisplay.h"

#include <cstdlib>
#include <iostream>

// The interval coupling sets one parameter from inside another's change
// callback, and the framework holds each parameter's listener lock around its
// callbacks, so a_interval -> b_interval and b_interval -> a_interval are both
// lock orders ThreadSanitizer sees. Only the thread that owns the coupling ever
// takes a second parameter's lock there (see requestIntervalCoupling), so the
// cycle cannot close into a deadlock; the report is silenced for that path only.
//
// A radio button switched on from inside its parameter's notification (the
// host, or a restored state, on the message thread) switches the others of
// its group off, and their attachments write their parameters there and then:
// one parameter's listener lock, then another's, in either order. Only the
// message thread ever does this (on other threads the attachments hand the
// change to the message thread), so this cycle cannot close either.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions()
{
    return "deadlock:KestruneAudioProcessor::runIntervalCouplingStep\n"
           "deadlock:juce::Button::turnOffOtherButtonsInGroup\n";
}

int main (int argc, char** argv)
{
    // Editor tests open real windows; Xlib must be ready for JUCE's threads
    // and must not end the process on a harmless X error.
    kestrune::test::x11::prepareXlib();

    // A run without a display must not borrow one: JUCE would connect to
    // ":0.0", to whatever X server happens to listen there, and the process
    // would end with it. Window tests skip where no display answers.
    if (std::getenv ("DISPLAY") == nullptr)
        ::setenv ("DISPLAY", ":65535", 1);

    // Point HOME at a fresh folder before JUCE looks anything up, so that the
    // images folder under Documents never touches the real one.
    const auto home = kestrune::test::makeTemporaryHome();

    int result = 0;
    {
        kestrune::test::JuceAssertionGuard assertions;
        {
            juce::ScopedJuceInitialiser_GUI juceInit;
            ::testing::InitGoogleTest (&argc, argv);
            result = RUN_ALL_TESTS();
        }

        if (const auto outside = kestrune::test::JuceAssertionGuard::reportedOutsideTests(); outside > 0)
        {
            std::cerr << outside << " JUCE assertion(s) failed outside the tests" << std::endl;
            result = 1;
        }
    }

    kestrune::test::removeTemporaryHome (home);
    return result;
}
