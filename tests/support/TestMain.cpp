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
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions()
{
    return "deadlock:KestruneAudioProcessor::runIntervalCouplingStep\n";
}

int main (int argc, char** argv)
{
    // Editor tests open real windows; Xlib must be ready for JUCE's threads
    // and must not end the process on a harmless X error.
    kestrune::test::x11::prepareXlib();

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
