#pragma once

#include "TestSupport.h"

#include <dlfcn.h>

// Key presses as the windowing system delivers them, and the separate picture
// window as the tests find it on the desktop.
namespace kestrune::test::keys
{
    inline const juce::ModifierKeys none {};
    inline const juce::ModifierKeys shift { juce::ModifierKeys::shiftModifier };
    inline const juce::ModifierKeys ctrl { juce::ModifierKeys::ctrlModifier };
    inline const juce::ModifierKeys alt { juce::ModifierKeys::altModifier };

    // A key pressed with `held` down: the key event carries the modifiers, and
    // so does the global modifier state while the press is handled.
    inline juce::KeyPress key (int code, juce::ModifierKeys held, juce::juce_wchar text = 0)
    {
        return juce::KeyPress (code, held, text);
    }

    template <typename Handler>
    bool pressWith (juce::ModifierKeys held, Handler&& handler)
    {
        juce::ModifierKeys::currentModifiers = held;
        const bool handled = handler();
        juce::ModifierKeys::currentModifiers = none;
        return handled;
    }

    inline bool press (juce::Component& target, int code, juce::ModifierKeys held, juce::juce_wchar text = 0)
    {
        return pressWith (held, [&] { return target.keyPressed (key (code, held, text)); });
    }

    // A key pressed in a window: the peer hands it to the component that has
    // the keyboard focus, which passes it up until one handles it.
    inline bool pressIn (juce::ComponentPeer& window, int code, juce::ModifierKeys held, juce::juce_wchar text = 0)
    {
        return pressWith (held, [&] { return window.handleKeyPress (key (code, held, text)); });
    }

    // Shift+Z, Shift+X and Ctrl+Return as X11 reports them.
    inline bool undoKey (juce::Component& editor, juce::ModifierKeys extra = none)
    {
        return press (editor, 'Z', shift.withFlags (extra.getRawFlags()), 'Z');
    }

    inline bool redoKey (juce::Component& editor, juce::ModifierKeys extra = none)
    {
        return press (editor, 'X', shift.withFlags (extra.getRawFlags()), 'X');
    }

    inline bool windowKey (juce::Component& editor, juce::ModifierKeys extra = none)
    {
        return press (editor, juce::KeyPress::returnKey, ctrl.withFlags (extra.getRawFlags()));
    }

    // Separate picture windows on the desktop (at most one is expected).
    inline std::vector<SeparateImageWindow*> separateWindows()
    {
        std::vector<SeparateImageWindow*> found;
        auto& desktop = juce::Desktop::getInstance();

        for (int i = 0; i < desktop.getNumComponents(); ++i)
            if (auto* w = dynamic_cast<SeparateImageWindow*> (desktop.getComponent (i)))
                found.push_back (w);

        return found;
    }

    inline SeparateImageWindow* separateWindow()
    {
        const auto found = separateWindows();
        return found.size() == 1 ? found.front() : nullptr;
    }

    // Xlib's default error handler ends the process, and without a window
    // manager some of the window hints JUCE sets fail harmlessly (an atom the
    // absent manager never made). A plug-in's host installs its own handler;
    // here one that ignores the error is installed, in the Xlib that JUCE
    // loads, before the first window.
    inline void ignoreXErrors()
    {
        static const bool installed = []
        {
            using Handler = int (*) (void*, void*);
            using SetHandler = Handler (*) (Handler);

            auto* lib = ::dlopen ("libX11.so.6", RTLD_LAZY | RTLD_GLOBAL);
            if (lib == nullptr)
                return false;

            auto set = reinterpret_cast<SetHandler> (::dlsym (lib, "XSetErrorHandler"));
            if (set == nullptr)
                return false;

            set ([] (void*, void*) { return 0; });
            return true;
        }();

        juce::ignoreUnused (installed);
    }

    // Windows need an X server; without one the window tests skip.
    inline bool haveDisplay()
    {
        if (juce::SystemStats::getEnvironmentVariable ("DISPLAY", {}).isEmpty())
            return false;

        ignoreXErrors();
        return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
    }
}
