#pragma once

#include <cstdint>
#include <vector>

// Xlib set-up for test programs that open real windows. Kept apart from JUCE's
// headers: Xlib's macros (None, Bool, Status) clash with JUCE's names.
namespace kestrune::test::x11
{
    // Call first thing in main(), before the JUCE initialiser: makes Xlib safe
    // for the threads JUCE starts, and turns X protocol errors (a window that
    // vanished between two requests, say) into ignored events instead of
    // Xlib's default, which ends the process.
    void prepareXlib();

    // True when an X server answers on $DISPLAY.
    bool displayAvailable();

    // What the X screen shows in a rectangle (screen coordinates), as
    // 0xffRRGGBB words row by row, whatever window each pixel belongs to: a
    // plug-in's editor draws into an X window of its own inside the host's,
    // so only the screen holds the picture a user sees. Empty on failure.
    struct ScreenPixels
    {
        int width = 0, height = 0;
        std::vector<std::uint32_t> argb;
    };

    ScreenPixels captureScreen (int x, int y, int width, int height);

    // Input as the X server itself produces it for a real mouse (the XTEST
    // extension): it reaches whichever window lies under the pointer, a
    // plug-in's own window inside a host's included. False when the server
    // offers no XTEST.
    bool movePointer (int x, int y);
    bool pressLeftButton (bool down);

    // Keys pressed in this order and released in the reverse order, as a
    // user types a combination on a real keyboard (XTEST); they go to the
    // window that has the X server's keyboard focus. Keys are X keysyms.
    constexpr unsigned long shiftKey = 0xffe1, controlKey = 0xffe3, returnKey = 0xff0d;
    bool typeKeys (const std::vector<unsigned long>& keysyms);

    // The top-level windows the X server shows now (mapped, whoever made
    // them), in screen coordinates.
    struct WindowArea
    {
        int x = 0, y = 0, width = 0, height = 0;
    };

    std::vector<WindowArea> shownTopLevelWindows();

    // What a user does through a window manager: minimise a top-level window
    // (XIconifyWindow), restore it (mapping it again), and switch to another
    // workspace (EWMH _NET_CURRENT_DESKTOP, counted from 0). Each returns
    // once the request has reached the server.
    void iconifyWindow (unsigned long window);
    void restoreWindow (unsigned long window);
    void switchToWorkspace (int workspace);

    // The window manager's state of a top-level window (ICCCM WM_STATE: 1
    // Normal, 3 Iconic; -1 when it has none), and whether the window is
    // viewable (mapped, with every window above it).
    long windowManagerState (unsigned long window);
    bool isViewable (unsigned long window);

    // True when a window manager runs on the display (it owns WM_S0).
    bool windowManagerRunning();

    // The window that has the X server's keyboard focus (0 when none).
    unsigned long focusedWindow();

    // A window's first child (0 when none), and a window's size.
    unsigned long firstChildWindow (unsigned long window);
    WindowArea windowArea (unsigned long window);

    // Fills a window of another program with `sentinelColour` and has the
    // X server tell that program that all of it must be drawn again (an
    // Expose of the whole window, queued after every change of its size the
    // server made before): once the screen shows no sentinel pixel there,
    // the program has drawn all of it since, at the size it has now.
    constexpr std::uint32_t sentinelColour = 0xffff00ffu;
    void fillForRedrawing (unsigned long window);

    // A virtual X server (Xvfb, 1920 x 1080) of the program's own, which
    // $DISPLAY names while it runs: for a program that reads the screen and
    // must not see other programs' windows. Start it before the JUCE
    // initialiser; started() is false when Xvfb could not be run.
    //
    // With a window manager (Debian's openbox, as a user's desktop runs one)
    // the server is ready once openbox manages its screen: it then frames,
    // focuses, iconifies and restores top-level windows as on a desktop, and
    // hands the keyboard focus on when a window goes. windowManagerRunning()
    // is false when openbox could not be started.
    class PrivateXServer
    {
    public:
        explicit PrivateXServer (bool withWindowManager = false);
        ~PrivateXServer();

        bool started() const noexcept { return pid > 0; }
        bool windowManagerRunning() const noexcept { return windowManagerPid > 0; }

        // The server's process (its CPU time is part of what a window costs).
        int processId() const noexcept { return pid; }

        PrivateXServer (const PrivateXServer&) = delete;
        PrivateXServer& operator= (const PrivateXServer&) = delete;

    private:
        void startWindowManager();

        int pid = -1, windowManagerPid = -1;
    };
}
