#pragma once

#include <JuceHeader.h>

// Keeps track of which of a panel's sliders are being dragged. A panel that
// is destroyed mid-drag never sees the mouse come up, so the slider's
// parameter attachment would leave the host's change gesture open (and the
// next gesture on that parameter would begin inside it). `endDrags` releases
// each held slider as the mouse would, while its attachment still exists.
class SliderDragGuard  : private juce::Slider::Listener
{
public:
    SliderDragGuard() = default;
    ~SliderDragGuard() override;

    // Watches a slider; it must outlive this guard.
    void watch (juce::Slider&);

    // Releases every watched slider that is being dragged.
    void endDrags();

    int numDragging() const noexcept { return dragging.size(); }

private:
    void sliderValueChanged (juce::Slider*) override {}
    void sliderDragStarted (juce::Slider*) override;
    void sliderDragEnded (juce::Slider*) override;

    juce::Array<juce::Slider*> watched, dragging;

    JUCE_DECLARE_NON_COPYABLE (SliderDragGuard)
};
