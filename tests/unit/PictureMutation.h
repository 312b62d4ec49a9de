#pragma once

#include "PictureTestSupport.h"

#include <functional>
#include <random>
#include <vector>

// Picture files for the stress and fuzz tests: well-formed PNG, JPEG and GIF
// files of chosen content, files whose headers declare huge pictures, and
// mutations of any of them.
namespace kestrune::test::files
{
    using Bytes = std::vector<juce::uint8>;

    inline Bytes toBytes (const juce::MemoryBlock& block)
    {
        const auto* d = static_cast<const juce::uint8*> (block.getData());
        return Bytes (d, d + block.getSize());
    }

    inline juce::Image patternPicture (int w, int h, juce::Image::PixelFormat format = juce::Image::RGB)
    {
        juce::Image image (format, w, h, true);
        juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                data.setPixelColour (x, y, juce::Colour ((juce::uint8) (x * 7 + y), (juce::uint8) (y * 5),
                                                         (juce::uint8) ((x ^ y) * 3),
                                                         (juce::uint8) (format == juce::Image::ARGB ? (x * 11) & 0xff : 255)));
        return image;
    }

    inline Bytes pngOf (const juce::Image& image)  { return toBytes (encodePng (image)); }
    inline Bytes jpegOf (const juce::Image& image) { return toBytes (encodeJpeg (image)); }

    // A GIF89a of w x h pixels, 256-entry palette, colour index index (x, y).
    // The LZW stream sends every pixel as a literal and clears the table before
    // it would grow past 9-bit codes, which any decoder must accept.
    inline Bytes gifOf (int w, int h, const std::function<int (int, int)>& index,
                        bool interlaced = false, int transparentIndex = -1, bool localPalette = false)
    {
        Bytes out { 'G', 'I', 'F', '8', '9', 'a' };
        auto put16 = [&out] (int v) { out.push_back ((juce::uint8) (v & 0xff)); out.push_back ((juce::uint8) ((v >> 8) & 0xff)); };
        auto palette = [&out]
        {
            for (int c = 0; c < 256; ++c)
            {
                out.push_back ((juce::uint8) c);
                out.push_back ((juce::uint8) (255 - c));
                out.push_back ((juce::uint8) (c * 3));
            }
        };

        put16 (w);
        put16 (h);
        out.push_back (localPalette ? 0x00 : 0xf7); // global table of 256 entries unless the image has its own
        out.push_back (0);
        out.push_back (0);

        if (! localPalette)
            palette();

        if (transparentIndex >= 0)
            out.insert (out.end(), { '!', 0xf9, 4, 1, 0, 0, (juce::uint8) transparentIndex, 0 });

        out.push_back (',');
        put16 (0);
        put16 (0);
        put16 (w);
        put16 (h);
        out.push_back ((juce::uint8) ((interlaced ? 0x40 : 0) | (localPalette ? 0x87 : 0)));

        if (localPalette)
            palette();

        // Rows in the order the file stores them.
        std::vector<int> rows;
        if (interlaced)
        {
            for (const auto& pass : { std::pair<int, int> { 0, 8 }, { 4, 8 }, { 2, 4 }, { 1, 2 } })
                for (int y = pass.first; y < h; y += pass.second)
                    rows.push_back (y);
        }
        else
        {
            for (int y = 0; y < h; ++y)
                rows.push_back (y);
        }

        constexpr int minCodeSize = 8, clearCode = 256, endCode = 257;
        Bytes lzw;
        juce::uint32 acc = 0;
        int accBits = 0;
        auto emit = [&] (int code)
        {
            acc |= (juce::uint32) code << accBits;
            accBits += 9;
            while (accBits >= 8)
            {
                lzw.push_back ((juce::uint8) (acc & 0xff));
                acc >>= 8;
                accBits -= 8;
            }
        };

        emit (clearCode);
        int sinceClear = 0;
        for (auto y : rows)
        {
            for (int x = 0; x < w; ++x)
            {
                // The decoder adds an entry per code after the first; clear
                // before the table reaches 512 entries and codes widen.
                if (sinceClear == 250)
                {
                    emit (clearCode);
                    sinceClear = 0;
                }
                emit (index (x, y) & 0xff);
                ++sinceClear;
            }
        }
        emit (endCode);
        if (accBits > 0)
            lzw.push_back ((juce::uint8) (acc & 0xff));

        out.push_back (minCodeSize);
        for (size_t i = 0; i < lzw.size(); i += 255)
        {
            const auto n = std::min<size_t> (255, lzw.size() - i);
            out.push_back ((juce::uint8) n);
            out.insert (out.end(), lzw.begin() + (long) i, lzw.begin() + (long) (i + n));
        }
        out.push_back (0);
        out.push_back (';');
        return out;
    }

    //==========================================================================
    inline juce::uint32 crc32Of (const juce::uint8* d, size_t n)
    {
        juce::uint32 crc = 0xffffffffu;
        for (size_t i = 0; i < n; ++i)
        {
            crc ^= d[i];
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        return crc ^ 0xffffffffu;
    }

    // Rewrites the CRC of every whole chunk, so that a mutation inside a chunk
    // reaches the decoder instead of failing the checksum.
    inline void fixPngChunkCrcs (Bytes& png)
    {
        size_t i = 8;
        while (i + 12 <= png.size())
        {
            const auto length = ((size_t) png[i] << 24) | ((size_t) png[i + 1] << 16) | ((size_t) png[i + 2] << 8) | png[i + 3];
            if (length > png.size() || i + 12 + length > png.size())
                return;
            const auto crc = crc32Of (png.data() + i + 4, length + 4);
            auto* p = png.data() + i + 8 + length;
            p[0] = (juce::uint8) (crc >> 24);
            p[1] = (juce::uint8) (crc >> 16);
            p[2] = (juce::uint8) (crc >> 8);
            p[3] = (juce::uint8) crc;
            i += 12 + length;
        }
    }

    // A PNG whose header declares w x h (with a valid CRC) and holds no more.
    inline Bytes pngDeclaring (juce::uint32 w, juce::uint32 h)
    {
        auto png = pngOf (patternPicture (4, 4));
        for (int k = 0; k < 4; ++k)
        {
            png[(size_t) (16 + k)] = (juce::uint8) (w >> (24 - 8 * k));
            png[(size_t) (20 + k)] = (juce::uint8) (h >> (24 - 8 * k));
        }
        fixPngChunkCrcs (png);
        return png;
    }

    // A JPEG whose frame header declares w x h.
    inline Bytes jpegDeclaring (int w, int h)
    {
        auto jpeg = jpegOf (patternPicture (8, 8));
        for (size_t i = 2; i + 9 < jpeg.size(); ++i)
        {
            if (jpeg[i] == 0xff && (jpeg[i + 1] == 0xc0 || jpeg[i + 1] == 0xc2))
            {
                jpeg[i + 5] = (juce::uint8) (h >> 8);
                jpeg[i + 6] = (juce::uint8) h;
                jpeg[i + 7] = (juce::uint8) (w >> 8);
                jpeg[i + 8] = (juce::uint8) w;
                break;
            }
        }
        return jpeg;
    }

    //==========================================================================
    // Damage of the kinds files meet: flipped bits, bytes set to 0 or 255,
    // cut-off ends, inserted, dropped and repeated spans, and 16/32-bit fields
    // overwritten with extreme values. PNGs get their chunk CRCs fixed half of
    // the time so that the damage reaches the decompressor.
    inline Bytes mutate (const Bytes& original, std::mt19937& rng, bool isPng)
    {
        Bytes b (original);
        const int rounds = 1 + (int) (rng() % 4);

        for (int r = 0; r < rounds && ! b.empty(); ++r)
        {
            // Most damage lands in the first bytes, where the headers are.
            const auto pos = (rng() % 3 == 0) ? rng() % std::min<size_t> (b.size(), 64) : rng() % b.size();

            switch (rng() % 8)
            {
                case 0: b[pos] ^= (juce::uint8) (1u << (rng() % 8)); break;
                case 1: b[pos] = (rng() % 2 == 0) ? 0x00 : 0xff; break;
                case 2: b.resize (pos); break;
                case 3: b.insert (b.begin() + (long) pos, (juce::uint8) rng()); break;
                case 4:
                {
                    const auto len = std::min<size_t> (1 + rng() % 32, b.size() - pos);
                    b.erase (b.begin() + (long) pos, b.begin() + (long) (pos + len));
                    break;
                }
                case 5:
                {
                    const auto len = std::min<size_t> (1 + rng() % 64, b.size() - pos);
                    Bytes span (b.begin() + (long) pos, b.begin() + (long) (pos + len));
                    b.insert (b.begin() + (long) pos, span.begin(), span.end());
                    break;
                }
                case 6:
                {
                    static const juce::uint32 extremes[] = { 0, 1, 0x7fff, 0x8000, 0xffff, 0x7fffffff, 0x80000000u, 0xffffffffu };
                    const auto v = extremes[rng() % 8];
                    const auto width = (rng() % 2 == 0) ? 2u : 4u;
                    for (juce::uint32 k = 0; k < width && pos + k < b.size(); ++k)
                        b[pos + k] = (juce::uint8) (v >> (8 * k));
                    break;
                }
                default:
                    for (int k = 0; k < 8 && pos + (size_t) k < b.size(); ++k)
                        b[pos + (size_t) k] = (juce::uint8) rng();
                    break;
            }
        }

        if (isPng && rng() % 2 == 0)
            fixPngChunkCrcs (b);

        return b;
    }

    inline juce::File writeFile (const juce::String& name, const Bytes& bytes)
    {
        return writeBytes (name, bytes.data(), bytes.size());
    }
}
