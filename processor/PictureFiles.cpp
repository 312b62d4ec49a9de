#include "PictureFiles.h"
#include "SafeFiles.h"
#include "StorablePixels.h"

#include <array>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <vector>

#include <png.h>
extern "C"
{
 #include <jpeglib.h>
}

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
        //
        // PNG samples are read as stored: no gamma or colour-space conversion
        // (a picture is a mask of levels, and files from numeric and plotting
        // tools are rarely tagged the way a photo is). 16-bit samples keep
        // their high byte; palettes, grey, transparency chunks and depths
        // below 8 bits expand to 8-bit RGBA.
        struct PngSource
        {
            const juce::uint8* data;
            size_t size, position;
        };

        void pngRead (png_structp png, png_bytep out, size_t count)
        {
            auto* source = static_cast<PngSource*> (png_get_io_ptr (png));

            if (count > source->size - source->position)
                png_error (png, "cut off");

            std::memcpy (out, source->data + source->position, count);
            source->position += count;
        }

        [[noreturn]] void pngFail (png_structp png, png_const_charp)
        {
            png_longjmp (png, 1);
        }

        void pngSilent (png_structp, png_const_charp) {}

        // Fills `rgba` with packed 8-bit RGBA rows (straight alpha, 255 where
        // the file has none). Only C frames lie between the setjmp and any
        // longjmp, no C++ object is made after setjmp, and the two handles are
        // not changed after it.
        bool decodePngRows (const void* data, size_t size, std::vector<juce::uint8>& rgba,
                            int& width, int& height, bool& hasAlpha)
        {
            PngSource source { static_cast<const juce::uint8*> (data), size, 0 };
            png_structp png = png_create_read_struct (PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngSilent);

            if (png == nullptr)
                return false;

            png_infop info = png_create_info_struct (png);

            if (info == nullptr)
            {
                png_destroy_read_struct (&png, nullptr, nullptr);
                return false;
            }

            if (setjmp (png_jmpbuf (png)) != 0)
            {
                png_destroy_read_struct (&png, &info, nullptr);
                return false;
            }

            png_set_read_fn (png, &source, pngRead);
            png_read_info (png, info);

            const auto colourType = png_get_color_type (png, info);
            const auto depth = png_get_bit_depth (png, info);
            const bool transparencyChunk = png_get_valid (png, info, PNG_INFO_tRNS) != 0;
            hasAlpha = (colourType & PNG_COLOR_MASK_ALPHA) != 0 || transparencyChunk;

            if (colourType == PNG_COLOR_TYPE_PALETTE)
                png_set_palette_to_rgb (png);

            if ((colourType & PNG_COLOR_MASK_COLOR) == 0 && depth < 8)
                png_set_expand_gray_1_2_4_to_8 (png);

            if (transparencyChunk)
                png_set_tRNS_to_alpha (png);

            if (depth == 16)
                png_set_strip_16 (png); // keeps the high byte

            if ((colourType & PNG_COLOR_MASK_COLOR) == 0)
                png_set_gray_to_rgb (png);

            if (! hasAlpha)
                png_set_filler (png, 0xff, PNG_FILLER_AFTER);

            const int passes = png_set_interlace_handling (png);
            png_read_update_info (png, info);

            width = (int) png_get_image_width (png, info);
            height = (int) png_get_image_height (png, info);

            if (width <= 0 || height <= 0 || png_get_rowbytes (png, info) != (size_t) width * 4)
                png_error (png, "unexpected layout");

            rgba.resize ((size_t) width * (size_t) height * 4);

            for (int pass = 0; pass < passes; ++pass)
                for (int y = 0; y < height; ++y)
                    png_read_row (png, rgba.data() + (size_t) y * (size_t) width * 4, nullptr);

            png_destroy_read_struct (&png, &info, nullptr);
            return true;
        }

        juce::Image decodePng (const void* data, size_t size)
        {
            std::vector<juce::uint8> pixels;
            int w = 0, h = 0;
            bool hasAlpha = false;

            if (! decodePngRows (data, size, pixels, w, h, hasAlpha))
                return {};

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
        // Read through one open handle to its end: the file may be replaced by
        // another writer meanwhile, and then this reads the old one, whole.
        juce::MemoryBlock data;

        if (! files::readRegularFile (file, maxPictureFileBytes, false, data))
            return {};

        return decodePicture (data.getData(), data.getSize());
    }

    bool writePngReplacing (const juce::Image& image, const juce::File& target)
    {
        juce::MemoryBlock png;

        if (! image.isValid() || target.getFullPathName().isEmpty() || ! encodePng (image, png))
            return false;

        // A target that holds exactly this already is left as it is: a saved
        // state may name it, and its file is never written again.
        juce::MemoryBlock existing;

        if (files::readRegularFile (target, (juce::int64) png.getSize(), false, existing) && existing == png)
            return true;

        // Written aside under a name of its own (other processes and other
        // instances may be writing the same target at the same moment), then
        // renamed over the target; a failure leaves the target untouched.
        files::AsideFile aside;
        return aside.write (target.getParentDirectory(), target.getFileName(), png.getData(), png.getSize())
                && aside.replace (target);
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
