#include "RecordedFrameStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace
{
    // Appends one frame marked with `mark`; false when the store is full.
    bool appendMarked (RecordedFrameStore& store, float mark)
    {
        RecordedFrameStore::Writer writer (store);
        auto* frame = writer.append();

        if (frame == nullptr)
            return false;

        (*frame)[0] = mark;
        (*frame)[4095] = mark;
        return true;
    }
}

TEST (RecordedFrameStore, AppendsOnlyIntoReservedRoom)
{
    RecordedFrameStore store;
    EXPECT_FALSE (appendMarked (store, 1.0f)) << "no room reserved yet";
    EXPECT_TRUE (store.take().empty());

    store.reserve (2);
    EXPECT_TRUE (appendMarked (store, 1.0f));
    EXPECT_TRUE (appendMarked (store, 2.0f));
    EXPECT_FALSE (appendMarked (store, 3.0f)) << "a full store must not grow on the audio side";

    // More room keeps the frames held, oldest first.
    store.reserve (2);
    EXPECT_TRUE (appendMarked (store, 3.0f));

    const auto frames = store.take();
    ASSERT_EQ (frames.size(), 3u);
    for (size_t i = 0; i < frames.size(); ++i)
    {
        EXPECT_EQ (frames[i][0], (float) i + 1.0f);
        EXPECT_EQ (frames[i][4095], (float) i + 1.0f);
        EXPECT_EQ (frames[i][1], 0.0f) << "appended frames start zeroed";
    }

    // Taking empties the store and gives up its room.
    EXPECT_TRUE (store.take().empty());
    EXPECT_FALSE (appendMarked (store, 4.0f));
}

TEST (RecordedFrameStore, RoomLeftOverIsKeptWhenEnough)
{
    RecordedFrameStore store;
    store.reserve (4);
    EXPECT_TRUE (appendMarked (store, 1.0f));
    store.reserve (3); // three still free: nothing moves
    for (float mark : { 2.0f, 3.0f, 4.0f })
        EXPECT_TRUE (appendMarked (store, mark));
    EXPECT_FALSE (appendMarked (store, 5.0f));
    EXPECT_EQ (store.take().size(), 4u);
}

TEST (RecordedFrameStore, TakingWhileTheAudioSideAppendsLosesNoFrame)
{
    RecordedFrameStore store;
    constexpr int total = 4000;
    std::atomic<bool> stop { false };
    std::atomic<int> appended { 0 };

    std::thread audio ([&]
    {
        int next = 1;
        while (! stop.load() && next <= total)
            if (appendMarked (store, (float) next))
                appended.store (next++);
    });

    std::vector<float> received;
    while (appended.load() < total)
    {
        store.reserve (64);
        std::this_thread::sleep_for (std::chrono::microseconds (50)); // let the audio side append
        for (const auto& frame : store.take())
            received.push_back (frame[0]);
    }

    stop = true;
    audio.join();
    for (const auto& frame : store.take())
        received.push_back (frame[0]);

    ASSERT_EQ (received.size(), (size_t) total);
    for (size_t i = 0; i < received.size(); ++i)
        ASSERT_EQ (received[i], (float) i + 1.0f) << "frame " << i;
}
