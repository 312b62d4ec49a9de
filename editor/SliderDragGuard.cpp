#include "SliderDragGuard.h"

SliderDragGuard::~SliderDragGuard()
{
    for (auto* slider : watched)
        slider->removeListener (this);
}

void SliderDragGuard::watch (juce::Slider& slider)
{
    watched.addIfNotAlreadyThere (&slider);
    slider.addListener (this);
}

void SliderDragGuard::endDrags()
{
    const auto now = juce::Time::getCurrentTime();

    // A copy: each release removes its slider from `dragging`.
    for (auto* slider : juce::Array<juce::Slider*> (dragging))
    {
        const juce::MouseEvent release (juce::Desktop::getInstance().getMainMouseSource(), {}, {},
                                        juce::MouseInputSource::defaultPressure,
                                        juce::MouseInputSource::defaultOrientation,
                                        juce::MouseInputSource::defaultRotation,
                                        juce::MouseInputSource::defaultTiltX,
                                        juce::MouseInputSource::defaultTiltY,
                                        slider, slider, now, {}, now, 1, true);
        slider->mouseUp (release);
    }

    dragging.clearQuick();
}

void SliderDragGuard::sliderDragStarted (juce::Slider* slider)
{
    dragging.addIfNotAlreadyThere (slider);
}

void SliderDragGuard::sliderDragEnded (juce::Slider* slider)
{
    dragging.removeFirstMatchingValue (slider);
}
