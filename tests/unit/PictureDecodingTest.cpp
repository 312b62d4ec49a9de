#include "PictureTestSupport.h"
#include "PictureFiles.h"
#include "PictureMutation.h"

using namespace kestrune::test;
namespace pictures = kestrune::pictures;

namespace
{
    juce::Image decodeFile (const juce::File& f) { return pictures::decodePictureFile (f); }

    bool samePixels (const juce::Image& a, const juce::Image& b)
    {
        if (a.getWidth() != b.getWidth() || a.getHeight() != b.getHeight())
            return false;
        for (int y = 0; y < a.getHeight(); ++y)
            for (int x = 0; x < a.getWidth(); ++x)
                if (a.getPixelAt (x, y).getARGB() != b.getPixelAt (x, y).getARGB())
                    return false;
        return true;
    }
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
