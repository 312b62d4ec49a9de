#include "ImageBands.h"
#include "BandWorkers.h"
#include "TransformedFill.h"

#include <cstring>

namespace
{
    class PixelView : public juce::ImagePixelData
    {
    public:
        explicit PixelView (const juce::Image::BitmapData& d)
            : juce::ImagePixelData (d.pixelFormat, d.width, d.height),
              pixels (d.data), lineStride (d.lineStride), pixelStride (d.pixelStride)
        {
        }

        std::unique_ptr<juce::LowLevelGraphicsContext> createLowLevelContext() override
        {
            return std::make_unique<juce::LowLevelGraphicsSoftwareRenderer> (juce::Image (*this));
        }

        Ptr clone() override
        {
            juce::Image copy (pixelFormat, width, height, false, juce::SoftwareImageType());
            const juce::Image::BitmapData dest (copy, juce::Image::BitmapData::writeOnly);

            for (int y = 0; y < height; ++y)
                std::memcpy (dest.getLinePointer (y), pixels + (size_t) y * (size_t) lineStride,
                             (size_t) width * (size_t) pixelStride);

            return copy.getPixelData();
        }

        std::unique_ptr<juce::ImageType> createType() const override
        {
            return std::make_unique<juce::SoftwareImageType>();
        }

        void initialiseBitmapData (juce::Image::BitmapData& bitmap, int x, int y,
                                   juce::Image::BitmapData::ReadWriteMode) override
        {
            const auto offset = (size_t) x * (size_t) pixelStride + (size_t) y * (size_t) lineStride;
            bitmap.data = pixels + offset;
            bitmap.size = (size_t) height * (size_t) lineStride - offset;
            bitmap.pixelFormat = pixelFormat;
            bitmap.lineStride = lineStride;
            bitmap.pixelStride = pixelStride;
        }

    private:
        juce::uint8* pixels;
        const int lineStride, pixelStride;
    };

    constexpr int minimumRowsPerBand = 16;
}

namespace kestrune::bands
{
    juce::Image viewOf (const juce::Image::BitmapData& data)
    {
        return juce::Image (new PixelView (data));
    }

    int bandsFor (const BandWorkers* workers, int rows) noexcept
    {
        if (workers == nullptr || workers->threads() <= 1)
            return 1;

        // Twice the threads, so that a helper the machine is slow to run
        // leaves less for the others to wait for.
        return juce::jlimit (1, 2 * workers->threads(), rows / minimumRowsPerBand);
    }

    void forEachBand (BandWorkers* workers, int rows, const std::function<void (int, int)>& fn)
    {
        if (rows <= 0)
            return;

        const auto bands = bandsFor (workers, rows);

        if (bands <= 1)
        {
            fn (0, rows);
            return;
        }

        workers->run (bands, [&] (int band)
        {
            fn ((int) ((juce::int64) rows * band / bands), (int) ((juce::int64) rows * (band + 1) / bands));
        });
    }

    void drawInBands (BandWorkers* workers, const juce::Image& dest, const juce::Image& source,
                      const std::function<void (juce::Graphics&, const juce::Image&)>& draw)
    {
        if (! dest.isValid())
            return;

        if (bandsFor (workers, dest.getHeight()) <= 1)
        {
            juce::Graphics g (dest);
            draw (g, source);
            return;
        }

        // The bitmaps are taken here, on the calling thread; the bands only
        // ever touch their own views of them.
        const juce::Image::BitmapData destData (dest, juce::Image::BitmapData::readWrite);
        std::optional<juce::Image::BitmapData> sourceData;

        if (source.isValid())
            sourceData.emplace (source, juce::Image::BitmapData::readOnly);

        forEachBand (workers, dest.getHeight(), [&] (int y0, int y1)
        {
            const auto destView = viewOf (destData);
            const auto sourceView = sourceData ? viewOf (*sourceData) : juce::Image();
            juce::Graphics g (destView);
            g.reduceClipRegion (0, y0, destView.getWidth(), y1 - y0);
            draw (g, sourceView);
        });
    }

    void drawTransformedInBands (BandWorkers* workers, const juce::Image& dest, const juce::Image& source,
                                 const juce::AffineTransform& transform, juce::Graphics::ResamplingQuality quality)
    {
        if (! dest.isValid() || ! source.isValid())
            return;

        if (kestrune::fill::handles (dest.getFormat(), source.getFormat(), transform, quality))
        {
            const juce::Image::BitmapData destData (dest, juce::Image::BitmapData::readWrite);
            const juce::Image::BitmapData sourceData (source, juce::Image::BitmapData::readOnly);

            forEachBand (workers, destData.height, [&] (int y0, int y1)
            {
                kestrune::fill::drawTransformed (destData, { 0, y0, destData.width, y1 - y0 },
                                                 sourceData, transform, quality);
            });
            return;
        }

        drawInBands (workers, dest, source, [&] (juce::Graphics& g, const juce::Image& sourceView)
        {
            g.setImageResamplingQuality (quality);
            g.drawImageTransformed (sourceView, transform, false);
        });
    }

    void clearInBands (BandWorkers* workers, const juce::Image& image, juce::Colour colour)
    {
        if (! image.isValid())
            return;

        if (bandsFor (workers, image.getHeight()) <= 1)
        {
            auto copy = image;
            copy.clear (image.getBounds(), colour);
            return;
        }

        const juce::Image::BitmapData data (image, juce::Image::BitmapData::readWrite);

        forEachBand (workers, image.getHeight(), [&] (int y0, int y1)
        {
            auto view = viewOf (data);
            view.clear ({ 0, y0, view.getWidth(), y1 - y0 }, colour);
        });
    }

    bool copyInBands (BandWorkers* workers, const juce::Image& source, const juce::Image& dest)
    {
        if (! source.isValid() || ! dest.isValid() || source.getFormat() != dest.getFormat()
             || source.getBounds() != dest.getBounds())
            return false;

        const juce::Image::BitmapData src (source, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData dst (dest, juce::Image::BitmapData::writeOnly);
        const auto rowBytes = (size_t) src.width * (size_t) src.pixelStride;

        forEachBand (workers, src.height, [&] (int y0, int y1)
        {
            for (int y = y0; y < y1; ++y)
                std::memcpy (dst.getLinePointer (y), src.getLinePointer (y), rowBytes);
        });

        return true;
    }
}
