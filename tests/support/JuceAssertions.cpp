#include "JuceAssertions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>

namespace kestrune::test
{
    namespace
    {
        std::mutex captureMutex;
        ScopedJuceAssertionCapture* activeCapture = nullptr; // guarded by captureMutex
        std::atomic<int> outsideTests { 0 };

        class FailingLogger final : public juce::Logger
        {
        public:
            void logMessage (const juce::String& message) override
            {
                if (! message.startsWith ("JUCE Assertion failure"))
                {
                    std::cerr << message << std::endl;
                    return;
                }

                {
                    const std::lock_guard<std::mutex> lock (captureMutex);
                    if (activeCapture != nullptr)
                    {
                        activeCapture->record (message);
                        return;
                    }
                }

                std::cerr << message << std::endl;

                if (::testing::UnitTest::GetInstance()->current_test_info() == nullptr)
                    outsideTests.fetch_add (1);
                else
                    ADD_FAILURE() << message;
            }
        };

        FailingLogger logger;
    }

    JuceAssertionGuard::JuceAssertionGuard()   { juce::Logger::setCurrentLogger (&logger); }
    JuceAssertionGuard::~JuceAssertionGuard()  { juce::Logger::setCurrentLogger (nullptr); }

    int JuceAssertionGuard::reportedOutsideTests() { return outsideTests.load(); }

    ScopedJuceAssertionCapture::ScopedJuceAssertionCapture()
    {
        const std::lock_guard<std::mutex> lock (captureMutex);
        previous = activeCapture;
        activeCapture = this;
    }

    ScopedJuceAssertionCapture::~ScopedJuceAssertionCapture()
    {
        const std::lock_guard<std::mutex> lock (captureMutex);
        activeCapture = previous;
    }

    void ScopedJuceAssertionCapture::record (const juce::String& message)
    {
        collected.push_back (message);
    }

    std::vector<juce::String> ScopedJuceAssertionCapture::messages() const
    {
        const std::lock_guard<std::mutex> lock (captureMutex);
        return collected;
    }
}
