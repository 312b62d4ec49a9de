// Screenshots of the plug-in window as a DAW shows it: loads the built bundle
// through the in-tree host, restores a project with a picture, opens the
// window under the X server while a tone plays and writes what the screen
// shows at the default, minimum and maximum sizes, at a size the host imposes
// off the ratio, and then at the default size after a bar of the tone was
// recorded with the Record button and turned into the picture, as PNG files
// into the folder given as argument.
// Exits non-zero when the window does not open or does not look like ours.
// The host program runs it on its own virtual X server, so nothing else on
// screen gets in:
//
//   kestrune_host_test --screenshots <output folder>   (KESTRUNE_VST3_BUNDLE names the bundle)

#include "Screenshots.h"
#include "HostWindow.h"
#include "XDisplay.h"

#include <iostream>

using namespace kestrune::host;

namespace
{
    // A picture that reads well as a spectrogram mask: bright partials over
    // a dark ground that swell and fade across the scan, and a white ring.
    juce::Image makePicture()
    {
        juce::Image picture (juce::Image::RGB, 480, 330, true);
        juce::Graphics g (picture);
        g.fillAll (juce::Colour (0xff101010));

        for (int k = 1; k <= 9; ++k)
        {
            const auto y = 330.0f - 330.0f * (float) k / 10.0f;
            for (int x = 0; x < 480; ++x)
            {
                const auto level = 0.5f + 0.5f * std::sin ((float) x / 480.0f * juce::MathConstants<float>::twoPi * (float) k / 3.0f);
                g.setColour (juce::Colours::white.withAlpha (level / (float) k * 3.0f > 1.0f ? 1.0f : level / (float) k * 3.0f));
                g.fillRect ((float) x, y, 1.0f, 4.0f);
            }
        }

        g.setColour (juce::Colours::white);
        g.drawEllipse (300.0f, 60.0f, 120.0f, 120.0f, 6.0f);
        return picture;
    }

    // A pen layer with one freehand stroke over the lower left of the picture.
    juce::Image makePenLayer()
    {
        juce::Image layer (juce::Image::ARGB, 480, 330, true);
        juce::Path stroke;
        stroke.startNewSubPath (30.0f, 250.0f);
        for (int x = 30; x <= 260; x += 5)
            stroke.lineTo ((float) x, 250.0f - 40.0f * std::sin ((float) (x - 30) / 230.0f * juce::MathConstants<float>::twoPi));

        juce::Graphics g (layer);
        g.setColour (juce::Colour (0xffd0d0d0));
        g.strokePath (stroke, juce::PathStrokeType (8.0f, juce::PathStrokeType::beveled, juce::PathStrokeType::butt));
        return layer;
    }

    void writePng (const juce::Image& image, const juce::File& file)
    {
        juce::FileOutputStream out (file);
        juce::PNGImageFormat().writeImageToStream (image, out);
    }

    // Points the instance's project at a picture file and a pen-layer file.
    void restorePicture (juce::AudioPluginInstance& instance, const juce::File& file, const juce::File& layer)
    {
        juce::MemoryBlock state;
        instance.getStateInformation (state);
        auto plugin = unpackState (state);
        if (plugin.xml == nullptr)
            return;

        auto* paths = plugin.xml->getChildByName ("ImagePath");
        if (paths == nullptr)
            paths = plugin.xml->createNewChildElement ("ImagePath");
        paths->setAttribute ("path", file.getFullPathName());
        paths->setAttribute ("pathDraw", layer.getFullPathName());

        const auto edited = repackState (state, plugin);
        instance.setStateInformation (edited.getData(), (int) edited.getSize());
    }

    bool near (juce::Colour a, juce::Colour b, int tolerance)
    {
        return std::abs (a.getRed() - b.getRed()) <= tolerance && std::abs (a.getGreen() - b.getGreen()) <= tolerance
            && std::abs (a.getBlue() - b.getBlue()) <= tolerance;
    }

    // Pixels of the window that only our editor paints this way: the fill
    // right of the left column and the head of the canvas frame's upward arrow.
    juce::String checkLooksLikeOurs (const juce::Image& shot)
    {
        const auto left = std::min (shot.getWidth(), shot.getHeight());
        const auto fill = shot.getPixelAt (left + 1, 1);
        const auto arrowHead = shot.getPixelAt (16, 5);

        if (! near (fill, juce::Colour (0xff141414), 2))
            return "background at (" + juce::String (left + 1) + ", 1) is " + fill.toString();
        if (! near (arrowHead, juce::Colour (0xff20b2aa), 3))
            return "arrow head at (16, 5) is " + arrowHead.toString();
        return {};
    }
}

namespace kestrune::host
{
    int writeScreenshots (const juce::File& folder)
    {
        if (! kestrune::test::x11::displayAvailable())
        {
            std::cerr << "no X display: run through ./scripts/test.sh, which starts a virtual one\n";
            return 1;
        }

        auto instance = instantiate();
        if (instance == nullptr)
        {
            std::cerr << "the bundle did not load: " << bundle().getFullPathName() << "\n";
            return 1;
        }

        const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory);
        const auto pictureFile = home.getChildFile ("screenshot-picture.png");
        const auto layerFile = home.getChildFile ("screenshot-layer.png");
        writePng (makePicture(), pictureFile);
        writePng (makePenLayer(), layerFile);

        instance->prepareToPlay (48000.0, 512);
        restorePicture (*instance, pictureFile, layerFile);

        // The grid in eighths, as the user picks it in the scan panel.
        if (auto* grid = parameterNamed (*instance, "refline3"))
            grid->setValueNotifyingHost (1.0f);

        folder.createDirectory();
        int failures = 0;
        {
            // Audio runs throughout: the picture is adopted at the start of a
            // block and reworked by the plug-in's worker.
            AudioRunner audio (*instance);
            pumpFor (500);

            HostedEditor window (*instance);
            if (window.get() == nullptr)
            {
                std::cerr << "the plug-in opened no window\n";
                return 1;
            }

            auto shoot = [&] (const juce::String& name)
            {
                const auto shot = window.shownWhenPainted();

                if (! shot.isValid())
                {
                    std::cerr << "could not read the screen\n";
                    ++failures;
                    return;
                }

                const auto file = folder.getChildFile (name + juce::String (shot.getWidth()) + "x"
                                                       + juce::String (shot.getHeight()) + ".png");

                file.deleteFile();
                {
                    juce::FileOutputStream out (file);
                    juce::PNGImageFormat().writeImageToStream (shot, out);
                }

                const auto problem = checkLooksLikeOurs (shot);
                std::cout << file.getFullPathName() << (problem.isEmpty() ? "" : "  <- " + problem) << std::endl;
                if (problem.isNotEmpty())
                    ++failures;
            };

            const std::pair<int, int> sizes[] = { { 950, 534 }, { 760, 427 }, { 1187, 667 } };

            for (auto [w, h] : sizes)
            {
                window.resizeTo (w, h);
                pumpFor (700);
                shoot ("kestrune-");
            }

            // A size the host imposes off the ratio and keeps (its window
            // frame dragged to 1150 x 566): the window is laid out as at the
            // size it answers, 1007 x 566, its own background beside it. The
            // plug-in asks for that size first, which this host takes, so
            // the host imposes it twice.
            window.imposeSize (1150, 566);
            window.imposeSize (1150, 566, 700);
            shoot ("kestrune-imposed-");

            // A bar of the tone recorded with the Record button and turned
            // into the picture, the spectrum view showing the tone playing.
            window.resizeTo (950, 534);
            pumpFor (300);

            if (! window.click ({ recordButtonX, recordButtonY }))
            {
                std::cerr << "the X server fakes no input (XTEST): no recording shot\n";
                ++failures;
            }
            else
            {
                bool converted = false;

                for (int waited = 0; waited < 12000 && ! converted; waited += 200)
                {
                    pumpFor (200);
                    converted = savedPicturePath (*instance).contains ("imageSpect");
                }

                if (! converted)
                {
                    std::cerr << "the recording did not become the picture\n";
                    ++failures;
                }

                pumpFor (1000);
                shoot ("kestrune-recording-");
            }
        }

        instance->releaseResources();
        return failures == 0 ? 0 : 1;
    }
}
