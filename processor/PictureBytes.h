#pragma once

#include <JuceHeader.h>

#include <memory>
#include <mutex>

// The bytes a picture's copy in the images folder is made of, kept with the
// picture while it is in force, so that a save only writes bytes already
// there instead of encoding a picture on the host's state-call thread.
//
// A picture opened from a file keeps that file's bytes: its copy is the file
// itself (a JPEG stays the JPEG it was), and a restore decodes it to the same
// pixels. A picture made here (a recording) gets its PNG, made on a thread of
// its own soon after; until then there are none, and a save encodes as if
// there never would be (the same PNG either way).
//
// Shared: the processor holds one per picture in force, the saves that name
// the picture share it, and it goes when another picture is handed over.
// The bytes never change once there.
class PictureBytes
{
public:
    // The bytes of the file a picture was read from, there at once.
    explicit PictureBytes (std::shared_ptr<const juce::MemoryBlock> fileBytes);

    // The same, shared; null for none.
    static std::shared_ptr<PictureBytes> ofFile (std::shared_ptr<const juce::MemoryBlock> fileBytes);

    // The PNG of `image` (kestrune::pictures::encodePng's), made by encode().
    explicit PictureBytes (const juce::Image& image);

    // The bytes; null while they are still to be made (or could not be).
    std::shared_ptr<const juce::MemoryBlock> get() const;

    // Makes the PNG if it is still to be made; any thread but the audio
    // thread. A reader meanwhile finds none, and never waits for it.
    void encode();

private:
    mutable std::mutex lock;                     // held only to take or set a handle
    std::shared_ptr<const juce::MemoryBlock> bytes;
    juce::Image toEncode;                        // until encode() has run
};
