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

    PrivateXServer::PrivateXServer()
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
    }

    PrivateXServer::~PrivateXServer()
    {
        if (pid > 0)
        {
            ::kill (pid, SIGTERM);
            ::waitpid (pid, nullptr, 0);
        }
    }
}
