#pragma once

#include <JuceHeader.h>

// Tables shared by the processor and the editor. They are built when the
// plug-in binary is loaded and never modified, so any thread may read them.

// Parameter IDs. Positions matter: code addresses parameters by index, and
// entries 5, 9 and 10 are the stems of the switch groups (stem + "0", "1", ...).
inline const juce::StringArray valueTreeNames {
    "zoom", "leftright", "updown", "a_interval", "b_interval", "rotate", "contrast",
    "penColour", "penTickness", "direction", "refline", "bwset", "bwthrreshold",
    "penStyle", "randomizespeed", "attack", "decay", "barduratiom", "fineRotate",
    "effectapply", "startposition", "leninterval", "blurforxaxis", "smootheforYAxis",
    "brightness", "horrescale", "verrescale", "drywet", "horskew", "verskew", "wider"
};

inline const juce::StringArray rotateTable    { "0", "90", "180", "270" };
inline const juce::StringArray directionTable { "Forward", "Backward", "Frwd/Back", "Random" };
inline const juce::StringArray refLineTable   { "Free", "1/2", "1/4", "1/8", "1/16", "1/32" };

inline const juce::StringArray penStyleOptions {
    "Line", "Ellipse", "Rectangle", "FillEllipse", "FillRect", "Free", "Spray"
};

inline const juce::StringArray myNotetUnit {
    "1nd",  "1n",  "1nt",  "2nd",  "2n",  "2nt",  "4nd",  "4n",  "4nt",  "8nd",  "8n",  "8nt",
    "16nd", "16n", "16nt", "32nd", "32n", "32nt", "64nd", "64n", "64nt", "128nd", "128n", "128nt"
};

inline const juce::Colour generalColour { 0xff1e1e1e };

// The one lock of the image pipeline (recursive), shared by every instance in
// the process. Held by the worker for each pass of the colour pipeline (tens
// of milliseconds on a large picture). Neither the audio thread nor the
// window's code takes it: the adoption try-locks its own processor's passLock,
// and what the message thread reads or replaces in the chain is guarded by
// each processor's pictureEditLock, which is never held for long (see
// PluginProcessor.h).
inline juce::CriticalSection criticalSection;
