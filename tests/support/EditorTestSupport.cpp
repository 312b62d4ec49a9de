#include "EditorTestSupport.h"
#include "XDisplay.h"

#include <cstdio>
#include <limits>

namespace kestrune::test
{
    EditorHandle::EditorHandle (KestruneAudioProcessor& p)
        : processor (p),
          editor (dynamic_cast<KestruneAudioProcessorEditor*> (p.createEditorIfNeeded()))
    {
        if (editor == nullptr)
            throw std::runtime_error ("the processor made no Kestrune editor");
    }

    EditorHandle::~EditorHandle()
    {
        close();
    }

    void EditorHandle::close()
    {
        if (editor != nullptr)
        {
            processor.editorBeingDeleted (editor.get());
            editor.reset();
        }
    }

    bool displayAvailable()
    {
        return x11::displayAvailable();
    }

    ScopedDesktopWindow::ScopedDesktopWindow (juce::Component& c, juce::Point<int> topLeft)
        : component (c)
    {
        component.setTopLeftPosition (topLeft);
        component.addToDesktop (0);
        component.setVisible (true);
        pumpMessages (100);
    }

    ScopedDesktopWindow::~ScopedDesktopWindow()
    {
        if (component.isOnDesktop())
            component.removeFromDesktop();
        pumpMessages (20);
    }

    juce::Image snapshot (juce::Component& component)
    {
        return component.createComponentSnapshot (component.getLocalBounds(), true, 1.0f);
    }

    juce::Image paintOwn (juce::Component& component, juce::Colour under)
    {
        juce::Image image (juce::Image::ARGB, std::max (1, component.getWidth()), std::max (1, component.getHeight()), true);
        juce::Graphics g (image);
        g.fillAll (under);
        component.paint (g);
        return image;
    }

    bool coloursNear (juce::Colour a, juce::Colour b, int tolerance)
    {
        auto close = [tolerance] (int x, int y) { return std::abs (x - y) <= tolerance; };
        return close (a.getRed(), b.getRed()) && close (a.getGreen(), b.getGreen())
            && close (a.getBlue(), b.getBlue()) && close (a.getAlpha(), b.getAlpha());
    }

    juce::Colour blendOver (juce::Colour under, juce::Colour over, float coverage)
    {
        return under.interpolatedWith (over, coverage);
    }

    std::string describe (juce::Colour c)
    {
        return "ARGB " + c.toString().toStdString();
    }

    juce::Rectangle<float> boundsInParent (juce::Component& child)
    {
        return child.getBounds().toFloat().transformedBy (child.getTransform());
    }

    bool constrainerKeeps (KestruneAudioProcessorEditor& editor, juce::Rectangle<int> size)
    {
        auto* constrainer = editor.getConstrainer();
        if (constrainer == nullptr)
            return true;

        auto checked = size;
        const auto everywhere = juce::Rectangle<int> (0, 0, std::numeric_limits<int>::max() / 2,
                                                      std::numeric_limits<int>::max() / 2);
        constrainer->checkBounds (checked, size, everywhere, false, false, false, false);
        return checked == size;
    }

    juce::ValueTree windowSizeChild (KestruneAudioProcessor& processor)
    {
        return processor.getStateChild ("lastSizeMainWindow");
    }

    juce::MouseEvent mouseEvent (juce::Component& component, juce::Point<float> position,
                                 juce::ModifierKeys modifiers, int clicks,
                                 std::optional<juce::Point<float>> downPosition, bool dragged)
    {
        const auto now = juce::Time::getCurrentTime();
        return juce::MouseEvent (juce::Desktop::getInstance().getMainMouseSource(), position, modifiers,
                                 juce::MouseInputSource::defaultPressure,
                                 juce::MouseInputSource::defaultOrientation, juce::MouseInputSource::defaultRotation,
                                 juce::MouseInputSource::defaultTiltX, juce::MouseInputSource::defaultTiltY,
                                 &component, &component, now, downPosition.value_or (position), now,
                                 clicks, dragged);
    }

    void dragWith (juce::Component& component, juce::Point<float> from, juce::Point<float> to,
                   juce::ModifierKeys buttonAndModifiers)
    {
        component.mouseDown (mouseEvent (component, from, buttonAndModifiers, 1));

        // A few steps on the way, as a real drag delivers them.
        for (int step = 1; step <= 4; ++step)
        {
            const auto at = from + (to - from) * ((float) step / 4.0f);
            component.mouseDrag (mouseEvent (component, at, buttonAndModifiers, 1, from, true));
        }

        // JUCE's mouse-up carries the buttons that were held until then.
        component.mouseUp (mouseEvent (component, to, buttonAndModifiers, 1, from, true));
    }

    void click (juce::Component& target, int times)
    {
        auto* peer = target.getPeer();
        ASSERT_NE (peer, nullptr);

        const auto at = peer->globalToLocal (target.getScreenBounds().getCentre().toFloat());
        const auto left = juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier);
        const auto mouse = juce::MouseInputSource::InputSourceType::mouse;
        const auto pressure = juce::MouseInputSource::defaultPressure;
        const auto orientation = juce::MouseInputSource::defaultOrientation;
        // Never within a double-click's time of the last call's clicks,
        // which would count them as one multiple click.
        static juce::int64 lastClick = 0;
        auto time = std::max (juce::Time::currentTimeMillis(), lastClick + 1000);

        peer->handleMouseEvent (mouse, at, {}, pressure, orientation, time);

        for (int i = 0; i < times; ++i)
        {
            juce::ModifierKeys::currentModifiers = left;
            peer->handleMouseEvent (mouse, at, left, pressure, orientation, time += 50);
            juce::ModifierKeys::currentModifiers = {};
            peer->handleMouseEvent (mouse, at, {}, pressure, orientation, time += 50);
        }

        lastClick = time;
    }
}
