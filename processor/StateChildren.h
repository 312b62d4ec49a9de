#pragma once

#include <JuceHeader.h>

#include <vector>

// The children of the saved state that are not parameters: ImagePath (the
// picture paths, and the copies a save recorded) and lastSizeMainWindow (the
// window's size). The processor keeps them here, beside the value-tree state
// and not in its tree: the message thread sets them while a host may save or
// restore on another thread, and a juce::ValueTree is not safe to share
// between threads (the processor guards this object with a lock of its own).
//
// A save puts copies of them into its copy of the tree, each where it would
// have stood had it been there all along: a restored child at its place in
// the restored state, a child created since after all the others, in the
// order of creation. Properties keep the order in which they were first set.
class StateChildren
{
public:
    // True for the types kept here.
    static bool isKept (const juce::ValueTree& child);

    // A copy of the child of this type (the first one); invalid when there is none.
    juce::ValueTree copyOf (const juce::Identifier& type) const;

    // Sets a property of the child of this type, appending the child (empty)
    // when there is none. Setting the value a property holds changes nothing.
    void setProperty (const juce::Identifier& type, const juce::Identifier& name, const juce::var& value);

    // Puts copies of the children into `state`, a tree that holds none of them.
    void addTo (juce::ValueTree& state) const;

    // Takes the kept children out of `state`, remembering their places in it;
    // they replace the children held here.
    void takeFrom (juce::ValueTree& state);

private:
    struct Child
    {
        juce::ValueTree tree;
        int place = -1; // its index in the whole state; -1: after every other child
    };

    std::vector<Child> children; // restored ones by place, then the created ones in order
};
