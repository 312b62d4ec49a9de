#include "TriggerQueue.h"

#include <gtest/gtest.h>

#include <memory>

TEST (TriggerQueue, FiresInPushOrderAcrossTheWrapAndRefusesWhenFull)
{
    auto queue = std::make_unique<TriggerQueue>();
    EXPECT_TRUE (queue->empty());

    // Move the head near the end of the storage, then fill it completely so
    // that the times wrap around.
    for (juce::int64 t = 0; t < TriggerQueue::capacity - 3; ++t)
        ASSERT_TRUE (queue->push (t));
    for (int i = 0; i < TriggerQueue::capacity - 3; ++i)
        queue->pop();
    EXPECT_TRUE (queue->empty());

    for (juce::int64 t = 0; t < TriggerQueue::capacity; ++t)
        ASSERT_TRUE (queue->push (1000 + t));

    EXPECT_EQ (queue->size(), TriggerQueue::capacity);
    EXPECT_FALSE (queue->push (99)) << "a full queue must refuse, not overwrite";
    EXPECT_EQ (queue->front(), 1000);

    for (juce::int64 t = 0; t < TriggerQueue::capacity; ++t)
    {
        ASSERT_EQ (queue->front(), 1000 + t);
        queue->pop();
    }

    EXPECT_TRUE (queue->empty());
}

TEST (TriggerQueue, ClearDropsEverything)
{
    TriggerQueue queue;
    queue.push (5);
    queue.push (7);
    queue.pop();
    queue.clear();
    EXPECT_TRUE (queue.empty());
    EXPECT_EQ (queue.size(), 0);

    queue.push (11);
    EXPECT_EQ (queue.front(), 11);
    EXPECT_EQ (queue.size(), 1);
}
