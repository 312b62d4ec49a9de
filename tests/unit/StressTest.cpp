#include "AudioTestSupport.h"
#include "CanvasTestSupport.h"
#include "EditorTestSupport.h"
#include "HeapCounter.h"
#include "KeyPressSupport.h"
#include "PictureCopies.h"
#include "PictureFiles.h"
#include "PictureMutation.h"
#include "PictureTestSupport.h"
#include "StateBlob.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <thread>
#include <time.h>

// Every thread of the processor at once, for a bounded time: an audio thread
// with a transport that plays, stops and jumps and with host automation between
// its blocks, a second automation thread, the message thread (this one) loading
// pictures, drawing, undoing, redoing, selecting intervals, saving, restoring,
// resetting and converting recordings, and the processor's own worker. The
// message thread also works the real plug-in window, open on the (virtual)
// display with its timers running: strokes, pans, wheel zooms and interval
// selections on the canvas, undo and redo keys, the separate window, the
// spectrum view's mode and resizes.
//
// KESTRUNE_STRESS_SECONDS sets the duration (default 6).

using namespace kestrune::test;
namespace fs = kestrune::test::files;

namespace
{
    double stressSeconds()
    {
        if (const char* text = std::getenv ("KESTRUNE_STRESS_SECONDS"))
        {
            const auto value = std::atof (text);
            if (value > 0.0)
                return value;
        }
        return 6.0;
    }

    // Read and moved by the audio thread only.
    struct StressPlayHead : juce::AudioPlayHead
    {
        bool hasPosition = true;
        bool playing = true;
        double ppq = 0.0;
        double bpm = 120.0;

        juce::Optional<PositionInfo> getPosition() const override
        {
            if (! hasPosition)
                return {};

            PositionInfo info;
            info.setBpm (bpm);
            info.setPpqPosition (ppq);
            info.setIsPlaying (playing);
            return info;
        }
    };

    struct AudioReport
    {
        long blocks = 0, stoppedBlocksWithPicture = 0, passThroughBlocks = 0;
        long nonFinite = 0, notSilentWhileStopped = 0, changedWithoutPicture = 0;
        long pendingBlocks = 0;             // blocks that began with a picture waiting
        long steadyHeapCalls = 0;           // in processBlock, no picture waiting
        long pendingHeapCalls = 0;          // in processBlock, a picture waiting (adoption)
        long automationHeapCalls = 0;       // host automation from the audio thread
        double longestBlockMs = 0.0, longestSteadyBlockMs = 0.0, longestBlockCpuMs = 0.0;
        int longestBlockSize = 0;
        long adoptions = 0;

        // Raised (and read by the message thread) once the run has seen an
        // adoption and a stopped block with a picture in force.
        std::atomic<bool> adopted { false }, stoppedWithPicture { false };
    };

    juce::RangedAudioParameter* parameterAt (KestruneAudioProcessor& p, int index)
    {
        return dynamic_cast<juce::RangedAudioParameter*> (p.getParameters()[index]);
    }

    // The parameter values and picture paths a saved state holds.
    struct SavedState
    {
        std::map<juce::String, juce::String> values;
        juce::String path, pathDraw;
    };

    SavedState readSavedState (const juce::MemoryBlock& blob)
    {
        SavedState s;
        auto xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
        if (xml == nullptr)
            return s;

        for (auto* child : xml->getChildIterator())
        {
            if (child->hasTagName ("PARAM"))
                s.values[child->getStringAttribute ("id")] = child->getStringAttribute ("value");
            else if (child->hasTagName ("ImagePath"))
            {
                s.path = child->getStringAttribute ("path");
                s.pathDraw = child->getStringAttribute ("pathDraw");
            }
        }
        return s;
    }

    double threadCpuMs()
    {
        timespec t {};
        ::clock_gettime (CLOCK_THREAD_CPUTIME_ID, &t);
        return (double) t.tv_sec * 1000.0 + (double) t.tv_nsec / 1.0e6;
    }

}

TEST (Stress, EveryThreadAtOnce)
{
    const auto seconds = stressSeconds();

    // Pictures of every kind the message thread will load.
    std::vector<juce::String> pictures {
        fs::writeFile ("stress-a.png", fs::pngOf (fs::patternPicture (640, 513))).getFullPathName(),     // limited to 512 rows
        fs::writeFile ("stress-b.png", fs::pngOf (fs::patternPicture (96, 64, juce::Image::ARGB))).getFullPathName(),
        fs::writeFile ("stress-c.jpg", fs::jpegOf (fs::patternPicture (300, 200))).getFullPathName(),
        fs::writeFile ("stress-d.gif", fs::gifOf (64, 48, [] (int x, int y) { return x * 4 + y; }, true, 3)).getFullPathName(),
        fs::writeFile ("stress-e.png", fs::pngOf (fs::patternPicture (2, 1500))).getFullPathName(),      // 1 column after the limit
        fs::writeFile ("stress-f.png", fs::pngDeclaring (100000, 100000)).getFullPathName(),             // huge header
        fs::writeFile ("stress-g.gif", fs::gifOf (1, 1, [] (int, int) { return 9; })).getFullPathName(),
        fs::writeFile ("stress-h.jpg", fs::jpegDeclaring (65000, 65000)).getFullPathName(),              // huge header
        writeBytes ("stress-i.png", "not a picture at all", 20).getFullPathName(),// corrupt
        pictureScratchFolder().getChildFile ("stress-missing.png").getFullPathName(),                   // missing
    };
    {
        auto jpeg = fs::jpegOf (fs::patternPicture (120, 90));
        jpeg.resize (jpeg.size() / 2);
        pictures.push_back (fs::writeFile ("stress-j.jpg", jpeg).getFullPathName()); // cut off
    }
    for (int k = 0; k < 5; ++k)
        pictures.push_back (pictures[(size_t) k]); // pictures that decode come more often

    auto p = makeProcessor();
    StressPlayHead head;
    p->setPlayHead (&head);
    p->prepareToPlay (48000.0, 4096);

    const auto numParameters = p->getParameters().size();
    ASSERT_EQ (numParameters, 42);

    std::atomic<bool> stop { false };
    AudioReport audio;

    std::thread audioThread ([&]
    {
        std::mt19937 rng (901);
        std::uniform_real_distribution<float> unit (0.0f, 1.0f);
        static const int sizes[] = { 0, 1, 64, 512, 3000, 4096, 17, 2048, 2049, 333, 512, 512 };

        juce::AudioBuffer<float> input (2, 4096), work (2, 4096), before (2, 4096);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 4096; ++i)
                input.setSample (c, i, unit (rng) - 0.5f);

        juce::MidiBuffer midi;

        while (! stop.load())
        {
            // The transport: keeps playing mostly; stops, starts, jumps
            // (also before the song's start), changes tempo, or loses its position.
            switch (rng() % 16)
            {
                case 0: head.playing = ! head.playing; break;
                case 1: head.ppq = (double) (rng() % 20000) / 16.0 - 200.0; break;
                case 2: head.ppq = -(double) (rng() % 1000) / 7.0; break;
                case 3: head.bpm = 20.0 + (double) (rng() % 280); break;
                case 4: head.hasPosition = (rng() % 8) != 0; break;
                default: break;
            }

            // Host automation delivered with the block.
            if (rng() % 2 == 0)
            {
                const heap::AudioThreadScope scope;
                const auto before = heap::audioThreadCalls();

                for (int k = 1 + (int) (rng() % 3); --k >= 0;)
                    parameterAt (*p, (int) (rng() % (unsigned) numParameters))->setValueNotifyingHost (unit (rng));

                audio.automationHeapCalls += heap::audioThreadCalls() - before;
            }

            const auto n = sizes[rng() % (sizeof (sizes) / sizeof (sizes[0]))];
            for (int c = 0; c < 2; ++c)
                work.copyFrom (c, 0, input, c, (int) (rng() % 8), juce::jmin (n, 4088));
            if (n > 4088)
                for (int c = 0; c < 2; ++c)
                    work.copyFrom (c, 4088, input, c, 0, n - 4088);

            juce::AudioBuffer<float> block (work.getArrayOfWritePointers(), 2, 0, n);
            for (int c = 0; c < 2; ++c)
                before.copyFrom (c, 0, work, c, 0, n);

            const bool playing = head.hasPosition && head.playing;
            const bool wasPending = p->newImagePending.load();
            const auto generation = p->pendingGeneration.load();
            long heapCalls = 0;

            const auto start = std::chrono::steady_clock::now();
            const auto cpuStart = threadCpuMs();
            {
                const heap::AudioThreadScope scope;
                const auto callsBefore = heap::audioThreadCalls();
                p->processBlock (block, midi);
                heapCalls = heap::audioThreadCalls() - callsBefore;
            }
            const auto ms = std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - start).count();
            audio.longestBlockCpuMs = std::max (audio.longestBlockCpuMs, threadCpuMs() - cpuStart);

            if (wasPending && (! p->newImagePending.load() || p->pendingGeneration.load() != generation))
            {
                ++audio.adoptions;
                audio.adopted.store (true, std::memory_order_relaxed);
            }

            ++audio.blocks;
            if (wasPending)
            {
                ++audio.pendingBlocks;
                audio.pendingHeapCalls += heapCalls;
            }
            else
            {
                audio.steadyHeapCalls += heapCalls;
                audio.longestSteadyBlockMs = std::max (audio.longestSteadyBlockMs, ms);
            }

            if (ms > audio.longestBlockMs)
            {
                audio.longestBlockMs = ms;
                audio.longestBlockSize = n;
            }

            // The frame this block filtered with (front frame: only this thread moves it).
            const bool pictureInForce = ! p->outputFrames.current().isEmpty();
            bool finite = true, silent = true, unchanged = true;

            for (int c = 0; c < 2; ++c)
            {
                const auto* out = block.getReadPointer (c);
                const auto* in = before.getReadPointer (c);
                for (int i = 0; i < n; ++i)
                {
                    finite = finite && std::isfinite (out[i]);
                    silent = silent && out[i] == 0.0f;
                    unchanged = unchanged && out[i] == in[i];
                }
            }

            if (! finite)
                ++audio.nonFinite;

            if (! pictureInForce)
            {
                ++audio.passThroughBlocks;
                if (! unchanged)
                    ++audio.changedWithoutPicture;
            }
            else if (! playing)
            {
                ++audio.stoppedBlocksWithPicture;
                audio.stoppedWithPicture.store (true, std::memory_order_relaxed);
                if (! silent)
                    ++audio.notSilentWhileStopped;
            }

            if (playing)
                head.ppq += n * head.bpm / 60.0 / 48000.0;
        }
    });

    // Host automation from another thread (a host's UI or automation lane).
    std::thread automationThread ([&]
    {
        std::mt19937 rng (902);
        std::uniform_real_distribution<float> unit (0.0f, 1.0f);

        while (! stop.load())
        {
            for (int k = 0; k < 4; ++k)
            {
                const auto index = (int) (rng() % (unsigned) numParameters);
                auto* param = parameterAt (*p, index);
                // Switches get their two ends, so that Random mode and the grid really turn on.
                const auto value = param->getNumSteps() == 2 ? (float) (rng() % 2) : unit (rng);
                param->setValueNotifyingHost (value);
            }
            std::this_thread::sleep_for (std::chrono::microseconds (300));
        }
    });

    // The window, as the host shows it.
    EditorHandle editor (*p);
    const bool onScreen = keys::haveDisplay();
    if (onScreen)
    {
        editor->setTopLeftPosition (40, 40);
        editor->addToDesktop (0);
        editor->setVisible (true);
    }

    auto& canvasArea = editor->parentTargetArea.targetArea;
    const juce::Rectangle<int> windowSizes[] = { { 950, 534 }, { 760, 428 }, { 1187, 667 }, { 1067, 600 }, { 800, 450 } };
    long gestures = 0, keyPresses = 0, separateWindows = 0, modeCycles = 0, resizes = 0;

    // A gesture on the canvas: press, a few drags and the release, with the
    // buttons and keys the window system reports.
    auto gestureOnCanvas = [&] (int modifiers, std::mt19937& random)
    {
        const auto w = juce::jmax (1, canvasArea.getWidth()), h = juce::jmax (1, canvasArea.getHeight());
        canvas::Gesture gesture (canvasArea);
        gesture.press ((int) (random() % (unsigned) w), (int) (random() % (unsigned) h), modifiers);
        for (int k = (int) (random() % 6); --k >= 0;)
            gesture.drag ((int) (random() % (unsigned) (w + 40)) - 20, (int) (random() % (unsigned) (h + 40)) - 20, modifiers);
        gesture.release ((int) (random() % (unsigned) w), (int) (random() % (unsigned) h), modifiers);
        ++gestures;
    };

    // The message thread.
    std::mt19937 rng (903);
    std::uniform_real_distribution<float> spread (-0.5f, 1.5f);
    juce::MemoryBlock lastState = saveState (*p);
    long loads = 0, strokes = 0, undos = 0, redos = 0, saves = 0, restores = 0, handOvers = 0, columnsRead = 0;
    long badColumns = 0;
    double lastPictureChange = 0.0;

    const auto runStart = juce::Time::getMillisecondCounterHiRes();
    const auto deadline = runStart + seconds * 1000.0;

    // The run goes on past its time, on a busy machine, until it has covered
    // what it claims to below (within four minutes, inside the test's time-out).
    auto goOn = [&]
    {
        const auto now = juce::Time::getMillisecondCounterHiRes();

        if (now < deadline)
            return true;

        const bool covered = audio.adopted.load (std::memory_order_relaxed)
                          && audio.stoppedWithPicture.load (std::memory_order_relaxed)
                          && strokes > 0 && gestures > 0 && keyPresses > 0 && resizes > 0;
        return ! covered && now < runStart + 240000.0;
    };

    while (goOn())
    {
        // Half the time the window is worked, half the time the processor directly.
        if (rng() % 2 == 0)
        {
            const auto action = rng() % 100;

            if (action < 25)
            {
                p->setParameterNotifyingHost ("penStyle", (float) (rng() % 7));
                gestureOnCanvas (canvas::left | canvas::shift, rng); // a stroke
            }
            else if (action < 35)
            {
                gestureOnCanvas (canvas::right, rng); // a pan
            }
            else if (action < 45)
            {
                canvas::wheel (canvasArea, (float) ((int) (rng() % 9) - 4) * 0.05f);
                ++gestures;
            }
            else if (action < 60)
            {
                gestureOnCanvas (canvas::left, rng); // an interval
            }
            else if (action < 72)
            {
                switch (rng() % 3)
                {
                    case 0:  keys::undoKey (*editor); break;
                    case 1:  keys::redoKey (*editor); break;
                    default: keys::press (*editor, 'Z', keys::none, 'z'); break;
                }
                ++keyPresses;
            }
            else if (action < 74 && onScreen)
            {
                // Opened and closed again before the message loop runs: a
                // full-screen window's paints take seconds under the sanitizers.
                keys::windowKey (*editor);
                keys::windowKey (*editor);
                ++separateWindows;
            }
            else if (action < 80)
            {
                editor->spectrumView.mouseDoubleClick (mouseEvent (editor->spectrumView, { 10.0f, 10.0f }, {}, 2));
                ++modeCycles;
            }
            else if (action < 86)
            {
                const auto size = windowSizes[rng() % (sizeof (windowSizes) / sizeof (windowSizes[0]))];
                editor->setSize (size.getWidth(), size.getHeight());
                ++resizes;
            }
            else
            {
                pumpMessages (3); // the window's timers and paints
            }

            continue;
        }

        const auto action = rng() % 100;
        const auto now = juce::Time::getMillisecondCounterHiRes();

        // A new picture (a load or a restore) every 100 ms or so, so that most
        // blocks run with a picture in force rather than one waiting.
        const bool pictureDue = now - lastPictureChange > 100.0;

        if (action < 3 && pictureDue)
        {
            lastPictureChange = now;
            p->loadFile (pictures[rng() % pictures.size()], rng() % 2 == 0);
            ++loads;
        }
        else if (action < 40)
        {
            p->setParameterNotifyingHost ("penStyle", (float) (rng() % 7));
            p->setParameterNotifyingHost ("penTickness", 1.0f + (float) (rng() % 30));
            std::vector<juce::Point<float>> points;
            for (int k = 1 + (int) (rng() % 12); --k >= 0;)
                points.emplace_back (spread (rng), spread (rng));
            p->drawShape (points);
            ++strokes;
        }
        else if (action < 55)
        {
            undos += p->undoStroke() ? 1 : 0;
        }
        else if (action < 65)
        {
            redos += p->redoStroke() ? 1 : 0;
        }
        else if (action < 75)
        {
            p->setRange ({ spread (rng), 0.5f }, { spread (rng), 0.2f });
        }
        else if (action < 79)
        {
            lastState = saveState (*p);
            ++saves;
        }
        else if (action < 80 && pictureDue)
        {
            lastPictureChange = now;
            p->setStateInformation (lastState.getData(), (int) lastState.getSize());
            ++restores;
        }
        else if (action < 81 && pictureDue)
        {
            // The reset buttons and the record conversion hand pictures over too.
            lastPictureChange = now;
            switch (rng() % 3)
            {
                case 0:  p->resetDrawing(); break;
                case 1:  p->resetAll(); break;
                default: p->handOverRecording (fs::patternPicture (1 + (int) (rng() % 40), 1024)); break;
            }
            ++handOvers;
        }
        else if (action < 86)
        {
            p->spectrumMode = (int) (rng() % 3);
        }
        else if (action < 95)
        {
            // The canvas takes the played column when one is ready.
            if (p->nextColumnReady.load (std::memory_order_acquire))
            {
                for (auto v : p->playedColumn)
                    if (! std::isfinite (v))
                        ++badColumns;
                p->nextColumnReady.store (false, std::memory_order_release);
                ++columnsRead;
            }
        }
        else
        {
            pumpMessages (2); // the parameter tree's timer, alert callbacks
        }
    }

    stop = true;
    audioThread.join();
    automationThread.join();
    editor.close();

    std::cout << "[ stress   ] " << seconds << " s: " << audio.blocks << " blocks ("
              << audio.stoppedBlocksWithPicture << " stopped with a picture, " << audio.passThroughBlocks
              << " without one, " << audio.pendingBlocks << " with a picture waiting, " << audio.adoptions
              << " adoptions); " << loads << " loads, " << strokes << " strokes, " << undos << " undos, "
              << redos << " redos, " << saves << " saves, " << restores << " restores, " << handOvers
              << " resets and recordings, " << columnsRead
              << " played columns\n"
              << "[ stress   ] window" << (onScreen ? " on screen" : " off screen") << ": " << gestures << " gestures, "
              << keyPresses << " key presses, " << separateWindows << " separate windows, " << modeCycles
              << " spectrum mode cycles, " << resizes << " resizes\n"
              << "[ stress   ] longest processBlock " << audio.longestBlockMs << " ms (" << audio.longestBlockSize
              << " samples), longest without a picture waiting " << audio.longestSteadyBlockMs
              << " ms, most thread CPU time in one block " << audio.longestBlockCpuMs << " ms\n"
              << "[ stress   ] audio-thread heap calls: " << audio.steadyHeapCalls << " in steady blocks, "
              << audio.pendingHeapCalls << " in blocks with a picture waiting, " << audio.automationHeapCalls
              << " in host automation" << (heap::countsMalloc() ? "" : " (operator new/delete only)") << std::endl;

    RecordProperty ("longestProcessBlockMs", juce::String (audio.longestBlockMs, 3).toStdString());

    // The run covered what it claims to.
    EXPECT_GT (audio.stoppedBlocksWithPicture, 0);
    EXPECT_GT (audio.adoptions, 0);
    EXPECT_GT (strokes, 0);
    EXPECT_GT (gestures, 0);
    EXPECT_GT (keyPresses, 0);
    EXPECT_GT (resizes, 0);

    EXPECT_EQ (audio.nonFinite, 0);
    EXPECT_EQ (badColumns, 0);
    EXPECT_EQ (audio.notSilentWhileStopped, 0);
    EXPECT_EQ (audio.changedWithoutPicture, 0);
    EXPECT_EQ (audio.steadyHeapCalls, 0);
    EXPECT_EQ (audio.pendingHeapCalls, 0);
    EXPECT_EQ (audio.automationHeapCalls, 0);

    // Whatever state the run ended in saves, restores into a new processor and
    // saves again to the same values and paths. One exception: the interval is
    // neither ordered nor coupled while no picture is in force or a picture is
    // loading, so the run may end with one the coupling would not leave
    // ("a_interval" above "b_interval", or "startposition" away from it); a
    // restore passes the values through the coupling and so moves such an
    // interval. It must then come to rest: a second round trip changes nothing.
    // A picture still waiting is saved as its adoption will leave things
    // (the values it resets at their defaults): adopt it, so that the
    // running values are those the state holds.
    p->setPlayHead (nullptr);
    ASSERT_TRUE (adoptPending (*p));
    const auto saved = saveState (*p);
    const auto original = readSavedState (saved);
    ASSERT_EQ (original.values.size(), 42u);

    auto copy = makeProcessor();
    copy->setStateInformation (saved.getData(), (int) saved.getSize());
    const auto savedAgain = saveState (*copy);
    const auto again = readSavedState (savedAgain);

    const auto a = original.values.at ("a_interval").getFloatValue();
    const auto b = original.values.at ("b_interval").getFloatValue();
    const auto s = original.values.at ("startposition").getFloatValue();
    const bool coupledInterval = a <= b && (s == a || (b == 1.0f && s + (b - a) > 1.0f));

    for (const auto& [id, value] : original.values)
        if (coupledInterval || (id != "a_interval" && id != "b_interval" && id != "startposition"))
            EXPECT_EQ (again.values.at (id), value) << id;

    EXPECT_EQ (again.path, original.path);
    EXPECT_EQ (again.pathDraw, original.pathDraw);

    for (int i = 0; i < numParameters; ++i)
    {
        const auto id = parameterAt (*p, i)->paramID;
        if (coupledInterval || (id != "a_interval" && id != "b_interval" && id != "startposition"))
            EXPECT_EQ (plainValue (*copy, id), plainValue (*p, id)) << id;
    }

    auto third = makeProcessor();
    third->setStateInformation (savedAgain.getData(), (int) savedAgain.getSize());
    const auto once = readSavedState (saveState (*third));
    EXPECT_EQ (once.values, again.values);
    EXPECT_EQ (once.path, again.path);
    EXPECT_EQ (once.pathDraw, again.pathDraw);
}

//==============================================================================
TEST (RealTime, IntervalCouplingOnTheAudioThreadMakesNoHeapCalls)
{
    // Host automation of the interval and an adoption's resets both run the
    // interval coupling on the audio thread, which sets the other interval
    // parameters by ID; building those IDs there used to allocate every time.
    auto p = makeProcessor();
    ASSERT_TRUE (p->sourceImagePresent.load()); // the coupling only runs with a picture
    auto& a = param (*p, "a_interval");
    auto& b = param (*p, "b_interval");
    auto& start = param (*p, "startposition");

    a.setValueNotifyingHost (0.7f); // the first call of each path, outside the count
    b.setValueNotifyingHost (0.2f);
    start.setValueNotifyingHost (0.5f);

    {
        const heap::AudioThreadScope scope;
        const auto before = heap::audioThreadCalls();
        a.setValueNotifyingHost (0.8f);     // pushes b up and moves startposition
        b.setValueNotifyingHost (0.3f);     // pulls a down
        start.setValueNotifyingHost (0.9f); // moves the interval against the right edge
        EXPECT_EQ (heap::audioThreadCalls() - before, 0);
    }
    EXPECT_FLOAT_EQ (plainValue (*p, "a_interval"), 0.9f); // the interval had length 0
    EXPECT_FLOAT_EQ (plainValue (*p, "b_interval"), 0.9f);

    // An adoption that resets the parameters, with the interval away from its defaults.
    setPlain (*p, "b_interval", 0.9f);
    setPlain (*p, "a_interval", 0.7f);
    const auto file = writeBytes ("realtime.png", encodePng (solidImage (12, 10, juce::Colours::grey)));
    p->loadFile (file.getFullPathName(), false);
    ASSERT_TRUE (waitFor ([&] { return p->preparedChainReady.load() && ! p->needColourUpdate.load()
                                           && ! p->needTransformUpdate.load(); }, 3000));
    {
        const heap::AudioThreadScope scope;
        const auto before = heap::audioThreadCalls();
        ASSERT_TRUE (adoptPending (*p));
        EXPECT_EQ (heap::audioThreadCalls() - before, 0);
    }
    EXPECT_FLOAT_EQ (plainValue (*p, "a_interval"), 0.4f);
    EXPECT_FLOAT_EQ (plainValue (*p, "b_interval"), 0.6f);
    EXPECT_FLOAT_EQ (plainValue (*p, "startposition"), 0.4f);
}

TEST (Stress, APictureIsAdoptedWhileTheHostAutomatesEveryBlock)
{
    // A host playing an automation lane sets a parameter before every block.
    // The picture loaded meanwhile must still come in, and the pass that the
    // adoption asks for must show the automated value.
    auto p = makeProcessor();
    audio::TestPlayHead head;
    p->setPlayHead (&head);
    p->prepareToPlay (audio::sampleRate, 512);
    const auto file = writeBytes ("automated.png", encodePng (solidImage (12, 10, juce::Colours::grey)));
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    auto& zoom = param (*p, "zoom");

    p->loadFile (file.getFullPathName(), true);
    int blocks = 0;
    float lastZoom = 0.0f;

    while (p->newImagePending.load() && blocks < 400)
    {
        zoom.setValueNotifyingHost ((float) (blocks % 50) / 100.0f);
        lastZoom = zoom.convertFrom0to1 (zoom.getValue());
        buffer.clear();
        p->processBlock (buffer, midi);
        ++blocks;
        juce::Thread::sleep (5);
    }

    EXPECT_FALSE (p->newImagePending.load()) << "still waiting after " << blocks << " blocks";

    const auto passes = p->workerPasses.load();
    ASSERT_TRUE (waitFor ([&] { return p->workerPasses.load() >= passes + 2; }));
    {
        const juce::ScopedLock sl (criticalSection);
        EXPECT_EQ (p->sourceImage.getBounds(), juce::Rectangle<int> (12, 10));
        EXPECT_NEAR (p->viewTransform.mat00, 1.0f + lastZoom, 1.0e-5f);
    }
    p->setPlayHead (nullptr);
}

//==============================================================================
namespace
{
    // What is wrong with a saved blob, whose window size can only be one of
    // `sizes`, whose "path" one of `pictures` or a file of the images folder
    // (the default picture, a recording) and "pathDraw" one there too; empty
    // when nothing is.
    juce::String blobFault (const juce::MemoryBlock& blob, const std::vector<juce::Rectangle<int>>& sizes,
                            const juce::StringArray& pictures)
    {
        // Read as the restore reads it: the parameters, the size and the paths (none before the first).
        const auto xml = kestrune::state::readStateXml (blob.getData(), (int) blob.getSize());
        if (xml == nullptr || ! xml->hasTagName ("Kestrune"))
            return "not a state";

        auto* size = xml->getChildByName ("lastSizeMainWindow");
        auto* paths = xml->getChildByName ("ImagePath");
        if (size == nullptr || xml->getNumChildElements() != (paths != nullptr ? 44 : 43))
            return "children " + xml->toString (juce::XmlElement::TextFormat().singleLine());

        const juce::Rectangle<int> windowSize (size->getIntAttribute ("width"), size->getIntAttribute ("height"));
        if (std::find (sizes.begin(), sizes.end(), windowSize) == sizes.end())
            return "window size " + windowSize.toString();

        for (const auto& path : { paths != nullptr ? paths->getStringAttribute ("path") : juce::String(),
                                  paths != nullptr ? paths->getStringAttribute ("pathDraw") : juce::String() })
            if (path.isNotEmpty() && ! pictures.contains (path) && juce::File (path).getParentDirectory() != imagesFolder())
                return "path " + path;

        return {};
    }
}

// Some hosts save and restore the state on a thread of their own (autosave,
// undo snapshots), while the message thread resizes the open window, opens
// pictures, draws, resets, converts recordings and turns knobs, and the audio
// thread plays. Every blob must read back whole, with a window size and
// picture paths that were in force (a torn size pairs one size's width with
// another's height); a restore while the window is open reaches its controls
// and its size.
TEST (Stress, TheHostSavesAndRestoresOnAThreadOfItsOwn)
{
    auto p = makeProcessor();
    audio::TestPlayHead head;
    p->setPlayHead (&head);
    p->prepareToPlay (audio::sampleRate, 512);
    EditorHandle editor (*p);
    auto& knob = editor->imageManupulationPanel.contrastKnob;

    // Sizes the window keeps; no two share a width or a height.
    const std::vector<juce::Rectangle<int>> sizes { { 950, 534 }, { 760, 428 }, { 1067, 600 }, { 1186, 667 } };
    const juce::StringArray pictures { writeBytes ("host-a.png", encodePng (solidImage (64, 48, juce::Colours::grey))).getFullPathName(),
                                       writeBytes ("host-b.png", encodePng (solidImage (40, 30, juce::Colours::white))).getFullPathName() };
    std::vector<juce::Point<float>> stroke { { 0.1f, 0.1f }, { 0.9f, 0.5f } };

    const std::function<void (int round)> steps[] = {
        [&] (int k) { const auto s = sizes[(size_t) (k + 1) % sizes.size()]; editor->setSize (s.getWidth(), s.getHeight()); },
        [&] (int k) { editor->imageChosen (juce::File (pictures[k % 2])); },
        [&] (int)   { p->drawShape (stroke); },
        [&] (int)   { editor->resetDrawingButton.onClick(); },
        [&] (int k) { knob.setValue (k % 2 == 0 ? 2.5 : -1.5, juce::sendNotificationSync); },
        [&] (int k) { p->handOverRecording (solidImage (1 + k, 1024, juce::Colours::grey)); },
        [&] (int)   { p->drawShape (stroke); },
        [&] (int)   { editor->resetAllButton.onClick(); },
        [&] (int)   { pumpMessages (2 * kestrune::ParameterFollower::pollIntervalMs); }, // the window follows restores
    };

    std::atomic<bool> stop { false };
    std::atomic<int> hostSaves { 0 };
    juce::StringArray faults;
    int hostRestores = 0;

    std::thread audioThread ([&]
    {
        juce::AudioBuffer<float> buffer (2, 512);
        juce::MidiBuffer midi;
        for (; ! stop.load(); *head.ppq += 512.0 * 2.0 / audio::sampleRate)
        {
            buffer.clear();
            p->processBlock (buffer, midi);
        }
    });

    // The host saves one state after another, every fourth time restoring an earlier one.
    std::thread hostThread ([&]
    {
        for (std::vector<juce::MemoryBlock> saved; ! stop.load(); std::this_thread::sleep_for (std::chrono::milliseconds (1)))
        {
            saved.push_back (saveState (*p));
            faults.addIfNotAlreadyThere (blobFault (saved.back(), sizes, pictures));

            if (saved.size() % 4 == 0)
            {
                p->setStateInformation (saved[saved.size() / 2].getData(), (int) saved[saved.size() / 2].getSize());
                ++hostRestores;
            }

            hostSaves.fetch_add (1, std::memory_order_release);
        }
    });

    for (int round = 0; round < 6; ++round)
    {
        for (const auto& step : steps)
        {
            step (round);
            const auto seen = hostSaves.load (std::memory_order_acquire); // a save comes between steps
            EXPECT_TRUE (waitFor ([&] { return hostSaves.load (std::memory_order_acquire) > seen + 1; }));
        }
    }

    stop = true;
    audioThread.join();
    hostThread.join();
    faults.removeEmptyStrings();
    EXPECT_GT (hostRestores, 0);
    EXPECT_TRUE (faults.isEmpty()) << faults.joinIntoString ("; ");

    // A restore from the host's thread while the window is open (once it has
    // followed the host's last restore).
    pumpMessages (2 * kestrune::ParameterFollower::pollIntervalMs);
    editor->setSize (1067, 600);
    knob.setValue (2.5, juce::sendNotificationSync);
    const auto blob = saveState (*p);
    editor->setSize (760, 428);
    knob.setValue (-1.5, juce::sendNotificationSync);
    std::thread ([&] { p->setStateInformation (blob.getData(), (int) blob.getSize()); }).join();

    EXPECT_TRUE (pumpMessagesUntil ([&] { return knob.getValue() == 2.5 && editor->getWidth() == 1067; }))
        << knob.getValue() << ", " << editor->getLocalBounds().toString();
    EXPECT_EQ (blobFault (saveState (*p), { { 1067, 600 } }, pictures), "");
    p->setPlayHead (nullptr);
}

// The message thread opens one picture after the other, or resizes the window,
// as fast as it can while the host saves on a thread of its own and nothing
// else takes the state's lock: every blob's recorded picture copy holds the
// picture its "path" names, and its window size is a pair that was set
// together.
TEST (Stress, EveryBlobPairsWhatWasSetTogether)
{
    auto p = makeProcessor();
    const juce::StringArray pictures { writeBytes ("pair-a.png", encodePng (patternImage (64, 48))).getFullPathName(),
                                       writeBytes ("pair-b.png", encodePng (solidImage (40, 30, juce::Colours::white))).getFullPathName() };
    const std::vector<juce::Rectangle<int>> sizes { { 950, 534 }, { 760, 428 } };
    p->setWindowSizeToValueState (sizes[0].getWidth(), sizes[0].getHeight());

    auto pixelsAt = [] (const juce::File& file)
    {
        return PictureCopies::pixelChecksum (kestrune::pictures::decodePictureFile (file));
    };
    const std::map<juce::String, juce::uint64> pixelsOf { { pictures[0], pixelsAt (pictures[0]) }, { pictures[1], pixelsAt (pictures[1]) } };

    // What is wrong with a blob; empty when nothing is.
    auto fault = [&] (const juce::MemoryBlock& blob, bool opening) -> juce::String
    {
        const auto xml = juce::AudioProcessor::getXmlFromBinary (blob.getData(), (int) blob.getSize());
        auto* size = xml != nullptr ? xml->getChildByName ("lastSizeMainWindow") : nullptr;
        if (size == nullptr || std::find (sizes.begin(), sizes.end(), juce::Rectangle<int> (size->getIntAttribute ("width"),
                                                                                           size->getIntAttribute ("height"))) == sizes.end())
            return "window size";

        if (! opening)
            return {};

        const auto paths = savedImagePath (blob);
        const auto path = paths.getProperty ("path").toString();
        const auto copy = PictureCopies::recordedCopy (paths, PictureCopies::Kind::picture, imagesFolder());
        if (pixelsOf.count (path) == 0)
            return "path " + path;
        if (pixelsAt (copy) != pixelsOf.at (path))
            return "copy " + copy.getFileName() + " of " + path;
        return {};
    };

    struct Row { const char* what; bool opening; std::function<void (int)> step; };
    const Row rows[] = {
        { "opening pictures", true, [&] (int k) { p->loadFile (pictures[k % 2], true); } },
        { "resizing", false, [&] (int k) { p->setWindowSizeToValueState (sizes[(size_t) k % 2].getWidth(), sizes[(size_t) k % 2].getHeight()); } },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        row.step (0);
        std::atomic<bool> stop { false };
        std::atomic<int> saves { 0 };
        std::vector<juce::MemoryBlock> blobs;

        std::thread host ([&]
        {
            while (! stop.load())
            {
                blobs.push_back (saveState (*p));
                saves.fetch_add (1, std::memory_order_release);
            }
        });

        // Steps go on until the host has saved a few hundred times amid them.
        for (int k = 1; k < 400 || saves.load (std::memory_order_acquire) < 400; ++k)
            row.step (k);

        stop = true;
        host.join();

        juce::StringArray faults;
        for (const auto& blob : blobs)
            faults.addIfNotAlreadyThere (fault (blob, row.opening));
        faults.removeEmptyStrings();
        EXPECT_TRUE (faults.isEmpty()) << faults.joinIntoString ("; ");
        // Let the worker finish with the last picture before the next row.
        ASSERT_TRUE (adoptPending (*p));
    }
}
