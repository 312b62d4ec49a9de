#include "ControlAttachments.h"
#include "PluginProcessor.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace kestrune
{
    namespace
    {
        // The timer every follower shares (message thread only): made with
        // the first follower, gone with the last, so that a window's forty
        // controls cost one timer callback per period, not forty.
        class FollowerPoll  : private juce::Timer
        {
        public:
            static void add (ParameterFollower& follower)
            {
                auto& poll = instance();

                if (poll == nullptr)
                    poll.reset (new FollowerPoll());

                poll->followers.push_back (&follower);
            }

            static void remove (ParameterFollower& follower)
            {
                auto& poll = instance();

                if (poll == nullptr)
                    return;

                auto& list = poll->followers;
                list.erase (std::remove (list.begin(), list.end(), &follower), list.end());

                if (list.empty())
                    poll.reset();
            }

        private:
            FollowerPoll()  { startTimer (ParameterFollower::pollIntervalMs); }

            static std::unique_ptr<FollowerPoll>& instance()
            {
                static std::unique_ptr<FollowerPoll> poll;
                return poll;
            }

            void timerCallback() override
            {
                // By index: a control brought up to date may, through its
                // callbacks, make or drop other controls.
                for (size_t i = 0; i < followers.size(); ++i)
                    followers[i]->showIfDue();
            }

            std::vector<ParameterFollower*> followers;
        };

        // The lock under which the processor's state calls use the undo
        // manager; a processor not of ours gets one that nothing else takes.
        juce::CriticalSection& stateLockOf (juce::AudioProcessor& processor)
        {
            static juce::CriticalSection noStateLock;
            auto* ours = dynamic_cast<KestruneAudioProcessor*> (&processor);
            return ours != nullptr ? ours->stateLock : noStateLock;
        }

        // The panels bind fixed parameter IDs of the processor's own table.
        juce::RangedAudioParameter& parameterFor (juce::AudioProcessorValueTreeState& state, const juce::String& id)
        {
            auto* parameter = state.getParameter (id);
            jassert (parameter != nullptr);
            return *parameter;
        }
    }

    //==========================================================================
    ParameterFollower::ParameterFollower (juce::RangedAudioParameter& p, std::function<void (float)> show,
                                          juce::AudioProcessorValueTreeState& state)
        : parameter (p),
          undoManager (state.undoManager),
          undoLock (stateLockOf (state.processor)),
          showPlainValue (std::move (show))
    {
        parameter.addListener (this);
        FollowerPoll::add (*this);
    }

    ParameterFollower::~ParameterFollower()
    {
        // After this no callback of the parameter reaches here, on any thread.
        parameter.removeListener (this);
        FollowerPoll::remove (*this);
    }

    void ParameterFollower::sendInitialUpdate()
    {
        showCurrentValue();
    }

    void ParameterFollower::parameterValueChanged (int, float)
    {
        if (juce::MessageManager::getInstance()->isThisTheMessageThread())
        {
            due.store (false, std::memory_order_relaxed);
            showCurrentValue();
            return;
        }

        // Another thread (the audio thread): no message, no lock, no heap.
        due.store (true, std::memory_order_release);
    }

    void ParameterFollower::showIfDue()
    {
        if (due.exchange (false, std::memory_order_acq_rel))
            showCurrentValue();
    }

    void ParameterFollower::showCurrentValue()
    {
        if (showPlainValue != nullptr)
            showPlainValue (parameter.convertFrom0to1 (parameter.getValue()));
    }

    void ParameterFollower::setValueAsCompleteGesture (float plainValue)
    {
        const auto normalised = parameter.convertTo0to1 (plainValue);

        if (parameter.getValue() == normalised)
            return;

        beginGesture();
        parameter.setValueNotifyingHost (normalised);
        endGesture();
    }

    void ParameterFollower::beginGesture()
    {
        if (undoManager != nullptr)
        {
            // A host's save or restore on another thread uses the undo manager
            // too (the value-tree state writes parameter values through it),
            // under the processor's state lock.
            const juce::ScopedLock sl (undoLock);
            undoManager->beginNewTransaction();
        }

        parameter.beginChangeGesture();
    }

    void ParameterFollower::setValueAsPartOfGesture (float plainValue)
    {
        const auto normalised = parameter.convertTo0to1 (plainValue);

        if (parameter.getValue() != normalised)
            parameter.setValueNotifyingHost (normalised);
    }

    void ParameterFollower::endGesture()
    {
        parameter.endChangeGesture();
    }

    //==========================================================================
    SliderAttachment::SliderAttachment (juce::AudioProcessorValueTreeState& state, const juce::String& parameterID,
                                        juce::Slider& s)
        : slider (s),
          follower (parameterFor (state, parameterID), [this] (float v) { show (v); }, state)
    {
        auto& parameter = parameterFor (state, parameterID);

        slider.valueFromTextFunction = [&parameter] (const juce::String& text)
        {
            return (double) parameter.convertFrom0to1 (parameter.getValueForText (text));
        };
        slider.textFromValueFunction = [&parameter] (double value)
        {
            return parameter.getText (parameter.convertTo0to1 ((float) value), 0);
        };
        slider.setDoubleClickReturnValue (true, parameter.convertFrom0to1 (parameter.getDefaultValue()));

        // The slider's range is the parameter's, skew and snapping included.
        auto range = parameter.getNormalisableRange();

        auto from0To1 = [range] (double start, double end, double normalised) mutable
        {
            range.start = (float) start;
            range.end = (float) end;
            return (double) range.convertFrom0to1 ((float) normalised);
        };
        auto to0To1 = [range] (double start, double end, double plain) mutable
        {
            range.start = (float) start;
            range.end = (float) end;
            return (double) range.convertTo0to1 ((float) plain);
        };
        auto snap = [range] (double start, double end, double plain) mutable
        {
            range.start = (float) start;
            range.end = (float) end;
            return (double) range.snapToLegalValue ((float) plain);
        };

        juce::NormalisableRange<double> sliderRange { (double) range.start, (double) range.end,
                                                      std::move (from0To1), std::move (to0To1), std::move (snap) };
        sliderRange.interval = range.interval;
        sliderRange.skew = range.skew;
        sliderRange.symmetricSkew = range.symmetricSkew;
        slider.setNormalisableRange (sliderRange);

        follower.sendInitialUpdate();
        slider.valueChanged();
        slider.addListener (this);
    }

    SliderAttachment::~SliderAttachment()
    {
        slider.removeListener (this);
    }

    void SliderAttachment::show (float plainValue)
    {
        const juce::ScopedValueSetter<bool> svs (ignoreCallbacks, true);
        slider.setValue (plainValue, juce::sendNotificationSync);
    }

    void SliderAttachment::sliderValueChanged (juce::Slider*)
    {
        if (! ignoreCallbacks)
            follower.setValueAsPartOfGesture ((float) slider.getValue());
    }

    void SliderAttachment::sliderDragStarted (juce::Slider*) { follower.beginGesture(); }
    void SliderAttachment::sliderDragEnded (juce::Slider*)   { follower.endGesture(); }

    //==========================================================================
    ComboBoxAttachment::ComboBoxAttachment (juce::AudioProcessorValueTreeState& state, const juce::String& parameterID,
                                            juce::ComboBox& c)
        : comboBox (c),
          parameter (parameterFor (state, parameterID)),
          follower (parameter, [this] (float v) { show (v); }, state)
    {
        follower.sendInitialUpdate();
        comboBox.addListener (this);
    }

    ComboBoxAttachment::~ComboBoxAttachment()
    {
        comboBox.removeListener (this);
    }

    void ComboBoxAttachment::show (float plainValue)
    {
        // Items are spread evenly over the parameter's range.
        const auto normalised = parameter.convertTo0to1 (plainValue);
        const auto index = juce::roundToInt (normalised * (float) (comboBox.getNumItems() - 1));

        if (index == comboBox.getSelectedItemIndex())
            return;

        const juce::ScopedValueSetter<bool> svs (ignoreCallbacks, true);
        comboBox.setSelectedItemIndex (index, juce::sendNotificationSync);
    }

    void ComboBoxAttachment::comboBoxChanged (juce::ComboBox*)
    {
        if (ignoreCallbacks)
            return;

        const auto items = comboBox.getNumItems();
        const auto selected = (float) comboBox.getSelectedItemIndex();
        const auto normalised = items > 1 ? selected / (float) (items - 1) : 0.0f;
        follower.setValueAsCompleteGesture (parameter.convertFrom0to1 (normalised));
    }

    //==========================================================================
    ButtonAttachment::ButtonAttachment (juce::AudioProcessorValueTreeState& state, const juce::String& parameterID,
                                        juce::Button& b)
        : button (b),
          follower (parameterFor (state, parameterID), [this] (float v) { show (v); }, state)
    {
        follower.sendInitialUpdate();
        button.addListener (this);
    }

    ButtonAttachment::~ButtonAttachment()
    {
        button.removeListener (this);
    }

    void ButtonAttachment::show (float plainValue)
    {
        const juce::ScopedValueSetter<bool> svs (ignoreCallbacks, true);
        button.setToggleState (plainValue >= 0.5f, juce::sendNotificationSync);
    }

    void ButtonAttachment::buttonClicked (juce::Button*)
    {
        if (! ignoreCallbacks)
            follower.setValueAsCompleteGesture (button.getToggleState() ? 1.0f : 0.0f);
    }
}
