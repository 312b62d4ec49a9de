#include "PluginProcessor.h"

#include <cmath>
#include <cstring>

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

    // c / 255 for every channel value, so that a pixel costs one division.
    static const auto channelShare = []
    {
        std::array<float, 256> shares {};
        for (size_t c = 0; c < shares.size(); ++c)
            shares[c] = (float) c / 255.0f;
        return shares;
    }();

    auto greyOfLevels = [] (int r, int g, int b)
    {
        return (channelShare[(size_t) r] + channelShare[(size_t) g] + channelShare[(size_t) b]) / 3.0f;
    };

    auto greyOf = [&] (juce::Colour c) { return greyOfLevels (c.getRed(), c.getGreen(), c.getBlue()); };

    // Opaque ARGB and RGB pixels (the usual case) are read straight from
    // memory; anything else goes through the colour accessor. The picture is
    // walked in bands of columns so that the transposed writes stay in cache.
    constexpr int band = 32;

    for (int x0 = 0; x0 < width; x0 += band)
    {
        const int x1 = juce::jmin (width, x0 + band);

        for (int y = 0; y < height; ++y)
        {
            const auto* p = data.getPixelPointer (x0, y);
            auto* out = grey.data() + (size_t) x0 * (size_t) height + (size_t) y;

            for (int x = x0; x < x1; ++x, p += data.pixelStride, out += height)
            {
                if (data.pixelFormat == juce::Image::ARGB)
                {
                    const auto& px = *reinterpret_cast<const juce::PixelARGB*> (p);
                    *out = px.getAlpha() == 255 ? greyOfLevels (px.getRed(), px.getGreen(), px.getBlue())
                                                : greyOf (data.getPixelColour (x, y));
                }
                else if (data.pixelFormat == juce::Image::RGB)
                {
                    const auto& px = *reinterpret_cast<const juce::PixelRGB*> (p);
                    *out = greyOfLevels (px.getRed(), px.getGreen(), px.getBlue());
                }
                else
                {
                    *out = greyOf (data.getPixelColour (x, y));
                }
            }
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
juce::String KestruneAudioProcessor::backWardCompatibilityFileSearch (juce::String& path) { return path; }

void KestruneAudioProcessor::showIncomingAudioSPectrum (juce::AudioBuffer<float>&) {}

//==============================================================================
// Colour pipeline and view transform (worker thread, criticalSection held)

namespace
{
    struct Rgba { int r, g, b, a; };

    // Straight (unpremultiplied) access to the pixels of the three formats an
    // image of the chain can have.
    struct ArgbPixels
    {
        static constexpr juce::Image::PixelFormat format = juce::Image::ARGB;

        static Rgba read (const juce::uint8* p) noexcept
        {
            auto px = *reinterpret_cast<const juce::PixelARGB*> (p);
            if (px.getAlpha() != 255)
                px.unpremultiply();
            return { px.getRed(), px.getGreen(), px.getBlue(), px.getAlpha() };
        }

        static void write (juce::uint8* p, Rgba c) noexcept
        {
            juce::PixelARGB px ((juce::uint8) c.a, (juce::uint8) c.r, (juce::uint8) c.g, (juce::uint8) c.b);
            if (c.a != 255)
                px.premultiply();
            *reinterpret_cast<juce::PixelARGB*> (p) = px;
        }
    };

    struct RgbPixels
    {
        static constexpr juce::Image::PixelFormat format = juce::Image::RGB;

        static Rgba read (const juce::uint8* p) noexcept
        {
            const auto& px = *reinterpret_cast<const juce::PixelRGB*> (p);
            return { px.getRed(), px.getGreen(), px.getBlue(), 255 };
        }

        static void write (juce::uint8* p, Rgba c) noexcept
        {
            reinterpret_cast<juce::PixelRGB*> (p)->setARGB (255, (juce::uint8) c.r, (juce::uint8) c.g, (juce::uint8) c.b);
        }
    };

    struct AlphaPixels
    {
        static constexpr juce::Image::PixelFormat format = juce::Image::SingleChannel;

        static Rgba read (const juce::uint8* p) noexcept
        {
            const auto c = juce::Colour (*reinterpret_cast<const juce::PixelAlpha*> (p));
            return { c.getRed(), c.getGreen(), c.getBlue(), c.getAlpha() };
        }

        static void write (juce::uint8* p, Rgba c) noexcept
        {
            *p = (juce::uint8) c.a;
        }
    };

    template <typename Fn>
    void withPixelAccess (juce::Image::PixelFormat format, Fn&& fn)
    {
        switch (format)
        {
            case juce::Image::ARGB:          fn (ArgbPixels{});  break;
            case juce::Image::RGB:           fn (RgbPixels{});   break;
            case juce::Image::SingleChannel: fn (AlphaPixels{}); break;
            case juce::Image::UnknownFormat:
            default:                         break;
        }
    }

    // Rewrites every pixel of `image` in place, row by row from the top, left to
    // right: fn (Rgba&) sees the straight colour and may change it.
    template <typename Fn>
    void rewritePixels (const juce::Image& image, Fn&& fn)
    {
        const juce::Image::BitmapData data (image, juce::Image::BitmapData::readWrite);

        withPixelAccess (data.pixelFormat, [&] (auto access)
        {
            using Access = decltype (access);

            for (int y = 0; y < data.height; ++y)
            {
                auto* p = data.getLinePointer (y);

                for (int x = 0; x < data.width; ++x, p += data.pixelStride)
                {
                    auto c = Access::read (p);
                    fn (c);
                    Access::write (p, c);
                }
            }
        });
    }

    // Copies the pixels of `source` into `dest` (same size). When the formats
    // differ the copy goes through the graphics context.
    void copyPixels (const juce::Image& source, juce::Image& dest)
    {
        if (source.getFormat() == dest.getFormat()
             && source.getWidth() == dest.getWidth() && source.getHeight() == dest.getHeight())
        {
            const juce::Image::BitmapData src (source, juce::Image::BitmapData::readOnly);
            const juce::Image::BitmapData dst (dest, juce::Image::BitmapData::writeOnly);
            const auto rowBytes = (size_t) (src.width * src.pixelStride);

            for (int y = 0; y < src.height; ++y)
                std::memcpy (dst.getLinePointer (y), src.getLinePointer (y), rowBytes);

            return;
        }

        dest.clear (dest.getBounds());
        juce::Graphics g (dest);
        g.drawImageAt (source, 0, 0);
    }

    juce::uint8 clampChannel (int v) noexcept
    {
        return (juce::uint8) juce::jlimit (0, 255, v);
    }
}

void KestruneAudioProcessor::changeColourFunction()
{
    prepareAdoption();

    // A picture is about to be adopted: render nothing, and lower the update
    // requests so that the audio thread may adopt it.
    if (newImagePending.load (std::memory_order_acquire))
    {
        needColourUpdate.store (false, std::memory_order_release);
        needTransformUpdate.store (false, std::memory_order_release);
        return;
    }

    // Nothing to render yet: the requests wait for a picture.
    if (! sourceImage.isValid())
        return;

    // Each request is taken (lowered) before the work it asks for, so that a
    // request raised by another thread while this pass runs survives it.
    if (reloadImage.exchange (false, std::memory_order_acq_rel))
        needColourUpdate.store (true, std::memory_order_release);

    if (needColourUpdate.exchange (false, std::memory_order_acq_rel))
    {
        needTransformUpdate.store (false, std::memory_order_release);
        runColourStages();
        applyTransform();
        return;
    }

    if (needTransformUpdate.exchange (false, std::memory_order_acq_rel))
        applyTransform();
}

void KestruneAudioProcessor::runColourStages()
{
    if (! compositeImage.isValid() || ! workImage.isValid() || ! blurImage.isValid())
        return;

    const int width  = compositeImage.getWidth();
    const int height = compositeImage.getHeight();

    // Picture and pen layer, each stretched over the whole composite. The
    // picture is opaque, so at the composite's own size drawing it is a copy.
    {
        const bool sameShape = sourceImage.getBounds() == compositeImage.getBounds()
                                && sourceImage.getFormat() == compositeImage.getFormat();
        if (sameShape)
            copyPixels (sourceImage, compositeImage);

        juce::Graphics g (compositeImage);

        if (! sameShape)
            g.drawImage (sourceImage, 0, 0, width, height, 0, 0, sourceImage.getWidth(), sourceImage.getHeight());

        g.setOpacity (1.0f);

        if (drawLayer.isValid())
            g.drawImage (drawLayer, 0, 0, width, height, 0, 0, drawLayer.getWidth(), drawLayer.getHeight());
    }

    // Lower resolution: shrink, then stretch back to the full size. A picture
    // narrower or shorter than the divisor still keeps one pixel on that axis.
    {
        const int reducedWidth  = juce::jmax (1, (int) ((double) width  / (double) horrescaleValue->load()));
        const int reducedHeight = juce::jmax (1, (int) ((double) height / (double) verrescaleValue->load()));

        if (reducedWidth == width && reducedHeight == height)
        {
            copyPixels (compositeImage, workImage);
        }
        else
        {
            const auto reduced = compositeImage.rescaled (reducedWidth, reducedHeight,
                                                          juce::Graphics::mediumResamplingQuality);
            // The stretched draw leaves the border pixels a little short of
            // opaque; start from a cleared image so that nothing of the last
            // pass shows through them.
            workImage.clear (workImage.getBounds());
            juce::Graphics g (workImage);
            g.drawImage (reduced, 0, 0, width, height, 0, 0, reducedWidth, reducedHeight);
        }
    }

    // Brightness, contrast and the black-and-white threshold each act on one
    // channel value alone: tabulate them, in that order, and run one sweep.
    {
        const int brightness = (int) (brightnessValue->load() * 128.0f);
        const double contrast = (double) contrastValue->load();
        const bool blackAndWhite = bwsetValue->load() == 1.0f;
        const float threshold = bwthrresholdValue->load() * 255.0f;
        std::array<juce::uint8, 256> table {};

        for (int c = 0; c < 256; ++c)
        {
            const int c1 = juce::jlimit (0, 255, c + brightness);
            const double c2 = (((double) c1 / 255.0 - 0.5) * contrast + 0.5) * 255.0;
            int level = clampChannel ((int) c2);

            if (blackAndWhite)
                level = (float) level < threshold ? 0 : 255;

            table[(size_t) c] = (juce::uint8) level;
        }

        rewritePixels (workImage, [&table, blackAndWhite] (Rgba& c)
        {
            c.r = table[(size_t) c.r];
            c.g = table[(size_t) c.g];
            c.b = table[(size_t) c.b];

            if (blackAndWhite)
                c.a = 255;
        });
    }

    // Smoothing along the rows. The state runs on from pixel to pixel, from
    // row to row and from pass to pass. The result goes into blurImage, and
    // the work image takes the same pixels.
    const float smoothing = blurforxaxisValue->load();

    if (smoothing != 0.0f)
    {
        const float rest = 1.0f - smoothing;
        auto state = rowSmoothState;
        const juce::Image::BitmapData work (workImage, juce::Image::BitmapData::readWrite);
        const juce::Image::BitmapData blur (blurImage, juce::Image::BitmapData::writeOnly);
        const int rows = juce::jmin (work.height, blur.height);
        const int columns = juce::jmin (work.width, blur.width);

        withPixelAccess (work.pixelFormat, [&] (auto workAccess)
        {
            withPixelAccess (blur.pixelFormat, [&] (auto blurAccess)
            {
                using WorkAccess = decltype (workAccess);
                using BlurAccess = decltype (blurAccess);

                for (int y = 0; y < rows; ++y)
                {
                    auto* w = work.getLinePointer (y);
                    auto* b = blur.getLinePointer (y);

                    for (int x = 0; x < columns; ++x, w += work.pixelStride, b += blur.pixelStride)
                    {
                        const auto c = WorkAccess::read (w);
                        state[0] = std::trunc (state[0] * smoothing + (float) c.r * rest);
                        state[1] = std::trunc (state[1] * smoothing + (float) c.g * rest);
                        state[2] = std::trunc (state[2] * smoothing + (float) c.b * rest);

                        const Rgba out { (int) state[0], (int) state[1], (int) state[2], 255 };
                        BlurAccess::write (b, out);
                        WorkAccess::write (w, out);
                    }
                }
            });
        });

        rowSmoothState = state;
    }
}

void KestruneAudioProcessor::applyTransform()
{
    if (! outputImage.isValid())
        return;

    const int outputWidth = outputImage.getWidth();
    const int outputHeight = outputImage.getHeight();

    if (transformImage.isValid())
        transformImage.clear ({ 0, 0, outputWidth, outputHeight }, juce::Colour (0xff000000));

    // Quarter turns use 1.57, 3.14 and 4.71; the highest switch that is on wins.
    // With no switch on there is no rotation at all, fine rotation included.
    const float fine = fineRotateValue->load() * 1.57f / 90.0f;
    float angle = 0.0f;

    if (rotateValues[3]->load() == 1.0f)       angle = (float) ((double) fine + 4.71);
    else if (rotateValues[2]->load() == 1.0f)  angle = (float) ((double) fine + 3.14);
    else if (rotateValues[1]->load() == 1.0f)  angle = (float) ((double) fine + 1.57);
    else if (rotateValues[0]->load() == 1.0f)  angle = fine;

    const int workWidth = workImage.isValid() ? workImage.getWidth() : 0;
    const int workHeight = workImage.isValid() ? workImage.getHeight() : 0;
    const float cx = (float) (workWidth / 2);
    const float cy = (float) (workHeight / 2);

    const float zoom = zoomValue->load();
    const float sx = 1.0f + zoom + horskewValue->load();
    const float sy = 1.0f + zoom + verskewValue->load();

    viewTransform = juce::AffineTransform::rotation (angle, cx, cy)
                        .translated (leftrightValue->load() * (float) workWidth,
                                     updownValue->load() * (float) workHeight)
                        .scaled (sx, sy, cx, cy);
    inverseViewTransform = viewTransform.inverted();

    if (transformImage.isValid())
    {
        if (workImage.isValid())
        {
            juce::Graphics g (transformImage);
            g.drawImageTransformed (workImage, viewTransform);
        }

        // transformImage is opaque, so drawing it over outputImage is a copy.
        copyPixels (transformImage, outputImage);
    }

    outputFrames.backFrame().buildFrom (outputImage);
    outputFrames.publish();
}
