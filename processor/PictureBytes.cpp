#include "PictureBytes.h"
#include "StorablePixels.h"

PictureBytes::PictureBytes (std::shared_ptr<const juce::MemoryBlock> fileBytes)
    : bytes (std::move (fileBytes))
{
}

std::shared_ptr<PictureBytes> PictureBytes::ofFile (std::shared_ptr<const juce::MemoryBlock> fileBytes)
{
    return fileBytes != nullptr ? std::make_shared<PictureBytes> (std::move (fileBytes)) : nullptr;
}

PictureBytes::PictureBytes (const juce::Image& image)
    : toEncode (image)
{
}

std::shared_ptr<const juce::MemoryBlock> PictureBytes::get() const
{
    const std::lock_guard<std::mutex> guard (lock);
    return bytes;
}

void PictureBytes::encode()
{
    juce::Image image;
    {
        const std::lock_guard<std::mutex> guard (lock);
        std::swap (image, toEncode); // the picture's handle goes with this call
    }

    if (! image.isValid())
        return;

    auto png = std::make_shared<juce::MemoryBlock>();

    if (! kestrune::pictures::encodePng (image, *png))
        return;

    const std::lock_guard<std::mutex> guard (lock);
    bytes = std::move (png);
}
