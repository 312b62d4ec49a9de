#include "FinishedPicture.h"

#include <cstring>

void FinishedPicture::publish (const juce::Image& picture)
{
    if (! picture.isValid())
    {
        {
            // The pool still holds the image dropped here: nothing is freed
            // under the spin lock.
            const juce::SpinLock::ScopedLockType sl (lock);
            newest = {};
        }

        newestSlot = -1;
        published.fetch_add (1, std::memory_order_release);
        return;
    }

    // A pool image that only the pool holds and that is not the newest one:
    // no reader has it and none can take it any more.
    int slot = -1;

    for (int i = 0; i < (int) poolSize; ++i)
    {
        const auto& candidate = pool[(size_t) i];

        if (i != newestSlot && (! candidate.isValid() || candidate.getReferenceCount() == 1))
        {
            slot = i;
            break;
        }
    }

    auto sameShape = [&picture] (const juce::Image& image)
    {
        return image.isValid() && image.getBounds() == picture.getBounds()
                && image.getFormat() == picture.getFormat();
    };

    if (slot < 0)
    {
        // Readers hold every other image: start a fresh one in a slot that is
        // not the newest. The readers keep theirs until they let go.
        slot = (newestSlot + 1) % (int) poolSize;
        pool[(size_t) slot] = {};
    }

    auto& target = pool[(size_t) slot];

    if (! sameShape (target))
        target = juce::Image (picture.getFormat(), picture.getWidth(), picture.getHeight(), false,
                              juce::SoftwareImageType());

    {
        const juce::Image::BitmapData src (picture, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData dst (target, juce::Image::BitmapData::writeOnly);
        const auto rowBytes = (size_t) src.width * (size_t) src.pixelStride;

        for (int y = 0; y < src.height; ++y)
            std::memcpy (dst.getLinePointer (y), src.getLinePointer (y), rowBytes);
    }

    {
        // The previous newest stays in the pool, so this only swaps handles.
        const juce::SpinLock::ScopedLockType sl (lock);
        newest = target;
    }

    newestSlot = slot;
    published.fetch_add (1, std::memory_order_release);
}

juce::Image FinishedPicture::latest() const
{
    const juce::SpinLock::ScopedLockType sl (lock);
    return newest;
}
