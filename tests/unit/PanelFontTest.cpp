#include "PanelTestSupport.h"
#include "PanelFont.h"

TEST (PanelFont, ArialWhenThereThenLiberationSansThenTheDefaultSans)
{
    EXPECT_EQ (choosePanelTypeface ({ "DejaVu Sans", "Arial", "Liberation Sans" }), "Arial");
    EXPECT_EQ (choosePanelTypeface ({ "DejaVu Sans", "arial" }), "arial");
    EXPECT_EQ (choosePanelTypeface ({ "DejaVu Sans", "Liberation Sans" }), "Liberation Sans");
    EXPECT_EQ (choosePanelTypeface ({ "DejaVu Sans", "Liberation Serif" }), juce::Font::getDefaultSansSerifFontName());
    EXPECT_EQ (choosePanelTypeface ({}), juce::Font::getDefaultSansSerifFontName());
}

TEST (PanelFont, TheChoiceOnThisMachineDrawsGlyphs)
{
    const auto installed = juce::Font::findAllTypefaceNames();
    const auto name = panelTypefaceName();

    // The dependency script installs Liberation Sans where Arial is missing.
    EXPECT_TRUE (name == "Arial" || name == "Liberation Sans") << name;
    EXPECT_TRUE (installed.contains (name));

    juce::Image image (juce::Image::ARGB, 60, 30, true);
    {
        juce::Graphics g (image);
        g.setColour (juce::Colours::white);
        g.setFont (juce::Font (name, "Regular", 16.0f));
        g.drawText ("MIX", 0, 0, 60, 30, juce::Justification::centred);
    }

    int inked = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 60; ++x)
            inked += image.getPixelAt (x, y).getAlpha() > 0x80 ? 1 : 0;
    EXPECT_GT (inked, 30);
}
