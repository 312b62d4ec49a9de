#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cstdlib>

int main (int argc, char** argv)
{
    // Point HOME at a fresh folder before JUCE looks anything up, so that the
    // images folder under Documents never touches the real one.
    const auto home = kestrune::test::makeTemporaryHome();

    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juceInit;
        ::testing::InitGoogleTest (&argc, argv);
        result = RUN_ALL_TESTS();
    }

    kestrune::test::removeTemporaryHome (home);
    return result;
}
