// What a save costs on the host's state-call thread, now that it checks the
// images folder before it writes: getStateInformation with nothing changed,
// after a pen stroke, and side by side the earlier way (both pictures encoded
// and written at every save). Also the one-off cost of a first save whose
// name holds a different picture of the same size (decoded to compare), the
// first save right after opening a camera photo (its copy the photo's own
// file, and side by side the picture encoded as before), and the pixel
// checksum alone. Pictures: a 1500 x 512 one (its pen layer the same size)
// and a 6000 x 4000 photo (pen layer 768 x 512).
#include "BenchSupport.h"
#include "PictureCopies.h"
#include "PictureFiles.h"
#include "PluginProcessor.h"
#include "TypicalStroke.h"

#include <set>
#include <utility>

using kestrune::bench::photo;
using kestrune::bench::photoFile;

namespace
{
    // A processor with the photo loaded and adopted and a few strokes drawn.
    std::unique_ptr<KestruneAudioProcessor> project (int w, int h)
    {
        auto p = std::make_unique<KestruneAudioProcessor>();
        p->loadFile (photoFile (w, h).getFullPathName(), true);
        while (p->newImagePending.load())
        {
            p->checkAndLoadFile();
            juce::Thread::sleep (1);
        }
        for (int i = 0; i < 8; ++i)
        {
            std::vector<juce::Point<float>> points { { 0.1f * (float) i, 0.1f }, { 0.9f, 0.1f * (float) i } };
            p->drawShape (points);
        }
        return p;
    }

    void BM_SaveUnchanged (benchmark::State& state)
    {
        auto p = project ((int) state.range (0), (int) state.range (1));
        juce::MemoryBlock blob;
        p->getStateInformation (blob);

        for (auto _ : state)
        {
            p->getStateInformation (blob);
            benchmark::DoNotOptimize (blob.getData());
        }
    }

    void BM_SaveAfterStroke (benchmark::State& state)
    {
        auto p = project ((int) state.range (0), (int) state.range (1));
        juce::MemoryBlock blob;
        p->getStateInformation (blob);
        int n = 0;

        for (auto _ : state)
        {
            state.PauseTiming();
            std::vector<juce::Point<float>> points { { 0.05f, 0.01f * (float) (n % 90) }, { 0.95f, 0.01f * (float) (++n % 90) } };
            p->drawShape (points);
            state.ResumeTiming();

            p->getStateInformation (blob);
            benchmark::DoNotOptimize (blob.getData());
        }
    }

    // The earlier save: the blob, then both pictures encoded and written over
    // their names, every time.
    void BM_SaveWritingBoth (benchmark::State& state)
    {
        auto p = project ((int) state.range (0), (int) state.range (1));
        juce::MemoryBlock blob;

        for (auto _ : state)
        {
            auto tree = p->copyState();
            std::unique_ptr<juce::XmlElement> xml (tree.createXml());
            juce::AudioProcessor::copyXmlToBinary (*xml, blob);

            juce::Image layer, picture;
            juce::String layerPath, picturePath;
            {
                const juce::ScopedLock sl (criticalSection);
                layer = p->drawLayer.createCopy();
                picture = p->loadedImage;
                layerPath = p->drawImagePath;
                picturePath = p->imageFilePath;
            }

            kestrune::pictures::writePngReplacing (layer, juce::File (p->getFilePath ("bench-" + juce::File (layerPath).getFileName())));
            kestrune::pictures::writePngReplacing (picture, juce::File (p->getFilePath ("bench-" + juce::File (picturePath).getFileName())));
            benchmark::DoNotOptimize (blob.getData());
        }
    }

    // A first save whose picture name holds a different picture of the same
    // size in the folder: its header is read, it is decoded and compared, and
    // the copy goes beside it.
    void BM_FirstSaveBesideASameNamedPicture (benchmark::State& state)
    {
        const int w = (int) state.range (0), h = (int) state.range (1);
        auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("kestrune-save-bench-folder");
        folder.deleteRecursively();
        folder.createDirectory();

        auto other = photo (w, h);
        other.setPixelAt (0, 0, juce::Colours::red);
        {
            juce::FileOutputStream out (folder.getChildFile ("photo.jpg"));
            juce::JPEGImageFormat().writeImageToStream (other, out);
        }
        const auto mine = kestrune::pictures::decodePictureFile (photoFile (w, h));

        for (auto _ : state)
        {
            PictureCopies copies;
            const auto name = copies.save (PictureCopies::Kind::picture, mine, "/else/photo.jpg", folder);
            state.PauseTiming();
            if (name != "photo_2.jpg")
                state.SkipWithError ("unexpected name");
            folder.getChildFile (name).deleteFile();
            state.ResumeTiming();
        }

        folder.deleteRecursively();
    }

    // A camera photo to an encoder: gradients under fine grain in every
    // channel, as JPEG at quality 0.9 (a few MB at 6000 x 4000), written
    // once per program run.
    juce::File cameraPhotoFile (int w, int h)
    {
        static std::set<std::pair<int, int>> written;
        const auto file = juce::File::getSpecialLocation (juce::File::tempDirectory)
                              .getChildFile ("kestrune-bench-camera-" + juce::String (w) + "x" + juce::String (h) + ".jpg");

        if (written.insert ({ w, h }).second)
        {
            file.deleteFile();
            juce::Image image (juce::Image::RGB, w, h, false);
            {
                juce::Random random (7);
                juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
                auto grain = [&random] (int level) { return (juce::uint8) juce::jlimit (0, 255, level + random.nextInt (17) - 8); };

                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        data.setPixelColour (x, y, juce::Colour (grain (30 + 190 * x / w), grain (40 + 170 * y / h),
                                                                 grain (200 - 150 * (x + y) / (w + h))));
            }

            juce::FileOutputStream out (file);
            juce::JPEGImageFormat jpeg;
            jpeg.setQuality (0.9f);
            jpeg.writeImageToStream (image, out);
        }

        return file;
    }

    // From the open of a camera photo through the first getStateInformation
    // (the picture still waiting for adoption, as when a user opens a photo
    // and saves at once). Last argument 1: as built, the copy is the photo's
    // own file; 0: the earlier way, the picture encoded as PNG at the save
    // (the file's bytes the open kept are dropped). Counters: the open and
    // the first save alone, an unchanged save right after, and the copy's
    // size over the opened file's. Timed by hand: the processor is made
    // and freed outside the measured time.
    void BM_FirstSaveAfterOpeningAPhoto (benchmark::State& state)
    {
        const int w = (int) state.range (0), h = (int) state.range (1);
        const bool keptBytes = state.range (2) != 0;
        const auto file = cameraPhotoFile (w, h);
        double open = 0.0, first = 0.0, unchanged = 0.0, sizeRatio = 0.0;

        for (auto _ : state)
        {
            auto p = std::make_unique<KestruneAudioProcessor>();
            const auto folder = juce::File (p->getFilePath ("x")).getParentDirectory();
            for (const auto& f : folder.findChildFiles (juce::File::findFiles, false, "kestrune-bench-camera*"))
                f.deleteFile();
            juce::MemoryBlock blob;

            const auto t0 = juce::Time::getMillisecondCounterHiRes();
            p->loadFile (file.getFullPathName(), true);

            if (! keptBytes)
            {
                const juce::ScopedLock sl (p->pictureEditLock);
                p->loadedImageBytes = nullptr;
            }

            const auto t1 = juce::Time::getMillisecondCounterHiRes();
            p->getStateInformation (blob);
            const auto t2 = juce::Time::getMillisecondCounterHiRes();
            p->getStateInformation (blob);
            const auto t3 = juce::Time::getMillisecondCounterHiRes();

            state.SetIterationTime ((t2 - t0) / 1000.0);
            open += t1 - t0;
            first += t2 - t1;
            unchanged += t3 - t2;
            sizeRatio += (double) folder.getChildFile (file.getFileName()).getSize() / (double) file.getSize();
        }

        const auto n = (double) state.iterations();
        state.counters["open_ms"] = open / n;
        state.counters["first_save_ms"] = first / n;
        state.counters["unchanged_save_ms"] = unchanged / n;
        state.counters["copy_over_file"] = sizeRatio / n;
        state.counters["file_MB"] = (double) file.getSize() / 1.0e6;
    }

    void BM_PixelChecksum (benchmark::State& state)
    {
        const auto image = photo ((int) state.range (0), (int) state.range (1));

        for (auto _ : state)
            benchmark::DoNotOptimize (PictureCopies::pixelChecksum (image));
    }
}

BENCHMARK (BM_SaveUnchanged)->Args ({ 1500, 512 })->Args ({ 6000, 4000 })->Unit (benchmark::kMillisecond);
BENCHMARK (BM_SaveAfterStroke)->Args ({ 1500, 512 })->Args ({ 6000, 4000 })->Unit (benchmark::kMillisecond);
BENCHMARK (BM_SaveWritingBoth)->Args ({ 1500, 512 })->Args ({ 6000, 4000 })->Unit (benchmark::kMillisecond);
BENCHMARK (BM_FirstSaveBesideASameNamedPicture)->Args ({ 1500, 512 })->Args ({ 6000, 4000 })->Unit (benchmark::kMillisecond);
BENCHMARK (BM_FirstSaveAfterOpeningAPhoto)->Args ({ 6000, 4000, 0 })->Args ({ 6000, 4000, 1 })->Iterations (3)->UseManualTime()->Unit (benchmark::kMillisecond);
BENCHMARK (BM_PixelChecksum)->Args ({ 1500, 512 })->Args ({ 6000, 4000 })->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
