// What a save costs on the host's state-call thread, now that it checks the
// images folder before it writes: getStateInformation with nothing changed,
// after a pen stroke, and side by side the earlier way (both pictures encoded
// and written at every save). Also the one-off cost of a first save whose
// name holds a different picture of the same size (decoded to compare), and
// the pixel checksum alone. Pictures: a 1500 x 512 one (its pen layer the
// same size) and a 6000 x 4000 photo (pen layer 768 x 512).
#include "BenchSupport.h"
#include "PictureCopies.h"
#include "PictureFiles.h"
#include "PluginProcessor.h"
#include "TypicalStroke.h"

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
BENCHMARK (BM_PixelChecksum)->Args ({ 1500, 512 })->Args ({ 6000, 4000 })->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return kestrune::bench::runBenchmarks (argc, argv); }
