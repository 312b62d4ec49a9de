#include "PictureCopies.h"
#include "PictureFiles.h"

#include <cerrno>
#include <cstdio>
#include <optional>

#if ! JUCE_WINDOWS
 #include <unistd.h>
#endif

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

    // True when `file` is a plain file of `size` bytes whose checksum is `bytes`.
    // Only as much is read as the expected size says.
    bool holds (const juce::File& file, juce::int64 size, juce::uint64 bytes)
    {
        if (file == juce::File() || ! file.existsAsFile() || file.getSize() != size)
            return false;

        juce::FileInputStream in (file);

        if (! in.openedOk())
            return false;

        constexpr int chunk = 1 << 16;
        juce::HeapBlock<char> buffer (chunk);
        Checksum sum;
        juce::int64 total = 0;

        for (;;)
        {
            const auto got = in.read (buffer, chunk);

            if (got <= 0)
                break;

            sum.addBytes (buffer, (size_t) got);
            total += got;

            if (total > size)
                return false;
        }

        return total == size && sum.result() == bytes;
    }

    // The whole file, read through one open handle (a file replaced meanwhile
    // is read old and whole); false for a missing, empty or oversized file.
    bool readWhole (const juce::File& file, juce::MemoryBlock& data)
    {
        if (! file.existsAsFile() || file.getSize() > kestrune::pictures::maxPictureFileBytes)
            return false;

        juce::FileInputStream in (file);

        if (! in.openedOk())
            return false;

        in.readIntoMemoryBlock (data, (ssize_t) kestrune::pictures::maxPictureFileBytes + 1);
        return data.getSize() > 0 && (juce::int64) data.getSize() <= kestrune::pictures::maxPictureFileBytes;
    }

    juce::MemoryBlock leadingBytes (const juce::File& file, size_t count)
    {
        juce::MemoryBlock data;
        juce::FileInputStream in (file);

        if (in.openedOk())
            in.readIntoMemoryBlock (data, (ssize_t) count);

        return data;
    }

    bool isSymbolicLinkOrExists (const juce::File& file)
    {
        return file.exists() || file.isSymbolicLink();
    }

    // A picture encoded as PNG into a hidden file of its own in the images
    // folder, then given its final name: linked under a name that must not
    // exist yet, or renamed over a file it replaces. Encoded once, when first
    // needed; the hidden file is gone when this goes.
    class AsideCopy
    {
    public:
        enum class Commit { done, taken, failed };

        AsideCopy (const juce::Image& im, const juce::File& dir, const juce::String& name)
            : image (im), folder (dir), baseName (name) {}

        ~AsideCopy()
        {
            if (file != juce::File())
                file.deleteFile();
        }

        bool ready()
        {
            if (state == State::unwritten)
                state = write() ? State::written : State::failed;

            return state == State::written;
        }

        // Gives the copy the name `target` unless something holds that name
        // already, whoever made it and whenever (other instances, other
        // processes, at the same moment).
        Commit createAs (const juce::File& target)
        {
            if (! ready())
                return Commit::failed;

           #if ! JUCE_WINDOWS
            if (::link (file.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) == 0)
            {
                file.deleteFile();
                file = juce::File();
                state = State::failed; // used up
                return Commit::done;
            }

            if (errno == EEXIST)
                return Commit::taken;
           #endif

            // Without hard links: look and rename, one writer of this process
            // at a time (another process could still slip in between).
            static std::mutex renameLock;
            const std::lock_guard<std::mutex> guard (renameLock);

            if (isSymbolicLinkOrExists (target))
                return Commit::taken;

            return renameOver (target) ? Commit::done : Commit::failed;
        }

        // Puts the copy in place of `target`, in one step.
        bool replace (const juce::File& target)
        {
            return ready() && renameOver (target);
        }

        juce::int64 size = 0;
        juce::uint64 bytes = 0;

    private:
        enum class State { unwritten, written, failed };

        bool write()
        {
            juce::MemoryBlock png;
            {
                juce::MemoryOutputStream out (png, false);

                if (! juce::PNGImageFormat().writeImageToStream (image, out))
                    return false;

                out.flush();
            }

            if (png.getSize() == 0)
                return false;

            size = (juce::int64) png.getSize();
            bytes = checksumOf (png);

            // Hidden, and short enough for any file system whatever the name.
            file = PictureCopies::fileInFolder (folder, "." + baseName.substring (0, 40) + "."
                                                          + kestrune::pictures::uniqueAsideTag() + ".part");

            if (file == juce::File())
                return false;

            bool ok = false;
            {
                juce::FileOutputStream out (file, 0);

                if (out.failedToOpen())
                {
                    file = juce::File();
                    return false;
                }

                out.setPosition (0);
                out.truncate();
                ok = out.write (png.getData(), png.getSize());
                out.flush();
                ok = ok && out.getStatus().wasOk();
            }

            return ok;
        }

        bool renameOver (const juce::File& target)
        {
           #if JUCE_WINDOWS
            const bool moved = file.replaceFileIn (target);
           #else
            // Atomic; JUCE's move would fall back to copying.
            const bool moved = std::rename (file.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) == 0;
           #endif

            if (moved)
            {
                file = juce::File();
                state = State::failed; // used up
            }

            return moved;
        }

        const juce::Image& image;
        juce::File folder;
        juce::String baseName;
        juce::File file;
        State state = State::unwritten;
    };
}

//==============================================================================
const juce::Identifier PictureCopies::attribute { "savedCopies" };

juce::File PictureCopies::fileInFolder (const juce::File& folder, const juce::String& name)
{
    if (folder == juce::File() || name.isEmpty() || name == "." || name == ".."
         || name.containsChar ('/') || name.containsChar (juce::File::getSeparatorChar())
        #if JUCE_WINDOWS
         || name.containsChar (':')
        #endif
       )
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

juce::File PictureCopies::recordedCopy (const juce::ValueTree& imagePath, Kind kind, const juce::File& folder)
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

    const auto name = kind == Kind::picture ? text.substring (0, slash) : text.substring (slash + 1);
    const auto file = fileInFolder (folder, name);

    return file != juce::File() && file.existsAsFile() ? file : juce::File();
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

juce::Image PictureCopies::read (Kind kind, const juce::String& path, const juce::File& file,
                                 const juce::File& folder, bool fromRecordedCopy)
{
    juce::MemoryBlock data;
    juce::Image image;

    if (path.isNotEmpty() && file != juce::File() && readWhole (file, data))
        image = kestrune::pictures::decodePicture (data.getData(), data.getSize());

    Known k;
    k.path = path;

    // Only files in the images folder are worth remembering: those are the
    // ones a save may find under its copy's name.
    if (image.isValid() && fileInFolder (folder, file.getFileName()) == file)
    {
        k.name = file.getFileName();
        k.size = (juce::int64) data.getSize();
        k.bytes = checksumOf (data);
        k.pixels = pixelChecksum (image);
        k.mayReplace = fromRecordedCopy && kind == Kind::penLayer;
    }

    remember (kind, k, nullptr);
    return image;
}

juce::String PictureCopies::save (Kind kind, const juce::Image& image, const juce::String& path, const juce::File& folder)
{
    if (! image.isValid() || path.isEmpty())
        return {};

    // Only the forward slash separates; a path without one is the name itself.
    const auto wanted = path.fromLastOccurrenceOf ("/", false, false);

    if (fileInFolder (folder, wanted) == juce::File())
        return {};

    const bool penLayer = kind == Kind::penLayer;
    const auto pixels = pixelChecksum (image);
    const auto last = lastKnown (kind);
    AsideCopy aside (image, folder, wanted);

    auto keep = [&] (const juce::String& name, juce::int64 size, juce::uint64 bytes, bool mayReplace)
    {
        remember (kind, { path, name, size, bytes, pixels, mayReplace, 0 }, &last.serial);
        return name;
    };

    // The copy last written or read for this path, still holding what it held
    // then: the usual case, decided without decoding anything.
    if (last.path == path && last.name.isNotEmpty())
    {
        const auto file = fileInFolder (folder, last.name);

        if (holds (file, last.size, last.bytes))
        {
            if (last.pixels == pixels)
                return last.name;

            if (last.mayReplace)
                return aside.replace (file) ? keep (last.name, aside.size, aside.bytes, true) : juce::String();
        }
    }

    // Otherwise the first name, in "_2", "_3" order, that is free or already
    // holds this picture.
    int comparisons = 0;

    for (int number = 1; number <= maxNumberedNames; ++number)
    {
        const auto name = numberedName (wanted, number);
        const auto file = fileInFolder (folder, name);

        if (file == juce::File())
            continue;

        if (! isSymbolicLinkOrExists (file))
        {
            const auto outcome = aside.createAs (file);

            if (outcome == AsideCopy::Commit::done)
                return keep (name, aside.size, aside.bytes, penLayer);

            if (outcome == AsideCopy::Commit::failed)
                return {};

            // Another writer took the name meanwhile: see what it holds.
        }

        if (file.isSymbolicLink() || ! file.existsAsFile())
            continue;

        // A file this object wrote or read and still knows: its pixels are known.
        if (name == last.name && holds (file, last.size, last.bytes))
        {
            if (last.pixels == pixels)
                return keep (name, last.size, last.bytes, false);

            continue;
        }

        // A pen layer never settles in a file it does not know: whoever drew
        // that layer may draw on it and rewrite it. A picture copy is never
        // rewritten, so any file holding the same pixels will do; decoding
        // one to see is bounded, and the header must promise the same size.
        if (penLayer || comparisons >= maxComparisonsPerSave)
            continue;

        const auto lead = leadingBytes (file, 1 << 16);
        const auto header = kestrune::pictures::readPictureHeader (lead.getData(), lead.getSize());

        if (! header.isValid() || header.width != image.getWidth() || header.height != image.getHeight())
            continue;

        ++comparisons;
        juce::MemoryBlock data;

        if (! readWhole (file, data))
            continue;

        const auto decoded = kestrune::pictures::decodePicture (data.getData(), data.getSize());

        if (decoded.isValid() && pixelChecksum (decoded) == pixels)
            return keep (name, (juce::int64) data.getSize(), checksumOf (data), false);
    }

    return {};
}
