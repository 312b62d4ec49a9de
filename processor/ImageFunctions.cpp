#include "PluginProcessor.h"
#include "PictureFiles.h"

#include <csetjmp>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>

#if JUCE_WINDOWS
 #include <process.h>
#else
 #include <unistd.h>
#endif

#include <png.h>
extern "C"
{
 #include <jpeglib.h>
}

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
// Snapshots store layer rows deflated. A pen layer is mostly transparent and a
// stroke changes a small part of it, so a step normally keeps only the area
// where it differs from the step before; every so many steps a whole layer is
// kept instead, which bounds the work of a restore.
namespace
{
    constexpr int snapshotCompressionLevel = 1;
    constexpr int maxStepsBetweenWholeLayers = 32;

    void deflateArea (const juce::Image& layer, juce::Rectangle<int> area, juce::MemoryBlock& dest)
    {
        if (area.isEmpty())
            return;

        const juce::Image::BitmapData pixels (layer, juce::Image::BitmapData::readOnly);
        const auto rowBytes = (size_t) area.getWidth() * (size_t) pixels.pixelStride;

        juce::MemoryOutputStream out (dest, false);
        juce::GZIPCompressorOutputStream zipper (out, snapshotCompressionLevel);

        for (int y = area.getY(); y < area.getBottom(); ++y)
            zipper.write (pixels.getPixelPointer (area.getX(), y), rowBytes);

        zipper.flush();
    } // the output stream trims the block to the bytes written

    void inflateArea (const juce::MemoryBlock& source, juce::Rectangle<int> area, juce::Image::BitmapData& pixels)
    {
        if (area.isEmpty())
            return;

        const auto rowBytes = (size_t) area.getWidth() * (size_t) pixels.pixelStride;
        juce::MemoryInputStream in (source, false);
        juce::GZIPDecompressorInputStream unzipper (in);

        for (int y = area.getY(); y < area.getBottom(); ++y)
        {
            auto* row = pixels.getPixelPointer (area.getX(), y);
            const auto got = (size_t) juce::jmax (0, unzipper.read (row, (int) rowBytes));

            // Only a damaged block comes up short; what is missing reads transparent.
            if (got < rowBytes)
                std::memset (row + got, 0, rowBytes - got);
        }
    }

    // The smallest rectangle outside which `a` and `b` (same size and format) agree.
    juce::Rectangle<int> differingArea (const juce::Image& a, const juce::Image& b)
    {
        const juce::Image::BitmapData da (a, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData db (b, juce::Image::BitmapData::readOnly);
        const auto stride = (size_t) da.pixelStride;
        const auto width = a.getWidth();
        const auto rowBytes = (size_t) width * stride;

        int left = width, right = -1, top = -1, bottom = -1;

        for (int y = 0; y < a.getHeight(); ++y)
        {
            const auto* ra = da.getLinePointer (y);
            const auto* rb = db.getLinePointer (y);

            if (std::memcmp (ra, rb, rowBytes) == 0)
                continue;

            if (top < 0)
                top = y;
            bottom = y;

            int x = 0;
            while (x < left && std::memcmp (ra + (size_t) x * stride, rb + (size_t) x * stride, stride) == 0)
                ++x;
            left = juce::jmin (left, x);

            x = width - 1;
            while (x > right && std::memcmp (ra + (size_t) x * stride, rb + (size_t) x * stride, stride) == 0)
                --x;
            right = juce::jmax (right, x);
        }

        if (top < 0)
            return {};

        return { left, top, right - left + 1, bottom - top + 1 };
    }
}

LayerSnapshot::LayerSnapshot (const juce::Image& layer)
{
    if (! layer.isValid())
        return;

    auto p = std::make_shared<Packed>();
    p->width = layer.getWidth();
    p->height = layer.getHeight();
    p->format = layer.getFormat();
    p->area = layer.getBounds();
    deflateArea (layer, p->area, p->data);
    packed = std::move (p);
}

LayerSnapshot::LayerSnapshot (const juce::Image& layer, const LayerSnapshot& previous)
{
    const auto& prev = previous.packed;

    if (! layer.isValid() || prev == nullptr
         || prev->depth + 1 >= maxStepsBetweenWholeLayers
         || prev->width != layer.getWidth() || prev->height != layer.getHeight()
         || prev->format != layer.getFormat())
    {
        *this = LayerSnapshot (layer);
        return;
    }

    auto p = std::make_shared<Packed>();
    p->width = prev->width;
    p->height = prev->height;
    p->format = prev->format;
    p->base = prev;
    p->depth = prev->depth + 1;
    p->area = differingArea (previous.restore(), layer);
    deflateArea (layer, p->area, p->data);
    packed = std::move (p);
}

juce::Image LayerSnapshot::restore() const
{
    if (packed == nullptr)
        return {};

    // Lay the areas down from the whole layer up to this step.
    std::vector<const Packed*> steps;
    for (auto* step = packed.get(); step != nullptr; step = step->base.get())
        steps.push_back (step);

    juce::Image layer (packed->format, packed->width, packed->height, false);
    juce::Image::BitmapData pixels (layer, juce::Image::BitmapData::readWrite);

    for (auto it = steps.rbegin(); it != steps.rend(); ++it)
        inflateArea ((*it)->data, (*it)->area, pixels);

    return layer;
}

size_t LayerSnapshot::bytes() const
{
    return packed == nullptr ? 0 : sizeof (Packed) + packed->data.getSize();
}

//==============================================================================
// The images folder under the user's Documents folder.
juce::String KestruneAudioProcessor::getFilePath (juce::String fileName)
{
    return juce::File::getSpecialLocation (juce::File::userDocumentsDirectory)
               .getChildFile (imagesFolderName)
               .getChildFile (fileName)
               .getFullPathName();
}

//==============================================================================
// Picture files
namespace kestrune::pictures
{
    namespace
    {
        juce::uint32 bigEndian32 (const juce::uint8* p) noexcept
        {
            return ((juce::uint32) p[0] << 24) | ((juce::uint32) p[1] << 16) | ((juce::uint32) p[2] << 8) | (juce::uint32) p[3];
        }

        int bigEndian16 (const juce::uint8* p) noexcept    { return (p[0] << 8) | p[1]; }
        int littleEndian16 (const juce::uint8* p) noexcept { return p[0] | (p[1] << 8); }

        PictureHeader makeHeader (PictureFormat format, juce::int64 w, juce::int64 h, juce::int64 largest)
        {
            if (w <= 0 || h <= 0)
                return {};

            return { format, w, h, juce::jmax (largest, w * h) };
        }

        PictureHeader readPngHeader (const juce::uint8* d, size_t n)
        {
            static const juce::uint8 signature[] = { 137, 80, 78, 71, 13, 10, 26, 10 };

            // The IHDR chunk must come first: length 13, type, width, height.
            if (n < 24 || std::memcmp (d, signature, 8) != 0
                 || bigEndian32 (d + 8) != 13 || std::memcmp (d + 12, "IHDR", 4) != 0)
                return {};

            const auto w = (juce::int64) bigEndian32 (d + 16);
            const auto h = (juce::int64) bigEndian32 (d + 20);
            return makeHeader (PictureFormat::png, w, h, 0);
        }

        bool isFrameHeaderMarker (int m) noexcept
        {
            return m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc;
        }

        PictureHeader readJpegHeader (const juce::uint8* d, size_t n)
        {
            size_t i = 2; // after SOI

            for (;;)
            {
                if (i >= n || d[i] != 0xff)
                    return {};

                while (i < n && d[i] == 0xff) // fill bytes
                    ++i;

                if (i >= n)
                    return {};

                const int marker = d[i++];

                if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8))
                    continue; // markers without a segment

                if (marker == 0xd9 || marker == 0xda)
                    return {}; // end of image or a scan before any frame header

                if (i + 2 > n)
                    return {};

                const auto length = (size_t) bigEndian16 (d + i);

                if (length < 2)
                    return {};

                if (isFrameHeaderMarker (marker))
                {
                    if (length < 8 || i + 7 > n)
                        return {};

                    // A height of 0 is defined later in the stream; refuse it.
                    return makeHeader (PictureFormat::jpeg, bigEndian16 (d + i + 5), bigEndian16 (d + i + 3), 0);
                }

                i += length;
            }
        }

        PictureHeader readGifHeader (const juce::uint8* d, size_t n)
        {
            if (n < 13 || (std::memcmp (d, "GIF87a", 6) != 0 && std::memcmp (d, "GIF89a", 6) != 0))
                return {};

            const juce::int64 screenPixels = (juce::int64) littleEndian16 (d + 6) * littleEndian16 (d + 8);
            size_t i = 13;

            if ((d[10] & 0x80) != 0)
                i += 3 * ((size_t) 2 << (d[10] & 7)); // global colour table

            // The decoder allocates the size of the first image descriptor;
            // walk to it the way the decoder does.
            for (;;)
            {
                if (i >= n)
                    return {};

                const auto block = d[i++];

                if (block == ';')
                    return {}; // no image at all

                if (block == '!')
                {
                    ++i; // extension label

                    for (;;)
                    {
                        if (i >= n)
                            return {};

                        const auto subBlock = (size_t) d[i++];

                        if (subBlock == 0)
                            break;

                        i += subBlock;
                    }

                    continue;
                }

                if (block != ',')
                    continue;

                if (i + 9 > n)
                    return {};

                return makeHeader (PictureFormat::gif, littleEndian16 (d + i + 4), littleEndian16 (d + i + 6), screenPixels);
            }
        }

        // Entropy-coded data never holds FF D9, so a JPEG cut off before its
        // end marker lacks it (a cut-off file would otherwise decode as a
        // picture padded with grey).
        bool jpegHasEndMarker (const juce::uint8* d, size_t n) noexcept
        {
            for (size_t i = n; i >= 4; --i)
                if (d[i - 2] == 0xff && d[i - 1] == 0xd9)
                    return true;

            return false;
        }

        // PNG and JPEG are decoded here with the libraries' own error recovery:
        // the framework's decoders do not survive a library error (a damaged
        // or cut-off file would take the whole host down).
        juce::Image decodePng (const void* data, size_t size)
        {
            png_image png {};
            png.version = PNG_IMAGE_VERSION;

            if (png_image_begin_read_from_memory (&png, data, size) == 0)
                return {};

            const bool hasAlpha = (png.format & PNG_FORMAT_FLAG_ALPHA) != 0;
            png.format = PNG_FORMAT_RGBA; // 8-bit, straight alpha
            std::vector<juce::uint8> pixels (PNG_IMAGE_SIZE (png));

            if (png_image_finish_read (&png, nullptr, pixels.data(), 0, nullptr) == 0)
            {
                png_image_free (&png);
                return {};
            }

            const int w = (int) png.width, h = (int) png.height;
            juce::Image image (hasAlpha ? juce::Image::ARGB : juce::Image::RGB, w, h, false);
            juce::Image::BitmapData out (image, juce::Image::BitmapData::writeOnly);

            for (int y = 0; y < h; ++y)
            {
                const auto* src = pixels.data() + (size_t) y * (size_t) w * 4;
                auto* dest = out.getLinePointer (y);

                for (int x = 0; x < w; ++x, src += 4, dest += out.pixelStride)
                {
                    if (hasAlpha)
                    {
                        auto* p = reinterpret_cast<juce::PixelARGB*> (dest);
                        p->setARGB (src[3], src[0], src[1], src[2]);
                        p->premultiply();
                    }
                    else
                    {
                        reinterpret_cast<juce::PixelRGB*> (dest)->setARGB (255, src[0], src[1], src[2]);
                    }
                }
            }

            return image;
        }

        struct JpegErrors
        {
            jpeg_error_mgr manager;
            std::jmp_buf jump;
        };

        [[noreturn]] void jpegFail (j_common_ptr info)
        {
            std::longjmp (reinterpret_cast<JpegErrors*> (info->err)->jump, 1);
        }

        void jpegSilent (j_common_ptr) {}

        // Fills `rgb` with packed 8-bit RGB rows. Only C frames lie between
        // the setjmp and any longjmp, and no C++ object is made after setjmp.
        bool decodeJpegRows (const void* data, size_t size, std::vector<juce::uint8>& rgb, int& width, int& height)
        {
            jpeg_decompress_struct info;
            JpegErrors errors;
            info.err = jpeg_std_error (&errors.manager);
            errors.manager.error_exit = jpegFail;
            errors.manager.output_message = jpegSilent;

            if (setjmp (errors.jump) != 0)
            {
                jpeg_destroy_decompress (&info);
                return false;
            }

            jpeg_create_decompress (&info);
            jpeg_mem_src (&info, static_cast<const unsigned char*> (data), (unsigned long) size);
            jpeg_read_header (&info, TRUE);
            info.out_color_space = JCS_RGB;
            jpeg_start_decompress (&info);

            if (info.output_components != 3)
                jpegFail (reinterpret_cast<j_common_ptr> (&info));

            width = (int) info.output_width;
            height = (int) info.output_height;
            rgb.resize ((size_t) width * (size_t) height * 3);

            while (info.output_scanline < info.output_height)
            {
                JSAMPROW row = rgb.data() + (size_t) info.output_scanline * (size_t) width * 3;
                jpeg_read_scanlines (&info, &row, 1);
            }

            jpeg_finish_decompress (&info);
            jpeg_destroy_decompress (&info);
            return true;
        }

        juce::Image decodeJpeg (const void* data, size_t size)
        {
            std::vector<juce::uint8> rgb;
            int w = 0, h = 0;

            if (! decodeJpegRows (data, size, rgb, w, h) || w <= 0 || h <= 0)
                return {};

            juce::Image image (juce::Image::RGB, w, h, false);
            juce::Image::BitmapData out (image, juce::Image::BitmapData::writeOnly);

            for (int y = 0; y < h; ++y)
            {
                const auto* src = rgb.data() + (size_t) y * (size_t) w * 3;
                auto* dest = out.getLinePointer (y);

                for (int x = 0; x < w; ++x, src += 3, dest += out.pixelStride)
                    reinterpret_cast<juce::PixelRGB*> (dest)->setARGB (255, src[0], src[1], src[2]);
            }

            return image;
        }

        // The first image of a GIF. Written here because the framework's GIF
        // reader trusts the LZW stream and writes past its tables on damaged
        // files. Anything malformed or cut short gives a null image.
        juce::Image decodeGif (const juce::uint8* d, size_t n)
        {
            std::array<juce::PixelARGB, 256> globalPalette, palette;
            for (auto& c : globalPalette)
                c.setARGB (255, 0, 0, 0);

            if (n < 13)
                return {};

            size_t i = 13;
            if ((d[10] & 0x80) != 0)
            {
                const size_t count = (size_t) 2 << (d[10] & 7);
                if (i + 3 * count > n)
                    return {};
                for (size_t k = 0; k < count; ++k)
                    globalPalette[k].setARGB (255, d[i + 3 * k], d[i + 3 * k + 1], d[i + 3 * k + 2]);
                i += 3 * count;
            }

            int transparent = -1;

            // Skips a chain of sub-blocks; false when the file ends inside it.
            auto skipSubBlocks = [&]
            {
                for (;;)
                {
                    if (i >= n)
                        return false;
                    const auto length = (size_t) d[i++];
                    if (length == 0)
                        return true;
                    i += length;
                }
            };

            for (;;)
            {
                if (i >= n)
                    return {};

                const auto block = d[i++];

                if (block == ';')
                    return {};

                if (block == '!')
                {
                    if (i >= n)
                        return {};
                    const auto label = d[i++];
                    if (label == 0xf9 && i + 5 <= n && d[i] >= 4 && (d[i + 1] & 1) != 0)
                        transparent = d[i + 4];
                    if (! skipSubBlocks())
                        return {};
                    continue;
                }

                if (block == ',')
                    break;
            }

            if (i + 9 > n)
                return {};

            const int w = littleEndian16 (d + i + 4), h = littleEndian16 (d + i + 6);
            const auto flags = d[i + 8];
            i += 9;

            if (w <= 0 || h <= 0)
                return {};

            palette = globalPalette;
            if ((flags & 0x80) != 0)
            {
                const size_t count = (size_t) 2 << (flags & 7);
                if (i + 3 * count > n)
                    return {};
                for (size_t k = 0; k < count; ++k)
                    palette[k].setARGB (255, d[i + 3 * k], d[i + 3 * k + 1], d[i + 3 * k + 2]);
                i += 3 * count;
            }

            if (i >= n)
                return {};

            const int minCodeSize = d[i++];
            if (minCodeSize < 2 || minCodeSize > 8)
                return {};

            // Gather the image's sub-blocks; a chain without its terminator is cut off.
            std::vector<juce::uint8> lzw;
            for (;;)
            {
                if (i >= n)
                    return {};
                const auto length = (size_t) d[i++];
                if (length == 0)
                    break;
                if (i + length > n)
                    return {};
                lzw.insert (lzw.end(), d + i, d + i + length);
                i += length;
            }

            // LZW, least significant bit first.
            const size_t total = (size_t) w * (size_t) h;
            std::vector<juce::uint8> indices;
            indices.reserve (total);

            constexpr int maxCodes = 4096;
            std::vector<int> prefix (maxCodes), firstOf (maxCodes);
            std::vector<juce::uint8> suffix (maxCodes), stack;
            stack.reserve (maxCodes);

            const int clearCode = 1 << minCodeSize, endCode = clearCode + 1;
            int codeSize = minCodeSize + 1, next = clearCode + 2, previous = -1;
            size_t bit = 0;
            const size_t totalBits = lzw.size() * 8;

            for (int c = 0; c < clearCode; ++c)
                firstOf[(size_t) c] = c;

            while (indices.size() < total)
            {
                if (bit + (size_t) codeSize > totalBits)
                    return {};

                int code = 0;
                for (int b = 0; b < codeSize; ++b, ++bit)
                    code |= ((lzw[bit >> 3] >> (bit & 7)) & 1) << b;

                if (code == clearCode)
                {
                    codeSize = minCodeSize + 1;
                    next = clearCode + 2;
                    previous = -1;
                    continue;
                }

                if (code == endCode)
                    return {}; // ended before every pixel was given

                if (previous < 0)
                {
                    if (code >= clearCode)
                        return {};
                    indices.push_back ((juce::uint8) code);
                    previous = code;
                    continue;
                }

                int first = 0;
                stack.clear();

                if (code < next)
                {
                    first = firstOf[(size_t) code];
                    for (int c = code; ; c = prefix[(size_t) c])
                    {
                        if (c < clearCode) { stack.push_back ((juce::uint8) c); break; }
                        stack.push_back (suffix[(size_t) c]);
                    }
                }
                else if (code == next && next < maxCodes)
                {
                    first = firstOf[(size_t) previous];
                    stack.push_back ((juce::uint8) first);
                    for (int c = previous; ; c = prefix[(size_t) c])
                    {
                        if (c < clearCode) { stack.push_back ((juce::uint8) c); break; }
                        stack.push_back (suffix[(size_t) c]);
                    }
                }
                else
                {
                    return {};
                }

                for (auto it = stack.rbegin(); it != stack.rend() && indices.size() < total; ++it)
                    indices.push_back (*it);

                if (next < maxCodes)
                {
                    prefix[(size_t) next] = previous;
                    suffix[(size_t) next] = (juce::uint8) first;
                    firstOf[(size_t) next] = firstOf[(size_t) previous];
                    ++next;

                    if (next == (1 << codeSize) && codeSize < 12)
                        ++codeSize;
                }

                previous = code;
            }

            const bool hasAlpha = transparent >= 0;
            if (hasAlpha)
                palette[(size_t) transparent].setARGB (0, 0, 0, 0);

            juce::Image image (hasAlpha ? juce::Image::ARGB : juce::Image::RGB, w, h, true);
            juce::Image::BitmapData out (image, juce::Image::BitmapData::writeOnly);

            // Interlaced rows come in four passes.
            std::vector<int> rowOrder;
            rowOrder.reserve ((size_t) h);
            if ((flags & 0x40) != 0)
            {
                for (const auto& pass : { std::pair<int, int> { 0, 8 }, { 4, 8 }, { 2, 4 }, { 1, 2 } })
                    for (int y = pass.first; y < h; y += pass.second)
                        rowOrder.push_back (y);
            }
            else
            {
                for (int y = 0; y < h; ++y)
                    rowOrder.push_back (y);
            }

            for (int r = 0; r < h; ++r)
            {
                auto* dest = out.getLinePointer (rowOrder[(size_t) r]);
                const auto* src = indices.data() + (size_t) r * (size_t) w;

                for (int x = 0; x < w; ++x, dest += out.pixelStride)
                {
                    const auto& colour = palette[src[x]];
                    if (hasAlpha)
                        reinterpret_cast<juce::PixelARGB*> (dest)->set (colour);
                    else
                        reinterpret_cast<juce::PixelRGB*> (dest)->set (colour);
                }
            }

            return image;
        }

        std::atomic<juce::uint32> asideFileCounter { 0 };

        juce::String processTag()
        {
           #if JUCE_WINDOWS
            return juce::String ((int) _getpid());
           #else
            return juce::String ((int) ::getpid());
           #endif
        }
    }

    PictureHeader readPictureHeader (const void* data, size_t size)
    {
        const auto* d = static_cast<const juce::uint8*> (data);

        if (d == nullptr || size < 4)
            return {};

        // Chosen by leading bytes, in the order the image loaders are tried.
        if (d[1] == 'P' && d[2] == 'N' && d[3] == 'G')
            return readPngHeader (d, size);

        if (d[0] == 0xff && d[1] == 0xd8 && d[2] == 0xff)
            return readJpegHeader (d, size);

        if (d[0] == 'G' && d[1] == 'I' && d[2] == 'F')
            return readGifHeader (d, size);

        return {};
    }

    juce::Image decodePicture (const void* data, size_t size)
    {
        const auto header = readPictureHeader (data, size);

        if (! header.isValid() || header.largestDeclaredPixels > maxPicturePixels)
            return {};

        if (header.format == PictureFormat::jpeg && ! jpegHasEndMarker (static_cast<const juce::uint8*> (data), size))
            return {};

        juce::Image image;

        switch (header.format)
        {
            case PictureFormat::png:  image = decodePng (data, size); break;
            case PictureFormat::jpeg: image = decodeJpeg (data, size); break;
            case PictureFormat::gif:  image = decodeGif (static_cast<const juce::uint8*> (data), size); break;
            case PictureFormat::none: break;
        }

        if (! image.isValid() || image.getWidth() != header.width || image.getHeight() != header.height)
            return {};

        return image;
    }

    juce::Image decodePictureFile (const juce::File& file)
    {
        if (! file.existsAsFile())
            return {};

        if (file.getSize() > maxPictureFileBytes)
            return {};

        // Read through one open handle to its end: the file may be replaced by
        // another writer meanwhile, and then this reads the old one, whole.
        juce::FileInputStream in (file);

        if (! in.openedOk())
            return {};

        juce::MemoryBlock data;
        in.readIntoMemoryBlock (data, (ssize_t) maxPictureFileBytes + 1);

        if (data.getSize() == 0 || (juce::int64) data.getSize() > maxPictureFileBytes)
            return {};

        return decodePicture (data.getData(), data.getSize());
    }

    bool writePngReplacing (const juce::Image& image, const juce::File& target, int bufferSize)
    {
        if (! image.isValid() || target.getFullPathName().isEmpty())
            return false;

        // A hidden name of its own per writer: other processes and other
        // instances may be writing the same target at the same moment.
        const auto aside = target.getSiblingFile ("." + target.getFileName() + "." + processTag() + "-"
                                                  + juce::String (asideFileCounter.fetch_add (1)) + ".part");
        bool ok = false;

        {
            juce::FileOutputStream out (aside, (size_t) juce::jmax (0, bufferSize));

            if (out.failedToOpen())
                return false;

            out.setPosition (0);
            out.truncate();

            juce::PNGImageFormat png;
            ok = png.writeImageToStream (image, out);
            out.flush();
            ok = ok && out.getStatus().wasOk();
        }

        if (! ok || ! aside.replaceFileIn (target))
        {
            aside.deleteFile();
            return false;
        }

        return true;
    }

    bool isOpaqueBlack (const juce::Image& image, int width, int height)
    {
        if (! image.isValid() || image.getWidth() != width || image.getHeight() != height)
            return false;

        const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);

        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (data.getPixelColour (x, y).getARGB() != 0xff000000)
                    return false;

        return true;
    }
}

namespace
{
    juce::ValueTree imagePathChild (juce::ValueTree root)
    {
        auto child = root.getChildWithName ("ImagePath");

        if (! child.isValid())
        {
            child = juce::ValueTree ("ImagePath");
            root.appendChild (child, nullptr);
        }

        return child;
    }

    // Pen-layer names handed out by any processor in this process.
    std::mutex penLayerNamesLock;
    std::set<juce::String> penLayerNames;
}

void KestruneAudioProcessor::createImageDrawPath()
{
    const auto stamp = juce::Time::getCurrentTime().formatted ("%Y-%m-%d-%H-%M-%S");
    const auto stem = "imageDraw" + stamp;
    juce::String path;

    {
        // The stamp has a resolution of one second; instances naming a layer in
        // the same second, or a layer file already on disk, get a numbered name.
        const std::lock_guard<std::mutex> lock (penLayerNamesLock);
        auto name = stem + ".png";

        for (int n = 2; penLayerNames.count (name) != 0 || juce::File (getFilePath (name)).exists(); ++n)
            name = stem + "_" + juce::String (n) + ".png";

        penLayerNames.insert (name);
        path = getFilePath (name);
    }

    {
        const juce::ScopedLock sl (criticalSection);
        drawImagePath = path;
    }

    setImageDrawPathToValueState();
}

void KestruneAudioProcessor::setImageDrawPathToValueState()
{
    juce::String value;
    {
        const juce::ScopedLock sl (criticalSection);
        value = drawImagePath;
    }

    imagePathChild (apvts.state).setProperty ("pathDraw", value, nullptr);
}

void KestruneAudioProcessor::setImagePathToValueState()
{
    juce::String value;
    {
        const juce::ScopedLock sl (criticalSection);
        value = imageFilePath;
    }

    imagePathChild (apvts.state).setProperty ("path", value, nullptr);
}

void KestruneAudioProcessor::saveImageToDisk (juce::Image& image, juce::String path)
{
    if (path.isEmpty())
        return;

    // Only the forward slash separates; a path without one is the name itself.
    const auto name = path.fromLastOccurrenceOf ("/", false, false);

    if (name.isEmpty())
        return;

    kestrune::pictures::writePngReplacing (image, juce::File (getFilePath (name)), 0);
}

//==============================================================================
// Image chain
namespace
{
    constexpr int maxSourceRows = 512;

    // The picture limited to 512 rows (a deep copy either way).
    juce::Image limitRows (const juce::Image& loaded)
    {
        if (! loaded.isValid())
            return {};

        if (loaded.getHeight() <= maxSourceRows)
            return loaded.createCopy();

        // Single precision, truncated; at least one column for very tall pictures.
        const auto width = juce::jmax (1, (int) ((float) loaded.getWidth() * 512.0f / (float) loaded.getHeight()));
        auto scaled = loaded.rescaled (width, maxSourceRows, juce::Graphics::mediumResamplingQuality);

        // rescaled() hands back the same pixels when the size is unchanged.
        return scaled.getPixelData() == loaded.getPixelData() ? scaled.createCopy() : scaled;
    }

    void greyscaleInPlace (juce::Image& image)
    {
        if (! image.isValid())
            return;

        juce::Image::BitmapData data (image, juce::Image::BitmapData::readWrite);

        for (int y = 0; y < data.height; ++y)
        {
            for (int x = 0; x < data.width; ++x)
            {
                const auto c = data.getPixelColour (x, y); // unpremultiplied; transparent reads black

                // Red and green weighed in single precision, blue added in double.
                const float redGreen = (float) c.getRed() * 0.2126f + (float) c.getGreen() * 0.7152f;
                const double level = (double) redGreen + (double) c.getBlue() * 0.0722;
                const auto g = (juce::uint8) (int) level;

                data.setPixelColour (x, y, juce::Colour (g, g, g, (juce::uint8) 255));
            }
        }
    }

    // Greyscales `source` and builds the rest of a chain from it: the pen layer
    // (a copy of `layer` when there is one, else a clear one), the five copies and
    // an undo history holding the current layer.
    void buildChainFromSource (juce::Image& source, const juce::Image& layer, juce::Image& drawLayer,
                               juce::Image& compositeImage, juce::Image& workImage, juce::Image& blurImage,
                               juce::Image& outputImage, juce::Image& transformImage,
                               std::vector<LayerSnapshot>& undoImages)
    {
        greyscaleInPlace (source);

        if (layer.isValid())
            drawLayer = layer.createCopy();
        else if (source.isValid())
            drawLayer = juce::Image (juce::Image::ARGB, source.getWidth(), source.getHeight(), true);
        else
            drawLayer = {};

        auto copyOf = [] (const juce::Image& im) { return im.isValid() ? im.createCopy() : juce::Image(); };
        compositeImage = copyOf (source);
        workImage      = copyOf (compositeImage);
        blurImage      = copyOf (workImage);
        outputImage    = copyOf (blurImage);
        transformImage = copyOf (outputImage);

        undoImages.clear();
        undoImages.emplace_back (drawLayer);
    }

    // Parameter IDs an adoption without kept parameters resets, in table order:
    // the switch groups by their first entry.
    const juce::StringArray& resetParameterIDs()
    {
        static const juce::StringArray ids = []
        {
            juce::StringArray result;

            for (int i = 0; i < valueTreeNames.size(); ++i)
                result.add (valueTreeNames[i] + ((i == 5 || i == 9 || i == 10) ? "0" : ""));

            return result;
        }();

        return ids;
    }
}

void KestruneAudioProcessor::iniImages()
{
    const juce::ScopedLock sl (criticalSection);

    buildChainFromSource (sourceImage, loadedDrawImage, drawLayer, compositeImage, workImage,
                          blurImage, outputImage, transformImage, undoImages);
    undoIndex = 1;
}

void KestruneAudioProcessor::prepareAdoption()
{
    const juce::ScopedLock sl (criticalSection);
    auto& chain = preparedChain;

    if (! newImagePending.load (std::memory_order_acquire))
    {
        // Free what the last adoption swapped out (never on the audio thread).
        chain.sourceImage = {};
        chain.drawLayer = {};
        chain.compositeImage = {};
        chain.workImage = {};
        chain.blurImage = {};
        chain.transformImage = {};
        chain.outputImage = {};
        chain.loadedDrawImage = {};

        if (chain.undoImages.capacity() != 0)
            std::vector<LayerSnapshot>().swap (chain.undoImages);

        if (chain.frame.grey.capacity() != 0)
            chain.frame = GreyFrame();

        return;
    }

    const auto generation = pendingGeneration.load (std::memory_order_acquire);

    if (preparedChainReady.load (std::memory_order_acquire) && chain.generation == generation)
        return;

    preparedChainReady.store (false, std::memory_order_release);

    const bool keep = keepParams.load (std::memory_order_acquire);

    chain.loadedDrawImage = keep ? loadedDrawImage : juce::Image();
    chain.sourceImage = limitRows (loadedImage);
    buildChainFromSource (chain.sourceImage, chain.loadedDrawImage, chain.drawLayer, chain.compositeImage,
                          chain.workImage, chain.blurImage, chain.outputImage, chain.transformImage,
                          chain.undoImages);
    chain.frame.buildFrom (chain.outputImage);
    chain.generation = generation;
    chain.keepParams = keep;

    preparedChainReady.store (true, std::memory_order_release);
}

void KestruneAudioProcessor::checkAndLoadFile()
{
    if (! newImagePending.load (std::memory_order_acquire)
         || needColourUpdate.load (std::memory_order_acquire)
         || needTransformUpdate.load (std::memory_order_acquire)
         || ! preparedChainReady.load (std::memory_order_acquire))
        return;

    const juce::ScopedTryLock tl (criticalSection);

    if (! tl.isLocked())
        return; // the worker is busy; try again next block

    if (! preparedChainReady.load (std::memory_order_acquire)
         || preparedChain.generation != pendingGeneration.load (std::memory_order_acquire))
        return;

    if (! preparedChain.keepParams)
    {
        ringReadIndex = 3584;
        ringWriteIndex = 0;
        hopFill = 0;
        spectrumFifoFill = 0;

        for (const auto& id : resetParameterIDs())
            resetParameterNotifyingHost (id);
    }

    keepParams.store (false, std::memory_order_release);

    // Swap the chain built aside into place: no copying and no freeing here.
    // What was in place is left in preparedChain for the worker to free.
    std::swap (sourceImage,     preparedChain.sourceImage);
    std::swap (drawLayer,       preparedChain.drawLayer);
    std::swap (compositeImage,  preparedChain.compositeImage);
    std::swap (workImage,       preparedChain.workImage);
    std::swap (blurImage,       preparedChain.blurImage);
    std::swap (transformImage,  preparedChain.transformImage);
    std::swap (outputImage,     preparedChain.outputImage);
    std::swap (loadedDrawImage, preparedChain.loadedDrawImage);
    undoImages.swap (preparedChain.undoImages);
    undoIndex = 1;
    outputFrames.replaceFront (preparedChain.frame);
    sourceImagePresent.store (sourceImage.isValid(), std::memory_order_release);
    preparedChainReady.store (false, std::memory_order_release);

    reloadImage.store (true, std::memory_order_release);
    newImagePending.store (false); // sequentially consistent: see parameterChanged
    needColourUpdate.store (true, std::memory_order_release);
}

//==============================================================================
// Interval selection, pen strokes and the pen layer's undo history.
//
// All of these run on the message thread. The pen layer and its history are
// shared with the worker, which composites under criticalSection, and with the
// audio thread's picture adoption, which only try-locks criticalSection and
// swaps a whole new chain in. So every change to drawLayer, undoImages and
// undoIndex is made under the lock, and the slow part (packing or unpacking a
// snapshot) runs outside it. An adoption that happens meanwhile is recognised
// by drawLayer no longer being the layer the operation started from; the
// operation then leaves the new chain alone.

void KestruneAudioProcessor::setRange (juce::Point<float> a, juce::Point<float> b)
{
    const auto lo = juce::jmin (a.x, b.x);
    auto hi = juce::jmax (a.x, b.x);

    intervalStart.store ((double) lo);
    intervalEnd.store ((double) hi);

    // Never hand the scan an empty interval.
    if (lo == hi)
        hi = (float) ((double) lo + 0.00001);

    setParameterNotifyingHost ("a_interval", lo);
    setParameterNotifyingHost ("b_interval", hi);
}

namespace
{
    enum PenStyle { penLine = 0, penEllipse, penRectangle, penFillEllipse, penFillRect, penFree, penSpray };

    struct PenSettings
    {
        float style = 0.0f;
        float thickness = 10.0f;
        float zoom = 0.0f;
        juce::Colour colour;
    };

    // The renderer works in integers with sub-pixel bits: coordinates beyond a
    // few million pixels overflow it. A view squeezed almost flat has an
    // inverse that scales pen input that far; a stroke through it lands
    // nowhere sensible in the picture and is left undrawn.
    bool withinRenderRange (juce::Rectangle<float> area)
    {
        constexpr float limit = 1.0e6f;

        for (auto v : { area.getX(), area.getY(), area.getRight(), area.getBottom() })
            if (! std::isfinite (v) || std::abs (v) > limit)
                return false;

        return true;
    }

    // Draws one stroke onto `layer`. Points are fractions of the output picture;
    // `pictureSize` is the source picture's size; `outputToPicture` is the
    // inverse of the view transform.
    void drawPenStroke (juce::Image& layer, const std::vector<juce::Point<float>>& points,
                        juce::Point<int> pictureSize, const PenSettings& pen,
                        const juce::AffineTransform& outputToPicture)
    {
        const auto w = (float) pictureSize.x;
        const auto h = (float) pictureSize.y;
        const auto scaled = [w, h] (juce::Point<float> p) { return juce::Point<float> (p.x * w, p.y * h); };

        const auto p0 = scaled (points.front());
        const auto p1 = scaled (points.back());

        // One pixel more than the distance, so a click still covers a pixel.
        const juce::Rectangle<float> box (juce::jmin (p0.x, p1.x), juce::jmin (p0.y, p1.y),
                                          std::abs (p1.x - p0.x) + 1.0f, std::abs (p1.y - p0.y) + 1.0f);

        juce::Graphics g (layer);
        g.setColour (pen.colour);

        if (pen.style == (float) penLine)
        {
            const juce::Line<float> line (p0.transformedBy (outputToPicture), p1.transformedBy (outputToPicture));

            if (withinRenderRange (juce::Rectangle<float> (line.getStart(), line.getEnd()).expanded (pen.thickness)))
                g.drawLine (line, pen.thickness);

            return;
        }

        if (pen.style == (float) penSpray)
        {
            // Whole-pixel squares in the picture, each placed where the view
            // shows its dot: like every other pen, through the inverse view.
            const auto side = (int) (1.0f + pen.zoom);

            if (side <= 0)
                return;

            for (const auto& p : points)
            {
                const auto at = scaled (p).transformedBy (outputToPicture);

                if (withinRenderRange ({ at.x, at.y, (float) side, (float) side }))
                    g.drawRect ((int) at.x, (int) at.y, side, side, 1);
            }

            return;
        }

        auto extent = box;
        for (const auto& p : points)
            extent = extent.getUnion (juce::Rectangle<float> (scaled (p), scaled (p)));

        const auto widest = juce::jmax (pen.thickness, (1.0f + pen.zoom) * pen.thickness);

        if (! withinRenderRange (extent.expanded (widest).transformedBy (outputToPicture)))
            return;

        g.addTransform (outputToPicture);

        if (pen.style == (float) penEllipse)
            g.drawEllipse (box, pen.thickness);
        else if (pen.style == (float) penRectangle)
            g.drawRect (box, pen.thickness);
        else if (pen.style == (float) penFillEllipse)
            g.fillEllipse (box);
        else if (pen.style == (float) penFillRect)
            g.fillRect (box);
        else if (pen.style == (float) penFree)
        {
            juce::Path path;
            path.startNewSubPath (p0);

            for (const auto& p : points)
                path.lineTo (scaled (p));

            g.strokePath (path,
                          juce::PathStrokeType ((1.0f + pen.zoom) * pen.thickness,
                                                juce::PathStrokeType::beveled, juce::PathStrokeType::butt),
                          juce::AffineTransform());
        }
    }
}

void KestruneAudioProcessor::drawShape (std::vector<juce::Point<float>>& points)
{
    if (points.empty())
        return;

    PenSettings pen;
    pen.style = penStyleValue->load();
    pen.thickness = penTicknessValue->load();
    pen.zoom = zoomValue->load();
    const auto grey = (juce::uint8) ((int) (penColourValue->load() * 255.0f) & 0xff);
    pen.colour = juce::Colour (grey, grey, grey, (juce::uint8) 255);

    juce::Image strokeLayer; // the layer drawn into; keeps its identity checkable below
    juce::Image layerCopy;
    LayerSnapshot currentStep;

    {
        const juce::ScopedLock sl (criticalSection);

        if (! sourceImage.isValid() || ! drawLayer.isValid())
            return;

        drawPenStroke (drawLayer, points, { sourceImage.getWidth(), sourceImage.getHeight() },
                       pen, inverseViewTransform);

        strokeLayer = drawLayer;
        layerCopy = drawLayer.createCopy();

        if (undoIndex >= 1 && undoIndex <= (int) undoImages.size())
            currentStep = undoImages[(size_t) undoIndex - 1];
    }

    const LayerSnapshot snapshot (layerCopy, currentStep);
    layerCopy = {};

    bool needsDrawPath = false;

    {
        const juce::ScopedLock sl (criticalSection);

        // A picture was adopted while the snapshot was packed: the stroke went
        // with the replaced layer, and the new chain's history stands as it is.
        if (drawLayer != strokeLayer)
            return;

        // Drop the redo tail, then the new layer becomes the current step.
        const auto keep = (size_t) juce::jlimit (0, (int) undoImages.size(), undoIndex);
        undoImages.erase (undoImages.begin() + (std::ptrdiff_t) keep, undoImages.end());
        undoImages.push_back (snapshot);
        undoIndex = (int) keep + 1;

        needsDrawPath = drawImagePath.isEmpty();
    }

    if (needsDrawPath)
        createImageDrawPath();

    needColourUpdate.store (true, std::memory_order_release);
}

bool KestruneAudioProcessor::undoStroke()
{
    LayerSnapshot target;
    juce::Image layerBefore;
    int newIndex = 0;

    {
        const juce::ScopedLock sl (criticalSection);

        newIndex = undoIndex - 1;

        if (undoIndex <= 1 || newIndex > (int) undoImages.size())
            return false;

        target = undoImages[(size_t) (newIndex - 1)];
        layerBefore = drawLayer;
    }

    auto restored = target.restore();

    {
        const juce::ScopedLock sl (criticalSection);

        if (drawLayer != layerBefore || undoIndex != newIndex + 1)
            return false; // a picture was adopted meanwhile; its history starts at one step

        std::swap (drawLayer, restored);
        undoIndex = newIndex;
    }

    needColourUpdate.store (true, std::memory_order_release);
    return true;
}

bool KestruneAudioProcessor::redoStroke()
{
    LayerSnapshot target;
    juce::Image layerBefore;
    int oldIndex = 0;

    {
        const juce::ScopedLock sl (criticalSection);

        oldIndex = undoIndex;

        if (undoIndex < 0 || undoIndex >= (int) undoImages.size())
            return false;

        target = undoImages[(size_t) undoIndex];
        layerBefore = drawLayer;
    }

    auto restored = target.restore();

    {
        const juce::ScopedLock sl (criticalSection);

        if (drawLayer != layerBefore || undoIndex != oldIndex)
            return false; // a picture was adopted meanwhile; nothing lies ahead of its only step

        std::swap (drawLayer, restored);
        undoIndex = oldIndex + 1;
    }

    needColourUpdate.store (true, std::memory_order_release);
    return true;
}

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
    {
        if (finishedPicture.latest().isValid())
            finishedPicture.publish ({}); // the windows show no picture either
        return;
    }

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
    finishedPicture.publish (outputImage);
}
