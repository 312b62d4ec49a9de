#pragma once

#include <JuceHeader.h>
#include "SharedTables.h"
#include "MyLookAndFeel.h"
#include "SliderDragGuard.h"
#include "ControlAttachments.h"
#include "PluginProcessor.h"

//==============================================================================
// The rotary knob of all three panels: a slider with its own look-and-feel
// that paints its caption in its bottom quarter. The owning panel sets
// `caption` and `olvLookAndFeel.compactStyle` right after construction.
class CustomRoratySlider  : public juce::Slider
{
public:
    CustomRoratySlider();
    ~CustomRoratySlider() override;

    void paint (juce::Graphics&) override;

    OlvLookAndFeel olvLookAndFeel;
    juce::String caption;

    // The travel: from lower left, over the top, to lower right.
    static constexpr float startAngle = 3.926991f;
    static constexpr float endAngle = 8.63938f;

private:
    JUCE_DECLARE_NON_COPYABLE (CustomRoratySlider)
};

//==============================================================================
// Adds a new toggling button to a panel's list of radio buttons: the list owns
// it, the owner shows it, and it gets the panels' radio-button colours (the
// caller then sets its body colour).
template <typename ButtonType, typename ElementType>
ButtonType* addToList (juce::Component* owner, juce::OwnedArray<ElementType>& list, ButtonType* button)
{
    list.add (button);

    if (button == nullptr)
        return button;

    if (owner != nullptr)
        owner->addAndMakeVisible (button);

    button->setClickingTogglesState (true);
    button->setColour (juce::TextButton::textColourOffId, mainColour);
    button->setColour (juce::TextButton::textColourOnId, juce::Colours::black);
    button->setColour (juce::TextButton::buttonColourId, juce::Colours::transparentBlack);
    button->setColour (juce::TextButton::buttonOnColourId, mainColour);
    return button;
}

//==============================================================================
// The "AFFINE" panel: quarter-turn rotation, fine rotation, zoom, shift and skew.
class AffineTransformPanel  : public juce::Component
{
public:
    explicit AffineTransformPanel (KestruneAudioProcessor&);
    ~AffineTransformPanel() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    static constexpr int rotateGroup = 34567;

    juce::Label affineLabel, rotateLabel;
    CustomRoratySlider zoomKnob, leftRightKnob, upDownKnob, rotateKnob, hSkewKnob, vSkewKnob;
    juce::OwnedArray<juce::Component> rotateButtons;

private:
    using SliderAttachment = kestrune::SliderAttachment;
    using ButtonAttachment = kestrune::ButtonAttachment;

    std::unique_ptr<SliderAttachment> leftRightAttachment, upDownAttachment, zoomAttachment,
                                      rotateAttachment, hSkewAttachment, vSkewAttachment;
    juce::OwnedArray<ButtonAttachment> rotateAttachments;
    SliderDragGuard dragGuard;

    KestruneAudioProcessor& processor;

    JUCE_DECLARE_NON_COPYABLE (AffineTransformPanel)
};

//==============================================================================
// The "IMAGE" panel: pen and picture-effect controls and the Record button.
class ImageManupulationPanel  : public juce::Component,
                                public juce::ChangeListener,
                                public juce::Timer
{
public:
    explicit ImageManupulationPanel (KestruneAudioProcessor&);
    ~ImageManupulationPanel() override;

    void paint (juce::Graphics&) override;
    void resized() override;
    void changeListenerCallback (juce::ChangeBroadcaster*) override;
    void timerCallback() override;

    // The Record button's click: arms record mode, or disarms it and turns
    // what was captured into the picture (drawn as a spectrogram, handed to
    // the processor, which gives it the current picture's size).
    void onRecordClicked();

    MyLookAndFeel panelLookAndFeel;
    juce::Label drawingLabel, effectsLabel, imageLabel;
    CustomRoratySlider contrastKnob, brightnessKnob, penThicknessKnob, penColourKnob, thresholdKnob;
    juce::TextButton blackWhiteButton;
    juce::ComboBox penStyleBox;
    CustomRoratySlider smoothHorKnob, smoothVerKnob, hRescaleKnob, vRescaleKnob;
    juce::TextButton recordButton;

private:
    using SliderAttachment = kestrune::SliderAttachment;
    using ButtonAttachment = kestrune::ButtonAttachment;
    using ComboBoxAttachment = kestrune::ComboBoxAttachment;

    std::unique_ptr<SliderAttachment> contrastAttachment, brightnessAttachment,
                                      penThicknessAttachment, penColourAttachment, thresholdAttachment;
    std::unique_ptr<ButtonAttachment> blackWhiteAttachment;
    std::unique_ptr<ComboBoxAttachment> penStyleAttachment;
    std::unique_ptr<SliderAttachment> smoothHorAttachment, smoothVerAttachment,
                                      hRescaleAttachment, vRescaleAttachment;
    SliderDragGuard dragGuard;

    KestruneAudioProcessor& processor;

    void showRecordState();

    JUCE_DECLARE_NON_COPYABLE (ImageManupulationPanel)
};

//==============================================================================
// The "PLAY" panel: scan direction and Random mode, bar length, power, width,
// reference lines, the interval and the dry/wet mix.
class ScanPanel  : public juce::Component
{
public:
    explicit ScanPanel (KestruneAudioProcessor&);
    ~ScanPanel() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    static constexpr int directionGroup = 34568;
    static constexpr int refLineGroup = 34569;

    MyLookAndFeel panelLookAndFeel;
    juce::Label playLabel, directionLabel, textureLabel, intervalLabel;
    juce::ComboBox randomSpeedBox;
    CustomRoratySlider aIntervalKnob, bIntervalKnob, shiftKnob, attackKnob, decayKnob,
                       barKnob, powKnob, widerKnob;
    juce::Slider noteUnitSlider;
    juce::OwnedArray<juce::Component> directionButtons, refLineButtons;
    juce::Slider dryWetSlider;

private:
    using SliderAttachment = kestrune::SliderAttachment;
    using ButtonAttachment = kestrune::ButtonAttachment;
    using ComboBoxAttachment = kestrune::ComboBoxAttachment;

    juce::OwnedArray<ButtonAttachment> directionAttachments, refLineAttachments;
    std::unique_ptr<SliderAttachment> aIntervalAttachment, bIntervalAttachment;
    std::unique_ptr<ComboBoxAttachment> randomSpeedAttachment;
    std::unique_ptr<SliderAttachment> attackAttachment, decayAttachment, barAttachment,
                                      powAttachment, shiftAttachment, dryWetAttachment, widerAttachment;
    SliderDragGuard dragGuard;

    KestruneAudioProcessor& processor;

    bool randomDirection() const;

    JUCE_DECLARE_NON_COPYABLE (ScanPanel)
};
