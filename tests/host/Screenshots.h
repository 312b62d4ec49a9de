#pragma once

#include "HostSupport.h"

namespace kestrune::host
{
    // Writes the plug-in window's screenshots into `folder` (see the .cpp).
    // Returns the process exit code: 0 when every picture was written and
    // looked like the plug-in's window.
    int writeScreenshots (const juce::File& folder);
}
