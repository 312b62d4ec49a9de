#include "SafeFiles.h"

#include <atomic>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>

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

        // A descriptor closed when it goes.
        struct Descriptor
        {
            explicit Descriptor (int d) noexcept : fd (d) {}
            ~Descriptor() { if (fd >= 0) ::close (fd); }
            Descriptor (const Descriptor&) = delete;
            Descriptor& operator= (const Descriptor&) = delete;
            int fd;
        };

        // Opens a regular file for reading: never blocks on a FIFO or a
        // device, never takes a link when `followLinks` is false. Gives the
        // descriptor and the file's size, or -1.
        int openRegular (const juce::File& file, bool followLinks, juce::int64& size)
        {
            if (file == juce::File())
                return -1;

            const int fd = ::open (pathOf (file), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));

            if (fd < 0)
                return -1;

            struct stat info {};

            if (::fstat (fd, &info) != 0 || ! S_ISREG (info.st_mode))
            {
                ::close (fd);
                return -1;
            }

            size = (juce::int64) info.st_size;
            return fd;
        }

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
        juce::int64 size = 0;
        const Descriptor d (openRegular (file, followLinks, size));

        if (d.fd < 0 || size <= 0 || size > maxBytes)
            return false;

        // One byte more than the size shows a file that grew meanwhile.
        data.setSize ((size_t) size + 1);
        const auto got = readInto (d.fd, static_cast<char*> (data.getData()), size + 1);

        if (got <= 0 || got > size)
            return false;

        data.setSize ((size_t) got);
        return true;
    }

    bool readRegularFileInChunks (const juce::File& file, juce::int64 maxBytes, bool followLinks,
                                  const std::function<void (const void*, size_t)>& consume)
    {
        juce::int64 size = 0;
        const Descriptor d (openRegular (file, followLinks, size));

        if (d.fd < 0 || size <= 0 || size > maxBytes)
            return false;

        constexpr juce::int64 chunk = 1 << 16;
        juce::HeapBlock<char> buffer ((size_t) chunk);
        juce::int64 total = 0;

        for (;;)
        {
            const auto got = readInto (d.fd, buffer, chunk);

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
        juce::int64 size = 0;
        const Descriptor d (openRegular (file, followLinks, size));
        juce::MemoryBlock data;

        if (d.fd < 0)
            return data;

        data.setSize (count);
        const auto got = readInto (d.fd, static_cast<char*> (data.getData()), (juce::int64) count);
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
                                        + "." + hint.removeCharacters ("/").substring (0, 40) + "." + randomTag() + ".part");

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
            return Commit::done;
        }

        if (errno == EEXIST)
            return Commit::taken;

       #if JUCE_LINUX
        // A file system without hard links.
        if (::renameat2 (AT_FDCWD, pathOf (aside), AT_FDCWD, pathOf (target), RENAME_NOREPLACE) == 0)
        {
            aside = juce::File();
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
        return true;
    }
}
