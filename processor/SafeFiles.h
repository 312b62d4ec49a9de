#pragma once

#include <JuceHeader.h>

#include <chrono>
#include <functional>

// File access for the images folder and for the paths a saved state names.
// A state comes from a project file, which may come from anywhere, and the
// images folder is shared by every instance and process on the machine: a
// read must never hang on a FIFO or a device, and a write must never go
// through a link somebody planted.
namespace kestrune::files
{
    // Reads the whole of a regular file of 1 to `maxBytes` bytes into `data`.
    // Anything else is not read and gives false: a missing file, a folder, a
    // FIFO, a device, a larger or empty file, and with `followLinks` false a
    // symbolic link. The file is opened without blocking and judged on the
    // open handle, so nothing swapped in after a check is read instead.
    bool readRegularFile (const juce::File& file, juce::int64 maxBytes, bool followLinks, juce::MemoryBlock& data);

    // The same, handing the bytes over in chunks (the whole file need not be
    // held); false when it is no such file or a read failed midway.
    bool readRegularFileInChunks (const juce::File& file, juce::int64 maxBytes, bool followLinks,
                                  const std::function<void (const void*, size_t)>& consume);

    // The first `count` bytes (fewer for a shorter file) of a regular file,
    // under the same rules; empty when it is none.
    juce::MemoryBlock leadingBytesOfRegularFile (const juce::File& file, size_t count, bool followLinks);

    // True when a regular file (not a link to one, with `followLinks` false)
    // lies at `file`. Looks, opens nothing.
    bool isRegularFile (const juce::File& file, bool followLinks);

    // A hidden file of our own in a folder, written whole before it is given
    // its final name. It is created exclusively (never through something that
    // lies at its name already, a link included) under a name with 128 random
    // bits, which no other process can guess; it is removed again when it is
    // not given a name. Its data, and then the folder's new entry, are on the
    // disk before it counts as named: a name it was given never shows an
    // empty or partial file after a power loss.
    class AsideFile
    {
    public:
        AsideFile() = default;
        ~AsideFile();

        AsideFile (const AsideFile&) = delete;
        AsideFile& operator= (const AsideFile&) = delete;

        // Creates the file in `folder` (its name begins with "." + up to 40
        // characters of `hint` and ends in a fixed marker, the random bits and
        // ".part") and writes `size` bytes into it.
        bool write (const juce::File& folder, const juce::String& hint, const void* data, size_t size);

        enum class Commit { done, taken, failed };

        // Gives the file the name `target`, unless something (a link
        // included) has that name already: then `taken`.
        Commit createAs (const juce::File& target);

        // Gives the file the name `target` in one step, replacing what lies
        // there (a link is replaced, never followed).
        bool replace (const juce::File& target);

        // The aside file while it has no final name (for tests).
        const juce::File& file() const noexcept { return aside; }

    private:
        void remove();

        juce::File aside;
    };

    // How old an aside file must be before a later start takes it for one a
    // crash left. A live one exists only while a save writes and names it (a
    // second or so); a day also leaves room for another machine's clock on a
    // shared folder.
    constexpr std::chrono::seconds staleAsideAge { 24 * 60 * 60 };

    // Removes from `folder` the aside files (by their names, regular files
    // only, never through a link) last changed more than `olderThan` ago;
    // gives how many it removed. Other files are never touched.
    int removeStaleAsideFiles (const juce::File& folder, std::chrono::seconds olderThan = staleAsideAge);

    // The same, at most once per folder in this process: a host starts many
    // instances, and a folder of many pictures takes a while to list (some
    // 70 ms for 100 000 files).
    void removeStaleAsideFilesOnce (const juce::File& folder);
}
