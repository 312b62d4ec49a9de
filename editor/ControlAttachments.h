#pragma once

#include <JuceHeader.h>

#include <atomic>

// The panels' knobs, sliders, buttons and combo boxes bound to their
// parameters, as the value-tree state's attachments bind them (the same
// construction, ranges, texts, gestures and undo transactions), with one
// difference: a change that arrives on another thread than the message
// thread (the host's automation, delivered with the audio blocks) is never
// posted to the message thread from there. JUCE's attachments post a message
// for it, which takes the message queue's lock and grows the queue on the
// heap, on the audio thread, whenever the window is open. Here the other
// thread only marks the control as due (an atomic flag), and a timer on the
// message thread brings the control up to date within `pollIntervalMs`. A
// change made on the message thread updates the control at once, as before.
namespace kestrune
{
    // Follows one parameter for one control (message thread, apart from the
    // parameter callbacks, which touch only atomics off the message thread).
    // One timer, shared by every follower alive, looks at the ones marked due.
    class ParameterFollower  : private juce::AudioProcessorParameter::Listener
    {
    public:
        ParameterFollower (juce::RangedAudioParameter& parameter,
                           std::function<void (float)> showPlainValue,
                           juce::AudioProcessorValueTreeState& state);
        ~ParameterFollower() override;

        // Shows the parameter's current value.
        void sendInitialUpdate();

        // The user's side: a change as a gesture of its own, a gesture's
        // begin and end, and a change inside a gesture. Plain values; a value
        // the parameter already has sends nothing.
        void setValueAsCompleteGesture (float plainValue);
        void beginGesture();
        void setValueAsPartOfGesture (float plainValue);
        void endGesture();

        static constexpr int pollIntervalMs = 20;

        // Shows the parameter's value if a change arrived on another thread
        // since the last look (the shared timer calls it).
        void showIfDue();

    private:
        void parameterValueChanged (int, float) override;
        void parameterGestureChanged (int, bool) override {}
        void showCurrentValue();

        juce::RangedAudioParameter& parameter;
        juce::UndoManager* undoManager;
        juce::CriticalSection& undoLock; // taken around the undo manager's use
        std::function<void (float)> showPlainValue;
        std::atomic<bool> due { false };
    };

    //==========================================================================
    // The three kinds of control, each constructed like the value-tree
    // state's attachment of the same kind.
    class SliderAttachment  : private juce::Slider::Listener
    {
    public:
        SliderAttachment (juce::AudioProcessorValueTreeState& state, const juce::String& parameterID, juce::Slider& slider);
        ~SliderAttachment() override;

    private:
        void show (float plainValue);
        void sliderValueChanged (juce::Slider*) override;
        void sliderDragStarted (juce::Slider*) override;
        void sliderDragEnded (juce::Slider*) override;

        juce::Slider& slider;
        ParameterFollower follower;
        bool ignoreCallbacks = false;

        JUCE_DECLARE_NON_COPYABLE (SliderAttachment)
    };

    class ComboBoxAttachment  : private juce::ComboBox::Listener
    {
    public:
        ComboBoxAttachment (juce::AudioProcessorValueTreeState& state, const juce::String& parameterID, juce::ComboBox& comboBox);
        ~ComboBoxAttachment() override;

    private:
        void show (float plainValue);
        void comboBoxChanged (juce::ComboBox*) override;

        juce::ComboBox& comboBox;
        juce::RangedAudioParameter& parameter;
        ParameterFollower follower;
        bool ignoreCallbacks = false;

        JUCE_DECLARE_NON_COPYABLE (ComboBoxAttachment)
    };

    class ButtonAttachment  : private juce::Button::Listener
    {
    public:
        ButtonAttachment (juce::AudioProcessorValueTreeState& state, const juce::String& parameterID, juce::Button& button);
        ~ButtonAttachment() override;

    private:
        void show (float plainValue);
        void buttonClicked (juce::Button*) override;

        juce::Button& button;
        ParameterFollower follower;
        bool ignoreCallbacks = false;

        JUCE_DECLARE_NON_COPYABLE (ButtonAttachment)
    };
}
