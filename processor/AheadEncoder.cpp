#include "AheadEncoder.h"

AheadEncoder::~AheadEncoder()
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        stopping = true;
    }

    wake.notify_all();

    if (thread.joinable())
        thread.join();
}

void AheadEncoder::post (const std::shared_ptr<PictureBytes>& bytes)
{
    if (bytes == nullptr)
        return;

    {
        const std::lock_guard<std::mutex> guard (lock);
        queue.push_back (bytes);

        if (! thread.joinable())
            thread = std::thread ([this] { loop(); });
    }

    wake.notify_all();
}

void AheadEncoder::loop()
{
    juce::Thread::setCurrentThreadName ("KestruneEncode");
    std::unique_lock<std::mutex> guard (lock);

    for (;;)
    {
        wake.wait (guard, [this] { return stopping || ! queue.empty(); });

        if (stopping)
            return;

        auto next = queue.front().lock();
        queue.pop_front();

        if (next == nullptr)
            continue; // replaced before its turn

        guard.unlock();
        next->encode();
        next.reset(); // the last holder may be this thread: freed outside the lock
        guard.lock();
    }
}
