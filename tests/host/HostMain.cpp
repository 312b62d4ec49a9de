#include "HostSupport.h"
#include "Screenshots.h"
#include "XDisplay.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <unistd.h>

// Runs the host tests, or with "--screenshots <folder>" writes the plug-in
// window's screenshots there instead.
int main (int argc, char** argv)
{
    const bool screenshots = argc >= 2 && std::strcmp (argv[1], "--screenshots") == 0;
    if (screenshots && argc < 3)
    {
        std::cerr << "usage: kestrune_host_test --screenshots <output folder>\n";
        return 2;
    }

    // An X server of its own: the record test clicks into the plug-in's
    // window and reads the screen, and windows of tests running beside it on
    // a shared display would take the click or cover what it reads.
    kestrune::test::x11::PrivateXServer server (true);

    // The editor tests show the plug-in's window; Xlib must be ready for the
    // threads and must not end the process on a harmless X error.
    kestrune::test::x11::prepareXlib();

    // Keep the plug-in's images folder out of the real Documents folder.
    char pattern[] = "/tmp/kestrune-host-home-XXXXXX";
    const char* home = ::mkdtemp (pattern);
    if (home == nullptr)
        return 2;
    ::setenv ("HOME", home, 1);
    ::unsetenv ("XDG_CONFIG_HOME");

    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juceInit;
        if (screenshots)
        {
            result = kestrune::host::writeScreenshots (juce::File::getCurrentWorkingDirectory().getChildFile (argv[2]));
        }
        else
        {
            ::testing::InitGoogleTest (&argc, argv);
            result = RUN_ALL_TESTS();
        }
    }

    juce::File (home).deleteRecursively();
    return result;
}
