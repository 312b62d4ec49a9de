#pragma once

#include <JuceHeader.h>

#include <cstddef>

// Reading and writing picture files. Decoding goes by the file's content, never
// by its name, and a picture is only decoded after its header has been read and
// its declared size found reasonable, so a hostile or broken file cannot make
// the decoder allocate gigabytes.
namespace kestrune::pictures
{
    enum class PictureFormat { none, png, jpeg, gif };

    struct PictureHeader
    {
        PictureFormat format = PictureFormat::none;
        juce::int64 width = 0, height = 0;   // size of the image the decoder will allocate
        juce::int64 largestDeclaredPixels = 0; // largest area any size field of the header claims

        bool isValid() const noexcept { return format != PictureFormat::none && width > 0 && height > 0; }
    };

    // Pictures that declare more pixels than this are refused (about 200 MB as ARGB).
    constexpr juce::int64 maxPicturePixels = 50'000'000;

    // Files larger than this are not read at all.
    constexpr juce::int64 maxPictureFileBytes = 256 * 1024 * 1024;

    // Reads the format and declared size from the leading bytes of a PNG (IHDR),
    // JPEG (first SOFn frame header) or GIF (logical screen and first image
    // descriptor). Anything unknown, malformed or cut short gives an invalid header.
    PictureHeader readPictureHeader (const void* data, size_t size);

    // Decodes PNG, JPEG or GIF data; anything else, a refused header, a cut-off
    // file or a decoding failure gives a null image.
    juce::Image decodePicture (const void* data, size_t size);
    // Decodes the regular file at `file`; a link, a FIFO or a device gives a null image.
    juce::Image decodePictureFile (const juce::File& file);

    // Writes `image` as PNG next to `target` and then renames it over `target`,
    // so that a reader sees either the old file or the new one, whole. Returns
    // false (and leaves `target` untouched) when anything fails or `image` is null.
    // A regular file that holds exactly that PNG already is left alone.
    bool writePngReplacing (const juce::Image& image, const juce::File& target);

    // True when `image` is `width` x `height` and every pixel is opaque black.
    bool isOpaqueBlack (const juce::Image& image, int width, int height);
}
