#include "RecordedFrameStore.h"

#include <exception>
#include <memory>
#include <thread>

RecordedFrameStore::~RecordedFrameStore()
{
    delete storage.load();
}

std::vector<RecordedFrameStore::Frame>* RecordedFrameStore::swapOut (std::vector<Frame>* replacement)
{
    // Both sides use sequentially consistent order here: either the writer
    // saw the replacement, or this thread sees the writer still at work and
    // waits for it to let go of the storage it took.
    auto* previous = storage.exchange (replacement, std::memory_order_seq_cst);

    while (writing.load (std::memory_order_seq_cst))
        std::this_thread::yield();

    return previous;
}

void RecordedFrameStore::reserve (size_t frames)
{
    auto* held = swapOut (nullptr);
    const auto used = held != nullptr ? held->size() : 0;

    if (held != nullptr && held->capacity() - used >= frames)
    {
        storage.store (held, std::memory_order_seq_cst);
        return;
    }

    std::unique_ptr<std::vector<Frame>> grown;

    try
    {
        grown = std::make_unique<std::vector<Frame>>();
        grown->reserve (used + frames);

        if (held != nullptr)
            grown->insert (grown->end(), held->begin(), held->end());
    }
    catch (const std::exception&)
    {
        // No memory for that much: keep what there is; a capture then ends
        // when its room is used up.
        storage.store (held, std::memory_order_seq_cst);
        return;
    }

    storage.store (grown.release(), std::memory_order_seq_cst);
    delete held;
}

std::vector<RecordedFrameStore::Frame> RecordedFrameStore::take()
{
    std::unique_ptr<std::vector<Frame>> held (swapOut (nullptr));
    std::vector<Frame> frames;

    if (held != nullptr)
        frames = std::move (*held);

    return frames;
}

RecordedFrameStore::Writer::Writer (RecordedFrameStore& s) noexcept
    : store (s)
{
    store.writing.store (true, std::memory_order_seq_cst);
    frames = store.storage.load (std::memory_order_seq_cst);
}

RecordedFrameStore::Writer::~Writer()
{
    store.writing.store (false, std::memory_order_release);
}

RecordedFrameStore::Frame* RecordedFrameStore::Writer::append() noexcept
{
    if (frames == nullptr || frames->size() >= frames->capacity())
        return nullptr;

    frames->emplace_back(); // within the reserved room: no allocation
    return &frames->back();
}
