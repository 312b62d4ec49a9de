#pragma once

#include <JuceHeader.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A few helper threads that run the bands of a picture stage beside the
// thread that asks for them.
//
// run (bands, job) calls job (band) once for every band and returns when all
// calls have returned. The calling thread takes bands itself, so a band that
// no helper picks up in time is simply run by the caller; it waits only for
// bands a helper has already started. One caller at a time uses the helpers:
// a second caller meanwhile runs all its bands itself, so no caller ever
// waits for another one's work. Jobs must not take locks a caller may hold
// (the worker calls this with the pipeline lock held).
//
// Every processor in the process shares one set (see Shared), sized from the
// machine's cores; the pipeline lock lets only one worker pass run at a time
// anyway.
class BandWorkers
{
public:
    explicit BandWorkers (int helperThreads);
    ~BandWorkers();

    // The caller and the helpers.
    int threads() const noexcept { return (int) helpers.size() + 1; }

    void run (int bands, const std::function<void (int band)>& job);

    // Helper threads for a machine with this many cores: up to three,
    // leaving one core free.
    static int helpersForCores (int cores) noexcept;

    // The process-wide set, alive while any processor holds it.
    struct Shared;

private:
    void helperLoop();
    void takeBands (const std::function<void (int)>& job, int bands);

    std::vector<std::thread> helpers;

    std::mutex callerLock;            // held by the caller whose bands the helpers serve
    std::mutex stateLock;
    std::condition_variable wake, done;
    const std::function<void (int)>* currentJob = nullptr; // guarded by stateLock
    int currentBands = 0;                                  // guarded by stateLock
    juce::uint64 generation = 0;                           // guarded by stateLock
    int helpersInJob = 0;                                  // guarded by stateLock
    bool stopping = false;                                 // guarded by stateLock
    std::atomic<int> nextBand { 0 };

    JUCE_DECLARE_NON_COPYABLE (BandWorkers)
};

struct BandWorkers::Shared : BandWorkers
{
    Shared() : BandWorkers (helpersForCores (juce::SystemStats::getNumCpus())) {}
};
