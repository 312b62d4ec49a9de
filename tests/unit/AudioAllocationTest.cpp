#include "AudioTestSupport.h"
#include "HeapCounter.h"

#include <cstdlib>
#include <new>
#include <thread>

using namespace kestrune::test;
using namespace kestrune::test::audio;

using kestrune::test::heap::AudioThreadScope;

TEST (AudioAllocation, CounterSeesTheAudioThreadOnly)
{
    // The counter must see a heap call made by the marked thread (else the
    // test below could not fail), and nothing from unmarked threads.
    const auto before = heap::audioThreadCalls();
    const long expected = heap::countsMalloc() ? 4 : 2;
    {
        AudioThreadScope scope;
        // Called directly: a new-expression paired with its delete may be elided.
        ::operator delete (::operator new (16));
        if (heap::countsMalloc())
        {
            void* volatile block = std::malloc (16); // volatile: the pair must not be elided
            std::free (block);
        }
    }
    EXPECT_EQ (heap::audioThreadCalls() - before, expected);

    std::thread other ([] { ::operator delete (::operator new (16)); });
    other.join();
    EXPECT_EQ (heap::audioThreadCalls() - before, expected);
}

TEST (AudioAllocation, SteadyStateBlocksTouchNoHeap)
{
    Rig rig;
    rig.publish (480, 330, [] (int x, int y) { return (float) ((x * 7 + y * 3) % 255) / 255.0f; });
    rig.set ("drywet", 0.6f);
    rig.set ("smootheforYAxis", 0.5f);
    rig.set ("effectapply", 2.0f);

    auto input = noise (2, 6000);
    juce::AudioBuffer<float> block (2, 6000);
    auto runBlock = [&] (int length)
    {
        block.copyFrom (0, 0, input, 0, 0, length);
        block.copyFrom (1, 0, input, 1, 0, length);
        juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 2, 0, length);
        AudioThreadScope scope;
        rig.processBlock (view);
    };

    // Warm up: a first block of each kind, then a picture of another height.
    runBlock (512);
    runBlock (5000);

    const auto before = heap::audioThreadCalls();

    for (int i = 0; i < 200; ++i)
    {
        rig.head.playing = (i % 50) < 40;          // stopping and starting
        rig.p().nextColumnReady = (i % 3) == 0;    // the view takes columns now and then
        runBlock (i % 25 == 0 ? 5000 : (i % 7 == 0 ? 1 : 512));

        if (i == 100)
        {
            rig.setDirection (2);
            rig.p().spectrumMode = 1;
            rig.publishUniform (0.3f, 200, 512);
        }
    }

    EXPECT_EQ (heap::audioThreadCalls() - before, 0);
}

TEST (AudioAllocation, RandomModeSpectrumFeedAndCaptureTouchNoHeap)
{
    Rig rig;
    rig.publishUniform (1.0f);
    rig.setDirection (3);
    rig.set ("randomizespeed", 22.0f); // a jump every 750 samples
    rig.set ("barduratiom", 1.0f);
    rig.head.bpm = 480.0;              // a bar every 6000 samples

    auto& p = rig.p();
    juce::AudioBuffer<float> block (2, 5000);
    auto runBlock = [&] (int length)
    {
        for (int c = 0; c < 2; ++c)
            juce::FloatVectorOperations::fill (block.getWritePointer (c), 0.5f, length);
        juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 2, 0, length);
        AudioThreadScope scope;
        rig.processBlock (view);
    };

    runBlock (512);
    runBlock (5000);

    const auto before = heap::audioThreadCalls();
    int spectra = 0, captures = 0;
    size_t frames = 0;
    float loudest = 0.0f;

    for (int i = 0; i < 400; ++i)
    {
        // Between blocks, on this (unmarked) thread: the view takes spectra,
        // the Record button arms and takes captures.
        if (p.nextFFTBlockReady.load() && i % 2 == 0)
        {
            p.nextFFTBlockReady = false;
            ++spectra;
        }

        if (i == 60 || i == 200)
            p.armRecord();

        if (i == 150 || i == 320)
        {
            captures += ! p.recordArmed.load();
            p.recordArmed = false;
            frames += p.takeRecordedFrames().size();
            p.recordCapturing = false;
        }

        p.spectrumMode = i < 250 ? 0 : 1;
        rig.head.playing = (i % 100) < 90;
        runBlock (i % 25 == 0 ? 5000 : (i % 7 == 0 ? 1 : 512));
        loudest = std::max (loudest, p.envelopeGain);
    }

    EXPECT_EQ (heap::audioThreadCalls() - before, 0);

    // The paths ran: notes sounded, spectra went over, captures completed.
    EXPECT_GT (loudest, 0.3f);
    EXPECT_GT (spectra, 10);
    EXPECT_EQ (captures, 2);
    EXPECT_GT (frames, 4u);
}
