#pragma once

#include "PictureBytes.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// A thread of its own ("KestruneEncode", started on first use) that makes
// the PNG of pictures made here, one after another, ahead of the save that
// will write them. It holds them only weakly: a picture replaced before its
// turn is not encoded at all, and its bytes go with it.
class AheadEncoder
{
public:
    AheadEncoder() = default;
    // Waits for the encoding under way, if any; the rest is dropped.
    ~AheadEncoder();

    AheadEncoder (const AheadEncoder&) = delete;
    AheadEncoder& operator= (const AheadEncoder&) = delete;

    // Queues `bytes` to be made (any thread but the audio thread).
    void post (const std::shared_ptr<PictureBytes>& bytes);

private:
    void loop();

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::weak_ptr<PictureBytes>> queue; // guarded by lock
    bool stopping = false;                          // guarded by lock
    std::thread thread;                             // started by the first post
};
