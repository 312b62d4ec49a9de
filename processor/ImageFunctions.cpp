#include "PluginProcessor.h"

//==============================================================================
void GreyFrame::buildFrom (const juce::Image& image)
{
    if (! image.isValid())
    {
        width = height = 0;
        grey.clear();
        return;
    }

    width = image.getWidth();
    height = image.getHeight();
    grey.resize ((size_t) width * (size_t) height);

    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);

    for (int y = 0; y < height; ++y)
    {
        for (int x = 0; x < width; ++x)
        {
            const auto c = data.getPixelColour (x, y);
            grey[(size_t) x * (size_t) height + (size_t) y]
                = ((float) c.getRed() / 255.0f + (float) c.getGreen() / 255.0f + (float) c.getBlue() / 255.0f) / 3.0f;
        }
    }
}

//==============================================================================
void GreyFrameExchange::publish() noexcept
{
    back = middle.exchange (back | freshBit, std::memory_order_acq_rel) & ~freshBit;
}

const GreyFrame& GreyFrameExchange::acquire() noexcept
{
    if ((middle.load (std::memory_order_acquire) & freshBit) != 0)
        front = middle.exchange (front, std::memory_order_acq_rel) & ~freshBit;

    return slots[(size_t) front];
}

void GreyFrameExchange::replaceFront (GreyFrame& replacement) noexcept
{
    acquire(); // discard anything published for the picture being replaced
    std::swap (slots[(size_t) front], replacement);
}

//==============================================================================
LayerSnapshot::LayerSnapshot (const juce::Image& layer)
    : pixels (layer.isValid() ? layer.createCopy() : juce::Image())
{
}

juce::Image LayerSnapshot::restore() const
{
    return pixels.isValid() ? pixels.createCopy() : juce::Image();
}

size_t LayerSnapshot::bytes() const
{
    return pixels.isValid() ? (size_t) pixels.getWidth() * (size_t) pixels.getHeight() * 4 : 0;
}

//==============================================================================
// Picture adoption, the colour pipeline, pen drawing and the picture files are
// filled in below as they are built.

void KestruneAudioProcessor::prepareAdoption() {}
void KestruneAudioProcessor::checkAndLoadFile() {}
void KestruneAudioProcessor::iniImages() {}
void KestruneAudioProcessor::changeColourFunction() {}
void KestruneAudioProcessor::applyTransform() {}

void KestruneAudioProcessor::setRange (juce::Point<float>, juce::Point<float>) {}
void KestruneAudioProcessor::drawShape (std::vector<juce::Point<float>>&) {}
bool KestruneAudioProcessor::undoStroke() { return false; }
bool KestruneAudioProcessor::redoStroke() { return false; }

juce::String KestruneAudioProcessor::getFilePath (juce::String fileName)
{
    return juce::File::getSpecialLocation (juce::File::userDocumentsDirectory)
               .getChildFile (imagesFolderName)
               .getChildFile (fileName)
               .getFullPathName();
}

void KestruneAudioProcessor::createImageDrawPath() {}
void KestruneAudioProcessor::setImageDrawPathToValueState() {}
void KestruneAudioProcessor::setImagePathToValueState() {}
void KestruneAudioProcessor::saveImageToDisk (juce::Image&, juce::String) {}
void KestruneAudioProcessor::loadFile (const juce::String&, bool) {}

void KestruneAudioProcessor::showIncomingAudioSPectrum (juce::AudioBuffer<float>&) {}
