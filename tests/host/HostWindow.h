#pragma once

#include "HostSupport.h"

#include <atomic>
#include <thread>

// The plug-in's window as a host shows it, and audio running meanwhile.
namespace kestrune::host
{
    // Delivers the host's messages (and through them the plug-in's: the
    // plug-in runs on the host's run loop) for about `milliseconds`.
    void pumpFor (int milliseconds);

    // A left click at a point of the screen by the X server's pointer, as a
    // user's click arrives: move, press, release, the host's messages
    // delivered in between. False when the X server cannot fake input.
    bool clickOnScreen (juce::Point<int> at);

    // The instance's editor (the host's view of the plug-in window) in a
    // borderless window on the desktop at `topLeft`, shown, with the plug-in's
    // own window attached inside it. The window follows the view's size
    // unless the host imposes one. Closed on destruction.
    class HostedEditor
    {
    public:
        explicit HostedEditor (juce::AudioPluginInstance& instance, juce::Point<int> topLeft = { 0, 0 });
        ~HostedEditor();

        juce::AudioProcessorEditor* get() const noexcept { return editor.get(); }

        // What the host does when the user drags its window to this size:
        // asks the plug-in, which may adjust it, then resizes both sides.
        void resizeTo (int width, int height, int settleMilliseconds = 300);

        // What a host does that sets the size without asking (Ardour, when
        // its window frame is dragged): its window and the plug-in's window
        // take this size. A size the plug-in then asks for is taken as above.
        // Returns once the plug-in's window has the size, kept up for at
        // least `settleMilliseconds` meanwhile.
        void imposeSize (int width, int height, int settleMilliseconds = 300);

        // imposeSize, then what the screen shows once the plug-in has drawn
        // all of its window at that size (imposed again should a resize the
        // plug-in asked for earlier have reached the X server after it).
        // Invalid when the size does not hold.
        juce::Image imposedAndPainted (int width, int height);

        // The view's size.
        juce::Rectangle<int> size() const;

        // What a host does to hide its window and show it again: unmaps or
        // maps its own X window, holding the plug-in's, without a word to the
        // plug-in. The request reaches the X server at once, as a toolkit
        // sends it when it goes idle.
        void setShown (bool shown);

        // What a user does to the host's window through the window manager:
        // minimises it (XIconifyWindow) or restores it; switches to another
        // workspace and back (0 is the window's own). Each returns once the
        // window manager has done it (false if it did not within 10 s).
        bool setMinimised (bool minimised);
        bool switchToWorkspace (int workspace);

        // What the screen shows of the host's window.
        juce::Image shown() const;

        // The same once the plug-in has drawn all of its window again (see
        // kestrune::test::x11::fillForRedrawing), at whatever size it has.
        juce::Image shownWhenPainted() const;

        // The plug-in's own X window (inside the host's), 0 when none, and
        // its size as the X server has it, while the host's windows holding
        // it show all of it (else empty).
        unsigned long pluginWindow() const;
        juce::Rectangle<int> pluginWindowSize() const;

        // A left click at a point of the window (its own coordinates) as
        // clickOnScreen makes it; then the pointer leaves the window.
        bool click (juce::Point<int> local);

        // What the screen shows at a point of the window.
        juce::Colour pixelAt (juce::Point<int> local) const;

        void close();

    private:
        struct Frame  : public juce::Component
        {
            void childBoundsChanged (juce::Component* child) override;
            void paint (juce::Graphics& g) override { g.fillAll (juce::Colours::black); }
        };

        juce::AudioPluginInstance& instance;
        Frame frame;
        std::unique_ptr<juce::AudioProcessorEditor> editor;
    };

    // Runs the instance's audio on a thread of its own, 512-sample blocks
    // paced at about real time, transport playing, until destroyed.
    class AudioRunner
    {
    public:
        explicit AudioRunner (juce::AudioPluginInstance& instance);
        ~AudioRunner();

        long blocks() const noexcept { return count.load(); }

    private:
        juce::AudioPluginInstance& instance;
        HostPlayHead head;
        std::atomic<bool> running { true };
        std::atomic<long> count { 0 };
        std::thread thread;
    };

    // The "lastSizeMainWindow" size the plug-in's saved state holds, or an
    // empty rectangle when it holds none.
    juce::Rectangle<int> savedWindowSize (juce::AudioPluginInstance& instance);

    // The "path" of the picture the plug-in's saved state holds (empty when none).
    juce::String savedPicturePath (juce::AudioPluginInstance& instance);

    // The Record button's centre in the plug-in window at its default size
    // (950 x 534): the image panel's slot (620, 3, 139, 528) and the button
    // at the panel's bottom (0, 492, 139, 36).
    constexpr int recordButtonX = 620 + 139 / 2, recordButtonY = 3 + 492 + 36 / 2;
}
