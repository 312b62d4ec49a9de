#pragma once

#include "PictureTestSupport.h"

#include <cstdlib>
#include <dlfcn.h>
#include <memory>

// Helpers for tests of the canvas and its frame: a processor with a frame of a
// chosen canvas size, mouse events built the way the window system delivers
// them, and painting into an image.
namespace kestrune::test::canvas
{
    using Mods = juce::ModifierKeys;

    constexpr int left  = Mods::leftButtonModifier;
    constexpr int right = Mods::rightButtonModifier;
    constexpr int shift = Mods::shiftModifier;

    inline bool settle (KestruneAudioProcessor& p, int timeoutMs = 5000);

    // Without DISPLAY, JUCE opens ":0.0" as soon as anything asks the desktop
    // (a mouse source, the displays), and on a shared machine that may be
    // someone else's virtual server: when it goes away, Xlib ends this
    // process. A test run without a display points JUCE at one that cannot
    // exist instead, before the desktop is first asked.
    inline void stayHeadlessWithoutADisplay()
    {
        static const bool done = []
        {
            if (std::getenv ("DISPLAY") == nullptr)
                ::setenv ("DISPLAY", ":65000", 0);
            return true;
        }();

        juce::ignoreUnused (done);
    }

    // A processor and a canvas frame whose canvas is w x h (the strip takes 10
    // pixels above it).
    struct Rig
    {
        Rig (int w, int h) : processor ((stayHeadlessWithoutADisplay(), makeProcessor())),
                             frame (std::make_unique<ParentTargetArea> (*processor))
        {
            frame->setSize (w, h + 10);
            settle (*processor);
        }

        ~Rig()
        {
            Mods::currentModifiers = Mods();
            frame.reset();
        }

        KestruneAudioProcessor& p() { return *processor; }
        TargetArea& canvas() { return frame->targetArea; }

        std::unique_ptr<KestruneAudioProcessor> processor;
        std::unique_ptr<ParentTargetArea> frame;
    };

    // An event for the canvas at pixel (x, y), from the desktop's main mouse source.
    inline juce::MouseEvent eventAt (TargetArea& canvas, int x, int y, int modifiers,
                                     juce::Point<int> downAt, bool dragged)
    {
        stayHeadlessWithoutADisplay();
        const auto now = juce::Time::getCurrentTime();
        return juce::MouseEvent (juce::Desktop::getInstance().getMainMouseSource(),
                                 juce::Point<float> ((float) x, (float) y), Mods (modifiers),
                                 juce::MouseInputSource::defaultPressure,
                                 juce::MouseInputSource::defaultOrientation,
                                 juce::MouseInputSource::defaultRotation,
                                 juce::MouseInputSource::defaultTiltX,
                                 juce::MouseInputSource::defaultTiltY,
                                 &canvas, &canvas, now, downAt.toFloat(), now, 1, dragged);
    }

    // One gesture on the canvas. Each step first sets the live modifier state
    // as the window system does before it delivers the event: buttons are
    // down from the press to the release, and released when mouseUp arrives.
    class Gesture
    {
    public:
        explicit Gesture (TargetArea& c) : canvas (c) {}

        Gesture& press (int x, int y, int modifiers)
        {
            downAt = { x, y };
            Mods::currentModifiers = Mods (modifiers);
            canvas.mouseDown (eventAt (canvas, x, y, modifiers, downAt, false));
            return *this;
        }

        Gesture& drag (int x, int y, int modifiers)
        {
            Mods::currentModifiers = Mods (modifiers);
            canvas.mouseDrag (eventAt (canvas, x, y, modifiers, downAt, true));
            return *this;
        }

        Gesture& release (int x, int y, int modifiers)
        {
            Mods::currentModifiers = Mods (modifiers).withoutMouseButtons();
            canvas.mouseUp (eventAt (canvas, x, y, modifiers, downAt, downAt != juce::Point<int> (x, y)));
            Mods::currentModifiers = Mods();
            return *this;
        }

        // Press and release at one spot.
        Gesture& click (int x, int y, int modifiers) { return press (x, y, modifiers).release (x, y, modifiers); }

    private:
        TargetArea& canvas;
        juce::Point<int> downAt;
    };

    inline void wheel (TargetArea& canvas, float deltaY)
    {
        juce::MouseWheelDetails details;
        details.deltaX = 0.0f;
        details.deltaY = deltaY;
        details.isReversed = false;
        details.isSmooth = false;
        details.isInertial = false;
        canvas.mouseWheelMove (eventAt (canvas, 10, 10, 0, { 10, 10 }, false), details);
    }

    // Waits until a worker pass that began after the call has finished and no
    // further pass is asked for: the published picture then shows every change
    // made before the call.
    inline bool settle (KestruneAudioProcessor& p, int timeoutMs)
    {
        const auto passes = p.workerPasses.load();
        return waitFor ([&p, passes]
        {
            return p.workerPasses.load() >= passes + 2
                && ! p.reloadImage.load() && ! p.needColourUpdate.load() && ! p.needTransformUpdate.load();
        }, timeoutMs);
    }

    // What a reader drawing at w x h is given (retried while the writer swaps).
    inline FinishedPicture::ForDisplay shownAt (FinishedPicture& finished, int w, int h)
    {
        FinishedPicture::ForDisplay result;
        while (! finished.tryForDisplay (w, h, result))
            juce::Thread::yield();
        return result;
    }

    // A window can only appear with an X display (the tests also run without one).
    inline bool displayAvailable()
    {
        const auto* display = std::getenv ("DISPLAY");
        return display != nullptr && juce::String (display) != ":65000"
                && juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
    }

    // Xlib's default error handler ends the process, and a window system
    // without a window manager answers some of JUCE's window properties with
    // harmless errors. A program that is not a JUCE application gets no
    // handler of JUCE's, so the tests that open windows install a quiet one.
    inline void tolerateXErrors()
    {
        static const bool installed = []
        {
            using Handler = int (*) (void*, void*);
            using SetHandler = Handler (*) (Handler);

            if (auto* x11 = ::dlopen ("libX11.so.6", RTLD_NOW | RTLD_NOLOAD))
                if (auto set = reinterpret_cast<SetHandler> (::dlsym (x11, "XSetErrorHandler")))
                {
                    set ([] (void*, void*) { return 0; });
                    return true;
                }

            return false;
        }();

        juce::ignoreUnused (installed);
    }

    inline bool near (juce::Colour a, juce::Colour b, int tolerance = 2)
    {
        return std::abs (a.getRed() - b.getRed()) <= tolerance
            && std::abs (a.getGreen() - b.getGreen()) <= tolerance
            && std::abs (a.getBlue() - b.getBlue()) <= tolerance
            && std::abs (a.getAlpha() - b.getAlpha()) <= tolerance;
    }

    // The drop's confirmation boxes open now, oldest first.
    inline std::vector<juce::Component::SafePointer<juce::AlertWindow>> confirmationBoxes()
    {
        return openAlertWindows ("Confirmation");
    }

    // Clicks the box's button with this text, as the user would.
    inline void clickBoxButton (juce::AlertWindow& box, const juce::String& text)
    {
        for (auto* child : box.getChildren())
            if (auto* button = dynamic_cast<juce::TextButton*> (child))
                if (button->getButtonText() == text)
                    button->triggerClick();
    }
}
