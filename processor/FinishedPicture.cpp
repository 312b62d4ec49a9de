#include "FinishedPicture.h"
#include "ImageBands.h"

#include <cstring>

namespace
{
    // Whether the `count` pixels of an ARGB image from (x, y) rightwards are all opaque.
    bool opaqueRun (const juce::Image::BitmapData& data, int x, int y, int count)
    {
        for (int i = 0; i < count; ++i)
            if (reinterpret_cast<const juce::PixelARGB*> (data.getPixelPointer (x + i, y))->getAlpha() != 0xff)
                return false;

        return true;
    }

    // The area of an ARGB image inside which every pixel is opaque. A picture
    // scaled onto a transparent image has soft edges of the same width along
    // each side, so the area's edges are where the middle row and the middle
    // column turn opaque; then every pixel inside is checked. Empty when any
    // is not (a picture with transparency of its own).
    juce::Rectangle<int> opaqueAreaOf (const juce::Image& image)
    {
        if (image.getFormat() != juce::Image::ARGB)
            return image.getBounds();

        const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
        const auto opaque = [&data] (int x, int y) { return opaqueRun (data, x, y, 1); };

        const int midX = data.width / 2, midY = data.height / 2;
        int left = 0, top = 0, right = data.width, bottom = data.height;

        while (left < right && ! opaque (left, midY))        ++left;
        while (right > left && ! opaque (right - 1, midY))   --right;
        while (top < bottom && ! opaque (midX, top))         ++top;
        while (bottom > top && ! opaque (midX, bottom - 1))  --bottom;

        if (left >= right || top >= bottom)
            return {};

        for (int y = top; y < bottom; ++y)
            if (! opaqueRun (data, left, y, right - left))
                return {};

        return { left, top, right - left, bottom - top };
    }
}

void FinishedPicture::publish (const juce::Image& picture)
{
    const auto number = published.load (std::memory_order_relaxed) + 1;

    if (! picture.isValid())
    {
        // Handles are moved out under the spin lock and let go after it, so
        // no image is freed while a reader may be spinning.
        juce::Image dropped;
        std::array<DisplayCopy, displaySlots> droppedCopies;

        {
            const juce::SpinLock::ScopedLockType sl (lock);
            std::swap (dropped, newest);
            std::swap (droppedCopies, displays);
            newestNumber = number;
        }

        newestSlot = -1;
        published.store (number, std::memory_order_release);
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

    if (slot < 0)
    {
        // Readers hold every other image: start a fresh one in a slot that is
        // not the newest. The readers keep theirs until they let go.
        slot = (newestSlot + 1) % (int) poolSize;
        pool[(size_t) slot] = {};
    }

    auto& target = pool[(size_t) slot];

    if (! target.isValid() || target.getBounds() != picture.getBounds() || target.getFormat() != picture.getFormat())
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
        newestNumber = number;
    }

    newestSlot = slot;
    published.store (number, std::memory_order_release);
}

void FinishedPicture::renderDisplayCopies (BandWorkers* workers)
{
    juce::Image picture;
    juce::uint32 number = 0;

    {
        const juce::SpinLock::ScopedLockType sl (lock);
        picture = newest;
        number = newestNumber;
    }

    if (! picture.isValid())
        return;

    const auto now = juce::Time::getMillisecondCounter();

    for (size_t s = 0; s < displaySlots; ++s)
    {
        const auto size = wantedSizes[s].load (std::memory_order_acquire);

        if (size == 0 || now - wantedAt[s].load (std::memory_order_acquire) > displaySizeLifetimeMs)
        {
            spareDisplays[s] = {};
            continue;
        }

        const auto width = (int) (size >> 32);
        const auto height = (int) (size & 0xffffffffu);

        if (width <= 0 || height <= 0 || width > 16384 || height > 16384)
            continue;

        {
            const juce::SpinLock::ScopedLockType sl (lock);

            if (displays[s].size == size && displays[s].pictureNumber == number)
                continue;
        }

        // Drawn the way a window draws the picture itself: stretched over the
        // whole area, on a transparent image.
        // Into the image of the copy this one replaced last time, once no
        // reader holds it (nobody can take it any more: it is no longer
        // among the displays); else into a new one.
        DisplayCopy copy;
        auto& spare = spareDisplays[s];

        if (spare.isValid() && spare.getReferenceCount() == 1 && spare.getFormat() == juce::Image::ARGB
             && spare.getWidth() == width && spare.getHeight() == height)
        {
            std::swap (copy.image, spare);
            kestrune::bands::clearInBands (workers, copy.image, juce::Colour());
        }
        else
        {
            copy.image = juce::Image (juce::Image::ARGB, width, height, true, juce::SoftwareImageType());
        }

        spare = {};
        copy.size = size;
        copy.pictureNumber = number;
        copy.pictureWidth = picture.getWidth();
        copy.pictureHeight = picture.getHeight();

        const auto scale = juce::AffineTransform::scale ((float) width / (float) picture.getWidth(),
                                                         (float) height / (float) picture.getHeight());
        kestrune::bands::drawTransformedInBands (workers, copy.image, picture, scale,
                                                 juce::Graphics::mediumResamplingQuality);
        copy.opaqueArea = opaqueAreaOf (copy.image);

        {
            const juce::SpinLock::ScopedLockType sl (lock);

            // A null picture published meanwhile wins: no copy outlives it.
            if (newestNumber == number)
                std::swap (displays[s], copy);
        }

        rendered.fetch_add (1, std::memory_order_release);

        // `copy` now holds what was replaced (or, had a null picture been
        // published meanwhile, the copy just drawn): kept for the next time.
        spare = std::move (copy.image);
    }
}

juce::Image FinishedPicture::latest() const
{
    const juce::SpinLock::ScopedLockType sl (lock);
    return newest;
}

bool FinishedPicture::tryForDisplay (int width, int height, ForDisplay& result)
{
    ForDisplay found;
    const auto size = packSize (juce::jmax (0, width), juce::jmax (0, height));

    {
        const juce::SpinLock::ScopedTryLockType sl (lock);

        if (! sl.isLocked())
            return false;

        if (newest.isValid())
        {
            for (const auto& copy : displays)
            {
                if (copy.size == size && copy.image.isValid())
                {
                    found = { copy.image, true, copy.pictureWidth, copy.pictureHeight, copy.opaqueArea };
                    break;
                }
            }

            if (found.image.isNull())
                found = { newest, false, newest.getWidth(), newest.getHeight() };
        }
    }

    result = std::move (found);

    if (width <= 0 || height <= 0 || result.image.isNull())
        return true;

    // Ask for a copy at this size: refresh the slot that holds it, or take
    // over the one asked for least recently.
    const auto now = juce::Time::getMillisecondCounter();
    size_t target = 0;

    for (size_t s = 0; s < displaySlots; ++s)
    {
        if (wantedSizes[s].load (std::memory_order_acquire) == size)
        {
            wantedAt[s].store (now, std::memory_order_release);
            return true;
        }

        if (now - wantedAt[s].load (std::memory_order_acquire) > now - wantedAt[target].load (std::memory_order_acquire))
            target = s;
    }

    wantedAt[target].store (now, std::memory_order_release);
    wantedSizes[target].store (size, std::memory_order_release);
    return true;
}
