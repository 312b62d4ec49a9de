#include "BandWorkers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

TEST (BandWorkers, EveryBandRunsOnceAndTheCallerWaitsForAll)
{
    for (const int helpers : { 0, 1, 3 })
    {
        BandWorkers workers (helpers);
        EXPECT_EQ (workers.threads(), helpers + 1);

        for (const int bands : { 0, 1, 2, 7, 64 })
        {
            for (int round = 0; round < 20; ++round)
            {
                std::vector<std::atomic<int>> calls ((size_t) bands);
                std::atomic<int> finished { 0 };

                workers.run (bands, [&] (int band)
                {
                    calls[(size_t) band].fetch_add (1);
                    std::this_thread::yield();
                    finished.fetch_add (1);
                });

                // Everything done by the time run returns.
                ASSERT_EQ (finished.load(), bands) << helpers << " " << bands;
                for (int b = 0; b < bands; ++b)
                    ASSERT_EQ (calls[(size_t) b].load(), 1) << helpers << " " << bands << " " << b;
            }
        }
    }
}

TEST (BandWorkers, HelpersTakeBandsWhenTheCallerIsBusy)
{
    BandWorkers workers (3);
    std::mutex lock;
    std::set<std::thread::id> threads;

    // Band 0 keeps the caller (or whoever takes it) busy long enough for the
    // helpers to take the rest.
    workers.run (8, [&] (int band)
    {
        if (band == 0)
            std::this_thread::sleep_for (std::chrono::milliseconds (50));

        const std::lock_guard<std::mutex> guard (lock);
        threads.insert (std::this_thread::get_id());
    });

    EXPECT_GE (threads.size(), 2u);
}

TEST (BandWorkers, ASecondCallerRunsItsBandsItselfWithoutWaiting)
{
    BandWorkers workers (2);
    std::atomic<bool> firstStarted { false }, releaseFirst { false };
    std::atomic<int> secondBands { 0 };
    std::set<std::thread::id> secondThreads;

    std::thread first ([&]
    {
        workers.run (3, [&] (int)
        {
            firstStarted = true;
            while (! releaseFirst.load())
                std::this_thread::yield();
        });
    });

    while (! firstStarted.load())
        std::this_thread::yield();

    // The first caller's bands hold the helpers; this one must not wait for
    // them (it would wait forever: the first is released only afterwards).
    const auto self = std::this_thread::get_id();
    bool allHere = true;
    workers.run (5, [&] (int)
    {
        secondBands.fetch_add (1);
        allHere = allHere && std::this_thread::get_id() == self;
    });

    EXPECT_EQ (secondBands.load(), 5);
    EXPECT_TRUE (allHere);

    releaseFirst = true;
    first.join();

    // And the helpers serve the next caller again.
    std::atomic<int> bands { 0 };
    workers.run (6, [&] (int) { bands.fetch_add (1); });
    EXPECT_EQ (bands.load(), 6);
}

TEST (BandWorkers, HelpersLeaveOneCoreFree)
{
    EXPECT_EQ (BandWorkers::helpersForCores (1), 0);
    EXPECT_EQ (BandWorkers::helpersForCores (2), 1);
    EXPECT_EQ (BandWorkers::helpersForCores (4), 3);
    EXPECT_EQ (BandWorkers::helpersForCores (64), 3);
}
