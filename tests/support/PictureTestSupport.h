#pragma once

#include "SamePixels.h"
#include "TestSupport.h"

#include <set>
#include <utility>
#include <vector>

// Helpers for tests that load, adopt and inspect pictures.
namespace kestrune::test
{
    // A folder for picture files that tests make (outside the images folder).
    inline juce::File pictureScratchFolder()
    {
        auto dir = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile ("test-pictures");
        dir.createDirectory();
        return dir;
    }

    // An empty folder of that name under HOME (emptied if it was there).
    inline juce::File freshFolder (const juce::String& name)
    {
        auto dir = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile ("fresh").getChildFile (name);
        dir.deleteRecursively();
        dir.createDirectory();
        return dir;
    }

    // Every file under `dir` (links not followed) with its size, leaving out
    // those under `except`: what a test compares to see nothing was written.
    inline std::set<std::pair<juce::String, juce::int64>> filesUnder (const juce::File& dir, const juce::File& except)
    {
        std::set<std::pair<juce::String, juce::int64>> files;
        for (const auto& f : dir.findChildFiles (juce::File::findFiles, true, "*", juce::File::FollowSymlinks::no))
            if (! f.isAChildOf (except))
                files.insert ({ f.getFullPathName(), f.getSize() });
        return files;
    }

    inline juce::MemoryBlock encodePng (const juce::Image& image)
    {
        juce::MemoryBlock block;
        juce::MemoryOutputStream out (block, false);
        juce::PNGImageFormat().writeImageToStream (image, out);
        out.flush();
        return block;
    }

    inline juce::MemoryBlock encodeJpeg (const juce::Image& image)
    {
        juce::MemoryBlock block;
        juce::MemoryOutputStream out (block, false);
        juce::JPEGImageFormat jpeg;
        jpeg.setQuality (0.9f);
        jpeg.writeImageToStream (image, out);
        out.flush();
        return block;
    }

    inline juce::File writeBytes (const juce::String& name, const void* data, size_t size)
    {
        auto file = pictureScratchFolder().getChildFile (name);
        file.replaceWithData (data, size);
        return file;
    }

    inline juce::File writeBytes (const juce::String& name, const juce::MemoryBlock& block)
    {
        return writeBytes (name, block.getData(), block.getSize());
    }

    // The whole content of a file (empty when there is none).
    inline juce::MemoryBlock contentOf (const juce::File& file)
    {
        juce::MemoryBlock block;
        file.loadFileAsData (block);
        return block;
    }

    // The ImagePath child of a saved state (invalid when it has none).
    inline juce::ValueTree savedImagePath (const juce::MemoryBlock& blob)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
        return xml != nullptr ? juce::ValueTree::fromXml (*xml).getChildWithName ("ImagePath") : juce::ValueTree();
    }

    // The picture copy a saved state names in the images folder ("savedCopies"),
    // or File() when it names none.
    inline juce::File savedPictureCopy (const juce::MemoryBlock& blob)
    {
        const auto name = savedImagePath (blob).getProperty ("savedCopies").toString().upToFirstOccurrenceOf ("/", false, false);
        return name.isEmpty() ? juce::File() : imagesFolder().getChildFile (name);
    }

    inline juce::Image solidImage (int w, int h, juce::Colour c, juce::Image::PixelFormat format = juce::Image::RGB)
    {
        juce::Image image (format, w, h, true);
        image.clear (image.getBounds(), c);
        return image;
    }

    // A picture with distinct pixels, so that a round trip can be compared.
    inline juce::Image patternImage (int w, int h)
    {
        juce::Image image (juce::Image::ARGB, w, h, true);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint8) (x * 37), (juce::uint8) (y * 11), (juce::uint8) (x + y), (juce::uint8) 255));
        return image;
    }

    // A 1 x 1 GIF (white, 89a) whose logical screen and image sizes can be set.
    inline std::vector<juce::uint8> makeGif (int screenW, int screenH, int imageW = 1, int imageH = 1)
    {
        auto lo = [] (int v) { return (juce::uint8) (v & 0xff); };
        auto hi = [] (int v) { return (juce::uint8) ((v >> 8) & 0xff); };
        return { 'G', 'I', 'F', '8', '9', 'a', lo (screenW), hi (screenW), lo (screenH), hi (screenH),
                 0x80, 0x00, 0x00,                      // global colour table of 2 entries
                 0xff, 0xff, 0xff, 0x00, 0x00, 0x00,
                 ',', 0, 0, 0, 0, lo (imageW), hi (imageW), lo (imageH), hi (imageH), 0x00,
                 0x02, 0x02, 0x44, 0x01, 0x00,          // LZW data for one pixel of index 0
                 ';' };
    }

    // Lets the processor's worker prepare the pending picture and adopts it the
    // way an audio block would (this thread stands in for the audio thread).
    inline bool adoptPending (KestruneAudioProcessor& p, int timeoutMs = 20000)
    {
        return waitFor ([&p]
        {
            p.checkAndLoadFile();
            return ! p.newImagePending.load();
        }, timeoutMs);
    }

    // Waits until the worker has prepared a chain for the hand-over pending
    // now (ready to be swapped in by the next audio block).
    inline bool chainPrepared (KestruneAudioProcessor& p, int timeoutMs = 20000)
    {
        return waitFor ([&p]
        {
            const juce::ScopedLock sl (p.passLock);
            return p.newImagePending.load() && p.preparedChainReady.load()
                    && p.preparedChain.generation == p.pendingGeneration.load();
        }, timeoutMs);
    }

    inline juce::Image copyUnderLock (const juce::Image& image)
    {
        const juce::ScopedLock sl (criticalSection);
        return image.isValid() ? image.createCopy() : juce::Image();
    }
}
