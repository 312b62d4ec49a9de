#include "SafeFiles.h"

#include <atomic>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::files
{
    namespace
    {
        const char* pathOf (const juce::File& file)
        {
            return file.getFullPathName().toRawUTF8();
        }

        // A regular file open for reading, closed when it goes: never blocks
        // on a FIFO or a device, never takes a link when `followLinks` is
        // false, and is judged on the open handle (nothing swapped in after
        // the look is read instead). `fd` is -1 when it is no such file.
        struct RegularFile
        {
            RegularFile (const juce::File& file, bool followLinks)
            {
                if (file == juce::File())
                    return;

                fd = ::open (pathOf (file), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));

                if (fd < 0)
                    return;

                struct stat info {};

                if (::fstat (fd, &info) != 0 || ! S_ISREG (info.st_mode))
                {
                    ::close (fd);
                    fd = -1;
                    return;
                }

                size = (juce::int64) info.st_size;
            }

            ~RegularFile() { if (fd >= 0) ::close (fd); }

            RegularFile (const RegularFile&) = delete;
            RegularFile& operator= (const RegularFile&) = delete;

            // Open, and of 1 to `maxBytes` bytes.
            bool holdsUpTo (juce::int64 maxBytes) const noexcept { return fd >= 0 && size > 0 && size <= maxBytes; }

            int fd = -1;
            juce::int64 size = 0;
        };

        // Reads up to `limit` bytes into `buffer`; the count read, or -1 on an error.
        juce::int64 readInto (int fd, char* buffer, juce::int64 limit)
        {
            juce::int64 total = 0;

            while (total < limit)
            {
                const auto got = ::read (fd, buffer + total, (size_t) juce::jmin ((juce::int64) (1 << 20), limit - total));

                if (got < 0 && errno == EINTR)
                    continue;

                if (got < 0)
                    return -1;

                if (got == 0)
                    break;

                total += got;
            }

            return total;
        }

        // Every aside file's name is hidden and ends in this, its random bits
        // and ".part": a name no user and no other program gives a file by
        // chance.
        constexpr std::string_view asideMarker { ".kestrune-aside." };
        constexpr size_t tagLength = 32;
        constexpr std::string_view asideEnding { ".part" };

        bool isAsideName (std::string_view name)
        {
            const auto ending = asideMarker.size() + tagLength + asideEnding.size();

            if (name.size() <= ending || name.front() != '.' || name.substr (name.size() - asideEnding.size()) != asideEnding)
                return false;

            const auto tag = name.substr (name.size() - asideEnding.size() - tagLength, tagLength);
            return tag.find_first_not_of ("0123456789abcdef") == std::string_view::npos
                    && name.substr (name.size() - ending, asideMarker.size()) == asideMarker;
        }

        // Makes the file's data (`fd`), or a folder's entries, last through a
        // power loss. A file system that cannot sync at all (some network and
        // FUSE ones) does not count as a failure.
        bool sync (int fd)
        {
            while (::fsync (fd) != 0)
                if (errno != EINTR)
                    return errno == EINVAL || errno == ENOTSUP || errno == EROFS;

            return true;
        }

        // After a name was given or taken in `folder`: without this, a power
        // loss could leave the folder without the new name, though the save
        // that gave it had returned.
        void syncFolder (const juce::File& folder)
        {
            const int fd = ::open (pathOf (folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

            if (fd >= 0)
            {
                sync (fd);
                ::close (fd);
            }
        }

        juce::String randomTag()
        {
            juce::uint32 words[4] {};

            try
            {
                std::random_device device;
                for (auto& w : words)
                    w = device();
            }
            catch (...)
            {
                // No system source: still unique, if not unguessable (the
                // file is created exclusively all the same).
                static std::atomic<juce::uint32> counter { 0 };
                juce::Random rng (juce::Time::getHighResolutionTicks() ^ (juce::int64) ::getpid() << 32);
                for (auto& w : words)
                    w = (juce::uint32) rng.nextInt() ^ counter.fetch_add (0x9e3779b9u);
            }

            juce::String tag;
            for (auto w : words)
                tag << juce::String::toHexString ((int) w).paddedLeft ('0', 8);
            return tag;
        }
    }

    bool readRegularFile (const juce::File& file, juce::int64 maxBytes, bool followLinks, juce::MemoryBlock& data)
    {
        const RegularFile f (file, followLinks);

        if (! f.holdsUpTo (maxBytes))
            return false;

        // One byte more than the size shows a file that grew meanwhile.
        data.setSize ((size_t) f.size + 1);
        const auto got = readInto (f.fd, static_cast<char*> (data.getData()), f.size + 1);

        if (got <= 0 || got > f.size)
            return false;

        data.setSize ((size_t) got);
        return true;
    }

    bool readRegularFileInChunks (const juce::File& file, juce::int64 maxBytes, bool followLinks,
                                  const std::function<void (const void*, size_t)>& consume)
    {
        const RegularFile f (file, followLinks);

        if (! f.holdsUpTo (maxBytes))
            return false;

        constexpr juce::int64 chunk = 1 << 16;
        juce::HeapBlock<char> buffer ((size_t) chunk);
        juce::int64 total = 0;

        for (;;)
        {
            const auto got = readInto (f.fd, buffer, chunk);

            if (got < 0 || total + got > maxBytes)
                return false;

            if (got == 0)
                return total > 0;

            consume (buffer, (size_t) got);
            total += got;
        }
    }

    juce::MemoryBlock leadingBytesOfRegularFile (const juce::File& file, size_t count, bool followLinks)
    {
        const RegularFile f (file, followLinks);
        juce::MemoryBlock data;

        if (f.fd < 0)
            return data;

        data.setSize (count);
        const auto got = readInto (f.fd, static_cast<char*> (data.getData()), (juce::int64) count);
        data.setSize ((size_t) juce::jmax ((juce::int64) 0, got));
        return data;
    }

    bool isRegularFile (const juce::File& file, bool followLinks)
    {
        if (file == juce::File())
            return false;

        struct stat info {};
        const auto result = followLinks ? ::stat (pathOf (file), &info) : ::lstat (pathOf (file), &info);
        return result == 0 && S_ISREG (info.st_mode);
    }

    //==============================================================================
    AsideFile::~AsideFile()
    {
        remove();
    }

    void AsideFile::remove()
    {
        if (aside != juce::File())
            ::unlink (pathOf (aside));

        aside = juce::File();
    }

    bool AsideFile::write (const juce::File& folder, const juce::String& hint, const void* data, size_t size)
    {
        remove();

        if (folder == juce::File())
            return false;

        for (int attempt = 0; attempt < 8; ++attempt)
        {
            // Joined by hand: the hint may hold anything a file name may.
            const juce::File candidate (folder.getFullPathName() + juce::File::getSeparatorString()
                                        + "." + hint.removeCharacters ("/").substring (0, 40) + juce::String (asideMarker.data(), asideMarker.size())
                                        + randomTag() + juce::String (asideEnding.data(), asideEnding.size()));

            const int fd = ::open (pathOf (candidate), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);

            if (fd < 0)
            {
                if (errno == EEXIST)
                    continue;

                return false;
            }

            aside = candidate;
            bool ok = true;
            auto* p = static_cast<const char*> (data);

            for (size_t left = size; ok && left > 0;)
            {
                const auto written = ::write (fd, p, left);

                if (written < 0 && errno == EINTR)
                    continue;

                ok = written > 0;

                if (ok)
                {
                    p += written;
                    left -= (size_t) written;
                }
            }

            // The data is on the disk before any name points at it.
            ok = ok && sync (fd);
            ok = (::close (fd) == 0) && ok;

            if (! ok)
                remove();

            return ok;
        }

        return false;
    }

    AsideFile::Commit AsideFile::createAs (const juce::File& target)
    {
        if (aside == juce::File() || target == juce::File())
            return Commit::failed;

        // A hard link fails when anything has the name, a dangling link included.
        if (::link (pathOf (aside), pathOf (target)) == 0)
        {
            remove();
            syncFolder (target.getParentDirectory());
            return Commit::done;
        }

        if (errno == EEXIST)
            return Commit::taken;

       #if JUCE_LINUX
        // A file system without hard links.
        if (::renameat2 (AT_FDCWD, pathOf (aside), AT_FDCWD, pathOf (target), RENAME_NOREPLACE) == 0)
        {
            aside = juce::File();
            syncFolder (target.getParentDirectory());
            return Commit::done;
        }

        if (errno == EEXIST)
            return Commit::taken;
       #endif

        // Look, then rename: one writer of this process at a time.
        static std::mutex renameLock;
        const std::lock_guard<std::mutex> guard (renameLock);
        struct stat info {};

        if (::lstat (pathOf (target), &info) == 0)
            return Commit::taken;

        return replace (target) ? Commit::done : Commit::failed;
    }

    bool AsideFile::replace (const juce::File& target)
    {
        if (aside == juce::File() || target == juce::File())
            return false;

        if (std::rename (pathOf (aside), pathOf (target)) != 0)
            return false;

        aside = juce::File();
        syncFolder (target.getParentDirectory());
        return true;
    }

    //==============================================================================
    int removeStaleAsideFiles (const juce::File& folder, std::chrono::seconds olderThan)
    {
        if (folder == juce::File())
            return 0;

        DIR* dir = ::opendir (pathOf (folder));

        if (dir == nullptr)
            return 0;

        const auto now = std::chrono::system_clock::to_time_t (std::chrono::system_clock::now());
        int removed = 0;

        // Names are judged before anything is asked of the file system, so a
        // folder of many pictures costs only its listing.
        while (const auto* entry = ::readdir (dir))
        {
            if (! isAsideName (entry->d_name))
                continue;

            struct stat info {};

            // Judged where it lies, a link never followed; one that is not a
            // regular file, or was touched lately (or is dated ahead, by
            // another machine's clock), is left alone.
            if (::fstatat (::dirfd (dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0
                 && S_ISREG (info.st_mode)
                 && now - info.st_mtime > (time_t) olderThan.count()
                 && ::unlinkat (::dirfd (dir), entry->d_name, 0) == 0)
                ++removed;
        }

        ::closedir (dir);
        return removed;
    }

    void removeStaleAsideFilesOnce (const juce::File& folder)
    {
        static std::mutex lock;
        static std::set<juce::String> done;
        const std::lock_guard<std::mutex> guard (lock);

        if (done.insert (folder.getFullPathName()).second)
            removeStaleAsideFiles (folder);
    }
}
