#include "HostWindow.h"
#include "XDisplay.h"

#include <cmath>

namespace kestrune::host
{
    void pumpFor (int milliseconds)
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
    }

    bool clickOnScreen (juce::Point<int> at)
    {
        if (! kestrune::test::x11::movePointer (at.x, at.y))
            return false;

        pumpFor (100);
        kestrune::test::x11::pressLeftButton (true);
        pumpFor (80);
        kestrune::test::x11::pressLeftButton (false);
        pumpFor (100);
        return true;
    }

    HostedEditor::HostedEditor (juce::AudioPluginInstance& i, juce::Point<int> topLeft)
        : instance (i), editor (i.createEditorIfNeeded())
    {
        if (editor == nullptr)
            return;

        frame.setBounds (editor->getBounds().withPosition (topLeft));
        frame.addToDesktop (0);
        frame.setVisible (true);
        frame.addAndMakeVisible (*editor);
        pumpFor (300);
    }

    void HostedEditor::Frame::childBoundsChanged (juce::Component* child)
    {
        if (child != nullptr)
            setSize (child->getWidth(), child->getHeight());
    }

    HostedEditor::~HostedEditor()
    {
        close();
    }

    void HostedEditor::resizeTo (int width, int height, int settleMilliseconds)
    {
        if (editor == nullptr)
            return;

        editor->setSize (width, height);
        pumpFor (settleMilliseconds);
    }

    void HostedEditor::imposeSize (int width, int height, int settleMilliseconds)
    {
        // The view's one child holds the plug-in's window (X embedding):
        // resizing it resizes the plug-in's window without asking the plug-in.
        if (editor == nullptr || editor->getNumChildComponents() != 1)
            return;

        frame.setSize (width, height);
        auto* embedded = editor->getChildComponent (0);
        embedded->setSize (width, height);

        // Kept up while the host settles: a resize of the plug-in's window
        // still on its way (the host's own, asked for by the plug-in a
        // moment ago) can reach the X server after this one.
        const juce::Rectangle<int> wanted (width, height);
        for (int waited = 0; waited < 20000; waited += 20)
        {
            pumpFor (20);
            if (auto* embedding = dynamic_cast<juce::XEmbedComponent*> (embedded))
                embedding->updateEmbeddedBounds();

            if (waited >= settleMilliseconds && pluginWindowSize() == wanted)
                break;
        }
    }

    juce::Image HostedEditor::imposedAndPainted (int width, int height)
    {
        const juce::Rectangle<int> wanted (width, height);

        for (int attempt = 0; attempt < 5; ++attempt)
        {
            imposeSize (width, height, 20);
            auto shot = shownWhenPainted();

            if (pluginWindowSize() == wanted && shot.getBounds() == wanted)
                return shot;
        }

        return {};
    }

    unsigned long HostedEditor::pluginWindow() const
    {
        if (editor == nullptr || editor->getNumChildComponents() != 1)
            return 0;

        if (auto* embedding = dynamic_cast<juce::XEmbedComponent*> (editor->getChildComponent (0)))
            return kestrune::test::x11::firstChildWindow (embedding->getHostWindowID());

        return 0;
    }

    juce::Rectangle<int> HostedEditor::pluginWindowSize() const
    {
        // Only while the host's windows holding it show all of it (a window
        // manager applies a size the host asks for a moment later).
        if (editor == nullptr || editor->getNumChildComponents() != 1)
            return {};

        auto* embedding = dynamic_cast<juce::XEmbedComponent*> (editor->getChildComponent (0));
        if (embedding == nullptr)
            return {};

        const auto hostWindow = kestrune::test::x11::windowArea ((unsigned long) (juce::pointer_sized_uint) frame.getWindowHandle());
        const auto holder = kestrune::test::x11::windowArea (embedding->getHostWindowID());
        const auto area = kestrune::test::x11::windowArea (pluginWindow());
        const auto whole = area.width <= juce::jmin (holder.width, hostWindow.width)
                        && area.height <= juce::jmin (holder.height, hostWindow.height);
        return whole ? juce::Rectangle<int> (area.width, area.height) : juce::Rectangle<int>();
    }

    juce::Image HostedEditor::shown() const
    {
        const auto area = frame.getScreenBounds();
        const auto pixels = kestrune::test::x11::captureScreen (area.getX(), area.getY(), area.getWidth(), area.getHeight());

        if (pixels.width == 0)
            return {};

        juce::Image image (juce::Image::RGB, pixels.width, pixels.height, false);
        juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
        for (int y = 0; y < pixels.height; ++y)
            for (int x = 0; x < pixels.width; ++x)
                data.setPixelColour (x, y, juce::Colour (pixels.argb[(size_t) (y * pixels.width + x)]));
        return image;
    }

    void HostedEditor::setShown (bool shown)
    {
        if (editor == nullptr)
            return;

        frame.setVisible (shown); // the host's own window
        juce::Desktop::getInstance().getMousePosition(); // a round trip: the request goes out
    }

    bool HostedEditor::setMinimised (bool minimised)
    {
        namespace x11 = kestrune::test::x11;
        const auto window = (unsigned long) (juce::pointer_sized_uint) frame.getWindowHandle();

        if (minimised)
            x11::iconifyWindow (window);
        else
            x11::restoreWindow (window);

        const long wanted = minimised ? 3 : 1; // Iconic, Normal
        for (int waited = 0; waited < 10000; waited += 20)
        {
            if (x11::windowManagerState (window) == wanted && x11::isViewable (window) != minimised)
                return true;
            pumpFor (20);
        }

        return false;
    }

    bool HostedEditor::switchToWorkspace (int workspace)
    {
        namespace x11 = kestrune::test::x11;
        const auto window = (unsigned long) (juce::pointer_sized_uint) frame.getWindowHandle();
        x11::switchToWorkspace (workspace);

        for (int waited = 0; waited < 10000; waited += 20)
        {
            if (x11::isViewable (window) == (workspace == 0))
                return true;
            pumpFor (20);
        }

        return false;
    }

    juce::Rectangle<int> HostedEditor::size() const
    {
        return editor != nullptr ? editor->getLocalBounds() : juce::Rectangle<int>();
    }

    bool HostedEditor::click (juce::Point<int> local)
    {
        if (editor == nullptr)
            return false;

        if (! clickOnScreen (editor->localPointToGlobal (local)))
            return false;

        // Off the window again, so that nothing shows the pointer hovering.
        const auto outside = editor->getScreenBounds().getBottomRight() + juce::Point<int> (20, 20);
        kestrune::test::x11::movePointer (outside.x, outside.y);
        pumpFor (100);
        return true;
    }

    juce::Colour HostedEditor::pixelAt (juce::Point<int> local) const
    {
        if (editor == nullptr)
            return {};

        const auto at = editor->localPointToGlobal (local);
        const auto pixels = kestrune::test::x11::captureScreen (at.x, at.y, 1, 1);
        return pixels.width == 1 ? juce::Colour (pixels.argb.front()) : juce::Colour();
    }

    juce::Image HostedEditor::shownWhenPainted() const
    {
        const auto window = pluginWindow();
        if (window == 0)
            return shown();

        kestrune::test::x11::fillForRedrawing (window);
        const auto sentinel = juce::Colour (kestrune::test::x11::sentinelColour);

        for (int waited = 0; waited < 20000; waited += 20)
        {
            pumpFor (20);
            auto now = shown();
            const juce::Image::BitmapData pixels (now, juce::Image::BitmapData::readOnly);
            bool drawn = now.isValid();

            for (int y = 0; y < now.getHeight() && drawn; ++y)
                for (int x = 0; x < now.getWidth() && drawn; ++x)
                    drawn = pixels.getPixelColour (x, y) != sentinel;

            if (drawn)
                return now;
        }

        return shown();
    }

    void HostedEditor::close()
    {
        if (editor == nullptr)
            return;

        editor->setVisible (false);
        frame.removeFromDesktop();
        editor.reset(); // the host's view hands itself back to the instance
        pumpFor (50);
    }

    AudioRunner::AudioRunner (juce::AudioPluginInstance& i)
        : instance (i)
    {
        instance.setPlayHead (&head);
        thread = std::thread ([this]
        {
            juce::AudioBuffer<float> block (2, 512);
            juce::MidiBuffer midi;
            float phase = 0.0f;

            while (running.load())
            {
                // A steady 382 Hz: the phase wraps, so that it never loses precision.
                for (int n = 0; n < 512; ++n)
                {
                    for (int c = 0; c < 2; ++c)
                        block.setSample (c, n, 0.25f * std::sin (phase));

                    phase = std::fmod (phase + 0.05f, juce::MathConstants<float>::twoPi);
                }

                instance.processBlock (block, midi);
                head.ppq += 512 * 2.0 / 48000.0;
                count.fetch_add (1);
                std::this_thread::sleep_for (std::chrono::milliseconds (10));
            }
        });
    }

    AudioRunner::~AudioRunner()
    {
        running.store (false);
        thread.join();
        instance.setPlayHead (nullptr);
    }

    juce::Rectangle<int> savedWindowSize (juce::AudioPluginInstance& instance)
    {
        juce::MemoryBlock state;
        instance.getStateInformation (state);
        const auto plugin = unpackState (state);

        if (plugin.xml == nullptr)
            return {};

        if (auto* size = plugin.xml->getChildByName ("lastSizeMainWindow"))
            return { size->getIntAttribute ("width"), size->getIntAttribute ("height") };

        return {};
    }

    juce::String savedPicturePath (juce::AudioPluginInstance& instance)
    {
        juce::MemoryBlock state;
        instance.getStateInformation (state);
        const auto plugin = unpackState (state);

        if (plugin.xml == nullptr)
            return {};

        if (auto* paths = plugin.xml->getChildByName ("ImagePath"))
            return paths->getStringAttribute ("path");

        return {};
    }
}
