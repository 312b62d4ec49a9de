#include "PictureCopies.h"
#include "PictureFiles.h"
#include "SafeFiles.h"
#include "StorablePixels.h"

#include <cerrno>
#include <cstring>

namespace
{
    // A 64-bit checksum (MurmurHash3's mixing, one lane). It tells pictures and
    // files apart for this instance's own bookkeeping; nothing stores it.
    class Checksum
    {
    public:
        void addWord (juce::uint64 v) noexcept
        {
            v *= 0x87c37b91114253d5ull;
            v = (v << 31) | (v >> 33);
            v *= 0x4cf5ad432745937full;
            h ^= v;
            h = ((h << 27) | (h >> 37)) * 5 + 0x52dce729;
        }

        void addBytes (const void* data, size_t size) noexcept
        {
            auto* p = static_cast<const juce::uint8*> (data);
            length += size;

            for (; pendingCount != 0 && size > 0; --size)
                takePendingByte (*p++);

            for (; size >= 8; size -= 8, p += 8)
                addWord (juce::ByteOrder::littleEndianInt64 (p));

            for (; size > 0; --size)
                takePendingByte (*p++);
        }

        juce::uint64 result() const noexcept
        {
            auto copy = *this;

            if (copy.pendingCount != 0)
                copy.addWord (copy.pending);

            auto k = copy.h ^ (juce::uint64) copy.length;
            k ^= k >> 33;
            k *= 0xff51afd7ed558ccdull;
            k ^= k >> 33;
            k *= 0xc4ceb9fe1a85ec53ull;
            k ^= k >> 33;
            return k;
        }

    private:
        void takePendingByte (juce::uint8 b) noexcept
        {
            pending |= (juce::uint64) b << (8 * pendingCount);

            if (++pendingCount == 8)
            {
                addWord (pending);
                pending = 0;
                pendingCount = 0;
            }
        }

        juce::uint64 h = 0x6b657374ull, pending = 0;
        size_t length = 0;
        int pendingCount = 0;
    };

    juce::uint64 checksumOf (const juce::MemoryBlock& data)
    {
        Checksum sum;
        sum.addBytes (data.getData(), data.getSize());
        return sum.result();
    }

    // Files in the images folder are read only as the regular files they are:
    // never through a link, never a FIFO or a device.
    bool readInFolder (const juce::File& file, juce::MemoryBlock& data)
    {
        return kestrune::files::readRegularFile (file, kestrune::pictures::maxPictureFileBytes, false, data);
    }

    // True when `file` is a regular file of `size` bytes whose checksum is `bytes`.
    bool holds (const juce::File& file, juce::int64 size, juce::uint64 bytes)
    {
        Checksum sum;
        return size > 0 && kestrune::files::isRegularFile (file, false) && file.getSize() == size
                && kestrune::files::readRegularFileInChunks (file, size, false, [&sum] (const void* d, size_t n) { sum.addBytes (d, n); })
                && sum.result() == bytes;
    }

    // Why a copy could not be written, in the user's words.
    juce::String writeErrorText (int error)
    {
        switch (error)
        {
            case ENOSPC:
            case EDQUOT:       return "the disk is full";
            case EROFS:        return "the disk is read-only";
            case EACCES:
            case EPERM:        return "the folder may not be written to";
            case ENAMETOOLONG: return "the file name is too long";
            case ENOENT:
            case ENOTDIR:      return "the folder is not there (a drive that is not mounted?)";
            case 0:            return "the file could not be written";
            default:           return juce::String (std::strerror (error)).toLowerCase();
        }
    }

    bool isSymbolicLinkOrExists (const juce::File& file)
    {
        return file.exists() || file.isSymbolicLink();
    }

    // A copy about to be written: its PNG data (or the bytes of the file it was
    // read from), encoded once when first needed, and the hidden file it is
    // written into before it gets its name.
    class NewCopy
    {
    public:
        NewCopy (const juce::Image& im, std::shared_ptr<const juce::MemoryBlock> originalBytes)
            : image (im), original (std::move (originalBytes)) {}

        bool ready()
        {
            if (state == State::unencoded)
            {
                bool ok = true;

                if (original == nullptr)
                    ok = kestrune::pictures::encodePng (image, encoded);

                state = ok && bytes().getSize() > 0 ? State::encoded : State::failed;

                if (state == State::encoded)
                {
                    size = (juce::int64) bytes().getSize();
                    checksum = checksumOf (bytes());
                }
            }

            return state == State::encoded;
        }

        const juce::MemoryBlock& bytes() const { return original != nullptr ? *original : encoded; }

        // True when the copy is given bytes (not the picture's own encoding).
        bool hasGivenBytes() const noexcept { return original != nullptr; }

        // Gives the copy the name `target` unless something holds that name
        // already, whoever made it and whenever (other instances, other
        // processes, at the same moment).
        kestrune::files::AsideFile::Commit createAs (const juce::File& folder, const juce::File& target)
        {
            using Commit = kestrune::files::AsideFile::Commit;

            if (! ready())
                return Commit::failed;

            errno = 0;

            if (aside.file() == juce::File() && ! aside.write (folder, target.getFileName(), bytes().getData(), bytes().getSize()))
            {
                error = errno;
                return Commit::failed;
            }

            const auto outcome = aside.createAs (target);

            if (outcome == Commit::failed)
                error = errno;

            return outcome;
        }

        // The system's error number of the last write that failed (0: none known).
        int error = 0;

        juce::int64 size = 0;
        juce::uint64 checksum = 0;

    private:
        enum class State { unencoded, encoded, failed };

        const juce::Image& image;
        std::shared_ptr<const juce::MemoryBlock> original;
        juce::MemoryBlock encoded;
        kestrune::files::AsideFile aside;
        State state = State::unencoded;
    };

    // A pen layer's name when its path's own is taken: derived from the
    // content (the same layer gets the same name) and kept well short of any
    // file system's limit. A name derived before (a restored layer's) gives
    // its stem, not a longer name at every round.
    juce::String contentName (const juce::String& wanted, juce::uint64 checksum)
    {
        const auto dot = wanted.lastIndexOfChar ('.');
        auto stem = dot > 0 ? wanted.substring (0, dot) : wanted;
        const auto tail = stem.getLastCharacters (17);

        if (tail.length() == 17 && tail[0] == '-' && tail.substring (1).containsOnly ("0123456789abcdef"))
            stem = stem.dropLastCharacters (17);

        stem = stem.substring (0, 100);
        const auto extension = dot > 0 ? wanted.substring (dot).substring (0, 10) : juce::String();
        return stem + "-" + juce::String::toHexString ((juce::int64) checksum).paddedLeft ('0', 16) + extension;
    }
}

//==============================================================================
const juce::Identifier PictureCopies::attribute { "savedCopies" };

juce::File PictureCopies::fileInFolder (const juce::File& folder, const juce::String& name)
{
    if (folder == juce::File() || name.isEmpty() || name == "." || name == ".." || name.containsChar ('/'))
        return {};

    // Joined by hand: a child name with a leading "~" would be read as a home
    // folder.
    const juce::File file (folder.getFullPathName() + juce::File::getSeparatorString() + name);

    if (file.getParentDirectory() != folder || file.getFileName() != name)
        return {};

    return file;
}

juce::String PictureCopies::numberedName (const juce::String& name, int number)
{
    if (number <= 1)
        return name;

    const auto dot = name.lastIndexOfChar ('.');
    const auto stem = dot > 0 ? name.substring (0, dot) : name;
    const auto extension = dot > 0 ? name.substring (dot) : juce::String();
    return stem + "_" + juce::String (number) + extension;
}

juce::uint64 PictureCopies::pixelChecksum (const juce::Image& image)
{
    if (! image.isValid())
        return 0;

    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readOnly);
    Checksum sum;
    sum.addWord (((juce::uint64) (juce::uint32) data.width << 32) | (juce::uint32) data.height);

    // Each pixel as its colour in premultiplied ARGB, two to a word.
    auto colourAt = [&data] (const juce::uint8* p) -> juce::uint32
    {
        switch (data.pixelFormat)
        {
            case juce::Image::ARGB:          return reinterpret_cast<const juce::PixelARGB*> (p)->getNativeARGB();
            case juce::Image::RGB:           return reinterpret_cast<const juce::PixelRGB*> (p)->getNativeARGB();
            case juce::Image::SingleChannel: return reinterpret_cast<const juce::PixelAlpha*> (p)->getNativeARGB();
            case juce::Image::UnknownFormat:
            default:                         return 0;
        }
    };

    for (int y = 0; y < data.height; ++y)
    {
        const auto* p = data.getLinePointer (y);
        int x = 0;

        for (; x + 1 < data.width; x += 2, p += 2 * data.pixelStride)
            sum.addWord (((juce::uint64) colourAt (p) << 32) | colourAt (p + data.pixelStride));

        if (x < data.width)
            sum.addWord (colourAt (p));
    }

    return sum.result();
}

//==============================================================================
void PictureCopies::recordInState (juce::ValueTree imagePath, const juce::String& pictureCopy,
                                   const juce::String& layerCopy)
{
    if (! imagePath.isValid())
        return;

    // A copy counts only beside the path it is the copy of.
    const auto picture = imagePath.getProperty ("path").toString().isNotEmpty() ? pictureCopy : juce::String();
    const auto layer = imagePath.getProperty ("pathDraw").toString().isNotEmpty() ? layerCopy : juce::String();

    if (picture.isEmpty() && layer.isEmpty())
        imagePath.removeProperty (attribute, nullptr);
    else
        imagePath.setProperty (attribute, picture + "/" + layer, nullptr);
}

juce::String PictureCopies::recordedName (const juce::ValueTree& imagePath, Kind kind)
{
    const auto property = kind == Kind::picture ? "path" : "pathDraw";

    if (! imagePath.isValid() || imagePath.getProperty (property).toString().isEmpty())
        return {};

    const auto value = imagePath.getProperty (attribute);

    if (! value.isString())
        return {};

    // Exactly two names, either possibly empty.
    const auto text = value.toString();
    const auto slash = text.indexOfChar ('/');

    if (slash < 0 || text.indexOfChar (slash + 1, '/') >= 0)
        return {};

    return kind == Kind::picture ? text.substring (0, slash) : text.substring (slash + 1);
}

juce::File PictureCopies::recordedCopy (const juce::ValueTree& imagePath, Kind kind, const juce::File& folder)
{
    const auto file = fileInFolder (folder, recordedName (imagePath, kind));
    return kestrune::files::isRegularFile (file, false) ? file : juce::File();
}

bool PictureCopies::isInImagesFolder (const juce::File& file, const juce::File& folder)
{
    const auto parent = file.getParentDirectory();
    return file != juce::File() && (parent == folder || parent.getFileName() == folder.getFileName());
}

std::optional<juce::File> PictureCopies::locate (const juce::ValueTree& imagePath, Kind kind, const juce::File& folder)
{
    const auto name = recordedName (imagePath, kind);

    if (name.isEmpty())
        return std::nullopt;

    const auto stored = imagePath.getProperty (kind == Kind::picture ? "path" : "pathDraw").toString();
    const auto atPath = juce::File::isAbsolutePath (stored) ? juce::File (stored) : juce::File();

    if (const auto copy = recordedCopy (imagePath, kind, folder); copy != juce::File())
        return copy;

    // The images folder may have moved since (another Documents folder):
    // the copy is then beside the stored path, in the folder it was written into.
    if (isInImagesFolder (atPath, folder))
    {
        if (const auto copy = recordedCopy (imagePath, kind, atPath.getParentDirectory()); copy != juce::File())
            return copy;

        // A file there under another name than the copy's was set aside.
        return juce::File();
    }

    return kestrune::files::isRegularFile (atPath, true) ? atPath : juce::File();
}

//==============================================================================
PictureCopies::Known PictureCopies::lastKnown (Kind kind)
{
    const std::lock_guard<std::mutex> guard (lock);
    return known[(int) kind];
}

// A save records what it did only when nothing else (a load, a restore,
// another save) has recorded something since it looked.
void PictureCopies::remember (Kind kind, Known k, const juce::uint64* onlyIfStill)
{
    const std::lock_guard<std::mutex> guard (lock);
    auto& slot = known[(int) kind];

    if (onlyIfStill != nullptr && slot.serial != *onlyIfStill)
        return;

    k.serial = ++serials;
    slot = k;
}

juce::Image PictureCopies::read (Kind kind, const juce::String& path, const juce::File& file, const juce::File& folder,
                                 std::shared_ptr<const juce::MemoryBlock>* fileBytes, bool followLinks)
{
    juce::MemoryBlock data;
    juce::Image image;

    if (fileBytes != nullptr)
        fileBytes->reset();

    if (path.isNotEmpty() && file != juce::File()
         && kestrune::files::readRegularFile (file, kestrune::pictures::maxPictureFileBytes, followLinks, data))
        image = kestrune::pictures::decodePicture (data.getData(), data.getSize());

    Known k;
    k.path = path;

    if (image.isValid())
    {
        k.pixels = pixelChecksum (image);

        // Only files in the images folder are worth remembering: those are
        // the ones a save may find under its copy's name. A link there is
        // never one (a save never settles in a link).
        if (file != juce::File() && fileInFolder (folder, file.getFileName()) == file
             && kestrune::files::isRegularFile (file, false))
        {
            k.name = file.getFileName();
            k.size = (juce::int64) data.getSize();
            k.bytes = checksumOf (data);
        }

        // Its copy can be the file itself: decoded, it gives these pixels
        // again (a PNG encoding of translucent ones may not).
        if (fileBytes != nullptr)
            *fileBytes = std::make_shared<const juce::MemoryBlock> (std::move (data));
    }

    remember (kind, k, nullptr);
    return image;
}

void PictureCopies::reserveName (const juce::String& name, const juce::Image& onlyPicture)
{
    const std::lock_guard<std::mutex> guard (lock);
    reservedName = name;
    reservedPixels = pixelChecksum (onlyPicture);
}

bool PictureCopies::mayTake (Kind kind, const juce::String& name, juce::uint64 pixels)
{
    const std::lock_guard<std::mutex> guard (lock);
    return kind != Kind::picture || name != reservedName || pixels == reservedPixels;
}

juce::String PictureCopies::save (Kind kind, const juce::Image& image, const juce::String& path, const juce::File& folder,
                                  std::shared_ptr<const juce::MemoryBlock> bytes, juce::String* whyNot)
{
    if (! image.isValid() || path.isEmpty())
        return {};

    auto failed = [whyNot] (const juce::String& reason)
    {
        if (whyNot != nullptr)
            *whyNot = reason;

        return juce::String();
    };

    // Only the forward slash separates; a path without one is the name itself.
    const auto wanted = path.fromLastOccurrenceOf ("/", false, false);

    if (fileInFolder (folder, wanted) == juce::File())
        return failed ("the file name \"" + wanted + "\" cannot be used there");

    const bool penLayer = kind == Kind::penLayer;
    const auto pixels = pixelChecksum (image);
    const auto last = lastKnown (kind);
    const bool samePicture = last.pixels == pixels && last.path.isNotEmpty();

    // The copy last written or read for this path, still holding what it held
    // then: the usual case, decided without decoding anything.
    if (samePicture && last.path == path && last.name.isNotEmpty() && mayTake (kind, last.name, pixels)
         && holds (fileInFolder (folder, last.name), last.size, last.bytes))
        return last.name;

    NewCopy copy (image, std::move (bytes));

    auto keep = [&] (const juce::String& name, juce::int64 size, juce::uint64 checksum)
    {
        remember (kind, { path, name, size, checksum, pixels, 0 }, &last.serial);
        return name;
    };

    // The names tried, in order: a picture's own name and its numbered ones;
    // a pen layer's own name, then the one its content gives.
    auto nameAt = [&] (int index) -> juce::String
    {
        if (! penLayer || index == 0)
            return numberedName (wanted, index + 1);

        return copy.ready() ? numberedName (contentName (wanted, copy.checksum), index) : juce::String();
    };

    int comparisons = 0;

    for (int index = 0; index < maxNumberedNames; ++index)
    {
        const auto name = nameAt (index);
        const auto file = fileInFolder (folder, name);

        if (file == juce::File())
        {
            if (name.isEmpty())
                return failed ("the picture could not be encoded");

            continue;
        }

        // A name the plug-in itself rewrites holds only the picture it writes there.
        if (! mayTake (kind, name, pixels))
            continue;

        if (! isSymbolicLinkOrExists (file))
        {
            using Commit = kestrune::files::AsideFile::Commit;
            const auto outcome = copy.createAs (folder, file);

            if (outcome == Commit::done)
                return keep (name, copy.size, copy.checksum);

            if (outcome == Commit::failed)
                return failed (copy.ready() ? writeErrorText (copy.error) : juce::String ("the picture could not be encoded"));

            // Another writer took the name meanwhile: see what it holds.
        }

        if (! kestrune::files::isRegularFile (file, false))
            continue;

        // A file this object wrote or read and still knows: its pixels are known.
        if (name == last.name && holds (file, last.size, last.bytes))
        {
            if (last.pixels == pixels)
                return keep (name, last.size, last.bytes);

            continue;
        }

        // A picture with bytes of its own settles at once in a file holding
        // exactly those (the same photo opened again): nothing to decode.
        if (! penLayer && copy.hasGivenBytes() && copy.ready() && holds (file, copy.size, copy.checksum))
            return keep (name, copy.size, copy.checksum);

        // A pen layer settles only in a file holding exactly its own data.
        if (penLayer)
        {
            if (copy.ready() && holds (file, copy.size, copy.checksum))
                return keep (name, copy.size, copy.checksum);

            continue;
        }

        // A picture settles in any file holding the same pixels (a JPEG stays
        // a JPEG); decoding one to see is bounded, and the header must promise
        // the same size.
        if (comparisons >= maxComparisonsPerSave)
            continue;

        const auto lead = kestrune::files::leadingBytesOfRegularFile (file, 1 << 16, false);
        const auto header = kestrune::pictures::readPictureHeader (lead.getData(), lead.getSize());

        if (! header.isValid() || header.width != image.getWidth() || header.height != image.getHeight())
            continue;

        ++comparisons;
        juce::MemoryBlock data;

        if (! readInFolder (file, data))
            continue;

        const auto decoded = kestrune::pictures::decodePicture (data.getData(), data.getSize());

        if (decoded.isValid() && pixelChecksum (decoded) == pixels)
            return keep (name, (juce::int64) data.getSize(), checksumOf (data));
    }

    return failed ("every name the copy could take is in use");
}
