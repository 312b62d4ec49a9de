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
