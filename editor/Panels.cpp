#include "Panels.h"
#include "PanelFont.h"
#include "RecordedSpectrogram.h"
#include "ResizeRatio.h"

namespace
{
    const juce::Colour labelBackground { 0xff191919 };

    void setUpTitleLabel (juce::Label& label, const juce::String& text)
    {
        label.setText (text, juce::dontSendNotification);
        label.setJustificationType (juce::Justification::centred);
        label.setColour (juce::Label::textColourId, juce::Colours::lightgrey);
        label.setColour (juce::Label::backgroundColourId, labelBackground);
        label.setColour (juce::Label::outlineColourId, juce::Colours::darkgrey);
    }

    void setUpSectionLabel (juce::Label& label, const juce::String& text)
    {
        label.setText (text, juce::dontSendNotification);
        label.setJustificationType (juce::Justification::left);
        label.setColour (juce::Label::textColourId, juce::Colours::white);
        label.setColour (juce::Label::backgroundColourId, labelBackground);
    }

    void setUpKnob (CustomRoratySlider& knob, const juce::String& caption, bool compact)
    {
        knob.caption = caption;
        knob.olvLookAndFeel.compactStyle = compact;
    }

    void paintPanelBackground (juce::Component& panel, juce::Graphics& g)
    {
        g.fillAll (myPanelColour);
        g.setColour (juce::Colours::darkgrey);
        g.drawRect (panel.getLocalBounds().toFloat(), 1.0f);
    }

    // Whether a switch parameter is on. Read from the parameter object rather
    // than the value-tree state's raw copy: a change made on the message
    // thread (the host while stopped, a restored state) reaches the control's
    // attachment before the raw copy is updated, and our click handlers lay
    // the panel out from inside that notification.
    bool switchIsOn (KestruneAudioProcessor& processor, const juce::String& id)
    {
        auto* parameter = processor.apvts.getParameter (id);
        return parameter != nullptr && parameter->getValue() >= 0.5f;
    }

    // Bounds for a child that may not exist yet (layouts also run while the
    // radio buttons are still being created).
    void place (juce::Component* child, juce::Rectangle<int> bounds)
    {
        if (child != nullptr)
            child->setBounds (bounds);
    }
}

//==============================================================================
// Knob

CustomRoratySlider::CustomRoratySlider()
{
    setLookAndFeel (&olvLookAndFeel);
    setSliderStyle (juce::Slider::RotaryHorizontalVerticalDrag);
    setRange (0.0, 100.0, 1.0);
    // No box is shown; its height sets the size of the value text.
    setTextBoxStyle (juce::Slider::NoTextBox, true, 50, 11);

    setColour (juce::Slider::rotarySliderFillColourId, mainColour);
    setColour (juce::Slider::thumbColourId, mainColour);
    setColour (juce::Slider::textBoxOutlineColourId, juce::Colours::transparentBlack);
    setColour (juce::Slider::rotarySliderOutlineColourId, mainColour.withAlpha ((juce::uint8) 0x99));
}

CustomRoratySlider::~CustomRoratySlider()
{
    setLookAndFeel (nullptr);
}

void CustomRoratySlider::paint (juce::Graphics& g)
{
    const auto proportion = (float) valueToProportionOfLength (getValue());
    olvLookAndFeel.drawRotarySlider (g, 0, 0, getWidth(), getHeight(), proportion, startAngle, endAngle, *this);

    g.setFont (juce::Font (juce::Font::getDefaultSansSerifFontName(), "Regular", 14.0f * resizeRatioFor (*this)));
    g.setColour (juce::Colours::white);
    const auto strip = getHeight() / 4;
    g.drawFittedText (caption, 0, getHeight() - strip, getWidth(), strip, juce::Justification::centred, 0, 0.0f);
}

//==============================================================================
// Transform panel

AffineTransformPanel::AffineTransformPanel (KestruneAudioProcessor& p)
    : processor (p)
{
    for (auto* child : std::initializer_list<juce::Component*> { &zoomKnob, &leftRightKnob, &upDownKnob, &rotateKnob,
                                                               &affineLabel, &rotateLabel, &hSkewKnob, &vSkewKnob })
        addAndMakeVisible (child);

    setUpKnob (rotateKnob, "Rotate", false);
    setUpKnob (zoomKnob, "Zoom", true);
    setUpKnob (leftRightKnob, "Left/Right", true);
    setUpKnob (upDownKnob, "Up/Down", true);
    setUpKnob (hSkewKnob, "HSkew", true);
    setUpKnob (vSkewKnob, "VSkew", true);
    setUpTitleLabel (affineLabel, "AFFINE");
    setUpSectionLabel (rotateLabel, "Rotate");

    for (auto* knob : { &zoomKnob, &leftRightKnob, &upDownKnob, &rotateKnob, &hSkewKnob, &vSkewKnob })
        dragGuard.watch (*knob);

    auto& state = processor.apvts;
    leftRightAttachment = std::make_unique<SliderAttachment> (state, valueTreeNames[1], leftRightKnob);
    upDownAttachment    = std::make_unique<SliderAttachment> (state, valueTreeNames[2], upDownKnob);
    zoomAttachment      = std::make_unique<SliderAttachment> (state, valueTreeNames[0], zoomKnob);
    rotateAttachment    = std::make_unique<SliderAttachment> (state, valueTreeNames[18], rotateKnob);
    hSkewAttachment     = std::make_unique<SliderAttachment> (state, valueTreeNames[28], hSkewKnob);
    vSkewAttachment     = std::make_unique<SliderAttachment> (state, valueTreeNames[29], vSkewKnob);

    const auto count = rotateTable.size();

    for (int i = 0; i < count; ++i)
    {
        auto* button = addToList (this, rotateButtons, new juce::TextButton (rotateTable[i]));
        button->setRadioGroupId (rotateGroup);
        button->setColour (juce::TextButton::buttonColourId, generalColour);
        button->setConnectedEdges ((i > 0 ? juce::Button::ConnectedOnTop : 0)
                                   | (i < count - 1 ? juce::Button::ConnectedOnBottom : 0));
        button->setToggleState (i == 0, juce::dontSendNotification);
        rotateAttachments.add (new ButtonAttachment (state, valueTreeNames[5] + juce::String (i), *button));
    }
}

AffineTransformPanel::~AffineTransformPanel()
{
    // A knob still held ends its host gesture while its attachment exists.
    dragGuard.endDrags();
}

void AffineTransformPanel::paint (juce::Graphics& g)
{
    paintPanelBackground (*this, g);
}

void AffineTransformPanel::resized()
{
    const auto width = getWidth();
    auto area = getLocalBounds();

    affineLabel.setBounds (area.removeFromTop (30));
    area.removeFromTop (5);
    rotateLabel.setBounds (area.removeFromTop (15));

    const auto top = area.getY();
    const auto b = (int) (resizeRatioFor (*this) * 30.0f);
    const auto buttonHeight = juce::jmax (b - 4, 0);

    for (int i = 0; i < 4; ++i)
        place (rotateButtons[i], { 5, top + i * b + 2, juce::jmax (width - 10, 0), buttonHeight });

    // The knobs start under the last button (not clipped to the height left).
    const auto buttonsBottom = top + 3 * b + 2 + buttonHeight;
    area.setTop (juce::jmin (getHeight(), buttonsBottom));
    area.removeFromTop (5);

    const auto k = (int) ((float) width * 0.8f);
    auto placeKnob = [width] (CustomRoratySlider& knob, juce::Rectangle<int> strip)
    {
        knob.setBounds (0, strip.getY() + 5, width, juce::jmax (strip.getHeight() - 10, 0));
    };

    for (auto* knob : { &rotateKnob, &zoomKnob, &leftRightKnob, &upDownKnob })
        placeKnob (*knob, area.removeFromTop (k));

    placeKnob (hSkewKnob, area.removeFromTop (area.getHeight() / 2));
    placeKnob (vSkewKnob, area);
}

//==============================================================================
// Image panel

ImageManupulationPanel::ImageManupulationPanel (KestruneAudioProcessor& p)
    : processor (p)
{
    for (auto* child : std::initializer_list<juce::Component*> {
             &drawingLabel, &effectsLabel, &contrastKnob, &brightnessKnob, &penThicknessKnob, &penColourKnob,
             &thresholdKnob, &blackWhiteButton, &penStyleBox, &smoothHorKnob, &smoothVerKnob, &hRescaleKnob,
             &vRescaleKnob, &recordButton })
        addAndMakeVisible (child);

    recordButton.setColour (juce::TextButton::textColourOffId, mainColour);
    recordButton.setColour (juce::TextButton::textColourOnId, juce::Colours::black);
    recordButton.setColour (juce::TextButton::buttonColourId, juce::Colour (0x80000000));
    recordButton.setColour (juce::TextButton::buttonOnColourId, mainColour);
    recordButton.setButtonText ("Record");
    recordButton.setClickingTogglesState (true);

    setUpKnob (smoothHorKnob, "SmHor", true);
    setUpKnob (smoothVerKnob, "SmVer", true);
    setUpKnob (hRescaleKnob, "HRescale", true);
    setUpKnob (vRescaleKnob, "VRescale", true);

    setUpSectionLabel (drawingLabel, "Drawing");
    setUpSectionLabel (effectsLabel, "Effects");

    penStyleBox.setLookAndFeel (&panelLookAndFeel);

    addAndMakeVisible (imageLabel);
    setUpTitleLabel (imageLabel, "IMAGE");

    setUpKnob (contrastKnob, "Contr", false);
    setUpKnob (brightnessKnob, "Bright", false);
    setUpKnob (penThicknessKnob, "PTick", false);
    setUpKnob (penColourKnob, "PenCol", false);
    setUpKnob (thresholdKnob, "Threshold", false);

    blackWhiteButton.setButtonText ("Black And White");
    blackWhiteButton.setClickingTogglesState (true);
    blackWhiteButton.setColour (juce::TextButton::textColourOffId, mainColour);
    blackWhiteButton.setColour (juce::TextButton::textColourOnId, juce::Colours::black);
    blackWhiteButton.setColour (juce::TextButton::buttonColourId, juce::Colours::transparentBlack);
    blackWhiteButton.setColour (juce::TextButton::buttonOnColourId, mainColour);

    panelLookAndFeel.setColour (juce::PopupMenu::backgroundColourId, juce::Colour (0xff141414));
    panelLookAndFeel.setColour (juce::ComboBox::textColourId, juce::Colours::yellowgreen);

    recordButton.onClick = [this] { onRecordClicked(); };
    processor.recordBroadcaster.addChangeListener (this);

    // The attachment hears the click first, so the layout reads the new state.
    blackWhiteButton.onClick = [this] { resized(); };

    for (int i = 0; i < penStyleOptions.size(); ++i)
        penStyleBox.addItem (penStyleOptions[i], i + 1);

    penStyleBox.setColour (juce::ComboBox::textColourId, mainColour);

    for (auto* knob : { &contrastKnob, &brightnessKnob, &penThicknessKnob, &penColourKnob, &thresholdKnob,
                        &smoothHorKnob, &smoothVerKnob, &hRescaleKnob, &vRescaleKnob })
        dragGuard.watch (*knob);

    auto& state = processor.apvts;
    contrastAttachment     = std::make_unique<SliderAttachment> (state, valueTreeNames[6], contrastKnob);
    brightnessAttachment   = std::make_unique<SliderAttachment> (state, valueTreeNames[24], brightnessKnob);
    penColourAttachment    = std::make_unique<SliderAttachment> (state, valueTreeNames[7], penColourKnob);
    penThicknessAttachment = std::make_unique<SliderAttachment> (state, valueTreeNames[8], penThicknessKnob);
    thresholdAttachment    = std::make_unique<SliderAttachment> (state, valueTreeNames[12], thresholdKnob);
    blackWhiteAttachment   = std::make_unique<ButtonAttachment> (state, valueTreeNames[11], blackWhiteButton);
    penStyleAttachment     = std::make_unique<ComboBoxAttachment> (state, valueTreeNames[13], penStyleBox);
    smoothHorAttachment    = std::make_unique<SliderAttachment> (state, valueTreeNames[22], smoothHorKnob);
    smoothVerAttachment    = std::make_unique<SliderAttachment> (state, valueTreeNames[23], smoothVerKnob);
    hRescaleAttachment     = std::make_unique<SliderAttachment> (state, valueTreeNames[25], hRescaleKnob);
    vRescaleAttachment     = std::make_unique<SliderAttachment> (state, valueTreeNames[26], vRescaleKnob);

    // A window opened while record mode is armed or a capture runs shows it,
    // so that the capture is taken over when it ends (see showRecordState).
    showRecordState();
}

ImageManupulationPanel::~ImageManupulationPanel()
{
    processor.recordBroadcaster.removeChangeListener (this);
    setLookAndFeel (nullptr);

    // A knob still held ends its host gesture while its attachment exists.
    dragGuard.endDrags();
}

void ImageManupulationPanel::showRecordState()
{
    if (! processor.recordArmed.load (std::memory_order_acquire))
        return;

    recordButton.setToggleState (true, juce::dontSendNotification);

    if (processor.recordCapturing.load (std::memory_order_acquire))
    {
        recordButton.setColour (juce::TextButton::buttonOnColourId, juce::Colours::red);
        timerCallback();
        startTimer (100);
    }
}

void ImageManupulationPanel::paint (juce::Graphics& g)
{
    paintPanelBackground (*this, g);
}

void ImageManupulationPanel::resized()
{
    auto area = getLocalBounds();
    const auto width = area.getWidth();
    const auto half = width / 2;

    auto splitRow = [half] (juce::Rectangle<int> row)
    {
        auto left = row.removeFromLeft (half);
        return std::make_pair (left, row);
    };

    imageLabel.setBounds (area.removeFromTop (30));
    area.removeFromTop (5);
    drawingLabel.setBounds (area.removeFromTop (15));
    area.removeFromTop (2);

    {
        const auto [left, right] = splitRow (area.removeFromTop (half));
        penColourKnob.setBounds (left.reduced (0, 3));
        penThicknessKnob.setBounds (right.reduced (0, 5));
    }

    penStyleBox.setBounds (area.removeFromTop (40).reduced (4, 6));
    effectsLabel.setBounds (area.removeFromTop (15));

    {
        const auto [left, right] = splitRow (area.removeFromTop (half));
        contrastKnob.setBounds (left.reduced (2, 5));
        brightnessKnob.setBounds (right.reduced (2, 5));
    }

    blackWhiteButton.setBounds (area.removeFromTop (40).reduced (7, 7));
    thresholdKnob.setBounds (area.removeFromTop ((int) ((float) width * 0.5f)));

    {
        const auto [left, right] = splitRow (area.removeFromTop (half));
        smoothHorKnob.setBounds (left.reduced (2, 5));
        smoothVerKnob.setBounds (right.reduced (2, 5));
    }

    thresholdKnob.setEnabled (switchIsOn (processor, valueTreeNames[11]));

    {
        const auto [left, right] = splitRow (area.removeFromTop (half));
        hRescaleKnob.setBounds (left.reduced (2, 5));
        vRescaleKnob.setBounds (right.reduced (2, 5));
    }

    recordButton.setBounds (area);
}

void ImageManupulationPanel::changeListenerCallback (juce::ChangeBroadcaster*)
{
    // Start and end of a capture may arrive as one callback: act on the state now.
    if (processor.recordCapturing.load (std::memory_order_acquire))
    {
        startTimer (100);
        recordButton.setColour (juce::TextButton::buttonOnColourId, juce::Colours::red);
        return;
    }

    stopTimer();
    recordButton.setColour (juce::TextButton::buttonOnColourId, mainColour);
    // Fires the click (and so onRecordClicked) only if the button was on.
    recordButton.setToggleState (false, juce::sendNotificationSync);
}

void ImageManupulationPanel::timerCallback()
{
    // Bars still to record, the current one included.
    const auto bars = processor.barduratiomValue->load() + 1.0f - processor.scanPhase.load() * 0.25f;
    recordButton.setButtonText (juce::String ((int) bars));
}

void ImageManupulationPanel::onRecordClicked()
{
    stopTimer();
    recordButton.setColour (juce::TextButton::buttonOnColourId, mainColour);
    recordButton.setButtonText ("Record");

    if (recordButton.getToggleState())
    {
        // Frames of an earlier capture that no window took over (one that
        // ended while the window was closed) must not run into this one.
        processor.takeRecordedFrames();
        processor.armRecord();
        return;
    }

    // Disarmed before the frames are taken: the store waits for a block
    // still appending to it.
    processor.recordArmed.store (false, std::memory_order_release);
    auto frames = processor.takeRecordedFrames();

    // With the transport stopped, or nothing captured, the capture is dropped.
    if (processor.isPlaying.load() && ! frames.empty())
    {
        const auto spectrogram = kestrune::recording::drawSpectrogram (frames, processor.recordMinDb,
                                                                       processor.recordMaxDb);
        std::vector<RecordedFrameStore::Frame>().swap (frames); // freed before the picture is made
        processor.handOverRecording (spectrogram);
    }

    processor.recordCapturing.store (false, std::memory_order_release);
}

//==============================================================================
// Scan panel

ScanPanel::ScanPanel (KestruneAudioProcessor& p)
    : processor (p)
{
    for (auto* child : std::initializer_list<juce::Component*> {
             &aIntervalKnob, &bIntervalKnob, &attackKnob, &decayKnob, &barKnob, &dryWetSlider,
             &playLabel, &directionLabel, &textureLabel, &intervalLabel, &randomSpeedBox, &noteUnitSlider,
             &shiftKnob, &powKnob, &widerKnob })
        addAndMakeVisible (child);

    setUpTitleLabel (playLabel, "PLAY");
    setUpSectionLabel (directionLabel, "Direction-Effect");
    setUpSectionLabel (textureLabel, "Sound Texture");
    setUpSectionLabel (intervalLabel, "Interval/Sync");

    setUpKnob (aIntervalKnob, "<-", true);
    setUpKnob (bIntervalKnob, "->", true);
    setUpKnob (shiftKnob, "Shift", true);
    setUpKnob (attackKnob, "Attack", false);
    setUpKnob (decayKnob, "Decay", false);
    setUpKnob (barKnob, "Bar", false);
    setUpKnob (powKnob, "Pow", false);
    setUpKnob (widerKnob, "Wider", false);
    attackKnob.setTooltip ("Activated when 'Random' is selected ");
    decayKnob.setTooltip ("Activated when 'Random' is selected ");
    barKnob.setTooltip ("set the number of bar (duration)\n to the image width ");

    randomSpeedBox.setTooltip ("the hopping speed \n activated when 'Random' is selected ");
    randomSpeedBox.setLookAndFeel (&panelLookAndFeel);
    panelLookAndFeel.setColour (juce::PopupMenu::backgroundColourId, juce::Colour (0xff141414));
    panelLookAndFeel.setColour (juce::ComboBox::textColourId, juce::Colours::yellowgreen);

    auto setUpLinearSlider = [this] (juce::Slider& slider)
    {
        slider.setLookAndFeel (&panelLookAndFeel);
        slider.setTextBoxStyle (juce::Slider::TextBoxRight, true, 40, 25);
        slider.setColour (juce::Slider::textBoxTextColourId, mainColour);
        slider.setColour (juce::Slider::backgroundColourId, juce::Colour (0xff141414));
        slider.setColour (juce::Slider::trackColourId, juce::Colour (0xff141414));
        slider.setColour (juce::Slider::thumbColourId, mainColour);
        slider.setTextBoxStyle (juce::Slider::NoTextBox, true, 0, 0);
    };

    dryWetSlider.setSliderStyle (juce::Slider::LinearHorizontal);
    dryWetSlider.setColour (juce::Slider::textBoxOutlineColourId, juce::Colours::transparentBlack);
    setUpLinearSlider (dryWetSlider);
    setUpLinearSlider (noteUnitSlider);
    noteUnitSlider.setRange (0.0, (double) (myNotetUnit.size() - 1), 1.0);

    for (int i = 0; i < myNotetUnit.size(); ++i)
        randomSpeedBox.addItem (myNotetUnit[i], i + 1);

    // The note-unit slider has no parameter of its own: it and the box follow
    // each other, position p showing item ID p + 1.
    noteUnitSlider.onValueChange = [this]
    {
        const auto position = (int) noteUnitSlider.getValue();
        randomSpeedBox.setSelectedId (randomSpeedBox.getItemId (position), juce::sendNotificationAsync);
    };
    randomSpeedBox.onChange = [this]
    {
        noteUnitSlider.setValue (randomSpeedBox.getSelectedId() - 1, juce::sendNotificationAsync);
    };

    for (auto* slider : std::initializer_list<juce::Slider*> { &aIntervalKnob, &bIntervalKnob, &shiftKnob, &attackKnob,
                                                               &decayKnob, &barKnob, &powKnob, &widerKnob,
                                                               &noteUnitSlider, &dryWetSlider })
        dragGuard.watch (*slider);

    auto& state = processor.apvts;
    aIntervalAttachment   = std::make_unique<SliderAttachment> (state, valueTreeNames[3], aIntervalKnob);
    bIntervalAttachment   = std::make_unique<SliderAttachment> (state, valueTreeNames[4], bIntervalKnob);
    randomSpeedAttachment = std::make_unique<ComboBoxAttachment> (state, valueTreeNames[14], randomSpeedBox);
    attackAttachment      = std::make_unique<SliderAttachment> (state, valueTreeNames[15], attackKnob);
    decayAttachment       = std::make_unique<SliderAttachment> (state, valueTreeNames[16], decayKnob);
    barAttachment         = std::make_unique<SliderAttachment> (state, valueTreeNames[17], barKnob);
    powAttachment         = std::make_unique<SliderAttachment> (state, valueTreeNames[19], powKnob);
    shiftAttachment       = std::make_unique<SliderAttachment> (state, valueTreeNames[20], shiftKnob);
    dryWetAttachment      = std::make_unique<SliderAttachment> (state, valueTreeNames[27], dryWetSlider);
    widerAttachment       = std::make_unique<SliderAttachment> (state, valueTreeNames[30], widerKnob);

    const auto directions = directionTable.size();

    for (int i = 0; i < directions; ++i)
    {
        auto* button = addToList (this, directionButtons, new juce::TextButton (directionTable[i]));
        button->setRadioGroupId (directionGroup);
        button->setColour (juce::TextButton::buttonColourId, generalColour);
        button->setConnectedEdges ((i > 0 ? juce::Button::ConnectedOnTop : 0)
                                   | (i < directions - 1 ? juce::Button::ConnectedOnBottom : 0));
        button->setToggleState (i == 0, juce::dontSendNotification);
        directionAttachments.add (new ButtonAttachment (state, valueTreeNames[9] + juce::String (i), *button));
        button->onClick = [this] { resized(); };
    }

    for (int i = 0; i < refLineTable.size(); ++i)
    {
        auto* button = addToList (this, refLineButtons, new juce::TextButton (refLineTable[i]));
        button->setRadioGroupId (refLineGroup);
        button->setColour (juce::TextButton::buttonColourId, generalColour);
        button->setToggleState (i == 0, juce::dontSendNotification);
        refLineAttachments.add (new ButtonAttachment (state, valueTreeNames[10] + juce::String (i), *button));
    }
}

ScanPanel::~ScanPanel()
{
    // A slider still held ends its host gesture while its attachment exists.
    dragGuard.endDrags();
}

bool ScanPanel::randomDirection() const
{
    return switchIsOn (processor, valueTreeNames[9] + "3");
}

void ScanPanel::paint (juce::Graphics& g)
{
    paintPanelBackground (*this, g);

    const auto ratio = resizeRatioFor (*this);
    const auto mix = dryWetSlider.getBounds();
    const auto textHeight = (int) (ratio * 20.0f);

    g.setColour (mainColour);
    g.setFont (juce::Font (panelTypefaceName(), "Regular", ratio * 14.0f));
    g.drawFittedText ("Dry", mix.getX() + 5, mix.getY(), mix.getWidth(), textHeight, juce::Justification::left, 1);
    g.drawFittedText ("Wet", mix.getX(), mix.getY(), mix.getWidth() - 5, textHeight, juce::Justification::right, 1);

    g.setFont (juce::Font (panelTypefaceName(), "Regular", ratio * 16.0f));
    g.drawFittedText ("MIX", mix.getX() + 5, mix.getY(), mix.getWidth(), textHeight, juce::Justification::centred, 1);
}

void ScanPanel::resized()
{
    const auto ratio = resizeRatioFor (*this);
    const auto width = getWidth();
    const auto height = getHeight();
    const auto b = (int) (ratio * 30.0f);
    const auto buttonHeight = juce::jmax (b - 4, 0);
    auto area = getLocalBounds();

    // 1. Title and the first section.
    playLabel.setBounds (area.removeFromTop ((int) (ratio * 30.0f)));
    area.removeFromTop (5);
    directionLabel.setBounds (area.removeFromTop ((int) (ratio * 15.0f)));
    area.removeFromTop (2);
    const auto top = area.getY();
    const auto half = width / 2;

    // 2. Direction buttons down the left column (not clipped to the height left).
    for (int i = 0; i < 4; ++i)
        place (directionButtons[i], { 5, top + i * b + 2, juce::jmax (half - 10, 0), buttonHeight });

    auto left = area;
    left.removeFromTop (4 * b);

    // 3. The note-unit box under them.
    const auto random = randomDirection();
    randomSpeedBox.setEnabled (random);
    randomSpeedBox.setBounds (5, left.getY() + 2, juce::jmax (half - 10, 0),
                              juce::jmax (juce::jmin (b, left.getHeight()) - 4, 0));

    // 4. Right column: Attack, Decay and the note-unit slider. It runs on
    //    past the left column's bottom when the rows are tight.
    auto right = area.withTrimmedLeft (half);
    const auto k = (int) ((float) (width - half) * 0.7f);
    attackKnob.setBounds (right.removeFromTop (k));
    decayKnob.setBounds (right.removeFromTop (k));
    noteUnitSlider.setBounds (right.removeFromTop (k / 2));

    // 5. Second section from under the box.
    area.setTop (juce::jmin (height, randomSpeedBox.getBottom()));
    area.removeFromTop ((int) (ratio * 10.0f));
    textureLabel.setBounds (area.removeFromTop ((int) (ratio * 15.0f)));
    area.removeFromTop (2);
    area.removeFromTop (2);

    // 6. Bar, Pow and Wider in one row.
    {
        auto row = area.removeFromTop ((int) (ratio * 60.0f));
        barKnob.setBounds (row.removeFromLeft (width / 3));
        powKnob.setBounds (row.removeFromLeft (width / 3));
        widerKnob.setBounds (row);
    }
    barKnob.setEnabled (! random);

    // 7. Third section.
    area.removeFromTop ((int) (ratio * 10.0f));
    intervalLabel.setBounds (area.removeFromTop ((int) (ratio * 15.0f)));
    area.removeFromTop (2);
    const auto top2 = area.getY();

    // 8. Reference-line buttons, two rows of three.
    const int columnX[] { 5, width / 3 + 5, (2 * width) / 3 + 5 };

    for (int j = 0; j < 6; ++j)
        place (refLineButtons[j], { columnX[j % 3], top2 + (j / 3) * b + 2, juce::jmax (width / 3 - 10, 0), buttonHeight });

    // 9. The interval ends and Shift.
    area.setTop (juce::jmin (height, top2 + b + 2 + buttonHeight));
    area.removeFromTop (5);
    {
        auto row = area.removeFromTop (width / 3);
        aIntervalKnob.setBounds (row.removeFromLeft (width / 3).reduced (5));
        bIntervalKnob.setBounds (row.removeFromLeft (width / 3).reduced (5));
        shiftKnob.setBounds (row.removeFromLeft (width / 3).reduced (5));
    }

    // 10. The mix slider reaches 4 pixels past the panel's bottom edge.
    dryWetSlider.setBounds (10, area.getY() + 8, juce::jmax (width - 20, 0), juce::jmax (area.getHeight() - 4, 0));

    // 11.
    attackKnob.setEnabled (random);
    decayKnob.setEnabled (random);
}
