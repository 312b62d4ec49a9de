#include "StateChildren.h"

bool StateChildren::isKept (const juce::ValueTree& child)
{
    return child.hasType ("ImagePath") || child.hasType ("lastSizeMainWindow");
}

juce::ValueTree StateChildren::copyOf (const juce::Identifier& type) const
{
    for (const auto& child : children)
        if (child.tree.hasType (type))
            return child.tree.createCopy();

    return {};
}

void StateChildren::setProperty (const juce::Identifier& type, const juce::Identifier& name, const juce::var& value)
{
    for (auto& child : children)
    {
        if (child.tree.hasType (type))
        {
            child.tree.setProperty (name, value, nullptr);
            return;
        }
    }

    children.push_back ({ juce::ValueTree (type), -1 });
    children.back().tree.setProperty (name, value, nullptr);
}

void StateChildren::addTo (juce::ValueTree& state) const
{
    // In rising order of place, each insertion puts back one of the children
    // that stood before the next.
    for (const auto& child : children)
        state.addChild (child.tree.createCopy(), child.place, nullptr);
}

void StateChildren::takeFrom (juce::ValueTree& state)
{
    std::vector<Child> taken;

    for (int i = 0; i < state.getNumChildren(); ++i)
        if (isKept (state.getChild (i)))
            taken.push_back ({ state.getChild (i), i });

    for (auto it = taken.rbegin(); it != taken.rend(); ++it)
        state.removeChild (it->place, nullptr);

    children = std::move (taken);
}
