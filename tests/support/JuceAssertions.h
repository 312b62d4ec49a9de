#pragma once

#include <JuceHeader.h>

#include <vector>

// JUCE reports a failed jassert through juce::Logger when the build logs
// assertions (JUCE_LOG_ASSERTIONS=1; the sanitizer builds do). The test main
// installs a logger that turns each such report into a failure of the running
// test, on whatever thread the assertion fired.
namespace kestrune::test
{
    // True when this build reports JUCE's assertions (otherwise jassert
    // compiles to nothing and none can be caught).
    constexpr bool juceAssertionsReported() noexcept { return JUCE_LOG_ASSERTIONS != 0; }

    // Installs the failing logger for its lifetime (the test main holds one).
    class JuceAssertionGuard
    {
    public:
        JuceAssertionGuard();
        ~JuceAssertionGuard();

        // Assertions reported while no test was running (set-up, shutdown).
        static int reportedOutsideTests();

        JuceAssertionGuard (const JuceAssertionGuard&) = delete;
        JuceAssertionGuard& operator= (const JuceAssertionGuard&) = delete;
    };

    // While one lives, assertions are collected here instead of failing the
    // test: for tests that provoke one on purpose.
    class ScopedJuceAssertionCapture
    {
    public:
        ScopedJuceAssertionCapture();
        ~ScopedJuceAssertionCapture();

        // Adds a report (the logger calls this, holding the capture lock).
        void record (const juce::String& message);

        // The reports this capture took so far, each "JUCE Assertion failure
        // in <file>:<line>" (captures may nest; the innermost takes them).
        std::vector<juce::String> messages() const;

        ScopedJuceAssertionCapture (const ScopedJuceAssertionCapture&) = delete;
        ScopedJuceAssertionCapture& operator= (const ScopedJuceAssertionCapture&) = delete;

    private:
        std::vector<juce::String> collected; // guarded by the capture lock
        ScopedJuceAssertionCapture* previous = nullptr;
    };
}
