#include "BandWorkers.h"

BandWorkers::BandWorkers (int helperThreads)
{
    for (int i = 0; i < juce::jmax (0, helperThreads); ++i)
        helpers.emplace_back ([this] { helperLoop(); });
}

BandWorkers::~BandWorkers()
{
    {
        const std::lock_guard<std::mutex> lock (stateLock);
        stopping = true;
    }

    wake.notify_all();

    for (auto& helper : helpers)
        helper.join();
}

int BandWorkers::helpersForCores (int cores) noexcept
{
    return juce::jlimit (0, 3, cores - 1);
}

void BandWorkers::takeBands (const std::function<void (int)>& job, int bands)
{
    for (int band = nextBand.fetch_add (1, std::memory_order_relaxed); band < bands;
         band = nextBand.fetch_add (1, std::memory_order_relaxed))
        job (band);
}

void BandWorkers::run (int bands, const std::function<void (int)>& job)
{
    if (bands <= 0)
        return;

    std::unique_lock<std::mutex> caller (callerLock, std::try_to_lock);

    if (helpers.empty() || bands == 1 || ! caller.owns_lock())
    {
        for (int band = 0; band < bands; ++band)
            job (band);

        return;
    }

    {
        const std::lock_guard<std::mutex> lock (stateLock);
        nextBand.store (0, std::memory_order_relaxed);
        currentJob = &job;
        currentBands = bands;
        ++generation;
    }

    wake.notify_all();
    takeBands (job, bands);

    // Every band is taken; wait for the helpers still inside one, then take
    // the job away so that a helper waking late finds nothing to do.
    std::unique_lock<std::mutex> lock (stateLock);
    done.wait (lock, [this] { return helpersInJob == 0; });
    currentJob = nullptr;
    currentBands = 0;
}

void BandWorkers::helperLoop()
{
    // Named so that their share of the worker's load can be found.
    juce::Thread::setCurrentThreadName ("KestruneBands");

    juce::uint64 seen = 0;
    std::unique_lock<std::mutex> lock (stateLock);

    for (;;)
    {
        wake.wait (lock, [&] { return stopping || (currentJob != nullptr && generation != seen); });

        if (stopping)
            return;

        seen = generation;
        const auto* job = currentJob;
        const auto bands = currentBands;
        ++helpersInJob;

        lock.unlock();
        takeBands (*job, bands);
        lock.lock();

        if (--helpersInJob == 0)
            done.notify_all();
    }
}
