#include "GreyFrame.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

TEST (GreyFrame, GreyOfEveryPixelMatchesThePicture)
{
    // Widths that do not fill whole bands of columns, both pixel formats, and
    // a pixel that is not opaque.
    for (auto format : { juce::Image::ARGB, juce::Image::RGB })
    {
        juce::Image image (format, 70, 9, true);
        juce::Random random (7);
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 70; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint32) random.nextInt() | 0xff000000u));
        image.setPixelAt (33, 4, juce::Colour ((juce::uint8) 200, (juce::uint8) 100, (juce::uint8) 50, (juce::uint8) 128));

        GreyFrame frame;
        frame.buildFrom (image);
        ASSERT_EQ (frame.width, 70);
        ASSERT_EQ (frame.height, 9);

        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 70; ++x)
            {
                const auto c = image.getPixelAt (x, y);
                const float expected = ((float) c.getRed() / 255.0f + (float) c.getGreen() / 255.0f
                                         + (float) c.getBlue() / 255.0f) / 3.0f;
                ASSERT_EQ (frame.pixel (x, y), expected) << x << "," << y;
            }
    }
}

TEST (GreyFrame, NullPictureEmptiesTheFrameAndOutsideReadsZero)
{
    GreyFrame frame;
    frame.buildFrom (juce::Image (juce::Image::RGB, 3, 2, true));
    ASSERT_FALSE (frame.isEmpty());

    for (auto [x, y] : { std::pair { -1, 0 }, { 0, -1 }, { 3, 0 }, { 0, 2 } })
        EXPECT_EQ (frame.pixel (x, y), 0.0f) << x << "," << y;

    frame.buildFrom (juce::Image());
    EXPECT_TRUE (frame.isEmpty());
    EXPECT_TRUE (frame.grey.empty());
    EXPECT_EQ (frame.pixel (0, 0), 0.0f);
}

//==============================================================================
namespace
{
    // A frame whose every grey value is its own width, so that a reader can
    // tell a whole frame from one caught half-written.
    void fillFrame (GreyFrame& frame, int width)
    {
        frame.width = width;
        frame.height = 3;
        frame.grey.assign ((size_t) width * 3, (float) width);
    }

    bool isWhole (const GreyFrame& frame)
    {
        if (frame.grey.size() != (size_t) frame.width * (size_t) frame.height)
            return false;
        for (auto g : frame.grey)
            if (g != (float) frame.width)
                return false;
        return true;
    }
}

TEST (GreyFrameExchange, ReaderGetsTheNewestPublishedFrame)
{
    GreyFrameExchange exchange;
    EXPECT_TRUE (exchange.acquire().isEmpty()); // nothing published yet

    fillFrame (exchange.backFrame(), 1);
    exchange.publish();
    EXPECT_EQ (exchange.acquire().width, 1);
    EXPECT_EQ (exchange.acquire().width, 1); // stays until something newer comes

    // Two published before the reader looks: it skips to the newer one.
    fillFrame (exchange.backFrame(), 2);
    exchange.publish();
    fillFrame (exchange.backFrame(), 3);
    exchange.publish();
    const auto& front = exchange.acquire();
    EXPECT_EQ (front.width, 3);
    EXPECT_EQ (&exchange.current(), &front);

    // The writer never gets the frame the reader holds.
    for (int k = 4; k < 10; ++k)
    {
        EXPECT_NE (&exchange.backFrame(), &exchange.current());
        fillFrame (exchange.backFrame(), k);
        exchange.publish();
        EXPECT_EQ (exchange.current().width, k - 1);
        EXPECT_EQ (exchange.acquire().width, k);
    }
}

TEST (GreyFrameExchange, ReplacingTheFrontDropsWhatWasPublishedForTheOldPicture)
{
    GreyFrameExchange exchange;
    fillFrame (exchange.backFrame(), 5);
    exchange.publish();
    exchange.acquire();
    fillFrame (exchange.backFrame(), 6); // published for the old picture, not yet read
    exchange.publish();

    GreyFrame replacement;
    fillFrame (replacement, 40);
    exchange.replaceFront (replacement);

    EXPECT_EQ (exchange.current().width, 40);
    EXPECT_EQ (exchange.acquire().width, 40) << "a frame of the old picture came back";
    EXPECT_TRUE (isWhole (exchange.current()));
    EXPECT_TRUE (replacement.width == 5 || replacement.width == 6);

    // The writer carries on as before.
    fillFrame (exchange.backFrame(), 41);
    exchange.publish();
    EXPECT_EQ (exchange.acquire().width, 41);
}

TEST (GreyFrameExchange, ReaderOnAnotherThreadOnlySeesWholeFramesInOrder)
{
    GreyFrameExchange exchange;
    constexpr int last = 3000;

    std::thread writer ([&exchange]
    {
        for (int k = 1; k <= last; ++k)
        {
            fillFrame (exchange.backFrame(), k);
            exchange.publish();
        }
    });

    int seen = 0, changes = 0, torn = 0, backwards = 0;
    while (seen < last && torn == 0 && backwards == 0)
    {
        const auto& frame = exchange.acquire();

        if (frame.isEmpty())
            continue;

        torn += isWhole (frame) ? 0 : 1;
        backwards += frame.width < seen ? 1 : 0;
        changes += frame.width != seen ? 1 : 0;
        seen = frame.width;
    }

    writer.join();
    EXPECT_EQ (torn, 0);
    EXPECT_EQ (backwards, 0);
    EXPECT_EQ (seen, last);
    EXPECT_GT (changes, 0);
}
