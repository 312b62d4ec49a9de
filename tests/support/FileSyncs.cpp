#include "FileSyncs.h"

#include <atomic>
#include <mutex>
#include <string>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
    std::atomic<int> recorders { 0 };
    std::mutex lock;
    std::vector<kestrune::test::syncs::Sync> calls;

    void note (int fd)
    {
        if (recorders.load() == 0)
            return;

        kestrune::test::syncs::Sync s;
        struct stat info {};

        if (::fstat (fd, &info) == 0)
        {
            s.device = info.st_dev;
            s.inode = info.st_ino;
            s.folder = S_ISDIR (info.st_mode);
            s.links = info.st_nlink;
        }

        char target[4096] {};
        const auto link = "/proc/self/fd/" + std::to_string (fd);
        const auto length = ::readlink (link.c_str(), target, sizeof target - 1);
        s.path = length > 0 ? std::string (target, (size_t) length) : std::string();

        const std::lock_guard<std::mutex> guard (lock);
        calls.push_back (std::move (s));
    }
}

#if ! defined (__SANITIZE_ADDRESS__) && ! defined (__SANITIZE_THREAD__) && defined (__GLIBC__)
 #define KESTRUNE_RECORDS_SYNCS 1

extern "C" int fsync (int fd)
{
    note (fd);
    return (int) ::syscall (SYS_fsync, fd);
}
#endif

namespace kestrune::test::syncs
{
    bool recorded() noexcept
    {
       #if KESTRUNE_RECORDS_SYNCS
        return true;
       #else
        return false;
       #endif
    }

    Recorder::Recorder()
    {
        const std::lock_guard<std::mutex> guard (lock);
        calls.clear();
        recorders.fetch_add (1);
    }

    Recorder::~Recorder() { recorders.fetch_sub (1); }

    std::vector<Sync> Recorder::syncs() const
    {
        const std::lock_guard<std::mutex> guard (lock);
        return calls;
    }
}
