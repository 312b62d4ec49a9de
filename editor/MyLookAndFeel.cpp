#include "MyLookAndFeel.h"
#include "ResizeRatio.h"

//==============================================================================
// Knob look-and-feel

void OlvLookAndFeel::drawRotarySlider (juce::Graphics& g, int x, int y, int width, int height,
                                       float sliderPos, float rotaryStartAngle, float rotaryEndAngle,
                                       juce::Slider& slider)
{
    const auto radius = (float) juce::jmin (width / 2, height / 2) - 2.0f;
    const auto centreX = (float) x + (float) width * 0.5f;
    const auto centreY = (float) y + (float) height * 0.5f;
    const auto rx = centreX - radius;
    const auto ry = centreY - radius;
    const auto rw = radius * 2.0f;
    const auto angle = rotaryStartAngle + sliderPos * (rotaryEndAngle - rotaryStartAngle);

    const auto enabled = slider.isEnabled();
    const auto hover = enabled && slider.isMouseOverOrDragging();
    const auto disabledColour = juce::Colour (0x80808080);
    const auto drawingColour = enabled ? slider.findColour (juce::Slider::thumbColourId).withAlpha (hover ? 1.0f : 0.7f)
                                       : disabledColour;

    if (radius > 0.1f)
    {
        // Pointer wedge: a short band at the rim, or a long pointer when compact.
        const auto inner = compactStyle ? (hover ? 0.2f : 0.15f)
                                        : (hover ? 0.6f : 0.65f);
        juce::Path wedge;
        wedge.addPieSegment (rx, ry, rw, rw, angle - 0.1f, angle + 0.1f, inner);
        g.setColour (drawingColour);
        g.fillPath (wedge);

        // Translucent dark disc over the face.
        g.setColour (juce::Colour (0x40000000));
        g.fillEllipse (rx, ry, rw, rw);

        // Value text in the middle (not in the compact style).
        const auto text = slider.getTextFromValue (slider.getValue());
        const auto fontHeight = juce::jlimit (0.1f, 10000.0f,
                                              resizeRatioFor (slider) * 15.0f * (float) slider.getTextBoxHeight() / 10.0f);
        const juce::Font font (juce::Font::getDefaultSansSerifFontName(), "Regular", fontHeight);
        const auto textW = (int) std::ceil (font.getStringWidthFloat (text));
        g.setFont (font);
        g.setColour (slider.findColour (juce::Slider::textBoxTextColourId).withAlpha (hover ? 1.0f : 0.7f));

        if (! compactStyle)
        {
            const auto boxW = (int) (0.55f * (float) width);
            const auto boxH = (int) (0.25f * (float) height);
            const auto textX = (int) ((float) ((width - boxW) / 2) + (float) (boxW - textW) * 0.5f);
            const auto textY = (height - boxH) / 2;
            g.drawText (text, textX, textY, textW, boxH, juce::Justification::centred, true);
        }

        // Outline arc along the whole travel.
        g.setColour (enabled ? slider.findColour (juce::Slider::rotarySliderOutlineColourId) : disabledColour);
        juce::Path arc;
        arc.addCentredArc (rx + radius, ry + radius, radius, radius, 0.0f, rotaryStartAngle, rotaryEndAngle, true);
        const auto thickness = ! enabled ? 0.3f : (hover ? 2.0f : 2.2f);
        g.strokePath (arc, juce::PathStrokeType (thickness, juce::PathStrokeType::mitered, juce::PathStrokeType::butt));
    }
    else
    {
        // Too small for a face: a ring with a pointer, turned to the value.
        juce::Path p;
        p.addEllipse (-0.4f * rw, -0.4f * rw, 0.8f * rw, 0.8f * rw);
        juce::PathStrokeType (rw * 0.1f, juce::PathStrokeType::mitered, juce::PathStrokeType::butt).createStrokedPath (p, p);
        p.addLineSegment (juce::Line<float> (0.0f, 0.0f, 0.0f, -radius), rw * 0.2f);
        g.setColour (drawingColour);
        g.fillPath (p, juce::AffineTransform::rotation (angle).translated (centreX, centreY));
    }
}

juce::Button* OlvLookAndFeel::createSliderButton (juce::Slider&, bool isIncrement)
{
    return new juce::ArrowButton (isIncrement ? "u" : "d",
                                  isIncrement ? 0.0f : 0.5f,
                                  juce::Colours::white.withAlpha ((juce::uint8) 0xcc));
}

//==============================================================================
// Panel look-and-feel

void MyLookAndFeel::drawButtonBackground (juce::Graphics& g, juce::Button& button, const juce::Colour& backgroundColour,
                                          bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown)
{
    constexpr auto cornerSize = 6.0f;
    const auto bounds = button.getLocalBounds().toFloat().reduced (0.5f, 0.5f);

    // (No button of the window takes the keyboard focus, so none is drawn as focused.)
    auto baseColour = backgroundColour.withMultipliedSaturation (0.9f)
                                      .withMultipliedAlpha (button.isEnabled() ? 1.0f : 0.5f);

    if (shouldDrawButtonAsDown)
        baseColour = baseColour.contrasting (0.2f);
    else if (shouldDrawButtonAsHighlighted)
        baseColour = baseColour.contrasting (0.05f);

    const auto flatOnLeft   = button.isConnectedOnLeft();
    const auto flatOnRight  = button.isConnectedOnRight();
    const auto flatOnTop    = button.isConnectedOnTop();
    const auto flatOnBottom = button.isConnectedOnBottom();

    if (! (flatOnLeft || flatOnRight || flatOnTop || flatOnBottom))
    {
        g.setColour (baseColour);
        g.fillRoundedRectangle (bounds, cornerSize);
        g.setColour (juce::Colours::orange);
        g.drawRoundedRectangle (bounds, cornerSize, 1.0f);
        return;
    }

    juce::Path path;
    path.addRoundedRectangle (bounds.getX(), bounds.getY(), bounds.getWidth(), bounds.getHeight(),
                              cornerSize, cornerSize,
                              ! (flatOnLeft || flatOnTop),
                              ! (flatOnRight || flatOnTop),
                              ! (flatOnLeft || flatOnBottom),
                              ! (flatOnRight || flatOnBottom));
    g.setColour (baseColour);
    g.fillPath (path);
    g.setColour (button.findColour (juce::ComboBox::outlineColourId));
    g.strokePath (path, juce::PathStrokeType (1.0f));
}

juce::Font MyLookAndFeel::getPopupMenuFont()
{
    return juce::Font (12.0f);
}

void MyLookAndFeel::drawComboBox (juce::Graphics& g, int width, int height, bool,
                                  int, int, int, int, juce::ComboBox& box)
{
    const auto cornerSize = box.findParentComponentOfClass<juce::ChoicePropertyComponent>() != nullptr ? 0.0f : 3.0f;
    const juce::Rectangle<float> area (0.0f, 0.0f, (float) width, (float) height);

    g.setColour (generalColour);
    g.fillRoundedRectangle (area, cornerSize);

    g.setColour (mainColour.withAlpha ((juce::uint8) 0x80));
    g.drawRoundedRectangle (area.reduced (0.5f, 0.5f), cornerSize, 1.0f);

    const auto cy = (float) (height / 2);
    const auto w = (float) width;
    juce::Path arrow;
    arrow.startNewSubPath (w - 12.0f, cy - 2.0f);
    arrow.lineTo (w - 8.0f, cy + 3.0f);
    arrow.lineTo (w - 3.0f, cy - 2.0f);

    g.setColour (mainColour);
    g.strokePath (arrow, juce::PathStrokeType (2.0f, juce::PathStrokeType::mitered, juce::PathStrokeType::butt));
}

juce::Font MyLookAndFeel::getComboBoxFont (juce::ComboBox& box)
{
    return juce::Font (juce::jmin (12.0f, (float) box.getHeight() * 0.85f));
}

void MyLookAndFeel::positionComboBoxText (juce::ComboBox& box, juce::Label& label)
{
    label.setBounds (1, 1, juce::jmax (0, box.getWidth() - 20), juce::jmax (0, box.getHeight() - 2));
    label.setFont (getComboBoxFont (box));
}

void MyLookAndFeel::drawRotarySlider (juce::Graphics& g, int x, int y, int width, int height,
                                      float sliderPos, float rotaryStartAngle, float rotaryEndAngle,
                                      juce::Slider& slider)
{
    const auto bounds = juce::Rectangle<int> (x, y, width, height).toFloat().reduced (5.0f);
    const auto cx = bounds.getCentreX();
    const auto cy = bounds.getCentreY();

    const auto radius = juce::jmin (bounds.getWidth(), bounds.getHeight()) / 2.0f;
    const auto lineW = juce::jmin (2.0f, radius * 0.5f);
    const auto arcRadius = radius - lineW * 0.5f;
    const auto toAngle = rotaryStartAngle + sliderPos * (rotaryEndAngle - rotaryStartAngle);
    const juce::PathStrokeType stroke (lineW, juce::PathStrokeType::curved, juce::PathStrokeType::rounded);

    juce::Path track;
    track.addCentredArc (cx, cy, arcRadius, arcRadius, 0.0f, rotaryStartAngle, rotaryEndAngle, true);
    g.setColour (juce::Colours::grey);
    g.strokePath (track, stroke);

    if (slider.isEnabled())
    {
        juce::Path valueArc;
        valueArc.addCentredArc (cx, cy, arcRadius, arcRadius, 0.0f, rotaryStartAngle, toAngle, true);
        g.setColour (slider.findColour (juce::Slider::rotarySliderFillColourId));
        g.strokePath (valueArc, stroke);
    }

    constexpr auto quarterTurn = 1.5707964f;
    const auto start = track.getBounds().getCentre();
    const juce::Point<float> tip (cx + (arcRadius - 1.0f) * std::cos (toAngle - quarterTurn),
                                  cy + (arcRadius - 1.0f) * std::sin (toAngle - quarterTurn));
    g.setColour (slider.findColour (juce::Slider::thumbColourId));
    g.drawLine (juce::Line<float> (start, tip), lineW);
}

juce::Label* MyLookAndFeel::createSliderTextBox (juce::Slider& slider)
{
    auto* label = juce::LookAndFeel_V2::createSliderTextBox (slider);

    const auto barStyle = slider.getSliderStyle() == juce::Slider::LinearBar
                       || slider.getSliderStyle() == juce::Slider::LinearBarVertical;

    if (getCurrentColourScheme() == juce::LookAndFeel_V4::getGreyColourScheme() && barStyle)
        label->setColour (juce::Label::textColourId, juce::Colours::orange.withAlpha (0.7f));

    auto font = label->getFont();
    font.setHeight (12.0f);
    label->setFont (font);
    return label;
}
