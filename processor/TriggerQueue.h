#pragma once

#include <JuceHeader.h>

#include <array>

// Pending Random-mode note starts: the sample of the envelope pass at which
// each fires, in the order the jumps were made (which is also firing order).
// Fixed size: a jump adds at most one per sample, and each fires within 4096
// samples of the envelope pass, so the queue never fills.
class TriggerQueue
{
public:
    static constexpr int capacity = 4096;

    bool empty() const noexcept     { return count == 0; }
    int size() const noexcept       { return count; }
    juce::int64 front() const noexcept { return times[(size_t) head]; }
    void clear() noexcept           { head = count = 0; }
    void pop() noexcept             { head = (head + 1) % capacity; --count; }

    bool push (juce::int64 time) noexcept
    {
        if (count == capacity)
            return false;
        times[(size_t) ((head + count) % capacity)] = time;
        ++count;
        return true;
    }

private:
    std::array<juce::int64, capacity> times {};
    int head = 0, count = 0;
};
