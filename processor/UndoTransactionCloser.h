#pragma once

#include <JuceHeader.h>

// Keeps the parameters' undo history within the undo manager's limits however
// long a host automates. The value-tree state writes each changed parameter's
// value into the parameter's child of the state tree, through the undo
// manager; left alone, those writes all join the one transaction last begun
// (nothing else begins one), and the manager drops history only a
// whole transaction at a time, so that transaction would grow for as long as
// the automation plays. The closer listens to the state tree and begins a new
// transaction as each value is written: every write makes a transaction of
// its own, and the manager's limits drop the oldest.
//
// The value-tree state writes values only under its own lock (its timer on
// the message thread, a host's state calls on theirs), so the closer touches
// the manager only on a thread that is already using it, under that lock.
class UndoTransactionCloser : private juce::ValueTree::Listener
{
public:
    UndoTransactionCloser (juce::ValueTree& stateTree, juce::UndoManager& managerToClose)
        : state (stateTree), manager (managerToClose)
    {
        state.addListener (this);
    }

    ~UndoTransactionCloser() override
    {
        state.removeListener (this);
    }

    UndoTransactionCloser (const UndoTransactionCloser&) = delete;
    UndoTransactionCloser& operator= (const UndoTransactionCloser&) = delete;

private:
    void valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier& property) override
    {
        if (property == valueProperty && tree.hasType (parameterType))
            manager.beginNewTransaction();
    }

    juce::ValueTree& state; // kept across replacements of the tree
    juce::UndoManager& manager;
    const juce::Identifier parameterType { "PARAM" }, valueProperty { "value" };
};
