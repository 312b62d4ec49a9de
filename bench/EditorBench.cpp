// What the open plug-in window costs.
//
// The real editor (from the processor's createEditor) on a virtual X server of
// this program's own (Xvfb), the transport playing: an audio thread running
// stereo 512-sample blocks at 48 kHz paced at real time, the processor's own
// worker. For the default picture (480 x 330) and a 1500 x 512 picture, and
// for the window closed, open at 950 x 534 and open at 1187 x 667 (in turn,
// twice over), over KESTRUNE_BENCH_SECONDS (default 5) each:
//   - the message thread's CPU time per second, and the X server's;
//   - the longest canvas paint and the longest spectrum view frame (its timer
//     callback, which transforms the newest audio, and its repaint), timed
//     inside the real window's paints;
//   - the audio thread's longest block and its 99th percentile, wall time
//     and the thread's own CPU time, beside the same with the window closed.
// Needs Xvfb. Plain output, one line per run.
#include "PluginProcessor.h"
#include "PluginEditor.h"
#include "XDisplay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <time.h>
#include <unistd.h>

// JUCE's own message dispatch (defined in its Linux message loop).
namespace juce
{
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
    using Clock = std::chrono::steady_clock;

    double threadCpuMillis()
    {
        timespec t {};
        ::clock_gettime (CLOCK_THREAD_CPUTIME_ID, &t);
        return (double) t.tv_sec * 1000.0 + (double) t.tv_nsec / 1.0e6;
    }

    // CPU time (user + system) of a process so far, in milliseconds.
    double processCpuMillis (int pid)
    {
        std::ifstream stat ("/proc/" + std::to_string (pid) + "/stat");
        std::string text ((std::istreambuf_iterator<char> (stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind (')');
        if (close == std::string::npos)
            return 0.0;

        std::istringstream fields (text.substr (close + 2));
        std::string skip;
        for (int i = 0; i < 11; ++i)
            fields >> skip; // state .. cmajflt
        double user = 0.0, system = 0.0;
        fields >> user >> system;
        return (user + system) * 1000.0 / (double) ::sysconf (_SC_CLK_TCK);
    }

    // Runs the message loop for about `milliseconds`.
    void pump (int milliseconds)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;
        while (juce::Time::getMillisecondCounterHiRes() < end)
            if (! juce::dispatchNextMessageOnSystemQueue (true))
                juce::Thread::sleep (1);
    }

    double seconds()
    {
        if (const char* text = std::getenv ("KESTRUNE_BENCH_SECONDS"))
            if (const auto value = std::atof (text); value > 0.0)
                return value;
        return 5.0;
    }

    struct Durations
    {
        std::mutex lock;
        std::vector<double> millis;

        void add (double ms)              { const std::lock_guard<std::mutex> l (lock); millis.push_back (ms); }
        void clear()                      { const std::lock_guard<std::mutex> l (lock); millis.clear(); }

        double longest()
        {
            const std::lock_guard<std::mutex> l (lock);
            return millis.empty() ? 0.0 : *std::max_element (millis.begin(), millis.end());
        }

        double percentile (double p)
        {
            const std::lock_guard<std::mutex> l (lock);
            if (millis.empty())
                return 0.0;
            auto sorted = millis;
            std::sort (sorted.begin(), sorted.end());
            return sorted[(size_t) ((double) (sorted.size() - 1) * p)];
        }

        size_t count() { const std::lock_guard<std::mutex> l (lock); return millis.size(); }

        double total()
        {
            const std::lock_guard<std::mutex> l (lock);
            double sum = 0.0;
            for (auto m : millis)
                sum += m;
            return sum;
        }
    };

    // Times a component's paints inside the window's own repaints. Installed
    // as the component's cached image, it paints the component the way JUCE
    // does (buffered in an image of its own when the component was buffered).
    class PaintTimer  : public juce::CachedComponentImage
    {
    public:
        PaintTimer (juce::Component& c, bool buffer, Durations& d) : owner (c), buffered (buffer), durations (d) {}

        void paint (juce::Graphics& g) override
        {
            const auto start = Clock::now();

            if (! buffered)
            {
                owner.paintEntireComponent (g, false);
            }
            else
            {
                const auto bounds = owner.getLocalBounds();

                if (image.isNull() || image.getBounds() != bounds)
                {
                    image = juce::Image (owner.isOpaque() ? juce::Image::RGB : juce::Image::ARGB,
                                         juce::jmax (1, bounds.getWidth()), juce::jmax (1, bounds.getHeight()), ! owner.isOpaque());
                    validArea.clear();
                }

                if (! validArea.containsRectangle (bounds))
                {
                    juce::Graphics imageGraphics (image);
                    auto& context = imageGraphics.getInternalContext();

                    for (auto& r : validArea)
                        context.excludeClipRectangle (r);

                    if (! owner.isOpaque())
                    {
                        context.setFill (juce::Colours::transparentBlack);
                        context.fillRect (bounds, true);
                        context.setFill (juce::Colours::black);
                    }

                    owner.paintEntireComponent (imageGraphics, true);
                }

                validArea = bounds;
                g.setColour (juce::Colours::black.withAlpha (owner.getAlpha()));
                g.drawImageAt (image, 0, 0);
            }

            durations.add (std::chrono::duration<double, std::milli> (Clock::now() - start).count());
        }

        bool invalidateAll() override                            { validArea.clear(); return true; }
        bool invalidate (const juce::Rectangle<int>& area) override { validArea.subtract (area); return true; }
        void releaseResources() override                         { image = {}; }

    private:
        juce::Component& owner;
        bool buffered;
        Durations& durations;
        juce::Image image;
        juce::RectangleList<int> validArea;
    };

    // The spectrum view's 16 ms timer, timed: the view's own timer is stopped
    // and this one calls its callback at the same rate.
    struct SpectrumTicker  : juce::Timer
    {
        SpectrumTicker (SpectrumView& v, Durations& d) : view (v), durations (d)
        {
            view.stopTimer();
            startTimer (16);
        }

        void timerCallback() override
        {
            const auto start = Clock::now();
            view.timerCallback();
            durations.add (std::chrono::duration<double, std::milli> (Clock::now() - start).count());
        }

        SpectrumView& view;
        Durations& durations;
    };

    // The host's audio thread: 512-sample stereo blocks at real-time pace.
    struct Playback
    {
        explicit Playback (KestruneAudioProcessor& p) : processor (p)
        {
            processor.setPlayHead (&head);
            processor.prepareToPlay (48000.0, 512);
            thread = std::thread ([this] { run(); });
        }

        ~Playback()
        {
            running = false;
            thread.join();
            processor.setPlayHead (nullptr);
        }

        void run()
        {
            juce::AudioBuffer<float> block (2, 512);
            juce::MidiBuffer midi;
            juce::Random random (3);
            double phase = 0.0;
            auto next = Clock::now();

            while (running.load())
            {
                for (int n = 0; n < 512; ++n)
                {
                    const auto v = (float) (0.2 * std::sin (phase) + 0.05 * (random.nextFloat() - 0.5f));
                    phase += 0.031;
                    block.setSample (0, n, v);
                    block.setSample (1, n, v);
                }

                const auto start = Clock::now();
                const auto cpuStart = threadCpuMillis();
                processor.processBlock (block, midi);
                cpu.add (threadCpuMillis() - cpuStart);
                wall.add (std::chrono::duration<double, std::milli> (Clock::now() - start).count());

                head.ppq += 512 * 2.0 / 48000.0;
                next += std::chrono::microseconds (10667);
                std::this_thread::sleep_until (next);
            }
        }

        struct Head : juce::AudioPlayHead
        {
            double ppq = 0.0;
            juce::Optional<PositionInfo> getPosition() const override
            {
                PositionInfo info;
                info.setBpm (120.0);
                info.setPpqPosition (ppq);
                info.setIsPlaying (true);
                return info;
            }
        };

        KestruneAudioProcessor& processor;
        Head head;
        Durations wall, cpu;
        std::atomic<bool> running { true };
        std::thread thread;
    };

    juce::File writePicture (int w, int h)
    {
        juce::Image picture (juce::Image::RGB, w, h, false);
        juce::Random random (7);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                picture.setPixelAt (x, y, juce::Colour::greyLevel (0.5f + 0.5f * std::sin ((float) x * 0.01f + (float) y * 0.03f)
                                                                    * random.nextFloat()));
        auto file = juce::File::createTempFile (".png");
        juce::FileOutputStream out (file);
        juce::PNGImageFormat().writeImageToStream (picture, out);
        return file;
    }

    void run (int xServerPid)
    {
        const auto span = seconds();
        std::printf ("%-18s %-10s %9s %9s %9s %8s %8s %8s %8s %9s %9s %9s %9s\n",
                     "picture", "window", "msg ms/s", "X ms/s", "proc ms/s", "canvas", "canvas", "spectrum", "spectrum",
                     "audio max", "audio p99", "audio cpu", "blocks");
        std::printf ("%-18s %-10s %9s %9s %9s %8s %8s %8s %8s %9s %9s %9s %9s\n",
                     "", "", "", "", "", "max ms", "mean ms", "tick max", "paint max", "ms", "ms", "max ms", "");

        for (const auto& [name, width, height] : { std::tuple<const char*, int, int> { "default 480x330", 0, 0 },
                                                   { "1500x512", 1500, 512 } })
        {
            KestruneAudioProcessor processor;
            juce::File file;

            if (width > 0)
            {
                file = writePicture (width, height);
                processor.loadFile (file.getFullPathName(), true);
            }

            Playback playback (processor);
            while (processor.newImagePending.load())
                pump (10);
            pump (300);

            for (int round = 0; round < 2; ++round)
            {
                for (const auto& size : { juce::Rectangle<int>(), juce::Rectangle<int> (950, 534), juce::Rectangle<int> (1187, 667) })
                {
                    Durations canvasPaints, spectrumPaints, spectrumTicks, windowPaints;
                    std::unique_ptr<juce::AudioProcessorEditor> editor;
                    std::unique_ptr<SpectrumTicker> ticker;

                    if (! size.isEmpty())
                    {
                        editor.reset (processor.createEditorIfNeeded());
                        auto& e = dynamic_cast<KestruneAudioProcessorEditor&> (*editor);
                        e.setSize (size.getWidth(), size.getHeight());
                        e.parentTargetArea.targetArea.setCachedComponentImage (new PaintTimer (e.parentTargetArea.targetArea, false, canvasPaints));
                        e.spectrumView.setCachedComponentImage (new PaintTimer (e.spectrumView, true, spectrumPaints));
                        ticker = std::make_unique<SpectrumTicker> (e.spectrumView, spectrumTicks);
                        e.setCachedComponentImage (new PaintTimer (e, true, windowPaints));
                        e.setTopLeftPosition (10, 10);
                        e.addToDesktop (0);
                        e.setVisible (true);
                    }

                    // Settle, then measure.
                    pump (1000);
                    canvasPaints.clear();
                    windowPaints.clear();
                    spectrumPaints.clear();
                    spectrumTicks.clear();
                    playback.wall.clear();
                    playback.cpu.clear();

                    const auto start = Clock::now();
                    const auto messageCpu = threadCpuMillis();
                    const auto xCpu = xServerPid > 0 ? processCpuMillis (xServerPid) : 0.0;
                    const auto ownCpu = processCpuMillis ((int) ::getpid());

                    while (std::chrono::duration<double> (Clock::now() - start).count() < span)
                        pump (50);

                    const auto elapsed = std::chrono::duration<double> (Clock::now() - start).count();
                    const auto messagePerSecond = (threadCpuMillis() - messageCpu) / elapsed;
                    const auto xPerSecond = xServerPid > 0 ? (processCpuMillis (xServerPid) - xCpu) / elapsed : 0.0;
                    const auto processPerSecond = (processCpuMillis ((int) ::getpid()) - ownCpu) / elapsed;

                    double canvasMean = 0.0;
                    {
                        const std::lock_guard<std::mutex> l (canvasPaints.lock);
                        for (auto m : canvasPaints.millis)
                            canvasMean += m;
                        canvasMean = canvasPaints.millis.empty() ? 0.0 : canvasMean / (double) canvasPaints.millis.size();
                    }

                    // The size the window really took (it keeps its ratio).
                    const auto label = editor == nullptr ? juce::String ("closed")
                                                         : juce::String (editor->getWidth()) + "x" + juce::String (editor->getHeight());
                    std::printf ("%-18s %-10s %9.1f %9.1f %9.1f %8.2f %8.2f %8.2f %8.2f %9.3f %9.3f %9.3f %9zu\n",
                                 name, label.toRawUTF8(), messagePerSecond, xPerSecond, processPerSecond,
                                 canvasPaints.longest(), canvasMean, spectrumTicks.longest(), spectrumPaints.longest(),
                                 playback.wall.longest(), playback.wall.percentile (0.99), playback.cpu.longest(),
                                 playback.wall.count());
                    std::printf ("    per second: canvas %.1f paints %.1f ms, spectrum %.1f paints %.1f ms, %.1f ticks %.1f ms, window %.1f paints %.1f ms\n",
                                 canvasPaints.count() / elapsed, canvasPaints.total() / elapsed,
                                 spectrumPaints.count() / elapsed, spectrumPaints.total() / elapsed,
                                 spectrumTicks.count() / elapsed, spectrumTicks.total() / elapsed,
                                 windowPaints.count() / elapsed, windowPaints.total() / elapsed);
                    std::fflush (stdout);

                    ticker.reset();
                    if (editor != nullptr)
                    {
                        processor.editorBeingDeleted (editor.get());
                        editor.reset();
                    }
                }
            }

            if (file != juce::File())
                file.deleteFile();
        }
    }
}

int main()
{
    // Keep the images folder out of the real Documents folder.
    char home[] = "/tmp/kestrune-bench-home-XXXXXX";
    if (::mkdtemp (home) == nullptr)
        return 1;
    ::setenv ("HOME", home, 1);

    // A virtual X server of this program's own: the window is drawn on it,
    // and its CPU time is measured with the window's.
    kestrune::test::x11::prepareXlib();
    kestrune::test::x11::PrivateXServer xServer;
    if (! xServer.started())
    {
        std::fprintf (stderr, "Xvfb could not be started\n");
        return 1;
    }

    {
        juce::ScopedJuceInitialiser_GUI juce;
        run (xServer.processId());
    }

    juce::File (home).deleteRecursively();
    return 0;
}
