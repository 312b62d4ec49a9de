#pragma once

#include "TestSupport.h"
#include "JuceAssertions.h"

#include <memory>
#include <optional>
#include <string>

// Helpers for tests of the plug-in window: the real editor for a real
// processor, shown in a real window on the (virtual) X display when a test
// needs one, with pixel and geometry helpers.
namespace kestrune::test
{
    // The editor as a host holds it: made by the processor's createEditor (as
    // its active editor) and, on destruction, handed back to the processor
    // before it is deleted.
    class EditorHandle
    {
    public:
        explicit EditorHandle (KestruneAudioProcessor& processor);
        ~EditorHandle();

        KestruneAudioProcessorEditor& operator*() const noexcept   { return *editor; }
        KestruneAudioProcessorEditor* operator->() const noexcept  { return editor.get(); }
        KestruneAudioProcessorEditor* get() const noexcept         { return editor.get(); }

        // Closes the editor now (the handle is then empty).
        void close();

        EditorHandle (const EditorHandle&) = delete;
        EditorHandle& operator= (const EditorHandle&) = delete;

    private:
        KestruneAudioProcessor& processor;
        std::unique_ptr<KestruneAudioProcessorEditor> editor;
    };

    // True when an X server answers on $DISPLAY (./scripts/test.sh starts a
    // virtual one when none is set).
    bool displayAvailable();

    // Puts a component on the desktop as a borderless top-level window at
    // `topLeft`, shows it and lets the window system map it; takes it off the
    // desktop again on destruction.
    class ScopedDesktopWindow
    {
    public:
        explicit ScopedDesktopWindow (juce::Component& component, juce::Point<int> topLeft = { 0, 0 });
        ~ScopedDesktopWindow();

        juce::ComponentPeer* peer() const { return component.getPeer(); }

        ScopedDesktopWindow (const ScopedDesktopWindow&) = delete;
        ScopedDesktopWindow& operator= (const ScopedDesktopWindow&) = delete;

    private:
        juce::Component& component;
    };

    //==========================================================================
    // Pictures of components.

    // The component with its children, as the screen would show it.
    juce::Image snapshot (juce::Component& component);

    // Only the component's own paint(), without its children, on an opaque
    // image of the component's size filled with `under` first.
    juce::Image paintOwn (juce::Component& component, juce::Colour under = juce::Colours::black);

    // True when each of the red, green, blue and alpha channels of `a` and `b`
    // differ by at most `tolerance`.
    bool coloursNear (juce::Colour a, juce::Colour b, int tolerance = 2);

    // `over` laid over `under` with the given coverage (0..1).
    juce::Colour blendOver (juce::Colour under, juce::Colour over, float coverage);

    // Readable form for failure messages: "ARGB ffaabbcc".
    std::string describe (juce::Colour c);

    //==========================================================================
    // Geometry.

    // Bounds of a child as its parent sees them, through any transform.
    juce::Rectangle<float> boundsInParent (juce::Component& child);

    // True when the editor's constrainer leaves `size` as it is (so a host or
    // the resize corner would accept it unchanged).
    bool constrainerKeeps (KestruneAudioProcessorEditor& editor, juce::Rectangle<int> size);

    // The window-size child of the processor's state (invalid when missing).
    juce::ValueTree windowSizeChild (KestruneAudioProcessor& processor);

    //==========================================================================
    // Input.

    // A mouse event on `component` at `position` (component coordinates) from
    // the desktop's main mouse source, as JUCE would deliver it.
    juce::MouseEvent mouseEvent (juce::Component& component, juce::Point<float> position,
                                 juce::ModifierKeys modifiers = {}, int clicks = 1,
                                 std::optional<juce::Point<float>> downPosition = {}, bool dragged = false);

    // Presses at `from` on `component`, drags to `to` and releases there, with
    // real mouse events delivered to the component's handlers.
    void dragWith (juce::Component& component, juce::Point<float> from, juce::Point<float> to,
                   juce::ModifierKeys buttonAndModifiers = juce::ModifierKeys::leftButtonModifier);

    // `times` left clicks in quick succession (2: a double-click) at the
    // centre of `target`, delivered to its window's peer as the windowing
    // system delivers them: move, press, release. The peer finds the
    // component under the pointer, which takes the focus as on a real click.
    void click (juce::Component& target, int times = 1);
}
