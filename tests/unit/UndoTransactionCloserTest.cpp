#include "TestSupport.h"
#include "HeapCounter.h"


using namespace kestrune::test;

namespace
{
    struct Session
    {
        std::unique_ptr<KestruneAudioProcessor> processor = makeProcessor();
        std::vector<juce::RangedAudioParameter*> lanes;
        std::vector<juce::ValueTree> written; // each lane's child of the state tree
        int roundsDone = 0;
        int unitsOfOneRound = 0;

        // The value-tree state's timer has written every lane's value.
        bool flushed() const
        {
            static const juce::Identifier value ("value");
            for (size_t i = 0; i < lanes.size(); ++i)
                if ((float) written[i].getProperty (value)
                    != processor->apvts.getRawParameterValue (lanes[i]->paramID)->load())
                    return false;
            return true;
        }

        // A round of automation: every lane moves `changes` times, the lanes
        // taking turns, and ends far from where the last round left it.
        void automate (int changes)
        {
            const float end = roundsDone % 2 == 0 ? 0.8f : 0.2f;
            for (int c = 1; c <= changes; ++c)
                for (auto* lane : lanes)
                {
                    const auto v = c == changes ? end : (float) ((c * 37 + roundsDone) % 101) / 100.0f;
                    lane->setValue (v);
                    lane->sendValueChangedMessageToListeners (v);
                }
            ++roundsDone;
        }
    };

    // Every session automates `rounds` rounds, each starting as soon as the
    // value-tree state has written the last one into the state tree.
    void automateRounds (std::vector<Session>& sessions, int rounds, int changes)
    {
        const auto target = sessions.front().roundsDone + rounds;
        const auto end = juce::Time::getMillisecondCounterHiRes() + 60000.0;

        for (;;)
        {
            bool done = true;
            for (auto& s : sessions)
            {
                if (! s.flushed())
                    done = false;
                else if (s.roundsDone < target)
                {
                    s.automate (changes);
                    done = false;
                }
            }

            if (done)
                return;
            ASSERT_LT (juce::Time::getMillisecondCounterHiRes(), end) << "the state tree was not written";
            pumpMessages (1);
        }
    }
}

TEST (UndoTransactionCloser, LongHostAutomationKeepsUndoHistoryAndHeapBounded)
{
    // A host plays automation on an instance for a long time. The
    // value-tree state writes the changed values into the state tree on its
    // timer, through the undo manager; the history must stop growing once its
    // limits are reached (a few dozen rounds), and so must the heap.
   #if defined (__SANITIZE_THREAD__) || defined (__SANITIZE_ADDRESS__)
    const int changes = 4; // the history grows per round, not per change
   #else
    const int changes = 128; // some 215 000 changes in all
   #endif
    const int warmUpRounds = 32, measuredRounds = 8;

    // One instance with a lane for every parameter (knobs, choices and switches).
    std::vector<Session> sessions (1);
    for (auto& s : sessions)
        for (auto* ap : s.processor->getParameters())
            if (auto* p = dynamic_cast<juce::RangedAudioParameter*> (ap))
            {
                s.lanes.push_back (p);
                s.written.push_back (s.processor->apvts.state.getChildWithProperty ("id", p->paramID));
            }

    automateRounds (sessions, 1, changes);
    for (auto& s : sessions)
        s.unitsOfOneRound = s.processor->undoManager.getNumberOfUnitsTakenUpByStoredCommands();

    automateRounds (sessions, warmUpRounds - 1, changes);
    std::vector<int> unitsAfterWarmUp;
    for (auto& s : sessions)
        unitsAfterWarmUp.push_back (s.processor->undoManager.getNumberOfUnitsTakenUpByStoredCommands());

    long heldBytes = 0;
    {
        heap::HeldBytesScope held;
        automateRounds (sessions, measuredRounds, changes);
        heldBytes = held.bytes();
    }

    for (size_t i = 0; i < sessions.size(); ++i)
    {
        const auto& s = sessions[i];
        ASSERT_GT (s.unitsOfOneRound, 0);
        EXPECT_LE (s.processor->undoManager.getNumberOfUnitsTakenUpByStoredCommands(),
                   unitsAfterWarmUp[i] + s.unitsOfOneRound);
    }

    // A round writes some 40 changed values: kept, their undo records would
    // take about 3.5 KB a round.
    EXPECT_LT (heldBytes, 8 * 1024);
}
