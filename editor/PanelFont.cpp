#include "PanelFont.h"

juce::String choosePanelTypeface (const juce::StringArray& installedTypefaces)
{
    for (const auto* wanted : { "Arial", "Liberation Sans" })
    {
        const auto index = installedTypefaces.indexOf (wanted, true);

        if (index >= 0)
            return installedTypefaces[index];
    }

    return juce::Font::getDefaultSansSerifFontName();
}

juce::String panelTypefaceName()
{
    static const auto name = choosePanelTypeface (juce::Font::findAllTypefaceNames());
    return name;
}
