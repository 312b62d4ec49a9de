#include "PictureTestSupport.h"
#include "PictureFiles.h"
#include "PictureMutation.h"

using namespace kestrune::test;
namespace pictures = kestrune::pictures;

namespace
{
    juce::Image decodeFile (const juce::File& f) { return pictures::decodePictureFile (f); }
}

//==============================================================================
TEST (PictureDecoding, GoesByContentAndRefusesBrokenFiles)
{
    const auto picture = patternImage (31, 7);
    const auto png = encodePng (picture);
    const auto jpeg = encodeJpeg (picture);
    const auto gif = makeGif (1, 1);

    // Decoded by content, whatever the name says.
    EXPECT_TRUE (samePixels (decodeFile (writeBytes ("png-named.jpg", png)), picture));
    const auto fromJpeg = decodeFile (writeBytes ("jpeg-named.png", jpeg));
    EXPECT_EQ (fromJpeg.getBounds(), picture.getBounds());
    const auto fromGif = decodeFile (writeBytes ("tiny.gif", gif.data(), gif.size()));
    ASSERT_TRUE (fromGif.isValid());
    EXPECT_EQ (fromGif.getPixelAt (0, 0).getARGB(), 0xffffffffu);

    auto cut = [] (const juce::MemoryBlock& b, size_t n) { return juce::MemoryBlock (b.getData(), n); };

    const juce::String text = "just some words, not a picture";
    EXPECT_FALSE (decodeFile (writeBytes ("words.png", text.toRawUTF8(), (size_t) text.length())).isValid());
    EXPECT_FALSE (decodeFile (writeBytes ("empty.png", "", 0)).isValid());
    EXPECT_FALSE (decodeFile (pictureScratchFolder().getChildFile ("absent.png")).isValid());
    EXPECT_FALSE (decodeFile (pictureScratchFolder()).isValid()); // a folder

    // Cut off inside the header, and cut off inside the pixel data.
    EXPECT_FALSE (decodeFile (writeBytes ("cut-header.png", cut (png, 20))).isValid());
    EXPECT_FALSE (decodeFile (writeBytes ("cut-data.png", cut (png, png.getSize() / 2))).isValid());
    EXPECT_FALSE (decodeFile (writeBytes ("cut-header.jpg", cut (jpeg, 30))).isValid());
    EXPECT_FALSE (decodeFile (writeBytes ("cut-data.jpg", cut (jpeg, jpeg.getSize() - 40))).isValid());
    EXPECT_FALSE (decodeFile (writeBytes ("cut.gif", gif.data(), 15)).isValid());
}

TEST (PictureDecoding, HeadersDeclaringHugePicturesAreRefusedBeforeDecoding)
{
    // The declared sizes are read from each format's header.
    const auto png = encodePng (patternImage (123, 45));
    const auto jpeg = encodeJpeg (patternImage (123, 45)); // frame header after JFIF and tables
    for (const auto* block : { &png, &jpeg })
    {
        const auto h = pictures::readPictureHeader (block->getData(), block->getSize());
        EXPECT_EQ (h.width, 123);
        EXPECT_EQ (h.height, 45);
    }

    // A well-formed, fully decodable PNG of 8000 x 8000 one-bit pixels: a few
    // kilobytes on disk, 256 MB once decoded.
    {
        juce::MemoryOutputStream out;
        auto chunk = [&] (const char* type, const juce::MemoryBlock& data)
        {
            juce::MemoryBlock body;
            body.append (type, 4);
            body.append (data.getData(), data.getSize());
            out.writeIntBigEndian ((int) data.getSize());
            out.write (body.getData(), body.getSize());
            out.writeIntBigEndian ((int) files::crc32Of ((const juce::uint8*) body.getData(), body.getSize()));
        };

        const int side = 8000;
        const juce::uint8 signature[] = { 137, 80, 78, 71, 13, 10, 26, 10 };
        out.write (signature, 8);
        juce::MemoryOutputStream ihdr;
        ihdr.writeIntBigEndian (side);
        ihdr.writeIntBigEndian (side);
        const juce::uint8 rest[] = { 1, 0, 0, 0, 0 }; // 1-bit greyscale
        ihdr.write (rest, 5);
        chunk ("IHDR", ihdr.getMemoryBlock());

        juce::MemoryOutputStream compressed;
        {
            juce::GZIPCompressorOutputStream z (compressed, 9);
            juce::MemoryBlock row ((size_t) (1 + side / 8), true);
            for (int y = 0; y < side; ++y)
                z.write (row.getData(), row.getSize());
        }
        chunk ("IDAT", compressed.getMemoryBlock());
        chunk ("IEND", {});

        const auto bomb = out.getMemoryBlock();
        EXPECT_LT (bomb.getSize(), 200000u);
        const auto h = pictures::readPictureHeader (bomb.getData(), bomb.getSize());
        EXPECT_EQ (h.width, side);
        EXPECT_EQ (h.height, side);
        EXPECT_FALSE (decodeFile (writeBytes ("bomb.png", bomb)).isValid());

        auto p = makeProcessor();
        p->loadFile (pictureScratchFolder().getChildFile ("bomb.png").getFullPathName(), true);
        ASSERT_TRUE (adoptPending (*p));
        EXPECT_FALSE (p->sourceImagePresent.load());
    }

    // A JPEG frame header claiming 20000 x 20000.
    {
        auto big = encodeJpeg (patternImage (64, 64));
        auto* d = static_cast<juce::uint8*> (big.getData());
        for (size_t i = 2; i + 9 < big.getSize(); ++i)
        {
            if (d[i] == 0xff && d[i + 1] == 0xc0)
            {
                d[i + 5] = 0x4e; d[i + 6] = 0x20; // height 20000
                d[i + 7] = 0x4e; d[i + 8] = 0x20; // width 20000
                break;
            }
        }
        EXPECT_EQ (pictures::readPictureHeader (big.getData(), big.getSize()).width, 20000);
        EXPECT_FALSE (decodeFile (writeBytes ("bomb.jpg", big)).isValid());
    }

    // GIFs: a huge image descriptor, or a huge logical screen.
    for (const auto& gif : { makeGif (1, 1, 60000, 60000), makeGif (60000, 60000, 1, 1) })
        EXPECT_FALSE (decodeFile (writeBytes ("bomb.gif", gif.data(), gif.size())).isValid());
}

TEST (PictureDecoding, DamagedFilesGiveNoPictureOrAWholeOneButNeverCrash)
{
    // The libraries report damage through their error handlers; a decoder that
    // mishandles that takes the host down, so flip and cut bytes everywhere.
    const auto picture = patternImage (40, 24);
    const auto png = encodePng (picture);
    const auto jpeg = encodeJpeg (picture);
    const auto gifBytes = makeGif (1, 1);
    const juce::MemoryBlock gif (gifBytes.data(), gifBytes.size());

    juce::Random random (1234);
    for (const auto* original : { &png, &jpeg, &gif })
    {
        for (int round = 0; round < 300; ++round)
        {
            juce::MemoryBlock damaged (*original);
            auto* d = static_cast<juce::uint8*> (damaged.getData());
            const auto size = (int) damaged.getSize();
            const int flips = 1 + random.nextInt (4);
            for (int k = 0; k < flips; ++k)
                d[random.nextInt (size)] ^= (juce::uint8) (1 + random.nextInt (255));

            const auto keep = (round % 3 == 0) ? (size_t) random.nextInt (size) : (size_t) size;
            const auto image = pictures::decodePicture (damaged.getData(), keep);

            if (image.isValid())
            {
                const auto header = pictures::readPictureHeader (damaged.getData(), keep);
                EXPECT_EQ (image.getWidth(), header.width);
                EXPECT_EQ (image.getHeight(), header.height);
            }
        }
    }
}

//==============================================================================
namespace
{
    using Bytes = files::Bytes;

    enum PngColour { pngGrey = 0, pngRgb = 2, pngPalette = 3, pngGreyAlpha = 4, pngRgba = 6 };

    struct PngChunk { std::string type; Bytes data; };

    Bytes bigEndian (juce::uint32 v, int bytes)
    {
        Bytes out;
        for (int k = bytes - 1; k >= 0; --k)
            out.push_back ((juce::uint8) (v >> (8 * k)));
        return out;
    }

    // A PNG written by hand, so that bit depths, colour types, interlacing and
    // ancillary chunks the framework's writer never makes can be tested.
    // `scanlines` are the raw rows, each led by its filter byte, in file order
    // (for an interlaced file: pass after pass). `extra` goes before the data.
    Bytes handMadePng (int w, int h, int depth, PngColour colour, const Bytes& scanlines,
                       const std::vector<PngChunk>& extra = {}, bool interlaced = false)
    {
        Bytes png { 137, 80, 78, 71, 13, 10, 26, 10 };
        auto chunk = [&png] (const std::string& type, const Bytes& data)
        {
            const auto length = bigEndian ((juce::uint32) data.size(), 4);
            png.insert (png.end(), length.begin(), length.end());
            Bytes body (type.begin(), type.end());
            body.insert (body.end(), data.begin(), data.end());
            png.insert (png.end(), body.begin(), body.end());
            const auto crc = bigEndian (files::crc32Of (body.data(), body.size()), 4);
            png.insert (png.end(), crc.begin(), crc.end());
        };

        auto ihdr = bigEndian ((juce::uint32) w, 4);
        const auto height = bigEndian ((juce::uint32) h, 4);
        ihdr.insert (ihdr.end(), height.begin(), height.end());
        ihdr.insert (ihdr.end(), { (juce::uint8) depth, (juce::uint8) colour, 0, 0, (juce::uint8) (interlaced ? 1 : 0) });
        chunk ("IHDR", ihdr);

        for (const auto& c : extra)
            chunk (c.type, c.data);

        juce::MemoryOutputStream compressed;
        {
            juce::GZIPCompressorOutputStream z (compressed, 9);
            z.write (scanlines.data(), scanlines.size());
        }
        const auto* z = static_cast<const juce::uint8*> (compressed.getData());
        chunk ("IDAT", Bytes (z, z + compressed.getDataSize()));
        chunk ("IEND", {});
        return png;
    }

    // Rows of samples of `bytesPerSample` bytes, big-endian, each row led by filter 0.
    Bytes rowsOf (const std::vector<std::vector<juce::uint32>>& rows, int bytesPerSample)
    {
        Bytes out;
        for (const auto& row : rows)
        {
            out.push_back (0);
            for (auto sample : row)
            {
                const auto b = bigEndian (sample, bytesPerSample);
                out.insert (out.end(), b.begin(), b.end());
            }
        }
        return out;
    }

    PngChunk gamma (juce::uint32 timesOneHundredThousand) { return { "gAMA", bigEndian (timesOneHundredThousand, 4) }; }

    juce::Image decodeBytes (const Bytes& b) { return pictures::decodePicture (b.data(), b.size()); }

    // The straight colour of a pixel as 0xAARRGGBB.
    juce::uint32 argbAt (const juce::Image& image, int x, int y) { return image.getPixelAt (x, y).getARGB(); }
}

TEST (PictureDecoding, SixteenBitSamplesKeepTheirHighByteWithoutGammaConversion)
{
    // Untagged 16-bit files are what numeric and plotting tools write: their
    // samples are read as stored, the low byte dropped (not rounded).
    {
        const auto png = handMadePng (3, 1, 16, pngRgb,
                                      rowsOf ({ { 0x3e80, 0x8001, 0xc0ff,   0x0000, 0x00ff, 0xffff,   0x3e3e, 0x3e3e, 0x3e3e } }, 2));
        const auto image = decodeBytes (png);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (image.getFormat(), juce::Image::RGB);
        EXPECT_EQ (argbAt (image, 0, 0), 0xff3e80c0u);
        EXPECT_EQ (argbAt (image, 1, 0), 0xff0000ffu);
        EXPECT_EQ (argbAt (image, 2, 0), 0xff3e3e3eu) << "a stored grey of 0x3e must not come out brighter";
    }
    {
        const auto png = handMadePng (4, 2, 16, pngGrey, rowsOf ({ { 0x3e00, 0x7fff, 0xff00, 0x0001 },
                                                                   { 0x1234, 0x12ff, 0x8080, 0xffff } }, 2));
        const auto image = decodeBytes (png);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (image.getFormat(), juce::Image::RGB);
        const juce::uint32 expected[2][4] = { { 0xff3e3e3e, 0xff7f7f7f, 0xffffffff, 0xff000000 },
                                              { 0xff121212, 0xff121212, 0xff808080, 0xffffffff } };
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ (argbAt (image, x, y), expected[y][x]) << x << ", " << y;
    }
    {
        // Alpha is kept as stored too; colours of half-transparent pixels come
        // back through the premultiplied image to within a level or two.
        const auto png = handMadePng (2, 1, 16, pngRgba, rowsOf ({ { 0x3e00, 0x8000, 0xc000, 0xffff,
                                                                     0x6000, 0x2000, 0xf000, 0x80ff } }, 2));
        const auto image = decodeBytes (png);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (image.getFormat(), juce::Image::ARGB);
        EXPECT_EQ (argbAt (image, 0, 0), 0xff3e80c0u);
        const auto half = image.getPixelAt (1, 0);
        EXPECT_EQ (half.getAlpha(), 0x80);
        EXPECT_NEAR (half.getRed(), 0x60, 2);
        EXPECT_NEAR (half.getGreen(), 0x20, 2);
        EXPECT_NEAR (half.getBlue(), 0xf0, 2);
    }
    {
        // A transparency chunk on 16-bit grey matches the whole 16-bit sample.
        const auto png = handMadePng (2, 1, 16, pngGrey, rowsOf ({ { 0x1234, 0x12ff } }, 2),
                                      { { "tRNS", bigEndian (0x1234, 2) } });
        const auto image = decodeBytes (png);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (image.getFormat(), juce::Image::ARGB);
        EXPECT_EQ (image.getPixelAt (0, 0).getAlpha(), 0);
        EXPECT_EQ (argbAt (image, 1, 0), 0xff121212u);
    }
}

TEST (PictureDecoding, EightBitSamplesIgnoreTheFilesGamma)
{
    // gAMA 1.0 and 1/1.8 are far from the display's 1/2.2; the samples are
    // still taken as stored, as the picture shows them in a plotting tool.
    for (const juce::uint32 g : { 100000u, 55556u, 45455u })
    {
        SCOPED_TRACE (g);
        const auto rgb = handMadePng (3, 1, 8, pngRgb, rowsOf ({ { 0x3e, 0x80, 0xc0,   0x01, 0x10, 0xfe,   0x00, 0x7f, 0xff } }, 1),
                                      { gamma (g) });
        const auto image = decodeBytes (rgb);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (argbAt (image, 0, 0), 0xff3e80c0u);
        EXPECT_EQ (argbAt (image, 1, 0), 0xff0110feu);
        EXPECT_EQ (argbAt (image, 2, 0), 0xff007fffu);

        const auto grey = handMadePng (2, 1, 8, pngGrey, rowsOf ({ { 0x3e, 0xc1 } }, 1), { gamma (g) });
        const auto greyImage = decodeBytes (grey);
        ASSERT_TRUE (greyImage.isValid());
        EXPECT_EQ (argbAt (greyImage, 0, 0), 0xff3e3e3eu);
        EXPECT_EQ (argbAt (greyImage, 1, 0), 0xffc1c1c1u);
    }
}

TEST (PictureDecoding, PaletteGreyAlphaTransparencyLowDepthsAndInterlacingExpand)
{
    {
        // A 2-bit palette with a transparency chunk: entry 1 half transparent,
        // entry 2 beyond the chunk opaque.
        const Bytes palette { 10, 20, 30,   200, 100, 50,   0, 0, 0,   255, 255, 255 };
        const auto png = handMadePng (4, 1, 2, pngPalette, { 0, 0b00011011 },
                                      { { "PLTE", palette }, { "tRNS", { 255, 128 } } });
        const auto image = decodeBytes (png);
        ASSERT_TRUE (image.isValid());
        EXPECT_EQ (image.getFormat(), juce::Image::ARGB);
        EXPECT_EQ (argbAt (image, 0, 0), 0xff0a141eu);
        EXPECT_EQ (image.getPixelAt (1, 0).getAlpha(), 128);
        EXPECT_NEAR (image.getPixelAt (1, 0).getRed(), 200, 2);
        EXPECT_EQ (argbAt (image, 2, 0), 0xff000000u);
        EXPECT_EQ (argbAt (image, 3, 0), 0xffffffffu);
    }
    {
        // Grey of 1, 2 and 4 bits spreads over the whole 8-bit range.
        const auto one = decodeBytes (handMadePng (3, 1, 1, pngGrey, { 0, 0b10100000 }));
        ASSERT_TRUE (one.isValid());
        EXPECT_EQ (argbAt (one, 0, 0), 0xffffffffu);
        EXPECT_EQ (argbAt (one, 1, 0), 0xff000000u);
        EXPECT_EQ (argbAt (one, 2, 0), 0xffffffffu);

        const auto two = decodeBytes (handMadePng (4, 1, 2, pngGrey, { 0, 0b00011011 }));
        ASSERT_TRUE (two.isValid());
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ (argbAt (two, x, 0), 0xff000000u | 0x555555u * (juce::uint32) x) << x;

        const auto four = decodeBytes (handMadePng (2, 1, 4, pngGrey, { 0, 0x3f }));
        ASSERT_TRUE (four.isValid());
        EXPECT_EQ (argbAt (four, 0, 0), 0xff333333u);
        EXPECT_EQ (argbAt (four, 1, 0), 0xffffffffu);
    }
    {
        // Grey with alpha, and 8-bit RGB with a transparent colour.
        const auto greyAlpha = decodeBytes (handMadePng (2, 1, 8, pngGreyAlpha, rowsOf ({ { 0x40, 0xff, 0x90, 0x00 } }, 1)));
        ASSERT_TRUE (greyAlpha.isValid());
        EXPECT_EQ (greyAlpha.getFormat(), juce::Image::ARGB);
        EXPECT_EQ (argbAt (greyAlpha, 0, 0), 0xff404040u);
        EXPECT_EQ (greyAlpha.getPixelAt (1, 0).getAlpha(), 0);

        const auto keyed = decodeBytes (handMadePng (2, 1, 8, pngRgb, rowsOf ({ { 1, 2, 3,   4, 5, 6 } }, 1),
                                                     { { "tRNS", { 0, 4, 0, 5, 0, 6 } } }));
        ASSERT_TRUE (keyed.isValid());
        EXPECT_EQ (keyed.getFormat(), juce::Image::ARGB);
        EXPECT_EQ (argbAt (keyed, 0, 0), 0xff010203u);
        EXPECT_EQ (keyed.getPixelAt (1, 0).getAlpha(), 0);
    }
    {
        // Adam7 interlacing, 8-bit grey 5 x 5: the seven passes' pixels land in place.
        const int w = 5, h = 5;
        auto grey = [] (int x, int y) { return (juce::uint32) (x * 40 + y * 7); };
        const int passes[7][4] = { { 0, 0, 8, 8 }, { 4, 0, 8, 8 }, { 0, 4, 4, 8 }, { 2, 0, 4, 4 },
                                   { 0, 2, 2, 4 }, { 1, 0, 2, 2 }, { 0, 1, 1, 2 } };
        std::vector<std::vector<juce::uint32>> rows;
        for (const auto& pass : passes)
        {
            for (int y = pass[1]; y < h; y += pass[3])
            {
                std::vector<juce::uint32> row;
                for (int x = pass[0]; x < w; x += pass[2])
                    row.push_back (grey (x, y));
                if (! row.empty())
                    rows.push_back (row);
            }
        }
        const auto image = decodeBytes (handMadePng (w, h, 8, pngGrey, rowsOf (rows, 1), {}, true));
        ASSERT_TRUE (image.isValid());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                EXPECT_EQ (argbAt (image, x, y), 0xff000000u | 0x010101u * grey (x, y)) << x << ", " << y;
    }
}
