#include "XDisplay.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
    int ignoreXError (Display*, XErrorEvent*)
    {
        return 0;
    }
}

namespace kestrune::test::x11
{
    void prepareXlib()
    {
        XInitThreads();
        XSetErrorHandler (ignoreXError);
    }

    bool displayAvailable()
    {
        const char* name = std::getenv ("DISPLAY");
        if (name == nullptr || *name == 0)
            return false;

        Display* display = XOpenDisplay (name);
        if (display == nullptr)
            return false;

        XCloseDisplay (display);
        return true;
    }

    namespace
    {
        // Position of the lowest set bit of a channel mask, and its width.
        void maskShape (unsigned long mask, int& shift, int& bits)
        {
            shift = 0;
            bits = 0;
            if (mask == 0)
                return;
            while ((mask & 1) == 0) { mask >>= 1; ++shift; }
            while ((mask & 1) != 0) { mask >>= 1; ++bits; }
        }

        std::uint32_t channel (unsigned long pixel, unsigned long mask)
        {
            int shift, bits;
            maskShape (mask, shift, bits);
            if (bits == 0)
                return 0;
            const auto value = (pixel & mask) >> shift;
            const auto top = (1ul << bits) - 1;
            return (std::uint32_t) ((value * 255 + top / 2) / top);
        }
    }

    ScreenPixels captureScreen (int x, int y, int width, int height)
    {
        ScreenPixels result;
        if (width <= 0 || height <= 0)
            return result;

        Display* display = XOpenDisplay (nullptr);
        if (display == nullptr)
            return result;

        XSync (display, False);
        XImage* image = XGetImage (display, DefaultRootWindow (display), x, y, (unsigned) width, (unsigned) height,
                                   AllPlanes, ZPixmap);

        if (image != nullptr)
        {
            result.width = width;
            result.height = height;
            result.argb.resize ((size_t) width * (size_t) height);

            for (int row = 0; row < height; ++row)
                for (int col = 0; col < width; ++col)
                {
                    const auto pixel = XGetPixel (image, col, row);
                    result.argb[(size_t) row * (size_t) width + (size_t) col]
                        = 0xff000000u | (channel (pixel, image->red_mask) << 16)
                          | (channel (pixel, image->green_mask) << 8) | channel (pixel, image->blue_mask);
                }

            XDestroyImage (image);
        }

        XCloseDisplay (display);
        return result;
    }

    namespace
    {
        template <typename Action>
        bool withXTest (Action&& action)
        {
            Display* display = XOpenDisplay (nullptr);
            if (display == nullptr)
                return false;

            int eventBase = 0, errorBase = 0, major = 0, minor = 0;
            const bool available = XTestQueryExtension (display, &eventBase, &errorBase, &major, &minor) != 0;

            if (available)
            {
                action (display);
                XSync (display, False);
            }

            XCloseDisplay (display);
            return available;
        }
    }

    bool movePointer (int x, int y)
    {
        return withXTest ([x, y] (Display* display) { XTestFakeMotionEvent (display, -1, x, y, CurrentTime); });
    }

    bool pressLeftButton (bool down)
    {
        return withXTest ([down] (Display* display) { XTestFakeButtonEvent (display, 1, down ? True : False, CurrentTime); });
    }

    bool typeKeys (const std::vector<unsigned long>& keysyms)
    {
        return withXTest ([&keysyms] (Display* display)
        {
            for (auto keysym : keysyms)
                XTestFakeKeyEvent (display, XKeysymToKeycode (display, keysym), True, CurrentTime);

            for (auto k = keysyms.rbegin(); k != keysyms.rend(); ++k)
                XTestFakeKeyEvent (display, XKeysymToKeycode (display, *k), False, CurrentTime);
        });
    }

    std::vector<WindowArea> shownTopLevelWindows()
    {
        std::vector<WindowArea> shown;

        Display* display = XOpenDisplay (nullptr);
        if (display == nullptr)
            return shown;

        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;

        if (XQueryTree (display, DefaultRootWindow (display), &root, &parent, &children, &count) != 0)
        {
            for (unsigned int i = 0; i < count; ++i)
            {
                XWindowAttributes attributes;
                if (XGetWindowAttributes (display, children[i], &attributes) != 0 && attributes.map_state == IsViewable)
                    shown.push_back ({ attributes.x, attributes.y, attributes.width, attributes.height });
            }

            XFree (children);
        }

        XCloseDisplay (display);
        return shown;
    }

    namespace
    {
        template <typename Action>
        auto withDisplay (Action&& action, decltype (action (nullptr)) otherwise)
        {
            Display* display = XOpenDisplay (nullptr);
            if (display == nullptr)
                return otherwise;

            auto result = action (display);
            XCloseDisplay (display);
            return result;
        }
    }

    void iconifyWindow (unsigned long window)
    {
        withDisplay ([window] (Display* display)
        {
            XIconifyWindow (display, (Window) window, DefaultScreen (display));
            XSync (display, False);
            return true;
        }, false);
    }

    void restoreWindow (unsigned long window)
    {
        withDisplay ([window] (Display* display)
        {
            XMapWindow (display, (Window) window);
            XSync (display, False);
            return true;
        }, false);
    }

    void switchToWorkspace (int workspace)
    {
        withDisplay ([workspace] (Display* display)
        {
            XEvent event {};
            event.xclient.type = ClientMessage;
            event.xclient.window = DefaultRootWindow (display);
            event.xclient.message_type = XInternAtom (display, "_NET_CURRENT_DESKTOP", False);
            event.xclient.format = 32;
            event.xclient.data.l[0] = workspace;
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent (display, DefaultRootWindow (display), False,
                        SubstructureRedirectMask | SubstructureNotifyMask, &event);
            XSync (display, False);
            return true;
        }, false);
    }

    long windowManagerState (unsigned long window)
    {
        return withDisplay ([window] (Display* display)
        {
            const auto wmState = XInternAtom (display, "WM_STATE", False);
            Atom type = 0;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            long state = -1;

            if (XGetWindowProperty (display, (Window) window, wmState, 0, 1, False, wmState,
                                    &type, &format, &items, &after, &data) == Success
                && data != nullptr && format == 32 && items >= 1)
                state = *reinterpret_cast<long*> (data);

            if (data != nullptr)
                XFree (data);

            return state;
        }, -1L);
    }

    bool isViewable (unsigned long window)
    {
        return withDisplay ([window] (Display* display)
        {
            XWindowAttributes attributes;
            return XGetWindowAttributes (display, (Window) window, &attributes) != 0
                && attributes.map_state == IsViewable;
        }, false);
    }

    bool windowManagerRunning()
    {
        return withDisplay ([] (Display* display)
        {
            return XGetSelectionOwner (display, XInternAtom (display, "WM_S0", False)) != 0;
        }, false);
    }

    unsigned long focusedWindow()
    {
        return withDisplay ([] (Display* display)
        {
            Window focus = 0;
            int revertTo = 0;
            XGetInputFocus (display, &focus, &revertTo);
            return (unsigned long) focus;
        }, 0ul);
    }

    unsigned long firstChildWindow (unsigned long window)
    {
        return withDisplay ([window] (Display* display)
        {
            Window root = 0, parent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            unsigned long first = 0;

            if (XQueryTree (display, (Window) window, &root, &parent, &children, &count) != 0 && children != nullptr)
            {
                if (count > 0)
                    first = children[0];
                XFree (children);
            }

            return first;
        }, 0ul);
    }

    WindowArea windowArea (unsigned long window)
    {
        return withDisplay ([window] (Display* display)
        {
            XWindowAttributes attributes;
            if (XGetWindowAttributes (display, (Window) window, &attributes) == 0)
                return WindowArea {};
            return WindowArea { attributes.x, attributes.y, attributes.width, attributes.height };
        }, WindowArea {});
    }

    void fillForRedrawing (unsigned long window)
    {
        withDisplay ([window] (Display* display)
        {
            XWindowAttributes attributes;
            if (XGetWindowAttributes (display, (Window) window, &attributes) == 0)
                return false;

            XGCValues values {};
            values.foreground = (unsigned long) (sentinelColour & 0xffffffu); // 24-bit TrueColor, as Xvfb runs here
            values.subwindow_mode = IncludeInferiors;
            auto gc = XCreateGC (display, (Window) window, GCForeground | GCSubwindowMode, &values);
            XFillRectangle (display, (Window) window, gc, 0, 0, (unsigned) attributes.width, (unsigned) attributes.height);
            XFreeGC (display, gc);

            // The window's background is none (JUCE's): the clear changes no
            // pixel, and only sends the Expose.
            XClearArea (display, (Window) window, 0, 0, 0, 0, True);
            XSync (display, False);
            return true;
        }, false);
    }

    PrivateXServer::PrivateXServer (bool withWindowManager)
    {
        int fds[2];
        if (::pipe (fds) != 0)
            return;

        const int child = ::fork();
        if (child < 0)
        {
            ::close (fds[0]);
            ::close (fds[1]);
            return;
        }

        if (child == 0)
        {
            // Xvfb writes its display number to this descriptor once it
            // accepts connections.
            ::close (fds[0]);
            const int quiet = ::open ("/dev/null", O_WRONLY);
            if (quiet >= 0)
            {
                ::dup2 (quiet, 1);
                ::dup2 (quiet, 2);
            }
            const auto fd = std::to_string (fds[1]);
            ::execlp ("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24",
                      "-nolisten", "tcp", (char*) nullptr);
            ::_exit (127);
        }

        ::close (fds[1]);

        std::string number;
        pollfd wait { fds[0], POLLIN, 0 };
        while (::poll (&wait, 1, 10000) > 0)
        {
            char c;
            if (::read (fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        ::close (fds[0]);

        if (number.empty())
        {
            ::kill (child, SIGTERM);
            ::waitpid (child, nullptr, 0);
            return;
        }

        pid = child;
        ::setenv ("DISPLAY", (":" + number).c_str(), 1);

        if (withWindowManager)
            startWindowManager();
    }

    void PrivateXServer::startWindowManager()
    {
        const int child = ::fork();
        if (child < 0)
            return;

        if (child == 0)
        {
            const int quiet = ::open ("/dev/null", O_WRONLY);
            if (quiet >= 0)
            {
                ::dup2 (quiet, 1);
                ::dup2 (quiet, 2);
            }
            ::execlp ("openbox", "openbox", "--sm-disable", (char*) nullptr);
            ::_exit (127);
        }

        // Ready once it owns the screen's window-manager selection (ICCCM),
        // which it takes after redirecting the screen's top-level windows.
        Display* display = XOpenDisplay (nullptr);
        bool ready = false, ended = false;

        for (int i = 0; display != nullptr && i < 1000 && ! ready && ! ended; ++i)
        {
            ready = XGetSelectionOwner (display, XInternAtom (display, "WM_S0", False)) != 0;
            ended = ! ready && ::waitpid (child, nullptr, WNOHANG) == child; // not installed, or failed

            if (! ready && ! ended)
                ::usleep (10000);
        }

        if (display != nullptr)
            XCloseDisplay (display);

        if (! ready)
        {
            if (! ended)
            {
                ::kill (child, SIGTERM);
                ::waitpid (child, nullptr, 0);
            }

            return;
        }

        windowManagerPid = child;
    }

    PrivateXServer::~PrivateXServer()
    {
        if (windowManagerPid > 0)
        {
            ::kill (windowManagerPid, SIGTERM);
            ::waitpid (windowManagerPid, nullptr, 0);
        }

        if (pid > 0)
        {
            ::kill (pid, SIGTERM);
            ::waitpid (pid, nullptr, 0);
        }
    }
}
