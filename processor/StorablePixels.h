#pragma once

#include <JuceHeader.h>

// JUCE keeps ARGB pixels premultiplied by their alpha, and a PNG file holds
// them unpremultiplied: on the way out and back in, each translucent colour
// is rounded twice, and many do not come back as they were (a white stroke's
// soft edge comes back a shade darker, and darker again at every round trip).
// A project reopened from its PNG copies must filter through exactly the
// pixels it was saved with, so the pictures that are saved are written so
// that they read back exactly, and the pen layer only ever holds colours
// that can.
namespace kestrune::pictures
{
    // Moves every translucent colour channel of an ARGB image to the nearest
    // value that a PNG file can give back exactly (at most one step of 255).
    // Opaque and fully transparent pixels, and other formats, stay as they are.
    void makeStorable (juce::Image& image);

    // True when every pixel of `image` comes back exactly through encodePng.
    bool isStorable (const juce::Image& image);

    // PNG data of `image` that our decoder (and JUCE's) reads back as exactly
    // `image` where it is storable, and as makeStorable would leave it
    // elsewhere. False when the encoder failed.
    bool encodePng (const juce::Image& image, juce::MemoryBlock& png);
}
