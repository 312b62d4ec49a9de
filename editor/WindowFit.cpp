#include "WindowFit.h"

namespace kestrune::windowfit
{
    juce::Rectangle<int> answerFor (const juce::ComponentBoundsConstrainer& constrainer, juce::Rectangle<int> size)
    {
        // In single precision and in this order, as the client computes it,
        // so that the window agrees with every answer a host was given.
        const auto minW = (float) constrainer.getMinimumWidth(), maxW = (float) constrainer.getMaximumWidth();
        const auto minH = (float) constrainer.getMinimumHeight(), maxH = (float) constrainer.getMaximumHeight();

        auto width = juce::jlimit (minW, maxW, (float) size.getWidth());
        auto height = juce::jlimit (minH, maxH, (float) size.getHeight());
        const auto ratio = (float) constrainer.getFixedAspectRatio();

        if (ratio != 0.0f)
        {
            if (width / height > ratio)
            {
                width = height * ratio;

                if (width > maxW || width < minW)
                {
                    width = juce::jlimit (minW, maxW, width);
                    height = width / ratio;
                }
            }
            else
            {
                height = width / ratio;

                if (height > maxH || height < minH)
                {
                    height = juce::jlimit (minH, maxH, height);
                    width = height * ratio;
                }
            }
        }

        const auto whole = juce::Rectangle<float> (width, height).getSmallestIntegerContainer();
        return { whole.getWidth(), whole.getHeight() };
    }

    bool isAllowed (const juce::ComponentBoundsConstrainer& constrainer, juce::Rectangle<int> size)
    {
        const auto w = size.getWidth(), h = size.getHeight();

        if (w < constrainer.getMinimumWidth() || w > constrainer.getMaximumWidth()
            || h < constrainer.getMinimumHeight() || h > constrainer.getMaximumHeight())
            return false;

        const auto answer = answerFor (constrainer, size);
        return std::abs (answer.getWidth() - w) <= 1 && std::abs (answer.getHeight() - h) <= 1;
    }

    Fit fitFor (const juce::ComponentBoundsConstrainer& constrainer, juce::Rectangle<int> size)
    {
        if (isAllowed (constrainer, size))
            return { size.getWidth(), size.getHeight(), 1.0f };

        const auto answer = answerFor (constrainer, size);

        // A pixel short of the answer each way at most (1200 x 427 answers
        // 760 x 428): laid out at the size given there, as at the limits,
        // rather than drawn through a transform of a whisker under 1, which
        // would blur every control.
        if (answer.getWidth() <= size.getWidth() + 1 && answer.getHeight() <= size.getHeight() + 1)
            return { juce::jmin (answer.getWidth(), size.getWidth()), juce::jmin (answer.getHeight(), size.getHeight()), 1.0f };

        const auto scale = juce::jmin (1.0f,
                                       (float) size.getWidth() / (float) answer.getWidth(),
                                       (float) size.getHeight() / (float) answer.getHeight());
        // A window of no width or height shows nothing; its children keep a
        // transform that can be inverted all the same.
        return { answer.getWidth(), answer.getHeight(), juce::jmax (scale, 1.0f / 1024.0f) };
    }
}
