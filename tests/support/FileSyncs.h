#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// Records the process's fsync calls, so that a test can see what was made to
// last through a power loss, and when. Not under a sanitizer, which
// intercepts fsync itself.
namespace kestrune::test::syncs
{
    struct Sync
    {
        dev_t device = 0;
        ino_t inode = 0;
        bool folder = false;
        nlink_t links = 0;   // names the file had then
        std::string path;    // the name it was opened by
    };

    // True when this build records.
    bool recorded() noexcept;

    // While one lives, every fsync of the process (any thread) is recorded.
    class Recorder
    {
    public:
        Recorder();
        ~Recorder();

        Recorder (const Recorder&) = delete;
        Recorder& operator= (const Recorder&) = delete;

        // The calls so far, in order.
        std::vector<Sync> syncs() const;
    };
}
