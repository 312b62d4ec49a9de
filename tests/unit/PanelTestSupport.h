#pragma once

#include "TestSupport.h"
#include "Panels.h"

#include <functional>
#include <thread>
#include <vector>

// Helpers for the panel, knob and look-and-feel tests: the global ratio, real
// mouse events, pictures of components, a drawing recorder, and a window on
// the (virtual) display for what needs one.
namespace kestrune::test::panels
{
    //==========================================================================
    // Sets globalResizeRatio for a test and puts the old value back.
    struct ScopedRatio
    {
        explicit ScopedRatio (float ratio) : previous (globalResizeRatio) { globalResizeRatio = ratio; }
        ~ScopedRatio() { globalResizeRatio = previous; }
        float previous;
    };

    // The ratio the editor's layout sets for a window width.
    inline float ratioForWindowWidth (int windowWidth) { return (float) windowWidth / 950.0f; }

    //==========================================================================
    // Mouse events as JUCE delivers them, from the main mouse source.
    inline juce::MouseEvent mouseEvent (juce::Component& target, juce::Point<float> position,
                                        juce::Point<float> downPosition, bool dragged,
                                        juce::ModifierKeys mods = juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier))
    {
        const auto now = juce::Time::getCurrentTime();
        return juce::MouseEvent (juce::Desktop::getInstance().getMainMouseSource(), position, mods,
                                 juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                                 juce::MouseInputSource::defaultRotation, juce::MouseInputSource::defaultTiltX,
                                 juce::MouseInputSource::defaultTiltY, &target, &target, now, downPosition, now, 1, dragged);
    }

    // Presses and releases the left button over a button's centre.
    inline void click (juce::Button& button)
    {
        // Through the Component interface, where the mouse callbacks are public.
        auto& component = static_cast<juce::Component&> (button);
        const auto centre = button.getLocalBounds().getCentre().toFloat();
        component.mouseDown (mouseEvent (button, centre, centre, false));
        component.mouseUp (mouseEvent (button, centre, centre, false, {}));
    }

    inline void click (juce::Component* component)
    {
        click (*dynamic_cast<juce::Button*> (component));
    }

    // Presses on a slider and drags by (dx, dy) pixels; releases unless asked not to.
    inline void drag (juce::Slider& slider, juce::Point<float> from, juce::Point<float> by, bool release = true)
    {
        slider.mouseDown (mouseEvent (slider, from, from, false));

        const int steps = 8;
        for (int i = 1; i <= steps; ++i)
            slider.mouseDrag (mouseEvent (slider, from + by * ((float) i / (float) steps), from, true));

        if (release)
            slider.mouseUp (mouseEvent (slider, from + by, from, true, {}));
    }

    // A knob turned up (or down) by dragging upwards from its centre.
    inline void turn (juce::Slider& knob, float pixelsUp, bool release = true)
    {
        drag (knob, knob.getLocalBounds().getCentre().toFloat(), { 0.0f, -pixelsUp }, release);
    }

    //==========================================================================
    // A component painted on its own into an ARGB image (transparent behind).
    inline juce::Image snapshot (juce::Component& component)
    {
        return component.createComponentSnapshot (component.getLocalBounds(), true, 1.0f);
    }

    inline juce::Colour pixel (const juce::Image& image, float x, float y)
    {
        return image.getPixelAt ((int) x, (int) y);
    }

    // Colours equal within a tolerance per channel.
    inline ::testing::AssertionResult near (juce::Colour actual, juce::Colour expected, int tolerance = 2)
    {
        const auto d = [] (juce::uint8 a, juce::uint8 b) { return std::abs ((int) a - (int) b); };

        if (d (actual.getAlpha(), expected.getAlpha()) <= tolerance && d (actual.getRed(), expected.getRed()) <= tolerance
            && d (actual.getGreen(), expected.getGreen()) <= tolerance && d (actual.getBlue(), expected.getBlue()) <= tolerance)
            return ::testing::AssertionSuccess();

        return ::testing::AssertionFailure() << "colour " << actual.toDisplayString (true)
                                             << ", expected " << expected.toDisplayString (true);
    }

    // `over` composited onto `under` (straight alpha).
    inline juce::Colour over (juce::Colour under, juce::Colour top)
    {
        return under.overlaidWith (top);
    }

    //==========================================================================
    // A renderer into an image that also notes what is drawn: each filled
    // path (strokes arrive as filled outlines) with its colour and bounds,
    // and each glyph with its position and font.
    class RecordingContext  : public juce::LowLevelGraphicsSoftwareRenderer
    {
    public:
        struct Fill
        {
            juce::Rectangle<float> bounds;
            juce::Colour colour;
            juce::Path path;
        };

        struct Glyph
        {
            juce::Point<float> origin; // on the baseline
            float fontHeight, ascent;
            juce::String typeface;
            juce::Colour colour;
        };

        explicit RecordingContext (const juce::Image& image) : juce::LowLevelGraphicsSoftwareRenderer (image) {}

        void setFill (const juce::FillType& fill) override
        {
            colour = fill.colour;
            juce::LowLevelGraphicsSoftwareRenderer::setFill (fill);
        }

        void fillPath (const juce::Path& path, const juce::AffineTransform& t) override
        {
            juce::Path copy (path);
            copy.applyTransform (t);
            fills.push_back ({ copy.getBounds(), colour, copy });
            juce::LowLevelGraphicsSoftwareRenderer::fillPath (path, t);
        }

        void drawGlyph (int glyphNumber, const juce::AffineTransform& t) override
        {
            const auto& font = getFont();
            glyphs.push_back ({ { t.getTranslationX(), t.getTranslationY() }, font.getHeight(), font.getAscent(),
                                font.getTypefaceName(), colour });
            juce::LowLevelGraphicsSoftwareRenderer::drawGlyph (glyphNumber, t);
        }

        std::vector<Fill> fills;
        std::vector<Glyph> glyphs;
        juce::Colour colour;
    };

    // Paints a component's own paint() through a recorder.
    struct Recording
    {
        explicit Recording (juce::Component& component)
            : image (juce::Image::ARGB, juce::jmax (1, component.getWidth()), juce::jmax (1, component.getHeight()), true),
              context (image)
        {
            juce::Graphics g (context);
            component.paint (g);
        }

        juce::Image image;
        RecordingContext context;
    };

    //==========================================================================
    // The three panels built standalone for one processor and sized as in a
    // window of the given width (950, 760 or 1187 wide).
    struct PanelSet
    {
        explicit PanelSet (int windowWidth = 950, KestruneAudioProcessor* existing = nullptr)
            : owned (existing == nullptr ? makeProcessor() : nullptr),
              processor (existing != nullptr ? *existing : *owned),
              ratio (ratioForWindowWidth (windowWidth)),
              width (windowWidth)
        {
            open();
        }

        ~PanelSet() { close(); }

        void open()
        {
            transform = std::make_unique<AffineTransformPanel> (processor);
            image = std::make_unique<ImageManupulationPanel> (processor);
            scan = std::make_unique<ScanPanel> (processor);
            layOut();
        }

        void close()
        {
            scan.reset();
            image.reset();
            transform.reset();
        }

        void layOut()
        {
            switch (width)
            {
                case 760:  transform->setSize (60, 421);  image->setSize (109, 421); scan->setSize (146, 389); break;
                case 1187: transform->setSize (98, 661);  image->setSize (176, 661); scan->setSize (228, 611); break;
                default:   transform->setSize (77, 528);  image->setSize (139, 528); scan->setSize (182, 488); break;
            }
        }

        KestruneAudioProcessor& p() { return processor; }

        std::unique_ptr<KestruneAudioProcessor> owned;
        KestruneAudioProcessor& processor;
        ScopedRatio ratio;
        int width;
        std::unique_ptr<AffineTransformPanel> transform;
        std::unique_ptr<ImageManupulationPanel> image;
        std::unique_ptr<ScanPanel> scan;
    };

    // Sets a parameter the way a host does: normalised value, then the
    // listeners, on whichever thread calls it.
    inline void hostSets (KestruneAudioProcessor& p, const juce::String& id, float plain)
    {
        auto& parameter = param (p, id);
        parameter.setValueNotifyingHost (parameter.convertTo0to1 (plain));
    }

    // The same from a thread of its own (the host's audio thread); the
    // attachments then update the controls on the message thread later.
    inline void hostSetsFromAnotherThread (KestruneAudioProcessor& p, const juce::String& id, float plain)
    {
        std::thread host ([&] { hostSets (p, id, plain); });
        host.join();
    }

    // Counts a parameter's change gestures.
    struct GestureCounter : juce::AudioProcessorParameter::Listener
    {
        explicit GestureCounter (juce::AudioProcessorParameter& p) : parameter (p) { parameter.addListener (this); }
        ~GestureCounter() override { parameter.removeListener (this); }

        void parameterValueChanged (int, float) override { ++changes; }
        void parameterGestureChanged (int, bool starting) override { ++(starting ? begins : ends); }

        juce::AudioProcessorParameter& parameter;
        int begins = 0, ends = 0, changes = 0;
    };

    // Every control of a panel that is a toggling button, in child order.
    inline juce::Button& button (juce::OwnedArray<juce::Component>& list, int index)
    {
        return *dynamic_cast<juce::Button*> (list[index]);
    }

    //==========================================================================
    // Whether a display (an X server) is there for windows of our own.
    inline bool hasDisplay()
    {
        return juce::SystemStats::getEnvironmentVariable ("DISPLAY", {}).isNotEmpty()
            && juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
    }

#define KESTRUNE_NEEDS_DISPLAY() \
    if (! kestrune::test::panels::hasDisplay()) GTEST_SKIP() << "needs a display (run under Xvfb)"

    // A component shown in a window of its own, with mouse input through the
    // window's peer: JUCE then tracks which component is under the mouse.
    class OnScreen
    {
    public:
        explicit OnScreen (juce::Component& c) : component (c)
        {
            component.setTopLeftPosition (40, 40);
            component.addToDesktop (juce::ComponentPeer::windowIsTemporary);
            component.setVisible (true);
            pumpMessages (50);
        }

        ~OnScreen()
        {
            if (auto* peer = component.getPeer())
                peer->handleMouseEvent (juce::MouseInputSource::InputSourceType::mouse, { -100.0f, -100.0f }, {},
                                        juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                                        juce::Time::currentTimeMillis());
            component.removeFromDesktop();
        }

        // Moves the mouse to a point of `target` (a child or the component),
        // with the left button down or up.
        void mouse (juce::Component& target, juce::Point<float> local, bool buttonDown)
        {
            auto* peer = component.getPeer();
            ASSERT_NE (peer, nullptr);
            const auto inPeer = component.getLocalPoint (&target, local);
            const auto mods = buttonDown ? juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier) : juce::ModifierKeys();
            peer->handleMouseEvent (juce::MouseInputSource::InputSourceType::mouse, inPeer, mods,
                                    juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                                    juce::Time::currentTimeMillis());
        }

    private:
        juce::Component& component;
    };
}
